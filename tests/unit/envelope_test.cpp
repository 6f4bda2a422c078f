#include "server/envelope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "../common/stdout_capture.h"
#include "peak_memory.h"
#include "server/call_log.h"
#include "suggest/selection.h"

namespace tarnwick {
namespace {

using testing::StdoutCapture;

/// Ids joined by commas, so the sections show which suggestions went where.
std::string ids_of(const std::vector<Suggestion>& list) {
  std::string out;
  for (const Suggestion& s : list) out += (out.empty() ? "" : ",") + std::to_string(s.id);
  return out;
}

Suggestion suggestion(uint64_t id, Applicability applicability) {
  Suggestion s;
  s.id = id;
  s.applicability = applicability;
  return s;
}

/// A backend whose tool is scripted per test and whose suggestion texts show
/// which operation rendered which ids.
struct TestBackend {
  std::function<ToolOutcome(std::string_view, json, const ProgressSink*, CancelFlag)> tool;
  std::optional<std::vector<uint64_t>> dialog_answer;
  std::vector<std::vector<uint64_t>> dialogs;  // review ids each dialog was asked about
  bool has_dialog = true;

  ToolBackend backend() {
    ToolBackend b;
    b.handle_tool_call = [this](std::string_view name, json args, const ProgressSink* sink,
                                CancelFlag cancel) {
      return tool(name, std::move(args), sink, std::move(cancel));
    };
    if (has_dialog)
      b.elicit_suggestions = [this](ToolCallContext&, const std::vector<Suggestion>& review) {
        std::vector<uint64_t> ids;
        for (const Suggestion& s : review) ids.push_back(s.id);
        dialogs.push_back(ids);
        return dialog_answer;
      };
    b.filter_records_by_id = select_by_ids;
    b.format_selection = [](const std::vector<Suggestion>& list) {
      return list.empty() ? std::string("No suggestions selected.") : "SEL[" + ids_of(list) + "]";
    };
    b.format_suggestion_list = [](const std::vector<Suggestion>& list) {
      return "LIST[" + ids_of(list) + "]";
    };
    return b;
  }
};

struct CallResult {
  Outcome outcome;
  std::vector<json> lines;  // everything written to standard output
};

class EnvelopeTest : public ::testing::Test {
 protected:
  CallResult call(const std::optional<json>& params, bool form = false,
                  ElicitationMode mode = ElicitationMode::AlwaysSkip, const json& id = json(1)) {
    ToolBackend backend = test.backend();
    ToolCallContext context{channel, slot};
    Message request;
    request.id = id;
    request.id_text = to_json_text(id);
    request.params = params;
    const std::string params_text = params ? to_json_text(*params) : "";
    request.params_text = params_text;
    StdoutCapture capture;
    Outcome outcome = run_tools_call(backend, request, form, mode, 0, context);
    return {std::move(outcome), capture.finish_messages()};
  }

  /// The result's text items.
  static std::vector<std::string> texts(const Outcome& outcome) {
    std::vector<std::string> out;
    for (const json& item : outcome.result->at("content")) {
      EXPECT_EQ(item.at("type"), "text");
      out.push_back(item.at("text").get<std::string>());
    }
    return out;
  }

  static std::vector<json> with_method(const std::vector<json>& lines, const std::string& method) {
    std::vector<json> out;
    for (const json& line : lines)
      if (line.value("method", "") == method) out.push_back(line);
    return out;
  }

