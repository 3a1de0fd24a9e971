// SHA-256 both ways it is computed (the processor's SHA instructions, the portable block function):
// the FIPS 180-4 examples, and agreement on every length around the block and padding boundaries,
// fed in pieces.
#include <halyx/digest/sha256.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "signing/fixtures.hpp"

namespace halyx::digest {
namespace {

constexpr std::uint8_t PREFIX = 0x01;

std::vector<bool> ways() {
  if (Sha256::hardware_available()) return {true, false};
  return {false};  // this processor has no SHA instructions; the portable way is the only one
}

// The block function each way takes.
detail::Engine engine(bool hardware) { return hardware ? detail::Engine::Best : detail::Engine::Portable; }

Hash32 hash(const char* hex) {
  const ByteString bytes = test::from_hex(hex);
  Hash32 h{};
  std::copy(bytes.begin(), bytes.end(), h.begin());
  return h;
}

Hash32 digest_of(bool hardware, ByteView data, std::size_t piece) {
  Sha256 h(engine(hardware));
  for (std::size_t at = 0; at < data.size(); at += piece) h.update(data.subspan(at, std::min(piece, data.size() - at)));
  return h.finish();
}

TEST(Sha256, FipsExamples) {
  struct Row {
    std::string message;
    const char* digest;
  };
  const Row rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (bool hardware : ways()) {
    for (const Row& r : rows) {
      SCOPED_TRACE(std::string(hardware ? "hardware " : "portable ") + r.message.substr(0, 8));
      for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{4096}}) {
        EXPECT_EQ(digest_of(hardware, as_bytes(r.message), piece), hash(r.digest));
      }
    }
  }
}

TEST(Sha256, BothWaysAgreeOnEveryLengthAndSplit) {
  std::mt19937 random(20261208);
  std::vector<std::uint8_t> data(700);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (std::size_t length = 0; length <= data.size(); ++length) {
    const ByteView message(data.data(), length);
    const Hash32 want = digest_of(false, message, length + 1);
    for (bool hardware : ways()) {
      const std::size_t piece = 1 + random() % 130;
      ASSERT_EQ(digest_of(hardware, message, piece), want) << "length " << length << ", pieces of " << piece;
    }
  }
}

// Four messages at once, against each hashed alone: lengths on both sides of the block and padding
// boundaries, four equal (every block side by side) and mixed (each lane finishing on its own).
TEST(Sha256, FourAtOnceAgreeWithEachAlone) {
  std::mt19937 random(20261209);
  std::vector<std::uint8_t> data(1200);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  const std::size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 181, 183, 192, 1000, 1200};
  std::vector<std::array<std::size_t, 4>> quads;
  for (std::size_t n : lengths) quads.push_back({n, n, n, n});
  for (int i = 0; i < 200; ++i) {
    quads.push_back({lengths[random() % std::size(lengths)], lengths[random() % std::size(lengths)],
                     lengths[random() % std::size(lengths)], lengths[random() % std::size(lengths)]});
  }
  for (bool hardware : ways()) {
    for (const auto& q : quads) {
      std::array<ByteView, 4> messages;
      for (std::size_t l = 0; l < 4; ++l) messages[l] = ByteView(data.data() + 7 * l, q[l] - (q[l] == 1200 ? 7 * l : 0));
      std::array<Hash32, 4> got{};
      detail::sha256_x4(messages, got, engine(hardware));
      for (std::size_t l = 0; l < 4; ++l) {
        ASSERT_EQ(got[l], digest_of(false, messages[l], 4096))
            << (hardware ? "hardware" : "portable") << ", lane " << l << " of " << messages[l].size() << " bytes";
      }
    }
  }
}

