#pragma once
// Collects what the code under test writes to standard output (fd 1), where
// log lines and notifications go.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/text_lines.h"

namespace tarnwick::testing {

/// Points fd 1 at a temporary file for one scope; a file never blocks the
/// writer, however much it writes.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(file_), STDOUT_FILENO);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() {
    restore();
    std::fclose(file_);
  }

  /// Restores fd 1 and returns what was written meanwhile.
  std::string finish() {
    restore();
    std::string text;
    std::rewind(file_);
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, file_)) text.append(buffer, n);
    return text;
  }

  /// Restores fd 1 and returns the lines written, each parsed as JSON.
  std::vector<json> finish_messages() {
    std::vector<json> messages;
    const std::string text = finish();
    for (std::string_view line : split_lines(text))
      messages.push_back(json::parse(line, nullptr, false));
    return messages;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

}  // namespace tarnwick::testing
