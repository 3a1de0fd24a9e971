#include "batch.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "input.hpp"
#include "inspect.hpp"
#include "json.hpp"
#include "manifest.hpp"
#include "output.hpp"

namespace halyx::cli {
namespace {

// Statuses of lines that could not be verified at all; they rank above the verification's own.
constexpr std::string_view VALUE_ERROR_CLASS = "ValueError";

// Input a worker takes at once: about forty lines of a depth-20 proof in hex, enough that taking
// and delivering a chunk costs little beside the work on its lines.
constexpr std::size_t CHUNK_TARGET = std::size_t{64} << 10;
constexpr std::size_t READ_SIZE = std::size_t{64} << 10;
// Input in flight (taken and not yet written) beyond the chunk that passes it.
constexpr std::size_t WINDOW_BYTES = std::size_t{64} << 20;

// Lines of the manifest taken by one worker, and their results.
struct Chunk {
  std::string bytes;       // whole lines, the last one with or without its newline
  std::uint64_t seq = 0;   // its place in the output order
  std::uint64_t first_line = 1;
  bool too_long = false;   // one line longer than MAX_MANIFEST_LINE, left unread
  std::string output;      // one JSON line per input line
  BatchCounts counts;
  int status = 0;
};

// Buffers a worker keeps between lines, so that a line allocates little of its own.
struct Scratch {
  ByteString leaf, proof;
  std::string id, text;
};

// A result slot of the reorder window: a chunk's output waiting for the chunks before it.
struct Slot {
  std::string output;
  std::size_t input_size = 0;
  bool filled = false;
};

class Pipeline {
 public:
  Pipeline(const CheckedSth& checked, int fd, unsigned jobs)
      : checked_(checked), fd_(fd), window_chunks_(4 * std::size_t{jobs} + 4), slots_(window_chunks_) {}

