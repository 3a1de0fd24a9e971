// halyx-verify: verifies, offline, that a leaf was issued by the log whose ML-DSA-65 CA key the
// caller holds, one leaf or a manifest of them against one STH, and shows what the records hold.
// An adapter around halyx::CheckedSth, which answers exactly as halyx::verify_inclusion: every
// verdict, class name and message comes from the core, and the exit status tells the classes apart.
#include <csignal>
#include <new>
#include <span>
#include <string>
#include <utility>

#include <halyx/signing/ml_dsa_65.hpp>
#include "command_line.hpp"
#include "commands.hpp"
#include "output.hpp"

namespace halyx::cli {
namespace {

// Whether failures that are not the verifier's own are also reported as JSON on standard output.
bool wants_json(const Command& command) {
  return std::visit(Overloaded{
                        [](const Verify& c) { return c.json; },
                        [](const Inspect& c) { return c.json; },
                        [](const Batch&) { return true; },
                        [](const Segment& c) { return c.json; },
                        [](const auto&) { return false; },
                    },
                    command);
}

int dispatch(const Command& command) {
  return std::visit(Overloaded{
                        [](const Verify& c) { return verify_command(c); },
                        [](const Inspect& c) { return inspect_command(c); },
                        [](const Batch& c) { return batch_command(c); },
                        [](const Segment& c) { return segment_command(c); },
                        [](const ShowHelp&) { return finish(HELP, VERIFIED); },
                        [](const ShowVersion&) {
                          std::string text(PROGRAM);
                          text += " " HALYX_VERSION "\nML-DSA-65 backend: ";
                          text += signing::ml_dsa_65_backend_name();
                          return finish(std::move(text), VERIFIED);
                        },
                    },
                    command);
}

int run(std::span<const char* const> args) {
  // The core reports every failure as a value; only running out of memory can throw.
  bool json = false;
  try {
    auto command = parse_command_line(args);
    if (!command) return usage_error(command.error());
    json = wants_json(*command);
    return dispatch(*command);
  } catch (const std::bad_alloc&) {
    return out_of_memory(json);
  }
}

}  // namespace
}  // namespace halyx::cli

int main(int argc, char** argv) {
  // A reader that goes away must not kill the process silently: the write then fails with EPIPE,
  // and the run ends with its own status and message.
  std::signal(SIGPIPE, SIG_IGN);
  const char* const* first = argv + 1;
  const std::size_t count = argc > 1 ? static_cast<std::size_t>(argc - 1) : 0;
  return halyx::cli::run(std::span<const char* const>(first, count));
}
