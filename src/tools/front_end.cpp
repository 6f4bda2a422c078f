#include "tools/front_end.h"

#include <fmt/format.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "base/call_context.h"
#include "base/path_text.h"
#include "base/quoted.h"
#include "catalogue/catalogue.h"
#include "platform/environment.h"
#include "platform/file_status.h"
#include "platform/write_file.h"
#include "tools/args.h"
#include "tools/dispatch.h"

namespace tarnwick {
namespace {

/// Clears the published cancel token however the call ends.
class CancelTokenScope {
 public:
  explicit CancelTokenScope(CancelFlag cancel) { set_cancel_token(std::move(cancel)); }
  ~CancelTokenScope() { set_cancel_token(nullptr); }
  CancelTokenScope(const CancelTokenScope&) = delete;
  CancelTokenScope& operator=(const CancelTokenScope&) = delete;
};

/// Publishes the overrides exactly while dispatch runs.
class EnvOverrideScope {
 public:
  explicit EnvOverrideScope(std::vector<EnvOverride> list) { set_env_overrides(std::move(list)); }
  ~EnvOverrideScope() { set_env_overrides({}); }
  EnvOverrideScope(const EnvOverrideScope&) = delete;
  EnvOverrideScope& operator=(const EnvOverrideScope&) = delete;
};

ToolOutcome failed(std::string message) { return ToolFailed{make_error(std::move(message))}; }

/// The arguments with `working_directory` folded into `working_dir`; null
/// when the arguments need no change.
std::optional<json> fold_working_directory_alias(const json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  auto alias = arguments.find("working_directory");
  if (alias == arguments.end()) return std::nullopt;
  json folded = arguments;
  json value = std::move(folded["working_directory"]);
  folded.erase("working_directory");
  auto dir = folded.find("working_dir");
  if (dir == folded.end() || dir->is_null()) folded["working_dir"] = std::move(value);
  return folded;
}

struct Hint {
  std::string_view key;
  std::string_view tools[2];
  std::string_view text;
};

/// Keys that callers bring over from a neighbouring tool, with a pointer to
/// what this tool calls them.
constexpr Hint kHints[] = {
    {"jobs",
     {"cargo_nextest_run", "cargo_nextest_list"},
     "nextest splits cargo-test's `jobs`: use `build_jobs` for build parallelism or "
     "`test_threads` for test parallelism."},
    {"profile",
     {"cargo_nextest_run", "cargo_nextest_list"},
     "`profile` is ambiguous for nextest: use `cargo_profile` for the cargo build profile, or "
     "`nextest_profile` for the nextest config profile."},
    {"per_test_timeout_secs",
     {"cargo_nextest_run", "cargo_nextest_list"},
     "nextest has no per-test-timeout parameter here \u2014 configure `slow-timeout` / "
     "`terminate-after` in `.config/nextest.toml`, and use `timeout_secs` for an overall "
     "wall-clock cap."},
    {"filter_expr",
     {"cargo_test", ""},
     "`filter_expr` is nextest's filterset DSL, which has no `cargo_test` equivalent beyond "
     "`test_name` (substring) or `test_filter` (regex selection) \u2014 it cannot be "
     "mechanically translated."},
    {"doc",
     {"cargo_nextest_run", ""},
     "nextest cannot run doctests; use `cargo_test` with `doc: true` for those."},
};

std::optional<std::string_view> hint_for(std::string_view key, std::string_view tool) {
  for (const Hint& hint : kHints) {
    if (hint.key != key) continue;
    for (std::string_view t : hint.tools)
      if (!t.empty() && t == tool) return hint.text;
  }
  return std::nullopt;
}

/// The nearest declared name when it is near enough to be a likely misspelling.
/// Names are visited sorted, so equally near names resolve the same way every time.
std::optional<std::string> closest_parameter(std::string_view key,
                                             const std::vector<std::string>& sorted_params) {
  if (sorted_params.empty()) return std::nullopt;
  std::string lowered = ascii_lower(key);
  const std::string* best = nullptr;
  size_t best_distance = 0;
  for (const std::string& param : sorted_params) {
    size_t distance = edit_distance(lowered, ascii_lower(param));
    if (!best || distance < best_distance) {
      best = &param;
      best_distance = distance;
    }
  }
  size_t threshold = std::min<size_t>(std::max<size_t>(key.size() / 2, 1), 3);
  if (best_distance > threshold) return std::nullopt;
  return *best;
}

std::string join(const std::vector<std::string>& items, std::string_view separator,
                 std::string_view before = "", std::string_view after = "") {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += separator;
    out += before;
    out += items[i];
    out += after;
  }
  return out;
}

/// The refusal of undeclared keys, or nothing when every key is declared.
std::optional<std::string> check_parameters(std::string_view tool, const json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  const ParamRegistry& registry = tool_param_registry();
  if (registry.empty()) return std::nullopt;
  auto entry = registry.find(std::string(tool));
  if (entry == registry.end()) return std::nullopt;
  const std::unordered_set<std::string>& declared = entry->second;

  std::vector<std::string> unknown;  // object keys iterate in byte order
  for (const auto& item : arguments.items())
    if (!declared.count(item.key())) unknown.push_back(item.key());
  if (unknown.empty()) return std::nullopt;

  std::vector<std::string> sorted_params(declared.begin(), declared.end());
  std::sort(sorted_params.begin(), sorted_params.end());

  std::string message = fmt::format("{}: unknown parameter{} {}.", tool,
                                    unknown.size() > 1 ? "s" : "", join(unknown, ", ", "`", "`"));
  for (const std::string& key : unknown) {
    if (std::optional<std::string_view> hint = hint_for(key, tool)) {
      message += fmt::format("\n  - `{}`: {}", key, *hint);
    } else if (std::optional<std::string> near = closest_parameter(key, sorted_params)) {
      message += fmt::format("\n  - `{}`: did you mean `{}`?", key, *near);
    }
  }
  message += fmt::format("\n  Valid parameters: {}.", join(sorted_params, ", "));
  return message;
}

/// The tools that run cargo and so need a manifest to work on.
bool needs_manifest(std::string_view tool) {
  static constexpr std::string_view kTools[] = {
      "cargo_metadata",    "cargo_check",       "cargo_build", "cargo_test",   "cargo_clippy",
      "cargo_fmt_check",   "cargo_fmt",         "cargo_tree",  "cargo_doc",    "cargo_clean",
      "cargo_update",      "cargo_fix",         "cargo_add",   "cargo_remove", "cargo_publish",
      "cargo_nextest_run", "cargo_nextest_list"};
  return std::find(std::begin(kTools), std::end(kTools), tool) != std::end(kTools);
}

bool is_file_not_directory(const std::string& path) {
  platform::FileKind kind = platform::file_kind(path);
  return kind != platform::FileKind::Missing && kind != platform::FileKind::Directory;
}

/// The refusal when no Cargo.toml is found from the start directory upwards.
std::optional<std::string> check_manifest_reachable(std::string_view tool, const json& arguments) {
  if (!needs_manifest(tool)) return std::nullopt;
  const json* dir_arg = nullptr;
  if (arguments.is_object()) {
    auto manifest = arguments.find("manifest_path");
    if (manifest != arguments.end() && manifest->is_string()) return std::nullopt;
    auto dir = arguments.find("working_dir");
    if (dir != arguments.end() && dir->is_string()) dir_arg = &*dir;
  }
  std::string start =
      dir_arg ? dir_arg->get<std::string>() : platform::current_directory().value_or(".");
  std::optional<std::string> dir = start;
  while (dir) {
    if (is_file_not_directory(join_path(*dir, "Cargo.toml"))) return std::nullopt;
    dir = lexical_parent(*dir);
  }
  return fmt::format(
      "{}: no `Cargo.toml` found in `{}` or any parent directory.{} Pass `working_dir` set to the "
      "absolute path of your workspace root (the directory containing Cargo.toml), or pass "
      "`manifest_path`.",
      tool, to_valid_utf8(start),
      dir_arg ? ""
              : " `working_dir` was not provided, so it defaulted to the tarnwick server's own "
                "working directory (typically not your project).");
}

/// The `env` argument as overrides in key order, or the refusal of its first fault.
Result<std::vector<EnvOverride>> read_env_overrides(const json& arguments) {
  std::vector<EnvOverride> list;
  if (!arguments.is_object()) return list;
  auto env = arguments.find("env");
  if (env == arguments.end() || env->is_null()) return list;
  if (!env->is_object())
    return make_error("env must be an object mapping name to string|null, got " +
                      to_json_text(*env));
  for (const auto& item : env->items()) {
    const std::string& key = item.key();
    const json& value = item.value();
    if (key.empty()) return make_error("env keys must be non-empty");
    if (key.find('=') != std::string::npos)
      return make_error(fmt::format("env key {} must not contain '='", tarnwick::quoted(key)));
    if (key.find('\0') != std::string::npos)
      return make_error(fmt::format("env key {} must not contain NUL", tarnwick::quoted(key)));
    if (value.is_null()) {
      list.push_back({key, std::nullopt});
    } else if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      if (text.find('\0') != std::string::npos)
        return make_error(
            fmt::format("env value for {} must not contain NUL", tarnwick::quoted(key)));
      list.push_back({key, text});
    } else {
      return make_error(fmt::format("env[{}] must be a string or null, got {}",
                                    tarnwick::quoted(key), to_json_text(value)));
    }
  }
  return list;
}

