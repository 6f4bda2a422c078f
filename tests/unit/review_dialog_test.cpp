#include "suggest/review_dialog.h"

#include <gtest/gtest.h>

#include "../common/stdout_capture.h"

namespace tarnwick {
namespace {

using testing::StdoutCapture;
using Ids = std::optional<std::vector<uint64_t>>;

Suggestion review(uint64_t id, std::optional<std::string> code, std::string file = "src/lib.rs") {
  Suggestion s;
  s.id = id;
  s.code = std::move(code);
  s.message = s.diagnostic_message = "m" + std::to_string(id);
  s.file_name = std::move(file);
  s.line_start = id;
  s.applicability = Applicability::MaybeIncorrect;
  return s;
}

std::string label(uint64_t id) {
  return "lib.rs:" + std::to_string(id) + " \u2014 m" + std::to_string(id) + " (may be incorrect)";
}

json option(const std::string& value, const std::string& title) {
  return {{"const", value}, {"title", title}};
}

const json kSkip = option("skip:all", "\u2205 Skip all \u2014 apply none of these suggestions");

std::vector<uint64_t> ids_of(const std::vector<Suggestion>& list) {
  std::vector<uint64_t> ids;
  for (const Suggestion& s : list) ids.push_back(s.id);
  return ids;
}

/// Runs a dialog whose requests get the queued selections as accepted
/// answers, in turn; a missing selection declines.
class DialogTest : public ::testing::Test {
 protected:
  Ids run(const std::vector<Suggestion>& list, const std::vector<json>& selections) {
    std::string stale;  // answers a previous dialog left unread
    while (channel.recv_until(Deadline::after({}), stale) == LineChannel::Status::Line) {
    }
    // Peeking takes one id; the dialog's requests take the next ones.
    uint64_t next = std::stoull(next_elicitation_id().substr(2)) + 1;
    for (const json& selected : selections)
      channel.send(to_json_text({{"jsonrpc", "2.0"},
                                 {"id", "s-" + std::to_string(next++)},
                                 {"result",
                                  {{"action", "accept"}, {"content", {{"selected", selected}}}}}}) +
                   "\n");
    channel.send(
        to_json_text({{"id", "s-" + std::to_string(next)}, {"result", {{"action", "decline"}}}}) +
        "\n");
    StdoutCapture capture;
    Ids ids = elicit_suggestions({channel, kElicitationTimeout, [](int) {}, nullptr}, list);
    lines = capture.finish_messages();
    return ids;
  }

  std::vector<json> requests() const {
    std::vector<json> out;
    for (const json& line : lines)
      if (line.value("method", "") == "elicitation/create") out.push_back(line);
    return out;
  }

  static json options_of(const json& request) {
    return request["params"]["requestedSchema"]["properties"]["selected"]["items"]["anyOf"];
  }

  LineChannel channel;
  std::vector<json> lines;
};

TEST_F(DialogTest, UpToFourSuggestionsAreOneFlatList) {
  std::vector<Suggestion> four = {review(1, "a"), review(2, "a"), review(3, "b"), review(4, {})};
  EXPECT_EQ(run(four, {json::array({"+3", "-3", "+", "3a", "", "123456789012345678901", "1"})}),
            (std::vector<uint64_t>{3, 1}));
  ASSERT_EQ(requests().size(), 1u);
  const json request = requests()[0];
  EXPECT_EQ(
      request["params"]["message"],
      "Cargo found 4 suggestion(s) that need human review. Safe, machine-verified fixes were "
      "already reported. Check the ones you\u2019d like applied, or select \u2205 Skip all at "
      "the bottom to apply nothing:");
  EXPECT_EQ(
      request["params"]["requestedSchema"],
      json({{"type", "object"},
            {"required", {"selected"}},
            {"properties",
             {{"selected",
               {{"type", "array"},
                {"title", "Review these suggestions"},
                {"description",
                 "These suggestions may change behaviour or contain placeholders. Check the ones "
                 "you want applied. To apply nothing, check \u2205 Skip all at the bottom of the "
                 "list."},
                {"items",
                 {{"anyOf",
                   {option("1", label(1)), option("2", label(2)), option("3", label(3)),
                    option("4", label(4)), kSkip}}}}}}}}}));

  EXPECT_EQ(run(four, {json::array({"skip:all", "3"})}), std::vector<uint64_t>{});
  EXPECT_EQ(run(four, {json::array()}), std::vector<uint64_t>{});
  EXPECT_EQ(run(four, {}), std::nullopt);
}

TEST_F(DialogTest, GroupsComeLargestFirstAndCodelessOnesStandAlone) {
  std::vector<Suggestion> list = {review(1, {}),  review(2, "b"), review(3, "a"), review(4, "b"),
                                  review(5, "a"), review(6, {}),  review(7, "c")};
  std::vector<SuggestionGroup> groups = group_by_lint(list);
  ASSERT_EQ(groups.size(), 5u);
  std::vector<std::string> keys;
  for (const SuggestionGroup& g : groups) keys.push_back(g.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "_id:1", "_id:6", "c"}));
  EXPECT_EQ(ids_of(groups[0].members), (std::vector<uint64_t>{2, 4}));
  EXPECT_EQ(groups[2].display, label(1));
  EXPECT_EQ(groups[4].display, "c");

