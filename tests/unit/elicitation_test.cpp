#include "suggest/elicitation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../common/stdout_capture.h"

namespace tarnwick {
namespace {

using testing::StdoutCapture;
using Values = std::optional<std::vector<std::string>>;

json request_for(const std::string& id) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", "elicitation/create"}, {"params", {}}};
}

json answer(const json& id, const json& result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
}

json accepted(const json& selected) {
  return {{"action", "accept"}, {"content", {{"selected", selected}}}};
}

json log_line(const std::string& level, const std::string& data) {
  return {{"jsonrpc", "2.0"},
          {"method", "notifications/message"},
          {"params", {{"data", data}, {"level", level}, {"logger", "tarnwick"}}}};
}

json unrelated(const std::string& what) {
  return log_line(
      "info",
      "tarnwick: received unrelated message while waiting for elicitation response: " + what);
}

class ExchangeTest : public ::testing::Test {
 protected:
  void queue(const std::string& line) { channel.send(line + "\n"); }
  void queue(const json& message) { queue(to_json_text(message)); }

  /// Runs one exchange over what is queued; `lines` gets what it wrote after
  /// its request.
  Values exchange(Duration timeout = kElicitationTimeout) {
    StdoutCapture capture;
    Values values =
        send_elicitation({channel, timeout, [this](int code) { exits.push_back(code); }, nullptr},
                         request_for(id), id);
    lines = capture.finish_messages();
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ(lines.front(), request_for(id));
      lines.erase(lines.begin());
    }
    return values;
  }

  std::string id = next_elicitation_id();
  LineChannel channel;
  std::vector<int> exits;
  std::vector<json> lines;
};

TEST_F(ExchangeTest, EveryOtherMessageIsRefusedOrLoggedUntilTheAnswer) {
  for (const char* line : {"", " \t ", "{not json", "[1,2]", "{}"}) queue(std::string(line));
  // Nesting past the message limit is dropped unread: echoing such an id
  // would recurse as deep.
  queue(R"({"jsonrpc":"2.0","method":"ping","id":)" + std::string(1'000'000, '[') +
        std::string(1'000'000, ']') + "}");
  queue(json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", "ping"}});
  queue(json{{"jsonrpc", "2.0"}, {"id", "c"}, {"method", "tools/call"}, {"params", {}}});
  queue(answer(42, accepted({"1"})));  // a numeric id is not the answer
  queue(json{{"id", nullptr}});
  queue(json{{"jsonrpc", "2.0"},
             {"method", "notifications/cancelled"},
             {"params", {{"requestId", "s-0"}}}});
  queue(json{{"jsonrpc", "2.0"}, {"method", ""}});
  queue(answer(id, accepted({"3", 4, "skip:all"})));
  queue(json{{"jsonrpc", "2.0"}, {"id", 8}, {"method", "ping"}});  // left for the server loop

  EXPECT_EQ(exchange(), (std::vector<std::string>{"3", "skip:all"}));
  auto busy = [&](const json& request_id) {
    return json{{"error",
                 {{"code", -32000},
                  {"message",
                   "tarnwick: server is busy waiting for elicitation response to "
                   "request " +
                       id + "; try again after the dialog is dismissed"}}},
                {"id", request_id},
                {"jsonrpc", "2.0"}};
  };
  EXPECT_EQ(lines,
            (std::vector<json>{unrelated("(response)"), unrelated("(response)"), busy(7),
                               unrelated("ping"), busy("c"), unrelated("tools/call"), busy(42),
                               unrelated("(response)"), busy(nullptr), unrelated("(response)"),
                               unrelated("notifications/cancelled"), unrelated("(response)")}));
  EXPECT_EQ(channel.recv(),
            to_json_text(json{{"jsonrpc", "2.0"}, {"id", 8}, {"method", "ping"}}) + "\n");
  EXPECT_TRUE(exits.empty());
}

TEST_F(ExchangeTest, AnswersAreReadAsAcceptedSelectionsOrNothing) {
  struct Case {
    json answer;
    Values expected;
    bool warns;
  };
  const std::vector<std::string> none;
  const std::vector<Case> cases = {
      {json{{"jsonrpc", "2.0"}, {"id", "ID"}, {"error", {{"code", 1}}}}, std::nullopt, true},
      {answer("ID", {{"action", "decline"}}), std::nullopt, false},
      {answer("ID", {{"action", "cancel"}, {"content", {{"selected", {"1"}}}}}), std::nullopt,
       false},
      {answer("ID", {{"action", "accept"}}), none, false},
      {answer("ID", {{"action", "accept"}, {"content", {{"other", 1}}}}), none, false},
      {answer("ID", accepted("3")), none, false},
      {answer("ID", accepted(json::array())), none, false},
  };
  for (const Case& c : cases) {
    json message = c.answer;
    message["id"] = id;
    queue(message);
    EXPECT_EQ(exchange(), c.expected) << c.answer;
    EXPECT_EQ(lines.size(), c.warns ? 1u : 0u) << c.answer;
    if (c.warns && !lines.empty()) {
      EXPECT_EQ(lines[0], log_line("warning", "tarnwick: elicitation request returned error"));
    }
  }
}

TEST_F(ExchangeTest, ItsOwnCancellationEndsItSilently) {
  queue(json{{"jsonrpc", "2.0"},
             {"method", "notifications/cancelled"},
             {"params", {{"requestId", id}, {"reason", "user closed"}}}});
  EXPECT_EQ(exchange(), std::nullopt);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ExchangeTest, ShutdownAndExitEndTheProcess) {
  queue(json{{"jsonrpc", "2.0"}, {"id", 5}, {"method", "shutdown"}});
  EXPECT_EQ(exchange(), std::nullopt);
  EXPECT_EQ(lines, (std::vector<json>{{{"id", 5}, {"jsonrpc", "2.0"}, {"result", nullptr}}}));
  EXPECT_EQ(exits, std::vector<int>{0});

  for (const char* method : {"shutdown", "exit", "notifications/exit"}) {
    exits.clear();
    queue(json{{"jsonrpc", "2.0"}, {"method", method}});
    EXPECT_EQ(exchange(), std::nullopt);
    EXPECT_TRUE(lines.empty()) << method;
    EXPECT_EQ(exits, std::vector<int>{0}) << method;
  }
}

TEST_F(ExchangeTest, TimeoutDeclinesAndCancelsTheRequest) {
  // A closed channel ends the wait the same way, at once: see the end-to-end tests.
  EXPECT_EQ(exchange(Duration::from_millis(20)), std::nullopt);
  EXPECT_EQ(lines, (std::vector<json>{
                       log_line("warning",
                                "tarnwick: elicitation timed out after 0s \u2014 "
                                "declining automatically"),
                       {{"jsonrpc", "2.0"},
                        {"method", "notifications/cancelled"},
                        {"params", {{"reason", "elicitation timed out"}, {"requestId", id}}}}}));
}

TEST_F(ExchangeTest, UnrelatedMessagesDoNotMoveTheDeadline) {
  // Were the deadline taken again per message, this exchange would never end.
  std::atomic<bool> done = false;
  std::thread feeder([&] {
    while (!done) {
      queue(json{{"jsonrpc", "2.0"}, {"method", "notifications/progress"}});
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  Values values = exchange(Duration::from_millis(200));
  done = true;
  feeder.join();
  EXPECT_EQ(values, std::nullopt);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back()["method"], "notifications/cancelled");
}

}  // namespace
}  // namespace tarnwick
