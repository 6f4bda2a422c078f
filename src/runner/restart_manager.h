#pragma once
/// Which processes hold the busy files of a failed cargo run. Switched on by
/// --unsafe-windows-rm; one lookup session per file.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/holders.h"

namespace tarnwick {

/// One process that uses a file.
struct FileHolder {
  uint32_t pid = 0;
  std::string app_name;
  std::optional<std::string> image_path;
  /// 0 unknown, 1 GUI app, 2 GUI app (background), 3 service, 4 Explorer,
  /// 5 console, 6 critical system process.
  uint8_t app_type = 0;
};

/// The holders of one busy file, or why they could not be found.
struct PathHolders {
  std::string path;                 // as found in the output
  std::vector<FileHolder> holders;  // empty when `error` is set
  std::optional<std::string> error;
};

/// The holders of each busy file named in the two texts (standard error's
/// paths first, each file once). Empty when the lookup is switched off or no
/// busy file is named. Failures are carried per path.
std::vector<PathHolders> find_file_holders(std::string_view stderr_text,
                                           std::string_view stdout_text);

/// A verbatim drive or UNC path in its ordinary form; other paths unchanged.
std::string simplify_windows_path(std::string_view path);

/// "{label} failed: {message} (code {code})", or without a system message
/// "{label} failed: code {code} (no system message)".
std::string win32_api_error(std::string_view label, int code);

/// The lookup session calls the per-path lookup goes through; the system's
/// by default, replaceable to exercise the list protocol's corner cases.
struct HolderListApi {
  std::function<int(platform::HolderSession**)> start_session = platform::holder_start_session;
  std::function<int(platform::HolderSession*, const std::string&)> register_file =
      platform::holder_register_file;
  std::function<int(platform::HolderSession*, uint32_t*, uint32_t*, platform::HolderProcess*)>
      get_list = platform::holder_get_list;
  std::function<void(platform::HolderSession*)> end_session = platform::holder_end_session;
  std::function<std::optional<std::string>(uint32_t)> image_path = platform::process_image_path;
};

/// The holders of one file; `query_path` is what is asked about, `path` what is reported.
PathHolders lookup_path_holders(const std::string& path, const std::string& query_path,
                                const HolderListApi& api = {});

}  // namespace tarnwick
