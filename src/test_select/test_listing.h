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

/// Lists every binary of `binaries` ("--list", and "--ignored" after it when
/// `ignored_only`) and returns one listing or failure per binary, in order.
/// A listing that did not finish in time is a `TimeoutError`; a binary that
/// exited non-zero, or that cargo did not start, is a message naming it.
/// Fails as a whole only when the client cancels or cargo cannot start.
Result<std::vector<Result<TestListing>>> list_test_binaries(const TestRunBase& base,
                                                            const std::vector<TestBinary>& binaries,
                                                            bool ignored_only);

/// Each binary's test names sorted in byte order without duplicates: those
/// of `--list`, without the ignored ones unless `include_ignored`.
Result<std::vector<Result<TestListing>>> list_tests(const TestRunBase& base,
                                                    const std::vector<TestBinary>& binaries,
                                                    bool include_ignored);

}  // namespace tarnwick