  // One worker: takes chunks, answers their lines and delivers them until the input ends or the
  // run stops. Memory running out stops the whole run instead of leaving the thread.
  void work() {
    try {
      Chunk chunk;
      Scratch scratch;
      while (take(chunk)) {
        process(chunk, scratch);
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

  // Reads more of the manifest into `bytes`; false (with the reason kept) when reading failed.
  bool read_more(std::string& bytes) {
    const std::size_t at = bytes.size();
    int error = 0;
    // The bytes read are the only ones kept: nothing is written twice (resize would zero them).
    bytes.resize_and_overwrite(at + READ_SIZE, [&](char* data, std::size_t) {
      for (;;) {
        const ::ssize_t got = ::read(fd_, data + at, READ_SIZE);
        if (got >= 0) {
          eof_ = got == 0;
          error = 0;
          return at + static_cast<std::size_t>(got);
        }
        error = errno;
        if (error != EINTR) return at;
      }
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

  // Gives `chunk` the next lines of the manifest; false when there are none, or the run stopped.
  bool take(Chunk& chunk) {
    const std::lock_guard in(in_mu_);
    {
      std::unique_lock window(window_mu_);
      window_cv_.wait(window, [&] {
        return stopped_ || (inflight_chunks_ < window_chunks_ && inflight_bytes_ < WINDOW_BYTES);
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
      if (eof_ || (last_newline != std::string::npos && chunk.bytes.size() >= CHUNK_TARGET)) break;
      if (last_newline == std::string::npos && chunk.bytes.size() > MAX_MANIFEST_LINE) {
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

  // Writes the chunk's output, and every parked output that may follow it, in order.
  void deliver(Chunk& chunk) {
    const std::lock_guard out(out_mu_);
    merge(chunk.counts, chunk.status);
    if (chunk.seq != next_write_) {
      Slot& slot = slots_[chunk.seq % window_chunks_];
      slot.output.swap(chunk.output);  // the chunk takes the slot's old buffer back for reuse
      slot.input_size = chunk.bytes.size();
      slot.filled = true;
      return;
    }
    write(chunk.output, chunk.bytes.size());
    for (Slot* slot = &slots_[next_write_ % window_chunks_]; slot->filled; slot = &slots_[next_write_ % window_chunks_]) {
      write(slot->output, slot->input_size);
      slot->output.clear();
      slot->filled = false;
    }
  }

  // Writes one chunk's output (under out_mu_) and frees its place in the window.
  void write(const std::string& output, std::size_t input_size) {
    if (!output_failed_ && !write_stdout(output)) {
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

  void merge(const BatchCounts& c, int status) {
    counts_.lines += c.lines;
    counts_.verified += c.verified;
    counts_.invalid_proof += c.invalid_proof;
    counts_.verification_error += c.verification_error;
    counts_.unusable += c.unusable;
    status_ = std::max(status_, status);
  }

  void process(Chunk& chunk, Scratch& scratch) const {
    chunk.output.clear();
    chunk.counts = {};
    chunk.status = 0;
    if (chunk.too_long) {
      line_error(chunk, chunk.first_line, "longer than " + std::to_string(MAX_MANIFEST_LINE >> 20) + " MiB");
      return;
    }
    const std::string_view bytes = chunk.bytes;
    std::uint64_t number = chunk.first_line;
    for (std::size_t pos = 0; pos < bytes.size(); ++number) {
      const std::size_t end = std::min(bytes.find('\n', pos), bytes.size());
      if (end - pos > MAX_MANIFEST_LINE) {
        line_error(chunk, number, "longer than " + std::to_string(MAX_MANIFEST_LINE >> 20) + " MiB");
      } else {
        answer(chunk, scratch, bytes.substr(pos, end - pos), number);
      }
      pos = end + 1;
    }
  }

  // A line that is not a usable entry: a ValueError naming the line, since it may have no id.
  static void line_error(Chunk& chunk, std::uint64_t number, std::string_view why) {
    std::string text = "manifest line " + std::to_string(number) + ": ";
    text += why;
    JsonWriter(chunk.output).text("error", VALUE_ERROR_CLASS).text("message", text).close();
    chunk.output.push_back('\n');
    ++chunk.counts.lines;
    ++chunk.counts.unusable;
    chunk.status = std::max<int>(chunk.status, MANIFEST_LINE_INVALID);
  }

  // Returns the bytes of one argument: hex decoded into `buffer`, or a file read into it.
  // Errors: the status and the error object's class and message.
  struct ArgumentError {
    int status;
    std::string_view cls;
    std::string message;
  };
  static std::expected<void, ArgumentError> argument(const ArgumentSource& source, std::string_view name,
                                                     std::uint64_t number, ByteString& buffer, std::string& text) {
    std::string_view raw = source.text.raw;
    const auto invalid = [&](std::string_view why) {
      std::string m = "manifest line " + std::to_string(number) + ": ";
      m += name;
      m += source.is_hex ? "_hex: " : ": ";
      m += why;
      return std::unexpected(ArgumentError{MANIFEST_LINE_INVALID, VALUE_ERROR_CLASS, std::move(m)});
    };
    if (source.text.escaped || !source.is_hex) {
      if (auto ok = unescape(source.text, text); !ok) return invalid(ok.error());
      raw = text;
    }
    if (source.is_hex) {
      if (auto ok = decode_hex(raw, buffer); !ok) return invalid(ok.error());
      return {};
    }
    // Standard input is the manifest itself, or one of the STH's files: never a leaf or a proof.
    if (raw == "-") return invalid("'-' is no file here; write ./- for a file of that name");
    auto bytes = read_input(text);
    if (!bytes) {
      return std::unexpected(
          ArgumentError{UNREADABLE, READ_ERROR_CLASS, cannot_read(name == "leaf" ? "LEAF" : "PROOF", text, bytes.error())});
    }
    buffer = std::move(*bytes);
    return {};
  }

  void answer(Chunk& chunk, Scratch& scratch, std::string_view line, std::uint64_t number) const {
    auto entry = parse_manifest_line(line);
    if (!entry) return line_error(chunk, number, entry.error());
    if (entry->id_is_string) {
      const JsonText inner{entry->id.substr(1, entry->id.size() - 2), entry->id.find('\\') != std::string_view::npos};
      if (auto ok = unescape(inner, scratch.id); !ok) return line_error(chunk, number, "id: " + ok.error());
    }
    std::string& out = chunk.output;
    JsonWriter object(out);
    if (entry->id_is_string) {
      append_json_string(object.member("id"), scratch.id);
    } else if (!entry->id.empty()) {
      object.json("id", entry->id);
    }
    ++chunk.counts.lines;
    int status = 0;
    auto leaf = argument(entry->leaf, "leaf", number, scratch.leaf, scratch.text);
    auto proof = leaf ? argument(entry->proof, "proof", number, scratch.proof, scratch.text) : leaf;
    if (!proof) {
      const ArgumentError& e = proof.error();
      object.text("error", e.cls).text("message", e.message);
      ++chunk.counts.unusable;
      status = e.status;
    } else if (auto verified = checked_.verify(scratch.leaf, scratch.proof); verified) {
      add_verified_fields(object, *verified);
      ++chunk.counts.verified;
    } else {
      const ErrorClass cls = error_class(verified.error());
      object.text("error", class_name(cls)).text("message", message(verified.error()));
      status = exit_status(cls);
      ++(status == INVALID_PROOF ? chunk.counts.invalid_proof : chunk.counts.verification_error);
    }
    object.close();
    out.push_back('\n');
    chunk.status = std::max(chunk.status, status);
  }

  const CheckedSth& checked_;
  const int fd_;
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

unsigned available_processors() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

BatchResult run_batch(const CheckedSth& checked, int manifest_fd, unsigned jobs) {
  Pipeline pipeline(checked, manifest_fd, std::max(jobs, 1u));
  std::vector<std::thread> helpers;
  try {
    for (unsigned i = 1; i < jobs; ++i) helpers.emplace_back([&pipeline] { pipeline.work(); });
  } catch (const std::system_error&) {
    // Fewer threads than asked for: the ones running, this one included, do all the work.
  }
  pipeline.work();
  for (std::thread& t : helpers) t.join();
  return pipeline.result();
}

}  // namespace halyx::cli
