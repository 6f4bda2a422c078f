#include "runner/output_file.h"

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <utility>

#include "base/json_text.h"
#include "base/path_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "platform/write_file.h"
#include "runner/output_filters.h"

namespace tarnwick {
namespace {

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view prefix : prefixes)
    if (text.starts_with(prefix)) return true;
  return false;
}

bool is_libtest_marker(std::string_view text) {
  text = trim_start(text);
  return starts_with_any(text,
                         {"test result:", "failures:", "running ", "---- ", "note: run with"}) ||
         text.find(" FAILED") != std::string_view::npos ||
         text.find("panicked at") != std::string_view::npos;
}

bool is_nextest_marker(std::string_view text) {
  text = trim_start(text);
  if (starts_with_any(text, {"Starting ", "Summary ", "--- STDOUT:", "--- STDERR:"}) ||
      text.find("panicked at") != std::string_view::npos)
    return true;
  static constexpr std::array<std::string_view, 6> kStatusWords = {"FAIL",    "FLAKY",   "LEAK",
                                                                   "TIMEOUT", "SIGABRT", "SLOW"};
  for (std::string_view word : kStatusWords) {
    if (text.size() > word.size() && text.starts_with(word)) {
      char next = text[word.size()];
      if (next == ' ' || next == '[') return true;
    }
  }
  return false;
}

std::string_view record_text(const json& record) {
  auto it = record.find("text");
  if (it == record.end() || !it->is_string()) return {};
  return it->get_ref<const std::string&>();
}

bool is_error_message(const json& record) {
  auto message = record.find("message");
  if (message == record.end() || !message->is_object()) return false;
  auto level = message->find("level");
  return level != message->end() && level->is_string() &&
         (*level == "error" || *level == "error: internal compiler error");
}

/// Whether a line after the invocation record belongs in the condensed answer.
bool keep_in_summary(std::string_view line, bool test_markers) {
  std::optional<json> value = parse_json_line(line);
  if (!value || !value->is_object()) return false;
  if (value->contains("status")) return true;
  std::optional<std::string> reason = line_reason(*value);
  if (!reason) return false;
  if (*reason == "build-finished" || *reason == "x-tarnwick-stderr" ||
      *reason == "x-tarnwick-test-filter-summary" || *reason == "x-tarnwick-test-filter-discovery")
    return true;
  if (*reason == "compiler-message") return is_error_message(*value);
  if (*reason == "x-tarnwick-test-output")
    return test_markers && is_libtest_marker(record_text(*value));
  if (*reason == "x-tarnwick-nextest-output")
    return test_markers && is_nextest_marker(record_text(*value));
  return false;
}

/// The path as the messages show it.
std::string shown_path(std::string_view path, const platform::WorkingDir& working_dir) {
  return to_valid_utf8(output_file_path(path, working_dir.path()));
}

/// A write to `path` that the system failed, with the file and the cause.
Error write_failure(std::string_view argument, std::string_view path,
                    const platform::WorkingDir& working_dir, const IoError& cause) {
  return make_error(fmt::format(
      "{} was not written: {}: {}{}", argument, shown_path(path, working_dir), cause.text,
      cause.code == EFBIG ? ": the file-size limit (ulimit -f) was reached" : ""));
}

/// The refusal of `path` beneath `working_dir` as the client reads it.
Error refusal_error(std::string_view argument, std::string_view path,
                    const platform::WorkingDir& working_dir,
                    const platform::TargetRefusal& refusal) {
  using platform::TargetFault;
  const std::string joined = output_file_path(path, working_dir.path());
  const std::string shown = to_valid_utf8(joined);
  switch (refusal.fault) {
    case TargetFault::ParentMissing: {
      std::optional<std::string> parent = lexical_parent(joined);
      return make_error(fmt::format("{} parent directory does not exist or is not a directory: {}",
                                    argument,
                                    to_valid_utf8(parent && !parent->empty() ? *parent : ".")));
    }
    case TargetFault::Directory:
      return make_error(fmt::format("{} must name a file, not a directory: {}", argument, shown));
    case TargetFault::LeavesRoot:
      return make_error(
          fmt::format("{} would lead outside the working directory: {}", argument, shown));
    case TargetFault::SymbolicLink:
      return make_error(
          fmt::format("{} must not lead through a symbolic link: {}", argument, shown));
    case TargetFault::Moved:
      return make_error(fmt::format(
          "{} was not written: its folder was moved or replaced while the file was being written, "
          "so the path no longer names it: {}",
          argument, shown));
    case TargetFault::RootMoved:
      return make_error(fmt::format(
          "{} was not written: the working directory was moved or replaced while the call ran, "
          "so its path no longer names the folder the call started in: {}",
          argument, to_valid_utf8(working_dir.path().value_or("."))));
    case TargetFault::Swapped:
      return make_error(fmt::format(
          "{} was not written: the new file beside it was moved or replaced before it could take "
          "its place: {}",
          argument, shown));
    case TargetFault::NotRegularFile:
      break;
  }
  return make_error(fmt::format("{} must name a regular file or a new name: {}", argument, shown));
}

