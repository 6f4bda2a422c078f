#pragma once
/// The names of the tests each test binary of a build holds, asked with
/// libtest's `--list` through one cargo run, so that each binary lists as
/// cargo runs it (its runner, environment and library path included).

#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "runner/libtest_output.h"
#include "runner/run_types.h"
#include "test_select/enumerate.h"
#include "test_select/test_launch.h"

namespace tarnwick {

/// How long one binary's `--list` may take, from its start.
inline constexpr Duration kListTimeout{60, 0};

/// Each binary's test names sorted in byte order without duplicates: those
/// of `--list`, without the ignored ones unless `include_ignored`.
Result<std::vector<Result<TestListing>>> list_tests(const TestRunBase& base,
                                                    const std::vector<TestBinary>& binaries,
                                                    bool include_ignored);

}  // namespace tarnwick
