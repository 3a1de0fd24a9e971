// halyx-verify: verifies, offline, that a leaf was issued by the log whose ML-DSA-65 CA key the
// caller holds, one leaf or a manifest of them against one STH, and shows what the records hold.
// An adapter around halyx::CheckedSth, which answers exactly as halyx::verify_inclusion: every
// verdict, class name and message comes from the core, and the exit status tells the classes apart.
#include <sys/stat.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "command_line.hpp"
#include "input.hpp"
#include "inspect.hpp"
#include "json.hpp"
#include "output.hpp"
#include <halyx/signing/ml_dsa_65.hpp>
#include "batch.hpp"
#include "segment_run.hpp"
#include <halyx/checked_sth.hpp>
#include <halyx/segment.hpp>
#include <halyx/verification.hpp>

namespace halyx::cli {
namespace {

constexpr std::string_view PROGRAM = "halyx-verify";

constexpr const char HELP[] =
    "Usage: halyx-verify [--json] LEAF PROOF STH SIGNATURE KEY\n"
    "  or:  halyx-verify batch [-j N] STH SIGNATURE KEY [MANIFEST|-]\n"
    "  or:  halyx-verify segment [--since OLD_STH OLD_SIGNATURE] [--first-proof FILE]\n"
    "                           [--last-proof FILE] [--threads N] [--json] STH SIGNATURE KEY LEAVES\n"
    "  or:  halyx-verify inspect sth|proof|leaf|key FILE\n"
    "  or:  halyx-verify --help | --version\n"
    "\n"
    "Verifies, offline, that the leaf record in LEAF was issued by the transparency log whose\n"
    "ML-DSA-65 CA public key is in KEY: SIGNATURE must be the CA's signature over the signed tree\n"
    "head in STH, the STH must name the CA's log, and PROOF must lead from the leaf to the STH's root.\n"
    "\n"
    "  LEAF       the leaf record (deterministic CBOR)\n"
    "  PROOF      the wire-v1 inclusion proof\n"
    "  STH        the wire-v1 signed tree head envelope, exactly as signed\n"
    "  SIGNATURE  the raw ML-DSA-65 signature (3309 bytes)\n"
    "  KEY        the raw ML-DSA-65 public key (1952 bytes)\n"
    "\n"
    "Any one FILE may be '-' for standard input. Put '--' before file names that start with '-',\n"
    "and write a leaf file named 'inspect' as './inspect'. Each file may hold at most 64 MiB.\n"
    "\n"
    "On success prints 'verified: leaf_index=N tree_size=N timestamp_ms=N' and a second line,\n"
    "'leaf: schema_version=1 agent_id=\"...\" ...', with the six fields of the leaf that the signature\n"
    "covers (texts as JSON strings). On failure the last line on standard error is\n"
    "'ClassName: message', with the class and message the halyx_verifier Python module raises.\n"
    "\n"
    "  --json     print one JSON object instead: {\"leaf_index\": N, \"tree_size\": N, \"timestamp_ms\": N,\n"
    "             and the leaf's six fields as inspect leaf prints them}, or on failure\n"
    "             {\"error\": \"ClassName\", \"message\": \"...\"} (stderr as above); a file that cannot\n"
    "             be read is an OSError, running out of memory a MemoryError. Usage errors (64)\n"
    "             print no JSON.\n"
    "  --help     show this text\n"
    "  --version  show the version and the ML-DSA-65 library\n"
    "\n"
    "batch checks the STH once and then verifies every leaf of MANIFEST (standard input when it\n"
    "is '-' or not given) against it. MANIFEST is JSON Lines, one object per leaf, naming the leaf\n"
    "and the proof by file ({\"leaf\": PATH, \"proof\": PATH}) or as hex ({\"leaf_hex\": HEX,\n"
    "\"proof_hex\": HEX}), with an optional \"id\" (a string or a number) that the result echoes.\n"
    "The output is JSON Lines, one result per line in input order: the object --json prints for a\n"
    "single verification with the same five files. A line that is not such an object is answered\n"
    "with a ValueError, a file it names that cannot be read with an OSError. When the STH fails a\n"
    "check that every leaf would meet first (a length, the signature over STH, the STH's decode),\n"
    "that one error object is printed instead, with exit 1 or 2.\n"
    "\n"
    "  -j N       use N threads (default: one per processor)\n"
    "\n"
    "segment verifies that LEAVES, leaf records back to back in log order (a CBOR sequence), are\n"
    "exactly the leaves of one range of the STH's tree, nothing left out, added or reordered. The\n"
    "range starts at the leaf of the first proof (leaf 0 without one) and ends at the leaf of the\n"
    "last proof (the tree's last leaf without one); the proofs are the inclusion proofs of those\n"
    "two leaves. With --since, the older STH must be signed by the same key, the range must start\n"
    "at its tree size, and the STH's tree must extend it: the range is then exactly what was\n"
    "appended. Only once the whole range has verified, one JSON object per leaf is printed:\n"
    "{\"leaf_index\": N, and the leaf's six fields}. LEAVES is read twice (standard input or a pipe\n"
    "is held in memory, up to 64 MiB), and a file that changes in between is refused.\n"
    "\n"
    "  --threads N  decode and hash on N threads (default: one per processor); the output is the\n"
    "               same whatever N\n"
    "\n"
    "inspect decodes one record and prints it as JSON: hashes and the log id in hex, extensions as\n"
    "type and hex data, the leaf's six fields, and for an STH or a leaf whether its bytes are its\n"
    "canonical encoding; for a key, its length and the log id it derives (SHA-256 of the key), to\n"
    "compare with an STH's log_id. A record that does not decode, or a key of the wrong length, is\n"
    "reported like a failed verification.\n"
    "\n"
    "Exit status (batch: the highest status any line met):\n"
    "   0  verified (inspect: decoded; batch: every line verified)\n"
    "   1  HalyxInvalidProofError: a signature or the inclusion proof does not hold\n"
    "   2  HalyxVerificationError: malformed or unusable input\n"
    "  64  usage error\n"
    "  65  batch: a manifest line is not a valid entry\n"
    "  66  a file cannot be read (missing, a directory, unreadable, too large)\n"
    "  70  out of memory\n"
    "  74  standard output cannot be written";

int usage_error(std::string_view why) {
  std::string line(PROGRAM);
  line += ": ";
  line += why;
  line += " (see --help)";
  write_stderr_line(line);
  return USAGE;
}

int output_failed() {
  write_stderr_line("halyx-verify: cannot write standard output");
  return OUTPUT_FAILED;
}

// Prints `text` and a newline on standard output; a status other than 0 when that fails, so
// that output lost to a full disk or a closed pipe is never mistaken for a verdict that was read.
int finish(std::string text, int status) {
  text += '\n';
  if (write_stdout(text)) return status;
  return output_failed();
}

// Reports a failure of class `cls`: with `json` its object on standard output, then `who: text`
// as the last line on standard error. Returns `status`, or OUTPUT_FAILED when the object was lost.
int report(std::string_view cls, std::string_view who, const std::string& text, int status, bool json) {
  if (json) {
    std::string object;
    JsonWriter(object).text("error", cls).text("message", text).close();
    status = finish(std::move(object), status);
  }
  std::string line(who);
  line += ": ";
  line += text;
  write_stderr_line(line);
  return status;
}

// A verification failure: its class names the line on standard error.
int report_failure(const VerifyError& error, bool json) {
  const ErrorClass cls = error_class(error);
  return report(class_name(cls), class_name(cls), message(error), exit_status(cls), json);
}

// A file that cannot be read: UNREADABLE, and with `json` an OSError object on standard output, so
// that a script reading it finds the reason there.
int unreadable(std::string_view name, const std::string& path, std::string_view why, bool json) {
  return report(READ_ERROR_CLASS, PROGRAM, cannot_read(name, path, why), UNREADABLE, json);
}

// Returns the bytes of `path`, or the status unreadable() reported.
std::expected<ByteString, int> read_file(std::string_view name, const std::string& path, bool json) {
  auto bytes = read_input(path);
  if (bytes) return std::move(*bytes);
  return std::unexpected(unreadable(name, path, bytes.error(), json));
}

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

int verify(const Verify& command) {
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

// Reports that memory ran out, allocating nothing: the error object when JSON was asked for, then
// the line on standard error.
int out_of_memory(bool json) {
  int status = OUT_OF_MEMORY;
  if (json && !write_stdout(OUT_OF_MEMORY_OBJECT)) status = output_failed();
  write_stderr_line("halyx-verify: out of memory");
  return status;
}

// The closing line of a batch that did not verify every line, on standard error.
void batch_summary(const BatchCounts& c) {
  std::string line(PROGRAM);
  line += ": batch of " + std::to_string(c.lines) + " lines: " + std::to_string(c.verified) + " verified, " +
          std::to_string(c.invalid_proof) + " HalyxInvalidProofError, " + std::to_string(c.verification_error) +
          " HalyxVerificationError, " + std::to_string(c.unusable) + " unusable";
  write_stderr_line(line);
}

int batch(const Batch& command) {
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

// A segment failure: its class names the line on standard error.
int report_segment_failure(const SegmentError& error, bool json) {
  const ErrorClass cls = error_class(error);
  return report(class_name(cls), class_name(cls), message(error), exit_status(cls), json);
}

int segment(const Segment& command) {
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
    if (!o) return report_segment_failure(OlderSthFailed{o.error()}, command.json);
    older.emplace(std::move(*o));
  }
  const auto view = [](const std::optional<ByteString>& b) { return b ? std::optional<ByteView>(*b) : std::nullopt; };
  auto verifier = SegmentVerifier::begin(*checked, view(first_proof), view(last_proof), older ? &*older : nullptr);
  if (!verifier) return report_segment_failure(verifier.error(), command.json);

  const LeafSource source = leaves_file ? LeafSource::file(leaves_file->get()) : LeafSource::memory(held);
  const unsigned threads = command.threads != 0 ? command.threads : available_processors();
  StdoutStream out;
  SegmentOutcome outcome = run_segment(std::move(*verifier), source, threads, out);
  switch (outcome.end) {
    case SegmentOutcome::End::Verified:
      return VERIFIED;
    case SegmentOutcome::End::Refused:
      return report_segment_failure(*outcome.error, command.json);
    case SegmentOutcome::End::ReadFailed:
      return unreadable("LEAVES", leaves_path, outcome.read_error, command.json);
    case SegmentOutcome::End::Changed:
      return unreadable("LEAVES", leaves_path, "changed between its two readings", command.json);
    case SegmentOutcome::End::OutputFailed:
      return output_failed();
  }
  return output_failed();  // unreachable: every end has its case above
}

int inspect(const Inspect& command) {
  auto bytes = read_file("FILE", command.path, command.json);
  if (!bytes) return bytes.error();
  StdoutStream out;
  auto shown = inspect_record(command.kind, *bytes, out);
  if (!shown) return report_failure(shown.error(), true);
  out.buffer().push_back('\n');
  if (out.flush()) return VERIFIED;
  return output_failed();
}

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
                        [](const Verify& c) { return verify(c); },
                        [](const Inspect& c) { return inspect(c); },
                        [](const Batch& c) { return batch(c); },
                        [](const Segment& c) { return segment(c); },
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