  TestBackend test;
  LineChannel channel;
  InFlightSlot slot;
};

TEST_F(EnvelopeTest, MissingParamsIsAProtocolErrorWithoutLogOrCall) {
  bool called = false;
  test.tool = [&](auto...) -> ToolOutcome {
    called = true;
    return ToolText{"x"};
  };
  for (const std::optional<json>& params : {std::optional<json>(), std::optional<json>(nullptr)}) {
    CallResult r = call(params);
    ASSERT_FALSE(r.outcome.result);
    EXPECT_EQ(r.outcome.error.code, -32602);
    EXPECT_EQ(r.outcome.error.message, "tools/call requires params");
    EXPECT_TRUE(r.lines.empty());
  }
  EXPECT_FALSE(called);
}

TEST_F(EnvelopeTest, ReadsNameAndArgumentsAndLogsTheCall) {
  std::string seen_name;
  json seen_args;
  test.tool = [&](std::string_view name, json args, const ProgressSink*,
                  CancelFlag) -> ToolOutcome {
    seen_name = std::string(name);
    seen_args = std::move(args);
    return ToolText{"ok"};
  };

  CallResult r = call(json::array({1, 2}));
  EXPECT_EQ(seen_name, "");
  EXPECT_EQ(seen_args, json::object());
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0]["params"],
            json({{"data", "tools/call received: id=1 name=\"\" arguments={}"},
                  {"level", "info"},
                  {"logger", "tarnwick"}}));

  r = call(json{{"name", "cargo_build"}, {"arguments", nullptr}});
  EXPECT_EQ(seen_name, "cargo_build");
  EXPECT_TRUE(seen_args.is_null());
  EXPECT_EQ(r.lines.at(0)["params"]["data"],
            "tools/call received: id=1 name=\"cargo_build\" arguments=null");
  call(json{{"name", 7}, {"arguments", "text"}});
  EXPECT_EQ(seen_name, "");
  EXPECT_EQ(seen_args, "text");
  call(json{{"name", "cargo_build"}});
  EXPECT_EQ(seen_args, json::object());

  r = call(json{{"name", "cargo_build"}, {"arguments", {{"b", 1}, {"a", "q"}}}}, false,
           ElicitationMode::AlwaysSkip, json("a\"b"));
  EXPECT_EQ(
      r.lines.at(0)["params"]["data"],
      "tools/call received: id=\"a\\\"b\" name=\"cargo_build\" arguments={\"a\":\"q\",\"b\":1}");
}

TEST_F(EnvelopeTest, OutcomesBecomeResults) {
  const json params = {{"name", "cargo_check"}};
  ToolOutcome next = ToolText{"fine"};
  test.tool = [&](auto...) { return next; };

  CallResult r = call(params);
  EXPECT_EQ(*r.outcome.result, json({{"content", {{{"text", "fine"}, {"type", "text"}}}}}));
  EXPECT_FALSE(r.outcome.result->contains("isError"));

  next = ToolText{"cargo said no", true};
  r = call(params);
  EXPECT_EQ(r.outcome.result->at("isError"), true);
  EXPECT_EQ(texts(r.outcome), std::vector<std::string>{"cargo said no"});
  EXPECT_EQ(with_method(r.lines, "notifications/message").size(), 1u);  // the call's info line only

  next = ToolFailed{make_error("boom")};
  r = call(params);
  EXPECT_EQ(r.outcome.result->at("isError"), true);
  EXPECT_EQ(texts(r.outcome), std::vector<std::string>{"error: boom"});
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[1]["params"]["level"], "warning");
  EXPECT_EQ(r.lines[1]["params"]["data"], "tool 'cargo_check' failed: boom");

  next = ToolFailed{TimeoutError{Duration{2, 0}}};
  r = call(params);
  ASSERT_EQ(texts(r.outcome).size(), 1u);
  EXPECT_TRUE(texts(r.outcome)[0].starts_with("error: Operation timed out after 2"));
  EXPECT_EQ(r.lines.size(), 2u);

  next = ToolFailed{CancelledError{}};
  r = call(params);
  EXPECT_EQ(
      to_json_text(*r.outcome.result),
      R"({"content":[{"text":"Operation cancelled by client request.","type":"text"}],"isError":true})");
  EXPECT_EQ(r.lines.size(), 1u);  // no warning for a cancelled call
}

