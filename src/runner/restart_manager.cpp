#include "runner/restart_manager.h"

#include <fmt/format.h>
#include <stdlib.h>

#include <climits>
#include <unordered_set>

#include "base/quoted.h"
#include "base/settings.h"
#include "runner/busy_files.h"

namespace tarnwick {
namespace {

/// Never ask for more entries than this, whatever the list claims to need.
constexpr uint32_t kSanityLimit = 65536;

uint8_t map_app_type(uint32_t raw) {
  if (raw >= 1 && raw <= 5) return static_cast<uint8_t>(raw);
  if (raw == 1000) return 6;  // critical process
  return 0;
}

std::string sanity_limit_error(uint32_t needed) {
  return fmt::format("RmGetList reported {} affected processes (exceeds sanity limit {})", needed,
                     kSanityLimit);
}

/// The final absolute form of an existing file, links followed.
std::optional<std::string> resolve_final_path(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return std::nullopt;
  return std::string(buffer);
}

FileHolder make_holder(const platform::HolderProcess& entry, const HolderListApi& api) {
  FileHolder holder{entry.pid, to_valid_utf8(entry.app_name), std::nullopt,
                    map_app_type(entry.app_type)};
  if (auto image = api.image_path(entry.pid); image && !image->empty())
    holder.image_path = simplify_windows_path(to_valid_utf8(*image));
  return holder;
}

/// Asks the open session for its list; fills `result` with holders or an error.
void read_holder_list(platform::HolderSession* session, const HolderListApi& api,
                      PathHolders& result) {
  uint32_t needed = 0, count = 0;
  int code = api.get_list(session, &needed, &count, nullptr);
  if (code == 0) return;
  if (code != platform::kHolderListMoreData) {
    result.error = win32_api_error("RmGetList probe", code);
    return;
  }
  if (needed == 0) return;
  if (needed > kSanityLimit) {
    result.error = sanity_limit_error(needed);
    return;
  }
  uint32_t capacity = needed;
  while (true) {
    std::vector<platform::HolderProcess> buffer(capacity);
    count = capacity;
    needed = capacity;
    code = api.get_list(session, &needed, &count, buffer.data());
    if (code == 0) {
      for (uint32_t i = 0; i < count && i < capacity; ++i)
        result.holders.push_back(make_holder(buffer[i], api));
      return;
    }
    if (code != platform::kHolderListMoreData) {
      result.error = win32_api_error("RmGetList fetch", code);
      return;
    }
    if (needed <= capacity) {
      result.error = fmt::format(
          "RmGetList kept asking for more space without growing the request (stuck at {} entries)",
          needed);
      return;
    }
    if (needed > kSanityLimit) {
      result.error = sanity_limit_error(needed);
      return;
    }
    capacity = needed;
  }
}

}  // namespace

PathHolders lookup_path_holders(const std::string& path, const std::string& query_path,
                                const HolderListApi& api) {
  PathHolders result{path, {}, std::nullopt};
  platform::HolderSession* session = nullptr;
  if (int code = api.start_session(&session); code != 0) {
    result.error = win32_api_error("RmStartSession", code);
    return result;
  }
  if (int code = api.register_file(session, query_path); code != 0) {
    result.error = win32_api_error("RmRegisterResources", code);
  } else {
    read_holder_list(session, api, result);
  }
  api.end_session(session);
  return result;
}

std::vector<PathHolders> find_file_holders(std::string_view stderr_text,
                                           std::string_view stdout_text) {
  if (!runtime_settings().unsafe_windows_rm) return {};
  std::vector<BusyPath> paths = extract_busy_paths(stderr_text);
  for (BusyPath& path : extract_busy_paths(stdout_text)) paths.push_back(std::move(path));
  if (paths.empty()) return {};

  std::vector<PathHolders> list;
  std::unordered_set<std::string> seen;
  for (const BusyPath& path : paths) {
    if (!seen.insert(busy_path_key(path)).second) continue;
    std::string query = path;
    if (auto resolved = resolve_final_path(path)) query = simplify_windows_path(*resolved);
    list.push_back(lookup_path_holders(path, query));
  }
  return list;
}

std::string simplify_windows_path(std::string_view path) {
  constexpr std::string_view kVerbatim = "\\\\?\\";
  if (!path.starts_with(kVerbatim)) return std::string(path);
  std::string_view rest = path.substr(kVerbatim.size());

  auto components_of = [](std::string_view text) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t end = text.find('\\', pos);
      if (end == std::string_view::npos) end = text.size();
      if (end > pos) parts.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    return parts;
  };
  auto join = [](std::string head, const std::vector<std::string_view>& parts) {
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) head.push_back('\\');
      head.append(parts[i]);
    }
    return head;
  };

  bool drive = rest.size() >= 2 && rest[1] == ':' &&
               ((rest[0] >= 'a' && rest[0] <= 'z') || (rest[0] >= 'A' && rest[0] <= 'Z'));
  if (drive) {
    char letter = static_cast<char>(rest[0] >= 'a' ? rest[0] - 'a' + 'A' : rest[0]);
    return join(fmt::format("{}:\\", letter), components_of(rest.substr(2)));
  }
  if (rest.starts_with("UNC\\")) {
    std::vector<std::string_view> parts = components_of(rest.substr(4));
    if (parts.size() < 2) return std::string(path);
    std::string head = fmt::format("\\\\{}\\{}\\", parts[0], parts[1]);
    return join(std::move(head), {parts.begin() + 2, parts.end()});
  }
  return std::string(path);
}

std::string win32_api_error(std::string_view label, int code) {
  if (auto message = platform::os_error_message(code)) {
    std::string_view text = *message;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                             text.back() == '\t'))
      text.remove_suffix(1);
    if (!text.empty()) return fmt::format("{} failed: {} (code {})", label, text, code);
  }
  return fmt::format("{} failed: code {} (no system message)", label, code);
}

}  // namespace tarnwick
