#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "server_process.h"

namespace tarnwick::e2e {
namespace {

json info(const std::string& text) {
  return {{"jsonrpc", "2.0"},
          {"method", "notifications/message"},
          {"params", {{"data", text}, {"level", "info"}, {"logger", "tarnwick"}}}};
}
json warning(const std::string& text) {
  json line = info(text);
  line["params"]["level"] = "warning";
  return line;
}
json result(const json& id, const json& value) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", value}};
}
json error(const json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

const std::string kAllTools =
    "advertising 19 tools: 'cargo_metadata', 'cargo_check', 'cargo_build', 'cargo_test', "
    "'cargo_clippy', "
    "'cargo_fmt_check', 'cargo_fmt', 'cargo_tree', 'cargo_doc', 'cargo_clean', 'cargo_update', "
    "'cargo_fix', "
    "'cargo_add', 'cargo_remove', 'cargo_publish', 'cargo_setup', 'cargo_diagnostic', "
    "'cargo_nextest_run', "
    "'cargo_nextest_list'";

/// A server past its start-up lines.
struct Started {
  explicit Started(std::vector<std::string> args = {}) : server(std::move(args)) {
    EXPECT_TRUE(server.started());
    server.skip_startup_lines();
  }
  /// Sends `line` and returns the next output line parsed.
  std::optional<json> ask(const std::string& line) {
    server.write_line(line);
    return server.read_json();
  }
  /// Ends input and checks the clean exit.
  void finish() {
    server.close_stdin();
    EXPECT_EQ(server.wait_exit(), 0);
  }
  ServerProcess server;
};

TEST(Startup, LinesWithoutOptionsAndNothingOnStderr) {
  ServerProcess server;
  ASSERT_TRUE(server.started());
  EXPECT_EQ(server.read_json(),
            info("tarnwick 0.12.1 starting (pid=" + std::to_string(server.pid()) + ")"));
  EXPECT_EQ(server.read_json(), info(kAllTools));
  EXPECT_EQ(server.read_json(), info("elicitation mode: AlwaysSkip"));
  EXPECT_EQ(server.read_json(),
            info("retry on transient busy errors: enabled (delay=500ms, max attempts=3)"));
  server.close_stdin();
  EXPECT_EQ(server.read_line(), std::nullopt);  // no warnings, nothing else
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.read_stderr(), "");
}

TEST(Startup, ConditionalLinesThenWarningsInArgumentOrder) {
  ServerProcess server(std::vector<std::string>{
      "--retry-delay-ms=abc", "--retry-delay-ms=100", "--retry-delay-ms=xyz",
      "--elicitation-mode=prompt", "--progress-delay-ms=25", "--retry-on-busy=Off",
      "--retry-on-busy=y", "--unsafe-windows-rm=YES", "--clear-incr-working=1",
      "--show-incremental-notes=true", "--Retry-On-Busy=true", "--verbose=1",
      "--retry-max-attempts=0", "--test-timeout-secs=0"});
  std::vector<json> expected = {
      info("tarnwick 0.12.1 starting (pid=" + std::to_string(server.pid()) + ")"),
      info(kAllTools),
      info("elicitation mode: Prompt"),
      info("progress delay: 25ms (developer mode)"),
      info("retry on transient busy errors: disabled"),
      info("Restart Manager process lookup: ENABLED (uses unsafe Win32 FFI in src/rm/)"),
      info("incremental -working cleanup: ENABLED (stale *-working dirs removed before each cargo "
           "invocation)"),
      info("incremental compilation session notes: SHOWN (rustc's incremental-compilation-session "
           "finalize "
           "advisory is harmless and the build is idempotent; suppressed by default)"),
      warning("ignoring invalid --retry-delay-ms value: \"abc\" (expected a non-negative integer)"),
      warning("ignoring invalid --retry-delay-ms value: \"xyz\" (expected a non-negative integer)"),
      warning("ignoring invalid --retry-on-busy value: \"y\" (expected one of: true/false, 1/0, "
              "yes/no, on/off)"),
      warning("ignoring invalid --retry-max-attempts value: \"0\" (expected a positive integer)"),
  };
  for (const json& line : expected) EXPECT_EQ(server.read_json(), line);
  server.close_stdin();
  EXPECT_EQ(server.read_line(), std::nullopt);
  EXPECT_EQ(server.wait_exit(), 0);

  ServerProcess retry(std::vector<std::string>{"--retry-delay-ms=+250", "--retry-max-attempts=7"});
  std::vector<json> lines = retry.skip_startup_lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3],
            info("retry on transient busy errors: enabled (delay=250ms, max attempts=7)"));
}

