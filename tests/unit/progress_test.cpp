#include "server/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

/// Feeds `lines` to a fresh state for `tool` and returns the messages given.
std::vector<std::string> messages(std::string_view tool, const json& arguments,
                                  const std::vector<std::string>& lines) {
  ProgressState state = make_progress_state(tool, arguments);
  std::vector<std::string> out;
  for (const std::string& line : lines)
    if (auto m = progress_message(state, line)) out.push_back(*m);
  return out;
}

std::string one(std::string_view tool, const json& arguments,
                const std::vector<std::string>& lines) {
  auto all = messages(tool, arguments, lines);
  return all.empty() ? "<none>" : all.back();
}

// The quick reading of compiler messages gives what the library's parser
// gives.
TEST(ProgressMessage, QuickReadingAgreesWithTheParser) {
  const std::vector<std::string> lines = {
      R"({"reason":"compiler-message","message":{"level":"warning","message":"a \"q\" \u00e9 \n"}})",
      R"({"reason":"compiler-message","message":{"message":")" + std::string(150, 'x') +
          "\u00e9\"}}",
      R"({"reason":"compiler-message","message":{"level":7,"message":"no level"}})",
      R"({"reason":"compiler-message","message":"flat"})",
      R"({"reason":"compiler-message","message":{"message":""}})",
      R"({"reason":"compiler-m\u0065ssage","message":{"message":"escaped reason"}})",
      R"({"reason":"compiler-message","reason":"build-finished","success":true})",
      R"({"reason":"compiler-message","message":{"message":"big"},"n":123456789012345678901})",
      "plain text"};
  ProgressState quick = make_progress_state("cargo_check", json::object());
  ProgressState parsed = quick;
  JsonLineReader reader;
  for (const std::string& line : lines)
    EXPECT_EQ(progress_message(quick, line, reader), progress_message(parsed, line)) << line;
}

const std::string kFinishedOk = R"({"reason":"build-finished","success":true})";
const std::string kFinishedFailed = R"({"reason":"build-finished","success":false})";

std::string phase_marker(const std::string& phase) {
  return R"({"reason":"x-tarnwick-phase","phase":")" + phase + "\"}";
}

std::string artifact(const std::string& package_id, bool fresh) {
  json record = {{"reason", "compiler-artifact"}, {"package_id", package_id}, {"fresh", fresh}};
  return record.dump();
}

TEST(ProgressState, LabelsFromNameAndArguments) {
  ProgressState s = make_progress_state("cargo_nextest_run", json::object());
  EXPECT_EQ(s.label, "nextest_run");
  EXPECT_EQ(s.profile_label, "[dev]");
  EXPECT_FALSE(s.target);
  EXPECT_EQ(make_progress_state("custom", json::object()).label, "custom");
  EXPECT_EQ(make_progress_state("x", {{"profile", "debug"}}).profile_label, "[dev]");
  EXPECT_EQ(make_progress_state("x", {{"profile", "dev"}}).profile_label, "[dev]");
  EXPECT_EQ(make_progress_state("x", {{"profile", "bench"}, {"release", true}}).profile_label,
            "[bench]");
  // A profile that is not a string falls back to the release flag, read leniently.
  EXPECT_EQ(make_progress_state("x", {{"profile", 5}, {"release", "YES"}}).profile_label,
            "[release]");
  EXPECT_EQ(make_progress_state("x", json::array()).profile_label, "[dev]");
}

