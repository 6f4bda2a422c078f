#pragma once
/// Threads that the process never joins.

#include <cstddef>
#include <functional>

#include "base/error.h"

namespace tarnwick::platform {

/// Runs `body` on a new detached thread whose stack reservation is
/// `stack_bytes`. Fails with the system's error when the thread cannot be made.
Status start_detached_thread(std::size_t stack_bytes, std::function<void()> body);

}  // namespace tarnwick::platform
