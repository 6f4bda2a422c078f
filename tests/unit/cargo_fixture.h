#pragma once
/// Real cargo output captured from small fixture crates, stored under
/// tests/data/cargo as NAME.stdout, NAME.stderr and NAME.exit.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "runner/output_filters.h"
#include "runner/run_types.h"

namespace tarnwick::testing {

inline std::string read_fixture_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing fixture " << path;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

/// The run output captured as NAME (for example "check_error").
inline RunOutput cargo_fixture(const std::string& name) {
  std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "cargo";
  RunOutput output;
  output.stdout_text = read_fixture_file(dir / (name + ".stdout"));
  output.stderr_text = read_fixture_file(dir / (name + ".stderr"));
  output.exit_code = std::stoi(read_fixture_file(dir / (name + ".exit")));
  return output;
}

/// A result line reduced to what tables compare: status lines as they are,
/// records by reason, compiler messages with their level.
inline std::string line_shape(std::string_view line) {
  if (line.starts_with("{\"status\"")) return std::string(line);
  std::optional<json> value = parse_json_line(line);
  if (!value) return "not json: " + std::string(line);
  std::optional<std::string> reason = line_reason(*value);
  if (!reason) return "no reason: " + std::string(line);
  if (*reason == "compiler-message")
    return "compiler-message:" + (*value)["message"]["level"].get<std::string>();
  return *reason;
}

}  // namespace tarnwick::testing
