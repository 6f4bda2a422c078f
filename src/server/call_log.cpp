#include "server/call_log.h"

#include <fmt/format.h>

namespace tarnwick {
namespace {

constexpr const char* kRedacted = "<redacted>";

/// `env` with every value written as "<redacted>"; one that is not an
/// object is redacted whole.
json redacted_env(const json& env) {
  if (!env.is_object()) return kRedacted;
  json copy = json::object();
  for (const auto& [name, value] : env.get_ref<const json::object_t&>()) copy[name] = kRedacted;
  return copy;
}

/// Keeps the front of the text handed to it, one byte beyond the cut to see
/// whether the cut falls inside a character, and counts the rest: a huge
/// argument is never written out whole.
class CutText {
 public:
  void take(std::string& piece) {
    total_ += piece.size();
    if (kept_.size() <= kLoggedArgumentsBytes)
      kept_.append(piece, 0, kLoggedArgumentsBytes + 1 - kept_.size());
    piece.clear();
  }

  std::string finish() {
    if (total_ <= kLoggedArgumentsBytes) return std::move(kept_);
    // Cut on a character boundary; the text is valid UTF-8.
    size_t cut = kLoggedArgumentsBytes;
    while (cut > 0 && (static_cast<unsigned char>(kept_[cut]) & 0xC0) == 0x80) --cut;
    kept_.resize(cut);
    kept_ += fmt::format("... ({} more bytes truncated)", total_ - cut);
    return std::move(kept_);
  }

 private:
  std::string kept_;
  size_t total_ = 0;
};

}  // namespace

std::string arguments_for_log(const json& arguments) {
  CutText cut;
  JsonSpill spill = [&cut](std::string& piece) { cut.take(piece); };
  std::string out;
  const json* env = find_member(arguments, "env");
  if (!env || env->is_null()) {
    append_json_text(out, arguments, &spill);
  } else {
    // Written member by member, so that only `env` is copied to redact it.
    out += '{';
    bool first = true;
    for (const auto& [key, member] : arguments.get_ref<const json::object_t&>()) {
      if (!first) out += ',';
      first = false;
      append_json_text(out, json(key), &spill);
      out += ':';
      if (key == "env") {
        append_json_text(out, redacted_env(member), &spill);
      } else {
        append_json_text(out, member, &spill);  // not copied: it may be huge
      }
    }
    out += '}';
  }
  cut.take(out);
  return cut.finish();
}

}  // namespace tarnwick
