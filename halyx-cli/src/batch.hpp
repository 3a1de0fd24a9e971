// batch.hpp: many leaves verified against one checked STH, read from a manifest (JSON Lines) and
// answered with one JSON line each, in input order.
#pragma once

#include <cstdint>
#include <string>

#include <halyx/checked_sth.hpp>

namespace halyx::cli {

// How many lines met each outcome.
struct BatchCounts {
  std::uint64_t lines = 0;
  std::uint64_t verified = 0;
  std::uint64_t invalid_proof = 0;       // HalyxInvalidProofError
  std::uint64_t verification_error = 0;  // HalyxVerificationError
  std::uint64_t unusable = 0;            // a manifest line or a file it names that could not be used
};

// How a batch ended, beside its counts.
enum class BatchEnd {
  Done,          // every line was read and answered
  ReadFailed,    // the manifest could not be read to its end (read_error says why)
  OutputFailed,  // standard output could not be written
  OutOfMemory,
};

struct BatchResult {
  BatchEnd end = BatchEnd::Done;
  // The highest status any line met: 0 verified, 1 HalyxInvalidProofError, 2
  // HalyxVerificationError, 65 a manifest line that is not a valid entry, 66 a file it names that
  // cannot be read.
  int status = 0;
  BatchCounts counts;
  std::string read_error;
};

// Reads the manifest from `manifest_fd` to its end and writes, for each line, the result a single
// verification with the same five inputs gives (or why the line could not be used) to standard
// output, in input order. `jobs` threads (the calling one among them) share the work; input is
// read in chunks, and the chunks taken but not yet written are bounded in number and size, so
// memory does not grow with the manifest's length.
[[nodiscard]] BatchResult run_batch(const CheckedSth& checked, int manifest_fd, unsigned jobs);

// Returns the number of processors this process may run on (at least 1).
[[nodiscard]] unsigned available_processors() noexcept;

}  // namespace halyx::cli
