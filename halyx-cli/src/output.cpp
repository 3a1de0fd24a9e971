#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>
#include <sys/uio.h>

#include "input.hpp"
#include "json.hpp"

namespace halyx::cli {
namespace {

bool write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ::ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

bool write_stdout(std::string_view text) noexcept { return write_all(STDOUT_FILENO, text); }

void write_stderr_line(std::string_view text) noexcept {
  // One writev, so that lines of two processes sharing standard error do not interleave.
  char newline = '\n';
  ::iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {&newline, 1}};
  while (::writev(STDERR_FILENO, parts, 2) < 0 && errno == EINTR) {
  }
}

int usage_error(std::string_view why) {
  std::string line(PROGRAM);
  line += ": ";
  line += why;
  line += " (see --help)";
  write_stderr_line(line);
  return USAGE;
}

int output_failed() {
  write_stderr_line("halyx-verify: cannot write standard output");
  return OUTPUT_FAILED;
}

int finish(std::string text, int status) {
  text += '\n';
  if (write_stdout(text)) return status;
  return output_failed();
}

int report(std::string_view cls, std::string_view who, const std::string& text, int status, bool json) {
  if (json) {
    std::string object;
    JsonWriter(object).text("error", cls).text("message", text).close();
    status = finish(std::move(object), status);
  }
  std::string line(who);
  line += ": ";
  line += text;
  write_stderr_line(line);
  return status;
}

int report_failure(const VerifyError& error, bool json) {
  const ErrorClass cls = error_class(error);
  return report(class_name(cls), class_name(cls), message(error), exit_status(cls), json);
}

int unreadable(std::string_view name, const std::string& path, std::string_view why, bool json) {
  return report(READ_ERROR_CLASS, PROGRAM, cannot_read(name, path, why), UNREADABLE, json);
}

std::expected<ByteString, int> read_file(std::string_view name, const std::string& path, bool json) {
  auto bytes = read_input(path);
  if (bytes) return std::move(*bytes);
  return std::unexpected(unreadable(name, path, bytes.error(), json));
}

int out_of_memory(bool json) {
  int status = OUT_OF_MEMORY;
  if (json && !write_stdout(OUT_OF_MEMORY_OBJECT)) status = output_failed();
  write_stderr_line("halyx-verify: out of memory");
  return status;
}

int report_failure(const SegmentError& error, bool json) {
  const ErrorClass cls = error_class(error);
  return report(class_name(cls), class_name(cls), message(error), exit_status(cls), json);
}

}  // namespace halyx::cli
