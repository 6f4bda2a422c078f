#include "runner/child.h"

#include <fmt/format.h>

#include <system_error>

#include "base/output.h"
#include "base/text_lines.h"
#include "base/utf8.h"

namespace tarnwick {
namespace {

constexpr size_t kReadBuffer = size_t{64} * 1024;

IoError thread_error(const std::system_error& e) {
  int code = e.code().value();
  return platform::io_error_from_errno(code ? code : EAGAIN);
}

/// The pipe's bytes until its end, or until more than `max_bytes` arrived.
/// Owns and closes `fd`.
std::string drain_bytes(int fd, const platform::ReadStop* stop, size_t max_bytes) {
  std::string bytes;
  while (bytes.size() <= max_bytes) {
    size_t old_size = bytes.size();
    bytes.resize(old_size + kReadBuffer);
    long n = platform::read_some(fd, bytes.data() + old_size, kReadBuffer, stop);
    bytes.resize(old_size + static_cast<size_t>(n > 0 ? n : 0));
    if (n <= 0) break;
  }
  platform::close_fd(fd);
  return bytes;
}

}  // namespace

SpawnedChild::SpawnedChild(SpawnedChild&& other) noexcept
    : process_(std::move(other.process_)), released_(other.released_) {
  // The moved-from shell must not kill or reap what it no longer owns.
  other.released_ = true;
  other.process_ = platform::ChildProcess{};
}

SpawnedChild::~SpawnedChild() {
  if (!released_) (void)release_child(*this);
}

int SpawnedChild::take_stdout() {
  int fd = process_.stdout_fd;
  process_.stdout_fd = -1;
  return fd;
}

int SpawnedChild::take_stderr() {
  int fd = process_.stderr_fd;
  process_.stderr_fd = -1;
  return fd;
}

Result<std::optional<int32_t>> SpawnedChild::poll_exit() {
  auto status = platform::poll_exit(process_);
  if (!status) return status.error();
  return status.value();
}

Result<std::optional<int32_t>> SpawnedChild::wait_exit_for(Duration max_wait,
                                                           const platform::ReadStop* wake) {
  auto status = platform::wait_exit_for(process_, max_wait, wake);
  if (!status) return status.error();
  return status.value();
}

Result<SpawnedChild> spawn_in_job(const ChildCommand& command) {
  auto started = platform::start_process(command);
  if (!started) return started.error();
  SpawnedChild child(std::move(started.value()));
  if (!child.in_job()) {
    const auto& why = child.process().job_error;
    send_log_message(
        "warning",
        fmt::format("failed to assign cargo subprocess (pid={}) to a Job Object: {}. "
                    "Cancellation/timeout will fall back to taskkill /T /F, which is best-effort "
                    "and may leave grandchildren running if they detach from the parent before "
                    "kill.",
                    child.pid(), why ? why->text : std::string("unknown error")));
  }
  return child;
}

void kill_process_tree(SpawnedChild& child) { (void)platform::end_job(child.process()); }

void close_job(SpawnedChild& child) { (void)platform::end_job(child.process()); }

Result<int32_t> release_child(SpawnedChild& child) {
  platform::ChildProcess& process = child.process();
  child.released_ = true;
  auto code = platform::end_job(process);
  platform::close_descriptors(process);
  if (!code) return code.error();
  return code.value();
}

void PendingLines::drop_taken() {
  if (start_ == 0) return;
  buffer_.erase(0, start_);
  scanned_ -= start_;
  start_ = 0;
}

long PendingLines::read_from(int fd, const platform::ReadStop* stop) {
  drop_taken();
  size_t old_size = buffer_.size();
  buffer_.resize(old_size + kReadBuffer);
  long n = platform::read_some(fd, buffer_.data() + old_size, kReadBuffer, stop);
  buffer_.resize(old_size + static_cast<size_t>(n > 0 ? n : 0));
  return n;
}

void PendingLines::append(std::string_view bytes) {
  drop_taken();
  buffer_.append(bytes);
}

std::optional<std::string> PendingLines::next_line() {
  size_t nl = buffer_.find('\n', scanned_);
  if (nl == std::string::npos) {
    scanned_ = buffer_.size();
    return std::nullopt;
  }
  size_t end = line_content_end(buffer_, start_, nl);
  std::string line;
  if (start_ == 0 && end > kReadBuffer) {
    // A long line takes the buffer itself; only what follows it is copied.
    std::string rest = buffer_.substr(nl + 1);
    line = std::move(buffer_);
    line.resize(end);
    buffer_ = std::move(rest);
    start_ = scanned_ = 0;
    return line;
  }
  line.assign(buffer_, start_, end - start_);
  start_ = scanned_ = nl + 1;
  return line;
}

std::string PendingLines::take_rest() {
  drop_taken();
  scanned_ = 0;
  std::string rest = std::move(buffer_);
  buffer_.clear();
  return rest;
}

void pipe_lines_thread(int fd, BoundedLineChannel& channel, const platform::ReadStop* stop) {
  PendingLines pending;
  std::vector<std::string> ready;
  for (;;) {
    long n = pending.read_from(fd, stop);
    if (n <= 0) break;  // end of stream or read error: the run sees the end
    // The lines of one read go over together: one wake-up, not one a line.
    while (std::optional<std::string> line = pending.next_line())
      ready.push_back(into_valid_utf8(std::move(*line)));
    if (!channel.send_all(ready)) {
      platform::close_fd(fd);
      return;
    }
  }
  // A last line without "\n" keeps a trailing "\r".
  std::string last = pending.take_rest();
  if (!last.empty() && !channel.send(into_valid_utf8(std::move(last)))) {
    platform::close_fd(fd);
    return;
  }
  platform::close_fd(fd);
  channel.send_end();
}

std::string pipe_drain_thread(int fd, const platform::ReadStop* stop) {
  return into_valid_utf8(drain_bytes(fd, stop, SIZE_MAX));
}
PipeLineReader::~PipeLineReader() {
  stop_waiting();
  join();
}

Status PipeLineReader::start(int fd) {
  try {
    thread_ = std::thread([this, fd] { pipe_lines_thread(fd, channel_, &stop_); });
  } catch (const std::system_error& e) {
    platform::close_fd(fd);
    return thread_error(e);
  }
  return ok_status();
}

void PipeLineReader::join() {
  // A reader waiting for a free slot would otherwise wait for ever.
  channel_.close_receiver();
  if (thread_.joinable()) thread_.join();
}

Status PipeTextReader::start(int fd, size_t max_bytes) {
  try {
    thread_ = std::thread([this, fd, max_bytes] {
      try {
        std::string bytes = drain_bytes(fd, &stop_, max_bytes);
        if (bytes.size() > max_bytes) over_limit_.store(true);
        text_ = into_valid_utf8(std::move(bytes));
      } catch (...) {
        text_.clear();  // out of memory: the stream counts as empty
      }
    });
  } catch (const std::system_error& e) {
    platform::close_fd(fd);
    return thread_error(e);
  }
  return ok_status();
}

std::string PipeTextReader::join() {
  if (thread_.joinable()) thread_.join();
  return std::move(text_);
}

}  // namespace tarnwick
