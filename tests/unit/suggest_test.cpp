#include "suggest/suggest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/json_text.h"

namespace tarnwick {
namespace {

/// Output of `cargo check --message-format=json` on a small crate with an
/// unused import, two unused imports in one `use`, an unneeded `mut` and a
/// function name that is not snake case.
std::string captured_check_output() {
  std::filesystem::path file = std::filesystem::path(__FILE__).parent_path().parent_path() /
                               "data" / "cargo_check_suggestions.jsonl";
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

/// One compiler-message line around the given diagnostic node.
std::string compiler_line(const json& message) {
  return to_json_text(json{{"reason", "compiler-message"}, {"message", message}}) + "\n";
}

json span(const char* replacement, const char* applicability, uint64_t line = 3,
          uint64_t column = 5, const char* file = "src/lib.rs") {
  return json{{"file_name", file},
              {"line_start", line},
              {"line_end", line},
              {"column_start", column},
              {"column_end", column + 2},
              {"suggested_replacement", replacement},
              {"suggestion_applicability", applicability}};
}

TEST(CollectSuggestions, ReadsRealCargoCheckOutput) {
  std::string text = captured_check_output();
  ASSERT_FALSE(text.empty());
  std::vector<Suggestion> s = collect_suggestions(text);
  ASSERT_EQ(s.size(), 4u);
  for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i].id, i + 1);

  // Help children carry a null code and inherit the diagnostic's code.
  EXPECT_EQ(s[0].code, "unused_imports");
  EXPECT_EQ(s[0].message, "remove the whole `use` item");
  EXPECT_EQ(s[0].diagnostic_message, "unused import: `std::collections::HashMap`");
  EXPECT_EQ(s[0].applicability, Applicability::MachineApplicable);
  EXPECT_EQ(suggestion_title(s[0]),
            "[unused_imports] remove the whole `use` item (src/main.rs:1:1)");

  // Two imports removed from one `use` form one fix of several edits.
  EXPECT_EQ(s[1].message, "remove the unused imports");
  ASSERT_EQ(s[1].spans.size(), 4u);
  EXPECT_EQ(s[1].line_start, 2u);
  EXPECT_EQ(s[1].column_start, s[1].spans[0].column_start);
  EXPECT_EQ(s[1].column_end, s[1].spans[0].column_end);

  EXPECT_EQ(s[2].code, "unused_mut");
  EXPECT_EQ(s[2].line_start, 6u);

  EXPECT_EQ(s[3].code, "non_snake_case");
  EXPECT_EQ(s[3].applicability, Applicability::MaybeIncorrect);
  EXPECT_EQ(s[3].replacement, "make_total");
  EXPECT_EQ(suggestion_title(s[3]),
            "[non_snake_case] convert the identifier to snake case [maybe-incorrect] "
            "(src/main.rs:4:4)");
  EXPECT_EQ(suggestion_choice_label(s[3]),
            "main.rs:4 \u2014 function `MakeTotal` should have a snake case name "
            "(may be incorrect)");

  EXPECT_EQ(format_suggestion_list({s[0], s[3]}),
            "  1. [unused_imports] remove the whole `use` item (src/main.rs:1:1)\n"
            "(remove text)\n"
            "  4. [non_snake_case] convert the identifier to snake case [maybe-incorrect] "
            "(src/main.rs:4:4)\n"
            "     replacement: make_total\n");
}

TEST(CollectSuggestions, GroupsSpansOfOneNodeAndSkipsNonSuggestions) {
  json top = {{"message", "top"},
              {"code", {{"code", "E0001"}}},
              {"spans", json::array({span("a", "HasPlaceholders", 3, 5),
                                     span("b", "MachineApplicable", 9, 1), span("c", "Unspecified"),
                                     json{{"file_name", "x"}}, 7})},
              {"children", json::array()}};
  std::vector<Suggestion> s = collect_suggestions(compiler_line(top));
  ASSERT_EQ(s.size(), 1u);
  ASSERT_EQ(s[0].spans.size(), 2u);
  EXPECT_EQ(s[0].applicability, Applicability::HasPlaceholders);
  EXPECT_EQ(s[0].replacement, "a");
  EXPECT_EQ(s[0].line_start, 3u);
  EXPECT_EQ(s[0].spans[1].replacement, "b");
  EXPECT_EQ(s[0].message, "top");
  EXPECT_EQ(s[0].diagnostic_message, "top");

  // A node whose only span is not a suggestion yields nothing, but its
  // children are still visited.
  json unsure = {
      {"message", "warn"},
      {"spans", json::array({span("x", "Unspecified"),
                             [] {
                               json j = span("y", "MachineApplicable");
                               j["suggestion_applicability"] = nullptr;
                               return j;
                             }()})},
      {"children",
       json::array({{{"message", "help"}, {"spans", json::array({span("", "MaybeIncorrect")})}}})}};
  s = collect_suggestions(compiler_line(unsure));
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].message, "help");
  EXPECT_EQ(s[0].code, std::nullopt);
  EXPECT_EQ(suggestion_title(s[0]), "help [maybe-incorrect] (src/lib.rs:3:5)");
}

