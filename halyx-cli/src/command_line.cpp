#include "command_line.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <system_error>
#include <vector>

namespace halyx::cli {
namespace {

std::expected<RecordKind, std::string> record_kind(std::string_view name) {
  if (name == "sth") return RecordKind::Sth;
  if (name == "proof") return RecordKind::Proof;
  if (name == "leaf") return RecordKind::Leaf;
  if (name == "key") return RecordKind::Key;
  std::string why = "unknown record kind '";
  why += name;
  why += "' (expected sth, proof, leaf or key)";
  return std::unexpected(std::move(why));
}

}  // namespace

std::expected<Command, std::string> parse_command_line(std::span<const char* const> args) {
  bool json = false, help = false, version = false, options_ended = false;
  std::optional<std::string_view> jobs, threads;
  std::vector<std::string> operands;
  Segment segment;
  std::optional<std::string> segment_option;  // the first segment option seen, for a usage error
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a(args[i]);
    if (options_ended || a == "-" || !a.starts_with('-')) {
      operands.emplace_back(a);
    } else if (a == "--since" || a == "--first-proof" || a == "--last-proof" || a == "--threads") {
      const std::size_t wanted = a == "--since" ? 2 : 1;
      if (args.size() - i - 1 < wanted) {
        std::string why(a);
        why += a == "--since" ? " takes two files (OLD_STH OLD_SIGNATURE)" : a == "--threads" ? " takes a number" : " takes a file";
        return std::unexpected(std::move(why));
      }
      if (!segment_option) segment_option = std::string(a);
      if (a == "--since") {
        segment.older_sth = args[i + 1];
        segment.older_signature = args[i + 2];
      } else if (a == "--first-proof") {
        segment.first_proof = args[i + 1];
      } else if (a == "--last-proof") {
        segment.last_proof = args[i + 1];
      } else {
        threads = std::string_view(args[i + 1]);
      }
      i += wanted;
    } else if (a == "--") {
      options_ended = true;
    } else if (a.starts_with("-j")) {
      if (a.size() > 2) {
        jobs = a.substr(2);
      } else if (i + 1 < args.size()) {
        jobs = std::string_view(args[++i]);
      } else {
        jobs = std::string_view();
      }
    } else if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else {
      std::string why = "unknown option '";
      why += a;
      why += "'";
      return std::unexpected(std::move(why));
    }
  }
  if (help) return ShowHelp{};
  if (version) return ShowVersion{};

  // Standard input can be read once; a second "-" would silently get nothing.
  const auto dashes = std::count(operands.begin(), operands.end(), "-") +
                      std::ranges::count(std::array{segment.first_proof, segment.last_proof, segment.older_sth,
                                                    segment.older_signature},
                                         "-");
  if (dashes > 1) return std::unexpected("standard input ('-') can stand for only one file");

  const bool is_segment = !operands.empty() && operands.front() == "segment";
  if (segment_option && !is_segment) return std::unexpected(*segment_option + " applies to segment only");
  if (is_segment) {
    if (jobs) return std::unexpected("-j applies to batch only");
    if (operands.size() != 5) {
      return std::unexpected("segment takes STH SIGNATURE KEY LEAVES, got " + std::to_string(operands.size() - 1) +
                             " arguments");
    }
    std::move(operands.begin() + 1, operands.end(), segment.paths.begin());
    if (threads) {
      unsigned n = 0;
      const auto [end, ec] = std::from_chars(threads->data(), threads->data() + threads->size(), n);
      if (ec != std::errc() || end != threads->data() + threads->size() || n < 1 || n > MAX_JOBS) {
        std::string why = "--threads takes a number of threads from 1 to " + std::to_string(MAX_JOBS) + ", got '";
        why += *threads;
        why += "'";
        return std::unexpected(std::move(why));
      }
      segment.threads = n;
    }
    segment.json = json;
    return segment;
  }

  const bool batch = !operands.empty() && operands.front() == "batch";
  if (jobs && !batch) return std::unexpected("-j applies to batch only");

  if (batch) {
    if (operands.size() != 4 && operands.size() != 5) {
      return std::unexpected("batch takes STH SIGNATURE KEY and an optional MANIFEST, got " +
                             std::to_string(operands.size() - 1) + " arguments");
    }
    Batch command;
    std::move(operands.begin() + 1, operands.begin() + 4, command.paths.begin());
    if (operands.size() == 5) {
      command.manifest = std::move(operands[4]);
    } else if (std::ranges::count(command.paths, "-") > 0) {
      return std::unexpected("standard input ('-') can stand for only one file, and holds the manifest when "
                             "none is named");
    }
    if (jobs) {
      unsigned n = 0;
      const auto [end, ec] = std::from_chars(jobs->data(), jobs->data() + jobs->size(), n);
      if (ec != std::errc() || end != jobs->data() + jobs->size() || n < 1 || n > MAX_JOBS) {
        std::string why = "-j takes a number of threads from 1 to " + std::to_string(MAX_JOBS) + ", got '";
        why += *jobs;
        why += "'";
        return std::unexpected(std::move(why));
      }
      command.jobs = n;
    }
    return command;
  }

  if (!operands.empty() && operands.front() == "inspect") {
    if (operands.size() != 3) {
      return std::unexpected("inspect takes a record kind and one file (inspect sth|proof|leaf|key FILE), got " +
                             std::to_string(operands.size() - 1) + " arguments");
    }
    auto kind = record_kind(operands[1]);
    if (!kind) return std::unexpected(std::move(kind.error()));
    return Inspect{*kind, std::move(operands[2]), json};
  }

  if (operands.size() != FILE_NAMES.size()) {
    return std::unexpected("expected 5 files (LEAF PROOF STH SIGNATURE KEY), got " + std::to_string(operands.size()));
  }
  Verify verify;
  std::move(operands.begin(), operands.end(), verify.paths.begin());
  verify.json = json;
  return verify;
}

}  // namespace halyx::cli