TEST_F(EnvelopeTest, RequestIsInFlightOnlyWhileTheToolRuns) {
  bool cancelled_seen = false;
  test.tool = [&](std::string_view, json, const ProgressSink*, CancelFlag cancel) -> ToolOutcome {
    EXPECT_FALSE(cancel->load());
    EXPECT_FALSE(slot.cancel(json(5)));    // another id
    EXPECT_FALSE(slot.cancel(json("4")));  // same digits, other type
    EXPECT_TRUE(slot.cancel(json(4)));
    cancelled_seen = cancel->load();
    return ToolFailed{CancelledError{}};
  };
  call(json{{"name", "slow"}}, false, ElicitationMode::AlwaysSkip, json(4));
  EXPECT_TRUE(cancelled_seen);
  EXPECT_FALSE(slot.cancel(json(4)));
}

TEST_F(EnvelopeTest, TheCallLogHidesEnvValuesAndCutsLongArguments) {
  test.tool = [&](auto...) -> ToolOutcome { return ToolText{"ok"}; };
  auto logged = [&](const json& arguments) {
    CallResult r = call(json{{"name", "t"}, {"arguments", arguments}});
    return r.lines.at(0)["params"]["data"].get<std::string>();
  };
  EXPECT_EQ(logged(json{{"env", {{"TOKEN", "s3cret"}, {"GONE", nullptr}}}, {"x", "s3cret"}}),
            R"(tools/call received: id=1 name="t" arguments={"env":{"GONE":"<redacted>",)"
            R"("TOKEN":"<redacted>"},"x":"s3cret"})");
  EXPECT_EQ(logged(json{{"env", "TOKEN=s3cret"}}),
            R"(tools/call received: id=1 name="t" arguments={"env":"<redacted>"})");

  const std::string big(10000, 'a');
  std::string line = logged(json{{"p", big}});
  const std::string prefix = R"(tools/call received: id=1 name="t" arguments={"p":")";
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  EXPECT_EQ(line.size(),
            prefix.size() + 4096 - 6 + std::string("... (5912 more bytes truncated)").size());
  EXPECT_TRUE(line.ends_with("aaa... (5912 more bytes truncated)"))
      << line.substr(line.size() - 60);
}

TEST(CallLog, AHugeArgumentIsNeverWrittenOutWhole) {
  const json arguments = {{"env", {{"K", "v"}}}, {"p", std::string(15 << 20, 'a')}};
  const json no_env = {{"p", arguments["p"]}};
  long before = testing::peak_kib_since_reset(true);
  if (before < 0) GTEST_SKIP() << "no peak memory figures";
  std::string with_env_text = arguments_for_log(arguments);
  std::string plain_text = arguments_for_log(no_env);
  long grown = testing::peak_kib_since_reset(false) - before;
  EXPECT_LT(grown, 8 * 1024) << "KiB beyond the 15 MiB arguments";
  const std::string head = R"({"env":{"K":"<redacted>"},"p":")";
  const size_t whole = head.size() + (15 << 20) + 2;  // with the closing `"}`
  EXPECT_EQ(with_env_text, head + std::string(4096 - head.size(), 'a') + "... (" +
                               std::to_string(whole - 4096) + " more bytes truncated)");
  EXPECT_TRUE(plain_text.ends_with("a... (" + std::to_string((15 << 20) + 8 - 4096) +
                                   " more bytes truncated)"));
}

