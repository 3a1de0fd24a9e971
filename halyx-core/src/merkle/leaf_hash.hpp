// leaf_hash.hpp: the domain-separated hash that binds a leaf record to its log.
#pragma once

#include <halyx/bytes.hpp>
#include <halyx/serialization/mtac_leaf.hpp>

namespace halyx::merkle {

// Returns SHA-256(0x00 || LEAF_DOMAIN_TAG || log_id || serialize_canonical(leaf)). The hash covers
// the record's canonical re-serialisation, never the caller's bytes: entries the decoder dropped
// and encodings it normalised do not change it.
[[nodiscard]] Hash32 leaf_hash(const leaf::MtacLeaf& leaf, const Hash32& log_id);

// Returns SHA-256(0x00 || LEAF_DOMAIN_TAG || log_id || canonical), for `canonical` the bytes of a
// record that are already its canonical re-serialisation (leaf::read_canonical_leaf): then it is
// leaf_hash of the record, without decoding or writing it again.
[[nodiscard]] Hash32 leaf_hash_of_canonical(ByteView canonical, const Hash32& log_id) noexcept;

}  // namespace halyx::merkle
