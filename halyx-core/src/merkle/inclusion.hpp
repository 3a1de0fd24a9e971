// inclusion.hpp: the Merkle inclusion walk (RFC 9162 audit paths) over this log's node hash, and the
// walk of a decoded leaf into the tree a signed tree head names.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include <halyx/bytes.hpp>
#include <halyx/digest/sha256.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>

namespace halyx::merkle {

// Separates this log's leaf hashes from any other SHA-256 use: "halyx-leaf/v1", a line feed and two
// zero bytes, 16 bytes in all. It follows the 0x00 leaf prefix in every leaf hash preimage.
inline constexpr std::array<std::uint8_t, 16> LEAF_DOMAIN_TAG = {'h', 'a', 'l', 'y', 'x', '-', 'l', 'e',
                                                                 'a', 'f', '/', 'v', '1', '\n', 0x00, 0x00};

// Returns the interior node hash SHA-256(0x01 || left || right).
[[nodiscard]] Hash32 node_hash(const Hash32& left, const Hash32& right);

// Returns true when the proof's path, walked as its own leaf_index and tree_size prescribe, leads
// from `leaf_hash` to exactly `root_hash`. False for an index outside the tree, a path too long or
// too short for it, or any other root; the three are not told apart. Allocates nothing.
[[nodiscard]] bool verify_inclusion_proof(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                                          const Hash32& root_hash);

// The same walk over its parts: the leaf at `leaf_index` of a tree of `tree_size` leaves.
[[nodiscard]] bool verify_inclusion_path(const Hash32& leaf_hash, std::uint64_t leaf_index,
                                         std::uint64_t tree_size, std::span<const Hash32> path,
                                         const Hash32& root_hash);

// Returns whether the proof leads from the leaf's hash under the STH's log to the STH's root. A
// proof that states another tree size than the STH's must also walk to that root under the STH's
// size, so that the proof's leaf_index is always the leaf's index in the STH's tree. False for an
// index outside the tree, a path of the wrong length, another root, or such a proof whose path does
// not fit the STH's tree. It checks nothing of the STH itself: callers check its signature first.
[[nodiscard]] bool verify_leaf_in_tree(const leaf::MtacLeaf& leaf, const wire::InclusionProof& proof,
                                       const wire::SignedTreeHead& sth);

// The same for a leaf hash already taken (leaf_hash, or leaf_hash_of_record).
[[nodiscard]] bool verify_leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                                            const wire::SignedTreeHead& sth);
// The same again, with `beside` taking its message's digest beside the walk's node hashes.
[[nodiscard]] bool verify_leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                                            const wire::SignedTreeHead& sth, digest::Sha256Beside& beside);

}  // namespace halyx::merkle
