#include "server/call_log.h"

#include <fmt/format.h>

namespace tarnwick {
namespace {

constexpr const char* kRedacted = "<redacted>";

json with_env_redacted(const json& arguments) {
  json copy = arguments;
  json& env = copy["env"];
  if (env.is_object()) {
    for (auto& item : env.items()) item.value() = kRedacted;
  } else if (!env.is_null()) {
    env = kRedacted;
  }
  return copy;
}

}  // namespace

std::string arguments_for_log(const json& arguments) {
  const json* env = find_member(arguments, "env");
  std::string text = to_json_text(env ? with_env_redacted(arguments) : arguments);
  if (text.size() <= kLoggedArgumentsBytes) return text;
  // Cut on a character boundary; the text is valid UTF-8.
  size_t cut = kLoggedArgumentsBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string shown = text.substr(0, cut);
  shown += fmt::format("... ({} more bytes truncated)", text.size() - cut);
  return shown;
}

}  // namespace tarnwick
