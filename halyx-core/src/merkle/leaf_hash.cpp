#include <halyx/merkle/leaf_hash.hpp>

#include <algorithm>
#include <array>
#include <cstring>

#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/inclusion.hpp>

namespace halyx::merkle {
namespace {

class HashSink final : public leaf::ByteSink {
 public:
  explicit HashSink(digest::Sha256& h) noexcept : h_(h) {}
  void write(ByteView bytes) override { h_.update(bytes); }

 private:
  digest::Sha256& h_;
};

constexpr std::uint8_t LEAF_PREFIX = 0x00;

digest::Sha256 prefixed(const Hash32& log_id) noexcept {
  digest::Sha256 h;
  h.update(ByteView(&LEAF_PREFIX, 1));
  h.update(LEAF_DOMAIN_TAG);
  h.update(log_id);
  return h;
}

}  // namespace

Hash32 leaf_hash_of_canonical(ByteView canonical, const Hash32& log_id) noexcept {
  digest::Sha256 h = prefixed(log_id);
  h.update(canonical);
  return h.finish();
}

void leaf_hashes_of_canonical_x4(std::span<const ByteView, 4> canonical, const Hash32& log_id,
                                 std::span<Hash32, 4> out) noexcept {
  constexpr std::size_t PREFIX = 1 + LEAF_DOMAIN_TAG.size() + sizeof(Hash32);
  if (std::ranges::any_of(canonical, [](ByteView r) { return r.size() > MAX_X4_RECORD; })) {
    for (std::size_t i = 0; i < 4; ++i) out[i] = leaf_hash_of_canonical(canonical[i], log_id);
    return;
  }
  // The four preimages, built whole and padded: the block function takes each as one run of blocks.
  constexpr std::size_t ROOM = digest::padded_blocks(PREFIX + MAX_X4_RECORD) * 64;
  std::array<std::array<std::uint8_t, ROOM>, 4> preimages;  // each written before it is read
  std::array<ByteView, 4> messages{};
  std::array<const std::uint8_t*, 4> padded{};
  std::array<std::size_t, 4> blocks{};
  for (std::size_t i = 0; i < 4; ++i) {
    std::uint8_t* p = preimages[i].data();
    p[0] = LEAF_PREFIX;
    std::memcpy(p + 1, LEAF_DOMAIN_TAG.data(), LEAF_DOMAIN_TAG.size());
    std::memcpy(p + 1 + LEAF_DOMAIN_TAG.size(), log_id.data(), log_id.size());
    if (!canonical[i].empty()) std::memcpy(p + PREFIX, canonical[i].data(), canonical[i].size());
    messages[i] = ByteView(p, PREFIX + canonical[i].size());
    padded[i] = p;
    blocks[i] = digest::pad_in_place(p, messages[i].size());
  }
  if (std::ranges::all_of(blocks, [&](std::size_t b) { return b == blocks[0]; })) {
    digest::sha256_x4_padded(padded, blocks[0], out);
  } else {
    digest::sha256_x4(messages, out);  // the padding written after each message is not part of it
  }
}

std::expected<Hash32, leaf::LeafDecodeError> leaf_hash_of_record(ByteView record, const Hash32& log_id,
                                                                 leaf::MtacLeaf* fields) {
  if (const auto view = leaf::read_canonical_leaf(record); view && view->length == record.size()) {
    if (fields) *fields = leaf::to_leaf(*view);
    return leaf_hash_of_canonical(record, log_id);
  }
  auto leaf = leaf::decode_mtac_leaf(record);
  if (!leaf) return std::unexpected(std::move(leaf.error()));
  const Hash32 hash = leaf_hash(*leaf, log_id);
  if (fields) *fields = std::move(*leaf);
  return hash;
}

Hash32 leaf_hash(const leaf::MtacLeaf& leaf, const Hash32& log_id) {
  // The canonical bytes go straight into the digest behind the prefix: no preimage is built, so a
  // leaf of any size costs no memory beyond the record itself.
  digest::Sha256 h = prefixed(log_id);
  HashSink sink(h);
  leaf::write_canonical(leaf, sink);
  return h.finish();
}

}  // namespace halyx::merkle
