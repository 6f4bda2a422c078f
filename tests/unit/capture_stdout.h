#pragma once
/// Collects what the code under test writes to standard output (fd 1), one
/// parsed JSON message per line.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "json_text.h"

namespace tarnwick::testing {

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

  /// Stops capturing and returns the lines written, each parsed.
  std::vector<json> finish() {
    restore();
    std::vector<json> out;
    std::rewind(file_);
    std::string line;
    for (int c; (c = std::fgetc(file_)) != EOF;) {
      if (c != '\n') {
        line += static_cast<char>(c);
        continue;
      }
      out.push_back(json::parse(line, nullptr, false));
      line.clear();
    }
    return out;
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
