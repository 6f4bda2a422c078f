#pragma once
/// Which processes hold a file, in the shape of a lookup session: start a
/// session, register the file, ask for the list (first for its size, then
/// with room for it), end the session. Calls answer 0 on success, a system
/// error code on failure, or `kHolderListMoreData` when the list needs more room.

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick::platform {

/// The answer of `holder_get_list` when the given room is too small; the
/// needed count has been written.
inline constexpr int kHolderListMoreData = 234;

/// One process that uses a registered file.
struct HolderProcess {
  uint32_t pid = 0;
  std::string app_name;
  /// The platform's application type; this platform cannot tell, so 0 (unknown).
  uint32_t app_type = 0;
};

struct HolderSession;

/// Opens a session; on success `*session` must later go to `holder_end_session`.
int holder_start_session(HolderSession** session);

/// Registers one file (links followed). A file that does not exist is held by no one.
int holder_register_file(HolderSession* session, const std::string& path);

/// The processes holding the registered files, as one snapshot per session.
/// `*needed` receives the number of processes. When `*count` (the room in
/// `buffer`) is large enough, the first `*needed` entries of `buffer` are
/// filled, `*count` is set to that number and 0 is returned; otherwise
/// `kHolderListMoreData` (or 0 when there are none). `buffer` may be null
/// when `*count` is 0.
int holder_get_list(HolderSession* session, uint32_t* needed, uint32_t* count,
                    HolderProcess* buffer);

void holder_end_session(HolderSession* session);

/// The full path of the process's executable, or nothing when the process
/// cannot be inspected (it ended, or belongs to someone else).
std::optional<std::string> process_image_path(uint32_t pid);

/// The system's text for an error code, or nothing when it has none.
std::optional<std::string> os_error_message(int code);

}  // namespace tarnwick::platform
