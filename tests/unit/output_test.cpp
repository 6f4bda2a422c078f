#include "base/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

/// Points fd 1 at a pipe that nothing reads until the test says so. Nothing
/// may report a failure while it is in place: the report would go into the
/// pipe.
class StdoutPipe {
 public:
  StdoutPipe() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    read_fd_ = fds[0];
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
  }
  ~StdoutPipe() {
    restore();
    if (read_fd_ >= 0) ::close(read_fd_);
  }
  StdoutPipe(const StdoutPipe&) = delete;
  StdoutPipe& operator=(const StdoutPipe&) = delete;

  /// Takes up to `max` bytes of what is in the pipe.
  std::string read_some(size_t max) {
    std::string bytes(max, '\0');
    ssize_t n = ::read(read_fd_, bytes.data(), max);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
  /// Reads until what was read ends with `end`.
  std::string read_through(const std::string& end) {
    std::string text;
    while (!text.ends_with(end)) {
      std::string piece = read_some(65536);
      if (piece.empty()) break;
      text += piece;
    }
    return text;
  }
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  int read_fd_ = -1;
  int saved_ = -1;
};

// A client that stops reading: progress is dropped at once rather than
// waited for, and a line that went out in part is finished before the next
// line, so that every line arrives whole and in order.
TEST(WriteWithoutWaiting, AFullPipeDropsProgressAndLinesStayWhole) {
  const std::string small = R"({"message":")" + std::string(1000, 's') + R"("})";
  const std::string large = R"({"message":")" + std::string(100000, 'l') + R"("})";
  StdoutPipe out;
  size_t taken = 0;
  while (write_notification_without_waiting("n", small)) ++taken;
  // Room for two pages: the large notification goes out in part, and what
  // follows it cannot go out before the rest of it.
  std::string text = out.read_some(8192);
  bool large_taken = write_notification_without_waiting("n", large);
  bool small_after_large = write_notification_without_waiting("n", small);
  std::thread last([] { write_line(R"({"last":1})"); });  // waits for room
  text += out.read_through("{\"last\":1}\n");
  last.join();
  out.restore();

  EXPECT_GT(taken, 10u);
  EXPECT_TRUE(large_taken);
  EXPECT_FALSE(small_after_large);
  std::vector<std::string> lines;
  for (std::string_view line : split_lines(text)) lines.emplace_back(line);
  ASSERT_EQ(lines.size(), taken + 2);
  const std::string head = R"({"jsonrpc":"2.0","method":"n","params":)";
  EXPECT_EQ(lines[0], head + small + "}");
  EXPECT_EQ(lines[taken - 1], head + small + "}");
  EXPECT_EQ(lines[taken], head + large + "}");
  EXPECT_EQ(lines[taken + 1], R"({"last":1})");
}

}  // namespace
}  // namespace tarnwick
