#include <gtest/gtest.h>

#include <random>

#include "base/duration.h"
#include "base/error.h"
#include "base/json_text.h"
#include "base/quoted.h"
#include "base/terminal_text.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

TEST(Quoted, EscapesLikeDebugStrings) {
  EXPECT_EQ(quoted("plain"), "\"plain\"");
  EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted(std::string_view("t\tr\rn\nz\0", 8)), "\"t\\tr\\rn\\nz\\0\"");
  EXPECT_EQ(quoted("\x1b[0m"), "\"\\u{1b}[0m\"");
  EXPECT_EQ(quoted("caf\xC3\xA9 \xE2\x80\x94"), "\"caf\xC3\xA9 \xE2\x80\x94\"");  // é and — kept
  EXPECT_EQ(quoted("\xC2\xA0"), "\"\\u{a0}\"");                                   // no-break space
  EXPECT_EQ(quoted("e\xCC\x81"), "\"e\\u{301}\"");  // combining acute accent
  // Spacing marks are escaped only when they extend the character before.
  EXPECT_EQ(quoted("\xE0\xA6\xBE"), "\"\\u{9be}\"");        // Bengali vowel sign AA
  EXPECT_EQ(quoted("\xEF\xBE\x9E"), "\"\\u{ff9e}\"");       // halfwidth voiced sound mark
  EXPECT_EQ(quoted("\xE0\xA4\x83"), "\"\xE0\xA4\x83\"");    // Devanagari visarga kept
  EXPECT_EQ(quoted("\xE2\x80\x8B"), "\"\\u{200b}\"");       // zero-width space (format)
  EXPECT_EQ(quoted("\xF3\xB0\x80\x80"), "\"\\u{f0000}\"");  // private use
  EXPECT_EQ(quoted("\xFF"), "\"\xEF\xBF\xBD\"");            // invalid byte shows U+FFFD
}

TEST(Trim, RemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim(" \t\r\n x y \v\f"), "x y");
  EXPECT_EQ(trim("\xC2\xA0"
                 "a"
                 "\xE3\x80\x80"),
            "a");  // no-break space, ideographic space
  EXPECT_EQ(trim("\xC2\x85"
                 "a"
                 "\xE2\x80\xA8"),
            "a");  // next line, line separator
  EXPECT_EQ(trim("\xE2\x80\x8B"
                 "a"),
            "\xE2\x80\x8B"
            "a");  // zero-width space is not white space
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim(""), "");
}

TEST(SplitWhiteSpace, CutsAtRunsOfUnicodeWhiteSpace) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(split_white_space(" a\t\tb\n c "), (Words{"a", "b", "c"}));
  EXPECT_EQ(split_white_space("x\xC2\xA0y"), (Words{"x", "y"}));  // no-break space
  EXPECT_EQ(split_white_space("caf\xC3\xA9"), (Words{"caf\xC3\xA9"}));
  EXPECT_EQ(split_white_space(" \t "), Words{});
}

TEST(Substring, RareLastByteSearchAgreesWithMemmem) {
  const std::string needle = "finaliz";
  for (std::string text : {"", "z", "finaliz", "xfinaliz", "finalizx", "inaliz", "fffinalizz",
                           "finali", "zzzz finali z finaliz"})
    EXPECT_EQ(has_substring_rare_last(text, needle), has_substring(text, needle)) << text;
  EXPECT_TRUE(has_substring_rare_last("abc", ""));
}

// Colour, cursor and title sequences take no room, and a cut-off one ends
// the view.
TEST(VisibleText, DropsEscapeSequences) {
  const std::string line = "\x1b[1m\x1b[92m     Running\x1b[0m x\x1b]0;title\x07y\x1b(Bz\x1b[3";
  VisibleText visible(line);
  EXPECT_EQ(visible.text(), "     Running xyz");
  EXPECT_EQ(VisibleText("plain").text(), "plain");

  EXPECT_EQ(after_last_carriage_return("bar\r{json}\r\r"), 4u);
  EXPECT_EQ(after_last_carriage_return("no return"), 0u);
}

