#include "segment_run.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <halyx/digest/sha256.hpp>
#include <halyx/segment_reader.hpp>
#include "input.hpp"
#include "inspect.hpp"
#include "json.hpp"

namespace halyx::cli {
namespace {

// Each record's JSON object of the six fields, written on the thread that decoded it.
class JsonObjects final : public RecordWriter {
 public:
  void write(const leaf::CanonicalLeafView& record, std::string& out) const override {
    append_leaf_object(out, record);
  }
  void write(const leaf::MtacLeaf& record, std::string& out) const override {
    JsonWriter object(out);
    add_leaf_fields(object, record);
    object.close();
  }
};

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
  const auto failed = [](ReadingError e) {
    if (auto* r = std::get_if<ReadFailure>(&e)) {
      return SegmentOutcome{SegmentOutcome::End::ReadFailed, std::nullopt, std::move(r->why)};
    }
    return SegmentOutcome{SegmentOutcome::End::Refused, std::get<SegmentError>(std::move(e)), {}};
  };
  const Hash32 log_id = verifier.log_id();
  RecordReader reader(source, {.max_window = MAX_INPUT_BYTES});

  // The first reading: the verdict, and nothing printed. The hashes reach the verifier in runs, so
  // that it can join aligned subtrees whole; a run's refusal comes from leaves before any fault the
  // reading met after them, so it is the one reported.
  BlockDigests first;
  std::vector<Hash32> run;
  run.reserve(HASHES_PER_RUN);
  const auto add_run = [&]() -> std::expected<void, ReadingError> {
    auto ok = verifier.add_leaf_hashes(run);
    run.clear();
    if (!ok) return std::unexpected(ok.error());
    return {};
  };
  auto verified = each_record(reader, threads, nullptr, log_id, [&](const Hash32& h, std::string_view)
                                                                  -> std::expected<void, ReadingError> {
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
  const JsonObjects objects;
  auto printed = each_record(reader, threads, &objects, log_id, [&](const Hash32& h, std::string_view object)
                                                                -> std::expected<void, ReadingError> {
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
