#include "base/path_text.h"

namespace tarnwick {

std::optional<std::string> lexical_parent(std::string_view path) {
  size_t end = path.size();
  // Drops trailing separators, and "." components other than a leading one:
  // neither is a component of its own.
  auto trim_end = [&] {
    for (;;) {
      while (end > 0 && path[end - 1] == '/') --end;
      if (end == 0) return;
      size_t slash = path.rfind('/', end - 1);
      size_t start = slash == std::string_view::npos ? 0 : slash + 1;
      if (start == 0 || path.substr(start, end - start) != ".") return;
      end = start;
    }
  };
  trim_end();
  if (end == 0) return std::nullopt;  // empty, or only a root
  size_t slash = path.rfind('/', end - 1);
  end = slash == std::string_view::npos ? 0 : slash + 1;
  trim_end();
  if (end == 0 && path.front() == '/') return std::string("/");
  return std::string(path.substr(0, end));
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string out(dir);
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

Status check_output_path_stays_inside(std::string_view argument, std::string_view output_path) {
  if (output_path.starts_with('/'))
    return MessageError{std::string(argument) +
                        " must be a relative path; absolute paths are not permitted"};
  size_t start = 0;
  while (start <= output_path.size()) {
    size_t slash = output_path.find('/', start);
    if (slash == std::string_view::npos) slash = output_path.size();
    if (output_path.substr(start, slash - start) == "..")
      return MessageError{std::string(argument) +
                          " must not contain '..' path traversal components"};
    start = slash + 1;
  }
  return ok_status();
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace tarnwick
