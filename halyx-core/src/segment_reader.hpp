// segment_reader.hpp: the records of a CBOR sequence of leaf records, read in windows and hashed on
// several threads, in record order, with exactly the records and the error one thread reading from
// the first byte finds.
//
// A thread's share of a window starts inside some record, so it looks for the first offset at which
// a whole record decodes. Such a guess may be wrong (a record can hold bytes that decode as another),
// and the share before settles it: the guess stands only when that share ends exactly there, and a
// share that does not is read again from the true boundary. What a guess may cost is bounded by its
// share's size, never by the bytes after it, so the work over a whole file is at most a small
// constant times its size, whatever the bytes and the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include <halyx/bytes.hpp>
#include <halyx/segment.hpp>
#include <halyx/serialization/mtac_leaf.hpp>

namespace halyx {

// Where the leaves come from: an open file, read from its start in each reading, or bytes held
// in memory.
class LeafSource {
 public:
  static LeafSource file(int fd) noexcept { return LeafSource(fd, {}); }
  static LeafSource memory(ByteView bytes) noexcept { return LeafSource(-1, bytes); }

  [[nodiscard]] int fd() const noexcept { return fd_; }
  [[nodiscard]] ByteView bytes() const noexcept { return bytes_; }

 private:
  LeafSource(int fd, ByteView bytes) noexcept : fd_(fd), bytes_(bytes) {}
  int fd_;
  ByteView bytes_;
};

// The sizes the reading works in. The defaults suit real files; the tests and the fuzz target make
// them small, so that a few kilobytes of records cross many windows and shares.
struct ReaderSizes {
  std::size_t window = std::size_t{512} << 10;  // what the threads decode between two meetings
  // Room in front of a window read ahead, for the record cut at the end of the window before. A
  // longer one (a record larger than this) is read again instead.
  std::size_t carry = std::size_t{64} << 10;
  std::size_t min_threaded = std::size_t{64} << 10;  // a smaller window is read by one thread
  std::size_t min_share = std::size_t{8} << 10;      // the least bytes of one share
  std::size_t max_window = std::size_t{64} << 20;    // the largest window, and so the largest record
};

// The records of a source, read from the start: a window onto the file that slides forward and
// grows only for a record larger than it, up to sizes().max_window. While the records of one
// window are decoded, the next window can be read into a second buffer (begin_ahead, in parts that
// threads read at once, end_ahead), behind room for the record the current window ends inside;
// advance() then moves that record's bytes there and swaps the buffers, so the reading is off the
// path that every thread waits on and nothing but that record is copied.
class RecordReader {
 public:
  explicit RecordReader(const LeafSource& source, ReaderSizes sizes = {}) : source_(source), sizes_(sizes) {}

  [[nodiscard]] const ReaderSizes& sizes() const noexcept { return sizes_; }

  // Starts again from the first byte. Errors: the reason the file cannot be read.
  [[nodiscard]] std::expected<void, std::string> rewind();

  [[nodiscard]] ByteView available() const noexcept {
    if (source_.fd() < 0) return source_.bytes().subspan(begin_);
    return ByteView(buffer_.data() + begin_, end_ - begin_);
  }
  void consume(std::size_t n) noexcept { begin_ += n; }
  [[nodiscard]] bool eof() const noexcept { return eof_; }

  // Reads more after what is available; with `to_end`, all the rest of a regular file, up to
  // sizes().max_window. Returns false when nothing more can come: the end of the file, or a record
  // as large as that bound. Errors: the reason a read failed.
  [[nodiscard]] std::expected<bool, std::string> fill(bool to_end = false);

  // How a part of the window read ahead went: the bytes that came before the end of the file, or
  // the errno of a failed read.
  struct AheadPart {
    std::size_t got = 0;
    int error = 0;
  };

