#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/process.h"
#include "platform/runner_channel.h"
#include "platform/runner_messages.h"

namespace tarnwick::platform {

struct RunnerChannel::Runner {
  RunnerId id = 0;
  int conn = -1;  // -1 once the runner hung up
  int out = -1;   // read ends of the binary's pipes; -1 until made and after their end
  int err = -1;
};

namespace {

constexpr size_t kReadChunk = size_t{64} * 1024;
/// How much of one pipe a round of `poll_once` reads, so that one busy
/// binary cannot hold up the runners' messages.
constexpr size_t kRoundBytes = 1 << 20;

/// A name no other channel has: the process id and 64 random bits.
std::string fresh_name() {
  uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits))
    bits = static_cast<uint64_t>(::getpid()) * 0x9e3779b97f4a7c15u ^
           static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&bits));
  char text[64];
  std::snprintf(text, sizeof text, "tarnwick-%d-%016llx", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(bits));
  return text;
}

bool from_own_user(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

/// Makes a pipe whose read end does not block, both ends closed on exec.
/// `wide`: a mebibyte of room, as the server gives cargo's standard output,
/// so that a binary writing much runs without waiting on us.
bool make_pipe(int& read_end, int& write_end, bool wide) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  if (wide) (void)::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
  read_end = fds[0];
  write_end = fds[1];
  return true;
}

bool send_with_fds(int fd, const std::string& message, const int* fds, size_t count) {
  iovec io{const_cast<char*>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  if (count > 0) {
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(fd, &header, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

}  // namespace

Result<std::unique_ptr<RunnerChannel>> RunnerChannel::open() {
  std::unique_ptr<RunnerChannel> channel(new RunnerChannel());
  std::string name = fresh_name();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  channel->listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (channel->listen_fd_ < 0) return io_error_from_errno(errno);
  if (::bind(channel->listen_fd_, reinterpret_cast<const sockaddr*>(&addr), length) != 0 ||
      ::listen(channel->listen_fd_, 64) != 0)
    return io_error_from_errno(errno);
  channel->wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (channel->wake_fd_ < 0) return io_error_from_errno(errno);
  channel->address_ = "@" + name;
  return channel;
}

RunnerChannel::~RunnerChannel() {
  for (auto& runner : runners_) {
    close_fd(runner->conn);
    close_fd(runner->out);
    close_fd(runner->err);
  }
  close_fd(listen_fd_);
  close_fd(wake_fd_);
}

void RunnerChannel::stop() {
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
}

void RunnerChannel::accept_runners() {
  for (;;) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    if (!from_own_user(fd)) {
      ::close(fd);
      continue;
    }
    auto runner = std::make_unique<Runner>();
    runner->id = next_id_++;
    runner->conn = fd;
    runners_.push_back(std::move(runner));
  }
}

void RunnerChannel::read_runner(Runner& runner) {
  // Left unfilled: only the pages a message reaches are ever touched.
  if (!message_buffer_) message_buffer_ = std::make_unique_for_overwrite<char[]>(kMaxRunnerMessage);
  char* buffer = message_buffer_.get();
  for (;;) {
    ssize_t got = ::recv(runner.conn, buffer, kMaxRunnerMessage, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got <= 0) {
      close_fd(runner.conn);
      queue_.push_back(Event{Event::Kind::Hangup, runner.id, {}, false, {}});
      return;
    }
    Event event{Event::Kind::Message, runner.id, {}, false, {}};
    event.fields = decode_fields(std::string_view(buffer, static_cast<size_t>(got)));
    if (!event.fields.empty()) queue_.push_back(std::move(event));
  }
}

void RunnerChannel::read_pipe(Runner& runner, bool is_stderr) {
  int& fd = is_stderr ? runner.err : runner.out;
  Event event{Event::Kind::Output, runner.id, {}, is_stderr, {}};
  char chunk[kReadChunk];
  while (fd >= 0 && event.bytes.size() < kRoundBytes) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got <= 0) {
      close_fd(fd);
      break;
    }
    event.bytes.append(chunk, static_cast<size_t>(got));
  }
  if (!event.bytes.empty()) queue_.push_back(std::move(event));
}