TEST(CollectSuggestions, ChildrenInheritCodeAndMessageDepthFirst) {
  json grandchild = {{"code", {{"code", "own_code"}}},
                     {"spans", json::array({span("g", "MachineApplicable")})}};
  json first_child = {{"message", "first"},
                      {"code", nullptr},
                      {"spans", json::array({span("f", "MachineApplicable")})},
                      {"children", json::array({grandchild})}};
  json second_child = {
      {"spans", json::array({span("s", "MachineApplicable", 8, 2, "src\\lib.rs")})}};
  json top = {{"message", "the diagnostic"},
              {"code", {{"code", "lint_x"}}},
              {"spans", json::array({span("t", "MachineApplicable")})},
              {"children", json::array({json::object(), 5, first_child, second_child})}};
  json other = {{"message", "next line"}, {"spans", json::array({span("n", "MachineApplicable")})}};
  std::string text = "Compiling things\n" + compiler_line(top) + "not json {\n" +
                     R"({"reason":"compiler-artifact","message":{"spans":[]}})"
                     "\n" +
                     R"({"reason":"compiler-message","message":"text"})"
                     "\n" +
                     R"({"reason":"x-tarnwick-note"})"
                     "\r\n  " +
                     compiler_line(other);
  std::vector<Suggestion> s = collect_suggestions(text);
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[0].replacement, "t");
  EXPECT_EQ(s[1].replacement, "f");
  EXPECT_EQ(s[2].replacement, "g");
  EXPECT_EQ(s[3].replacement, "s");
  EXPECT_EQ(s[4].replacement, "n");
  EXPECT_EQ(s[4].id, 5u);

  EXPECT_EQ(s[1].code, "lint_x");  // null code inherits the parent's
  EXPECT_EQ(s[2].code, "own_code");
  EXPECT_EQ(s[2].message, "first");  // no message: the parent's
  EXPECT_EQ(s[3].message, "the diagnostic");
  EXPECT_EQ(s[2].diagnostic_message, "the diagnostic");
  EXPECT_EQ(suggestion_title(s[2]), "[own_code] first (src/lib.rs:3:5)");
  // The label shows the top-level message and the file's last component.
  EXPECT_EQ(suggestion_choice_label(s[2]), "lib.rs:3 \u2014 the diagnostic");
  EXPECT_EQ(suggestion_choice_label(s[3]), "lib.rs:8 \u2014 the diagnostic");
  EXPECT_EQ(suggestion_title(s[4]), "next line (src/lib.rs:3:5)");
}

TEST(CollectSuggestions, BadPositionsReadAsZeroAndNoJsonYieldsNothing) {
  json bad = span("r", "MachineApplicable");
  bad["line_start"] = -1;
  bad["column_start"] = 4.0;
  bad.erase("line_end");
  bad["file_name"] = 12;
  std::vector<Suggestion> s =
      collect_suggestions(compiler_line({{"message", "m"}, {"spans", json::array({bad})}}));
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].line_start, 0u);
  EXPECT_EQ(s[0].column_start, 0u);
  EXPECT_EQ(s[0].line_end, 0u);
  EXPECT_EQ(s[0].file_name, "");
  EXPECT_EQ(s[0].column_end, 7u);

  EXPECT_TRUE(collect_suggestions("").empty());
  EXPECT_TRUE(collect_suggestions("error: could not compile\n\n   \nwarning: x\n").empty());
}

