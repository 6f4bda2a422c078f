#include "tools/args.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../common/stdout_capture.h"
#include "../common/temp_crate.h"
#include "base/error.h"
#include "base/settings.h"
#include "runner/output_file.h"

namespace tarnwick {
namespace {

/// The `data` texts of the log lines written to standard output while `fn` ran.
template <class Fn>
std::vector<std::string> logged_while(Fn fn) {
  tarnwick::testing::StdoutCapture capture;
  fn();
  std::vector<std::string> data;
  for (const json& line : capture.finish_messages()) data.push_back(line["params"]["data"]);
  return data;
}

std::string bool_warning(const std::string& key, const std::string& shown) {
  return "tarnwick: ignoring unrecognised value for boolean argument `" + key + "`: " + shown +
         "; treating as false. Accepted shapes: true/false, "
         "\"true\"/\"false\"/\"1\"/\"0\"/\"yes\"/\"no\"/\"on\"/\"off\", or integers 0/1.";
}

std::string message_of(const Error& error) { return error_text(error); }

TEST(ParseBoolArg, AcceptsLenientShapesSilently) {
  std::vector<std::string> logs = logged_while([] {
    EXPECT_TRUE(parse_bool_arg(json{{"release", "YES"}}, "release"));
    EXPECT_TRUE(parse_bool_arg(json{{"release", " on\t"}}, "release"));
    EXPECT_TRUE(parse_bool_arg(json{{"release", "1"}}, "release"));
    EXPECT_TRUE(parse_bool_arg(json{{"release", "\xC2\xA0True\xE3\x80\x80"}}, "release"));
    EXPECT_TRUE(parse_bool_arg(json{{"release", true}}, "release"));
    EXPECT_TRUE(parse_bool_arg(json::parse(R"({"release":1})"), "release"));
    EXPECT_FALSE(parse_bool_arg(json::parse(R"({"release":0})"), "release"));
    EXPECT_FALSE(parse_bool_arg(json{{"release", "Off"}}, "release"));
    EXPECT_FALSE(parse_bool_arg(json{{"release", "no"}}, "release"));
    EXPECT_FALSE(parse_bool_arg(json{{"release", nullptr}}, "release"));
    EXPECT_FALSE(parse_bool_arg(json::object(), "release"));
    EXPECT_FALSE(parse_bool_arg(json::array({true}), "release"));
    EXPECT_FALSE(parse_bool_arg(json(nullptr), "release"));
  });
  EXPECT_TRUE(logs.empty());
}

TEST(ParseBoolArg, WarnsAboutUnrecognisedValues) {
  struct Case {
    const char* json_value;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {R"("maybe")", R"("maybe")"},
      {"2", "2"},
      {"-1", "-1"},
      {"1.0", "1.0"},
      {"0.5", "0.5"},
      {"[]", "<array of 0 elements>"},
      {"[1,2,3]", "<array of 3 elements>"},
      {R"({"a":1,"b":2})", "<object with 2 keys>"},
      {R"("  tru\"e ")", R"("  tru\"e ")"},  // shown untrimmed, escaped
  };
  for (const Case& c : cases) {
    json args = json::object();
    args["release"] = json::parse(c.json_value);
    std::vector<std::string> logs =
        logged_while([&] { EXPECT_FALSE(parse_bool_arg(args, "release")) << c.json_value; });
    ASSERT_EQ(logs.size(), 1u) << c.json_value;
    EXPECT_EQ(logs[0], bool_warning("release", c.shown));
  }
}

TEST(ParseBoolArg, CutsLongStringsInTheWarning) {
  auto shown_for = [](const std::string& value) {
    std::vector<std::string> logs = logged_while([&] {
      parse_bool_arg(json{{"locked", value}}, "locked");
    });
    EXPECT_EQ(logs.size(), 1u);
    return logs.empty() ? std::string() : logs[0];
  };
  EXPECT_EQ(
      shown_for(std::string(250, 'x')),
      bool_warning("locked", "\"" + std::string(200, 'x') + "... (50 more bytes truncated)\""));
  EXPECT_EQ(shown_for(std::string(200, 'y')),
            bool_warning("locked", "\"" + std::string(200, 'y') + "\""));
  // Characters are counted, bytes are reported.
  std::string e_acute;
  for (int i = 0; i < 203; ++i) e_acute += "\xC3\xA9";
  EXPECT_EQ(shown_for(e_acute), bool_warning("locked", "\"" + e_acute.substr(0, 400) +
                                                           "... (6 more bytes truncated)\""));
}

TEST(TimeoutReaders, RejectNonIntegersWithTheirJsonText) {
  auto failure = [](const char* args_text) {
    Result<OptionalTimeout> r = parse_timeout_secs(json::parse(args_text));
    return r ? std::string("ok") : message_of(r.error());
  };
  for (std::string value : {"\"30\"", "-5", "2.5", "30.0", "true", "[1]"}) {
    EXPECT_EQ(failure(("{\"timeout_secs\":" + value + "}").c_str()),
              "timeout_secs must be a non-negative integer, got " + value);
  }

  Result<GivenSecs> t = parse_test_timeout_secs(json::parse(R"({"test_timeout_secs":"x"})"));
  ASSERT_FALSE(t);
  EXPECT_EQ(message_of(t.error()), "test_timeout_secs must be a non-negative integer, got \"x\"");
}

TEST(TimeoutReaders, TellNotGivenFromZero) {
  auto overall = [](const char* args_text) { return parse_timeout_secs(json::parse(args_text)); };
  EXPECT_EQ(overall("{}").value(), std::nullopt);
  EXPECT_EQ(overall(R"({"timeout_secs":null})").value(), std::nullopt);
  EXPECT_EQ(overall(R"({"timeout_secs":0})").value(), std::nullopt);
  EXPECT_EQ(overall(R"({"timeout_secs":600})").value(), Duration::from_secs(600));
  EXPECT_EQ(overall(R"({"timeout_secs":18446744073709551615})").value(),
            Duration::from_secs(UINT64_MAX));
  EXPECT_EQ(overall("[]").value(), std::nullopt);

  EXPECT_EQ(read_timeout_secs(json::parse("{}")).value(), std::nullopt);
  EXPECT_EQ(read_timeout_secs(json::parse(R"({"timeout_secs":null})")).value(), std::nullopt);
  EXPECT_EQ(read_timeout_secs(json::parse(R"({"timeout_secs":0})")).value(), GivenSecs(0));
  EXPECT_EQ(parse_test_timeout_secs(json::parse(R"({"test_timeout_secs":0})")).value(),
            GivenSecs(0));
  EXPECT_EQ(parse_test_timeout_secs(json::parse(R"({"test_timeout_secs":7})")).value(),
            GivenSecs(7));
}

class PhaseTimeouts : public ::testing::Test {
 protected:
  void TearDown() override { publish_settings(ServerSettings{}); }

