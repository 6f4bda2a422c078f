#pragma once
/// An incoming JSON-RPC message and its parser.

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/json_text.h"

namespace tarnwick {

/// A message with an id is a request; without one (absent or null) it is a
/// notification. `params` is likewise empty when absent or null.
struct Message {
  std::string jsonrpc;
  std::optional<json> id;
  /// The id as the client wrote it, without white space outside strings: the
  /// answer echoes this text, digits and escapes as they came. Empty without
  /// an id.
  std::string id_text;
  std::string method;
  std::optional<json> params;
  /// The params as written, a view into the parsed text (which must outlive
  /// it); empty without params.
  std::string_view params_text;
};

/// Deepest nesting of arrays and objects accepted, the message's own object
/// or array included.
constexpr int kMaxMessageDepth = 127;

/// Reads one message in object form {"jsonrpc","id","method","params"} (keys
/// in any order, other keys skipped) or array form [jsonrpc, id, method,
/// params]. On failure the MessageError holds the reason, ending in
/// " at line L column C" (1-based, columns counted in bytes) within `text`.
Result<Message> parse_message(std::string_view text);

/// Reads `text` as one JSON value under the same rules and limits as a
/// message: UTF-8 as a whole, nesting up to `kMaxMessageDepth`, only JSON
/// white space around it, and "-0" read as floating point.
Result<json> parse_json_value(std::string_view text);

}  // namespace tarnwick
