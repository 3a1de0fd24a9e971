// The reorder window, driven with lines whose work finishes out of order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pipeline.hpp"

namespace halyx::cli {
namespace {

constexpr std::size_t LINES = 3000;
// About twenty lines a chunk, so the input makes well over a hundred chunks.
constexpr PipelineLimits LIMITS{.chunk_target = 256, .read_size = 64, .window_bytes = std::size_t{1} << 20,
                                .max_line = 1024};
constexpr std::size_t WINDOW_CHUNKS = 4 * 4 + 4;  // the default for four threads

std::string line_text(std::size_t i) { return "line-" + std::to_string(i); }

std::string input_text() {
  std::string s;
  for (std::size_t i = 1; i <= LINES; ++i) s += line_text(i) + '\n';
  return s;
}

// Serves `text` in pieces of varied size and fails with EIO once `fail_at` bytes are served.
struct FakeInput {
  explicit FakeInput(std::string t, std::size_t fail = std::string::npos) : text(std::move(t)), fail_at(fail) {}
  std::string text;
  std::size_t fail_at;
  std::size_t pos = 0;
  std::mutex mu;  // the pipeline reads under its own lock; this one guards against a regression

  std::expected<std::size_t, int> read(char* data, std::size_t size) {
    const std::lock_guard lock(mu);
    if (pos >= fail_at) return std::unexpected(EIO);
    const std::size_t n = std::min({size, 1 + pos % 47, text.size() - pos, fail_at - pos});
    std::copy_n(text.data() + pos, n, data);
    pos += n;
    return n;
  }
};

struct Outcome {
  BatchResult result;
  std::vector<std::string> written;   // output lines in the order written
  std::vector<std::uint64_t> started;  // line numbers in the order their work began
  std::size_t widest_gap = 0;          // most lines begun beyond the last one written
};

// Runs four threads whose work on a line sleeps a pseudo-random while (the first chunk's lines the
// longest), so chunks finish out of their order and wait in the window.
Outcome run(FakeInput& input) {
  Outcome r;
  std::mutex mu;
  std::atomic<std::size_t> lines_written = 0;
  const Reader read = [&](char* data, std::size_t size) { return input.read(data, size); };
  const Writer write = [&](std::string_view text) {
    const std::lock_guard lock(mu);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t nl = text.find('\n', at);
      r.written.emplace_back(text.substr(at, nl - at));
      at = nl + 1;
      ++lines_written;
    }
    return true;
  };
  const LineWorkFactory make = [&]() -> LineWork {
    return [&](const Line& line, Answers& out) {
      {
        const std::lock_guard lock(mu);
        r.started.push_back(line.number);
        r.widest_gap = std::max<std::size_t>(r.widest_gap, line.number - lines_written.load());
      }
      const std::uint64_t h = line.number * 0x9E3779B97F4A7C15ULL >> 54;  // 0..1023
      std::this_thread::sleep_for(std::chrono::microseconds(line.number <= 10 ? 2000 : h % 200));
      out.text.append(line.text).push_back('\n');
      ++out.counts.lines;
    };
  };
  r.result = run_pipeline(read, write, make, 4, LIMITS);
  return r;
}

TEST(ReorderWindow, WritesLinesInInputOrderWhenWorkFinishesOutOfOrder) {
  FakeInput input(input_text());
  const Outcome r = run(input);
  EXPECT_EQ(r.result.end, BatchEnd::Done);
  EXPECT_EQ(r.result.counts.lines, LINES);
  ASSERT_EQ(r.written.size(), LINES);
  for (std::size_t i = 0; i < LINES; ++i) ASSERT_EQ(r.written[i], line_text(i + 1)) << "output line " << i + 1;
  // The work really went out of order, and later chunks waited behind the first ones.
  EXPECT_FALSE(std::ranges::is_sorted(r.started));
  // A chunk holds at most chunk_target + read_size bytes, of lines of at least 7 bytes: no more
  // chunks than the window may be begun ahead of the output.
  const std::size_t most_lines = WINDOW_CHUNKS * (LIMITS.chunk_target + LIMITS.read_size) / 7;
  EXPECT_LE(r.widest_gap, most_lines);
  EXPECT_GT(r.widest_gap, 40u) << "the window never held more than a chunk or two";
}

TEST(ReorderWindow, ReadFailureEndsWithAPrefixOfTheAnswers) {
  const std::string text = input_text();
  FakeInput input(text, text.size() / 2 + 3);  // mid-line, past a hundred chunks
  const Outcome r = run(input);
  EXPECT_EQ(r.result.end, BatchEnd::ReadFailed);
  EXPECT_EQ(r.result.read_error, "Input/output error");
  // Only whole lines read before the failure are answered, and the chunk cut by it is not.
  std::size_t bytes = 0;
  for (const std::string& line : r.written) bytes += line.size() + 1;
  EXPECT_LE(bytes, input.fail_at);
  EXPECT_GT(r.written.size(), LINES / 4);
  EXPECT_EQ(r.result.counts.lines, r.written.size());
  for (std::size_t i = 0; i < r.written.size(); ++i) ASSERT_EQ(r.written[i], line_text(i + 1)) << "output line " << i + 1;
}

}  // namespace
}  // namespace halyx::cli
