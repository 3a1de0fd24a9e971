#include <halyx/merkle/leaf_hash.hpp>

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

Hash32 leaf_hash(const leaf::MtacLeaf& leaf, const Hash32& log_id) {
  // The canonical bytes go straight into the digest behind the prefix: no preimage is built, so a
  // leaf of any size costs no memory beyond the record itself.
  digest::Sha256 h = prefixed(log_id);
  HashSink sink(h);
  leaf::write_canonical(leaf, sink);
  return h.finish();
}

}  // namespace halyx::merkle
