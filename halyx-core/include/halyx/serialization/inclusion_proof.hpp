// inclusion_proof.hpp: the Merkle inclusion proof record and its wire-v1 decoder.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/serialization/wire_decode_error.hpp>

namespace halyx::wire {

// Where a leaf sits and which sibling hashes lead from it to the root. The decoder relates none of
// the fields to each other or to any tree head: an index past the tree or a path of the wrong length
// decodes, and is refused by the inclusion walk.
struct InclusionProof {
  std::uint64_t tree_size = 0;
  std::uint64_t leaf_index = 0;
  std::vector<Hash32> inclusion_path;  // the leaf's sibling first, then upward
  bool operator==(const InclusionProof&) const = default;
};

// Returns the proof held by `bytes`, array(3) of tree_size, leaf_index and the path of 32-byte byte
// strings, with nothing after it. Errors: any WireDecodeError except VersionMismatch and
// ExtensionTypeTooLarge.
[[nodiscard]] std::expected<InclusionProof, WireDecodeError> decode_inclusion_proof_v1(ByteView bytes);

}  // namespace halyx::wire
