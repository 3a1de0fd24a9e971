// leaf_hash.hpp: the domain-separated hash that binds a leaf record to its log.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

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

// Returns leaf_hash of the leaf that `record` decodes to (leaf::decode_mtac_leaf), the same hash
// decoding it and hashing the leaf gives; a record already in its canonical form is hashed as it
// stands, without being decoded into a leaf. With `fields`, that leaf is stored there too. Every
// verification reaches a leaf's hash through here, so one reading decides what a record holds.
// Errors: the decode's. Throws std::bad_alloc only.
[[nodiscard]] std::expected<Hash32, leaf::LeafDecodeError> leaf_hash_of_record(ByteView record, const Hash32& log_id,
                                                                             leaf::MtacLeaf* fields = nullptr);

// Returns in out[i] leaf_hash_of_canonical(canonical[i], log_id) for four records, hashed side by
// side (digest::sha256_x4) when each is at most MAX_X4_RECORD bytes, one after another otherwise.
inline constexpr std::size_t MAX_X4_RECORD = 512;
void leaf_hashes_of_canonical_x4(std::span<const ByteView, 4> canonical, const Hash32& log_id,
                                 std::span<Hash32, 4> out) noexcept;

}  // namespace halyx::merkle
