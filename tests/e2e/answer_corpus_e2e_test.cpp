/// Whole answers of the build and test tools over a recorded corpus of real
/// cargo output (tests/data/corpus/streams, replayed by the stand-in cargo),
/// compared byte for byte with the answers kept in tests/data/corpus/answers:
/// every line the server writes for the call, progress and elicitation
/// included, and the output file when one is asked for. Only the temporary
/// folder and the helpers' folder are replaced by placeholders.
///
/// TARNWICK_CORPUS_RECORD=1 writes the kept answers anew from this server.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../common/temp_crate.h"
#include "server_process.h"

namespace tarnwick::e2e {
namespace {

using testing::read_file;
using testing::TempDir;
namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(TARNWICK_SOURCE_DIR) / "tests" / "data" / "corpus";
const std::string kFakeCargo = std::string(TARNWICK_TEST_BIN_DIR) + "/fake_cargo";

/// Answers longer than this are kept as their size, digest, head and tail.
constexpr size_t kWholeAnswerLimit = size_t{256} * 1024;

/// How the client answers review dialogs; any value but None announces form
/// elicitation in `initialize`.
enum class Dialog { None, AcceptAlternate, Decline };

struct CorpusCase {
  std::string name;
  std::string recording;
  std::string tool;
  json arguments = json::object();
  bool progress = false;
  std::vector<std::string> server_args;
  Dialog dialog = Dialog::None;
  /// Changes the copied recording before the call (the long lines are made here).
  std::function<void(const fs::path& streams)> grow;

  CorpusCase with(const json& more) const {
    CorpusCase c = *this;
    c.arguments.update(more);
    return c;
  }
  CorpusCase with_progress() const {
    CorpusCase c = *this;
    c.progress = true;
    return c;
  }
  CorpusCase served(std::vector<std::string> args, Dialog answer = Dialog::None) const {
    CorpusCase c = *this;
    c.server_args = std::move(args);
    c.dialog = answer;
    return c;
  }
  CorpusCase grown(std::function<void(const fs::path& streams)> change) const {
    CorpusCase c = *this;
    c.grow = std::move(change);
    return c;
  }
};

void PrintTo(const CorpusCase& c, std::ostream* os) { *os << c.name; }

CorpusCase corpus_case(std::string name, std::string recording, std::string tool) {
  CorpusCase c;
  c.name = std::move(name);
  c.recording = std::move(recording);
  c.tool = std::move(tool);
  return c;
}

void write_bytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

uint64_t fnv1a(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

/// What is kept of an answer: itself, or for a long one its size, digest,
/// head and tail.
std::string kept_form(const std::string& transcript) {
  if (transcript.size() <= kWholeAnswerLimit) return transcript;
  constexpr size_t kEdge = 2048;
  return "size " + std::to_string(transcript.size()) + "\nfnv1a " +
         std::to_string(fnv1a(transcript)) + "\n--- head ---\n" + transcript.substr(0, kEdge) +
         "\n--- tail ---\n" + transcript.substr(transcript.size() - kEdge) + "\n";
}

/// The client's answer to one review dialog: every other numbered option.
json dialog_answer(const json& request, Dialog dialog) {
  json result = {{"action", "decline"}};
  if (dialog == Dialog::AcceptAlternate) {
    json selected = json::array();
    bool take = true;
    for (const json& option :
         request["params"]["requestedSchema"]["properties"]["selected"]["items"]["anyOf"]) {
      std::string value = option.value("const", "");
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) continue;
      if (take) selected.push_back(value);
      take = !take;
    }
    result = {{"action", "accept"}, {"content", {{"selected", selected}}}};
  }
  return {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", result}};
}

/// A compiler-message line of `streams`' run `run`, made several mebibytes
/// long: its rendered text and its first span's replacement (now a review
/// suggestion) padded with non-ASCII text, quotes, backslashes and control
/// characters.
std::string long_message_line(const fs::path& streams, int run) {
  std::ifstream in(streams / (std::to_string(run) + ".stdout"), std::ios::binary);
  std::string line;
  while (std::getline(in, line) && line.find("\"compiler-message\"") == std::string::npos) {
  }
  json record = json::parse(line);
  std::string unit = "\xC3\xA9 \xE2\x80\x94 \"q\" \\ \t\x01 \xE6\x97\xA5\xE6\x9C\xAC ";
  std::string pad;
  for (int i = 0; i < 200'000; ++i) pad += unit;
  record["message"]["rendered"] = record["message"]["rendered"].get<std::string>() + pad;
  json& span = record["message"]["spans"][0];
  span["suggested_replacement"] = pad.substr(0, 1'000'000);
  span["suggestion_applicability"] = "MaybeIncorrect";
  return record.dump();
}

/// A plain text line of about three mebibytes, as a test might print.
std::string long_text_line() {
  std::string line = "long \xE2\x80\x94";
  for (int i = 0; i < 100'000; ++i) line += " \"w\xC3\xB6rd\" \\ \x07\t\xFF " + std::to_string(i);
  return line;
}

/// Adds `line` after the first line of run `run`'s standard output.
void insert_line(const fs::path& streams, int run, const std::string& line) {
  fs::path path = streams / (std::to_string(run) + ".stdout");
  std::string text = read_file(path.string());
  size_t first_end = text.find('\n') + 1;
  write_bytes(path, text.substr(0, first_end) + line + "\n" + text.substr(first_end));
}

/// Every line the server writes from the call to its response, then the
/// output file, with the temporary folders replaced.
std::string run_case(const CorpusCase& c) {
  TempDir work("tarnwick-corpus");
  work.write("Cargo.toml", "[package]\nname = \"corpus\"\nversion = \"0.1.0\"\n");
  fs::path streams = fs::path(work.path()) / "streams";
  fs::copy(kCorpus / "streams" / c.recording, streams);
  if (c.grow) c.grow(streams);
  fs::create_directory(fs::path(work.path()) / "fake");
  work.write("fake/script", "play " + streams.string() + "\n");

  ServerOptions options;
  options.args = c.server_args;
  options.env = {{"CARGO", kFakeCargo},
                 {"FAKE_CARGO_DIR", work.path() + "/fake"},
                 {"CARGO_NET_OFFLINE", "true"}};
  ServerProcess server(options);
  EXPECT_TRUE(server.started());
  server.skip_startup_lines();
  if (c.dialog != Dialog::None) {
    server.write_line(
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"capabilities":{"elicitation":{"form":{}}}}})");
    EXPECT_TRUE(server.read_response());
  }

  json arguments = c.arguments;
  arguments["working_dir"] = work.path();
  json params = {{"name", c.tool}, {"arguments", arguments}};
  if (c.progress) params["_meta"] = {{"progressToken", "corpus"}};
  server.write_line(
      json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}}.dump());

