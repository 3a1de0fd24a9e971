#include "pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <halyx/thread_pool.hpp>

namespace halyx::cli {
namespace {

// Lines of the input taken by one worker, and their answers.
struct Chunk {
  std::string bytes;       // whole lines, the last one with or without its newline
  std::uint64_t seq = 0;   // its place in the output order
  std::uint64_t first_line = 1;
  bool too_long = false;   // one line longer than max_line, left unread
  Answers answers;
};

// A result slot of the reorder window: a chunk's output waiting for the chunks before it.
struct Slot {
  std::string output;
  std::size_t input_size = 0;
  bool filled = false;
};

class Pipeline {
 public:
  Pipeline(const Reader& read, const Writer& write, const PipelineLimits& limits, unsigned jobs)
      : read_(read),
        write_(write),
        limits_(limits),
        window_chunks_(limits.window_chunks != 0 ? limits.window_chunks : 4 * std::size_t{jobs} + 4),
        slots_(window_chunks_) {}

  // One worker: takes chunks, answers their lines and delivers them until the input ends or the
  // run stops. Memory running out stops the whole run instead of leaving the thread.
  void work(const LineWorkFactory& make_work) {
    try {
      const LineWork answer = make_work();
      Chunk chunk;
      while (take(chunk)) {
        process(chunk, answer);
        deliver(chunk);
      }
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
      stop();
    }
  }

  [[nodiscard]] BatchResult result() const {
    BatchResult r;
    r.status = status_;
    r.counts = counts_;
    r.read_error = read_error_;
    if (out_of_memory_) {
      r.end = BatchEnd::OutOfMemory;
    } else if (output_failed_) {
      r.end = BatchEnd::OutputFailed;
    } else if (!read_error_.empty()) {
      r.end = BatchEnd::ReadFailed;
    }
    return r;
  }

 private:
  void stop() {
    {
      const std::lock_guard window(window_mu_);
      stopped_ = true;
    }
    window_cv_.notify_all();
  }

  // Reads more of the input into `bytes`; false (with the reason kept) when reading failed.
  bool read_more(std::string& bytes) {
    const std::size_t at = bytes.size();
    const std::size_t want = limits_.read_size;
    int error = 0;
    // The bytes read are the only ones kept: nothing is written twice (resize would zero them).
    bytes.resize_and_overwrite(at + want, [&](char* data, std::size_t) {
      const auto got = read_(data + at, want);
      if (!got) {
        error = got.error();
        return at;
      }
      eof_ = *got == 0;
      return at + std::min(*got, want);
    });
    if (error == 0) return true;
    const std::lock_guard out(out_mu_);
    read_error_ = std::generic_category().message(error);
    return false;
  }

  // Drops the rest of a line that is too long, up to and including its newline.
  bool skip_line(std::string& scratch) {
    for (;;) {
      scratch.clear();
      if (!read_more(scratch)) return false;
      if (eof_) return true;
      if (const std::size_t nl = scratch.find('\n'); nl != std::string::npos) {
        carry_.assign(scratch, nl + 1);
        return true;
      }
    }
  }

  // Gives `chunk` the next lines of the input; false when there are none, or the run stopped.
  bool take(Chunk& chunk) {
    const std::lock_guard in(in_mu_);
    {
      std::unique_lock window(window_mu_);
      window_cv_.wait(window, [&] {
        return stopped_ || (inflight_chunks_ < window_chunks_ && inflight_bytes_ < limits_.window_bytes);
      });
      if (stopped_) return false;
    }
    chunk.bytes.clear();
    chunk.bytes.swap(carry_);
    chunk.too_long = false;
    chunk.first_line = next_line_;
    std::size_t scanned = 0;
    std::size_t last_newline = std::string::npos;
    for (;;) {
      if (scanned < chunk.bytes.size()) {
        if (const void* nl = ::memrchr(chunk.bytes.data() + scanned, '\n', chunk.bytes.size() - scanned)) {
          last_newline = static_cast<std::size_t>(static_cast<const char*>(nl) - chunk.bytes.data());
        }
        scanned = chunk.bytes.size();
      }
      if (eof_ || (last_newline != std::string::npos && chunk.bytes.size() >= limits_.chunk_target)) break;
      if (last_newline == std::string::npos && chunk.bytes.size() > limits_.max_line) {
        // The line is answered without being kept: memory stays bounded whatever its length.
        chunk.too_long = true;
        if (!skip_line(chunk.bytes)) return fail_read();
        chunk.bytes.clear();
        break;
      }
      if (!read_more(chunk.bytes)) return fail_read();
    }
    if (!chunk.too_long) {
      if (!eof_) {
        carry_.assign(chunk.bytes, last_newline + 1);
        chunk.bytes.resize(last_newline + 1);
      }
      if (chunk.bytes.empty()) return false;
    }
    const auto newlines = static_cast<std::uint64_t>(std::count(chunk.bytes.begin(), chunk.bytes.end(), '\n'));
    next_line_ += chunk.too_long ? 1 : newlines + (chunk.bytes.back() == '\n' ? 0 : 1);
    chunk.seq = next_seq_++;
    {
      const std::lock_guard window(window_mu_);
      ++inflight_chunks_;
      inflight_bytes_ += chunk.bytes.size();
    }
    return true;
  }

