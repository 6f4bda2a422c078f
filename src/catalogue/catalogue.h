#pragma once
/// The constant catalogue of the 19 tools that tools/list returns.

#include "base/json_text.h"

namespace tarnwick {

/// The test runner's online documentation of its filter expressions.
inline constexpr const char* kFiltersetDocsAddress = "https://nexte.st/docs/filtersets/";

/// A new JSON array of the 19 tool objects, in catalogue order.
json tools_catalogue();

/// A new schema object of the `bisect` argument, carried by cargo_test and
/// cargo_nextest_run.
json bisect_property_schema();

/// A new schema object of the `test_filter` argument of the two nextest tools.
json nextest_test_filter_schema();

}  // namespace tarnwick