TEST(Writers, LinesAreCompactWithTheEnvelopeKeysInFixedOrder) {
  ServerProcess server;
  ASSERT_TRUE(server.started());
  server.read_line();
  server.read_line();
  EXPECT_EQ(
      server.read_line(),
      R"({"jsonrpc":"2.0","method":"notifications/message","params":{"data":"elicitation mode: AlwaysSkip","level":"info","logger":"tarnwick"}})");
  server.read_line();
  server.write_line(R"({"method":"ping","id":"a","jsonrpc":"2.0"})");
  EXPECT_EQ(server.read_line(), R"({"jsonrpc":"2.0","id":"a","result":{}})");
  // An id goes back as the client wrote it, white space aside: digits, key
  // order and escapes included.
  server.write_line(
      R"({"jsonrpc":"2.0","id":[2, {"b":1,"a":null}, -0, -0.0, 1e3, 18446744073709551616, "A b"],"method":"shutdown"})");
  EXPECT_EQ(
      server.read_line(),
      R"({"jsonrpc":"2.0","id":[2,{"b":1,"a":null},-0,-0.0,1e3,18446744073709551616,"A b"],"result":null})");
  // The method comes back unchanged inside the message, escaped only as JSON needs.
  server.write_line(R"({"jsonrpc":"2.0","id":7,"method":"q\"b\\t\tn\n\u001b/é—"})");
  EXPECT_EQ(
      server.read_line(),
      R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"method not found: q\"b\\t\tn\n\u001b/é—"}})");
  server.write_line("{");
  EXPECT_EQ(
      server.read_line(),
      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error: EOF while parsing an object at line 1 column 1"}})");
  server.close_stdin();
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(ServerLoop, BlankLinesAreSkippedAndWhitespaceAroundARequestIsTrimmed) {
  Started s;
  s.server.write_raw("\n \t \n\xC2\xA0\n\r\n");
  EXPECT_EQ(s.ask("\xC2\xA0 {\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"} \t\r"),
            result(1, json::object()));
  s.finish();
}

// The reasons and positions themselves are pinned by the parser's unit tests.
TEST(ServerLoop, ParseErrorsAnswerWithNullIdReasonAndPosition) {
  Started s;
  EXPECT_EQ(s.ask("  {\"jsonrpc\":2,\"id\":1,\"method\":\"ping\"}"),
            error(nullptr, -32700,
                  "parse error: invalid type: integer `2`, expected a string at line 1 column 12"));
  // A client's response reaching the loop, and a batch.
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":5,"result":{}})"),
            error(nullptr, -32700, "parse error: missing field `method` at line 1 column 36"));
  EXPECT_EQ(s.ask(R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])"),
            error(nullptr, -32700,
                  "parse error: invalid type: map, expected a string at line 1 column 2"));
  std::string deep = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" +
                     std::string(127, '[') + std::string(127, ']') + "}";
  json answer = s.ask(deep).value_or(json());
  EXPECT_EQ(answer["id"], nullptr);
  EXPECT_EQ(answer["error"]["message"].get<std::string>().rfind(
                "parse error: recursion limit exceeded", 0),
            0u);
  s.finish();
}

