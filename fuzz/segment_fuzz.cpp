// segment_fuzz.cpp: the segment root (compact ranges, the split of the boundary proofs and the
// root from both sides) on small random trees, against the recursive definition of the tree hash.
//
// The reference splits a tree of n > 1 leaves at the largest power of two below n and hashes
// both parts, with libcrypto's SHA-256; inclusion paths come from the same recursion. For every
// input: a random segment [first, last] of a random tree of up to 300 leaves, fed as ranges cut at
// random places (each range built apart from its own start, as a worker would, aligned runs of 8 to
// 64 leaves joined whole by merkle::perfect_subtree_root), with the first
// proof's left side and the last proof's right side, must give the definition's root, and the left
// side must fold to the root of the first `first` leaves. Then one random damage (a leaf changed,
// two swapped, one dropped or repeated, a proof element changed, a proof for the neighbouring leaf)
// must change the root or be refused outright.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include <halyx/merkle/compact_range.hpp>

namespace {

using halyx::Hash32;
using halyx::fuzz::require;
using halyx::merkle::CompactRange;

constexpr std::uint64_t MAX_TREE = 300;

Hash32 sha256(const std::uint8_t* data, std::size_t n) {
  Hash32 out{};
  unsigned int len = 0;
  require(EVP_Digest(data, n, out.data(), &len, EVP_sha256(), nullptr) == 1 && len == 32, "libcrypto SHA-256 failed");
  return out;
}

Hash32 node(const Hash32& l, const Hash32& r) {
  std::uint8_t preimage[65];
  preimage[0] = 0x01;
  std::copy(l.begin(), l.end(), preimage + 1);
  std::copy(r.begin(), r.end(), preimage + 33);
  return sha256(preimage, sizeof preimage);
}

Hash32 root(const std::vector<Hash32>& leaves, std::uint64_t b, std::uint64_t e) {
  if (e == b) return sha256(nullptr, 0);
  if (e - b == 1) return leaves[b];
  const std::uint64_t k = std::bit_floor(e - b - 1);
  return node(root(leaves, b, b + k), root(leaves, b + k, e));
}

std::vector<Hash32> path(const std::vector<Hash32>& leaves, std::uint64_t m, std::uint64_t b, std::uint64_t e) {
  if (e - b <= 1) return {};
  const std::uint64_t k = std::bit_floor(e - b - 1);
  std::vector<Hash32> p = m < b + k ? path(leaves, m, b, b + k) : path(leaves, m, b + k, e);
  p.push_back(m < b + k ? root(leaves, b + k, e) : root(leaves, b, b + k));
  return p;
}

// The root the segment code computes, or nothing when it refuses the inputs.
std::optional<Hash32> segment_root(const std::vector<Hash32>& segment, std::uint64_t first, std::uint64_t n,
                                   const std::vector<Hash32>& first_path, std::uint64_t first_index,
                                   const std::vector<Hash32>& last_path, std::uint64_t last_index,
                                   const std::vector<std::uint64_t>& cuts, Hash32* prefix) {
  const auto left = halyx::merkle::split_path(first_index, n, first_path);
  const auto right = halyx::merkle::split_path(last_index, n, last_path);
  if (!left || !right || left->before.end() != first) return std::nullopt;
  if (prefix) *prefix = halyx::merkle::root_of_prefix(left->before);
  CompactRange range = left->before;
  std::size_t at = 0;
  for (std::size_t c = 0; c <= cuts.size(); ++c) {
    const std::size_t end = c < cuts.size() ? cuts[c] : segment.size();
    CompactRange part(first + at);
    // Aligned runs of 8 to 64 leaves join whole, by their subtree's root, as the verifier joins them.
    while (at < end) {
      unsigned h = 6;
      while (h > 0 && (((first + at) & ((std::uint64_t{1} << h) - 1)) != 0 || at + (std::size_t{1} << h) > end)) --h;
      if (h >= 3) {
        const std::span<const Hash32> run(segment.data() + at, std::size_t{1} << h);
        require(part.append(halyx::merkle::perfect_subtree_root(run), h), "an aligned run did not append");
        at += run.size();
      } else {
        require(part.append_leaf(segment[at]), "a leaf did not append");
        ++at;
      }
    }
    require(range.append(part), "a range starting where the last ended did not join");
  }
  if (range.end() != last_index + 1) return std::nullopt;  // the leaves do not reach the last proof
  return halyx::merkle::root_from_sides(range, std::span<const Hash32>(right->after.data(), right->after_count), n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::uint64_t n = fdp.ConsumeIntegralInRange<std::uint64_t>(1, MAX_TREE);
  const std::uint64_t first = fdp.ConsumeIntegralInRange<std::uint64_t>(0, n - 1);
  const std::uint64_t last = fdp.ConsumeIntegralInRange<std::uint64_t>(first, n - 1);
  std::vector<Hash32> leaves(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint8_t seed[9] = {fdp.ConsumeIntegral<std::uint8_t>(), static_cast<std::uint8_t>(i),
                                  static_cast<std::uint8_t>(i >> 8)};
    leaves[i] = sha256(seed, sizeof seed);
  }
  std::vector<std::uint64_t> cuts;
  for (int c = fdp.ConsumeIntegralInRange<int>(0, 4); c > 0; --c) {
    cuts.push_back(fdp.ConsumeIntegralInRange<std::uint64_t>(0, last - first + 1));
  }
  std::sort(cuts.begin(), cuts.end());

  const Hash32 want = root(leaves, 0, n);
  std::vector<Hash32> segment(leaves.begin() + static_cast<std::ptrdiff_t>(first),
                              leaves.begin() + static_cast<std::ptrdiff_t>(last + 1));
  std::vector<Hash32> first_path = path(leaves, first, 0, n), last_path = path(leaves, last, 0, n);
  Hash32 prefix{};
  const auto got = segment_root(segment, first, n, first_path, first, last_path, last, cuts, &prefix);
  require(got && *got == want, "a valid segment does not give the tree's root");
  require(prefix == root(leaves, 0, first), "the first proof's left side does not fold to the older root");

  std::uint64_t first_index = first;
  bool proof_changed = false;
  switch (fdp.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:  // a leaf changed
      segment[fdp.ConsumeIntegralInRange<std::size_t>(0, segment.size() - 1)][0] ^= 1;
      break;
    case 1: {  // two adjacent leaves swapped
      if (segment.size() < 2) return 0;
      const std::size_t i = fdp.ConsumeIntegralInRange<std::size_t>(0, segment.size() - 2);
      if (segment[i] == segment[i + 1]) return 0;
      std::swap(segment[i], segment[i + 1]);
      break;
    }
    case 2:  // a leaf dropped
      segment.erase(segment.begin() +
                    static_cast<std::ptrdiff_t>(fdp.ConsumeIntegralInRange<std::size_t>(0, segment.size() - 1)));
      break;
    case 3: {  // a leaf repeated
      const std::size_t i = fdp.ConsumeIntegralInRange<std::size_t>(0, segment.size() - 1);
      segment.insert(segment.begin() + static_cast<std::ptrdiff_t>(i), segment[i]);
      break;
    }
    case 4: {  // a proof element changed
      std::vector<Hash32>& p = fdp.ConsumeBool() ? first_path : last_path;
      if (p.empty()) return 0;
      p[fdp.ConsumeIntegralInRange<std::size_t>(0, p.size() - 1)][31] ^= 0x40;
      proof_changed = true;
      break;
    }
    default:  // the first proof of the neighbouring leaf, the leaves unchanged
      if (first + 1 > last) return 0;
      first_index = first + 1;
      first_path = path(leaves, first_index, 0, n);
      break;
  }
  for (std::uint64_t& c : cuts) c = std::min<std::uint64_t>(c, segment.size());
  const auto damaged = segment_root(segment, first_index, n, first_path, first_index, last_path, last, cuts, nullptr);
  // The root reads only the first proof's left side and the last proof's right side: a change to
  // the other elements goes unseen here, and the verifier catches it by walking each proof from
  // its own leaf. Every other damage must change the root or be refused.
  require(!damaged || *damaged != want || proof_changed, "a damaged segment gives the tree's root");
  return 0;
}
