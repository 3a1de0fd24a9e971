// output.hpp: how halyx-verify ends: its exit statuses, and writing to standard output and error.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include <halyx/bytes.hpp>
#include <halyx/segment.hpp>
#include <halyx/verification.hpp>

namespace halyx::cli {

// Exit statuses. 64, 65, 66, 70 and 74 are the conventional sysexits values (65: EX_DATAERR).
enum ExitStatus : int {
  VERIFIED = 0,
  INVALID_PROOF = 1,       // HalyxInvalidProofError
  VERIFICATION_ERROR = 2,  // HalyxVerificationError
  USAGE = 64,
  MANIFEST_LINE_INVALID = 65,  // batch: a line that is not a usable entry
  UNREADABLE = 66,
  OUT_OF_MEMORY = 70,
  OUTPUT_FAILED = 74,
};

// The status of a verification that failed with class `cls`.
[[nodiscard]] constexpr int exit_status(ErrorClass cls) noexcept {
  return cls == ErrorClass::InvalidProof ? INVALID_PROOF : VERIFICATION_ERROR;
}

// The class names of the failures that are not the verifier's own, as a Python program reading
// the same files would meet them: a file that cannot be read, and memory that ran out.
inline constexpr std::string_view READ_ERROR_CLASS = "OSError";
// Written whole when memory has run out, since building it could fail too.
inline constexpr std::string_view OUT_OF_MEMORY_OBJECT = "{\"error\": \"MemoryError\", \"message\": \"out of memory\"}\n";

// The program's name, as it begins the lines it writes to standard error.
inline constexpr std::string_view PROGRAM = "halyx-verify";

// Reports a usage error on standard error and returns USAGE.
int usage_error(std::string_view why);

// Reports that standard output cannot be written and returns OUTPUT_FAILED.
int output_failed();

// Prints `text` and a newline on standard output; a status other than 0 when that fails, so
// that output lost to a full disk or a closed pipe is never mistaken for a verdict that was read.
int finish(std::string text, int status);

// Reports a failure of class `cls`: with `json` its object on standard output, then `who: text`
// as the last line on standard error. Returns `status`, or OUTPUT_FAILED when the object was lost.
int report(std::string_view cls, std::string_view who, const std::string& text, int status, bool json);

// A verification or segment failure: its class names the line on standard error.
int report_failure(const VerifyError& error, bool json);
int report_failure(const SegmentError& error, bool json);

// A file that cannot be read: UNREADABLE, and with `json` an OSError object on standard output, so
// that a script reading it finds the reason there.
int unreadable(std::string_view name, const std::string& path, std::string_view why, bool json);

// Returns the bytes of `path`, or the status unreadable() reported.
[[nodiscard]] std::expected<ByteString, int> read_file(std::string_view name, const std::string& path, bool json);

// Reports that memory ran out, allocating nothing: the error object when JSON was asked for, then
// the line on standard error.
int out_of_memory(bool json);

// Writes all of `text` to standard output, bypassing stdio, and returns whether every byte got
// there. A closed pipe reports EPIPE here rather than killing the process, since main() ignores
// SIGPIPE: a verdict that was not delivered must end in OUTPUT_FAILED, with its error line.
[[nodiscard]] bool write_stdout(std::string_view text) noexcept;

// Writes `text` and a newline to standard error. Nothing is reported when that fails: there is
// nowhere left to report it.
void write_stderr_line(std::string_view text) noexcept;

// Standard output written in pieces: text gathers in buffer() and is written whenever it passes a
// fixed size, so output of any length costs a fixed amount of memory. After one failed write
// nothing more is written, and flush() keeps returning false.
class StdoutStream {
 public:
  static constexpr std::size_t FLUSH_AT = std::size_t{64} << 10;

  [[nodiscard]] std::string& buffer() noexcept { return buffer_; }

  // Writes the buffer when it holds FLUSH_AT bytes or more.
  void flush_if_full() {
    if (buffer_.size() >= FLUSH_AT) flush();
  }

  // Writes what is buffered; returns whether every write so far succeeded.
  bool flush() {
    if (ok_ && !buffer_.empty()) ok_ = write_stdout(buffer_);
    buffer_.clear();
    return ok_;
  }

 private:
  std::string buffer_;
  bool ok_ = true;
};

}  // namespace halyx::cli
