#pragma once
/// The process's own standard streams.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::platform {

/// Writes all of `bytes` to standard output; false when a write failed (a
/// closed pipe among them). Most callers go on either way.
bool write_stdout(std::string_view bytes);

/// Writes from the front of `bytes` what standard output takes at once, and
/// returns how many bytes that was (zero when it has no room now). It writes
/// pieces of at most PIPE_BUF bytes, each only after poll has reported room,
/// so a pipe or socket whose reader has stopped never holds the caller up.
/// A failed write counts as all of `bytes`: they are dropped, as
/// `write_stdout` drops them.
size_t write_stdout_without_waiting(std::string_view bytes);

/// Makes a closed reader on standard output harmless (no SIGPIPE death).
void ignore_broken_pipes();

/// Reads standard input up to and including the next line feed. Returns the
/// bytes read, line feed included, or nothing at end of input or on a read
/// failure. A last line without a line feed is still returned. A line longer
/// than `max_bytes` is read to its end but not kept: it comes back as an
/// empty text, which no line read whole is.
std::optional<std::string> read_stdin_line(size_t max_bytes);

/// Flushes what is pending and ends the process at once with `code`, without
/// running destructors or waiting for other threads.
[[noreturn]] void exit_process(int code);

/// This process's id.
long current_pid();

}  // namespace tarnwick::platform
