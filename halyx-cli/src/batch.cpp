#include "batch.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "input.hpp"
#include "inspect.hpp"
#include "json.hpp"
#include "manifest.hpp"
#include "output.hpp"
#include "pipeline.hpp"

namespace halyx::cli {
namespace {

// Statuses of lines that could not be verified at all; they rank above the verification's own.
constexpr std::string_view VALUE_ERROR_CLASS = "ValueError";

// Input a worker takes at once: about forty lines of a depth-20 proof in hex, enough that taking
// and delivering a chunk costs little beside the work on its lines.
constexpr std::size_t CHUNK_TARGET = std::size_t{64} << 10;
constexpr std::size_t READ_SIZE = std::size_t{64} << 10;
// Input in flight (taken and not yet written) beyond the chunk that passes it.
constexpr std::size_t WINDOW_BYTES = std::size_t{64} << 20;

// What one manifest line means: its entry parsed, its arguments found, and the verification's
// result (or why the line could not be used) as one JSON line. One per worker thread: the buffers
// it keeps between lines are its own.
class ManifestLines {
 public:
  explicit ManifestLines(const CheckedSth& checked) : checked_(checked) {}

  void operator()(const Line& line, Answers& out) {
    if (line.too_long) {
      line_error(out, line.number, "longer than " + std::to_string(MAX_MANIFEST_LINE >> 20) + " MiB");
      return;
    }
    answer(out, line.text, line.number);
  }

 private:
  // A line that is not a usable entry: a ValueError naming the line, since it may have no id.
  static void line_error(Answers& out, std::uint64_t number, std::string_view why) {
    std::string text = "manifest line " + std::to_string(number) + ": ";
    text += why;
    JsonWriter(out.text).text("error", VALUE_ERROR_CLASS).text("message", text).close();
    out.text.push_back('\n');
    ++out.counts.lines;
    ++out.counts.unusable;
    out.status = std::max<int>(out.status, MANIFEST_LINE_INVALID);
  }

  // Returns the bytes of one argument: hex decoded into `buffer`, or a file read into it.
  // Errors: the status and the error object's class and message.
  struct ArgumentError {
    int status;
    std::string_view cls;
    std::string message;
  };
  static std::expected<void, ArgumentError> argument(const ArgumentSource& source, std::string_view name,
                                                     std::uint64_t number, ByteString& buffer, std::string& text) {
    std::string_view raw = source.text.raw;
    const auto invalid = [&](std::string_view why) {
      std::string m = "manifest line " + std::to_string(number) + ": ";
      m += name;
      m += source.is_hex ? "_hex: " : ": ";
      m += why;
      return std::unexpected(ArgumentError{MANIFEST_LINE_INVALID, VALUE_ERROR_CLASS, std::move(m)});
    };
    if (source.text.escaped || !source.is_hex) {
      if (auto ok = unescape(source.text, text); !ok) return invalid(ok.error());
      raw = text;
    }
    if (source.is_hex) {
      if (auto ok = decode_hex(raw, buffer); !ok) return invalid(ok.error());
      return {};
    }
    // Standard input is the manifest itself, or one of the STH's files: never a leaf or a proof.
    if (raw == "-") return invalid("'-' is no file here; write ./- for a file of that name");
    auto bytes = read_input(text);
    if (!bytes) {
      return std::unexpected(
          ArgumentError{UNREADABLE, READ_ERROR_CLASS, cannot_read(name == "leaf" ? "LEAF" : "PROOF", text, bytes.error())});
    }
    buffer = std::move(*bytes);
    return {};
  }

  void answer(Answers& answers, std::string_view line, std::uint64_t number) {
    auto entry = parse_manifest_line(line);
    if (!entry) return line_error(answers, number, entry.error());
    if (entry->id_is_string) {
      const JsonText inner{entry->id.substr(1, entry->id.size() - 2), entry->id.find('\\') != std::string_view::npos};
      if (auto ok = unescape(inner, id_); !ok) return line_error(answers, number, "id: " + ok.error());
    }
    std::string& out = answers.text;
    JsonWriter object(out);
    if (entry->id_is_string) {
      append_json_string(object.member("id"), id_);
    } else if (!entry->id.empty()) {
      object.json("id", entry->id);
    }
    ++answers.counts.lines;
    int status = 0;
    auto leaf = argument(entry->leaf, "leaf", number, leaf_, text_);
    auto proof = leaf ? argument(entry->proof, "proof", number, proof_, text_) : leaf;
    if (!proof) {
      const ArgumentError& e = proof.error();
      object.text("error", e.cls).text("message", e.message);
      ++answers.counts.unusable;
      status = e.status;
    } else if (auto verified = checked_.verify(leaf_, proof_); verified) {
      add_verified_fields(object, *verified);
      ++answers.counts.verified;
    } else {
      const ErrorClass cls = error_class(verified.error());
      object.text("error", class_name(cls)).text("message", message(verified.error()));
      status = exit_status(cls);
      ++(status == INVALID_PROOF ? answers.counts.invalid_proof : answers.counts.verification_error);
    }
    object.close();
    out.push_back('\n');
    answers.status = std::max(answers.status, status);
  }

  const CheckedSth& checked_;
  ByteString leaf_, proof_;
  std::string id_, text_;
};

}  // namespace

unsigned available_processors() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

BatchResult run_batch(const CheckedSth& checked, int manifest_fd, unsigned jobs) {
  const Reader read = [manifest_fd](char* data, std::size_t size) -> std::expected<std::size_t, int> {
    for (;;) {
      const ::ssize_t got = ::read(manifest_fd, data, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return std::unexpected(errno);
    }
  };
  const Writer write = [](std::string_view text) { return write_stdout(text); };
  const LineWorkFactory make_work = [&checked]() -> LineWork { return ManifestLines(checked); };
  const PipelineLimits limits{.chunk_target = CHUNK_TARGET, .read_size = READ_SIZE, .window_bytes = WINDOW_BYTES,
                              .max_line = MAX_MANIFEST_LINE};
  return run_pipeline(read, write, make_work, jobs, limits);
}

}  // namespace halyx::cli
