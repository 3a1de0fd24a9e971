// commands.hpp: halyx-verify's commands, one file each; each returns the program's exit status.
#pragma once

#include "command_line.hpp"

namespace halyx::cli {

// The usage text --help prints.
extern const char HELP[];

// One leaf verified against its STH: the five files of a single verification.
[[nodiscard]] int verify_command(const Verify& command);
// Every leaf of a manifest verified against one STH checked once.
[[nodiscard]] int batch_command(const Batch& command);
// A range of the log verified complete, and append-only since an older STH when given.
[[nodiscard]] int segment_command(const Segment& command);
// One record decoded and shown as JSON.
[[nodiscard]] int inspect_command(const Inspect& command);

}  // namespace halyx::cli
