#include "tools/metadata_tool.h"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>

#include "base/call_context.h"
#include "base/quoted.h"
#include "platform/write_file.h"
#include "runner/busy_files.h"
#include "runner/child.h"
#include "runner/invoke.h"
#include "runner/output_file.h"
#include "runner/restart_manager.h"
#include "runner/toolchain.h"
#include "tools/args.h"
#include "tools/flags.h"
#include "tools/plain_run.h"

namespace tarnwick {
namespace {

constexpr Duration kPollSlice{0, 50'000'000};

ToolFailed metadata_failed(int32_t exit_code, std::string_view stderr_text) {
  return ToolFailed{
      make_error(fmt::format("cargo metadata failed (exit {}): {}", exit_code, trim(stderr_text)))};
}

/// How the file-mode child ended.
struct FileRunEnd {
  int32_t exit_code = 0;
  std::string stderr_text;
};

/// Kills the child's tree first, so that nothing still holds the pipe, then
/// joins the reader: no thread outlives the call.
Error stop_file_run(SpawnedChild& child, PipeTextReader& reader, Error why) {
  kill_process_tree(child);
  reader.join();
  return why;
}

/// Runs cargo with its standard output on `file`, reading standard error on
/// a thread, polling the child and the cancel flag every 50 ms.
Result<FileRunEnd> run_into_file(const ArgList& argv, const std::optional<std::string>& cwd,
                                 int stdout_fd) {
  ChildCommand command = logged_cargo_command(argv, cwd);
  command.stdout_to = platform::Redirect::file(stdout_fd);
  command.stderr_to = platform::Redirect::pipe();

  auto spawned = spawn_in_job(command);
  if (!spawned) return spawned.error();
  SpawnedChild& child = spawned.value();
  PipeTextReader reader;
  if (Status started = reader.start(child.take_stderr()); !started)
    return stop_file_run(child, reader, started.error());

  // A cancellation ends the wait at once.
  platform::ReadStop cancel_wake;
  CancelWakeScope wake_on_cancel([&cancel_wake] { cancel_wake.stop(); });
  for (;;) {
    auto status = child.wait_exit_for(kPollSlice, &cancel_wake);
    if (!status) return stop_file_run(child, reader, status.error());
    if (status.value()) break;
    if (cancel_requested()) return stop_file_run(child, reader, CancelledError{});
  }
  close_job(child);
  FileRunEnd end;
  end.stderr_text = reader.join();
  auto code = release_child(child);
  if (!code) return code.error();
  end.exit_code = code.value();
  if (end.exit_code != 0) {
    append_failure_hints(end.stderr_text, cwd);
    std::vector<PathHolders> holders = find_file_holders(end.stderr_text, "");
    if (!holders.empty()) format_busy_report(end.stderr_text, holders);
  }
  return end;
}

ToolOutcome write_metadata_to_file(const ArgList& argv, const platform::WorkingDir& working_dir,
                                   const std::string& output_file) {
  if (Status checked = check_output_target("output_file", output_file, working_dir); !checked)
    return ToolFailed{std::move(checked).error()};
  // cargo writes into a new file beside the target, which replaces the
  // target only when cargo succeeds and wrote one whole document; on any
  // other end it is removed.
  Result<platform::ReplacementFile> file =
      open_output_target("output_file", output_file, working_dir);
  if (!file) return ToolFailed{std::move(file).error()};

  Result<FileRunEnd> end = run_into_file(argv, working_dir.path(), file->descriptor());
  if (!end) return ToolFailed{std::move(end).error()};
  if (end->exit_code != 0) return metadata_failed(end->exit_code, end->stderr_text);
  Result<uint64_t> size = commit_json_output_target("output_file", output_file, working_dir, *file);
  if (!size) return ToolFailed{std::move(size).error()};
  return ToolText{fmt::format("Metadata written to {} ({} bytes)", output_file, *size)};
}

}  // namespace

ToolOutcome handle_cargo_metadata(const json& arguments, const platform::WorkingDir& working_dir) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  std::optional<std::string> output_file = string_arg(arguments, "output_file");
  ArgList argv{"metadata", "--format-version=1"};
  if (parse_bool_arg(arguments, "no_deps")) argv.push_back("--no-deps");
  if (output_file) return write_metadata_to_file(argv, working_dir, *output_file);

  RunResult run = run_quietly(argv, cwd);
  if (!run) return ToolFailed{std::move(run).error()};
  if (run->exit_code != 0) return metadata_failed(run->exit_code, run->stderr_text);
  return ToolText{std::move(run->stdout_text)};
}

}  // namespace tarnwick
