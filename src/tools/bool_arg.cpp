#include <fmt/format.h>

#include "base/output.h"
#include "base/path_text.h"
#include "base/quoted.h"
#include "tools/args.h"

namespace tarnwick {
namespace {

/// The offending value as the warning shows it.
std::string shown_value(const json& value) {
  if (value.is_array()) return fmt::format("<array of {} elements>", value.size());
  if (value.is_object()) return fmt::format("<object with {} keys>", value.size());
  if (!value.is_string()) return to_json_text(value);
  const std::string& s = value.get_ref<const std::string&>();
  std::string cut(first_chars(s, 200));
  if (cut.size() == s.size()) return to_json_text(value);
  cut += fmt::format("... ({} more bytes truncated)", s.size() - cut.size());
  return to_json_text(json(cut));
}

}  // namespace

bool parse_bool_arg(const json& arguments, std::string_view key) {
  if (!arguments.is_object()) return false;
  auto it = arguments.find(std::string(key));
  if (it == arguments.end() || it->is_null()) return false;
  const json& value = *it;
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number_integer()) {
    if (value == json(0)) return false;
    if (value == json(1)) return true;
  } else if (value.is_string()) {
    std::string word = ascii_lower(trim(value.get_ref<const std::string&>()));
    if (word == "1" || word == "true" || word == "yes" || word == "on") return true;
    if (word == "0" || word == "false" || word == "no" || word == "off") return false;
  }
  send_log_message(
      "warning",
      fmt::format("ignoring unrecognised value for boolean argument `{}`: {}; treating as false. "
                  "Accepted shapes: true/false, \"true\"/\"false\"/\"1\"/\"0\"/\"yes\"/\"no\"/"
                  "\"on\"/\"off\", or integers 0/1.",
                  key, shown_value(value)));
  return false;
}

}  // namespace tarnwick
