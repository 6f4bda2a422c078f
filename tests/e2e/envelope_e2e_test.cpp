/// tools/call over real pipes, against the server with scripted tools
/// (tests/helpers/tarnwick_test_server.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server_process.h"

namespace tarnwick::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kTestServer = std::string(TARNWICK_TEST_BIN_DIR) + "/tarnwick_test_server";

ServerOptions test_server(std::vector<std::string> args) {
  ServerOptions options;
  options.executable = kTestServer;
  options.args = std::move(args);
  return options;
}

void send(ServerProcess& server, const json& message) {
  ASSERT_TRUE(server.write_line(to_json_text(message)));
}

json call(int id, const json& params) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}};
}

/// Reads until the response to `id`; the messages before it go to `before`.
json response_to(ServerProcess& server, const json& id, std::vector<json>* before = nullptr,
                 std::chrono::milliseconds timeout = 10s) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto message = server.read_json(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!message) break;
    if (!message->contains("method") && message->value("id", json()) == id) return *message;
    if (before) before->push_back(*message);
  }
  ADD_FAILURE() << "no response to id " << id;
  return json();
}

std::vector<json> with_method(const std::vector<json>& messages, const std::string& method) {
  std::vector<json> out;
  for (const json& m : messages)
    if (m.value("method", "") == method) out.push_back(m);
  return out;
}

TEST(EnvelopeE2E, ResultsFailuresAndMissingParams) {
  ServerProcess server(test_server({}));
  std::vector<json> before;
  send(server, call(1, {{"name", "echo"}, {"arguments", {{"b", 1}, {"a", 2}}}}));
  json r = response_to(server, 1, &before);
  EXPECT_EQ(r["result"],
            json::parse(R"({"content":[{"text":"{\"a\":2,\"b\":1}","type":"text"}]})"));
  auto logs = with_method(before, "notifications/message");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.back()["params"]["data"],
            "tools/call received: id=1 name=\"echo\" arguments={\"a\":2,\"b\":1}");

  before.clear();
  send(server, call(2, {{"name", "fail"}}));
  r = response_to(server, 2, &before);
  EXPECT_EQ(r["result"]["isError"], true);
  EXPECT_EQ(r["result"]["content"][0]["text"], "error: scripted failure");
  logs = with_method(before, "notifications/message");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.back()["params"]["level"], "warning");
  EXPECT_EQ(logs.back()["params"]["data"], "tool 'fail' failed: scripted failure");

  send(server, json{{"jsonrpc", "2.0"}, {"id", 3}, {"method", "tools/call"}});
  r = response_to(server, 3);
  EXPECT_EQ(r["error"], json({{"code", -32602}, {"message", "tools/call requires params"}}));
}

TEST(EnvelopeE2E, ProgressOnlyWithTokenAndNeverAfterTheResponse) {
  ServerProcess server(test_server({}));
  const json lines = {"abc", "", "42", "tarnwick: note"};
  std::vector<json> before;
  send(server, call(1, {{"name", "progress"}, {"arguments", {{"lines", lines}}}}));
  response_to(server, 1, &before);
  EXPECT_TRUE(with_method(before, "notifications/progress").empty());

  for (int id : {2, 3}) {  // each call counts from 0 again
    before.clear();
    send(server, call(id, {{"name", "progress"},
                          {"arguments", {{"lines", lines}}},
                          {"_meta", {{"progressToken", nullptr}}}}));
    response_to(server, id, &before);
    auto progress = with_method(before, "notifications/progress");
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0]["params"],
              json({{"message", "abc"}, {"progress", 0}, {"progressToken", nullptr}}));
    EXPECT_EQ(progress[1]["params"]["message"], "tarnwick: note");
    EXPECT_EQ(progress[1]["params"]["progress"], 1);
  }

  before.clear();
  send(server, json{{"jsonrpc", "2.0"}, {"id", 4}, {"method", "ping"}});
  response_to(server, 4, &before);
  EXPECT_TRUE(with_method(before, "notifications/progress").empty());
}

TEST(EnvelopeE2E, CancellationEndsARunningCallQuickly) {
  ServerProcess server(test_server({}));
  send(server, call(9, {{"name", "slow"}}));
  const json cancel = {
      {"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 9}}}};
  // The call may not be in flight yet when the first cancellation arrives;
  // one that finds nothing running is dropped, so send again until answered.
  std::vector<json> before;
  std::optional<json> response;
  auto deadline = Clock::now() + 5s;
  while (!response && Clock::now() < deadline) {
    send(server, cancel);
    auto start = Clock::now();
    while (!response && Clock::now() - start < 100ms) {
      auto message = server.read_json(20ms);
      if (!message) continue;
      if (message->contains("method"))
        before.push_back(*message);
      else
        response = *message;
    }
  }
  ASSERT_TRUE(response) << "the slow call was not cancelled";
  EXPECT_EQ((*response)["id"], 9);
  EXPECT_EQ(
      to_json_text((*response)["result"]),
      R"({"content":[{"text":"Operation cancelled by client request.","type":"text"}],"isError":true})");
  for (const json& log : with_method(before, "notifications/message"))
    EXPECT_NE(log["params"]["level"], "warning") << log;
}

TEST(EnvelopeE2E, SuggestionSectionsFollowModeAndClientSupport) {
  {
    ServerProcess server(test_server({"--elicitation-mode=always-accept"}));
    send(server, call(1, {{"name", "suggest"}}));
    json r = response_to(server, 1);
    EXPECT_EQ(r["result"]["content"].size(), 1u);
    EXPECT_EQ(r["result"]["content"][0]["text"],
              "checked\n\n--- Auto-applicable (1 fix, safe to apply) ---\nlisted 1\n"
              "\n--- Needs review (1 suggestion) ---\nlisted 2\n");
  }
  {
    ServerProcess server(test_server({"--elicitation-mode=always-accept"}));
    send(server, 
        json{{"jsonrpc", "2.0"},
             {"id", 1},
             {"method", "initialize"},
             {"params", {{"capabilities", {{"elicitation", {{"form", json::object()}}}}}}}});
    response_to(server, 1);
    send(server, call(2, {{"name", "suggest"}}));
    json r = response_to(server, 2);
    ASSERT_EQ(r["result"]["content"].size(), 2u);
    EXPECT_EQ(r["result"]["content"][0]["text"],
              "--- Auto-applicable (1 fix, safe to apply) ---\nselected 1\nselected 2\n");
    EXPECT_EQ(r["result"]["content"][1]["text"], "checked");
  }
}

}  // namespace
}  // namespace tarnwick::e2e
