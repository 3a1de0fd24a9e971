// The record reader on many threads: the same records and the same error as one thread, and work in
// proportion to the file on bytes built to make a share's search for its first record expensive.
#include <halyx/segment_reader.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <halyx/serialization/mtac_leaf.hpp>

namespace halyx {
namespace {

void put_head(ByteString& out, std::uint8_t major, std::uint64_t value) {
  const auto type = static_cast<std::uint8_t>(major << 5);
  if (value < 24) {
    out.push_back(static_cast<std::uint8_t>(type | value));
    return;
  }
  const int width = value <= 0xff ? 1 : value <= 0xffff ? 2 : value <= 0xffffffff ? 4 : 8;
  out.push_back(static_cast<std::uint8_t>(type | (width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27)));
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

ByteString canonical_record(std::size_t i, std::size_t scopes = 2) {
  leaf::MtacLeaf l{1, "agent-" + std::to_string(i), "sponsor-" + std::to_string(i % 7), {}, 1700000000 + i, 1800000000};
  for (std::size_t s = 0; s < scopes; ++s) l.authorized_scopes.push_back("scope-" + std::to_string(s));
  return leaf::serialize_canonical(l);
}

// Each shape gives about `size` bytes.
using Shape = std::function<ByteString(std::size_t size)>;

// Valid records, most canonical, every fifth with an entry beyond the six (so not canonical), sizes
// varying, so that shares start inside records of every kind.
ByteString valid_records(std::size_t size) {
  ByteString out;
  for (std::size_t i = 0; out.size() < size; ++i) {
    ByteString r = canonical_record(i, i % 9);
    if (i % 5 == 0) {  // seven entries; the short key "zz" sorts before every field's key
      ByteString extra{0xa7, 0x62, 'z', 'z'};
      put_head(extra, 0, i);
      r.erase(r.begin());
      r.insert(r.begin(), extra.begin(), extra.end());
    }
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

// One map whose values are 9-byte byte strings each holding a map head with an 8-byte count: a
// decode tried at any of those heads reads the entries after it as its own, to the end.
ByteString map_heads_in_byte_strings(std::size_t size) {
  const std::size_t entries = size / 14;
  ByteString out;
  put_head(out, 5, entries);
  for (std::size_t i = 0; i < entries; ++i) {
    put_head(out, 0, i);
    put_head(out, 2, 9);
    out.push_back(0xbb);
    for (int b = 0; b < 8; ++b) out.push_back(0xff);
  }
  return out;
}

// A record first, then the same hostile map: the error comes after a record.
ByteString record_then_map_heads(std::size_t size) {
  ByteString out = canonical_record(0);
  const ByteString rest = map_heads_in_byte_strings(size);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// Records that are all valid, hidden in one byte string: every share finds records that are no
// boundary of the sequence.
ByteString records_inside_a_byte_string(std::size_t size) {
  const ByteString inner = valid_records(size);
  ByteString out;
  put_head(out, 2, inner.size());
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

// One record whose scopes array holds every other byte: larger than any window.
ByteString one_huge_record(std::size_t size) {
  leaf::MtacLeaf l{1, "agent", "sponsor", {}, 1, 2};
  for (std::size_t i = 0; i * 10 < size; ++i) l.authorized_scopes.push_back("s" + std::to_string(i));
  return leaf::serialize_canonical(l);
}

// Map heads with 8-byte counts, each followed by increasing keys and empty maps: the search meets
// a candidate at nearly every byte, and each reads far.
ByteString dense_map_heads(std::size_t size) {
  ByteString out;
  for (std::uint64_t i = 0; out.size() < size; ++i) {
    out.push_back(0xbb);
    for (int b = 0; b < 8; ++b) out.push_back(0xff);
    put_head(out, 0, i);
    out.push_back(0xa0);
  }
  return out;
}

ByteString random_map_bytes(std::size_t size) {
  std::mt19937_64 rng(size);
  ByteString out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(0xa0 | (rng() & 0x1f));
  return out;
}

struct Read {
  std::vector<Hash32> hashes;
  std::string error;  // empty when every record read
  ReadWork work;
};

// The sizes of a real reading, scaled down so that a few hundred kilobytes cross many windows.
constexpr ReaderSizes SMALL{.window = 16 << 10, .carry = 4 << 10, .min_threaded = 2 << 10, .min_share = 512};

Read read_all(const ByteString& bytes, unsigned threads, bool from_file, ReaderSizes sizes = SMALL) {
  // A file of this process's own: ctest runs each test case in a process of its own, side by side.
  const std::string path = ::testing::TempDir() + "/segment_reader_test." + std::to_string(::getpid()) + ".cbor";
  int fd = -1;
  if (from_file) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
  }
  const LeafSource source = from_file ? LeafSource::file(fd) : LeafSource::memory(bytes);
  RecordReader reader(source, sizes);
  Read read;
  const Hash32 log_id{};
  const auto done = each_record(reader, threads, nullptr, log_id,
                                [&](const Hash32& h, std::string_view) -> std::expected<void, ReadingError> {
                                  read.hashes.push_back(h);
                                  return {};
                                },
                                &read.work);
  if (!done) {
    const auto* refused = std::get_if<SegmentError>(&done.error());
    read.error = refused ? message(*refused) : "read failed: " + std::get<ReadFailure>(done.error()).why;
  }
  if (fd >= 0) ::close(fd);
  return read;
}

struct ShapeCase {
  const char* name;
  Shape make;
  bool refused;  // whether the bytes hold a record that does not decode
};

const ShapeCase SHAPES[] = {
    {"valid records", valid_records, false},
    {"map heads in byte strings", map_heads_in_byte_strings, true},
    {"a record, then map heads in byte strings", record_then_map_heads, true},
    {"records inside a byte string", records_inside_a_byte_string, true},
    {"one record larger than any window", one_huge_record, false},
    {"dense map heads", dense_map_heads, true},
    {"random map-type bytes", random_map_bytes, true},
};

// The work to find every record boundary is at most this many times the file's size, plus a
// window's worth for the record cut at the end of each.
constexpr std::uint64_t WORK_PER_BYTE = 16;

TEST(SegmentReader, ManyThreadsReadWhatOneReadsInLinearWork) {
  for (const ShapeCase& shape : SHAPES) {
    for (const std::size_t size : {std::size_t{40} << 10, std::size_t{200} << 10}) {
      const ByteString bytes = shape.make(size);
      for (const bool from_file : {false, true}) {
        const Read one = read_all(bytes, 1, from_file);
        EXPECT_EQ(!one.error.empty(), shape.refused) << shape.name << ": " << one.error;
        for (const unsigned threads : {2U, 3U, 8U}) {
          SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(bytes.size()) + " bytes, " +
                       std::to_string(threads) + " threads, " + (from_file ? "file" : "memory"));
          const Read many = read_all(bytes, threads, from_file);
          EXPECT_EQ(many.error, one.error);
          EXPECT_EQ(many.hashes, one.hashes);
          EXPECT_LE(many.work.examined, WORK_PER_BYTE * bytes.size() + 2 * SMALL.window);
        }
      }
    }
  }
}

// With the sizes of a real reading, the windows and shares are those a file of the command meets.
TEST(SegmentReader, HostileBytesCostLinearWorkAtFullSize) {
  for (const ShapeCase& shape : SHAPES) {
    const ByteString bytes = shape.make(std::size_t{3} << 20);
    SCOPED_TRACE(shape.name);
    const Read one = read_all(bytes, 1, true, {});
    const Read two = read_all(bytes, 2, true, {});
    EXPECT_EQ(two.error, one.error);
    EXPECT_EQ(two.hashes.size(), one.hashes.size());
    EXPECT_LE(two.work.examined, WORK_PER_BYTE * bytes.size() + 2 * ReaderSizes{}.window);
  }
}

}  // namespace
}  // namespace halyx
