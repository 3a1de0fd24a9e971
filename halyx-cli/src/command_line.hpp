// command_line.hpp: what halyx-verify was asked to do, parsed from its arguments.
#pragma once

#include <array>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace halyx::cli {

// The five files of a verification, in the order of verify_inclusion's arguments. The names are
// the ones usage and read errors show.
inline constexpr std::array<std::string_view, 5> FILE_NAMES = {"LEAF", "PROOF", "STH", "SIGNATURE", "KEY"};

struct Verify {
  std::array<std::string, 5> paths;  // "-" is standard input
  bool json = false;
};

enum class RecordKind { Sth, Proof, Leaf, Key };

struct Inspect {
  RecordKind kind = RecordKind::Sth;
  std::string path;  // "-" is standard input
  bool json = false;  // a file that cannot be read is also reported as JSON; the record always is
};

// Many leaves against one STH: the three files of the STH, and a manifest of (leaf, proof) lines.
inline constexpr std::array<std::string_view, 3> BATCH_FILE_NAMES = {"STH", "SIGNATURE", "KEY"};
inline constexpr unsigned MAX_JOBS = 256;
struct Batch {
  std::array<std::string, 3> paths;  // "-" is standard input
  std::string manifest = "-";        // standard input unless named
  unsigned jobs = 0;                 // threads; 0 is one per processor
};

// One segment of the log against one STH: its three files, the leaves as a CBOR sequence, and the
// optional proofs of the first and last leaf and older STH.
inline constexpr std::array<std::string_view, 4> SEGMENT_FILE_NAMES = {"STH", "SIGNATURE", "KEY", "LEAVES"};
struct Segment {
  std::array<std::string, 4> paths;  // "-" is standard input
  std::string first_proof, last_proof;   // empty: none given
  std::string older_sth, older_signature;  // both or neither
  unsigned threads = 0;                  // 0 is one per processor
  bool json = false;
};

struct ShowHelp {};
struct ShowVersion {};

using Command = std::variant<Verify, Inspect, Batch, Segment, ShowHelp, ShowVersion>;

// Returns the command `args` (argv without the program name) ask for. --help wins over every
// other valid argument, then --version. Errors: one line naming what is wrong (an unknown option,
// a wrong number of files, an unknown record kind, "-" given twice, -j without a count from 1 to
// 256 or outside batch, a segment option without its files or outside segment).
[[nodiscard]] std::expected<Command, std::string> parse_command_line(std::span<const char* const> args);

}  // namespace halyx::cli
