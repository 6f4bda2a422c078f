#include "suggest/selection.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

Suggestion one_span(uint64_t id, std::string replacement) {
  Suggestion s;
  s.id = id;
  s.message = "remove this";
  s.file_name = "src/main.rs";
  s.line_start = s.line_end = 4;
  s.column_start = 9;
  s.column_end = 12;
  s.replacement = replacement;
  s.spans.push_back({s.file_name, 4, 4, 9, 12, replacement});
  return s;
}

TEST(Selection, SelectsInListOrderOnce) {
  std::vector<Suggestion> all;
  for (uint64_t id = 1; id <= 10; ++id) all.push_back(one_span(id, "x"));
  auto chosen = select_by_ids(all, {9, 2, 2, 42});
  ASSERT_EQ(chosen.size(), 2u);
  EXPECT_EQ(chosen[0].id, 2u);
  EXPECT_EQ(chosen[1].id, 9u);
  EXPECT_TRUE(select_by_ids(all, {}).empty());
}

TEST(Selection, FormatsSingleAndMultiSpanFixes) {
  EXPECT_EQ(format_selection({}), "No suggestions selected.");
  EXPECT_EQ(format_selection({one_span(1, "x")}),
            "1 suggestion(s) selected:\n\n"
            "1. remove this (src/main.rs:4:9)\n"
            "   File: src/main.rs lines 4-4, columns 9-12\n"
            "   Replace with: x\n\n");
  EXPECT_NE(format_selection({one_span(3, "")}).find("   Action: remove text in span\n"),
            std::string::npos);

  // Two spans are already a multi-span fix.
  Suggestion pair = one_span(4, "a");
  pair.spans.push_back({"src/lib.rs", 7, 7, 2, 5, "b"});
  EXPECT_NE(format_selection({pair}).find("   Multi-span fix (2 locations \u2014 apply all "
                                          "atomically):\n   (1) src/main.rs lines 4-4, cols "
                                          "9-12: a\n   (2) src/lib.rs lines 7-7, cols 2-5: b\n"),
            std::string::npos);

  Suggestion multi = one_span(2, "a");
  multi.code = "unused_imports";
  multi.spans.push_back({"src/lib.rs", 1, 2, 3, 4, ""});
  multi.spans.push_back({"src/lib.rs", 5, 5, 1, 1, "b\nc"});
  EXPECT_EQ(format_selection({multi}),
            "1 suggestion(s) selected:\n\n"
            "2. [unused_imports] remove this (src/main.rs:4:9)\n"
            "   Multi-span fix (3 locations \u2014 apply all atomically):\n"
            "   (1) src/main.rs lines 4-4, cols 9-12: a\n"
            "   (2) src/lib.rs lines 1-2, cols 3-4: (remove text)\n"
            "   (3) src/lib.rs lines 5-5, cols 1-1: b\nc\n\n");
}

}  // namespace
}  // namespace tarnwick