TEST(ProgressMessage, BuildFinishedOutsideAnyPhase) {
  json release = {{"release", true}};
  EXPECT_EQ(one("cargo_build", release, {kFinishedOk}), "Cargo build [release] finished");
  json with_target = {{"release", true}, {"target", "x86_64-unknown-linux-gnu"}};
  EXPECT_EQ(one("cargo_build", with_target, {kFinishedOk}),
            "Cargo build [release] (x86_64-unknown-linux-gnu) finished");
  EXPECT_EQ(one("cargo_build", release, {kFinishedFailed}), "Cargo build [release] failed");
  EXPECT_EQ(one("cargo_build", release, {R"({"reason":"build-finished"})"}),
            "Cargo build [release] failed");
  EXPECT_EQ(one("cargo_build", release, {R"({"reason":"build-finished","success":"true"})"}),
            "Cargo build [release] failed");
  EXPECT_EQ(one("cargo_build", {{"target", ""}}, {kFinishedOk}), "Cargo build [dev] () finished");
}

TEST(ProgressMessage, BuildFinishedFollowsPhaseMarkers) {
  json debug = {{"profile", "debug"}};
  EXPECT_EQ(one("cargo_test", debug, {phase_marker("test execution"), kFinishedOk}),
            "Cargo test: build cached [dev] \u2014 executing tests now");
  EXPECT_EQ(one("cargo_test", debug, {phase_marker("test execution"), kFinishedFailed}),
            "Cargo test: unexpected build failure before test execution [dev]");
  EXPECT_EQ(one("cargo_test", debug, {phase_marker("build"), kFinishedOk}),
            "Cargo test: build phase [dev] finished");
  EXPECT_EQ(one("cargo_test", {{"target", "T"}}, {phase_marker("doc test"), kFinishedFailed}),
            "Cargo test: doc test [dev] (T) failed");
  // A marker without a string phase clears it; an unlisted phase uses the plain template.
  EXPECT_EQ(one("cargo_test", debug,
                {phase_marker("build"), R"({"reason":"x-tarnwick-phase","phase":3})", kFinishedOk}),
            "Cargo test [dev] finished");
  EXPECT_EQ(one("cargo_test", debug,
                {phase_marker("build"), R"({"reason":"x-tarnwick-phase"})", kFinishedOk}),
            "Cargo test [dev] finished");
  EXPECT_EQ(one("cargo_test", debug, {phase_marker("linking"), kFinishedOk}),
            "Cargo test [dev] finished");
}

TEST(ProgressMessage, CompilerMessagesAreCutByCharacters) {
  auto diagnostic = [](json message) {
    return json{{"reason", "compiler-message"}, {"message", std::move(message)}}.dump();
  };
  EXPECT_EQ(one("cargo_check", {}, {diagnostic({{"level", "warning"}, {"message", "M"}})}),
            "Cargo check: [warning] M");
  EXPECT_EQ(one("cargo_check", {}, {diagnostic({{"message", "M"}})}), "Cargo check: [note] M");
  EXPECT_EQ(one("cargo_check", {}, {diagnostic({{"level", 4}, {"message", "M"}})}),
            "Cargo check: [note] M");
  EXPECT_EQ(one("cargo_check", {}, {diagnostic({{"level", "error"}, {"message", ""}})}), "<none>");
  EXPECT_EQ(one("cargo_check", {}, {diagnostic("not an object")}), "<none>");

  std::string long_text(200, 'a');
  EXPECT_EQ(one("cargo_check", {}, {diagnostic({{"level", "error"}, {"message", long_text}})}),
            "Cargo check: [error] " + std::string(120, 'a'));

  std::string accents;
  for (int i = 0; i < 130; ++i) accents += "\xC3\xA9";  // é, two bytes each
  std::string expected = "Cargo check: [error] ";
  for (int i = 0; i < 120; ++i) expected += "\xC3\xA9";
  EXPECT_EQ(one("cargo_check", {}, {diagnostic({{"level", "error"}, {"message", accents}})}),
            expected);
}

