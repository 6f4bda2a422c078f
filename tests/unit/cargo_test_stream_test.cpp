#include "test_select/cargo_test_stream.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

const std::vector<KnownBinary> kKnown = {{"/w/target/debug/deps/alpha-e629", "--lib"},
                                         {"/w/target/debug/deps/beta-04b5", "--lib"},
                                         {"/w/target/debug/deps/it-9a3a", "--test it"}};

/// The artifact message cargo prints for a test binary it built.
std::string artifact(std::string_view name, std::string_view executable) {
  return fmt::format(
      R"({{"reason":"compiler-artifact","package_id":"path+file:///w/{0}#0.1.0",)"
      R"("target":{{"kind":["lib"],"name":"{0}"}},"profile":{{"test":true}},"executable":"{1}"}})"
      "\n",
      name, executable);
}

/// Reads a run whose build named the known binaries and `extra` ones.
CargoTestStream read_stream(std::string_view text, bool exited = true,
                            const std::vector<std::string>& extra = {},
                            StreamFormat format = StreamFormat::Tests,
                            const std::vector<KnownBinary>& known = kKnown) {
  CargoTestStream stream(known, format);
  StreamInstant at{};
  std::string announced;
  for (const KnownBinary& binary : known) announced += artifact("x", binary.executable);
  for (const std::string& executable : extra) announced += artifact("extra", executable);
  const std::string run = announced + std::string(text);
  for (std::string_view line : split_lines(run)) {
    at += std::chrono::seconds(1);
    stream.take(line, at);
  }
  stream.finish(at + std::chrono::seconds(1), exited);
  return stream;
}

// Two binaries of one run, the first crashing in the middle of a result line:
// cargo's failure line then ends that line. Lines ending in CR CR LF keep the
// CR the line rule leaves them.
TEST(CargoTestStream, SplitsTheRunIntoEachBinarysPart) {
  CargoTestStream stream = read_stream(
      "{\"reason\":\"build-finished\",\"success\":true}\r\r\n"
      "    Finished `test` profile [unoptimized + debuginfo] target(s) in 0.61s\n"
      "     Running unittests src/lib.rs (target/debug/deps/alpha-e629)\n"
      "\n"
      "running 2 tests\n"
      "test tests::a ... ok\r\r\n"
      "test tests::boom ... error: test failed, to rerun pass `-p alpha --lib`\n"
      "\n"
      "Caused by:\n"
      "  process didn't exit successfully: `/w/target/debug/deps/alpha-e629 --exact 'tests::a'` "
      "(signal: 6, SIGABRT: process abort signal)\n"
      "     Running unittests src/lib.rs (/w/target/debug/deps/beta-04b5)\n"
      "\n"
      "running 1 test\n"
      "test tests::a ... FAILED\n"
      "test result: FAILED. 0 passed; 1 failed; 0 ignored; 0 measured; 1 filtered out\n"
      "\n"
      "error: test failed, to rerun pass `-p beta --lib`\n"
      "error: 2 targets failed:\n"
      "    `-p alpha --lib`\n"
      "    `-p beta --lib`\n");
  ASSERT_EQ(stream.parts().size(), 2u);
  const BinaryPart& alpha = stream.parts()[0];
  EXPECT_EQ(alpha.binary, 0u);
  EXPECT_EQ(alpha.output, "\nrunning 2 tests\ntest tests::a ... ok\r\r\ntest tests::boom ... \n");
  EXPECT_EQ(alpha.exit->code, 134);
  EXPECT_TRUE(alpha.exit->signalled());
  EXPECT_EQ(*alpha.ended - alpha.started, std::chrono::seconds(4));
  const BinaryPart& beta = stream.parts()[1];
  EXPECT_EQ(beta.binary, 1u);
  EXPECT_EQ(beta.exit->code, 101);
  EXPECT_FALSE(beta.exit->signalled());
  EXPECT_TRUE(beta.output.ends_with("filtered out\n\n"));
  EXPECT_TRUE(
      stream.cargo_json().ends_with("\n{\"reason\":\"build-finished\",\"success\":true}\r\r\n"));
  EXPECT_TRUE(stream.cargo_text().starts_with("    Finished"));
  EXPECT_TRUE(stream.cargo_text().ends_with("    `-p beta --lib`\n"));
  EXPECT_TRUE(stream.unknown_executables().empty());
}