  std::string transcript;
  for (;;) {
    std::optional<std::string> line = server.read_line(std::chrono::seconds(60));
    if (!line) {
      ADD_FAILURE() << c.name << ": no response";
      break;
    }
    transcript += *line + "\n";
    json message = json::parse(*line, nullptr, false);
    if (message.value("method", "") == "elicitation/create")
      server.write_line(dialog_answer(message, c.dialog).dump());
    if (!message.contains("method") && message.value("id", json()) == 1) break;
  }
  if (c.arguments.contains("output_path"))
    transcript += "--- output file ---\n" +
                  read_file(work.file(c.arguments["output_path"].get<std::string>()));
  replace_all(transcript, work.path(), "<WORK>");
  replace_all(transcript, TARNWICK_TEST_BIN_DIR, "<BIN>");
  return transcript;
}

std::vector<CorpusCase> corpus_cases() {
  const json out_file = {{"output_path", "answer.jsonl"}};
  const std::vector<std::string> prompt = {"--elicitation-mode=prompt"};
  auto long_check = [](const fs::path& s) { insert_line(s, 2, long_message_line(s, 2)); };
  auto long_test = [](const fs::path& s) {
    insert_line(s, 2, long_message_line(s, 2));
    insert_line(s, 3, long_text_line());
    insert_line(s, 3, long_message_line(s, 2));
  };
  // A long plain line would be a progress message of its own, which a client
  // reading slowly may make the server drop: with progress, only the long
  // compiler messages, whose progress messages are cut short.
  auto long_test_messages = [](const fs::path& s) {
    insert_line(s, 2, long_message_line(s, 2));
    insert_line(s, 3, long_message_line(s, 2));
  };
  auto long_test_crate = [](const fs::path& s) {
    // The build phase of test_mixed has no compiler message; borrow one.
    std::string warning = read_file((kCorpus / "streams" / "check_warnings" / "2.stdout").string());
    write_bytes(s / "2.stdout", warning + read_file((s / "2.stdout").string()));
  };
  auto grow_test = [=](const fs::path& s) {
    long_test_crate(s);
    long_test(s);
  };
  auto grow_test_messages = [=](const fs::path& s) {
    long_test_crate(s);
    long_test_messages(s);
  };
  auto c = corpus_case;
  return {
      c("check_warnings", "check_warnings", "cargo_check"),
      c("check_warnings_progress", "check_warnings", "cargo_check").with_progress(),
      c("check_warnings_output_file", "check_warnings", "cargo_check").with(out_file),
      c("check_warnings_prompt_accept", "check_warnings", "cargo_check")
          .served(prompt, Dialog::AcceptAlternate),
      c("check_warnings_prompt_decline", "check_warnings", "cargo_check")
          .with_progress()
          .served(prompt, Dialog::Decline),
      // Never asked: the dialog only announces form elicitation.
      c("check_warnings_always_accept", "check_warnings", "cargo_check")
          .served({"--elicitation-mode=always-accept"}, Dialog::Decline),
      c("check_errors", "check_errors", "cargo_check"),
      c("check_errors_progress_output_file", "check_errors", "cargo_check")
          .with(out_file)
          .with_progress(),
      c("check_errors_prompt_accept", "check_errors", "cargo_check")
          .with_progress()
          .served(prompt, Dialog::AcceptAlternate),
      c("clippy_lints", "clippy_lints", "cargo_clippy"),
      c("clippy_lints_progress", "clippy_lints", "cargo_clippy").with_progress(),
      c("clippy_lints_prompt_accept", "clippy_lints", "cargo_clippy")
          .served(prompt, Dialog::AcceptAlternate),
      c("build_script", "build_script", "cargo_build"),
      c("build_script_progress_output_file", "build_script", "cargo_build")
          .with(out_file)
          .with_progress(),
      c("build_quiet_progress", "build_quiet", "cargo_build").with_progress(),
      c("check_quiet", "check_quiet", "cargo_check"),
      c("test_mixed", "test_mixed", "cargo_test"),
      c("test_mixed_progress", "test_mixed", "cargo_test").with_progress(),
      c("test_mixed_output_file", "test_mixed", "cargo_test").with(out_file),
      c("test_doc", "test_doc", "cargo_test").with({{"doc", true}}),
      c("test_doc_progress", "test_doc", "cargo_test").with({{"doc", true}}).with_progress(),
      c("check_noise", "check_noise", "cargo_check"),
      c("check_noise_shown", "check_noise", "cargo_check")
          .served({"--show-incremental-notes=true"}),
      c("check_noise_progress_output_file", "check_noise", "cargo_check")
          .with(out_file)
          .with_progress(),
      c("check_rescued", "check_rescued", "cargo_check"),
      c("check_rescued_progress", "check_rescued", "cargo_check").with_progress(),
      c("check_no_manifest", "check_no_manifest", "cargo_check"),
      c("edge_check", "edge_lines", "cargo_check"),
      c("edge_check_progress_output_file", "edge_lines", "cargo_check")
          .with(out_file)
          .with_progress(),
      c("edge_clippy_prompt_accept", "edge_lines", "cargo_clippy")
          .served(prompt, Dialog::AcceptAlternate),
      c("edge_test", "edge_lines", "cargo_test"),
      c("edge_test_progress_output_file", "edge_lines", "cargo_test")
          .with(out_file)
          .with_progress(),
      // A failing build drops lines longer than the invocation record.
      c("check_dependency_error", "check_dependency_error", "cargo_check"),
      c("check_dependency_error_output_file", "check_dependency_error", "cargo_check")
          .with(out_file),
      c("clippy_dependency_error", "clippy_dependency_error", "cargo_clippy"),
      c("clippy_dependency_error_output_file", "clippy_dependency_error", "cargo_clippy")
          .with(out_file),
      c("build_dependency_error", "build_dependency_error", "cargo_build"),
      c("build_dependency_error_output_file", "build_dependency_error", "cargo_build")
          .with(out_file),
      c("test_dependency_error", "test_dependency_error", "cargo_test"),
      c("test_dependency_error_output_file", "test_dependency_error", "cargo_test").with(out_file),
      c("long_check", "check_warnings", "cargo_check").grown(long_check),
      c("long_check_progress_output_file", "check_warnings", "cargo_check")
          .with(out_file)
          .with_progress()
          .grown(long_check),
      c("long_check_prompt_accept", "check_warnings", "cargo_check")
          .served(prompt, Dialog::AcceptAlternate)
          .grown(long_check),
      c("long_test", "test_mixed", "cargo_test").grown(grow_test),
      c("long_test_progress_output_file", "test_mixed", "cargo_test")
          .with(out_file)
          .with_progress()
          .grown(grow_test_messages),
  };
}

class AnswerCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(AnswerCorpus, AnswersAsKept) {
  const CorpusCase& c = GetParam();
  std::string kept = kept_form(run_case(c));
  fs::path golden = kCorpus / "answers" / (c.name + ".txt");
  if (std::getenv("TARNWICK_CORPUS_RECORD")) {
    fs::create_directories(golden.parent_path());
    write_bytes(golden, kept);
    return;
  }
  ASSERT_TRUE(fs::exists(golden)) << golden;
  std::string expected = read_file(golden.string());
  EXPECT_TRUE(kept == expected) << c.name << " differs from " << golden << "\n--- now ---\n"
                                << kept.substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(Corpus, AnswerCorpus, ::testing::ValuesIn(corpus_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick::e2e
