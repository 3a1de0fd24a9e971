#include <array>
#include <string>
#include <utility>

#include <halyx/checked_sth.hpp>
#include "commands.hpp"
#include "inspect.hpp"
#include "json.hpp"
#include "output.hpp"

namespace halyx::cli {
namespace {

// The leaf's six fields on one line: texts are JSON strings, so nothing in a field can break the
// line or pass for another field.
std::string leaf_line(const leaf::MtacLeaf& leaf) {
  std::string line = "leaf: schema_version=" + std::to_string(leaf.schema_version) + " agent_id=";
  append_json_string(line, leaf.agent_id);
  line += " sponsor_id=";
  append_json_string(line, leaf.sponsor_id);
  line += " authorized_scopes=[";
  bool first = true;
  for (const std::string_view scope : leaf.authorized_scopes) {
    if (!first) line += ", ";
    first = false;
    append_json_string(line, scope);
  }
  line += "] not_before=" + std::to_string(leaf.not_before) + " not_after=" + std::to_string(leaf.not_after);
  return line;
}

}  // namespace

int verify_command(const Verify& command) {
  std::array<ByteString, 5> inputs;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    auto bytes = read_file(FILE_NAMES[i], command.paths[i], command.json);
    if (!bytes) return bytes.error();
    inputs[i] = std::move(*bytes);
  }
  // The answer of verify_inclusion over the same five inputs, with the decoded leaf beside it: the
  // fields the signature covers are shown without decoding the leaf a second time.
  const auto checked = CheckedSth::check(inputs[2], inputs[3], inputs[4]);
  if (!checked) return report_failure(checked.error(), command.json);
  const auto verified = checked->verify(inputs[0], inputs[1]);
  if (!verified) return report_failure(verified.error(), command.json);
  const VerifiedInclusion& v = verified->inclusion;
  if (command.json) {
    std::string object;
    JsonWriter writer(object);
    add_verified_fields(writer, *verified);
    writer.close();
    return finish(std::move(object), VERIFIED);
  }
  return finish("verified: leaf_index=" + std::to_string(v.leaf_index) + " tree_size=" + std::to_string(v.tree_size) +
                    " timestamp_ms=" + std::to_string(v.timestamp_ms) + "\n" + leaf_line(verified->leaf),
                VERIFIED);
}

}  // namespace halyx::cli