// A passing binary ends at the next binary's start or at cargo's end; a run
// stopped during a binary leaves it running. cargo may start a binary the
// build did not list (`--lib` selects a library whose tests are off): the
// run's own artifact messages name it, and it has a part of its own. What a
// test prints is its own output, however much it looks like cargo's: a
// failure line for another target, or for its own when the binary's output
// goes on after it, a closing line and its list, a "Running" line for a
// binary the run did not build or already ran, or for one it built but
// followed by more of libtest's lines of the binary that runs.
TEST(CargoTestStream, EndsAndLookalikes) {
  CargoTestStream stream = read_stream(
      "     Running tests/it.rs (target/debug/deps/it-9a3a)\n"
      "error: test failed, to rerun pass `--lib`\n"
      "error: test failed, to rerun pass `--test it`\n"
      "\n"
      "test a ... ok\n"
      "error: 2 targets failed:\n"
      "    `--lib`\n"
      "test b ... ok\n"
      "     Running unittests src/lib.rs (target/debug/deps/beta-04b5)\n"
      "\n"
      "test c ... ok\n"
      "test d ...      Running unittests src/lib.rs (target/debug/deps/beta-04b5)\n"
      "ok\n"
      "     Running tests/other.rs (target/debug/deps/other-0123)\n"
      "     Running tests/it.rs (target/debug/deps/it-9a3a)\n"
      "test x ...      Running unittests src/lib.rs (target/debug/deps/other-1234)\n"
      "test result: ok. 0 passed; 0 failed; 0 ignored; 0 measured\n"
      "     Running unittests src/lib.rs (target/debug/deps/extra-ffff)\n"
      "running 0 tests\n"
      "     Running unittests src/lib.rs (target/debug/deps/alpha-e629)\n"
      "running 1 test\n",
      /*exited=*/false, {"/w/target/debug/deps/extra-ffff"});
  ASSERT_EQ(stream.parts().size(), 3u);
  const BinaryPart& it = stream.parts()[0];
  EXPECT_EQ(it.exit->code, 0);
  for (std::string_view printed :
       {"`--lib`", "`--test it`\n\ntest a", "2 targets failed:\n    `--lib`\ntest b",
        "(target/debug/deps/beta-04b5)\n\ntest c",
        "test d ...      Running unittests src/lib.rs (target/debug/deps/beta-04b5)\nok",
        "other-0123", "(target/debug/deps/it-9a3a)\ntest x", "other-1234"})
    EXPECT_NE(it.output.find(printed), std::string::npos) << printed;
  EXPECT_FALSE(stream.parts()[1].binary);
  EXPECT_EQ(stream.parts()[1].output, "running 0 tests\n");
  EXPECT_EQ(stream.parts()[2].binary, 0u);
  EXPECT_FALSE(stream.parts()[2].ended);
  EXPECT_EQ(stream.unknown_executables(), std::vector<std::string>{"target/debug/deps/extra-ffff"});
}

TEST(CargoTestStream, ExitDetailsFromCargosCause) {
  CargoTestStream stream = read_stream(
      "     Running tests/it.rs (target/debug/deps/it-9a3a)\n"
      "test result: ok. 1 passed; 0 failed; 0 ignored; 0 measured\n"
      "error: test failed, to rerun pass `--test it`\n"
      "\n"
      "Caused by:\n"
      "  process didn't exit successfully: `/tmp/runner.sh /w/target/debug/deps/it-9a3a` "
      "(exit status: 3)\n"
      "note: test exited abnormally; to see the full output pass --no-capture to the harness.\n");
  ASSERT_EQ(stream.parts().size(), 1u);
  EXPECT_EQ(stream.parts()[0].exit->code, 3);
  EXPECT_EQ(stream.parts()[0].exit->description, "exit status: 3");
}

// cargo's lines are found by the paths its own artifact messages name, in
// whatever form the user's configuration gives them: a target directory with
// blanks and parentheses, colour, a progress bar that shares a line with a
// JSON message. The failure list at the end names the failed targets.
TEST(CargoTestStream, CargosLinesInEveryForm) {
  const std::vector<KnownBinary> known = {{"/w/Project (2)/t (x)/debug/deps/alpha-e629", "--lib"},
                                          {"/w/Project (2)/t (x)/debug/deps/it-9a3a", "--test it"}};
  CargoTestStream stream = read_stream(
      "   Building [===>   ] 1/2: alpha\r{\"reason\":\"build-finished\",\"success\":true}\n"
      "\x1b[1m\x1b[92m     Running\x1b[0m unittests src/lib.rs (t (x)/debug/deps/alpha-e629)\n"
      "running 1 test\n"
      "test a ... FAILED\n"
      "\x1b[1m\x1b[91merror\x1b[0m: test failed, to rerun pass `--lib`\n"
      "     Running tests/it.rs (/w/Project (2)/t (x)/debug/deps/it-9a3a)\n"
      "running 1 test\n"
      "error: test failed, to rerun pass `--test it`\n"
      "\n"
      "   Doc-tests alpha\n"
      "test b ... ok\n"
      "\n"
      "test result: ok. 1 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out\n"
      "\n"
      "error: 1 target failed:\n"
      "    `--lib`\n",
      true, {}, StreamFormat::Tests, known);
  ASSERT_EQ(stream.parts().size(), 2u);
  EXPECT_EQ(stream.parts()[0].binary, 0u);
  EXPECT_EQ(stream.parts()[0].shown_path, "t (x)/debug/deps/alpha-e629");
  EXPECT_EQ(stream.parts()[0].exit->code, 101);
  EXPECT_EQ(stream.parts()[0].rerun_hint, "--lib");
  EXPECT_EQ(stream.parts()[1].binary, 1u);
  EXPECT_EQ(stream.parts()[1].exit->code, 0);
  EXPECT_NE(stream.parts()[1].output.find("Doc-tests alpha\ntest b ... ok"), std::string::npos);
  EXPECT_TRUE(stream.cargo_json().ends_with("{\"reason\":\"build-finished\",\"success\":true}\n"));
  EXPECT_EQ(stream.failed_targets(), std::vector<std::string>{"--lib"});
}

// In a --list run no test code runs, so a binary's first line (a test name,
// however it starts) never casts doubt on cargo's "Running" line before it.
TEST(CargoTestStream, AListingStartsEachBinaryAtItsRunningLine) {
  CargoTestStream stream = read_stream(
      "     Running unittests src/lib.rs (target/debug/deps/alpha-e629)\n"
      "a: test\n\n1 test, 0 benchmarks\n"
      "     Running tests/it.rs (target/debug/deps/it-9a3a)\n"
      "ignored_paths_are_skipped: test\n"
      "test result: ok: test\n\n2 tests, 0 benchmarks\n",
      true, {}, StreamFormat::Listing);
  ASSERT_EQ(stream.parts().size(), 2u);
  EXPECT_EQ(stream.parts()[1].binary, 2u);
  EXPECT_TRUE(stream.parts()[1].output.starts_with("ignored_paths_are_skipped: test\n"));
}

}  // namespace
}  // namespace tarnwick
