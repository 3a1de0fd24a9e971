#include <halyx/serialization/inclusion_proof.hpp>

#include <algorithm>
#include <cstddef>

#include <halyx/serialization/wire_reader.hpp>

namespace halyx::wire {
namespace {

constexpr std::uint64_t PROOF_ITEMS = 3;
// A path element takes at least 34 bytes: 32 does not fit in the initial byte, so its head has two.
constexpr std::uint64_t MIN_PATH_ELEMENT_BYTES = 2 + HASH_LENGTH;

}  // namespace

std::expected<InclusionProof, WireDecodeError> decode_inclusion_proof_v1(ByteView bytes) {
  WireReader r(bytes);
  InclusionProof proof;

  if (auto ok = r.read_array_n(PROOF_ITEMS, label::INCLUSION_PROOF_ARRAY); !ok) return std::unexpected(ok.error());

  auto tree_size = r.read_uint(label::TREE_SIZE);
  if (!tree_size) return std::unexpected(tree_size.error());
  proof.tree_size = *tree_size;

  auto leaf_index = r.read_uint(label::LEAF_INDEX);
  if (!leaf_index) return std::unexpected(leaf_index.error());
  proof.leaf_index = *leaf_index;

  auto count = r.read_array_len(label::INCLUSION_PATH_ARRAY);
  if (!count) return std::unexpected(count.error());
  // The count is unchecked input: reserve only what the remaining bytes could hold, and let a count
  // they cannot back end at the first missing element.
  proof.inclusion_path.reserve(static_cast<std::size_t>(std::min(*count, r.remaining() / MIN_PATH_ELEMENT_BYTES)));
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto element = r.read_bstr_n(HASH_LENGTH, label::INCLUSION_PATH_HASH);
    if (!element) return std::unexpected(element.error());
    Hash32& h = proof.inclusion_path.emplace_back();
    std::copy(element->begin(), element->end(), h.begin());
  }

  if (r.remaining() != 0) return std::unexpected(TrailingGarbage{r.remaining()});
  return proof;
}

}  // namespace halyx::wire
