// record_search_fuzz.cpp: the segment reader on several threads against one thread, on any bytes.
//
// The first input byte picks the thread count (2 to 5) and the reader's sizes (windows of 512 bytes
// to 4 KiB, shares of 64 bytes), so that a few kilobytes cross many windows and shares; the rest is
// the CBOR sequence, read from memory and from a file. For every input, both readings must give
// exactly the leaf hashes and the error of one thread reading from the first byte, and the bytes the
// readers examined must stay within a small multiple of the input's size. A search that costs more
// than linear time is what libFuzzer's -timeout finds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include <halyx/segment_reader.hpp>

namespace {

using halyx::ByteView;
using halyx::Hash32;
using halyx::LeafSource;
using halyx::ReadingError;
using halyx::ReaderSizes;
using halyx::ReadWork;
using halyx::fuzz::require;

struct Read {
  std::vector<Hash32> hashes;
  std::string error;
  ReadWork work;
};

Read read_all(const LeafSource& source, unsigned threads, const ReaderSizes& sizes) {
  halyx::RecordReader reader(source, sizes);
  Read read;
  const auto done = halyx::each_record(
      reader, threads, nullptr, Hash32{},
      [&](const Hash32& h, std::string_view) -> std::expected<void, ReadingError> {
        read.hashes.push_back(h);
        return {};
      },
      &read.work);
  if (!done) {
    const auto* refused = std::get_if<halyx::SegmentError>(&done.error());
    read.error = refused ? halyx::message(*refused) : "read failed";
  }
  return read;
}

// The input's bytes in an anonymous file, closed with the object.
class MemoryFile {
 public:
  explicit MemoryFile(ByteView bytes) : fd_(::memfd_create("leaves", 0)) {
    require(fd_ >= 0, "memfd_create failed");
    for (std::size_t done = 0; done < bytes.size();) {
      const ::ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      require(n > 0, "writing the file failed");
      done += static_cast<std::size_t>(n);
    }
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { ::close(fd_); }
  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned threads = 2 + data[0] % 4;
  ReaderSizes sizes;
  sizes.window = std::size_t{512} << (data[0] >> 2 & 3);
  sizes.carry = sizes.window / 4;
  sizes.min_threaded = 256;
  sizes.min_share = 64;
  const ByteView bytes(data + 1, size - 1);

  const Read one = read_all(LeafSource::memory(bytes), 1, sizes);
  const MemoryFile file(bytes);
  for (const LeafSource& source : {LeafSource::memory(bytes), LeafSource::file(file.fd())}) {
    const Read many = read_all(source, threads, sizes);
    require(many.error == one.error, "a different error on several threads");
    require(many.hashes == one.hashes, "different records on several threads");
    require(many.work.examined <= 16 * bytes.size() + 2 * sizes.window, "the search's work is not linear");
  }
  return 0;
}
