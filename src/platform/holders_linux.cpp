#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/holders.h"

namespace tarnwick::platform {

struct FileId {
  dev_t dev;
  ino_t ino;
};

struct HolderSession {
  std::vector<FileId> files;
  bool scanned = false;
  std::vector<HolderProcess> snapshot;
};

namespace {

bool is_pid_name(const char* name) {
  if (!*name) return false;
  for (const char* p = name; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

bool is_registered(const HolderSession& session, const struct stat& st) {
  return std::any_of(session.files.begin(), session.files.end(),
                     [&](const FileId& id) { return id.dev == st.st_dev && id.ino == st.st_ino; });
}

/// True when the path (a /proc magic link) leads to a registered file.
bool links_to_registered(const HolderSession& session, const std::string& link) {
  struct stat st {};
  return ::stat(link.c_str(), &st) == 0 && is_registered(session, st);
}

/// Whether the process runs a registered file or has one open. Processes we
/// may not inspect are treated as not holding it.
bool holds_registered_file(const HolderSession& session, const std::string& proc_dir) {
  if (links_to_registered(session, proc_dir + "/exe")) return true;
  std::string fd_dir = proc_dir + "/fd";
  DIR* dir = ::opendir(fd_dir.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = ::readdir(dir)) {
    if (!is_pid_name(entry->d_name)) continue;
    if (links_to_registered(session, fd_dir + "/" + entry->d_name)) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::string read_comm(const std::string& proc_dir) {
  std::ifstream in(proc_dir + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

/// The file name of the executable when it can be read, else the kernel's
/// short process name.
std::string process_name(uint32_t pid, const std::string& proc_dir) {
  if (auto image = process_image_path(pid)) {
    std::string_view path = *image;
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted)
      path.remove_suffix(kDeleted.size());
    size_t slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!base.empty()) return std::string(base);
  }
  return read_comm(proc_dir);
}

int scan_processes(HolderSession& session) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return errno;
  std::vector<HolderProcess> found;
  while (dirent* entry = ::readdir(proc)) {
    if (!is_pid_name(entry->d_name)) continue;
    std::string proc_dir = std::string("/proc/") + entry->d_name;
    if (!holds_registered_file(session, proc_dir)) continue;
    auto pid = static_cast<uint32_t>(std::strtoul(entry->d_name, nullptr, 10));
    found.push_back({pid, process_name(pid, proc_dir), 0});
  }
  ::closedir(proc);
  std::sort(found.begin(), found.end(),
            [](const HolderProcess& a, const HolderProcess& b) { return a.pid < b.pid; });
  session.snapshot = std::move(found);
  session.scanned = true;
  return 0;
}

}  // namespace

int holder_start_session(HolderSession** session) {
  *session = new HolderSession();
  return 0;
}

int holder_register_file(HolderSession* session, const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Like the system's own lookup: a file that is gone is simply held by no one.
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return errno;
  }
  session->files.push_back({st.st_dev, st.st_ino});
  return 0;
}

int holder_get_list(HolderSession* session, uint32_t* needed, uint32_t* count,
                    HolderProcess* buffer) {
  if (!session->scanned && !session->files.empty()) {
    if (int code = scan_processes(*session); code != 0) return code;
  }
  auto size = static_cast<uint32_t>(session->snapshot.size());
  *needed = size;
  if (size == 0) {
    *count = 0;
    return 0;
  }
  if (!buffer || *count < size) return kHolderListMoreData;
  std::copy(session->snapshot.begin(), session->snapshot.end(), buffer);
  *count = size;
  return 0;
}

void holder_end_session(HolderSession* session) { delete session; }

std::optional<std::string> process_image_path(uint32_t pid) {
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::string buffer(4096, '\0');
  ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

std::optional<std::string> os_error_message(int code) {
  const char* text = ::strerrordesc_np(code);
  if (!text || !*text) return std::nullopt;
  return std::string(text);
}

}  // namespace tarnwick::platform
