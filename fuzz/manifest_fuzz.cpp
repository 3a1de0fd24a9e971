// manifest_fuzz.cpp: one manifest line, read by the batch's own parser and by an independent JSON
// parser (nlohmann-json, in the fuzz and replay builds only). Whenever the independent parser reads
// a well-formed entry (one object, each key once, one of leaf and leaf_hex, one of proof and
// proof_hex as strings, an optional id that is a string or a number), ours must accept the line
// and unescape every string to the same text. Ours may refuse more only where the other cannot
// tell: nothing else is checked in that direction.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"
#include "manifest.hpp"

namespace {

using halyx::fuzz::require;
using Json = nlohmann::json;

bool is_argument_key(const std::string& k) { return k == "leaf" || k == "leaf_hex" || k == "proof" || k == "proof_hex"; }

std::string unescaped(const halyx::cli::JsonText& text) {
  std::string out;
  require(halyx::cli::unescape(text, out).has_value(), "a string the other parser read does not unescape");
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  if (line.find('\n') != std::string_view::npos) return 0;  // the pipeline cuts lines at newlines
  // nlohmann-json stops reading at a NUL byte and would accept what follows it unread.
  if (line.find('\0') != std::string_view::npos) return 0;
  const auto ours = halyx::cli::parse_manifest_line(line);

  // Counts the top-level keys, since the other parser keeps only the last of a repeated key.
  std::size_t keys = 0;
  const Json::parser_callback_t count = [&keys](int depth, Json::parse_event_t event, Json&) {
    if (depth == 1 && event == Json::parse_event_t::key) ++keys;
    return true;
  };
  const Json theirs = Json::parse(line, count, /*allow_exceptions=*/false);
  if (theirs.is_discarded() || !theirs.is_object() || keys != theirs.size()) return 0;
  std::map<std::string, const Json*> members;
  for (const auto& [k, v] : theirs.items()) {
    if (k == "id") {
      if (!v.is_string() && !v.is_number()) return 0;
    } else if (!is_argument_key(k) || !v.is_string()) {
      return 0;
    }
    members[k] = &v;
  }
  if (members.count("leaf") + members.count("leaf_hex") != 1) return 0;
  if (members.count("proof") + members.count("proof_hex") != 1) return 0;

  require(ours.has_value(), "a well-formed entry was refused");
  const auto check = [&](const halyx::cli::ArgumentSource& source, const std::string& name) {
    const std::string key = source.is_hex ? name + "_hex" : name;
    require(source.given && members.contains(key), "an argument came from the wrong key");
    require(unescaped(source.text) == members.at(key)->get<std::string>(), "an argument unescaped differently");
  };
  check(ours->leaf, "leaf");
  check(ours->proof, "proof");
  if (!members.contains("id")) {
    require(ours->id.empty(), "an id appeared from nowhere");
  } else if (members.at("id")->is_string()) {
    require(ours->id_is_string, "a string id was read as a number");
    const halyx::cli::JsonText inner{ours->id.substr(1, ours->id.size() - 2), ours->id.find('\\') != std::string_view::npos};
    require(unescaped(inner) == members.at("id")->get<std::string>(), "the id unescaped differently");
  } else {
    require(!ours->id_is_string && !ours->id.empty(), "a number id was lost");
    require(Json::parse(ours->id, nullptr, false) == *members.at("id"), "the id's text reads as another number");
  }
  return 0;
}
