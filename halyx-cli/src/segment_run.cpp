#include "segment_run.hpp"

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <thread>
#include <vector>

#include <halyx/dcbor/cbor_error.hpp>
#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include "input.hpp"
#include "inspect.hpp"
#include "json.hpp"

namespace halyx::cli {
namespace {

// Whether a record's decode failed only because the bytes read so far end inside it.
bool cut_short(const leaf::LeafDecodeError& e) {
  static const std::string truncated = dcbor::message(dcbor::CborError::of(dcbor::CborErrorKind::Truncated));
  const auto* cbor = std::get_if<leaf::CborDecode>(&e);
  return cbor && cbor->cbor_message == truncated;
}

// The records of a source, read from the start: a window onto the file that slides forward and
// grows only for a record larger than it, up to the bound of one input. While the records of one
// window are decoded, the next window can be read into a second buffer (begin_ahead, in parts that
// threads read at once, end_ahead), behind room for the record the current window ends inside;
// advance() then moves that record's bytes there and swaps the buffers, so the reading is off the
// path that every thread waits on and nothing but that record is copied.
class RecordReader {
 public:
  static constexpr std::size_t WINDOW = std::size_t{512} << 10;
  // Room in front of a window read ahead, for the record cut at the end of the window before. A
  // longer one (a record larger than this) is read again instead.
  static constexpr std::size_t CARRY = std::size_t{64} << 10;

  explicit RecordReader(const LeafSource& source) : source_(source) {}

  // Starts again from the first byte. Errors: the reason the file cannot be read.
  [[nodiscard]] std::expected<void, std::string> rewind() {
    begin_ = end_ = 0;
    eof_ = source_.fd() < 0;
    ahead_ = 0;
    ahead_eof_ = false;
    if (source_.fd() >= 0 && ::lseek(source_.fd(), 0, SEEK_SET) < 0) {
      return std::unexpected(std::generic_category().message(errno));
    }
    return {};
  }

  [[nodiscard]] ByteView available() const noexcept {
    if (source_.fd() < 0) return source_.bytes().subspan(begin_);
    return ByteView(buffer_.data() + begin_, end_ - begin_);
  }
  void consume(std::size_t n) noexcept { begin_ += n; }
  [[nodiscard]] bool eof() const noexcept { return eof_; }

  // Reads more after what is available. Returns false when nothing more can come: the end of the
  // file, or a record as large as the bound of one input. Errors: the reason a read failed.
  [[nodiscard]] std::expected<bool, std::string> fill() {
    if (auto ok = drop_ahead(); !ok) return std::unexpected(ok.error());
    if (eof_) return false;
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == buffer_.size()) {
      if (buffer_.size() >= MAX_INPUT_BYTES) return false;
      buffer_.resize(buffer_.empty() ? WINDOW : std::min(buffer_.size() * 2, MAX_INPUT_BYTES));
    }
    for (;;) {
      const ::ssize_t got = ::read(source_.fd(), buffer_.data() + end_, buffer_.size() - end_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return std::unexpected(std::generic_category().message(errno));
      if (got == 0) eof_ = true;
      end_ += static_cast<std::size_t>(got);
      return got > 0;
    }
  }

  // How a part of the window read ahead went: the bytes that came before the end of the file, or
  // the errno of a failed read.
  struct AheadPart {
    std::size_t got = 0;
    int error = 0;
  };

  // Prepares reading up to WINDOW bytes after the current window into the second buffer, leaving
  // the current one alone: other threads may be reading it meanwhile. The bytes are read in parts,
  // read_ahead_part() for each, which several threads may call at once, and then end_ahead().
  // Returns false, when nothing is to be read: for bytes held in memory, at the end of the file, or
  // when bytes read ahead are already waiting. Errors: the reason the file's offset is unknown.
  [[nodiscard]] std::expected<bool, std::string> begin_ahead() {
    if (source_.fd() < 0 || eof_ || ahead_ > 0 || ahead_eof_) return false;
    if (spare_.size() < CARRY + WINDOW) spare_.resize(CARRY + WINDOW);
    const ::off_t at = ::lseek(source_.fd(), 0, SEEK_CUR);
    if (at < 0) return std::unexpected(std::generic_category().message(errno));
    ahead_at_ = at;
    return true;
  }

