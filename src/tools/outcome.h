#pragma once
/// What a tool call hands back to the tools/call envelope.

#include <string>
#include <variant>
#include <vector>

#include "base/error.h"
#include "suggest/suggest.h"

namespace tarnwick {

struct ToolFailed {
  Error error;
};

struct ToolText {
  std::string text;
  bool is_error = false;
};

/// Only cargo_check and cargo_clippy answer with suggestions.
struct ToolTextWithSuggestions {
  std::string text;
  std::vector<Suggestion> suggestions;
  bool is_error = false;
};

using ToolOutcome = std::variant<ToolFailed, ToolText, ToolTextWithSuggestions>;

}  // namespace tarnwick