// Lines read in place, lines left to the parser (an escaped key, a repeated
// key, spaced-out members, invalid UTF-8) and lines skipped unread must all
// give what the parser gives.
TEST(CollectSuggestions, EveryWayOfReadingALineAgrees) {
  std::string plain =
      compiler_line({{"message", "m"}, {"spans", json::array({span("r", "MachineApplicable")})}});
  plain.pop_back();
  std::string escaped_key = plain;
  escaped_key.replace(escaped_key.find("suggested_replacement"), 9, "sugg\\u0065sted");
  std::string spaced = plain;
  spaced.replace(spaced.find("\"suggested_replacement\":"), 24, "\"suggested_replacement\" \t:\r ");
  std::string repeated = plain;
  repeated.replace(repeated.find("\"message\":\"m\""), 13, R"("message":"x","message":"m")");
  std::string bad_utf8 = plain;
  bad_utf8.replace(bad_utf8.find("src/lib.rs"), 3, "s\xFF");
  for (const std::string& line : {plain, escaped_key, spaced, repeated}) {
    std::vector<Suggestion> s = collect_suggestions(line + "\n");
    ASSERT_EQ(s.size(), 1u) << line;
    EXPECT_EQ(s[0].message, "m") << line;
    EXPECT_EQ(s[0].replacement, "r") << line;
    EXPECT_EQ(s[0].line_start, 3u) << line;
  }
  std::vector<Suggestion> repaired = collect_suggestions(bad_utf8);
  ASSERT_EQ(repaired.size(), 1u);
  EXPECT_EQ(repaired[0].file_name, "s\xEF\xBF\xBD/lib.rs");
  std::string null_replacement = plain;
  null_replacement.replace(null_replacement.find("\"r\""), 3, "null");
  EXPECT_TRUE(collect_suggestions(null_replacement).empty());
}

TEST(SuggestionTexts, LabelsAndListingFollowApplicability) {
  Suggestion s;
  s.id = 2;
  s.message = "use it";
  s.file_name = "src/dir/";
  s.line_start = 10;
  s.column_start = 3;
  s.applicability = Applicability::HasPlaceholders;
  EXPECT_EQ(suggestion_title(s), "use it [has-placeholders] (src/dir/:10:3)");
  EXPECT_EQ(suggestion_choice_label(s), ":10 \u2014 use it (has placeholders)");
  s.file_name = "main.rs";
  s.diagnostic_message = "top";
  EXPECT_EQ(suggestion_choice_label(s), "main.rs:10 \u2014 top (has placeholders)");

  auto listed = [&](const std::string& replacement) {
    s.replacement = replacement;
    return format_suggestion_list({s});
  };
  const std::string head = "  2. use it [has-placeholders] (main.rs:10:3)\n";
  EXPECT_EQ(listed(""), head + "(remove text)\n");
  EXPECT_EQ(listed(std::string(80, 'a')),
            head + "     replacement: " + std::string(80, 'a') + "\n");
  EXPECT_EQ(listed(std::string(81, 'a')),
            head + "     replacement: " + std::string(77, 'a') + "...\n");
  EXPECT_EQ(listed("a\nb"), head + "     replacement: a\nb\n");
  // The length test counts bytes, the cut counts characters.
  std::string wide;
  for (int i = 0; i < 41; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(listed(wide), head + "     replacement: " + wide + "...\n");
  std::string wider;
  for (int i = 0; i < 78; ++i) wider += "\xC3\xA9";
  EXPECT_EQ(listed(wider), head + "     replacement: " + wider.substr(0, 154) + "...\n");
  EXPECT_EQ(format_suggestion_list({}), "");
}

}  // namespace
}  // namespace tarnwick