  static void set_default(std::optional<uint64_t> secs) {
    ServerSettings s;
    s.test_timeout_secs = secs;
    publish_settings(s);
  }
  static std::pair<OptionalTimeout, OptionalTimeout> budgets(const char* args_text) {
    Result<PhaseBudgets> r = parse_phase_timeouts(json::parse(args_text));
    EXPECT_TRUE(r) << args_text;
    if (!r) return {};
    return {r->build, r->execution};
  }
};

TEST_F(PhaseTimeouts, MapsEveryCombination) {
  set_default(300);
  const OptionalTimeout none;
  const OptionalTimeout d = Duration::from_secs(300);
  auto secs = [](uint64_t s) { return OptionalTimeout(Duration::from_secs(s)); };
  using Pair = std::pair<OptionalTimeout, OptionalTimeout>;

  EXPECT_EQ(budgets("{}"), Pair(d, d));
  EXPECT_EQ(budgets(R"({"timeout_secs":null,"test_timeout_secs":null})"), Pair(d, d));
  EXPECT_EQ(budgets(R"({"test_timeout_secs":0})"), Pair(d, d));
  EXPECT_EQ(budgets(R"({"test_timeout_secs":60})"), Pair(none, secs(60)));
  EXPECT_EQ(budgets(R"({"timeout_secs":0})"), Pair(none, none));
  EXPECT_EQ(budgets(R"({"timeout_secs":0,"test_timeout_secs":0})"), Pair(none, none));
  EXPECT_EQ(budgets(R"({"timeout_secs":0,"test_timeout_secs":45})"), Pair(none, secs(45)));
  EXPECT_EQ(budgets(R"({"timeout_secs":600})"), Pair(secs(600), secs(600)));
  EXPECT_EQ(budgets(R"({"timeout_secs":600,"test_timeout_secs":0})"), Pair(secs(600), secs(600)));
  EXPECT_EQ(budgets(R"({"timeout_secs":600,"test_timeout_secs":60})"), Pair(secs(600), secs(60)));
  EXPECT_EQ(budgets(R"({"timeout_secs":600,"test_timeout_secs":900})"), Pair(secs(600), secs(600)));

  set_default(std::nullopt);
  EXPECT_EQ(budgets("{}"), Pair(none, none));
  set_default(0);
  EXPECT_EQ(budgets(R"({"test_timeout_secs":0})"), Pair(none, none));
}

TEST_F(PhaseTimeouts, ReportsTheOverallTimeoutFirst) {
  Result<PhaseBudgets> r =
      parse_phase_timeouts(json::parse(R"({"timeout_secs":-1,"test_timeout_secs":"x"})"));
  ASSERT_FALSE(r);
  EXPECT_EQ(message_of(r.error()), "timeout_secs must be a non-negative integer, got -1");
  r = parse_phase_timeouts(json::parse(R"({"timeout_secs":5,"test_timeout_secs":-2})"));
  ASSERT_FALSE(r);
  EXPECT_EQ(message_of(r.error()), "test_timeout_secs must be a non-negative integer, got -2");
}

class OutputPath : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("reports/.keep", "");
    dir_.write("plain_file", "x");
  }

