#include "server/message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace tarnwick {
namespace {

std::string reason_of(std::string_view text) {
  Result<Message> parsed = parse_message(text);
  EXPECT_FALSE(parsed.ok()) << text;
  return parsed.ok() ? "" : error_text(parsed.error());
}

TEST(ParseMessage, ValuesMatchTheJsonLibrary) {
  const char* values[] = {"7",
                          "-7",
                          "0",
                          "7.0",
                          "-0.5e-3",
                          "1E+2",
                          "18446744073709551615",
                          "18446744073709551616",
                          "-9223372036854775808",
                          "-9223372036854775809",
                          "123456789012345678901234567890",
                          "\"a\"",
                          "\"\\u00e9\\ud83d\\ude00\\n\\/\\\"\"",
                          "\"caf\xC3\xA9 \xE2\x80\x94\"",
                          "true",
                          "false",
                          "[]",
                          "{}",
                          "[1,[2,{\"k\":[null,\"v\"]}]]",
                          "{\"b\":1,\"a\":{\"c\":[true]}}",
                          "{\"a\":1,\"a\":2}",
                          "\"\\u0000\""};
  for (const char* value : values) {
    std::string text = std::string("{\"jsonrpc\":\"2.0\",\"id\":") + value +
                       ",\"method\":\"m\",\"params\":" + value + "}";
    Result<Message> parsed = parse_message(text);
    ASSERT_TRUE(parsed.ok()) << text << ": " << error_text(parsed.error());
    json expected = json::parse(value);
    EXPECT_EQ(parsed->id->type(), expected.type()) << value;
    EXPECT_EQ(*parsed->id, expected) << value;
    EXPECT_EQ(*parsed->params, expected) << value;
  }
}

TEST(ParseMessage, ObjectAndArrayForms) {
  Result<Message> object = parse_message(
      " {\"params\":{\"x\":1},\"foo\":[1,{\"y\":null}],\"method\":\"ping\",\"id\":\"a\","
      "\"jsonrpc\":\"1.0\"} ");
  ASSERT_TRUE(object.ok()) << error_text(object.error());
  EXPECT_EQ(object->jsonrpc, "1.0");
  EXPECT_EQ(object->method, "ping");
  EXPECT_EQ(*object->id, json("a"));
  EXPECT_EQ(*object->params, json({{"x", 1}}));

  Result<Message> array = parse_message("[\"2.0\", 7, \"ping\", null]");
  ASSERT_TRUE(array.ok()) << error_text(array.error());
  EXPECT_EQ(*array->id, json(7));
  EXPECT_FALSE(array->params);

  Result<Message> nulls =
      parse_message("{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"\\u0070ing\",\"params\":null}");
  ASSERT_TRUE(nulls.ok());
  EXPECT_EQ(nulls->method, "ping");  // escapes in strings are decoded
  EXPECT_FALSE(nulls->id);
  EXPECT_FALSE(nulls->params);
}

TEST(ParseMessage, FieldFaultsNameTheFieldAndPosition) {
  EXPECT_EQ(reason_of("{\"jsonrpc\":\"2.0\",\"id\":1}"),
            "missing field `method` at line 1 column 24");
  EXPECT_EQ(reason_of("{\"id\":1}"), "missing field `jsonrpc` at line 1 column 8");
  EXPECT_EQ(reason_of("{\"id\":1,\"result\":{}}"), "missing field `jsonrpc` at line 1 column 20");
  EXPECT_EQ(reason_of("{\"method\":\"a\",\"method\":\"b\"}"),
            "duplicate field `method` at line 1 column 22");
  EXPECT_EQ(reason_of("{\"id\":null,\"id\":1}"), "duplicate field `id` at line 1 column 15");
  EXPECT_EQ(reason_of("{\"jsonrpc\":2,\"method\":\"a\"}"),
            "invalid type: integer `2`, expected a string at line 1 column 12");
  EXPECT_EQ(reason_of("{\"jsonrpc\":null}"),
            "invalid type: null, expected a string at line 1 column 15");
  EXPECT_EQ(reason_of("[{\"jsonrpc\":\"2.0\"}]"),
            "invalid type: map, expected a string at line 1 column 2");
  EXPECT_EQ(reason_of("5"),
            "invalid type: integer `5`, expected struct Message at line 1 column 1");
  EXPECT_EQ(reason_of("\"x\""),
            "invalid type: string \"x\", expected struct Message at line 1 column 3");
  EXPECT_EQ(reason_of("null"), "invalid type: null, expected struct Message at line 1 column 4");
  EXPECT_EQ(reason_of("[\"2.0\",7,\"ping\"]"),
            "invalid length 3, expected struct Message with 4 elements at line 1 column 16");
  EXPECT_EQ(reason_of("[]"),
            "invalid length 0, expected struct Message with 4 elements at line 1 column 2");
  EXPECT_EQ(reason_of("[\"2.0\",7,\"ping\",null,5]"),
            "more than 4 elements, expected struct Message with 4 elements at line 1 column 21");
}

TEST(ParseMessage, SyntaxFaultsGiveReasonAndPosition) {
  EXPECT_EQ(reason_of("{"), "EOF while parsing an object at line 1 column 1");
  EXPECT_EQ(reason_of("{\"jsonrpc\":\"2.0\",\"method\":\"a\"} x"),
            "trailing characters at line 1 column 32");
  EXPECT_EQ(reason_of("{\"jsonrpc\":\"2.0\",\"method\":\"a\",}"),
            "trailing comma at line 1 column 31");
  EXPECT_EQ(reason_of("{\"jsonrpc\" \"2.0\"}"), "expected `:` at line 1 column 12");
  EXPECT_EQ(reason_of("{1:2}"), "key must be a string at line 1 column 2");
  EXPECT_EQ(reason_of("{\"params\":[1 2]}"), "expected `,` or `]` at line 1 column 14");
  EXPECT_EQ(reason_of("{\"params\":01}"), "invalid number at line 1 column 12");
  EXPECT_EQ(reason_of("{\"params\":1e400}"), "number out of range at line 1 column 11");
  EXPECT_EQ(reason_of("{\"params\":tru}"), "expected `true` at line 1 column 14");
  EXPECT_EQ(reason_of("{\"params\":\"a\\x\"}"), "invalid escape at line 1 column 14");
  EXPECT_EQ(reason_of("{\"params\":\"\\ud800\"}"),
            "lone leading surrogate in hex escape at line 1 column 18");
  EXPECT_EQ(reason_of("{\"params\":\"a\tb\"}"),
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 13");
  EXPECT_EQ(reason_of("{\"params\":\"a\xFF\"}"), "invalid UTF-8 at line 1 column 13");
  EXPECT_EQ(reason_of("\xFF"), "invalid UTF-8 at line 1 column 1");
  EXPECT_EQ(reason_of("{\"jsonrpc\":\"2.0\",\"method\":\"a\"}\xC3"),
            "invalid UTF-8 at line 1 column 31");
  EXPECT_EQ(reason_of("{\"params\":\"abc"), "EOF while parsing a string at line 1 column 14");
  EXPECT_EQ(reason_of("{\"params\":x}"), "expected value at line 1 column 11");
  EXPECT_EQ(reason_of("{\n\"params\":\n x}"), "expected value at line 3 column 2");
}

TEST(ParseMessage, NestingIsLimitedTo127LevelsWithTheMessage) {
  auto nested = [](int levels) {  // the message's own object plus `levels - 1` inside params
    return "{\"jsonrpc\":\"2.0\",\"method\":\"m\",\"params\":" + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  EXPECT_TRUE(parse_message(nested(127)).ok());
  EXPECT_EQ(reason_of(nested(128)), "recursion limit exceeded at line 1 column 166");
  // Skipped keys count too.
  std::string skipped = "{\"x\":" + std::string(127, '[') + "}";
  EXPECT_EQ(reason_of(skipped).rfind("recursion limit exceeded", 0), 0u);
}

TEST(ParseMessage, MinusZeroIsAFloatingPointId) {
  Result<Message> parsed = parse_message(
      R"({"jsonrpc":"2.0","id":-0,"method":"m","params":{"requestId":[-0,0,-0.5,-01]}})");
  ASSERT_FALSE(parsed.ok());  // -01 is no number
  parsed = parse_message(
      R"({"jsonrpc":"2.0","id":-0,"method":"m","params":{"requestId":[-0,0,-0.5,-10]}})");
  ASSERT_TRUE(parsed.ok()) << error_text(parsed.error());
  EXPECT_TRUE(parsed->id->is_number_float());
  EXPECT_TRUE(std::signbit(parsed->id->get<double>()));
  const json& list = (*parsed->params)["requestId"];
  EXPECT_TRUE(list[0].is_number_float());
  EXPECT_TRUE(list[1].is_number_integer());
  EXPECT_EQ(list[2], -0.5);
  EXPECT_EQ(list[3], -10);
}

/// A random JSON value of at most `depth` levels, every part valid JSON.
std::string random_value(std::mt19937& rng, int depth) {
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  static const char* scalars[] = {"-0",
                                  "0.5e-3",
                                  "1E+2",
                                  "18446744073709551616",
                                  "-9223372036854775809",
                                  "true",
                                  "null",
                                  "\"\\ud83d\\ude00\\u00e9\\n\"",
                                  "\"caf\xC3\xA9\"",
                                  "\"\""};
  size_t kind = depth > 0 ? pick(4) : 0;
  if (kind == 0) return scalars[pick(std::size(scalars))];
  std::string out(1, kind == 1 ? '{' : '[');
  for (size_t i = 0, n = pick(3); i < n; ++i) {
    if (i > 0) out += ", ";
    if (kind == 1) out += pick(2) ? "\"a\": " : "\"b\" :";  // duplicate keys on purpose
    out += random_value(rng, depth - 1);
  }
  return out + (kind == 1 ? '}' : ']');
}

TEST(ParseMessage, RandomMessagesMatchTheJsonLibraryAndMutationsFailCleanly) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 300; ++round) {
    std::string params = random_value(rng, static_cast<int>(rng() % 8));
    std::string id = random_value(rng, 2);
    std::string text =
        "{\"params\":" + params + ",\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"m\"}";
    Result<Message> parsed = parse_message(text);
    ASSERT_TRUE(parsed.ok()) << text;
    json expected = json::parse(text);
    EXPECT_EQ(parsed->params.value_or(nullptr), expected["params"]) << text;
    EXPECT_EQ(parsed->id.value_or(nullptr), expected["id"]) << text;
    // The id's text is kept as written, without the spaces between tokens
    // (no string here holds one).
    std::string compact_id = id;
    std::erase(compact_id, ' ');
    EXPECT_EQ(parsed->id_text, compact_id == "null" ? "" : compact_id) << text;
    EXPECT_EQ(parsed->params_text, params == "null" ? "" : params) << text;
    // A damaged message never crashes, and a failure points inside the text.
    for (int k = 0; k < 4; ++k) {
      std::string damaged = text;
      damaged[rng() % damaged.size()] = "{}[],:\"\\0e-\x80\xFF"[rng() % 14];
      damaged.resize(damaged.size() - rng() % 3);
      Result<Message> result = parse_message(damaged);
      if (result.ok()) continue;
      std::string reason = error_text(result.error());
      size_t column = std::stoul(reason.substr(reason.rfind(' ') + 1));
      EXPECT_GE(column, 1u) << damaged;
      EXPECT_LE(column, damaged.size()) << damaged;
    }
  }
}

}  // namespace
}  // namespace tarnwick
