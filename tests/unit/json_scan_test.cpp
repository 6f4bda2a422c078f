#include "base/json_scan.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/json_text.h"
#include "base/utf8.h"
#include "damaged_json.h"

namespace tarnwick {
namespace {

constexpr int kDepth = 127;

const std::string kCargoLine =
    R"({"reason":"compiler-message","package_id":"path+file:///w#a@0.1.0","message":)"
    R"({"rendered":"warning: unused\n --> src/lib.rs:2:9\n","children":[{"children":[],)"
    R"("code":null,"level":"help","message":"prefix it","spans":[{"column_end":15,)"
    R"("column_start":9,"file_name":"src/lib.rs","line_end":2,"line_start":2,)"
    R"("suggested_replacement":"_unused","suggestion_applicability":"MachineApplicable",)"
    R"("is_primary":true,"label":null,"expansion":null,"text":[]}]}],)"
    R"("code":{"code":"unused_variables","explanation":null},"level":"warning",)"
    R"("message":"unused variable: `unused` \u00e9 \"q\"","spans":[]}})";

/// What the top-level reading finds: whether the value is an object, and its
/// reason when that is a string.
struct LineFacts {
  bool is_object = false;
  std::optional<std::string> reason;
};

std::optional<LineFacts> quick_json_facts(const std::string& text, int depth) {
  JsonViewReader reader;
  const JsonView* view = reader.read(text, depth);
  if (!view) return std::nullopt;
  LineFacts facts;
  facts.is_object = view->is_object();
  const JsonView* reason = view->find("reason");
  if (reason && reason->is_string()) facts.reason = reason->string_value();
  return facts;
}

/// The quick look may only vouch for what the library's parser accepts,
/// with the same top-level reason.
void expect_agrees_with_parser(const std::string& text) {
  std::optional<LineFacts> facts = quick_json_facts(text, kDepth);
  if (!facts) return;
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  ASSERT_FALSE(value.is_discarded()) << text;
  EXPECT_EQ(facts->is_object, value.is_object()) << text;
  const json* reason = find_member(value, "reason");
  std::optional<std::string> expected;
  if (reason && reason->is_string()) expected = reason->get<std::string>();
  EXPECT_EQ(facts->reason, expected) << text;
}

TEST(QuickJsonFacts, ReadsTheReasonOfACargoLine) {
  std::optional<LineFacts> facts = quick_json_facts(kCargoLine, kDepth);
  ASSERT_TRUE(facts);
  EXPECT_TRUE(facts->is_object);
  EXPECT_EQ(facts->reason, "compiler-message");
  facts = quick_json_facts(R"( {"a":[1,-2.5,true,false,null,{}],"reason":7} )", kDepth);
  ASSERT_TRUE(facts);
  EXPECT_FALSE(facts->reason);  // not a string
  facts = quick_json_facts(R"(["reason"])", kDepth);
  ASSERT_TRUE(facts);
  EXPECT_FALSE(facts->is_object);
}

// Whatever could make the parser disagree is left to the parser.
TEST(QuickJsonFacts, LeavesDoubtfulLinesToTheParser) {
  const std::string doubtful[] = {R"({"re\u0061son":"x"})",
                                  R"({"a":"\ud800"})",
                                  R"({"a":1e5})",
                                  R"({"a":12345678901234567890})",
                                  R"({"a":01})",
                                  R"({"a":1} x)",
                                  R"({"a":1,})",
                                  R"({"a":"b)",
                                  "{\"a\":\"\x01\"}",
                                  std::string("{\"a\":\"\0\"}", 9),
                                  "{\"a\":\"\xC0\x80\"}",
                                  "\xEF\xBB\xBF{}",
                                  "text",
                                  ""};
  for (const std::string& text : doubtful) {
    EXPECT_FALSE(quick_json_facts(text, kDepth)) << text;
    expect_agrees_with_parser(text);
  }
  // A repeated reason and an escaped value are read as the parser reads them.
  for (const std::string text :
       {R"({"reason":"a","reason":"b"})", R"({"reason":"compiler\u002dmessage"})"}) {
    EXPECT_TRUE(quick_json_facts(text, kDepth)) << text;
    expect_agrees_with_parser(text);
  }
  std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_FALSE(quick_json_facts(deep, kDepth));
  EXPECT_TRUE(quick_json_facts(deep.substr(1, 254), kDepth));
}

