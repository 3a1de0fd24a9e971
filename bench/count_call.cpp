// Runs verification a given number of times, for counting the instructions one call executes
// under qemu-user (bench/count_aarch64.sh), where time means nothing. Reads the sample's five files
// from DIR and either makes whole calls (verify_inclusion, on the path the process selects) or
// verifies only the STH's signature with a path forced (prepared with its message and decided, as the call does):
//
//   halyx_count_call DIR call CALLS
//   halyx_count_call DIR portable|neon|neon_sha3|... CALLS
//
// Exits 0 when every verification succeeded, 1 when one failed, 2 on a usage or file error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <halyx/bytes.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>
#include <halyx/signing/sth_signature.hpp>
#include <halyx/verification.hpp>

namespace {

halyx::ByteString read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "halyx_count_call: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: halyx_count_call DIR call|PATH CALLS\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string_view what = argv[2];
  const long calls = std::strtol(argv[3], nullptr, 10);
  const halyx::ByteString leaf = read_file(dir + "/leaf.cbor"), proof = read_file(dir + "/proof.bin"),
                          sth = read_file(dir + "/sth.bin"), signature = read_file(dir + "/sth.sig"),
                          key = read_file(dir + "/ca.pub");
  namespace mldsa = halyx::mldsa;
  const mldsa::Kernels* kernels = nullptr;
  if (what != "call") {
    for (const mldsa::Path p : mldsa::available_paths()) {
      if (mldsa::path_name(p) == what) kernels = &mldsa::kernels_for(p);
    }
    if (kernels == nullptr || key.size() != mldsa::PUBLIC_KEY_BYTES) {
      std::fprintf(stderr, "halyx_count_call: this CPU has no path '%s', or the key is not 1952 bytes\n", argv[2]);
      return 2;
    }
  }
  bool all = true;
  for (long i = 0; i < calls; ++i) {
    if (kernels == nullptr) {
      all = all && halyx::verify_inclusion(leaf, proof, sth, signature, key).has_value();
    } else {
      const auto prepared = mldsa::prepare(mldsa::PublicKeyView(key.data(), mldsa::PUBLIC_KEY_BYTES), signature, sth,
                                           halyx::signing::STH_SIGNATURE_CONTEXT, *kernels);
      all = all && prepared.decide_prepared();
    }
  }
  return all ? 0 : 1;
}
