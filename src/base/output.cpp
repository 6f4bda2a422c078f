#include "base/output.h"

#include "platform/stdio.h"

namespace tarnwick {

std::recursive_mutex& stdout_lock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

/// The rest of a line that standard output took only in part without
/// waiting; guarded by the standard-output lock. It goes out before any other
/// line.
std::string& unfinished_line() {
  static std::string rest;
  return rest;
}

/// Writes `bytes` whole, waiting as long as standard output needs, after
/// what is left of an unfinished line.
bool write_waiting(std::string_view bytes) {
  std::lock_guard guard(stdout_lock());
  std::string& rest = unfinished_line();
  if (!rest.empty()) {
    (void)platform::write_stdout(rest);
    std::string().swap(rest);
  }
  return platform::write_stdout(bytes);
}

/// Adds the line feed to a line built here and writes it.
bool write_built_line(std::string& line) {
  line += '\n';
  return write_waiting(line);
}

}  // namespace

bool write_line(std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  return write_built_line(buffer);
}

void write_message(std::string_view id_text, const Outcome& outcome, std::string_view jsonrpc) {
  // Held for the whole message, which goes out in pieces: a long result is
  // written as it is serialised, never built whole beside its source.
  std::lock_guard guard(stdout_lock());
  bool written = true;
  JsonSpill spill = [&written](std::string& pending) {
    written = written && write_waiting(pending);
    pending.clear();
  };
  std::string line = "{\"jsonrpc\":";
  line += to_json_text(json(std::string(jsonrpc)));
  line += ",\"id\":";
  line += id_text;
  if (outcome.result_text) {
    line += ",\"result\":";
    line += *outcome.result_text;
  } else if (outcome.result) {
    line += ",\"result\":";
    append_json_text(line, *outcome.result, &spill);
  } else {
    line += ",\"error\":{\"code\":";
    line += std::to_string(outcome.error.code);
    line += ",\"message\":";
    line += to_json_text(json(outcome.error.message));
    line += '}';
  }
  line += '}';
  write_built_line(line);
}

void write_notification(std::string_view method, const json& params) {
  std::string line = "{\"jsonrpc\":\"2.0\",\"method\":";
  line += to_json_text(json(std::string(method)));
  line += ",\"params\":";
  append_json_text(line, params);
  line += '}';
  write_built_line(line);
}

bool write_notification_without_waiting(std::string_view method, std::string_view params_text) {
  std::lock_guard guard(stdout_lock());
  std::string& rest = unfinished_line();
  if (!rest.empty()) {
    rest.erase(0, platform::write_stdout_without_waiting(rest));
    if (!rest.empty()) return false;
  }
  std::string line = "{\"jsonrpc\":\"2.0\",\"method\":";
  line += to_json_text(json(std::string(method)));
  line += ",\"params\":";
  line += params_text;
  line += "}\n";
  size_t written = platform::write_stdout_without_waiting(line);
  if (written == 0) return false;
  rest.assign(line, written);
  return true;
}

namespace {
json log_params(std::string_view level, std::string data) {
  return json{{"data", std::move(data)}, {"level", std::string(level)}, {"logger", "tarnwick"}};
}
}  // namespace

void log_info(std::string_view text) {
  write_notification("notifications/message", log_params("info", std::string(text)));
}

void log_warning(std::string_view text) {
  write_notification("notifications/message", log_params("warning", std::string(text)));
}

void send_log_message(std::string_view level, std::string_view text) {
  std::string data = "tarnwick: ";
  data += text;
  write_notification("notifications/message", log_params(level, std::move(data)));
}

}  // namespace tarnwick
