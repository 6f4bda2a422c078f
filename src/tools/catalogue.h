#pragma once
/// The constant catalogue of the 19 tools that tools/list returns.

#include "json_text.h"

namespace tarnwick {

/// A new JSON array of the 19 tool objects, in catalogue order.
json tools_catalogue();

}  // namespace tarnwick
