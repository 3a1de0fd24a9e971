// Tests of the wire-v1 reader primitives and of the display texts of every WireDecodeError kind.
#include <halyx/serialization/wire_reader.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <halyx/serialization/wire_decode_error.hpp>

namespace halyx::wire {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::vector<std::uint8_t> with_zeros(std::vector<std::uint8_t> head, std::size_t zeros) {
  head.resize(head.size() + zeros, 0);
  return head;
}

struct UintCase {
  const char* name;
  std::vector<std::uint8_t> input;
  std::uint64_t want;
};

TEST(ReadUintAccepts, EveryHeadLengthAndConsumesExactlyTheHead) {
  const UintCase cases[] = {
      {"inline_5", {0x05}, 5},
      {"inline_23", {0x17}, 23},
      {"one_byte_5_not_shortest", {0x18, 0x05}, 5},
      {"one_byte_24", {0x18, 0x18}, 24},
      {"two_bytes_5", {0x19, 0x00, 0x05}, 5},
      {"two_bytes_0x1234", {0x19, 0x12, 0x34}, 0x1234},
      {"four_bytes_5", {0x1A, 0x00, 0x00, 0x00, 0x05}, 5},
      {"four_bytes_big_endian", {0x1A, 0x01, 0x02, 0x03, 0x04}, 0x01020304},
      {"eight_bytes_5", {0x1B, 0, 0, 0, 0, 0, 0, 0, 0x05}, 5},
      {"eight_bytes_big_endian", {0x1B, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, 0x0102030405060708},
      {"eight_bytes_max", {0x1B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, U64_MAX},
  };
  for (const UintCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> input = c.input;
    input.push_back(0x07);  // a following item must be left where it is
    WireReader r(input);
    auto got = r.read_uint("tree_size");
    ASSERT_TRUE(got.has_value()) << message(got.error());
    EXPECT_EQ(*got, c.want);
    EXPECT_EQ(r.position(), c.input.size());
    EXPECT_EQ(r.remaining(), 1u);
  }
}

TEST(ReadArrayNAccepts, NonShortestCount) {
  const std::vector<std::uint8_t> input{0x98, 0x02};
  WireReader r(input);
  EXPECT_TRUE(r.read_array_n(2, "envelope outer array").has_value());
  EXPECT_EQ(r.position(), 2u);
}

TEST(ReadBytesRefuses, LengthsBeyondTheInputWithoutWrapping) {
  const std::vector<std::uint8_t> input{0x01, 0x02, 0x03};
  for (std::uint64_t n : {std::uint64_t{3}, U64_MAX, U64_MAX - 1, std::uint64_t{1} << 63}) {
    SCOPED_TRACE(n);
    WireReader r(input);
    ASSERT_TRUE(r.read_uint("tree_size").has_value());  // pos 1: pos + 2^64 - 1 would wrap to 0
    auto got = r.read_bytes(n, "extension_data");
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), WireDecodeError(UnexpectedEnd{1, "extension_data"}));
  }
  WireReader r(input);
  auto all = r.read_bytes(3, "extension_data");
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 3u);
  auto none = r.read_bytes(0, "extension_data");  // an empty read at the end is not an error
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

enum class Op { Uint, ArrayN2, ArrayN5, Bstr, BstrN32, TextHead };

struct RefuseCase {
  const char* name;
  std::vector<std::uint8_t> input;
  Op op;
  std::string_view what;
  const char* want;
  int uints_before = 0;  // unsigned integers read successfully before the failing read
};
void PrintTo(const RefuseCase& c, std::ostream* os) { *os << c.name; }

template <class T>
std::optional<WireDecodeError> error_of(const std::expected<T, WireDecodeError>& r) {
  if (r.has_value()) return std::nullopt;
  return r.error();
}

class ReaderRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(ReaderRefuses, WithExactMessage) {
  const RefuseCase& c = GetParam();
  WireReader r(c.input);
  for (int i = 0; i < c.uints_before; ++i) ASSERT_TRUE(r.read_uint("tree_size").has_value());
  std::optional<WireDecodeError> got;
  switch (c.op) {
    case Op::Uint: got = error_of(r.read_uint(c.what)); break;
    case Op::ArrayN2: got = error_of(r.read_array_n(2, c.what)); break;
    case Op::ArrayN5: got = error_of(r.read_array_n(5, c.what)); break;
    case Op::Bstr: got = error_of(r.read_bstr(c.what)); break;
    case Op::BstrN32: got = error_of(r.read_bstr_n(32, c.what)); break;
    case Op::TextHead: got = error_of(r.read_head(3, c.what)); break;
  }
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(message(*got), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    WireReader, ReaderRefuses,
    ::testing::Values(
        RefuseCase{"empty_input", {}, Op::ArrayN2, "envelope outer array",
                   "unexpected end of input at offset 0 while reading envelope outer array"},
        RefuseCase{"one_byte_argument_missing", {0x18}, Op::Uint, "tree_size",
                   "unexpected end of input at offset 1 while reading tree_size"},
        RefuseCase{"one_byte_argument_missing_after_an_item", {0x01, 0x18}, Op::Uint, "timestamp",
                   "unexpected end of input at offset 2 while reading timestamp", 1},
        RefuseCase{"two_byte_argument_cut", {0x19, 0x01}, Op::Uint, "tree_size",
                   "unexpected end of input at offset 1 while reading tree_size"},
        RefuseCase{"eight_byte_argument_cut", {0x1B, 0x01, 0x02, 0x03}, Op::Uint, "timestamp",
                   "unexpected end of input at offset 1 while reading timestamp"},
        RefuseCase{"info_28", {0x1C}, Op::Uint, "tree_size",
                   "invalid CBOR argument info 28 at offset 0 (while reading tree_size)"},
        RefuseCase{"info_29", {0x1D}, Op::Uint, "tree_size",
                   "invalid CBOR argument info 29 at offset 0 (while reading tree_size)"},
        RefuseCase{"info_30", {0x1E}, Op::Uint, "tree_size",
                   "invalid CBOR argument info 30 at offset 0 (while reading tree_size)"},
        RefuseCase{"indefinite_uint", {0x1F}, Op::Uint, "tree_size",
                   "invalid CBOR argument info 31 at offset 0 (while reading tree_size)"},
        RefuseCase{"indefinite_array", {0x9F, 0x01, 0x02, 0xFF}, Op::ArrayN2, "envelope outer array",
                   "invalid CBOR argument info 31 at offset 0 (while reading envelope outer array)"},
        RefuseCase{"negative_int", {0x20}, Op::Uint, "tree_size",
                   "expected CBOR major type 0 at offset 0, got 1 (while reading tree_size)"},
        RefuseCase{"wrong_type_after_an_item", {0x01, 0x40}, Op::Uint, "timestamp",
                   "expected CBOR major type 0 at offset 1, got 2 (while reading timestamp)", 1},
        RefuseCase{"tag_0_not_skipped", {0xC0, 0x01}, Op::Uint, "tree_size",
                   "expected CBOR major type 0 at offset 0, got 6 (while reading tree_size)"},
        RefuseCase{"tag_with_reserved_info_is_a_type_error", {0xDF}, Op::ArrayN2, "extension pair",
                   "expected CBOR major type 4 at offset 0, got 6 (while reading extension pair)"},
        RefuseCase{"indefinite_map_where_array", {0xBF, 0xFF}, Op::ArrayN2, "envelope outer array",
                   "expected CBOR major type 4 at offset 0, got 5 (while reading envelope outer array)"},
        RefuseCase{"float_where_uint", {0xF9, 0x3C, 0x00}, Op::Uint, "leaf_index",
                   "expected CBOR major type 0 at offset 0, got 7 (while reading leaf_index)"},
        RefuseCase{"bstr_where_text", {0x4C}, Op::TextHead, "envelope version tstr",
                   "expected CBOR major type 3 at offset 0, got 2 (while reading envelope version tstr)"},
        RefuseCase{"array_of_4_for_5", {0x84}, Op::ArrayN5, "body array(5)",
                   "expected array length 5 at offset 0, got 4 (while reading body array(5))"},
        RefuseCase{"array_count_max", {0x9B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Op::ArrayN2,
                   "extension pair",
                   "expected array length 2 at offset 0, got 18446744073709551615 (while reading extension pair)"},
        RefuseCase{"bstr_length_max", {0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, Op::Bstr,
                   "extension_data", "unexpected end of input at offset 9 while reading extension_data"},
        RefuseCase{"bstr_length_2_pow_63", {0x5B, 0x80, 0, 0, 0, 0, 0, 0, 0}, Op::Bstr, "extension_data",
                   "unexpected end of input at offset 9 while reading extension_data"},
        RefuseCase{"hash_of_31", with_zeros({0x58, 0x1F}, 31), Op::BstrN32, "log_id bstr(32)",
                   "expected bstr length 32 at offset 0, got 31 (while reading log_id bstr(32))"},
        RefuseCase{"hash_length_checked_before_content", {0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                   Op::BstrN32, "root_hash bstr(32)",
                   "expected bstr length 32 at offset 0, got 18446744073709551615 (while reading root_hash bstr(32))"},
        RefuseCase{"hash_content_cut", with_zeros({0x58, 0x20}, 31), Op::BstrN32, "log_id bstr(32)",
                   "unexpected end of input at offset 2 while reading log_id bstr(32)"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Each kind rendered once with numbers that cannot be confused, including the widest ones: a
// swapped argument, a truncated u64 or an 8-bit field appended as a character shows up here.
TEST(WireDecodeErrorMessage, EveryKindByteForByte) {
  const struct {
    WireDecodeError error;
    const char* want;
  } cases[] = {
      {UnexpectedEnd{U64_MAX, "extension pair"},
       "unexpected end of input at offset 18446744073709551615 while reading extension pair"},
      {MajorTypeMismatch{7, 4, 12, "inclusion_path array"},
       "expected CBOR major type 4 at offset 12, got 7 (while reading inclusion_path array)"},
      {InvalidArgumentInfo{31, U64_MAX, "extensions array"},
       "invalid CBOR argument info 31 at offset 18446744073709551615 (while reading extensions array)"},
      {VersionMismatch{3, U64_MAX}, "expected tstr WIRE_VERSION at offset 3, got 18446744073709551615-byte tstr"},
      {ArrayLengthMismatch{3, U64_MAX, 7, "inclusion proof array(3)"},
       "expected array length 3 at offset 7, got 18446744073709551615 (while reading inclusion proof array(3))"},
      {BstrLengthMismatch{32, 0, 1, "inclusion_path bstr(32)"},
       "expected bstr length 32 at offset 1, got 0 (while reading inclusion_path bstr(32))"},
      {TrailingGarbage{U64_MAX}, "trailing garbage: 18446744073709551615 bytes remain after decode"},
      {ExtensionTypeTooLarge{U64_MAX, 81}, "extension_type 18446744073709551615 exceeds u16::MAX at offset 81"},
  };
  for (const auto& c : cases) EXPECT_EQ(message(c.error), c.want);
}

}  // namespace
}  // namespace halyx::wire
