#pragma once
/// cargo's `cfg(...)` expressions, as keys of its `[target]` configuration,
/// evaluated against the cfg values rustc reports for one target.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace tarnwick {

/// One cfg value of a target: `unix`, or `target_os="linux"`.
struct CfgEntry {
  std::string name;
  std::optional<std::string> value;
};

/// Reads `rustc --print cfg` output: one `name` or `name="value"` a line.
std::vector<CfgEntry> parse_rustc_cfg(std::string_view text);

/// Whether a key of cargo's `[target]` table is a cfg expression rather
/// than a target's name: it starts with "cfg(" and ends with ")".
bool is_cfg_key(std::string_view key);

/// Whether `expression` ("cfg(all(unix, target_os = \"linux\"))") holds for
/// `cfg`. Predicates: `name`, `name = "value"`, `all(...)`, `any(...)`,
/// `not(p)`, `true`, `false`; `all()` holds, `any()` does not, a list may end
/// with a comma. A malformed expression is an error that names it.
Result<bool> cfg_matches(std::string_view expression, const std::vector<CfgEntry>& cfg);

}  // namespace tarnwick
