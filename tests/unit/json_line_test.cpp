#include "base/json_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/json_text.h"
#include "damaged_json.h"

namespace tarnwick {
namespace {

const std::string kLine =
    R"({"reason":"compiler-message","message":{"rendered":"warning: x\n \u00e9 \"q\"",)"
    R"("children":[{"message":"help","code":null,"spans":[{"line_start":2,"column_start":9,)"
    R"("suggested_replacement":"_x","suggestion_applicability":"MachineApplicable"}]}],)"
    R"("code":{"code":"unused"},"level":"warning","spans":[]}})";

/// What a reader vouches for, the library's parser reads alike: the same
/// reason, the same rendered text, the same numbers.
void expect_agrees_with_parser(JsonLineReader& reader, const std::string& text) {
  std::optional<JsonNode> node = reader.read(text);
  if (!node) return;
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  ASSERT_FALSE(value.is_discarded()) << text;
  ASSERT_EQ(node->is_object(), value.is_object()) << text;
  if (!value.is_object()) return;
  std::string scratch;
  std::optional<JsonNode> reason = node->find("reason");
  const json* expected = find_member(value, "reason");
  ASSERT_EQ(reason && reason->is_string(), expected && expected->is_string()) << text;
  if (reason && reason->is_string()) {
    EXPECT_EQ(reason->string_value(scratch), *expected);
  }
  std::optional<JsonNode> message = node->find("message");
  const json* expected_message = find_member(value, "message");
  if (!message || !message->is_object()) return;
  std::optional<JsonNode> rendered = message->find("rendered");
  const json* expected_rendered = find_member(*expected_message, "rendered");
  ASSERT_EQ(rendered && rendered->is_string(), expected_rendered && expected_rendered->is_string());
  if (rendered && rendered->is_string()) {
    EXPECT_EQ(rendered->string_value(scratch), *expected_rendered) << text;
  }
}

TEST(JsonLineReader, ReadsItemsKeysAndNumbersAsTheParserDoes) {
  JsonLineReader reader;
  std::optional<JsonNode> node = reader.read(R"({"k":1,"k":"last","n":[7,-1,1.5,"2"],"e":{}})");
  ASSERT_TRUE(node);
  std::string scratch;
  EXPECT_EQ(node->find("k")->string_value(scratch), "last");  // the last one counts
  EXPECT_TRUE(node->find("e")->empty());
  std::vector<std::optional<uint64_t>> numbers;
  JsonItems items = node->find("n")->items();
  for (JsonNode item; items.next(item);) numbers.push_back(item.unsigned_value());
  EXPECT_EQ(numbers,
            (std::vector<std::optional<uint64_t>>{7, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_FALSE(reader.read(std::string(128, '[') + std::string(128, ']')));
  EXPECT_TRUE(reader.read(std::string(127, '[') + std::string(127, ']')));
  EXPECT_FALSE(reader.read("\xEF\xBB\xBF{}"));
  EXPECT_FALSE(reader.read(R"({"a":12345678901234567890123})"));
}

// A long line takes the reader that does not copy it; both must agree.
TEST(JsonLineReader, LongLinesAreReadAlike) {
  std::string pad(2 << 20, 'x');
  std::string line = R"({"reason":"compiler-message","message":{"rendered":"did not finalize )" +
                     pad + R"( \u0041\n","level":"warning"}})";
  JsonLineReader reader;
  std::optional<JsonNode> node = reader.read(line);
  ASSERT_TRUE(node);
  std::optional<JsonNode> rendered = node->find("message")->find("rendered");
  std::string scratch;
  std::string_view value = rendered->string_value(scratch);
  EXPECT_EQ(value.size(), pad.size() + 20);
  EXPECT_TRUE(value.starts_with("did not finalize "));
  EXPECT_TRUE(value.ends_with("x A\n"));
}

TEST(JsonLineReader, AgreesWithTheParserOnDamagedLines) {
  std::mt19937 random(23);
  JsonLineReader reader;
  for (int round = 0; round < 3000; ++round) {
    std::string text = testing::damaged(kLine, random);
    expect_agrees_with_parser(reader, text);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace tarnwick
