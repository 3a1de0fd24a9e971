#include <halyx/segment_reader.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <halyx/dcbor/cbor_error.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/thread_pool.hpp>

namespace halyx {

std::expected<void, std::string> RecordReader::rewind() {
  begin_ = end_ = 0;
  eof_ = source_.fd() < 0;
  ahead_ = 0;
  ahead_eof_ = false;
  if (source_.fd() >= 0 && ::lseek(source_.fd(), 0, SEEK_SET) < 0) {
    return std::unexpected(std::generic_category().message(errno));
  }
  return {};
}

std::expected<bool, std::string> RecordReader::fill(bool to_end) {
  if (auto ok = drop_ahead(); !ok) return std::unexpected(ok.error());
  if (eof_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) {
    if (buffer_.size() >= sizes_.max_window) return false;
    std::size_t grown = buffer_.empty() ? sizes_.window : std::min(buffer_.size() * 2, sizes_.max_window);
    if (to_end) grown = std::max(grown, std::min(end_ + bytes_left(), sizes_.max_window));
    buffer_.resize(grown);
  }
  bool more = false;
  for (;;) {
    const ::ssize_t got = ::read(source_.fd(), buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::unexpected(std::generic_category().message(errno));
    if (got == 0) eof_ = true;
    end_ += static_cast<std::size_t>(got);
    more = more || got > 0;
    if (!to_end || eof_ || end_ == buffer_.size()) return more;
  }
}

std::size_t RecordReader::bytes_left() const noexcept {
  struct stat file {};
  if (::fstat(source_.fd(), &file) != 0 || !S_ISREG(file.st_mode)) return 0;
  const ::off_t at = ::lseek(source_.fd(), 0, SEEK_CUR);
  if (at < 0 || file.st_size <= at) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(file.st_size - at), sizes_.max_window));
}

std::expected<bool, std::string> RecordReader::begin_ahead() {
  if (source_.fd() < 0 || eof_ || ahead_ > 0 || ahead_eof_) return false;
  if (spare_.size() < sizes_.carry + sizes_.window) spare_.resize(sizes_.carry + sizes_.window);
  const ::off_t at = ::lseek(source_.fd(), 0, SEEK_CUR);
  if (at < 0) return std::unexpected(std::generic_category().message(errno));
  ahead_at_ = at;
  return true;
}

RecordReader::AheadPart RecordReader::read_ahead_part(std::size_t from, std::size_t to) noexcept {
  AheadPart part;
  while (from + part.got < to) {
    const std::size_t at = from + part.got;
    const ::ssize_t got = ::pread(source_.fd(), spare_.data() + sizes_.carry + at, to - at,
                                  static_cast<::off_t>(ahead_at_) + static_cast<::off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      part.error = errno;
      break;
    }
    if (got == 0) break;
    part.got += static_cast<std::size_t>(got);
  }
  return part;
}

std::expected<void, std::string> RecordReader::end_ahead(AheadPart front, std::size_t split, AheadPart back) {
  if (front.error == 0 && front.got == split) {
    front.got += back.got;
    front.error = back.error;
  }
  if (front.error != 0) return std::unexpected(std::generic_category().message(front.error));
  ahead_ = front.got;
  ahead_eof_ = front.got < sizes_.window;
  if (::lseek(source_.fd(), static_cast<::off_t>(ahead_at_) + static_cast<::off_t>(ahead_), SEEK_SET) < 0) {
    return std::unexpected(std::generic_category().message(errno));
  }
  return {};
}

std::expected<void, std::string> RecordReader::advance() {
  const std::size_t left = end_ - begin_;
  if (source_.fd() < 0 || (ahead_ == 0 && !ahead_eof_) || left > sizes_.carry) {
    if (auto ok = drop_ahead(); !ok) return std::unexpected(ok.error());
    return {};
  }
  std::memcpy(spare_.data() + sizes_.carry - left, buffer_.data() + begin_, left);
  std::swap(buffer_, spare_);
  begin_ = sizes_.carry - left;
  end_ = sizes_.carry + ahead_;
  eof_ = ahead_eof_;
  ahead_ = 0;
  ahead_eof_ = false;
  return {};
}