void RunnerChannel::read_held(Runner& runner, std::vector<Event>& events) {
  for (bool is_stderr : {false, true}) {
    int fd = is_stderr ? runner.err : runner.out;
    int available = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &available) != 0 || available <= 0) continue;
    // Only what is there now: a writer that goes on cannot keep us here.
    Event event{Event::Kind::Output, runner.id, {}, is_stderr, std::string()};
    event.bytes.resize(static_cast<size_t>(available));
    size_t have = 0;
    while (have < event.bytes.size()) {
      ssize_t got = ::read(fd, event.bytes.data() + have, event.bytes.size() - have);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      have += static_cast<size_t>(got);
    }
    event.bytes.resize(have);
    if (have > 0) events.push_back(std::move(event));
  }
}

std::vector<RunnerChannel::Event> RunnerChannel::take_output_now(RunnerId id) {
  std::vector<Event> events;
  for (auto& runner : runners_)
    if (runner->id == id) read_held(*runner, events);
  return events;
}

void RunnerChannel::poll_once() {
  std::vector<pollfd> fds{{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
  for (auto& runner : runners_)
    for (int fd : {runner->out, runner->err, runner->conn})
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  int ready;
  do {
    ready = ::poll(fds.data(), fds.size(), stopping_ ? 0 : -1);
  } while (ready < 0 && errno == EINTR);
  auto is_ready = [&fds](int fd) {
    for (const pollfd& p : fds)
      if (p.fd == fd) return p.revents != 0;
    return false;
  };
  if (is_ready(wake_fd_)) stopping_ = true;
  // Pipes before messages: what a binary wrote before its end is read
  // before its runner's report of that end.
  for (auto& runner : runners_) {
    if (stopping_) {
      read_held(*runner, queue_);
      continue;
    }
    if (is_ready(runner->out)) read_pipe(*runner, false);
    if (is_ready(runner->err)) read_pipe(*runner, true);
  }
  size_t known = runners_.size();
  for (size_t i = 0; i < known; ++i)
    if (runners_[i]->conn >= 0 && is_ready(runners_[i]->conn)) read_runner(*runners_[i]);
  if (is_ready(listen_fd_)) accept_runners();
  // A fresh runner has sent its greeting as it connected, and has no
  // pipes yet: reading it now spares it a round of waiting for its answer.
  for (size_t i = known; i < runners_.size(); ++i) read_runner(*runners_[i]);
  if (stopping_) queue_.push_back(Event{});
}

RunnerChannel::Event RunnerChannel::next() {
  while (queue_head_ == queue_.size()) {
    queue_.clear();
    queue_head_ = 0;
    poll_once();
  }
  Event event = std::move(queue_[queue_head_++]);
  return event;
}

Status RunnerChannel::reply(RunnerId id, const std::vector<std::string>& fields, bool output) {
  for (auto& runner : runners_) {
    if (runner->id != id || runner->conn < 0) continue;
    int write_ends[2] = {-1, -1};
    // The binary's streams are as wide as under plain cargo test.
    if (output && (!make_pipe(runner->out, write_ends[0], true) ||
                   !make_pipe(runner->err, write_ends[1], false))) {
      IoError error = io_error_from_errno(errno);
      close_fd(runner->out);
      close_fd(write_ends[0]);
      return error;
    }
    bool sent = send_with_fds(runner->conn, encode_fields(fields), write_ends, output ? 2 : 0);
    int err = errno;
    // The binary holds the write ends now; ours would keep its pipes open.
    close_fd(write_ends[0]);
    close_fd(write_ends[1]);
    if (!sent) {
      close_fd(runner->out);
      close_fd(runner->err);
      return io_error_from_errno(err);
    }
    return ok_status();
  }
  return io_error_from_errno(ENOTCONN);
}

}  // namespace tarnwick::platform
