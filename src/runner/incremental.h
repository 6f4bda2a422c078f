#pragma once
/// rustc's incremental-session advisory: it can fail to finalize a session
/// directory (a file inside still open elsewhere), and -D warnings then fails
/// a build that compiled. Runs demote the advisory to a note, rescue builds
/// failed by it alone, and can remove stale session directories first.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runner/run_types.h"

namespace tarnwick {

/// The call's last `CARGO_TARGET_DIR` override: absent when no override names
/// the variable; holding no value when the override removes it, written
/// `TargetDirOverride(std::in_place, std::nullopt)`.
using TargetDirOverride = std::optional<std::optional<std::string>>;

/// The target directory the clean-up looks in: a non-empty override value,
/// else (unless the override removes it) the server's `CARGO_TARGET_DIR`,
/// else "target". A relative directory is taken relative to `cwd` (the
/// request's working directory, or the server's when absent), as cargo does.
std::string incremental_target_dir(const std::optional<std::string>& cwd,
                                   const TargetDirOverride& target_dir_override);

/// Removes every session directory named "…-working" found in
/// `<target>/<any>/incremental/` or one level below it (per crate), never
/// following a symbolic link. Logs each removal and each failure; never fails.
void clear_stale_incremental_sessions(const std::optional<std::string>& cwd,
                                      const TargetDirOverride& target_dir_override);

/// The line with a finalize-advisory compiler message turned into a note, or
/// nothing when the line is not such a message. Only for lines of the build,
/// before its build-finished record.
std::optional<std::string> demote_finalize_advisory(std::string_view line);

/// Whether the line is cargo's build-finished record. cargo writes one, after
/// every message of its build and before it starts any program it built;
/// what follows it is not the build's.
bool is_build_end_record(std::string_view line);

/// After a failed run: when cargo's build failed (its first build-finished
/// record is the failed one) and the only thing that failed it was the
/// (demoted) advisory before that record, marks that record successful in
/// `stdout_text`, appends and sends an `x-tarnwick-note` record line, and
/// returns 0; otherwise returns `exit_code` and changes nothing.
int32_t rescue_finalize_advisory(std::string& stdout_text, int32_t exit_code,
                                 const ProgressSink& sink);

/// `text` with every failed build-finished record in its success form.
std::string mark_build_success(std::string_view text);

/// `text` with the first occurrence of `prefix` replaced by "note: ".
std::string replace_first_with_note(std::string_view text, std::string_view prefix);

}  // namespace tarnwick
