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

struct ShowHelp {};
struct ShowVersion {};

using Command = std::variant<Verify, Inspect, ShowHelp, ShowVersion>;

// Returns the command `args` (argv without the program name) ask for. --help wins over every
// other valid argument, then --version. Errors: one line naming what is wrong (an unknown option,
// a wrong number of files, an unknown record kind, "-" given twice).
[[nodiscard]] std::expected<Command, std::string> parse_command_line(std::span<const char* const> args);

}  // namespace halyx::cli
