// The two readings of halyx-verify segment over a file that changes between them: the second
// reading must notice, and no line may be printed, whatever the change.
#include "segment_run.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <halyx/dcbor/hex.hpp>
#include <halyx/serialization/mtac_leaf.hpp>

namespace halyx::cli {
namespace {

// The hex string member `name` of the object `object` in the segment fixture.
ByteString fixture_hex(const std::string& object, const std::string& name) {
  std::ifstream in(std::string(HALYX_CLI_TEST_DATA) + "/segment_fixture.json");
  const std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = object.empty() ? 0 : json.find('"' + object + '"');
  at = json.find('"' + name + "\": \"", at);
  EXPECT_NE(at, std::string::npos) << object << "." << name;
  at = json.find(": \"", at) + 3;
  ByteString out;
  for (; json[at] != '"'; at += 2) {
    out.push_back(static_cast<std::uint8_t>(dcbor::hex_digit_value(json[at]) * 16 + dcbor::hex_digit_value(json[at + 1])));
  }
  return out;
}

// The fixture's eight records, as tools/issuer/make_segment_fixture.py writes them.
ByteString records(std::size_t count = 8) {
  ByteString out;
  for (std::size_t i = 0; i < count; ++i) {
    const leaf::MtacLeaf l{1, "agent-" + std::to_string(i), "sponsor-" + std::to_string(i % 3), {"read", "write"},
                           1700000000 + i, 1800000000};
    const ByteString r = leaf::serialize_canonical(l);
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

void write_file(const std::string& path, const ByteString& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Ended {
  SegmentOutcome::End end;
  std::string printed;
};

// Runs the whole tree of eight over a file holding the eight records, with `change` applied to the
// file between the readings, and returns how it ended and what reached standard output.
Ended run_with_change(const std::function<void(const std::string&)>& change, unsigned threads) {
  const std::string dir = ::testing::TempDir();
  const std::string leaves = dir + "/segment_run_leaves.cbor", printed = dir + "/segment_run_stdout.txt";
  write_file(leaves, records());
  const ByteString sth = fixture_hex("sth8", "sth"), signature = fixture_hex("sth8", "signature");
  const ByteString key = fixture_hex("", "ca_public_key");
  const auto checked = CheckedSth::check(sth, signature, key);
  EXPECT_TRUE(checked.has_value());
  auto verifier = SegmentVerifier::begin(*checked, std::nullopt, std::nullopt);
  EXPECT_TRUE(verifier.has_value());

  const int fd = ::open(leaves.c_str(), O_RDONLY);
  const int out_fd = ::open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int saved_stdout = ::dup(STDOUT_FILENO);
  std::fflush(stdout);
  ::dup2(out_fd, STDOUT_FILENO);
  SegmentOutcome outcome;
  {
    StdoutStream out;
    outcome = run_segment(std::move(*verifier), LeafSource::file(fd), threads, out, [&] { change(leaves); });
  }
  ::dup2(saved_stdout, STDOUT_FILENO);
  ::close(saved_stdout);
  ::close(out_fd);
  ::close(fd);
  std::ifstream in(printed, std::ios::binary);
  return {outcome.end, std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
}

TEST(SegmentRun, AFileChangedBetweenTheReadingsIsRefusedAndNothingPrinted) {
  struct Row {
    const char* name;
    std::function<void(const std::string&)> change;
  };
  const Row rows[] = {
      {"one_letter_of_a_record", [](const std::string& path) {
         ByteString b = records();
         b[10] ^= 0x01;  // inside leaf 0's agent_id: the same length, another leaf hash
         write_file(path, b);
       }},
      {"last_record_dropped", [](const std::string& path) { write_file(path, records(7)); }},
      {"record_appended", [](const std::string& path) {
         ByteString b = records();
         const ByteString first = records(1);
         b.insert(b.end(), first.begin(), first.end());
         write_file(path, b);
       }},
      {"garbage_in_the_middle", [](const std::string& path) {
         ByteString b = records();
         b[records(4).size()] = 0xff;  // the head of leaf 4
         write_file(path, b);
       }},
      {"emptied", [](const std::string& path) { write_file(path, {}); }},
  };
  for (const unsigned threads : {1u, 2u}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + ", threads " + std::to_string(threads));
      const Ended r = run_with_change(row.change, threads);
      EXPECT_EQ(r.end, SegmentOutcome::End::Changed);
      EXPECT_EQ(r.printed, "");
    }
    // The same run with the file left alone prints the eight lines.
    const Ended unchanged = run_with_change([](const std::string&) {}, threads);
    EXPECT_EQ(unchanged.end, SegmentOutcome::End::Verified);
    EXPECT_EQ(std::count(unchanged.printed.begin(), unchanged.printed.end(), '\n'), 8);
    EXPECT_EQ(unchanged.printed.substr(0, 44), R"({"leaf_index": 0, "schema_version": 1, "agen)");
  }
}

}  // namespace
}  // namespace halyx::cli