  // Reads bytes [from, to) of the next window, to <= WINDOW, up to the end of the file.
  [[nodiscard]] AheadPart read_ahead_part(std::size_t from, std::size_t to) noexcept {
    AheadPart part;
    while (from + part.got < to) {
      const std::size_t at = from + part.got;
      const ::ssize_t got = ::pread(source_.fd(), spare_.data() + CARRY + at, to - at,
                                    ahead_at_ + static_cast<::off_t>(at));
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

  // Takes the bytes read ahead: the front part [0, split), and the back part after it only when the
  // front one is whole (the file may have grown between the two), and moves the file's offset past
  // them. Errors: the reason a read failed.
  [[nodiscard]] std::expected<void, std::string> end_ahead(AheadPart front, std::size_t split, AheadPart back) {
    if (front.error == 0 && front.got == split) {
      front.got += back.got;
      front.error = back.error;
    }
    if (front.error != 0) return std::unexpected(std::generic_category().message(front.error));
    ahead_ = front.got;
    ahead_eof_ = front.got < WINDOW;
    if (::lseek(source_.fd(), ahead_at_ + static_cast<::off_t>(ahead_), SEEK_SET) < 0) {
      return std::unexpected(std::generic_category().message(errno));
    }
    return {};
  }

  // Makes what is left of the current window, followed by the bytes read ahead, the window. When
  // nothing was read ahead, or what is left does not fit in front of it, the file is read as
  // fill() reads it instead. Errors: the reason a read failed.
  [[nodiscard]] std::expected<void, std::string> advance() {
    const std::size_t left = end_ - begin_;
    if (source_.fd() < 0 || (ahead_ == 0 && !ahead_eof_) || left > CARRY) {
      if (auto ok = drop_ahead(); !ok) return std::unexpected(ok.error());
      return {};
    }
    std::memcpy(spare_.data() + CARRY - left, buffer_.data() + begin_, left);
    std::swap(buffer_, spare_);
    begin_ = CARRY - left;
    end_ = CARRY + ahead_;
    eof_ = ahead_eof_;
    ahead_ = 0;
    ahead_eof_ = false;
    return {};
  }

 private:
  // Gives back the bytes read ahead, moving the file's offset back over them, so that fill() reads
  // them next.
  [[nodiscard]] std::expected<void, std::string> drop_ahead() {
    if (ahead_ == 0 && !ahead_eof_) return {};
    const auto back = static_cast<::off_t>(ahead_);
    ahead_ = 0;
    ahead_eof_ = false;
    if (back > 0 && ::lseek(source_.fd(), -back, SEEK_CUR) < 0) {
      return std::unexpected(std::generic_category().message(errno));
    }
    return {};
  }

  const LeafSource& source_;
  ByteString buffer_, spare_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  std::size_t ahead_ = 0;   // bytes read ahead, at spare_[CARRY, CARRY + ahead_)
  bool ahead_eof_ = false;  // reading ahead met the end of the file
  ::off_t ahead_at_ = 0;    // the file offset of the bytes read ahead
};

struct ReadFailure {
  std::string why;
};
using PassError = std::variant<SegmentError, ReadFailure>;

// The records one thread read from a part of the window: from `start`, every record that starts
// before the part's limit, the last of them possibly running past it.
struct Part {
  std::size_t start = 0, stop = 0;  // the first record's offset, and the offset after the last
  bool found = true;                // a part after the first found a record to start from
  bool cut = false;                 // the record at `stop` runs past the window, which is not the last
  std::optional<leaf::LeafDecodeError> error;  // the record at `stop` does not decode
  std::vector<Hash32> hashes;
  std::string objects;                  // with text: each record's JSON object, back to back
  std::vector<std::size_t> object_ends;
};

// Reads the records of window[start, ...) that start before `limit`. With `search`, `start` is only
// where to look: the part starts at the first offset from there at which a whole record decodes.
// Whether that is a real record boundary is for the caller to confirm: it is one exactly when the
// part before ends there.
// `part` is overwritten; its buffers are kept, so that windows after the first allocate nothing.
void read_part(Part& part, ByteView window, std::size_t start, std::size_t limit, bool eof, bool search, bool text,
               const Hash32& log_id) {
  part.start = part.stop = 0;
  part.found = true;
  part.cut = false;
  part.error.reset();
  part.hashes.clear();
  part.objects.clear();
  part.object_ends.clear();
  std::size_t pos = start;
  if (search) {
    part.found = false;
    for (; pos < limit; ++pos) {
      if ((window[pos] >> 5) != 5) continue;  // a record is a map
      // A record in canonical form decodes (read_canonical_leaf), and is told apart much faster.
      const ByteView from = window.subspan(pos);
      if (leaf::read_canonical_leaf(from) || leaf::decode_mtac_leaf_prefix(from)) {
        part.found = true;
        break;
      }
    }
    if (!part.found) {
      part.start = part.stop = limit;
      return;
    }
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
    const ByteView rest = window.subspan(pos);
    if (const auto view = leaf::read_canonical_leaf(rest)) {
      queued[queued_count++] = rest.first(view->length);
      if (queued_count == queued.size()) hash_queued();
      if (text) {
        append_leaf_object(part.objects, *view);
        part.object_ends.push_back(part.objects.size());
      }
      pos += view->length;
      continue;
    }
    hash_queued();
    auto decoded = leaf::decode_mtac_leaf_prefix(rest);
    if (!decoded) {
      if (cut_short(decoded.error()) && !eof) {
        part.cut = true;
      } else {
        part.error = std::move(decoded.error());
      }
      break;
    }
    part.hashes.push_back(merkle::leaf_hash(decoded->leaf, log_id));
    if (text) {
      JsonWriter object(part.objects);
      add_leaf_fields(object, decoded->leaf);
      object.close();
      part.object_ends.push_back(part.objects.size());
    }
    pos += decoded->length;
  }
  hash_queued();
  part.stop = pos;
}

// How many shares of a window each thread reads, taking them in turn, and the least bytes of one.
// At the end of a window one thread waits for the other's last share: small shares keep that wait
// short, and a share still holds enough records to be worth the search for its first one.
constexpr std::size_t SHARES_PER_THREAD = 16;
constexpr std::size_t MIN_SHARE_BYTES = std::size_t{8} << 10;

// Threads that stay for a whole reading and run each window's job when told: starting threads
// for every window cost more than the window's work on a virtual machine.
class SharePool {
 public:
  explicit SharePool(std::size_t helpers) {
    try {
      for (std::size_t i = 0; i < helpers; ++i) threads_.emplace_back([this] { serve(); });
    } catch (...) {
      stop();
      throw;
    }
  }
  SharePool(const SharePool&) = delete;
  SharePool& operator=(const SharePool&) = delete;
  ~SharePool() { stop(); }

  // Runs `job` once on every helper; wait() returns when all have finished it. `job` must outlive
  // the wait.
  void start(const std::function<void()>& job) {
    if (threads_.empty()) return;
    {
      const std::lock_guard lock(mutex_);
      job_ = &job;
      running_.store(threads_.size(), std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
  }
  void wait() {
    if (spin([this] { return running_.load(std::memory_order_acquire) == 0; })) return;
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return running_.load(std::memory_order_acquire) == 0; });
  }

 private:
  // Waits a little for `ready` without sleeping: a thread woken from sleep starts late on a
  // virtual machine, and the threads meet twice per window. After the first few microseconds it
  // yields between looks, for the case that the other thread waits for this one's processor.
  // Returns whether `ready` came.
  template <class Ready>
  static bool spin(const Ready& ready) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1;; ++i) {
      if (ready()) return true;
      if (i % 64 == 0) {
        const auto spent = std::chrono::steady_clock::now() - start;
        if (spent > SPIN) return false;
        if (spent > SPIN_BUSY) std::this_thread::yield();
      }
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
  static constexpr std::chrono::microseconds SPIN_BUSY{10}, SPIN{100};

  void serve() {
    std::uint64_t seen = 0;
    for (;;) {
      spin([&] {
        return stopping_.load(std::memory_order_relaxed) || generation_.load(std::memory_order_acquire) != seen;
      });
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
      if (stopping_) return;
      seen = generation_.load(std::memory_order_relaxed);
      const std::function<void()>* job = job_;
      lock.unlock();
      (*job)();
      lock.lock();
      if (running_.fetch_sub(1, std::memory_order_release) == 1) done_.notify_all();
    }
  }
  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void()>* job_ = nullptr;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::size_t> running_{0};
  std::atomic<bool> stopping_{false};  // written under the mutex, read also while spinning
  std::vector<std::thread> threads_;
};

// Calls on(hash, object) for each record of parts[0, count), in order; `object` is the record's JSON
// object with `text`, empty otherwise. Stops at the first error of `on`.
template <class OnRecord>
std::expected<void, PassError> deliver(const std::vector<Part>& parts, std::size_t count, bool text, OnRecord& on) {
  for (std::size_t k = 0; k < count; ++k) {
    const Part& part = parts[k];
    std::size_t object_begin = 0;
    for (std::size_t r = 0; r < part.hashes.size(); ++r) {
      std::string_view object;
      if (text) {
        object = std::string_view(part.objects).substr(object_begin, part.object_ends[r] - object_begin);
        object_begin = part.object_ends[r];
      }
      if (auto ok = on(part.hashes[r], object); !ok) return std::unexpected(ok.error());
    }
  }
  return {};
}

// Calls on(leaf_hash, object) for every record of the source, in order, on the calling thread;
// `object` is the record's JSON object with `text`, empty otherwise. The records of each window
// are decoded and hashed on `threads` threads, each starting at the first record it finds in its
// share of the window; a share whose start the share before it does not end at is read again on
// this thread, so the records are exactly those one reading from the first byte finds. While the
// helpers decode a window from its back, the calling thread reads the front of the next one from
// the file into the reader's second buffer (a helper reads its back) and, with more than one
// thread, gives the window before's records to `on`, then decodes from the window's front; only
// the stitching of the shares is left between windows. Stops at the first error of the reading,
// the decode or `on`, in record order: the records read before a fault always reach `on` first.
template <class OnRecord>
std::expected<void, PassError> each_record(RecordReader& reader, unsigned threads, bool text, const Hash32& log_id,
                                           OnRecord on) {
  if (auto ok = reader.rewind(); !ok) return std::unexpected(ReadFailure{ok.error()});
  std::uint64_t record = 0, offset = 0;
  // One part per share, kept from window to window; two sets, so that `on` takes one window's
  // records from one while the next window is read into the other.
  std::array<std::vector<Part>, 2> sets;
  SharePool pool(threads - 1);
  std::size_t current = 0;
  std::size_t waiting = 0;  // parts of sets[current ^ 1] still to be given to `on`
  constexpr std::size_t PAGE = 4096;
  std::size_t front_bytes = RecordReader::WINDOW / 2;  // of the next window, read by this thread
  const auto deliver_waiting = [&]() -> std::expected<void, PassError> {
    const std::size_t count = std::exchange(waiting, 0);
    return deliver(sets[current ^ 1], count, text, on);
  };
  // A fault of the reading, reported after the records read before it.
  const auto fault = [&](PassError e) -> std::expected<void, PassError> {
    if (auto ok = deliver_waiting(); !ok) return ok;
    return std::unexpected(std::move(e));
  };
  for (;;) {
    // A window of at least WINDOW bytes, or what is left.
    while (reader.available().size() < RecordReader::WINDOW && !reader.eof()) {
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
        window.size() < (std::size_t{64} << 10) || threads == 1
            ? 1
            : std::min(std::size_t{threads} * SHARES_PER_THREAD, window.size() / MIN_SHARE_BYTES);
    std::vector<std::size_t> limits(shares + 1);
    for (std::size_t k = 0; k <= shares; ++k) limits[k] = window.size() * k / shares;
    std::vector<Part>& parts = sets[current];
    if (parts.size() < shares) parts.resize(shares);
    std::expected<void, PassError> delivered;
    std::expected<void, std::string> ahead;
    // This thread takes shares from the front of the window and the helpers from the back, and the
    // next window is read ahead in two parts: its front by this thread, its back by a helper. So
    // each thread decodes mostly bytes it read itself, still in its own processor's cache.
    const auto begun = reader.begin_ahead();
    if (!begun) ahead = std::unexpected(begun.error());
    const bool reading = begun && *begun;
    const std::size_t split = threads == 1 ? RecordReader::WINDOW : front_bytes;
    RecordReader::AheadPart front, back;
    std::size_t mine = 0;  // the shares this thread took
    {
      std::vector<std::atomic<bool>> claimed(shares);
      std::atomic<std::size_t> from_back{0};
      std::atomic<bool> back_taken{!reading || split == RecordReader::WINDOW};
      const auto read_back = [&] {
        if (!back_taken.exchange(true)) back = reader.read_ahead_part(split, RecordReader::WINDOW);
      };
      const auto take = [&](std::size_t k) {
        if (claimed[k].exchange(true)) return false;
        read_part(parts[k], window, limits[k], limits[k + 1], eof, k != 0, text, log_id);
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
        SharePool& pool;
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
    front_bytes = RecordReader::WINDOW * mine / shares / PAGE * PAGE;
    if (!delivered) return delivered;
    std::size_t boundary = 0, count = 0;
    bool stopped = false;
    std::optional<PassError> failure;
    for (std::size_t k = 0; k < shares && !stopped && !failure; ++k, count = k) {
      Part& part = parts[k];
      if (part.start != boundary || !part.found) {
        if (boundary >= limits[k + 1]) {  // the part before ran through this share
          part.hashes.clear();
          part.object_ends.clear();
          continue;
        }
        read_part(part, window, boundary, limits[k + 1], eof, false, text, log_id);
      }
      record += part.hashes.size();
      offset += part.stop - part.start;
      boundary = part.stop;
      if (part.error) failure = SegmentError{SegmentLeafDecodeFailed{record, offset, std::move(*part.error)}};
      if (part.cut) stopped = true;
    }
    if (failure) {
      if (auto ok = deliver(parts, count, text, on); !ok) return ok;
      return std::unexpected(std::move(*failure));
    }
    // A record cut at the window's end is read again, whole, in the next window.
    if (boundary == 0 && stopped) {
      auto more = reader.fill();  // one record larger than the window: let it grow
      if (!more) return fault(ReadFailure{more.error()});
      if (!*more) {
        auto decoded = leaf::decode_mtac_leaf_prefix(reader.available());
        return fault(SegmentError{SegmentLeafDecodeFailed{record, offset, std::move(decoded.error())}});
      }
      continue;
    }
    reader.consume(boundary);
    if (threads == 1) {
      if (auto ok = deliver(parts, count, text, on); !ok) return ok;
    } else {
      waiting = count;
      current ^= 1;
    }
    if (!ahead) return fault(ReadFailure{ahead.error()});
    if (auto ok = reader.advance(); !ok) return fault(ReadFailure{ok.error()});
  }
}

// How many leaf hashes the first reading gives the verifier at once.
constexpr std::size_t HASHES_PER_RUN = 1024;

// The digest of each block of RECORDS_PER_BLOCK leaf hashes, as the first reading saw them.
class BlockDigests {
 public:
  void add(const Hash32& leaf_hash) {
    current_.update(leaf_hash);
    if (++in_block_ == RECORDS_PER_BLOCK) close();
  }
  // Ends the current block; an empty one is not recorded.
  Hash32 close() {
    Hash32 d = current_.finish();
    current_ = digest::Sha256();
    if (in_block_ > 0) digests_.push_back(d);
    in_block_ = 0;
    return d;
  }
  [[nodiscard]] const std::vector<Hash32>& digests() const noexcept { return digests_; }

 private:
  digest::Sha256 current_;
  std::uint64_t in_block_ = 0;
  std::vector<Hash32> digests_;
};

}  // namespace

SegmentOutcome run_segment(SegmentVerifier verifier, const LeafSource& source, unsigned threads,
                           StdoutStream& out, const std::function<void()>& between_readings) {
  const auto failed = [](PassError e) {
    if (auto* r = std::get_if<ReadFailure>(&e)) {
      return SegmentOutcome{SegmentOutcome::End::ReadFailed, std::nullopt, std::move(r->why)};
    }
    return SegmentOutcome{SegmentOutcome::End::Refused, std::get<SegmentError>(std::move(e)), {}};
  };
  const Hash32 log_id = verifier.log_id();
  RecordReader reader(source);

  // The first reading: the verdict, and nothing printed. The hashes reach the verifier in runs, so
  // that it can join aligned subtrees whole; a run's refusal comes from leaves before any fault the
  // reading met after them, so it is the one reported.
  BlockDigests first;
  std::vector<Hash32> run;
  run.reserve(HASHES_PER_RUN);
  const auto add_run = [&]() -> std::expected<void, PassError> {
    auto ok = verifier.add_leaf_hashes(run);
    run.clear();
    if (!ok) return std::unexpected(ok.error());
    return {};
  };
  auto verified = each_record(reader, threads, false, log_id, [&](const Hash32& h, std::string_view)
                                                                  -> std::expected<void, PassError> {
    first.add(h);
    run.push_back(h);
    if (run.size() == HASHES_PER_RUN) return add_run();
    return {};
  });
  if (auto added = add_run(); !added) return failed(std::move(added.error()));
  if (!verified) return failed(std::move(verified.error()));
  auto verdict = verifier.finish();
  if (!verdict) return failed(verdict.error());
  first.close();
  if (between_readings) between_readings();

  // The second reading: each block's lines wait for the block's digest to match the first's.
  digest::Sha256 block;
  std::string pending;
  std::uint64_t index = verdict->first, blocks_done = 0, in_block = 0;
  bool changed = false;
  const auto release = [&]() {
    const Hash32 d = block.finish();
    block = digest::Sha256();
    if (blocks_done >= first.digests().size() || first.digests()[blocks_done] != d) {
      changed = true;
      return false;
    }
    ++blocks_done;
    in_block = 0;
    out.buffer() += pending;
    pending.clear();
    out.flush_if_full();
    return true;
  };
  auto printed = each_record(reader, threads, true, log_id, [&](const Hash32& h, std::string_view object)
                                                                -> std::expected<void, PassError> {
    if (index - verdict->first >= verdict->count) {
      changed = true;
      return std::unexpected(ReadFailure{});
    }
    block.update(h);
    // The object of the six fields, with leaf_index first: what one JsonWriter would write.
    pending += "{\"leaf_index\": ";
    pending += std::to_string(index++);
    pending += ", ";
    pending.append(object.substr(1));
    pending.push_back('\n');
    if (++in_block == RECORDS_PER_BLOCK && !release()) return std::unexpected(ReadFailure{});
    return {};
  });
  if (!changed && printed && in_block > 0) release();
  if (!changed && printed && (blocks_done != first.digests().size() || index - verdict->first != verdict->count)) {
    changed = true;
  }
  if (changed || (!printed && std::holds_alternative<SegmentError>(printed.error()))) {
    out.flush();
    return SegmentOutcome{SegmentOutcome::End::Changed, std::nullopt, {}};
  }
  if (!printed) return failed(std::move(printed.error()));
  if (!out.flush()) return SegmentOutcome{SegmentOutcome::End::OutputFailed, std::nullopt, {}};
  return SegmentOutcome{};
}

}  // namespace halyx::cli