TEST(ServerLoop, FormsEchoTheIdAndNotificationsGetNoAnswer) {
  Started s;
  EXPECT_EQ(s.ask(R"(["2.0", 7, "ping", null])"), result(7, json::object()));
  EXPECT_EQ(s.ask(R"({"method":"ping","foo":{"x":[1]},"id":"a","jsonrpc":"1.0"})"),
            result("a", json::object()));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":{"k":[1,2.5]},"method":"ping"})"),
            result(json{{"k", {1, 2.5}}}, json::object()));
  EXPECT_EQ(s.server.read_line(std::chrono::milliseconds(0)), std::nullopt);
  // Notifications: a null id, no id, a tools/call, a cancellation of nothing.
  s.server.write_line(R"({"jsonrpc":"2.0","id":null,"method":"ping"})");
  s.server.write_line(R"({"jsonrpc":"2.0","method":"ping"})");
  s.server.write_line(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"cargo_build"}})");
  s.server.write_line(
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":3}})");
  s.server.write_line(R"(["2.0",null,"notifications/initialized",null])");
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"), result(2, json::object()));
  // A cancellation that carries an id and names nothing running is a request.
  EXPECT_EQ(
      s.ask(
          R"({"jsonrpc":"2.0","id":9,"method":"notifications/cancelled","params":{"requestId":3}})"),
      error(9, -32601, "method not found: notifications/cancelled"));
  s.finish();
}

TEST(ServerLoop, ExitNotificationsEndTheProcessAtOnce) {
  for (const char* exit_line : {R"({"jsonrpc":"2.0","method":"exit"})",
                                R"({"jsonrpc":"2.0","id":null,"method":"notifications/exit"})"}) {
    Started s;
    // The ping queued behind the exit is never answered.
    s.server.write_raw(std::string(exit_line) +
                       "\n{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n");
    EXPECT_EQ(s.server.wait_exit(), 0);
    EXPECT_EQ(s.server.read_line(), std::nullopt);
  }
  Started s;
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":1,"method":"exit"})"),
            error(1, -32601, "method not found: exit"));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":2,"method":"notifications/exit"})"),
            error(2, -32601, "method not found: notifications/exit"));
  s.finish();
}

TEST(ServerLoop, EndOfInputAnswersQueuedLinesThenExitsZero) {
  Started s;
  std::string burst;
  for (int id = 1; id <= 50; ++id)
    burst += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
             R"(,"method":"ping"})"
             "\n";
  burst += "{\"jsonrpc\":\"2.0\",\"id\":\"crlf\",\"method\":\"ping\"}\r\n";
  burst += R"({"jsonrpc":"2.0","id":"last","method":"ping"})";  // no line feed at the end
  s.server.write_raw(burst);
  s.server.close_stdin();
  for (int id = 1; id <= 50; ++id) EXPECT_EQ(s.server.read_json(), result(id, json::object()));
  EXPECT_EQ(s.server.read_json(), result("crlf", json::object()));
  EXPECT_EQ(s.server.read_json(), result("last", json::object()));
  EXPECT_EQ(s.server.wait_exit(), 0);
  EXPECT_EQ(s.server.read_line(), std::nullopt);
}

TEST(ServerLoop, InvalidUtf8IsAParseErrorAndReadingGoesOn) {
  Started s;
  s.server.write_raw(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n\xFF\xFE\n"
      "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n");
  EXPECT_EQ(s.server.read_json(), result(1, json::object()));
  EXPECT_EQ(s.server.read_json(),
            error(nullptr, -32700, "parse error: invalid UTF-8 at line 1 column 1"));
  EXPECT_EQ(s.server.read_json(), result(2, json::object()));
  s.finish();
}

/// VmHWM of /proc/PID/status: the most memory the process ever held, in KiB.
long peak_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return -1;
}

TEST(ServerLoop, AnOverlongLineIsRefusedWithoutBeingHeld) {
  Started s;
  // Sixteen times the limit, written a piece at a time: held whole, the line
  // alone would pass the bound below, which leaves room for what sanitizers
  // keep of freed memory (about 150 MB under AddressSanitizer).
  const long line_kib = 16 * 16 * 1024;
  ASSERT_TRUE(s.server.write_raw(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":")"));
  const std::string piece(1024 * 1024, 'x');
  for (long written = 0; written < line_kib; written += 1024)
    ASSERT_TRUE(s.server.write_raw(piece));
  ASSERT_TRUE(s.server.write_raw("\"}\n"));
  EXPECT_EQ(s.server.read_json(),
            error(nullptr, -32700, "parse error: line longer than 16777216 bytes"));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"), result(2, json::object()));
  EXPECT_LT(peak_kib(s.server.pid()), line_kib * 3 / 4);
  s.finish();
}

TEST(ServerLoop, MinusZeroIdIsEchoedAsItCame) {
  Started s;
  s.server.write_line(R"({"jsonrpc":"2.0","id":-0,"method":"ping"})");
  EXPECT_EQ(s.server.read_line(), R"({"jsonrpc":"2.0","id":-0,"result":{}})");
  s.server.write_line(
      R"({"jsonrpc":"2.0","id":-0,"method":"tools/call","params":{"name":"cargo_none"}})");
  std::optional<json> logged = s.server.read_json();
  ASSERT_TRUE(logged);
  EXPECT_EQ((*logged)["params"]["data"],
            R"(tools/call received: id=-0 name="cargo_none" arguments={})");
  std::optional<std::string> line = s.server.read_line();
  while (line && line->find("\"method\"") != std::string::npos) line = s.server.read_line();
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->starts_with(R"({"jsonrpc":"2.0","id":-0,"result":)")) << *line;
  s.finish();
}

