#pragma once
/// Writing a run's full result text to a file and answering with a condensed
/// text that points to it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "platform/write_file.h"

namespace tarnwick {

/// The path the output file is written to: `output_path` joined onto the
/// working directory when there is one.
std::string output_file_path(std::string_view output_path, const std::optional<std::string>& cwd);

/// The rules of every file a tool writes for the client, whichever argument
/// names it (`output_path`, `cargo_metadata`'s `output_file`): `path` is taken
/// beneath `working_dir`, the folder opened when the call began, and never
/// leaves it; once the working directory's path names another folder (moved
/// away, replaced, a link re-pointed) nothing is written at all. It must be
/// relative, without "..", lead through no symbolic link, and name a regular
/// file or a new name; folders on the way that do not exist yet are created
/// at the write (and removed again when nothing is written), and one in the
/// way that is not a folder refuses the path.
/// `argument` names the argument in the messages.
///
/// The check to make before anything runs; nothing is opened but directories.
Status check_output_target(std::string_view argument, std::string_view path,
                           const platform::WorkingDir& working_dir);

/// Checks again, creates the missing folders and the new file beside the
/// target, for a writer that streams: write to it, then
/// `commit_output_target` moves it over the target; dropping it uncommitted
/// removes it and the folders it made. Every failure names the file: the
/// refusals with the messages of `check_output_target`, a failed write with
/// the system's error.
Result<platform::ReplacementFile> open_output_target(std::string_view argument,
                                                     std::string_view path,
                                                     const platform::WorkingDir& working_dir);

/// Commits a file of `open_output_target`: succeeds exactly when the path
/// then holds that file. Refuses when the target's folder or the working
/// directory was moved away meanwhile, or the new file was moved or
/// replaced; an earlier file stays at the path unless another process moved
/// it.
Result<uint64_t> commit_output_target(std::string_view argument, std::string_view path,
                                      const platform::WorkingDir& working_dir,
                                      platform::ReplacementFile& file);

/// Commits, as `commit_output_target` does, a file that cargo wrote, once it
/// holds one whole JSON document: cargo exits 0 even when its writes failed
/// (a full disk), leaving the document cut short.
Result<uint64_t> commit_json_output_target(std::string_view argument, std::string_view path,
                                           const platform::WorkingDir& working_dir,
                                           platform::ReplacementFile& file);

/// Writes `text` as the whole file at `path` under the same rules, by
/// replacement, and returns the file's size as the file system reports it.
Result<uint64_t> replace_output_file(std::string_view argument, std::string_view path,
                                     const platform::WorkingDir& working_dir,
                                     std::string_view text);

/// Writes `text` to the file at `output_path` beneath `working_dir` and
/// returns the condensed answer: the text's first line, an
/// x-tarnwick-output-file record, then the later lines `keep` lets through.
/// Fails as `replace_output_file` does.
Result<std::string> write_condensed_output(std::string_view text, std::string_view output_path,
                                           const platform::WorkingDir& working_dir,
                                           const std::function<bool(std::string_view)>& keep);

/// Without `output_path`, `result_text` unchanged. With it, writes the text
/// to the file beneath `working_dir` and returns the invocation record, an
/// x-tarnwick-output-file record and the lines that tell the outcome.
/// `test_markers` lets libtest and nextest marker lines through. Fails as
/// `replace_output_file` does.
Result<std::string> write_output_file_summary(std::string result_text,
                                              const std::optional<std::string>& output_path,
                                              const platform::WorkingDir& working_dir,
                                              bool test_markers);

}  // namespace tarnwick
