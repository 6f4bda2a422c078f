/// tools/call over real pipes, against the server with scripted tools
/// (tests/helpers/tarnwick_test_server.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
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

/// The client's answer to an elicitation/create request.
using DialogAnswer = std::function<json(const json& request)>;

json answer_with(const json& request, const json& result) {
  return {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", result}};
}

const DialogAnswer decline = [](const json& request) {
  return answer_with(request, {{"action", "decline"}});
};

/// Reads until the response to `id`; the messages before it go to `before`.
/// Each elicitation/create on the way is answered with `dialog` when given.
json response_to(ServerProcess& server, const json& id, std::vector<json>* before = nullptr,
                 std::chrono::milliseconds timeout = 10s, const DialogAnswer& dialog = nullptr) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto message = server.read_json(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!message) break;
    if (!message->contains("method") && message->value("id", json()) == id) return *message;
    if (before) before->push_back(*message);
    if (dialog && message->value("method", "") == "elicitation/create") {
      EXPECT_TRUE(server.write_line(to_json_text(dialog(*message))));
    }
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

/// The texts of a tools/call result's content items.
std::vector<std::string> texts_of(const json& response) {
  std::vector<std::string> out;
  for (const json& item : response["result"]["content"]) out.push_back(item.value("text", ""));
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

  // Null and missing arguments, and the absent-versus-null params, are unit-tested.
  // A tool that reports its own failure keeps its text and gets the flag.
  send(server, call(4, {{"name", "flagged"}}));
  EXPECT_EQ(response_to(server, 4)["result"],
            json::parse(R"({"content":[{"text":"reported","type":"text"}],"isError":true})"));

  before.clear();
  send(server, call(5, {{"name", "fail"}}));
  r = response_to(server, 5, &before);
  EXPECT_EQ(r["result"]["isError"], true);
  EXPECT_EQ(texts_of(r), std::vector<std::string>{"error: scripted failure"});
  logs = with_method(before, "notifications/message");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.back()["params"]["level"], "warning");
  EXPECT_EQ(logs.back()["params"]["data"], "tool 'fail' failed: scripted failure");

  before.clear();
  send(server, json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", "tools/call"}, {"params", nullptr}});
  r = response_to(server, 7, &before);
  EXPECT_EQ(r["error"], json({{"code", -32602}, {"message", "tools/call requires params"}}));
  EXPECT_TRUE(with_method(before, "notifications/message").empty());
}

TEST(EnvelopeE2E, ProgressOnlyWithTokenAndNeverAfterTheResponse) {
  ServerProcess server(test_server({}));
  const json lines = {"abc", "", "42", "tarnwick: note"};
  std::vector<json> before;
  int id = 0;
  for (const json& meta : {json(), json({{"other", 1}})}) {
    json params = {{"name", "progress"}, {"arguments", {{"lines", lines}}}};
    if (!meta.is_null()) params["_meta"] = meta;
    send(server, call(++id, params));
    response_to(server, id, &before);
    EXPECT_TRUE(with_method(before, "notifications/progress").empty()) << params;
  }

  // Each call counts from 0 again, whatever its token.
  for (const json& token : {json(nullptr), json(nullptr), json(17)}) {
    before.clear();
    send(server, call(++id, {{"name", "progress"},
                             {"arguments", {{"lines", lines}}},
                             {"_meta", {{"progressToken", token}}}}));
    response_to(server, id, &before);
    auto progress = with_method(before, "notifications/progress");
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress[0]["params"],
              json({{"message", "abc"}, {"progress", 0}, {"progressToken", token}}));
    EXPECT_EQ(progress[1]["params"],
              json({{"message", "tarnwick: note"}, {"progress", 1}, {"progressToken", token}}));
  }

  // The token goes back as the client wrote it, white space aside.
  ASSERT_TRUE(server.write_line(
      R"({"jsonrpc":"2.0","id":50,"method":"tools/call","params":{"name":"progress",)"
      R"("arguments":{"lines":["abc"]},"_meta":{"progressToken": [-0, 1e3, 18446744073709551616]}}})"));
  std::optional<std::string> line;
  do {
    line = server.read_line();
  } while (line && line->find("notifications/progress") == std::string::npos);
  EXPECT_EQ(line, R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"message":"abc",)"
                  R"("progress":0,"progressToken":[-0,1e3,18446744073709551616]}})");
  response_to(server, 50);

  before.clear();
  send(server, json{{"jsonrpc", "2.0"}, {"id", ++id}, {"method", "ping"}});
  response_to(server, id, &before);
  EXPECT_TRUE(with_method(before, "notifications/progress").empty());
}