TEST(ServerLoop, ClosedStandardOutputDoesNotStopTheServer) {
  Started s;
  s.server.close_stdout();
  for (int id = 1; id <= 20; ++id) {
    ASSERT_TRUE(s.server.write_line(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                                    R"(,"method":"ping"})"));
  }
  s.finish();
}

/// The running call's cancellation is taken by the reader thread itself, so
/// even a cancellation sent with an id of its own is never answered; ids of
/// another type or kind name nothing and reach the loop like any line.
TEST(InputReader, TheRunningCallsCancellationNeverReachesTheLoop) {
  ServerOptions options;
  options.executable = std::string(TARNWICK_TEST_BIN_DIR) + "/tarnwick_test_server";
  ServerProcess server(options);
  ASSERT_TRUE(server.started());
  server.skip_startup_lines();
  auto cancel = [](int own_id, const std::string& request_id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(own_id) +
           R"(,"method":"notifications/cancelled","params":{"requestId":)" + request_id + "}}";
  };
  // Nothing runs: the cancellation is dropped and a later call with that id runs normally.
  server.write_line(
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":8}})");
  server.write_line(
      R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"echo","arguments":{}}})");
  std::optional<json> echoed = server.read_response();
  ASSERT_TRUE(echoed);
  EXPECT_EQ((*echoed)["id"], 8);
  EXPECT_EQ((*echoed)["result"]["content"][0]["text"], "{}");

  server.write_line(R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"slow"}})");
  std::optional<json> received = server.read_json();
  ASSERT_TRUE(received);
  EXPECT_EQ((*received)["params"]["data"], "tools/call received: id=7 name=\"slow\" arguments={}");
  server.write_line(cancel(101, "\"7\""));
  server.write_line(cancel(102, "7.0"));
  server.write_line(cancel(103, "[7]"));
  EXPECT_EQ(server.read_line(std::chrono::milliseconds(200)), std::nullopt)
      << "the call was cancelled";

  // The call goes into the slot just after its log line; until then a
  // cancellation is forwarded, so send again until the call is answered.
  std::vector<int> sent;
  std::optional<json> answer;
  for (int own_id = 200; !answer && own_id < 300; ++own_id) {
    server.write_line(cancel(own_id, "7"));
    sent.push_back(own_id);
    answer = server.read_response(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(answer) << "the slow call was not cancelled";
  EXPECT_EQ((*answer)["id"], 7);
  EXPECT_EQ((*answer)["result"]["isError"], true);

  server.write_line(R"({"jsonrpc":"2.0","id":"last","method":"ping"})");
  std::set<int> answered;
  for (;;) {
    std::optional<json> response = server.read_response();
    ASSERT_TRUE(response);
    if ((*response)["id"] == "last") break;
    EXPECT_EQ((*response)["error"]["message"], "method not found: notifications/cancelled")
        << *response;
    answered.insert((*response)["id"].get<int>());
  }
  for (int id : {101, 102, 103}) EXPECT_TRUE(answered.count(id)) << id;
  EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](int id) { return !answered.count(id); }))
      << "the cancellation that ended the call was answered";
  server.close_stdin();
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST(ProtocolMethods, InitializeAndTheFormElicitationLine) {
  Started s;
  const json init_result = {
      {"capabilities", {{"prompts", json::object()}, {"tools", json::object()}}},
      {"protocolVersion", "2024-11-05"},
      {"serverInfo", {{"name", "tarnwick"}, {"version", "0.12.1"}}}};
  EXPECT_EQ(
      s.ask(
          R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"1999","capabilities":{"elicitation":{"form":{}}},"clientInfo":{"name":"x"}}})"),
      info("client supports elicitation (form)"));
  EXPECT_EQ(s.server.read_json(), result(1, init_result));
  EXPECT_EQ(
      s.ask(
          R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"capabilities":{"elicitation":{"form":null}}}})"),
      info("client supports elicitation (form)"));
  EXPECT_EQ(s.server.read_json(), result(2, init_result));
  // No "form": no line; no params at all: no line either.
  EXPECT_EQ(
      s.ask(
          R"({"jsonrpc":"2.0","id":3,"method":"initialize","params":{"capabilities":{"elicitation":{}}}})"),
      result(3, init_result));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":4,"method":"initialize"})"), result(4, init_result));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":[1]})"),
            result(5, init_result));
  s.finish();
}