TEST(ProgressMessage, ArtifactCountsAndRegistry) {
  const std::string serde = "registry+https://github.com/rust-lang/crates.io-index#serde@1.0.0";
  // Fresh artifacts send nothing but count.
  EXPECT_EQ(messages("cargo_build", {}, {artifact(serde, true)}).size(), 0u);
  EXPECT_EQ(one("cargo_build", {}, {artifact(serde, true), artifact(serde, false)}),
            "Cargo build: Building serde v1.0.0 (2/2) [dev] [crates.io]");
  EXPECT_EQ(one("cargo_build", {},
                {artifact(serde, true), artifact(serde, true),
                 artifact("path+file:///w#a@0.1.0", false)}),
            "Cargo build: Building a v0.1.0 (3/3) [dev]");
  // A missing or non-boolean fresh counts without a message.
  EXPECT_EQ(messages("cargo_build", {},
                     {R"({"reason":"compiler-artifact"})",
                      R"({"reason":"compiler-artifact","fresh":"no"})"})
                .size(),
            0u);

  const std::string total120 = R"({"reason":"x-tarnwick-progress-total","total_units":120})";
  const std::string total2 = R"({"reason":"x-tarnwick-progress-total","total_units":2})";
  const std::string a = artifact("path+file:///w#a@1.0.0", false);
  EXPECT_EQ(one("cargo_build", {}, {total120, a, a, a}),
            "Cargo build: Building a v1.0.0 (3/120) [dev]");
  EXPECT_EQ(one("cargo_build", {}, {total2, a, a, a, a, a}),
            "Cargo build: Building a v1.0.0 (5/5) [dev]");
  // A total too large to hold is forgotten: the count stands alone again.
  EXPECT_EQ(
      one("cargo_build", {},
          {total120, R"({"reason":"x-tarnwick-progress-total","total_units":4294967296})", a}),
      "Cargo build: Building a v1.0.0 (1/1) [dev]");

  EXPECT_EQ(
      one("cargo_build", {}, {artifact("registry+https://example.com/some-registry/#x@2", false)}),
      "Cargo build: Building x v2 (1/1) [dev] [some-registry]");
}

TEST(ProgressMessage, MalformedTotalsLeaveStateAlone) {
  ProgressState state = make_progress_state("cargo_build", json::object());
  auto total = [&](const std::string& units) {
    progress_message(state,
                     R"({"reason":"x-tarnwick-progress-total","total_units":)" + units + "}");
  };
  total("7");
  EXPECT_TRUE(state.has_total);
  EXPECT_EQ(state.total, 7u);
  for (const char* bad : {"-1", "1.5", "2.0", "1e2", "\"9\"", "null", "-0"}) {
    total(bad);
    EXPECT_TRUE(state.has_total) << bad;
    EXPECT_EQ(state.total, 7u) << bad;
  }
  progress_message(state, R"({"reason":"x-tarnwick-progress-total"})");
  EXPECT_EQ(state.total, 7u);
  total("4294967296");
  EXPECT_FALSE(state.has_total);
  total("4294967295");
  EXPECT_TRUE(state.has_total);
  EXPECT_EQ(state.total, 4294967295u);
}

TEST(PackageId, RegistryAndNameParts) {
  EXPECT_EQ(registry_short_name("registry+https://github.com/rust-lang/crates.io-index#serde@1"),
            "crates.io");
  EXPECT_EQ(registry_short_name("registry+https://my.host/some-registry//#x@1"), "some-registry");
  EXPECT_EQ(registry_short_name("registry+plain"), "plain");
  EXPECT_EQ(registry_short_name("registry+https://host/#x@1"), "host");
  EXPECT_EQ(registry_short_name("registry+/#x"), "");
  EXPECT_FALSE(registry_short_name("path+file:///C:/work/app#0.1.0"));
  EXPECT_FALSE(registry_short_name("sparse+https://index.crates.io/#serde@1.0.0"));

  json named = {{"target", {{"name", "app"}}}};
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(split_package_id("path+file:///C:/work/app#0.1.0", named), P("app", "0.1.0"));
  EXPECT_EQ(split_package_id("path+file:///C:/work/app#0.1.0", json::object()), P("?", "0.1.0"));
  EXPECT_EQ(split_package_id("path+file:///C:/work/app", named), P("app", ""));
  EXPECT_EQ(split_package_id("git+https://h/r#a@b@1.2#rest", named), P("a@b", "1.2"));
  EXPECT_EQ(split_package_id("x#", {{"target", {{"name", 3}}}}), P("?", ""));
}