TEST(EnvelopeE2E, CancellationEndsARunningCallSoonAfterTheCancellationLine) {
  // Only the method and the requestId make the cancellation.
  for (const char* cancel :
       {R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":9}})",
        R"({"method":"notifications/cancelled","params":{"requestId":9}})",
        R"({"jsonrpc":1,"method":"notifications/cancelled","params":{"requestId":9}})"}) {
    ServerProcess server(test_server({}));
    send(server, call(9, {{"name", "slow"}, {"_meta", {{"progressToken", "c"}}}}));
    // The tool's progress line proves the call is in flight, so the one
    // cancellation sent after it is the one that takes effect.
    bool running = false;
    while (!running) {
      std::optional<json> message = server.read_json();
      ASSERT_TRUE(message) << "the slow call never reported that it runs";
      ASSERT_TRUE(message->contains("method")) << "answered before cancellation: " << *message;
      running = (*message)["method"] == "notifications/progress";
    }
    std::vector<json> before;
    auto sent = Clock::now();
    ASSERT_TRUE(server.write_line(cancel));
    json response = response_to(server, 9, &before);
    auto elapsed = Clock::now() - sent;
    EXPECT_LT(elapsed, 100ms) << cancel;
    EXPECT_EQ(
        to_json_text(response["result"]),
        R"({"content":[{"text":"Operation cancelled by client request.","type":"text"}],"isError":true})");
    EXPECT_TRUE(with_method(before, "notifications/message").empty());
    EXPECT_TRUE(with_method(before, "notifications/progress").empty());
  }
}