TEST(ProtocolMethods, PingShutdownToolsListAndUnknownMethods) {
  Started s;
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"x":1}})"),
            result(1, json::object()));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":2,"method":"shutdown"})"), result(2, nullptr));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"), result(3, json::object()));
  json first = s.ask(R"({"jsonrpc":"2.0","id":4,"method":"tools/list"})").value_or(json());
  ASSERT_TRUE(first["result"]["tools"].is_array());
  EXPECT_EQ(first["result"].size(), 1u);
  json second = s.ask(R"({"jsonrpc":"2.0","id":4,"method":"tools/list"})").value_or(json());
  EXPECT_EQ(first, second);
  for (const char* method :
       {"resources/list", "logging/setLevel", "notifications/initialized", "Ping"}) {
    EXPECT_EQ(s.ask(json{{"jsonrpc", "2.0"}, {"id", 6}, {"method", method}}.dump()),
              error(6, -32601, std::string("method not found: ") + method));
  }
  // With the tool backend wired in, tools/call is known and wants params.
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":7,"method":"tools/call"})"),
            error(7, -32602, "tools/call requires params"));
  s.finish();
}

TEST(ProtocolMethods, SetupPrompt) {
  const std::string description =
      "Check whether this repository's Pellimar instruction files include the tarnwick section "
      "that directs "
      "Pellimar to use MCP tools instead of running cargo commands in a terminal. If anything is "
      "missing or "
      "incomplete, add it in the appropriate instruction file and commit the change.";
  const std::string text =
      "Run the cargo_setup tool and then, based on its output, check whether this repository's "
      "Pellimar "
      "instruction files already direct Pellimar to use the tarnwick MCP tools instead of running "
      "cargo commands "
      "in a terminal. If the instructions are missing or incomplete, add the tarnwick section to "
      "the appropriate "
      "instruction file (adapting the wording to fit the project's existing style) and commit the "
      "change.";
  Started s;
  EXPECT_EQ(
      s.ask(R"({"jsonrpc":"2.0","id":1,"method":"prompts/list"})"),
      result(
          1,
          {{"prompts",
            {{{"arguments", json::array()}, {"description", description}, {"name", "setup"}}}}}));
  json messages =
      json::array({{{"content", {{"text", text}, {"type", "text"}}}, {"role", "user"}}});
  EXPECT_EQ(
      s.ask(
          R"({"jsonrpc":"2.0","id":2,"method":"prompts/get","params":{"name":"setup","arguments":{"a":1}}})"),
      result(2, {{"description", description}, {"messages", messages}}));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":3,"method":"prompts/get","params":{"name":"Setup"}})"),
            error(3, -32601, "unknown prompt: \"Setup\""));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":4,"method":"prompts/get"})"),
            error(4, -32601, "unknown prompt: \"\""));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":5,"method":"prompts/get","params":{"name":5}})"),
            error(5, -32601, "unknown prompt: \"\""));
  EXPECT_EQ(s.ask(R"({"jsonrpc":"2.0","id":6,"method":"prompts/get","params":{"name":"a\"b\n"}})"),
            error(6, -32601, "unknown prompt: \"a\\\"b\\n\""));
  s.finish();
}

}  // namespace
}  // namespace tarnwick::e2e
