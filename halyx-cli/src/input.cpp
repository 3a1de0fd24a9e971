#include "input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace halyx::cli {
namespace {

std::string errno_text(int error) { return std::generic_category().message(error); }

std::string too_large() { return "larger than " + std::to_string(MAX_INPUT_BYTES >> 20) + " MiB"; }

}  // namespace

std::string cannot_read(std::string_view name, std::string_view path, std::string_view why) {
  std::string text = "cannot read ";
  text += name;
  text += " '";
  text += path;
  text += "': ";
  text += why;
  return text;
}

InputDescriptor::~InputDescriptor() {
  if (owned_) ::close(fd_);
}

std::expected<InputDescriptor, std::string> open_input(const std::string& path) {
  const bool from_stdin = path == "-";
  const int fd = from_stdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno_text(errno));
  InputDescriptor descriptor(fd, !from_stdin);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(errno_text(errno));
  if (S_ISDIR(info.st_mode)) return std::unexpected("is a directory");
  return descriptor;
}

std::expected<ByteString, std::string> read_input(const std::string& path) {
  auto descriptor = open_input(path);
  if (!descriptor) return std::unexpected(std::move(descriptor.error()));
  const int fd = descriptor->get();
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(errno_text(errno));

  ByteString data;
  // A regular file states its size, which may reserve; a pipe or device says nothing, and only
  // what it delivers is kept. Either way the loop reads to the end, so a file that grows or
  // shrinks meanwhile is read as it is, up to the bound. What counts is what is left from the
  // current offset: standard input may be a file that the caller has already partly read.
  if (S_ISREG(info.st_mode)) {
    const ::off_t offset = ::lseek(fd, 0, SEEK_CUR);
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t at = offset > 0 ? static_cast<std::uint64_t>(offset) : 0;
    const std::uint64_t left = at < size ? size - at : 0;
    if (left > MAX_INPUT_BYTES) return std::unexpected(too_large());
    data.reserve(static_cast<std::size_t>(left));
  }
  std::array<std::uint8_t, std::size_t{16} << 10> buffer{};
  for (;;) {
    const ::ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno_text(errno));
    }
    if (static_cast<std::size_t>(got) > MAX_INPUT_BYTES - data.size()) return std::unexpected(too_large());
    data.insert(data.end(), buffer.begin(), buffer.begin() + got);
  }
  return data;
}

}  // namespace halyx::cli