  // Prepares reading up to a window's bytes after the current window into the second buffer,
  // leaving the current one alone: other threads may be reading it meanwhile. The bytes are read in
  // parts, read_ahead_part() for each, which several threads may call at once, and then
  // end_ahead(). Returns false, when nothing is to be read: for bytes held in memory, at the end of
  // the file, or when bytes read ahead are already waiting. Errors: the reason the file's offset is
  // unknown.
  [[nodiscard]] std::expected<bool, std::string> begin_ahead();

  // Reads bytes [from, to) of the next window, to <= sizes().window, up to the end of the file.
  [[nodiscard]] AheadPart read_ahead_part(std::size_t from, std::size_t to) noexcept;

  // Takes the bytes read ahead: the front part [0, split), and the back part after it only when the
  // front one is whole (the file may have grown between the two), and moves the file's offset past
  // them. Errors: the reason a read failed.
  [[nodiscard]] std::expected<void, std::string> end_ahead(AheadPart front, std::size_t split, AheadPart back);

  // Makes what is left of the current window, followed by the bytes read ahead, the window. When
  // nothing was read ahead, or what is left does not fit in front of it, the file is read as
  // fill() reads it instead. Errors: the reason a read failed.
  [[nodiscard]] std::expected<void, std::string> advance();

 private:
  // Gives back the bytes read ahead, moving the file's offset back over them, so that fill() reads
  // them next.
  [[nodiscard]] std::expected<void, std::string> drop_ahead();
  // The bytes of a regular file after its offset; 0 for any other file.
  [[nodiscard]] std::size_t bytes_left() const noexcept;

  const LeafSource& source_;
  ReaderSizes sizes_;
  ByteString buffer_, spare_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  std::size_t ahead_ = 0;   // bytes read ahead, at spare_[carry, carry + ahead_)
  bool ahead_eof_ = false;  // reading ahead met the end of the file
  std::int64_t ahead_at_ = 0;  // the file offset of the bytes read ahead
};

// A file that could not be read, and why (the system's words).
struct ReadFailure {
  std::string why;
};
// Why a reading stopped: a record that does not decode, a read that failed, or what `on` returned.
using ReadingError = std::variant<SegmentError, ReadFailure>;

// What a reading keeps of each record beside its leaf hash, written on the thread that decoded it:
// a record in canonical form as read in place, any other as decoded. What one record's write()
// appends to `out` reaches each_record's `on` with that record's hash.
class RecordWriter {
 public:
  virtual void write(const leaf::CanonicalLeafView& record, std::string& out) const = 0;
  virtual void write(const leaf::MtacLeaf& record, std::string& out) const = 0;

 protected:
  RecordWriter() = default;
  RecordWriter(const RecordWriter&) = default;
  RecordWriter& operator=(const RecordWriter&) = default;
  ~RecordWriter() = default;
};

// Receives each record's leaf hash and what the RecordWriter kept of it (empty without one); an
// error stops the reading.
using OnRecord = std::function<std::expected<void, ReadingError>(const Hash32& leaf_hash, std::string_view kept)>;

// What a reading cost: the bytes its record search and decodes were handed, each decode counted for
// the bytes it was allowed to look at (for one that succeeded, its record's length), and each byte
// the search stepped over once.
struct ReadWork {
  std::uint64_t examined = 0;
};

// Calls on(leaf_hash, kept) for every record of `reader`'s source, in order, on the calling thread;
// `kept` is what `writer` wrote of the record, empty without a writer. The records of each window
// are decoded, hashed and written on `threads` threads. Stops at the first error of the reading, the
// decode or `on`, in record order: the records read before a fault always reach `on` first, and
// every error is the one a single thread gives. Adds what the reading cost to `work` when given.
// Throws std::bad_alloc only.
[[nodiscard]] std::expected<void, ReadingError> each_record(RecordReader& reader, unsigned threads,
                                                            const RecordWriter* writer, const Hash32& log_id,
                                                            const OnRecord& on, ReadWork* work = nullptr);

}  // namespace halyx
