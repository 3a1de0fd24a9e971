// vectors_test.cpp: third-party CBOR examples (RFC 8949 Appendix A, not-well-formed sets).
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include "test_util.hpp"

namespace halyx::dcbor {
namespace {

using test::from_hex;
using test::to_hex;

std::vector<std::vector<std::string>> read_rows(const std::string& name) {
  std::istringstream in(test::read_data_file(name));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string f; fields >> f;) row.push_back(f);
    rows.push_back(std::move(row));
  }
  return rows;
}

const std::map<std::string, CborErrorKind> KIND_NAMES = {
    {"Truncated", CborErrorKind::Truncated},
    {"ReservedHeader", CborErrorKind::ReservedHeader},
    {"NonShortestNumber", CborErrorKind::NonShortestNumber},
    {"BadSimpleValue", CborErrorKind::BadSimpleValue},
};

TEST(AppendixA, EachExampleRoundTripsOrIsRefusedAsJudged) {
  const auto rows = read_rows("cbor_appendix_a.txt");
  ASSERT_EQ(rows.size(), 82u);
  int round_trips = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row[0]);
    const ByteString input = from_hex(row[0]);
    auto v = decode_dcbor(input);
    if (row[1] != "roundtrip") {
      ASSERT_FALSE(v.has_value()) << "accepted a non-deterministic example";
      EXPECT_EQ(v.error().kind, KIND_NAMES.at(row[1])) << message(v.error());
      continue;
    }
    ASSERT_TRUE(v.has_value()) << message(v.error());
    EXPECT_EQ(to_hex(encode_dcbor(*v)), row[0]);
    ++round_trips;
    if (row.size() < 4) continue;
    if (row[2] == "uint") {
      EXPECT_EQ(v->as_unsigned(), std::stoull(row[3]));
    }
    if (row[2] == "nint") {
      EXPECT_EQ(v->as_negative(), std::stoull(row[3]));
    }
    if (row[2] == "float") {
      const double want = std::strtod(row[3].c_str(), nullptr);
      ASSERT_TRUE(v->as_float().has_value());
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(*v->as_float()));
      } else {
        EXPECT_EQ(*v->as_float(), want);
      }
    }
  }
  EXPECT_EQ(round_trips, 55);
}

// Inputs that are not even well-formed CBOR. Each must be refused; none may be mistaken
// for a depth problem, and none may pass.
TEST(NotWellFormed, EveryInputIsRefused) {
  const auto rows = read_rows("cbor_not_well_formed.txt");
  ASSERT_GT(rows.size(), 700u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row[1] + " " + row[0]);
    const ByteString input = from_hex(row[0]);
    auto v = decode_dcbor(input);
    ASSERT_FALSE(v.has_value());
    EXPECT_NE(v.error().kind, CborErrorKind::NestingTooDeep);
    // A reserved additional-information value in the first head is the first fault.
    if (!input.empty() && (input[0] & 0x1f) >= 28) {
      EXPECT_EQ(v.error().kind, CborErrorKind::ReservedHeader);
    }
  }
}

}  // namespace
}  // namespace halyx::dcbor