TEST_F(EnvelopeTest, ProgressOnlyWithATokenAndCountedPerCall) {
  ProgressSink kept;
  bool had_sink = false;
  test.tool = [&](std::string_view, json, const ProgressSink* sink, CancelFlag) -> ToolOutcome {
    had_sink = sink != nullptr;
    if (sink) {
      for (const char* line : {"one", "", "42", "two", "tarnwick: three"}) (*sink)(line);
      kept = *sink;
    }
    return ToolText{"done"};
  };

  for (const json& params :
       {json{{"name", "cargo_build"}}, json{{"name", "cargo_build"}, {"_meta", "tok"}},
        json{{"name", "cargo_build"}, {"_meta", {{"other", 1}}}},
        json{{"name", "cargo_build"}, {"arguments", {{"_meta", {{"progressToken", 1}}}}}}}) {
    CallResult r = call(params);
    EXPECT_FALSE(had_sink) << params;
    EXPECT_TRUE(with_method(r.lines, "notifications/progress").empty());
  }

  for (const json& token : {json(nullptr), json("t-1"), json(17)}) {
    CallResult r = call(json{{"name", "cargo_build"}, {"_meta", {{"progressToken", token}}}});
    EXPECT_TRUE(had_sink);
    std::vector<json> progress = with_method(r.lines, "notifications/progress");
    ASSERT_EQ(progress.size(), 3u) << token;
    for (size_t i = 0; i < progress.size(); ++i) {
      EXPECT_EQ(progress[i]["params"]["progress"], i);
      EXPECT_EQ(progress[i]["params"]["progressToken"], token);
      ASSERT_TRUE(progress[i]["params"].contains("progressToken"));
    }
    EXPECT_EQ(progress[2]["params"]["message"], "tarnwick: three");
  }

  // A sink kept past the call's end stays silent.
  StdoutCapture capture;
  kept("late line");
  EXPECT_TRUE(capture.finish_messages().empty());
}

class SuggestionSections : public EnvelopeTest {
 protected:
  /// Answers with `fixes` auto-applicable and `reviews` review suggestions,
  /// interleaved in output order.
  void answer_with(int fixes, int reviews, bool is_error = false) {
    std::vector<Suggestion> list;
    uint64_t id = 1;
    for (int i = 0; i < std::max(fixes, reviews); ++i) {
      if (i < reviews)
        list.push_back(suggestion(
            id++, i % 2 ? Applicability::HasPlaceholders : Applicability::MaybeIncorrect));
      if (i < fixes) list.push_back(suggestion(id++, Applicability::MachineApplicable));
    }
    test.tool = [list, is_error](auto...) -> ToolOutcome {
      return ToolTextWithSuggestions{"out", list, is_error};
    };
  }

  std::vector<std::string> run(bool form, ElicitationMode mode) {
    return texts(call(json{{"name", "cargo_check"}}, form, mode).outcome);
  }
};

TEST_F(SuggestionSections, PlainWayCountsAndEndings) {
  using V = std::vector<std::string>;
  answer_with(0, 0);
  EXPECT_EQ(run(false, ElicitationMode::AlwaysSkip), V{"out"});
  // Ids: review 1, fix 2, review 3.
  answer_with(1, 2);
  EXPECT_EQ(run(false, ElicitationMode::AlwaysSkip),
            V{"out\n\n--- Auto-applicable (1 fix, safe to apply) ---\nLIST[2]"
              "\n--- Needs review (2 suggestions) ---\nLIST[1,3]"});
  // Ids: review 1, fix 2, fix 3.
  answer_with(2, 1);
  EXPECT_EQ(run(false, ElicitationMode::AlwaysSkip),
            V{"out\n\n--- Auto-applicable (2 fixes, safe to apply) ---\nLIST[2,3]"
              "\n--- Needs review (1 suggestion) ---\nLIST[1]"});
  answer_with(0, 1);
  EXPECT_EQ(run(false, ElicitationMode::AlwaysSkip),
            V{"out\n--- Needs review (1 suggestion) ---\nLIST[1]"});
  answer_with(2, 0);
  EXPECT_EQ(run(false, ElicitationMode::AlwaysSkip),
            V{"out\n\n--- Auto-applicable (2 fixes, safe to apply) ---\nLIST[1,2]"});

  // No dialog without form support, in always-skip mode, or with nothing to review.
  const std::string plain =
      "out\n\n--- Auto-applicable (2 fixes, safe to apply) ---\nLIST[2,3]"
      "\n--- Needs review (1 suggestion) ---\nLIST[1]";
  answer_with(2, 1);
  EXPECT_EQ(run(false, ElicitationMode::AlwaysAccept), V{plain});
  EXPECT_EQ(run(false, ElicitationMode::Prompt), V{plain});
  EXPECT_EQ(run(true, ElicitationMode::AlwaysSkip), V{plain});
  answer_with(1, 0);
  EXPECT_EQ(run(true, ElicitationMode::Prompt),
            V{"out\n\n--- Auto-applicable (1 fix, safe to apply) ---\nLIST[1]"});
  EXPECT_TRUE(test.dialogs.empty());
}