bool is_text_schema(const json& schema) {
  const json* type = find_member(schema, "type");
  return type && *type == "string";
}

/// Tool name to the names of its parameters, or only of those whose schema
/// type is "string" when `texts_only`.
ParamRegistry build_param_registry(bool texts_only) {
  ParamRegistry registry;
  for (const json& tool : tools_catalogue()) {
    if (!tool.is_object()) continue;
    auto name = tool.find("name");
    if (name == tool.end() || !name->is_string()) continue;
    std::unordered_set<std::string>& params = registry[name->get<std::string>()];
    auto schema = tool.find("inputSchema");
    if (schema == tool.end() || !schema->is_object()) continue;
    auto properties = schema->find("properties");
    if (properties == schema->end() || !properties->is_object()) continue;
    for (const auto& property : properties->items())
      if (!texts_only || is_text_schema(property.value())) params.insert(property.key());
  }
  return registry;
}

/// The parameters taken as text, which reach a command line or a path.
const ParamRegistry& text_param_registry() {
  static const ParamRegistry registry = build_param_registry(/*texts_only=*/true);
  return registry;
}

/// The refusal of the first text argument (in key order) that holds a NUL,
/// which no command line or path can carry.
std::optional<std::string> check_text_arguments(std::string_view tool, const json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  auto entry = text_param_registry().find(std::string(tool));
  if (entry == text_param_registry().end()) return std::nullopt;
  for (const auto& item : arguments.items()) {
    const json& value = item.value();
    if (value.is_string() && entry->second.count(item.key()) &&
        value.get_ref<const std::string&>().find('\0') != std::string::npos)
      return fmt::format("{} must not contain NUL", item.key());
  }
  return std::nullopt;
}

