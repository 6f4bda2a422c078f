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

/// Makes a closed reader on standard output harmless (no SIGPIPE death).
void ignore_broken_pipes();

/// Asks for a pipe buffer of a mebibyte on `fd`, so that writer and reader
/// of a long output take turns far less often. Nothing changes when `fd` is
/// not a pipe or the system refuses.
void widen_pipe(int fd);

/// `widen_pipe` on standard output.
void widen_stdout_pipe();

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