TEST_F(SuggestionSections, AlwaysAcceptSelectsEveryReviewWithoutDialog) {
  using V = std::vector<std::string>;
  answer_with(1, 2);
  EXPECT_EQ(run(true, ElicitationMode::AlwaysAccept),
            (V{"--- Auto-applicable (1 fix, safe to apply) ---\nSEL[2]SEL[1,3]", "out"}));
  answer_with(0, 1);
  EXPECT_EQ(run(true, ElicitationMode::AlwaysAccept), (V{"SEL[1]", "out"}));
  EXPECT_TRUE(test.dialogs.empty());
}

TEST_F(SuggestionSections, PromptAsksAboutReviewSuggestionsOnly) {
  using V = std::vector<std::string>;
  answer_with(2, 2, /*is_error=*/true);  // ids: review 1, fix 2, review 3, fix 4
  test.dialog_answer = std::vector<uint64_t>{3};
  CallResult r = call(json{{"name", "cargo_clippy"}}, true, ElicitationMode::Prompt);
  EXPECT_EQ(texts(r.outcome),
            (V{"--- Auto-applicable (2 fixes, safe to apply) ---\nSEL[2,4]SEL[3]", "out"}));
  EXPECT_EQ(r.outcome.result->at("isError"), true);
  ASSERT_EQ(test.dialogs.size(), 1u);
  EXPECT_EQ(test.dialogs[0], (std::vector<uint64_t>{1, 3}));

  // Ids that match no review suggestion (a fix's id among them) select nothing.
  test.dialog_answer = std::vector<uint64_t>{2, 99};
  EXPECT_EQ(run(true, ElicitationMode::Prompt),
            (V{"--- Auto-applicable (2 fixes, safe to apply) ---\nSEL[2,4]No suggestions selected.",
               "out"}));

  // Declined, or an empty choice: the auto part alone, or the output alone.
  for (const auto& answer : {std::optional<std::vector<uint64_t>>(),
                             std::optional<std::vector<uint64_t>>(std::vector<uint64_t>{})}) {
    test.dialog_answer = answer;
    answer_with(2, 2);
    EXPECT_EQ(run(true, ElicitationMode::Prompt),
              (V{"--- Auto-applicable (2 fixes, safe to apply) ---\nSEL[2,4]", "out"}));
    answer_with(0, 2);
    EXPECT_EQ(run(true, ElicitationMode::Prompt), V{"out"});
  }
}

TEST_F(SuggestionSections, PromptWithoutADialogListsReviewSuggestionsPlainly) {
  using V = std::vector<std::string>;
  test.has_dialog = false;
  answer_with(1, 1);  // ids: review 1, fix 2
  EXPECT_EQ(run(true, ElicitationMode::Prompt),
            V{"out\n\n--- Auto-applicable (1 fix, safe to apply) ---\nLIST[2]"
              "\n--- Needs review (1 suggestion) ---\nLIST[1]"});
  // Always-accept needs no dialog and still selects.
  EXPECT_EQ(run(true, ElicitationMode::AlwaysAccept),
            (V{"--- Auto-applicable (1 fix, safe to apply) ---\nSEL[2]SEL[1]", "out"}));
}

}  // namespace
}  // namespace tarnwick
