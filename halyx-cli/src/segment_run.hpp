// segment_run.hpp: halyx-verify segment: a CBOR sequence of leaf records verified as one segment of
// the log, and its leaves printed only once the whole segment has verified.
//
// The leaves are read twice. The first reading verifies the segment, keeping O(log n) hashes and,
// per block of RECORDS_PER_BLOCK records, one SHA-256 over their leaf hashes. Nothing is printed
// until that reading's verdict. The second reading decodes the records again for printing and
// holds each block's lines back until the block's leaf hashes give the same digest as in the
// first reading, so a file that changes in between is reported, and no line of it is printed
// that was not verified. Standard input or a pipe cannot be read twice: it is held in memory, up
// to the bound every input has.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <halyx/bytes.hpp>
#include <halyx/checked_sth.hpp>
#include <halyx/segment.hpp>
#include "output.hpp"
#include <halyx/segment_reader.hpp>

namespace halyx::cli {

// How many records share one digest of the second reading: their lines are what it holds back.
inline constexpr std::uint64_t RECORDS_PER_BLOCK = 4096;

// How a segment run ended.
struct SegmentOutcome {
  enum class End { Verified, Refused, ReadFailed, Changed, OutputFailed };
  End end = End::Verified;
  std::optional<SegmentError> error;  // Refused
  std::string read_error;              // ReadFailed
};

// Verifies the leaves of `source` as the segment `verifier` was begun for, hashing on `threads`
// threads, and on success writes one JSON object per leaf to `out` (leaf_index and the six
// fields). Writes nothing to `out` unless the whole segment verified. `between_readings`, when
// given, is called after the first reading's verdict and before the second reading (the tests
// change the file there). Throws std::bad_alloc only.
[[nodiscard]] SegmentOutcome run_segment(SegmentVerifier verifier, const LeafSource& source, unsigned threads,
                                         StdoutStream& out, const std::function<void()>& between_readings = {});

}  // namespace halyx::cli
