// fixtures.hpp: loads the signing test data (hex text files written by the project's scripts).
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::test {

inline ByteString from_hex(const std::string& hex) {
  ByteString out;
  if (hex == "-") return out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Returns the whitespace-separated fields of each line of `name` under the signing data folder,
// skipping blank lines and comments.
inline std::vector<std::vector<std::string>> read_rows(const std::string& name) {
  std::ifstream in(std::string(HALYX_TEST_DATA_DIR) + "/signing/" + name);
  EXPECT_TRUE(in.good()) << "cannot open " << name;
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string f; fields >> f;) row.push_back(f);
    rows.push_back(std::move(row));
  }
  return rows;
}

// The named byte strings of signed_fixtures.txt.
inline const std::map<std::string, ByteString>& signed_fixtures() {
  static const std::map<std::string, ByteString> fixtures = [] {
    std::map<std::string, ByteString> out;
    for (const auto& row : read_rows("signed_fixtures.txt")) out[row.at(0)] = from_hex(row.at(1));
    return out;
  }();
  return fixtures;
}

inline const ByteString& fixture(const std::string& name) { return signed_fixtures().at(name); }

// One ML-DSA-65 handle for the whole test run; prepared signatures borrow it.
inline const signing::MlDsa65& scheme() {
  static const signing::MlDsa65 s = [] {
    signing::ensure_signature_backend_ready();
    auto made = signing::create_ml_dsa_65();
    if (!made) throw std::runtime_error("no ML-DSA-65 handle");
    return std::move(*made);
  }();
  return s;
}

// `signature` prepared under `key`, as a call prepares it before its two checks.
inline signing::PreparedSignature prepared(ByteView key, ByteView signature) {
  return scheme().prepare(key, signature);
}

}  // namespace halyx::test
