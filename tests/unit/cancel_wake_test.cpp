#include <gtest/gtest.h>

#include <thread>

#include "base/bounded_line_channel.h"
#include "base/call_context.h"

namespace tarnwick {
namespace {

/// Installs a fresh cancel token for the test's thread.
class TokenScope {
 public:
  TokenScope() : flag_(make_cancel_flag()) { set_cancel_token(flag_); }
  ~TokenScope() { set_cancel_token(nullptr); }
  const CancelFlag& flag() const { return flag_; }

 private:
  CancelFlag flag_;
};

TEST(CancelWakeScope, CancellingRunsTheWakerOnlyWhileTheScopeLives) {
  TokenScope token;
  int woken = 0;
  {
    CancelWakeScope scope([&woken] { ++woken; });
    EXPECT_EQ(woken, 0);
    token.flag()->store(true);
    EXPECT_EQ(woken, 1);
  }
  token.flag()->store(true);
  EXPECT_EQ(woken, 1);
  // Already cancelled: the waker runs as the scope begins.
  CancelWakeScope late([&woken] { ++woken; });
  EXPECT_EQ(woken, 2);
}

// Without a wake the receiver below would wait for ever: nothing is sent.
TEST(BoundedLineChannel, CancellationEndsAWaitWithoutDeadline) {
  TokenScope token;
  BoundedLineChannel channel;
  CancelWakeScope scope([&channel] { channel.wake_receiver(); });
  std::thread canceller([&token] { token.flag()->store(true); });
  std::string line;
  EXPECT_EQ(channel.recv_until(Deadline::after(Duration::max()), line),
            BoundedLineChannel::Recv::Empty);
  canceller.join();
  // A line already waiting still comes before the wake.
  ASSERT_TRUE(channel.send("queued"));
  channel.wake_receiver();
  EXPECT_EQ(channel.recv_until(Deadline::after(Duration::max()), line),
            BoundedLineChannel::Recv::Line);
  EXPECT_EQ(line, "queued");
  EXPECT_EQ(channel.try_recv(line), BoundedLineChannel::Recv::Empty);
}

}  // namespace
}  // namespace tarnwick
