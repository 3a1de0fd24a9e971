// pipeline.hpp: a stream of lines answered by several threads and written in input order.
//
// The pipeline knows nothing of what a line means: it reads input in chunks of whole lines, hands
// each chunk to a worker, and writes the chunks' answers in the order their lines came, holding
// the ones that finish early in a bounded reorder window. The batch verifier gives it the per-line
// work, a reader over the manifest and a writer to standard output; a test gives it its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "batch.hpp"

namespace halyx::cli {

// One line of the input, without its newline, numbered from 1.
struct Line {
  std::string_view text;  // empty when too_long
  std::uint64_t number = 0;
  bool too_long = false;  // longer than PipelineLimits::max_line: left unread, text is empty
};

// What the work on a chunk's lines hands on: their output, and how many lines met each outcome.
struct Answers {
  std::string text;  // appended to by the line work; written whole, in input order
  BatchCounts counts;
  int status = 0;  // the highest status of the chunk's lines
};

// Answers one line: appends to `out.text` and counts the line in `out`. May throw std::bad_alloc,
// which ends the run as OutOfMemory.
using LineWork = std::function<void(const Line& line, Answers& out)>;
// Called once in each worker thread; the function it returns answers that worker's lines only, so
// it may keep buffers from line to line without sharing them.
using LineWorkFactory = std::function<LineWork()>;
// Reads up to `size` bytes into `data`: the count read (0 at the end of input), or an errno value.
using Reader = std::function<std::expected<std::size_t, int>(char* data, std::size_t size)>;
// Writes all of `text`; false when it could not, which ends the run as OutputFailed.
using Writer = std::function<bool(std::string_view text)>;

// Sizes that bound the pipeline's memory, whatever the input's length.
struct PipelineLimits {
  std::size_t chunk_target;  // a chunk ends at the first newline past this many bytes
  std::size_t read_size;     // bytes asked of the reader at once
  std::size_t window_bytes;  // input in flight (taken and not yet written) before taking waits
  std::size_t max_line;      // a longer line is answered as too long without being kept
  // Chunks in flight before taking waits; 0 for four per thread and four more.
  std::size_t window_chunks = 0;
};

// Reads `read` to its end and writes, through `write`, the answers of `make_work` to every line, in
// input order. `jobs` threads (the calling one among them) share the work. Returns how the run
// ended and the totals. After a read failure the lines of every chunk taken before it are still
// answered and written, so the output is a prefix of the answers, line by line.
[[nodiscard]] BatchResult run_pipeline(const Reader& read, const Writer& write, const LineWorkFactory& make_work,
                                       unsigned jobs, const PipelineLimits& limits);

}  // namespace halyx::cli
