#include "segment_run.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
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
// grows only for a record larger than it, up to the bound of one input.
class RecordReader {
 public:
  static constexpr std::size_t WINDOW = std::size_t{1} << 20;

  explicit RecordReader(const LeafSource& source) : source_(source) {}

  // Starts again from the first byte. Errors: the reason the file cannot be read.
  [[nodiscard]] std::expected<void, std::string> rewind() {
    begin_ = end_ = 0;
    eof_ = source_.fd() < 0;
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

 private:
  const LeafSource& source_;
  ByteString buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
};

struct ReadFailure {
  std::string why;
};
using PassError = std::variant<SegmentError, ReadFailure>;

// Calls on(leaf, length) for every record of the source, in order; stops at the first error of
// the reading, the decode or `on`.
template <class OnRecord>
std::expected<void, PassError> each_record(RecordReader& reader, OnRecord on) {
  if (auto ok = reader.rewind(); !ok) return std::unexpected(ReadFailure{ok.error()});
  std::uint64_t record = 0, offset = 0;
  for (;;) {
    const ByteView available = reader.available();
    if (available.empty()) {
      auto more = reader.fill();
      if (!more) return std::unexpected(ReadFailure{more.error()});
      if (!*more) return {};
      continue;
    }
    auto decoded = leaf::decode_mtac_leaf_prefix(available);
    if (!decoded) {
      if (cut_short(decoded.error()) && !reader.eof()) {
        auto more = reader.fill();
        if (!more) return std::unexpected(ReadFailure{more.error()});
        if (*more) continue;
      }
      return std::unexpected(SegmentError{SegmentLeafDecodeFailed{record, offset, std::move(decoded.error())}});
    }
    if (auto ok = on(decoded->leaf, decoded->length); !ok) return std::unexpected(ok.error());
    reader.consume(decoded->length);
    offset += decoded->length;
    ++record;
  }
}

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
                           StdoutStream& out) {
  (void)threads;  // the hashing runs on the calling thread; see the README
  const auto failed = [](PassError e) {
    if (auto* r = std::get_if<ReadFailure>(&e)) {
      return SegmentOutcome{SegmentOutcome::End::ReadFailed, std::nullopt, std::move(r->why)};
    }
    return SegmentOutcome{SegmentOutcome::End::Refused, std::get<SegmentError>(std::move(e)), {}};
  };
  const Hash32 log_id = verifier.log_id();
  RecordReader reader(source);

  // The first reading: the verdict, and nothing printed.
  BlockDigests first;
  auto verified = each_record(reader, [&](const leaf::MtacLeaf& leaf, std::size_t length)
                                          -> std::expected<void, PassError> {
    const Hash32 h = merkle::leaf_hash(leaf, log_id);
    if (auto ok = verifier.add_leaf_hash(h, length); !ok) return std::unexpected(ok.error());
    first.add(h);
    return {};
  });
  if (!verified) return failed(std::move(verified.error()));
  auto verdict = verifier.finish();
  if (!verdict) return failed(verdict.error());
  first.close();

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
  auto printed = each_record(reader, [&](const leaf::MtacLeaf& leaf, std::size_t) -> std::expected<void, PassError> {
    if (index - verdict->first >= verdict->count) {
      changed = true;
      return std::unexpected(ReadFailure{});
    }
    block.update(merkle::leaf_hash(leaf, log_id));
    JsonWriter line(pending);
    line.number("leaf_index", index++);
    add_leaf_fields(line, leaf);
    line.close();
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