TEST(Utf8, InvalidSequencesAreReplaced) {
  EXPECT_EQ(to_valid_utf8("ok \xE2\x80\x94"), "ok \xE2\x80\x94");
  EXPECT_EQ(to_valid_utf8("a\xFF"
                          "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(to_valid_utf8("\xE2\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(to_valid_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_TRUE(is_valid_utf8("ok \xEF\xBF\xBD \xF0\x9F\x98\x80"));  // a written U+FFFD is valid
  EXPECT_FALSE(is_valid_utf8("a\xC3"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));  // overlong
}

TEST(Utf8, RandomBytesGiveValidTextAndTrimIsStable) {
  static const char* pieces[] = {" ",
                                 "\t",
                                 "\xC2\x85",
                                 "\xC2\xA0",
                                 "\xE2\x80\x80",
                                 "\xE3\x80\x80",
                                 "\xE2\x80",
                                 "\x80",
                                 "\xF0\x9F\x98\x80",
                                 "\xF0\x9F",
                                 "\xCC\x81",
                                 "a",
                                 "\"",
                                 "\xED\xA0\x80",
                                 "\xEF\xBF\xBD",
                                 "\xF4\x90\x80\x80",
                                 "\xC0\xAF",
                                 "\xFF"};
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (size_t i = 0, n = rng() % 12; i < n; ++i) text += pieces[rng() % std::size(pieces)];
    std::string repaired = to_valid_utf8(text);
    EXPECT_TRUE(is_valid_utf8(repaired));
    EXPECT_EQ(is_valid_utf8(text), repaired == text);
    std::string shown = quoted(std::string_view(text));
    EXPECT_TRUE(is_valid_utf8(shown));
    // Trimming agrees with decoding the whole text front to back.
    std::vector<std::pair<size_t, char32_t>> chars;  // start offset and value
    for (size_t pos = 0; pos < text.size();) {
      size_t start = pos;
      chars.emplace_back(start, decode_utf8(text, pos));
    }
    size_t first = 0, last = chars.size();
    while (first < last && is_unicode_white_space(chars[first].second)) ++first;
    while (last > first && is_unicode_white_space(chars[last - 1].second)) --last;
    size_t begin = first < chars.size() ? chars[first].first : text.size();
    size_t end = last < chars.size() ? chars[last].first : text.size();
    EXPECT_EQ(trim(text), std::string_view(text).substr(begin, end - begin)) << shown;
    EXPECT_EQ(trim(trim(text)), trim(text)) << shown;
  }
}

TEST(JsonText, NeverThrowsOnInvalidUtf8AndSortsKeys) {
  json v = {{"b", 1}, {"a", std::string("x\xFFy")}};
  EXPECT_EQ(to_json_text(v), "{\"a\":\"x\xEF\xBF\xBDy\",\"b\":1}");
  EXPECT_EQ(to_json_text(json("\x1b\t/")), "\"\\u001b\\t/\"");
}

TEST(JsonText, MembersAndValuesAsWritten) {
  const std::string object =
      R"( { "a" : [1, {"b":"}\"]"}], "\u0062":-0 , "c":{"b":2}, "b" : [ 1e3, "x y" ] } )";
  ASSERT_FALSE(json::parse(object, nullptr, false).is_discarded());
  // The last "b" of the object itself, escaped keys included; spaces outside
  // strings go.
  EXPECT_EQ(member_text(object, "b"), R"([ 1e3, "x y" ])");
  EXPECT_EQ(compact_json_text(*member_text(object, "b")), R"([1e3,"x y"])");
  EXPECT_EQ(compact_json_text(object),
            R"({"a":[1,{"b":"}\"]"}],"\u0062":-0,"c":{"b":2},"b":[1e3,"x y"]})");
  EXPECT_EQ(member_text(R"({"b":-0,"a":1})", "b"), "-0");
  EXPECT_EQ(member_text(R"({"a":{"b":1}})", "b"), std::nullopt);
  EXPECT_EQ(member_text(R"([{"b":1}])", "b"), std::nullopt);
  EXPECT_EQ(member_text("{}", "b"), std::nullopt);
}