std::expected<void, std::string> RecordReader::drop_ahead() {
  if (ahead_ == 0 && !ahead_eof_) return {};
  const auto back = static_cast<::off_t>(ahead_);
  ahead_ = 0;
  ahead_eof_ = false;
  if (back > 0 && ::lseek(source_.fd(), -back, SEEK_CUR) < 0) {
    return std::unexpected(std::generic_category().message(errno));
  }
  return {};
}

namespace {

// Whether a record's decode failed only because the bytes it was given end inside it.
bool cut_short(const leaf::LeafDecodeError& e) {
  static const std::string truncated = dcbor::message(dcbor::CborError::of(dcbor::CborErrorKind::Truncated));
  const auto* cbor = std::get_if<leaf::CborDecode>(&e);
  return cbor && cbor->cbor_message == truncated;
}

// The bytes a part's decodes may still be handed. A part that starts from a guess may be handed at
// most SEARCH_WORK bytes per byte of its share: a wrong guess can make a decode run on through every
// byte after it, and that must cost the share, not the rest of the window. A part that starts at a
// known boundary has no limit: all it decodes is what one thread would.
constexpr std::size_t SEARCH_WORK = 4;

class Meter {
 public:
  explicit Meter(std::size_t budget) noexcept : left_(budget) {}
  [[nodiscard]] std::size_t left() const noexcept { return left_; }
  [[nodiscard]] std::uint64_t spent() const noexcept { return spent_; }
  // The bytes of `window` from `pos` on that a decode may look at.
  [[nodiscard]] ByteView view(ByteView window, std::size_t pos) const noexcept {
    return window.subspan(pos, std::min(window.size() - pos, left_));
  }
  void charge(std::size_t n) noexcept {
    left_ -= std::min(n, left_);
    spent_ += n;
  }

