#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <sys/uio.h>

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

}  // namespace halyx::cli
