// input.hpp: reading one argument's bytes from a file, or from standard input for "-".
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <halyx/bytes.hpp>

namespace halyx::cli {

// The most one argument may hold. Real records are a few kilobytes; the bound keeps a device or
// an endless pipe (/dev/zero) from exhausting memory before anything is verified.
inline constexpr std::size_t MAX_INPUT_BYTES = std::size_t{64} << 20;

// Returns "cannot read NAME 'PATH': WHY", the one wording of a file that cannot be read.
[[nodiscard]] std::string cannot_read(std::string_view name, std::string_view path, std::string_view why);

// An open descriptor for reading: closed when this goes, unless it is standard input, which is
// borrowed and stays open.
class InputDescriptor {
 public:
  InputDescriptor(int fd, bool owned) noexcept : fd_(fd), owned_(owned) {}
  InputDescriptor(InputDescriptor&& o) noexcept : fd_(o.fd_), owned_(std::exchange(o.owned_, false)) {}
  InputDescriptor(const InputDescriptor&) = delete;
  InputDescriptor& operator=(const InputDescriptor&) = delete;
  InputDescriptor& operator=(InputDescriptor&&) = delete;
  ~InputDescriptor();
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_;
  bool owned_;
};

// Returns `path` opened for reading, or standard input for "-". Errors: a reason for display, as
// read_input gives it ("is a directory" among them).
[[nodiscard]] std::expected<InputDescriptor, std::string> open_input(const std::string& path);

// Returns the whole content of `path`, or of standard input when `path` is "-". Errors: a reason
// for display ("No such file or directory", "is a directory", "larger than 64 MiB"), never a
// partial read.
[[nodiscard]] std::expected<ByteString, std::string> read_input(const std::string& path);

}  // namespace halyx::cli