/// The error of a platform call on `path`: a refusal or a failed write.
template <class Variant>
Error target_error(std::string_view argument, std::string_view path,
                   const platform::WorkingDir& working_dir, Variant&& outcome) {
  if (auto* refused = std::get_if<platform::TargetRefusal>(&outcome))
    return refusal_error(argument, path, working_dir, *refused);
  return write_failure(argument, path, working_dir, std::get<IoError>(outcome));
}

}  // namespace

Status check_output_target(std::string_view argument, std::string_view path,
                           const platform::WorkingDir& working_dir) {
  if (Status inside = check_output_path_stays_inside(argument, path); !inside) return inside;
  auto checked = platform::check_target_beneath(working_dir, path);
  if (std::holds_alternative<Unit>(checked)) return ok_status();
  return target_error(argument, path, working_dir, std::move(checked));
}

Result<platform::ReplacementFile> open_output_target(std::string_view argument,
                                                     std::string_view path,
                                                     const platform::WorkingDir& working_dir) {
  if (Status inside = check_output_path_stays_inside(argument, path); !inside)
    return std::move(inside).error();
  auto opened = platform::open_replacement_beneath(working_dir, path);
  if (auto* file = std::get_if<platform::ReplacementFile>(&opened)) return std::move(*file);
  return target_error(argument, path, working_dir, std::move(opened));
}

Result<uint64_t> commit_output_target(std::string_view argument, std::string_view path,
                                      const platform::WorkingDir& working_dir,
                                      platform::ReplacementFile& file) {
  auto committed = file.commit();
  if (auto* size = std::get_if<uint64_t>(&committed)) return *size;
  return target_error(argument, path, working_dir, std::move(committed));
}

Result<uint64_t> commit_json_output_target(std::string_view argument, std::string_view path,
                                           const platform::WorkingDir& working_dir,
                                           platform::ReplacementFile& file) {
  Result<std::string> written = file.contents();
  if (!written)
    return write_failure(argument, path, working_dir, std::get<IoError>(written.error()));
  // The library's parser checks it without building a tree: quicker and
  // leaner than the line reader's index on a document of many megabytes.
  if (!json::accept(*written)) {
    return make_error(fmt::format(
        "{} was not written: the {} bytes cargo wrote are not one whole JSON document (was the "
        "disk full, or a file-size limit reached?): {}",
        argument, written->size(), shown_path(path, working_dir)));
  }
  written = std::string();  // the check's copy goes before the commit
  return commit_output_target(argument, path, working_dir, file);
}

Result<uint64_t> replace_output_file(std::string_view argument, std::string_view path,
                                     const platform::WorkingDir& working_dir,
                                     std::string_view text) {
  Result<platform::ReplacementFile> file = open_output_target(argument, path, working_dir);
  if (!file) return std::move(file).error();
  if (Status written = file->write(text); !written)
    return write_failure(argument, path, working_dir, std::get<IoError>(written.error()));
  return commit_output_target(argument, path, working_dir, *file);
}

std::string output_file_path(std::string_view output_path, const std::optional<std::string>& cwd) {
  if (!cwd) return std::string(output_path);
  return join_path(*cwd, output_path);
}

Result<std::string> write_condensed_output(std::string_view text, std::string_view output_path,
                                           const platform::WorkingDir& working_dir,
                                           const std::function<bool(std::string_view)>& keep) {
  // Checked again at the write, whoever called: the file never lands outside
  // the working directory, whatever changed while cargo ran.
  Result<uint64_t> bytes = replace_output_file("output_path", output_path, working_dir, text);
  if (!bytes) return std::move(bytes).error();

  std::vector<std::string_view> lines = split_lines(text);
  json record = {{"bytes", *bytes},
                 {"lines", lines.size()},
                 {"path", output_file_path(output_path, working_dir.path())},
                 {"reason", "x-tarnwick-output-file"}};
  std::string condensed;
  if (!lines.empty()) append_line(condensed, lines.front());
  append_line(condensed, to_json_text(record));
  for (size_t i = 1; i < lines.size(); ++i)
    if (keep(lines[i])) append_line(condensed, lines[i]);
  return condensed;
}

Result<std::string> write_output_file_summary(std::string result_text,
                                              const std::optional<std::string>& output_path,
                                              const platform::WorkingDir& working_dir,
                                              bool test_markers) {
  if (!output_path) return result_text;
  return write_condensed_output(
      result_text, *output_path, working_dir,
      [test_markers](std::string_view line) { return keep_in_summary(line, test_markers); });
}

}  // namespace tarnwick
