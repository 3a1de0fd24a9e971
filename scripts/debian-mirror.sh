# Sourced by the scripts that fetch Debian packages through a private apt configuration.
#
# debian_mirror NAME: prints the Debian mirror the machine's own apt sources name (deb822 first,
# then the one-line format, never the security archive), or says NAME found none and fails.
debian_mirror() {
  local mirror="" f
  for f in /etc/apt/sources.list.d/debian.sources; do
    [[ -f $f ]] && mirror=$(awk '/^URIs:/ { print $2; exit }' "$f")
  done
  if [[ -z $mirror && -f /etc/apt/sources.list ]]; then
    mirror=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [[ -n $mirror ]] || { echo "$1: no Debian mirror found in the machine's apt sources" >&2; return 1; }
  printf '%s\n' "$mirror"
}
