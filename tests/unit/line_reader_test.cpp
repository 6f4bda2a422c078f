#include "server/line_reader.h"

#include <gtest/gtest.h>

#include <deque>

namespace tarnwick {
namespace {

/// Feeds `lines` through the reader with `running_id` in flight; returns
/// what reached the channel and whether the running request was cancelled.
struct ReaderRun {
  std::vector<std::string> forwarded;
  bool cancelled = false;
};

ReaderRun run_reader(std::deque<std::string> lines, std::optional<json> running_id) {
  InFlightSlot slot;
  CancelFlag flag = make_cancel_flag();
  if (running_id) slot.begin(*running_id, flag);
  LineChannel channel;
  read_input_lines(
      [&]() -> std::optional<std::string> {
        if (lines.empty()) return std::nullopt;
        std::string line = lines.front();
        lines.pop_front();
        return line;
      },
      channel, slot);
  ReaderRun run;
  while (std::optional<std::string> line = channel.recv()) run.forwarded.push_back(*line);
  run.cancelled = flag->load();
  return run;
}

std::string cancel_line(const std::string& request_id) {
  return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
         request_id + R"(,"reason":"user"}})";
}

TEST(LineReader, CancellationOfTheRunningIdIsConsumed) {
  ReaderRun run = run_reader({cancel_line("7"), "{\"after\":1}"}, json(7));
  EXPECT_TRUE(run.cancelled);
  EXPECT_EQ(run.forwarded, std::vector<std::string>{"{\"after\":1}"});

  run = run_reader({cancel_line("\"abc\"") + "\r\n"}, json("abc"));
  EXPECT_TRUE(run.cancelled);
  EXPECT_TRUE(run.forwarded.empty());

  // Carrying an id of its own does not make it a request for the reader.
  std::string with_id =
      R"({"jsonrpc":"2.0","id":9,"method":"notifications/cancelled","params":{"requestId":7}})";
  run = run_reader({with_id}, json(7));
  EXPECT_TRUE(run.cancelled);
  EXPECT_TRUE(run.forwarded.empty());
}

TEST(LineReader, OnlyTheMethodAndTheRequestIdAreLookedAt) {
  for (const char* line :
       {R"({"method":"notifications/cancelled","params":{"requestId":7}})",
        R"({"jsonrpc":1,"method":"notifications/cancelled","params":{"requestId":7},"x":[]})"}) {
    ReaderRun run = run_reader({line}, json(7));
    EXPECT_TRUE(run.cancelled) << line;
    EXPECT_TRUE(run.forwarded.empty()) << line;
  }
  // The array form is a message to the loop, but no cancellation.
  const std::string array_form = R"(["2.0",null,"notifications/cancelled",{"requestId":7}])";
  ReaderRun run = run_reader({array_form}, json(7));
  EXPECT_FALSE(run.cancelled);
  EXPECT_EQ(run.forwarded, std::vector<std::string>{array_form});
}

TEST(LineReader, OtherLinesAreForwardedUnchanged) {
  const std::vector<std::string> lines = {
      cancel_line("\"7\""),  // other type
      cancel_line("7.0"),    // float is not the integer
      cancel_line("8"),
      cancel_line("null"),
      R"({"jsonrpc":"2.0","method":"notifications\/cancelled","params":{"requestId":7}})",  // escaped
                                                                                            // slash
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"id":7}})",
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":[7]})",
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"arguments":{"x":"notifications/cancelled"}}})",
      "notifications/cancelled {",
      "\n",
      "  plain line\r\n",
      "last line without a line feed",
  };
  ReaderRun run = run_reader({lines.begin(), lines.end()}, json(7));
  EXPECT_FALSE(run.cancelled);
  EXPECT_EQ(run.forwarded, lines);

  run = run_reader({cancel_line("7")}, std::nullopt);  // nothing in flight
  EXPECT_EQ(run.forwarded.size(), 1u);
}

TEST(LineReader, InvalidUtf8AndOverlongLinesArePassedOnForTheLoopToRefuse) {
  ReaderRun run = run_reader({"first", "bad \xFF byte", "", "after"}, std::nullopt);
  EXPECT_EQ(run.forwarded, (std::vector<std::string>{"first", "bad \xFF byte", "", "after"}));
  EXPECT_TRUE(is_overlong_line(""));
  EXPECT_FALSE(is_overlong_line("\n"));
}

TEST(LineReader, CancellationsAreReadWithTheLoopsParserAndLimits) {
  auto nested = [](int depth) {
    return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7,"x":)" +
           std::string(depth, '[') + std::string(depth, ']') + "}}";
  };
  for (const std::string& refused : {"\xEF\xBB\xBF" + cancel_line("7"),  // U+FEFF in front
                                     cancel_line("7") + std::string("\0junk", 5), nested(126)}) {
    ReaderRun run = run_reader({refused}, json(7));
    EXPECT_FALSE(run.cancelled) << refused.substr(0, 40);
    EXPECT_EQ(run.forwarded.size(), 1u);
  }
  // Unicode white space around the line is trimmed as the loop trims it.
  EXPECT_TRUE(run_reader({"\xC2\xA0" + cancel_line("7") + "\t\r\n"}, json(7)).cancelled);
  EXPECT_TRUE(run_reader({nested(125)}, json(7)).cancelled);  // 127 levels in all
  // Minus zero is a floating-point id and names no integer request.
  EXPECT_FALSE(run_reader({cancel_line("-0")}, json(0)).cancelled);
  EXPECT_TRUE(run_reader({cancel_line("-0")}, json(-0.0)).cancelled);
}

TEST(LineReader, ACancellationOfAWaitingRequestStopsItBeforeItStarts) {
  InFlightSlot slot;
  slot.begin(json(1), make_cancel_flag());
  EXPECT_FALSE(consume_cancellation(cancel_line("2"), slot));  // passed on, and remembered
  slot.clear();
  CancelFlag flag = make_cancel_flag();
  EXPECT_FALSE(slot.begin(json(2), flag));
  EXPECT_TRUE(flag->load());
  // Remembered once: the next request with that id runs.
  EXPECT_TRUE(slot.begin(json(2), make_cancel_flag()));
  slot.clear();

  // Once the loop has reached the cancellation, a later request with the id
  // was sent after it and runs, whatever else the line holds.
  for (const std::string& line :
       {cancel_line("3"),
        std::string(R"({"method":"notifications/cancelled","params":{"requestId":3}})")}) {
    EXPECT_FALSE(consume_cancellation(line, slot));
    forget_cancellation_in(line, slot);
    EXPECT_TRUE(slot.begin(json(3), make_cancel_flag())) << line;
    slot.clear();
  }

  // The memory is bounded; the oldest goes first.
  for (int id = 100; id < 100 + static_cast<int>(InFlightSlot::kMaxRemembered) + 1; ++id)
    EXPECT_FALSE(slot.cancel(json(id)));
  EXPECT_TRUE(slot.begin(json(100), make_cancel_flag()));
  slot.clear();
  EXPECT_FALSE(slot.begin(json(101), make_cancel_flag()));
}

}  // namespace
}  // namespace tarnwick