TEST(Duration, FormatsThreeDecimalsAndSaturates) {
  EXPECT_EQ(format_secs_3({1, 500'000'000}), "1.500");
  EXPECT_EQ(format_secs_3({0, 0}), "0.000");
  EXPECT_EQ(format_secs_3({12, 345'600'000}), "12.346");
  EXPECT_EQ(format_secs_3({0, 999'600'000}), "1.000");
  EXPECT_EQ(saturating_add(Duration::max(), {1, 0}), Duration::max());
  EXPECT_EQ(saturating_sub({1, 0}, {2, 0}), Duration{});
  EXPECT_EQ(saturating_sub({2, 100}, {1, 200}), (Duration{0, 999'999'900}));
  EXPECT_TRUE(Deadline::after(Duration::from_secs(UINT64_MAX)).infinite);
}

TEST(Error, DisplayTexts) {
  EXPECT_EQ(error_text(TimeoutError{{1, 500'000'000}}),
            "Operation timed out after 1.500 seconds; cargo subprocess and all of its descendants "
            "were terminated.");
  EXPECT_EQ(error_text(CancelledError{}), "Operation cancelled by client request.");
  EXPECT_EQ(error_debug_text(PhaseTimeoutError{{2, 0}, "build"}),
            "PhaseTimeoutError { elapsed: 2s, phase: \"build\" }");
}

}  // namespace
}  // namespace tarnwick

#include "base/line_channel.h"
#include "server/in_flight.h"

namespace tarnwick {
namespace {

TEST(InFlight, IdsCompareByTypeAndValue) {
  EXPECT_TRUE(ids_equal(json(7), json(7u)));
  EXPECT_FALSE(ids_equal(json(7), json(7.0)));
  EXPECT_FALSE(ids_equal(json(7), json("7")));
  EXPECT_FALSE(ids_equal(json::array({7}), json::array({7.0})));
  EXPECT_FALSE(ids_equal(json{{"k", 7}}, json{{"k", 7.0}}));
  EXPECT_FALSE(ids_equal(json{{"k", 7}}, json{{"j", 7}}));
  EXPECT_TRUE(ids_equal(json{{"k", {1, "a", nullptr}}}, json{{"k", {1u, "a", nullptr}}}));
  InFlightSlot slot;
  auto flag = make_cancel_flag();
  slot.begin(json("a"), flag);
  EXPECT_FALSE(slot.cancel(json("b")));
  EXPECT_FALSE(flag->load());
  EXPECT_TRUE(slot.cancel(json("a")));
  EXPECT_TRUE(flag->load());
  slot.clear();
  EXPECT_FALSE(slot.cancel(json("a")));
}

TEST(LineChannel, DrainsBeforeReportingClosed) {
  LineChannel channel;
  channel.send("one");
  channel.send("two");
  channel.close();
  EXPECT_EQ(channel.recv(), "one");
  std::string line;
  EXPECT_EQ(channel.recv_until(Deadline::after(Duration::from_millis(10)), line),
            LineChannel::Status::Line);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(channel.recv(), std::nullopt);
  LineChannel open;
  EXPECT_EQ(open.recv_until(Deadline::after(Duration::from_millis(5)), line),
            LineChannel::Status::Timeout);
}

TEST(ParseUnsigned, DigitsWithOptionalPlusUpToTheMaximum) {
  const uint64_t u64 = UINT64_MAX, u32 = UINT32_MAX;
  EXPECT_EQ(parse_unsigned("+250", u64), 250u);
  EXPECT_EQ(parse_unsigned("007", u64), 7u);
  EXPECT_EQ(parse_unsigned("18446744073709551615", u64), UINT64_MAX);
  EXPECT_EQ(parse_unsigned("4294967295", u32), u32);
  for (const char* bad : {"", "+", "-", "-1", " 5", "5 ", "++5", "1_000", "18446744073709551616",
                          "99999999999999999999"}) {
    EXPECT_FALSE(parse_unsigned(bad, u64).has_value()) << bad;
  }
  EXPECT_FALSE(parse_unsigned("4294967296", u32).has_value());
}

}  // namespace
}  // namespace tarnwick