std::u32string decode_all(std::string_view text) {
  std::u32string out;
  for (size_t pos = 0; pos < text.size();) out.push_back(decode_utf8(text, pos));
  return out;
}

}  // namespace

const ParamRegistry& tool_param_registry() {
  static const ParamRegistry registry = build_param_registry(/*texts_only=*/false);
  return registry;
}

size_t edit_distance(std::string_view a_text, std::string_view b_text) {
  std::u32string a = decode_all(a_text), b = decode_all(b_text);
  if (a.empty()) return b.size();
  if (b.empty()) return a.size();
  std::vector<size_t> previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

ToolOutcome handle_tool_call(std::string_view name, const json& arguments, const ProgressSink* sink,
                             CancelFlag cancel) {
  CancelTokenScope cancel_scope(std::move(cancel));
  std::optional<json> folded = fold_working_directory_alias(arguments);
  const json& args = folded ? *folded : arguments;

  if (std::optional<std::string> refusal = check_parameters(name, args)) return failed(*refusal);
  if (std::optional<std::string> refusal = check_text_arguments(name, args))
    return failed(*refusal);
  if (std::optional<std::string> refusal = check_manifest_reachable(name, args))
    return failed(*refusal);
  Result<std::vector<EnvOverride>> overrides = read_env_overrides(args);
  if (!overrides) return ToolFailed{std::move(overrides).error()};

  // Opened before anything of the call runs: a build that moves or replaces
  // the working directory later cannot lead the call's writes elsewhere.
  const platform::WorkingDir working_dir =
      platform::WorkingDir::open(string_arg(args, "working_dir"));
  EnvOverrideScope env_scope(std::move(*overrides));
  return dispatch_tool(name, args, sink, working_dir);
}

}  // namespace tarnwick
