#include "merkle/leaf_hash.hpp"

#include <algorithm>

#include "merkle/inclusion.hpp"
#include "digest/sha256.hpp"

namespace halyx::merkle {

Hash32 leaf_hash(const leaf::MtacLeaf& leaf, const Hash32& log_id) {
  const ByteString canonical = leaf::serialize_canonical(leaf);
  // The preimage is built in one allocation of exactly its final size.
  constexpr std::size_t PREFIX = 1 + LEAF_DOMAIN_TAG.size() + std::tuple_size_v<Hash32>;
  ByteString preimage(PREFIX + canonical.size());
  auto out = preimage.begin();
  *out++ = 0x00;
  out = std::copy(LEAF_DOMAIN_TAG.begin(), LEAF_DOMAIN_TAG.end(), out);
  out = std::copy(log_id.begin(), log_id.end(), out);
  std::copy(canonical.begin(), canonical.end(), out);
  return digest::sha256(preimage);
}

}  // namespace halyx::merkle