  list[1].file_name = "src\\main.rs";
  groups = group_by_path(list);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].key, "src/lib.rs");
  EXPECT_EQ(groups[1].display, "src\\main.rs");
}

TEST_F(DialogTest, FiveOrMoreAreGroupedByLintThenOnceByFile) {
  std::vector<Suggestion> list = {review(1, "clippy::x"), review(2, "clippy::x"),
                                  review(3, "other", "src/main.rs"), review(4, "clippy::x"),
                                  review(5, "clippy::x", "src/main.rs")};
  // "all:" of a group plus one of its members: each id once, sorted.
  EXPECT_EQ(run(list, {json::array({"5", "all:clippy::x", "all:nope", "3"})}),
            (std::vector<uint64_t>{1, 2, 3, 4, 5}));
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(requests()[0]["params"]["message"],
            "Cargo found 5 suggestion(s) that need human review (grouped by lint). Safe, "
            "machine-verified fixes were already reported. Check the ones you\u2019d like applied, "
            "or select \u2205 Skip all at the bottom to apply nothing:");
  const std::string main_label = "main.rs:3 \u2014 m3 (may be incorrect)";
  EXPECT_EQ(options_of(requests()[0]),
            json::array({option("all:clippy::x", "\u25B6 Select all: clippy::x (4 instances)"),
                         option("1", "  \u2013 " + label(1)), option("2", "  \u2013 " + label(2)),
                         option("4", "  \u2013 " + label(4)),
                         option("5", "  \u2013 main.rs:5 \u2014 m5 (may be incorrect)"),
                         option("3", main_label),
                         option("view:by-path", "\u21BB Switch view: group by file path"), kSkip}));

  // A switch drops the rest of its answer and asks again, grouped by file.
  EXPECT_EQ(run(list, {json::array({"1", "view:by-path", "view:by-lint"}),
                       json::array({"all:src/main.rs"})}),
            (std::vector<uint64_t>{3, 5}));
  std::vector<json> asked = requests();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_NE(asked[0]["id"], asked[1]["id"]);
  EXPECT_NE(
      asked[1]["params"]["message"].get<std::string>().find("human review (grouped by file). Safe"),
      std::string::npos);
  const json by_file = options_of(asked[1]);
  EXPECT_EQ(by_file[0], option("all:src/lib.rs", "\u25B6 Select all: src/lib.rs (3 instances)"));
  EXPECT_EQ(by_file[by_file.size() - 2],
            option("view:by-lint", "\u21BB Switch view: group by lint code"));
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      json{{"jsonrpc", "2.0"},
                           {"method", "notifications/message"},
                           {"params",
                            {{"data", "tarnwick: user switched elicitation view to ByPath"},
                             {"level", "info"},
                             {"logger", "tarnwick"}}}}),
            lines.end());

  // Switching back ends the review after two requests.
  EXPECT_EQ(run(list, {json::array({"view:by-path"}), json::array({"view:by-lint", "1"})}),
            std::nullopt);
  EXPECT_EQ(requests().size(), 2u);
  EXPECT_EQ(lines.back()["params"]["data"], "tarnwick: user switched elicitation view to ByLint");

  EXPECT_EQ(run(list, {json::array({"skip:all", "3"})}), std::vector<uint64_t>{});
  EXPECT_EQ(run(list, {}), std::nullopt);
}

}  // namespace
}  // namespace tarnwick
