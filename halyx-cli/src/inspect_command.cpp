#include <utility>

#include "commands.hpp"
#include "inspect.hpp"
#include "output.hpp"

namespace halyx::cli {

int inspect_command(const Inspect& command) {
  auto bytes = read_file("FILE", command.path, command.json);
  if (!bytes) return bytes.error();
  StdoutStream out;
  auto shown = inspect_record(command.kind, *bytes, out);
  if (!shown) return report_failure(shown.error(), true);
  out.buffer().push_back('\n');
  if (out.flush()) return VERIFIED;
  return output_failed();
}

}  // namespace halyx::cli