  bool fail_read() {
    stop();
    return false;
  }

  // Answers every line of the chunk, one by one.
  void process(Chunk& chunk, const LineWork& answer) const {
    Answers& out = chunk.answers;
    out.text.clear();
    out.counts = {};
    out.status = 0;
    if (chunk.too_long) {
      answer(Line{{}, chunk.first_line, true}, out);
      return;
    }
    const std::string_view bytes = chunk.bytes;
    std::uint64_t number = chunk.first_line;
    for (std::size_t pos = 0; pos < bytes.size(); ++number) {
      const std::size_t end = std::min(bytes.find('\n', pos), bytes.size());
      if (end - pos > limits_.max_line) {
        answer(Line{{}, number, true}, out);
      } else {
        answer(Line{bytes.substr(pos, end - pos), number, false}, out);
      }
      pos = end + 1;
    }
  }

  // Writes the chunk's output, and every parked output that may follow it, in order.
  void deliver(Chunk& chunk) {
    const std::lock_guard out(out_mu_);
    merge(chunk.answers);
    if (chunk.seq != next_write_) {
      Slot& slot = slots_[chunk.seq % window_chunks_];
      slot.output.swap(chunk.answers.text);  // the chunk takes the slot's old buffer back for reuse
      slot.input_size = chunk.bytes.size();
      slot.filled = true;
      return;
    }
    write(chunk.answers.text, chunk.bytes.size());
    for (Slot* slot = &slots_[next_write_ % window_chunks_]; slot->filled; slot = &slots_[next_write_ % window_chunks_]) {
      write(slot->output, slot->input_size);
      slot->output.clear();
      slot->filled = false;
    }
  }

  // Writes one chunk's output (under out_mu_) and frees its place in the window.
  void write(const std::string& output, std::size_t input_size) {
    if (!output_failed_ && !write_(output)) {
      output_failed_ = true;
      stop();
    }
    ++next_write_;
    {
      const std::lock_guard window(window_mu_);
      --inflight_chunks_;
      inflight_bytes_ -= input_size;
    }
    window_cv_.notify_all();
  }

  void merge(const Answers& a) {
    counts_.lines += a.counts.lines;
    counts_.verified += a.counts.verified;
    counts_.invalid_proof += a.counts.invalid_proof;
    counts_.verification_error += a.counts.verification_error;
    counts_.unusable += a.counts.unusable;
    status_ = std::max(status_, a.status);
  }

  const Reader& read_;
  const Writer& write_;
  const PipelineLimits limits_;
  const std::size_t window_chunks_;

  // Reading: guarded by in_mu_.
  std::mutex in_mu_;
  std::string carry_;  // bytes read past the last whole line taken
  bool eof_ = false;
  std::uint64_t next_seq_ = 0;
  std::uint64_t next_line_ = 1;

  // The window of chunks taken and not yet written: guarded by window_mu_.
  std::mutex window_mu_;
  std::condition_variable window_cv_;
  std::size_t inflight_chunks_ = 0;
  std::size_t inflight_bytes_ = 0;
  bool stopped_ = false;

  // Writing and the totals: guarded by out_mu_.
  std::mutex out_mu_;
  std::vector<Slot> slots_;
  std::uint64_t next_write_ = 0;
  BatchCounts counts_;
  int status_ = 0;
  bool output_failed_ = false;
  std::string read_error_;

  std::atomic<bool> out_of_memory_ = false;
};

}  // namespace

BatchResult run_pipeline(const Reader& read, const Writer& write, const LineWorkFactory& make_work, unsigned jobs,
                         const PipelineLimits& limits) {
  jobs = std::max(jobs, 1u);
  Pipeline pipeline(read, write, limits, jobs);
  // With fewer helpers than asked for, the ones running, this thread among them, do all the work.
  ThreadPool pool(jobs - 1);
  const std::function<void()> work = [&] { pipeline.work(make_work); };
  pool.start(work);
  work();
  pool.wait();
  return pipeline.result();
}

}  // namespace halyx::cli
