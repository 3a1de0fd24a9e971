#include <array>
#include <string>
#include <utility>

#include <halyx/checked_sth.hpp>
#include "batch.hpp"
#include "commands.hpp"
#include "input.hpp"
#include "output.hpp"

namespace halyx::cli {
namespace {

// The closing line of a batch that did not verify every line, on standard error.
void batch_summary(const BatchCounts& c) {
  std::string line(PROGRAM);
  line += ": batch of " + std::to_string(c.lines) + " lines: " + std::to_string(c.verified) + " verified, " +
          std::to_string(c.invalid_proof) + " HalyxInvalidProofError, " + std::to_string(c.verification_error) +
          " HalyxVerificationError, " + std::to_string(c.unusable) + " unusable";
  write_stderr_line(line);
}

}  // namespace

int batch_command(const Batch& command) {
  std::array<ByteString, 3> inputs;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    auto bytes = read_file(BATCH_FILE_NAMES[i], command.paths[i], true);
    if (!bytes) return bytes.error();
    inputs[i] = std::move(*bytes);
  }
  // Opened before anything is verified: a single call, too, reads every file first.
  auto manifest = open_input(command.manifest);
  if (!manifest) return unreadable("MANIFEST", command.manifest, manifest.error(), true);

  const auto checked = CheckedSth::check(inputs[0], inputs[1], inputs[2]);
  if (!checked) return report_failure(checked.error(), true);

  const unsigned jobs = command.jobs != 0 ? command.jobs : available_processors();
  const BatchResult result = run_batch(*checked, manifest->get(), jobs);
  switch (result.end) {
    case BatchEnd::OutOfMemory:
      return out_of_memory(true);
    case BatchEnd::OutputFailed:
      return output_failed();
    case BatchEnd::ReadFailed:
      return unreadable("MANIFEST", command.manifest, result.read_error, true);
    case BatchEnd::Done:
      break;
  }
  if (result.status != VERIFIED) batch_summary(result.counts);
  return result.status;
}

}  // namespace halyx::cli
