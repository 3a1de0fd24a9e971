// proof_fuzz.cpp: decode_inclusion_proof_v1 on arbitrary bytes.
//
// The module has no proof encoder (the issuing side writes proofs), so this target writes the
// shortest-form encoding itself and holds the decoder to it: a decoded proof re-encodes to bytes
// that decode to the same proof, never longer than the input, and of the input's length exactly
// when they are the input. The same bytes, read as a recipe, also build a proof whose encoding
// must decode back to it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"
#include <halyx/serialization/inclusion_proof.hpp>

namespace {

using halyx::ByteString;
using halyx::ByteView;
using halyx::Hash32;
using halyx::fuzz::put_bytes;
using halyx::fuzz::put_head;
using halyx::fuzz::require;
namespace wire = halyx::wire;

ByteString encode_proof(const wire::InclusionProof& proof) {
  ByteString out;
  put_head(out, 4, 3);
  put_head(out, 0, proof.tree_size);
  put_head(out, 0, proof.leaf_index);
  put_head(out, 4, proof.inclusion_path.size());
  for (const Hash32& h : proof.inclusion_path) {
    put_head(out, 2, h.size());
    put_bytes(out, h);
  }
  return out;
}

void check_decoded(ByteView input) {
  auto proof = wire::decode_inclusion_proof_v1(input);
  if (!proof) {
    halyx::fuzz::check_wire_error(proof.error(), input.size());
    return;
  }
  const ByteString again = encode_proof(*proof);
  auto redecoded = wire::decode_inclusion_proof_v1(again);
  require(redecoded.has_value(), "re-encoded proof does not decode");
  require(*redecoded == *proof, "re-encoded proof decodes to another record");
  require(again.size() <= input.size(), "shortest encoding is longer than the input");
  const bool same_bytes = std::equal(again.begin(), again.end(), input.begin(), input.end());
  require((again.size() == input.size()) == same_bytes, "input of shortest length decodes to another proof");
}

void check_built(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  wire::InclusionProof proof;
  proof.tree_size = fdp.ConsumeIntegral<std::uint64_t>();
  proof.leaf_index = fdp.ConsumeIntegral<std::uint64_t>();
  const auto count = fdp.ConsumeIntegralInRange<std::size_t>(0, 70);
  for (std::size_t i = 0; i < count; ++i) {
    Hash32& h = proof.inclusion_path.emplace_back();
    fdp.ConsumeData(h.data(), h.size());
  }
  auto decoded = wire::decode_inclusion_proof_v1(encode_proof(proof));
  require(decoded.has_value(), "encoded proof does not decode");
  require(*decoded == proof, "encoded proof decodes to another record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_decoded(ByteView(data, size));
  check_built(data, size);
  return 0;
}