 private:
  std::size_t left_;
  std::uint64_t spent_ = 0;
};

// A search's first look at a candidate, in bytes: about a small record. Each look after it doubles,
// so a record is found for about twice the bytes it spans, and a candidate that is refused early
// costs little whatever follows it.
constexpr std::size_t FIRST_LOOK = 256;

enum class Candidate { Record, NoRecord, OutOfWork };

// Whether a whole record decodes at window[pos], looking at no more than `meter` allows. NoRecord
// when the bytes there are no record, or one that runs past the window's end (which, for a guess,
// does not tell where records start).
Candidate try_candidate(ByteView window, std::size_t pos, Meter& meter) {
  const std::size_t rest = window.size() - pos;
  for (std::size_t want = FIRST_LOOK;; want *= 2) {
    const std::size_t n = std::min(want, rest);
    if (n > meter.left()) return Candidate::OutOfWork;
    meter.charge(n);
    const ByteView from = window.subspan(pos, n);
    // A record in canonical form is told apart much faster than the full decode takes.
    if (leaf::read_canonical_leaf(from)) return Candidate::Record;
    const auto decoded = leaf::decode_mtac_leaf_prefix(from);
    if (decoded) return Candidate::Record;
    if (n == rest || !cut_short(decoded.error())) return Candidate::NoRecord;
  }
}

// The records one thread read from a part of the window: from `start`, every record that starts
// before the part's limit, the last of them possibly running past it.
struct Part {
  std::size_t start = 0, stop = 0;  // the first record's offset, and the offset after the last
  bool found = true;                // a part after the first found a record to start from, in its budget
  bool cut = false;                 // the record at `stop` runs past the window, which is not the last
  std::optional<leaf::LeafDecodeError> error;  // the record at `stop` does not decode
  std::uint64_t examined = 0;                  // what the reading of this part cost (ReadWork)
  std::vector<Hash32> hashes;
  std::string kept;                     // with a writer: what it wrote of each record, back to back
  std::vector<std::size_t> kept_ends;
};

// Reads the records of window[start, ...) that start before `limit`. With `search`, `start` is only
// where to look: the part starts at the first offset from there at which a whole record decodes, and
// gives up (found false) when its budget runs out first. Whether that is a real record boundary is
// for the caller to confirm: it is one exactly when the part before ends there.
// `part` is overwritten; its buffers are kept, so that windows after the first allocate nothing.
void read_part(Part& part, ByteView window, std::size_t start, std::size_t limit, bool eof, bool search,
               const RecordWriter* writer, const Hash32& log_id) {
  part.start = part.stop = 0;
  part.found = true;
  part.cut = false;
  part.error.reset();
  part.examined = 0;
  part.hashes.clear();
  part.kept.clear();
  part.kept_ends.clear();
  Meter meter(search ? SEARCH_WORK * (limit - start) : std::numeric_limits<std::size_t>::max());
  const auto give_up = [&] {
    part.found = false;
    part.start = part.stop = limit;
    part.hashes.clear();
    part.kept.clear();
    part.kept_ends.clear();
    part.examined += meter.spent();
  };
  std::size_t pos = start;
  if (search) {
    Candidate candidate = Candidate::NoRecord;
    for (; pos < limit; ++pos) {
      if ((window[pos] >> 5) != 5) continue;  // a record is a map
      candidate = try_candidate(window, pos, meter);
      if (candidate != Candidate::NoRecord) break;
    }
    part.examined = pos - start;  // each byte stepped over
    if (candidate != Candidate::Record) return give_up();
  }
  part.start = pos;
  // Records in their canonical form wait here to be hashed four at a time; every other hash is
  // added only after theirs, so the hashes stay in record order.
  std::array<ByteView, 4> queued{};
  std::size_t queued_count = 0;
  const auto hash_queued = [&] {
    if (queued_count == queued.size()) {
      std::array<Hash32, 4> hashes{};
      merkle::leaf_hashes_of_canonical_x4(queued, log_id, hashes);
      part.hashes.insert(part.hashes.end(), hashes.begin(), hashes.end());
    } else {
      for (std::size_t i = 0; i < queued_count; ++i) part.hashes.push_back(merkle::leaf_hash_of_canonical(queued[i], log_id));
    }
    queued_count = 0;
  };
  while (pos < limit) {
    // A record already in its canonical form is hashed and printed from its bytes in place.
    const ByteView rest = meter.view(window, pos);
    if (const auto view = leaf::read_canonical_leaf(rest)) {
      meter.charge(view->length);
      queued[queued_count++] = rest.first(view->length);
      if (queued_count == queued.size()) hash_queued();
      if (writer) {
        writer->write(*view, part.kept);
        part.kept_ends.push_back(part.kept.size());
      }
      pos += view->length;
      continue;
    }
    hash_queued();
    auto decoded = leaf::decode_mtac_leaf_prefix(rest);
    if (!decoded) {
      // Judged on fewer bytes than the window holds, the record's verdict is not known: the part
      // is read again from its true start, with no limit.
      if (rest.size() < window.size() - pos) return give_up();
      meter.charge(rest.size());
      if (cut_short(decoded.error()) && !eof) {
        part.cut = true;
      } else {
        part.error = std::move(decoded.error());
      }
      break;
    }
    meter.charge(decoded->length);
    part.hashes.push_back(merkle::leaf_hash(decoded->leaf, log_id));
    if (writer) {
      writer->write(decoded->leaf, part.kept);
      part.kept_ends.push_back(part.kept.size());
    }
    pos += decoded->length;
  }
  hash_queued();
  part.stop = pos;
  part.examined += meter.spent();
}

// How many shares of a window each thread reads, taking them in turn. At the end of a window one
// thread waits for the other's last share: small shares keep that wait short, and a share of at
// least ReaderSizes::min_share still holds enough records to be worth the search for its first one.
constexpr std::size_t SHARES_PER_THREAD = 16;


// Calls on(hash, kept) for each record of parts[0, count), in order; `kept` is what the writer
// wrote of the record, empty without one. Stops at the first error of `on`.
std::expected<void, ReadingError> deliver(const std::vector<Part>& parts, std::size_t count, bool kept,
                                          const OnRecord& on) {
  for (std::size_t k = 0; k < count; ++k) {
    const Part& part = parts[k];
    std::size_t kept_begin = 0;
    for (std::size_t r = 0; r < part.hashes.size(); ++r) {
      std::string_view record;
      if (kept) {
        record = std::string_view(part.kept).substr(kept_begin, part.kept_ends[r] - kept_begin);
        kept_begin = part.kept_ends[r];
      }
      if (auto ok = on(part.hashes[r], record); !ok) return std::unexpected(ok.error());
    }
  }
  return {};
}

}  // namespace

