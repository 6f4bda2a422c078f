#pragma once
/// The most memory this test process has held, read from /proc.

#include <fstream>
#include <string>

namespace tarnwick::testing {

/// The most memory this process has held since the last reset, in KiB; -1
/// when the system does not tell.
inline long peak_kib_since_reset(bool reset) {
  if (reset) {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    if (!clear.flush()) return -1;
  }
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return -1;
}

}  // namespace tarnwick::testing