// Four messages of one length, padded in place, against each hashed alone.
TEST(Sha256, FourPaddedInPlaceAgreeWithEachAlone) {
  std::mt19937 random(20261210);
  for (const std::size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 181, 183, 700}) {
    std::array<std::vector<std::uint8_t>, 4> buffers;
    std::array<const std::uint8_t*, 4> padded{};
    std::array<Hash32, 4> want{};
    for (std::size_t l = 0; l < 4; ++l) {
      buffers[l].resize(padded_blocks(length) * 64);
      for (std::size_t i = 0; i < length; ++i) buffers[l][i] = static_cast<std::uint8_t>(random());
      want[l] = digest_of(false, ByteView(buffers[l].data(), length), 4096);
      ASSERT_EQ(pad_in_place(buffers[l].data(), length), padded_blocks(length));
      padded[l] = buffers[l].data();
    }
    for (bool hardware : ways()) {
      std::array<Hash32, 4> got{};
      detail::sha256_x4_padded(padded, padded_blocks(length), got, engine(hardware));
      EXPECT_EQ(got, want) << (hardware ? "hardware" : "portable") << ", " << length << " bytes";
    }
  }
}

// A message hashed beside a chain of short padded hashes: every short hash and the message's digest
// as each alone gives them, for chains shorter and longer than the message, and messages that end
// on both sides of a block.
TEST(Sha256, MessageBesideAChainAgreesWithEachAlone) {
  std::mt19937 random(20261211);
  std::vector<std::uint8_t> data(2000);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (bool hardware : ways()) {
    for (const std::size_t length : {0, 55, 56, 64, 1952, 2000}) {
      for (const std::size_t links : {0, 1, 3, 20, 40}) {
        const ByteView message(data.data(), length);
        Sha256Beside beside(message, engine(hardware));
        // Each link's 1 or 2 padded blocks start with the digest before it, as a walk's nodes do.
        Hash32 last{};
        for (std::size_t i = 0; i < links; ++i) {
          const std::size_t size = i % 2 == 0 ? 33 : 65;
          std::array<std::uint8_t, 128> padded{};
          std::copy(last.begin(), last.end(), padded.begin());
          padded[32] = static_cast<std::uint8_t>(i);
          const Hash32 want = digest_of(false, ByteView(padded.data(), size), 4096);
          const std::size_t blocks = pad_in_place(padded.data(), size);
          last = beside.hash_padded(padded.data(), blocks);
          ASSERT_EQ(last, want) << (hardware ? "hardware" : "portable") << ", link " << i << " of " << links;
        }
        EXPECT_EQ(beside.finish(), digest_of(false, message, 4096))
            << (hardware ? "hardware" : "portable") << ", " << length << " bytes beside " << links << " links";
      }
    }
  }
}

// Chains of pair hashes, alone and beside a message, against each link hashed by the portable block
// function: every chain length up to the most a walk can have, with each link's order drawn at random.
TEST(Sha256, PairChainsAgreeWithEachLinkAlone) {
  std::mt19937_64 random(20261212);
  std::vector<std::uint8_t> key(1952);
  for (auto& b : key) b = static_cast<std::uint8_t>(random());
  for (std::size_t links = 0; links <= 64; ++links) {
    std::vector<Hash32> others(links);
    for (Hash32& h : others) std::generate(h.begin(), h.end(), [&] { return static_cast<std::uint8_t>(random()); });
    Hash32 start{};
    std::generate(start.begin(), start.end(), [&] { return static_cast<std::uint8_t>(random()); });
    const std::uint64_t on_left = random();
    Hash32 want = start;
    for (std::size_t i = 0; i < links; ++i) {
      const bool left = ((on_left >> i) & 1) != 0;
      const Hash32& l = left ? others[i] : want;
      const Hash32& r = left ? want : others[i];
      std::array<std::uint8_t, 65> preimage{PREFIX};
      std::copy(l.begin(), l.end(), preimage.begin() + 1);
      std::copy(r.begin(), r.end(), preimage.begin() + 33);
      want = digest_of(false, ByteView(preimage), 4096);
    }
    for (bool hardware : ways()) {
      SCOPED_TRACE(std::string(hardware ? "hardware, " : "portable, ") + std::to_string(links) + " links");
      EXPECT_EQ(detail::sha256_pair_chain(PREFIX, start, others, on_left, engine(hardware)), want);
      Sha256Beside beside(ByteView(key.data(), key.size()), engine(hardware));
      EXPECT_EQ(beside.pair_chain(PREFIX, start, others, on_left), want);
      EXPECT_EQ(beside.finish(), digest_of(false, ByteView(key.data(), key.size()), 4096));
    }
  }
}

}  // namespace
}  // namespace halyx::digest
