// mldsa_differential_fuzz.cpp: our ML-DSA-65 verifier against OpenSSL 3.5 on arbitrary input.
//
// The input is cut into the four arguments of a verification, each but the last after a two-byte
// little-endian length (cut short when the input ends first):
//
//   [len][public key] [len][signature] [len][context] message...
//
// so that a mutation of the message's length leaves the others intact, and a context may be longer
// than 255 bytes, which both sides must refuse. fuzz/make_corpus.py writes the seeds in this framing.
//
// For every input, every code path this CPU has must give OpenSSL's verdict. OpenSSL is reached
// only through its public interface (the tests' oracle); a key it will not load verifies nothing,
// and our handle refuses any key that is not 1952 bytes before preparing.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <halyx/bytes.hpp>
#include "fuzz_support.hpp"
#include "mldsa/openssl_oracle.hpp"
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>

using halyx::ByteString;
using halyx::ByteView;
using halyx::fuzz::take_framed;
namespace mldsa = halyx::mldsa;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const halyx::test::MlDsa65Oracle oracle;
  ByteView input(data, size);
  const ByteString key = take_framed(input);
  const ByteString signature = take_framed(input);
  const ByteString context = take_framed(input);
  const ByteString message(input.begin(), input.end());

  const bool openssl = oracle.verify(key, message, context, signature);
  if (key.size() != mldsa::PUBLIC_KEY_BYTES) {
    halyx::fuzz::require(!openssl, "OpenSSL accepted a key that is not 1952 bytes");
    return 0;
  }
  const mldsa::PublicKeyView key_view(key.data(), mldsa::PUBLIC_KEY_BYTES);
  for (const mldsa::Path p : mldsa::available_paths()) {
    const bool ours = mldsa::prepare(key_view, signature, mldsa::kernels_for(p)).decide(message, context);
    halyx::fuzz::require(ours == openssl, ours ? "a path accepts what OpenSSL refuses"
                                               : "a path refuses what OpenSSL accepts");
  }
  return 0;
}