  std::string check(std::string_view path, std::optional<std::string> wd) {
    Status s = check_output_target("output_path", path, platform::WorkingDir::open(std::move(wd)));
    return s ? std::string("ok") : message_of(s.error());
  }

  tarnwick::testing::TempDir dir_;
};

TEST_F(OutputPath, RefusesPathsThatLeaveTheWorkingDirectory) {
  const std::string wd = dir_.path();
  const std::string absolute =
      "output_path must be a relative path; absolute paths are not permitted";
  const std::string traversal = "output_path must not contain '..' path traversal components";
  EXPECT_EQ(check("/tmp/out.json", wd), absolute);
  EXPECT_EQ(check("/tmp/out.json", std::nullopt), absolute);
  EXPECT_EQ(check("//server/share/out.json", wd), absolute);
  EXPECT_EQ(check("../out.json", wd), traversal);
  EXPECT_EQ(check("reports/../../out.json", wd), traversal);
  EXPECT_EQ(check("reports/..", wd), traversal);
  // Names that merely contain dots stay inside.
  EXPECT_EQ(check("reports/...json", wd), "ok");
  EXPECT_EQ(check("./reports/./out.json", wd), "ok");
}

// Missing folders are made by the write; what is in a folder's place, or a
// missing working directory, is refused with the joined parent.
TEST_F(OutputPath, MissingFoldersPassAndWhatStandsInTheirPlaceDoesNot) {
  const std::string wd = dir_.path();
  const std::string missing = "output_path parent directory does not exist or is not a directory: ";
  EXPECT_EQ(check("out.json", wd), "ok");
  EXPECT_EQ(check("reports/out.json", wd), "ok");
  EXPECT_EQ(check("reports//out.json", wd + "/"), "ok");
  EXPECT_EQ(check("missing/deeper/out.json", wd), "ok");
  EXPECT_EQ(check("plain_file/out.json", wd), missing + wd + "/plain_file");
  EXPECT_EQ(check("plain_file/new/out.json", wd), missing + wd + "/plain_file/new");
  EXPECT_EQ(check("out.json", wd + "/gone"), missing + wd + "/gone");
  EXPECT_EQ(check("out.json", std::nullopt), "ok");
  EXPECT_FALSE(std::filesystem::exists(wd + "/missing"));  // nothing made before the write
}

TEST_F(OutputPath, MustNameAFileBeforeAnythingRuns) {
  // Refused up front: the write would fail only after cargo had run.
  const std::string wd = dir_.path();
  const std::string directory = "output_path must name a file, not a directory: ";
  EXPECT_EQ(check("", wd), directory + wd + "/");
  EXPECT_EQ(check(".", wd), directory + wd + "/.");
  EXPECT_EQ(check("reports", wd), directory + wd + "/reports");
  EXPECT_EQ(check("new/", wd), directory + wd + "/new/");
  EXPECT_EQ(check("", std::nullopt), directory);
  EXPECT_EQ(check("newname/.", wd), directory + wd + "/newname/.");
  EXPECT_EQ(check("reports/out.json", wd), "ok");
}

TEST(ReadSelectionArgs, CopiesStringsAndIntegerJobsOnly) {
  json args = json::parse(R"({
    "package": "", "exclude": "ex", "bin": "cli", "example": "demo", "test": "it",
    "bench": "b", "features": "a, b", "profile": "bench", "jobs": 4, "target": "x86",
    "target_dir": "t", "manifest_path": "m/Cargo.toml"})");
  SelectionArgs s = read_selection_args(args);
  using O = std::optional<std::string>;
  EXPECT_EQ((std::vector<O>{s.package, s.exclude, s.bin, s.example, s.test, s.bench, s.features,
                            s.profile, s.jobs, s.target, s.target_dir, s.manifest_path}),
            (std::vector<O>{"", "ex", "cli", "demo", "it", "b", "a, b", "bench", "4", "x86", "t",
                            "m/Cargo.toml"}));

  auto jobs = [](const char* value) {
    return read_selection_args(json::parse(std::string(R"({"jobs":)") + value + "}")).jobs;
  };
  EXPECT_EQ(jobs("-1"), "-1");
  EXPECT_EQ(jobs("9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(jobs("-9223372036854775808"), "-9223372036854775808");
  EXPECT_EQ(jobs("9223372036854775808"), std::nullopt);
  EXPECT_EQ(jobs(R"("4")"), std::nullopt);
  EXPECT_EQ(jobs("4.0"), std::nullopt);
  EXPECT_EQ(jobs("4e0"), std::nullopt);
  EXPECT_EQ(jobs("true"), std::nullopt);

  SelectionArgs wrong = read_selection_args(json::parse(
      R"({"package": 5, "bin": true, "features": ["a"], "profile": {}, "target": null})"));
  for (const O& field : {wrong.package, wrong.bin, wrong.features, wrong.profile, wrong.target})
    EXPECT_EQ(field, std::nullopt);

  SelectionArgs from_array = read_selection_args(json::array({"package"}));
  EXPECT_EQ(from_array.package, std::nullopt);
  EXPECT_EQ(from_array.jobs, std::nullopt);
}

}  // namespace
}  // namespace tarnwick