TEST(EnvelopeE2E, ACallCancelledWhileWaitingInLineIsAnsweredWithoutRunning) {
  ServerProcess server(test_server({}));
  send(server, call(9, {{"name", "slow"}, {"_meta", {{"progressToken", "c"}}}}));
  // The slow call's progress line: it is in flight from then on.
  for (bool running = false; !running;) {
    std::optional<json> message = server.read_json();
    ASSERT_TRUE(message) << "the slow call never reported that it runs";
    running = message->value("method", "") == "notifications/progress";
  }

  auto cancel = [](int id) {
    return json{
        {"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", id}}}};
  };
  send(server, call(10, {{"name", "echo"}, {"arguments", {{"ran", true}}}}));
  send(server, cancel(10));
  send(server, cancel(9));
  const std::string cancelled = "Operation cancelled by client request.";
  EXPECT_EQ(texts_of(response_to(server, 9)), std::vector<std::string>{cancelled});
  json queued = response_to(server, 10);
  EXPECT_EQ(texts_of(queued), std::vector<std::string>{cancelled});
  EXPECT_EQ(queued["result"]["isError"], true);
  // Sent after the cancellation, the same id runs.
  send(server, call(10, {{"name", "echo"}, {"arguments", {{"ran", true}}}}));
  EXPECT_EQ(texts_of(response_to(server, 10)), std::vector<std::string>{R"({"ran":true})"});
  server.close_stdin();
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(EnvelopeE2E, SuggestionSectionsFollowModeAndClientSupport) {
  using Texts = std::vector<std::string>;
  struct Case {
    bool form;  // the client announced form elicitation
    int fixes, reviews;
    Texts expected;
  };
  const std::string plain_1_1 =
      "checked\n\n--- Auto-applicable (1 fix, safe to apply) ---\nlisted 1\n"
      "\n--- Needs review (1 suggestion) ---\nlisted 2\n";
  const std::string plain_2_0 =
      "checked\n\n--- Auto-applicable (2 fixes, safe to apply) ---\nlisted 1,2\n";
  const std::string plain_0_2 = "checked\n--- Needs review (2 suggestions) ---\nlisted 1,2\n";
  const std::string auto_1 = "--- Auto-applicable (1 fix, safe to apply) ---\nselected 1\n";
  // Every dialog in prompt mode is declined.
  const std::vector<std::pair<std::string, std::vector<Case>>> modes = {
      {"always-skip",
       {{false, 1, 1, {plain_1_1}}, {true, 1, 1, {plain_1_1}}, {true, 0, 2, {plain_0_2}}}},
      {"always-accept",
       {{false, 1, 1, {plain_1_1}},
        {true, 1, 1, {auto_1 + "selected 2\n", "checked"}},
        {true, 0, 2, {"selected 1,2\n", "checked"}},
        {true, 2, 0, {plain_2_0}},
        {true, 0, 0, {"checked"}}}},
      {"prompt",
       {{false, 1, 1, {plain_1_1}},
        {true, 1, 1, {auto_1, "checked"}},
        {true, 0, 1, {"checked"}},
        {true, 2, 0, {plain_2_0}}}},
  };
  for (const auto& [mode, cases] : modes) {
    ServerProcess server(test_server({"--elicitation-mode=" + mode}));
    int id = 0;
    bool form = false;
    for (const Case& c : cases) {
      if (c.form && !form) {
        send(server,
             json{{"jsonrpc", "2.0"},
                  {"id", ++id},
                  {"method", "initialize"},
                  {"params", {{"capabilities", {{"elicitation", {{"form", json::object()}}}}}}}});
        response_to(server, id);
        form = true;
      }
      send(server, call(++id, {{"name", "suggest"},
                               {"arguments", {{"fixes", c.fixes}, {"reviews", c.reviews}}}}));
      std::vector<json> before;
      json r = response_to(server, id, &before, 10s, decline);
      EXPECT_EQ(with_method(before, "elicitation/create").size(),
                mode == "prompt" && c.form && c.reviews > 0 ? 1u : 0u);
      EXPECT_EQ(texts_of(r), c.expected)
          << mode << " form=" << c.form << " fixes=" << c.fixes << " reviews=" << c.reviews;
      EXPECT_FALSE(r["result"].contains("isError"));
    }
  }
}

/// A prompt-mode test server whose client announced form elicitation, with
/// tools/call 2 ("suggest", `reviews` review suggestions) waiting in its
/// dialog. Returns the elicitation/create request.
json open_dialog(ServerProcess& server, int reviews) {
  send(server, json{{"jsonrpc", "2.0"},
                    {"id", 1},
                    {"method", "initialize"},
                    {"params", {{"capabilities", {{"elicitation", {{"form", json::object()}}}}}}}});
  response_to(server, 1);
  send(server, call(2, {{"name", "suggest"}, {"arguments", {{"fixes", 0}, {"reviews", reviews}}}}));
  while (std::optional<json> message = server.read_json()) {
    if (message->value("method", "") == "elicitation/create") return *message;
    EXPECT_TRUE(message->contains("method")) << "answered before the dialog: " << *message;
  }
  ADD_FAILURE() << "no elicitation/create";
  return json();
}

