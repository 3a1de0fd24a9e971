// sth_envelope_fuzz.cpp: decode_signed_tree_head on arbitrary bytes, and the envelope codec's two
// round trips.
//
// Decoded input: the re-encoding decodes to the same record and is its own re-encoding. Heads are
// the only thing the encoder may write differently, always in their shortest form, so the
// re-encoding is never longer than the input, and it has the input's length exactly when it is
// the input. (An input whose heads are all shortest is the one shortest encoding of its record, so
// a faithful encoder must reproduce it; one with a longer head must come back shorter.)
//
// Built record: the same bytes, read as a recipe for a record, give a record whose encoding
// decodes back to it, whatever the field values and extension payloads.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"
#include <halyx/serialization/signed_tree_head.hpp>

namespace {

using halyx::ByteString;
using halyx::ByteView;
using halyx::Hash32;
using halyx::fuzz::require;
namespace wire = halyx::wire;

void check_decoded(ByteView input) {
  auto sth = wire::decode_signed_tree_head(input);
  if (!sth) {
    halyx::fuzz::check_wire_error(sth.error(), input.size());
    return;
  }
  const ByteString again = wire::encode_signed_tree_head(*sth);
  auto redecoded = wire::decode_signed_tree_head(again);
  require(redecoded.has_value(), "re-encoded STH does not decode");
  require(*redecoded == *sth, "re-encoded STH decodes to another record");
  require(wire::encode_signed_tree_head(*redecoded) == again, "re-encoding is not a fixed point");
  require(again.size() <= input.size(), "re-encoding is longer than the input");
  const bool same_bytes = std::equal(again.begin(), again.end(), input.begin(), input.end());
  require((again.size() == input.size()) == same_bytes, "re-encoding of the input's length differs from it");
}

Hash32 consume_hash(FuzzedDataProvider& fdp) {
  Hash32 h{};
  fdp.ConsumeData(h.data(), h.size());
  return h;
}

void check_built(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  wire::SignedTreeHead sth;
  sth.log_id = consume_hash(fdp);
  sth.tree_size = fdp.ConsumeIntegral<std::uint64_t>();
  sth.timestamp = fdp.ConsumeIntegral<std::uint64_t>();
  sth.root_hash = consume_hash(fdp);
  const auto count = fdp.ConsumeIntegralInRange<std::size_t>(0, 40);
  for (std::size_t i = 0; i < count && fdp.remaining_bytes() > 0; ++i) {
    wire::SthExtension ext;
    ext.extension_type = fdp.ConsumeIntegral<std::uint16_t>();
    const auto len = fdp.ConsumeIntegralInRange<std::size_t>(0, 300);
    ext.extension_data = fdp.ConsumeBytes<std::uint8_t>(len);
    sth.extensions.push_back(std::move(ext));
  }

  const ByteString bytes = wire::encode_signed_tree_head(sth);
  auto decoded = wire::decode_signed_tree_head(bytes);
  require(decoded.has_value(), "encoded STH does not decode");
  require(*decoded == sth, "encoded STH decodes to another record");
  // The envelope ends with the body, exactly as encode_sth_body writes it.
  const ByteString body = wire::encode_sth_body(sth);
  require(body.size() < bytes.size() && std::equal(body.begin(), body.end(), bytes.end() - static_cast<std::ptrdiff_t>(body.size())),
          "envelope does not end with the body");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_decoded(ByteView(data, size));
  check_built(data, size);
  return 0;
}
