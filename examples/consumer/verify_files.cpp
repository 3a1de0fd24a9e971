// verify_files LEAF PROOF STH SIGNATURE KEY: verifies a leaf with the installed core and prints
// what halyx-verify prints. Exits 0 when verified, 1 otherwise.
#include <halyx/verification.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

namespace {

std::optional<halyx::ByteString> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return halyx::ByteString(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: verify_files LEAF PROOF STH SIGNATURE KEY\n";
    return 1;
  }
  halyx::ByteString args[5];
  for (int i = 0; i < 5; ++i) {
    auto bytes = read_file(argv[i + 1]);
    if (!bytes) {
      std::cerr << "cannot read " << argv[i + 1] << '\n';
      return 1;
    }
    args[i] = std::move(*bytes);
  }

  auto verified = halyx::verify_inclusion(args[0], args[1], args[2], args[3], args[4]);
  if (!verified) {
    std::cerr << halyx::class_name(halyx::error_class(verified.error())) << ": "
              << halyx::message(verified.error()) << '\n';
    return 1;
  }
  std::cout << "verified: leaf_index=" << verified->leaf_index << " tree_size=" << verified->tree_size
            << " timestamp_ms=" << verified->timestamp_ms << '\n';
  return 0;
}