/// Records the notifications a reporter sends, as the client reads them;
/// while `taking` is false it drops them as a full pipe would.
struct Recorder {
  std::vector<json> sent;
  std::vector<std::string> texts;  // the params as written
  bool taking = true;
  NotificationWriter writer() {
    return [this](std::string_view method, std::string_view params) {
      EXPECT_EQ(method, "notifications/progress");
      if (!taking) return false;
      texts.emplace_back(params);
      sent.push_back(json::parse(params));
      return true;
    };
  }
};

TEST(ProgressReporter, CountsSentMessagesOnlyAndEchoesToken) {
  Recorder rec;
  ProgressReporter reporter("cargo_build", json::object(), "null", 0, rec.writer());
  for (const char* line : {"", "abc", "42", "[1,2]", R"({"reason":"unknown"})", "{\"reason\":1}",
                           "tarnwick: retrying after busy file", kFinishedOk.c_str()})
    reporter.report_cargo_progress(line);
  ASSERT_EQ(rec.sent.size(), 3u);
  EXPECT_EQ(rec.sent[0], json({{"message", "abc"}, {"progress", 0}, {"progressToken", nullptr}}));
  EXPECT_EQ(rec.sent[1]["message"], "tarnwick: retrying after busy file");
  EXPECT_EQ(rec.sent[1]["progress"], 1);
  EXPECT_EQ(rec.sent[2]["message"], "Cargo build [dev] finished");
  EXPECT_EQ(rec.sent[2]["progress"], 2);
  EXPECT_TRUE(rec.sent[2]["progressToken"].is_null());

  reporter.close();
  reporter.report_cargo_progress("after the response");
  EXPECT_EQ(rec.sent.size(), 3u);

  // The token goes back as the client wrote it, digits included; dropped
  // notifications are not counted.
  Recorder second;
  ProgressReporter next("cargo_build", json::object(),
                        R"([-0,1e3,18446744073709551616,{"a":-0.0}])", 0, second.writer());
  next.report_cargo_progress("x");
  second.taking = false;
  next.report_cargo_progress("dropped");
  second.taking = true;
  next.report_cargo_progress("y");
  EXPECT_EQ(
      second.texts,
      (std::vector<std::string>{
          R"({"message":"x","progress":0,"progressToken":[-0,1e3,18446744073709551616,{"a":-0.0}]})",
          R"({"message":"y","progress":1,"progressToken":[-0,1e3,18446744073709551616,{"a":-0.0}]})"}));
}

TEST(ProgressReporter, DelayFollowsOnlySentNotificationsAndEndsOnCancellation) {
  using Clock = std::chrono::steady_clock;
  Recorder rec;
  ProgressReporter reporter("cargo_build", json::object(), "1", 300, rec.writer());
  auto start = Clock::now();
  for (int i = 0; i < 5; ++i) reporter.report_cargo_progress("");
  reporter.report_cargo_progress("42");
  rec.taking = false;
  reporter.report_cargo_progress("dropped");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(300));
  rec.taking = true;
  start = Clock::now();
  reporter.report_cargo_progress("sent");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(rec.sent.size(), 1u);

  // A minute's delay ends when the call is cancelled, during the wait or
  // before it.
  CancelFlag cancel = make_cancel_flag();
  std::thread canceller;
  ProgressReporter slow(
      "cargo_build", json::object(), "1", 60000,
      [&](std::string_view, std::string_view) {
        if (!cancel->load() && !canceller.joinable())
          canceller = std::thread([&] { cancel->store(true); });
        return true;
      },
      cancel);
  start = Clock::now();
  slow.report_cargo_progress("first");
  canceller.join();
  slow.report_cargo_progress("second");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace tarnwick