TEST(ReviewDialogE2E, RequestsDuringTheDialogAreRefusedAndNeverRunLater) {
  ServerProcess server(test_server({"--elicitation-mode=prompt"}));
  json request = open_dialog(server, 3);
  const json options =
      request["params"]["requestedSchema"]["properties"]["selected"]["items"]["anyOf"];
  ASSERT_EQ(options.size(), 4u);  // the flat dialog: three suggestions, then "skip:all"
  EXPECT_EQ(options[1]["const"], "2");
  EXPECT_EQ(options[3]["const"], "skip:all");
  const std::string dialog_id = request["id"].get<std::string>();

  send(server, json{{"jsonrpc", "2.0"}, {"id", 3}, {"method", "ping"}});
  send(server, call(4, {{"name", "echo"}}));
  // The call has left the in-flight slot: its cancellation is only logged.
  send(server, json{{"jsonrpc", "2.0"},
                    {"method", "notifications/cancelled"},
                    {"params", {{"requestId", 2}}}});
  // The right answer under a numeric id is not the answer.
  json accepted = {{"action", "accept"}, {"content", {{"selected", {"2", "3"}}}}};
  send(server, json{{"jsonrpc", "2.0"}, {"id", 99}, {"result", accepted}});
  send(server, answer_with(request, accepted));
  std::vector<json> before;
  EXPECT_EQ(texts_of(response_to(server, 2, &before)),
            (std::vector<std::string>{"selected 2,3\n", "checked"}));

  std::vector<std::string> busy_ids, logs;
  for (const json& m : before) {
    if (!m.contains("method")) {
      EXPECT_EQ(m["error"], json({{"code", -32000},
                                  {"message",
                                   "tarnwick: server is busy waiting for elicitation response to "
                                   "request " +
                                       dialog_id + "; try again after the dialog is dismissed"}}));
      busy_ids.push_back(to_json_text(m["id"]));
    } else if (m["method"] == "notifications/message") {
      logs.push_back(m["params"]["data"].get<std::string>());
    }
  }
  EXPECT_EQ(busy_ids, (std::vector<std::string>{"3", "4", "99"}));
  const std::string unrelated =
      "tarnwick: received unrelated message while waiting for elicitation response: ";
  EXPECT_EQ(logs, (std::vector<std::string>{unrelated + "ping", unrelated + "tools/call",
                                            unrelated + "notifications/cancelled",
                                            unrelated + "(response)"}));

  // Nothing of the refused requests comes after the call's result.
  std::vector<json> after;
  send(server, json{{"jsonrpc", "2.0"}, {"id", 5}, {"method", "ping"}});
  response_to(server, 5, &after);
  EXPECT_TRUE(after.empty()) << after.front();
  // The dialog took the cancellation of 2 as the loop takes one: a call sent
  // after it with that id runs.
  send(server, call(2, {{"name", "echo"}}));
  EXPECT_EQ(texts_of(response_to(server, 2)), std::vector<std::string>{"{}"});
}

TEST(ReviewDialogE2E, ShutdownDuringTheDialogAnswersNullAndEndsTheServer) {
  ServerProcess server(test_server({"--elicitation-mode=prompt"}));
  open_dialog(server, 1);
  // Both replies echo the id as the client wrote it.
  ASSERT_TRUE(
      server.write_line(R"({"jsonrpc":"2.0","id":[-0, 1e3, {"b":1,"a":2}],"method":"ping"})"));
  std::optional<std::string> busy = server.read_line();
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->ends_with(R"(,"id":[-0,1e3,{"b":1,"a":2}],"jsonrpc":"2.0"})")) << *busy;
  ASSERT_TRUE(server.read_line());  // the log line about it
  ASSERT_TRUE(
      server.write_line(R"({"jsonrpc":"2.0","id":18446744073709551616,"method":"shutdown"})"));
  EXPECT_EQ(server.read_line(), R"({"id":18446744073709551616,"jsonrpc":"2.0","result":null})");
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.read_line(), std::nullopt);  // the tool call is never answered
}

TEST(ReviewDialogE2E, ClosingInputDuringTheDialogDeclinesAtOnce) {
  ServerProcess server(test_server({"--elicitation-mode=prompt"}));
  json request = open_dialog(server, 6);
  server.close_stdin();
  // The reads' deadline is well under the dialog's 30 s.
  std::vector<json> before;
  EXPECT_EQ(texts_of(response_to(server, 2, &before)), std::vector<std::string>{"checked"});
  EXPECT_EQ(
      before,
      (std::vector<json>{
          {{"jsonrpc", "2.0"},
           {"method", "notifications/message"},
           {"params",
            {{"data", "tarnwick: elicitation timed out after 30s \u2014 declining automatically"},
             {"level", "warning"},
             {"logger", "tarnwick"}}}},
          {{"jsonrpc", "2.0"},
           {"method", "notifications/cancelled"},
           {"params", {{"reason", "elicitation timed out"}, {"requestId", request["id"]}}}}}));
  EXPECT_EQ(server.wait_exit(), 0);
}

}  // namespace
}  // namespace tarnwick::e2e