// The records of each window are decoded and hashed on `threads` threads, each starting at the first
// record it finds in its share of the window; a share whose start the share before it does not end
// at is read again on this thread, so the records are exactly those one reading from the first byte
// finds. While the helpers decode a window from its back, the calling thread reads the front of the
// next one from the file into the reader's second buffer (a helper reads its back) and, with more
// than one thread, gives the window before's records to `on`, then decodes from the window's front;
// only the stitching of the shares is left between windows.
std::expected<void, ReadingError> each_record(RecordReader& reader, unsigned threads, const RecordWriter* writer,
                                              const Hash32& log_id, const OnRecord& on, ReadWork* work) {
  if (auto ok = reader.rewind(); !ok) return std::unexpected(ReadFailure{ok.error()});
  const ReaderSizes& sizes = reader.sizes();
  ReadWork unasked;
  std::uint64_t& examined = (work ? *work : unasked).examined;
  std::uint64_t record = 0, offset = 0;
  // One part per share, kept from window to window; two sets, so that `on` takes one window's
  // records from one while the next window is read into the other.
  std::array<std::vector<Part>, 2> sets;
  ThreadPool pool(threads - 1);
  std::size_t current = 0;
  std::size_t waiting = 0;  // parts of sets[current ^ 1] still to be given to `on`
  constexpr std::size_t PAGE = 4096;
  std::size_t front_bytes = sizes.window / 2;  // of the next window, read by this thread
  const auto deliver_waiting = [&]() -> std::expected<void, ReadingError> {
    const std::size_t count = std::exchange(waiting, 0);
    return deliver(sets[current ^ 1], count, writer != nullptr, on);
  };
  // A fault of the reading, reported after the records read before it.
  const auto fault = [&](ReadingError e) -> std::expected<void, ReadingError> {
    if (auto ok = deliver_waiting(); !ok) return ok;
    return std::unexpected(std::move(e));
  };
  for (;;) {
    // A window of at least WINDOW bytes, or what is left.
    while (reader.available().size() < sizes.window && !reader.eof()) {
      auto more = reader.fill();
      if (!more) return fault(ReadFailure{more.error()});
      if (!*more) break;
    }
    const ByteView window = reader.available();
    if (window.empty()) return deliver_waiting();
    const bool eof = reader.eof();
    // Small windows are not worth a thread. With threads, the window is cut into a few shares per
    // thread, taken in turn by whichever thread is free: on a busy machine a thread that waits for a
    // processor holds up one small share, not half the window.
    const std::size_t shares =
        window.size() < sizes.min_threaded || threads == 1
            ? 1
            : std::min(std::size_t{threads} * SHARES_PER_THREAD, std::max<std::size_t>(window.size() / sizes.min_share, 1));
    std::vector<std::size_t> limits(shares + 1);
    for (std::size_t k = 0; k <= shares; ++k) limits[k] = window.size() * k / shares;
    std::vector<Part>& parts = sets[current];
    if (parts.size() < shares) parts.resize(shares);
    std::expected<void, ReadingError> delivered;
    std::expected<void, std::string> ahead;
    // This thread takes shares from the front of the window and the helpers from the back, and the
    // next window is read ahead in two parts: its front by this thread, its back by a helper. So
    // each thread decodes mostly bytes it read itself, still in its own processor's cache.
    const auto begun = reader.begin_ahead();
    if (!begun) ahead = std::unexpected(begun.error());
    const bool reading = begun && *begun;
    const std::size_t split = threads == 1 ? sizes.window : front_bytes;
    RecordReader::AheadPart front, back;
    std::size_t mine = 0;  // the shares this thread took
    {
      std::vector<std::atomic<bool>> claimed(shares);
      std::atomic<std::size_t> from_back{0};
      std::atomic<bool> back_taken{!reading || split == sizes.window};
      const auto read_back = [&] {
        if (!back_taken.exchange(true)) back = reader.read_ahead_part(split, sizes.window);
      };
      const auto take = [&](std::size_t k) {
        if (claimed[k].exchange(true)) return false;
        read_part(parts[k], window, limits[k], limits[k + 1], eof, k != 0, writer, log_id);
        return true;
      };
      // Each helper takes the last share no thread has been given; it stops at one this thread took.
      const std::function<void()> help = [&] {
        read_back();
        std::size_t i = from_back.fetch_add(1);
        while (i < shares && take(shares - 1 - i)) i = from_back.fetch_add(1);
      };
      // The helpers are waited for on every way out of this block.
      struct Waiting {
        ThreadPool& pool;
        ~Waiting() { pool.wait(); }
      } started{pool};
      if (shares > 1) pool.start(help);
      // The records waiting from the window before reach `on` while the helpers decode this one.
      if (reading) front = reader.read_ahead_part(0, split);
      if (waiting != 0) delivered = deliver_waiting();
      while (mine < shares && take(mine)) ++mine;
      read_back();  // when no helper did
    }
    if (reading) ahead = reader.end_ahead(front, split, back);
    // The next window's front part: about what this thread took of this one.
    front_bytes = sizes.window * mine / shares / PAGE * PAGE;
    for (std::size_t k = 0; k < shares; ++k) examined += parts[k].examined;
    if (!delivered) return delivered;
    std::size_t boundary = 0, count = 0;
    bool stopped = false;
    std::optional<ReadingError> failure;
    for (std::size_t k = 0; k < shares && !stopped && !failure; ++k, count = k) {
      Part& part = parts[k];
      if (part.start != boundary || !part.found) {
        if (boundary >= limits[k + 1]) {  // the part before ran through this share
          part.hashes.clear();
          part.kept_ends.clear();
          continue;
        }
        read_part(part, window, boundary, limits[k + 1], eof, false, writer, log_id);
        examined += part.examined;
      }
      record += part.hashes.size();
      offset += part.stop - part.start;
      boundary = part.stop;
      if (part.error) failure = SegmentError{SegmentLeafDecodeFailed{record, offset, std::move(*part.error)}};
      if (part.cut) stopped = true;
    }
    if (failure) {
      if (auto ok = deliver(parts, count, writer != nullptr, on); !ok) return ok;
      return std::unexpected(std::move(*failure));
    }
    // A record cut at the window's end is read again, whole, in the next window.
    if (boundary == 0 && stopped) {
      // One record larger than the window: the window takes the rest of the file, so that however
      // large the record, it is decoded once more, not once for every doubling.
      auto more = reader.fill(true);
      if (!more) return fault(ReadFailure{more.error()});
      if (!*more) {
        examined += reader.available().size();
        auto decoded = leaf::decode_mtac_leaf_prefix(reader.available());
        return fault(SegmentError{SegmentLeafDecodeFailed{record, offset, std::move(decoded.error())}});
      }
      continue;
    }
    reader.consume(boundary);
    if (threads == 1) {
      if (auto ok = deliver(parts, count, writer != nullptr, on); !ok) return ok;
    } else {
      waiting = count;
      current ^= 1;
    }
    if (!ahead) return fault(ReadFailure{ahead.error()});
    if (auto ok = reader.advance(); !ok) return fault(ReadFailure{ok.error()});
  }
}


}  // namespace halyx
