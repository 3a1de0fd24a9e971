#include "command_line.hpp"

#include <algorithm>
#include <vector>

namespace halyx::cli {
namespace {

std::expected<RecordKind, std::string> record_kind(std::string_view name) {
  if (name == "sth") return RecordKind::Sth;
  if (name == "proof") return RecordKind::Proof;
  if (name == "leaf") return RecordKind::Leaf;
  if (name == "key") return RecordKind::Key;
  std::string why = "unknown record kind '";
  why += name;
  why += "' (expected sth, proof, leaf or key)";
  return std::unexpected(std::move(why));
}

}  // namespace

std::expected<Command, std::string> parse_command_line(std::span<const char* const> args) {
  bool json = false, help = false, version = false, options_ended = false;
  std::vector<std::string> operands;
  for (const char* arg : args) {
    const std::string_view a(arg);
    if (options_ended || a == "-" || !a.starts_with('-')) {
      operands.emplace_back(a);
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else {
      std::string why = "unknown option '";
      why += a;
      why += "'";
      return std::unexpected(std::move(why));
    }
  }
  if (help) return ShowHelp{};
  if (version) return ShowVersion{};

  // Standard input can be read once; a second "-" would silently get nothing.
  if (std::count(operands.begin(), operands.end(), "-") > 1) {
    return std::unexpected("standard input ('-') can stand for only one file");
  }

  if (!operands.empty() && operands.front() == "inspect") {
    if (operands.size() != 3) {
      return std::unexpected("inspect takes a record kind and one file (inspect sth|proof|leaf|key FILE), got " +
                             std::to_string(operands.size() - 1) + " arguments");
    }
    auto kind = record_kind(operands[1]);
    if (!kind) return std::unexpected(std::move(kind.error()));
    return Inspect{*kind, std::move(operands[2]), json};
  }

  if (operands.size() != FILE_NAMES.size()) {
    return std::unexpected("expected 5 files (LEAF PROOF STH SIGNATURE KEY), got " + std::to_string(operands.size()));
  }
  Verify verify;
  std::move(operands.begin(), operands.end(), verify.paths.begin());
  verify.json = json;
  return verify;
}

}  // namespace halyx::cli
