// verdict_record.hpp: OpenSSL's verdicts on fresh signatures and on every kind of damage to them,
// recorded on x86-64 (differential_test.cpp) and replayed where OpenSSL is not at hand, under
// emulation on aarch64 (replay_test.cpp). Only the fresh signatures are kept: the damage is drawn
// again on the replaying side from the seed each signature records (damage.hpp), so a record of
// ten thousand verdicts is a few megabytes, made at test time and never committed.
//
// Layout, integers little-endian: "HXVR1\n", then for each key its 1952 bytes after a 'K', and
// for each signature under the last key an 'S', the message (u32 length, bytes), the context (u8
// length, bytes), the 3309-byte signature, the damage seed (u64), OpenSSL's verdict on the fresh
// signature, and one byte for each kind of damage in order: 0 refused, 1 accepted, 2 did not apply.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>

#include "mldsa/damage.hpp"
#include <halyx/bytes.hpp>
#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa::test {

inline constexpr std::string_view VERDICT_RECORD_MAGIC = "HXVR1\n";
inline constexpr std::uint8_t REFUSED = 0, ACCEPTED = 1, NOT_APPLIED = 2;

// One signature's entry.
struct RecordedSignature {
  ByteString message, context, signature;
  std::uint64_t damage_seed = 0;
  std::uint8_t fresh_verdict = REFUSED;
  std::array<std::uint8_t, CHANGES> damaged{};
};

inline void put_le(ByteString& out, std::uint64_t v, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline void record_key(ByteString& out, const ByteString& key) {
  out.push_back('K');
  out.insert(out.end(), key.begin(), key.end());
}

inline void record_signature(ByteString& out, const RecordedSignature& s) {
  out.push_back('S');
  put_le(out, s.message.size(), 4);
  out.insert(out.end(), s.message.begin(), s.message.end());
  out.push_back(static_cast<std::uint8_t>(s.context.size()));
  out.insert(out.end(), s.context.begin(), s.context.end());
  out.insert(out.end(), s.signature.begin(), s.signature.end());
  put_le(out, s.damage_seed, 8);
  out.push_back(s.fresh_verdict);
  out.insert(out.end(), s.damaged.begin(), s.damaged.end());
}

// Reads a record entry by entry; any short or malformed entry ends it as broken().
class VerdictReader {
 public:
  explicit VerdictReader(ByteView bytes) : bytes_(bytes) {
    const auto magic = take(VERDICT_RECORD_MAGIC.size());
    ok_ = magic && std::equal(VERDICT_RECORD_MAGIC.begin(), VERDICT_RECORD_MAGIC.end(), magic->begin());
  }
  [[nodiscard]] bool broken() const { return !ok_; }
  [[nodiscard]] bool at_end() const { return ok_ && pos_ == bytes_.size(); }

  // The next entry: a key (then `key` is set and `signature` left alone) or a signature; None at
  // the end, and at an entry that is broken.
  enum class Entry { Key, Signature, None };
  Entry next(ByteString& key, RecordedSignature& signature) {
    if (pos_ == bytes_.size()) return Entry::None;
    const auto tag = take(1);
    if (!tag) return fail();
    if ((*tag)[0] == 'K') {
      const auto k = take(PUBLIC_KEY_BYTES);
      if (!k) return fail();
      key.assign(k->begin(), k->end());
      return Entry::Key;
    }
    if ((*tag)[0] != 'S') return fail();
    const auto message_length = number(4);
    if (!message_length) return fail();
    const auto message = take(*message_length);
    const auto context_length = message ? number(1) : std::nullopt;
    const auto context = context_length ? take(*context_length) : std::nullopt;
    const auto sig = context ? take(SIGNATURE_BYTES) : std::nullopt;
    const auto seed = sig ? number(8) : std::nullopt;
    const auto verdicts = seed ? take(1 + CHANGES) : std::nullopt;
    if (!verdicts) return fail();
    signature.message.assign(message->begin(), message->end());
    signature.context.assign(context->begin(), context->end());
    signature.signature.assign(sig->begin(), sig->end());
    signature.damage_seed = *seed;
    signature.fresh_verdict = (*verdicts)[0];
    std::copy(verdicts->begin() + 1, verdicts->end(), signature.damaged.begin());
    return Entry::Signature;
  }

 private:
  Entry fail() {
    ok_ = false;
    return Entry::None;
  }
  std::optional<ByteView> take(std::uint64_t n) {
    if (!ok_ || n > bytes_.size() - pos_) return std::nullopt;
    const ByteView out = bytes_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  std::optional<std::uint64_t> number(std::size_t bytes) {
    const auto b = take(bytes);
    if (!b) return std::nullopt;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= std::uint64_t{(*b)[i]} << (8 * i);
    return v;
  }

  ByteView bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// The generator a recorded signature's damage is drawn from.
inline std::mt19937_64 damage_generator(std::uint64_t seed) { return std::mt19937_64(seed); }

}  // namespace halyx::mldsa::test