// Random damage to a real line never makes the quick look vouch for what the
// parser refuses.
TEST(QuickJsonFacts, AgreesWithTheParserOnDamagedLines) {
  std::mt19937 random(18);
  for (int round = 0; round < 3000; ++round) {
    std::string text = testing::damaged(kCargoLine, random);
    expect_agrees_with_parser(text);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(JsonView, ReadsValuesInPlaceAsTheParserWould) {
  JsonViewReader reader;
  const JsonView* view =
      reader.read(R"({"k":1,"k":"last","s":"a\nb\u00e9","n":[5,-0,1.5,"7"]})", kDepth);
  ASSERT_TRUE(view);
  const JsonView* k = view->find("k");
  ASSERT_TRUE(k && k->is_string());
  EXPECT_EQ(k->string_value(), "last");  // a repeated key: the last one counts
  EXPECT_EQ(view->find("s")->string_value(), "a\nb\xC3\xA9");
  const JsonView* n = view->find("n");
  ASSERT_TRUE(n && n->is_array());
  ASSERT_EQ(n->items.size(), 4u);
  EXPECT_EQ(n->items[0].unsigned_value(), 5u);
  EXPECT_FALSE(n->items[1].unsigned_value());
  EXPECT_FALSE(n->items[2].unsigned_value());
  EXPECT_FALSE(n->items[3].unsigned_value());
  EXPECT_EQ(view->find("missing"), nullptr);
  EXPECT_FALSE(reader.read(R"({"a\u0062":1})", kDepth));  // keys with escapes: parser's job
  EXPECT_FALSE(reader.read(R"({"a":1} {})", kDepth));
}

// One reader serves line after line: what it read before leaves no trace.
TEST(JsonView, AReaderReadsLineAfterLine) {
  JsonViewReader reader;
  ASSERT_TRUE(reader.read(R"({"a":[[1,[2]],{"b":{"c":"d"}}],"e":"\u00e9\n"})", kDepth));
  EXPECT_FALSE(reader.read("[1,", kDepth));
  const JsonView* second = reader.read(R"( {"x":[{"y":"z"},[3,4]],"w":"\n"} )", kDepth);
  ASSERT_TRUE(second);
  ASSERT_EQ(second->items.size(), 2u);
  const JsonView* x = second->find("x");
  ASSERT_TRUE(x && x->is_array() && x->items.size() == 2);
  EXPECT_EQ(x->items[0].find("y")->string_value(), "z");
  EXPECT_EQ(x->items[1].items[1].unsigned_value(), 4u);
  EXPECT_TRUE(second->find("w")->escaped);
  EXPECT_EQ(second->find("e"), nullptr);
  const JsonView* third = reader.read(R"({"e":"\u00e9"})", kDepth);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->find("e")->string_value(), "\xC3\xA9");
}

/// The string's value as the library's parser reads it.
std::string parsed_value(std::string_view raw) {
  return json::parse("\"" + std::string(raw) + "\"").get<std::string>();
}

// A string's value is searched as the parser reads it, though never made
// whole: escapes neither hide a needle nor make one up, with or without \u
// escapes, wherever the value is cut into pieces.
TEST(JsonView, StringHoldsSearchesTheValue) {
  const std::string needle = "finaliz";
  std::vector<std::pair<std::string, size_t>> fillers;  // as written, size of its value
  for (std::string unit : {"x", "\\n", "\\\\", "\\f", "\\\"", "\\u00e9", "\\u4e2d"})
    fillers.emplace_back(unit, parsed_value(unit).size());
  std::mt19937 random(7);
  JsonViewReader reader;
  for (bool unicode : {false, true}) {
    const size_t kinds = unicode ? fillers.size() : fillers.size() - 2;
    for (size_t cut = (size_t{64} << 10) - needle.size(); cut <= (size_t{64} << 10) + 1; ++cut) {
      // Filler up to `cut` bytes of value, then the needle, its letters
      // written plainly or, with `unicode`, as \u escapes.
      std::string raw;
      size_t value_size = 0;
      while (value_size < cut) {
        const auto& [unit, size] = fillers[random() % kinds];
        if (value_size + size > cut) continue;
        raw += unit;
        value_size += size;
      }
      for (char c : needle)
        raw += unicode && random() % 2 ? fmt::format("\\u{:04x}", static_cast<int>(c))
                                       : std::string(1, c);
      raw += "\\n";
      const std::string text = "\"" + raw + "\"";  // the view reads it in place
      const JsonView* view = reader.read(text, kDepth);
      ASSERT_TRUE(view && view->is_string());
      EXPECT_EQ(view->unicode_escaped, unicode);
      EXPECT_EQ(view->string_value(), parsed_value(raw));
      EXPECT_TRUE(view->string_holds(needle)) << cut;
      EXPECT_TRUE(view->string_holds(needle.substr(1) + "\n")) << cut;
      EXPECT_FALSE(view->string_holds(needle + "e")) << cut;
    }
  }
  // The letter of an escape is not that letter.
  for (const auto& [raw, holds] :
       std::vector<std::pair<std::string, bool>>{{"\\finaliz", false},
                                                 {"\\\\finaliz", true},
                                                 {"\\\\\\finaliz", false},
                                                 {"\\u00e9\\finaliz", false},
                                                 {"fin\\u0061li\\u007a", true}}) {
    const std::string text = "\"" + raw + "\"";
    const JsonView* view = reader.read(text, kDepth);
    ASSERT_TRUE(view) << raw;
    EXPECT_EQ(view->string_holds(needle), holds) << raw;
  }
}

TEST(AppendJsonText, WritesWhatTheLibraryWrites) {
  json value = {{"text", "plain \"quoted\" \\ \n\t\x01\x1f\x7f caf\xC3\xA9"},
                {"bad", "a\xFF\xC3(b"},
                {"list", {1, -2, 2.5, true, nullptr, json::object(), json::array()}},
                {"nested", {{"z", {{"y", "x"}}}}},
                {"controls", std::string(5000, '\x01') + "end"}};
  std::string out = "head:";
  append_json_text(out, value);
  EXPECT_EQ(out, "head:" + to_json_text(value));
}

// Escapes at every place of a chunk, and at its edges, come out as the
// library writes them.
TEST(AppendJsonText, DenseEscapesOfEveryLength) {
  std::mt19937 random(16);
  const std::string alphabet = "ab\"\\\n\x01\x1f\x7f\xC3\xA9";
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    size_t size = random() % 100;
    while (text.size() < size) {
      size_t pick = random() % (alphabet.size() - 1);
      text += pick == alphabet.size() - 2 ? alphabet.substr(pick, 2) : alphabet.substr(pick, 1);
    }
    std::string out;
    append_json_text(out, json(text));
    ASSERT_EQ(out, to_json_text(json(text))) << round;
  }
}

// Written out in pieces, a long value still comes out whole and the same.
TEST(AppendJsonText, SpilledPiecesMakeTheSameText) {
  std::string text(3 << 20, 'x');
  for (size_t i = 0; i < text.size(); i += 4099) text[i] = '"';
  text.append(2 << 20, 'y');
  json value = {{"content", json::array({{{"text", text}, {"type", "text"}}})}};
  std::string written;
  size_t pieces = 0;
  JsonSpill spill = [&](std::string& pending) {
    EXPECT_LE(pending.size(), size_t{3} << 20);
    written += pending;
    pending.clear();
    ++pieces;
  };
  std::string out;
  append_json_text(out, value, &spill);
  written += out;
  EXPECT_GT(pieces, 3u);
  EXPECT_EQ(written, to_json_text(value));
}

}  // namespace
}  // namespace tarnwick
