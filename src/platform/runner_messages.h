#pragma once
/// The messages between the server and tarnwick's test runner on their
/// private channel. Each message is one packet of text fields, each field
/// ended by a NUL byte, the first field naming the message.
///
///   runner: "hello" target cwd threads binary args...   threads is "-" when
///           RUST_TEST_THREADS is unset, else "=" and its value
///   server: "skip"
///           "run" n (name value)*n chain...   value "-" unsets the name,
///           "=" and a text sets it; the two output descriptors come along
///   runner: "started" pid | "unstarted" reason
///   runner: "exited" code | "signalled" signal

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::platform {

/// The first argument that puts a program into the part of the test runner.
inline constexpr std::string_view kTestRunnerMode = "tarnwick-test-runner";

inline constexpr std::string_view kHello = "hello";
inline constexpr std::string_view kSkip = "skip";
inline constexpr std::string_view kRun = "run";
inline constexpr std::string_view kStarted = "started";
inline constexpr std::string_view kUnstarted = "unstarted";
inline constexpr std::string_view kExited = "exited";
inline constexpr std::string_view kSignalled = "signalled";

/// The file names of the binaries a run lets end unstarted, each followed
/// by a slash (which no file name holds): the runner skips those without
/// asking the server. Put back as the user had it before a binary starts.
inline constexpr std::string_view kSkipsVariable = "TARNWICK_TEST_RUNNER_SKIPS";

/// The part of `path` after its last slash.
inline std::string_view file_name_of(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

/// Whether `skips`, as `kSkipsVariable` holds it, lists the file `path` names.
inline bool skips_list(std::string_view skips, std::string_view path) {
  std::string_view name = file_name_of(path);
  if (name.empty()) return false;
  for (size_t end = skips.find('/'); end != std::string_view::npos; end = skips.find('/')) {
    if (skips.substr(0, end) == name) return true;
    skips.remove_prefix(end + 1);
  }
  return false;
}

/// The largest message either side sends (the arguments of a test binary).
inline constexpr size_t kMaxRunnerMessage = size_t{1} << 20;

inline std::string encode_fields(const std::vector<std::string>& fields) {
  std::string message;
  for (const std::string& field : fields) {
    message += field;
    message.push_back('\0');
  }
  return message;
}

/// The fields of a message; a last field without its NUL is dropped.
inline std::vector<std::string> decode_fields(std::string_view message) {
  std::vector<std::string> fields;
  for (size_t end = message.find('\0'); end != std::string_view::npos; end = message.find('\0')) {
    fields.emplace_back(message.substr(0, end));
    message.remove_prefix(end + 1);
  }
  return fields;
}

/// A variable's state as a field: "-" when unset, else "=" and the value.
inline std::string variable_field(const char* value) {
  return value ? "=" + std::string(value) : std::string("-");
}

}  // namespace tarnwick::platform
