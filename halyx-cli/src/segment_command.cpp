#include <sys/stat.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include <halyx/checked_sth.hpp>
#include <halyx/segment.hpp>
#include "batch.hpp"
#include "commands.hpp"
#include "input.hpp"
#include "output.hpp"
#include "segment_run.hpp"

namespace halyx::cli {

int segment_command(const Segment& command) {
  std::array<ByteString, 3> inputs;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    auto bytes = read_file(SEGMENT_FILE_NAMES[i], command.paths[i], command.json);
    if (!bytes) return bytes.error();
    inputs[i] = std::move(*bytes);
  }
  std::optional<ByteString> first_proof, last_proof, older_sth, older_signature;
  for (const auto& [name, path, into] : {std::tuple{"FIRST_PROOF", &command.first_proof, &first_proof},
                                         std::tuple{"LAST_PROOF", &command.last_proof, &last_proof},
                                         std::tuple{"OLD_STH", &command.older_sth, &older_sth},
                                         std::tuple{"OLD_SIGNATURE", &command.older_signature, &older_signature}}) {
    if (path->empty()) continue;
    auto bytes = read_file(name, *path, command.json);
    if (!bytes) return bytes.error();
    *into = std::move(*bytes);
  }
  // Standard input, a pipe or a device cannot be read twice, so it is held; a regular file is read
  // twice, from its start.
  const std::string& leaves_path = command.paths[3];
  ByteString held;
  std::optional<InputDescriptor> leaves_file;
  struct stat info {};
  if (leaves_path == "-" || (::stat(leaves_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))) {
    auto bytes = read_file("LEAVES", leaves_path, command.json);
    if (!bytes) return bytes.error();
    held = std::move(*bytes);
  } else {
    auto fd = open_input(leaves_path);
    if (!fd) return unreadable("LEAVES", leaves_path, fd.error(), command.json);
    leaves_file.emplace(std::move(*fd));
  }

  const auto checked = CheckedSth::check(inputs[0], inputs[1], inputs[2]);
  if (!checked) return report_failure(checked.error(), command.json);
  std::optional<CheckedSth> older;
  if (older_sth) {
    auto o = CheckedSth::check(*older_sth, *older_signature, inputs[2]);
    if (!o) return report_failure(OlderSthFailed{o.error()}, command.json);
    older.emplace(std::move(*o));
  }
  const auto view = [](const std::optional<ByteString>& b) { return b ? std::optional<ByteView>(*b) : std::nullopt; };
  auto verifier = SegmentVerifier::begin(*checked, view(first_proof), view(last_proof), older ? &*older : nullptr);
  if (!verifier) return report_failure(verifier.error(), command.json);

  const LeafSource source = leaves_file ? LeafSource::file(leaves_file->get()) : LeafSource::memory(held);
  const unsigned threads = command.threads != 0 ? command.threads : available_processors();
  StdoutStream out;
  SegmentOutcome outcome = run_segment(std::move(*verifier), source, threads, out);
  switch (outcome.end) {
    case SegmentOutcome::End::Verified:
      return VERIFIED;
    case SegmentOutcome::End::Refused:
      return report_failure(*outcome.error, command.json);
    case SegmentOutcome::End::ReadFailed:
      return unreadable("LEAVES", leaves_path, outcome.read_error, command.json);
    case SegmentOutcome::End::Changed:
      return unreadable("LEAVES", leaves_path, "changed between its two readings", command.json);
    case SegmentOutcome::End::OutputFailed:
      return output_failed();
  }
  return output_failed();  // unreachable: every end has its case above
}

}  // namespace halyx::cli
