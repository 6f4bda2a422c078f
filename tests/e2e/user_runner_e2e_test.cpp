// The user's runner, in each form cargo takes it, still starts the test
// binaries under test_filter and bisection, and a test sees there what plain
// cargo test gives it: the same environment, descriptors and signal state.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "runner/target_runner.h"
#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::read_file;
using tarnwick::testing::TempDir;

/// A crate in app/ whose tests pass only when run.sh started them with the
/// tag the call expects; `first` records what its process was started with.
void write_crate(const TempDir& root) {
  root.write("tools/run.sh",
             "#!/bin/sh\ntag=untagged\nif [ \"$1\" = --tag ]; then tag=$2; shift 2; fi\n"
             "RUNNER_TAG=$tag exec \"$@\"\n");
  std::filesystem::permissions(root / "tools/run.sh", std::filesystem::perms::owner_all);
  root.write("app/Cargo.toml",
             "[package]\nname = \"forms\"\nversion = \"0.1.0\"\nedition = \"2021\"\n");
  root.write("app/src/lib.rs", R"(#[cfg(test)]
mod tests {
    fn started_by_runner() {
        assert_eq!(std::env::var("RUNNER_TAG").ok(), std::env::var("EXPECT_TAG").ok());
    }

    /// Pipes and sockets are named by first appearance: their inodes differ between runs.
    fn descriptors() -> Vec<String> {
        let own = format!("/proc/{}/fd", std::process::id());
        let mut fds: Vec<(u32, String)> = std::fs::read_dir("/proc/self/fd")
            .unwrap()
            .filter_map(|entry| {
                let entry = entry.ok()?;
                let fd = entry.file_name().to_str()?.parse().ok()?;
                Some((fd, std::fs::read_link(entry.path()).ok()?.display().to_string()))
            })
            .filter(|(_, target)| *target != own)
            .collect();
        fds.sort();
        let mut seen: Vec<String> = Vec::new();
        fds.into_iter()
            .map(|(fd, target)| {
                let kind = match target.split_once(":[") {
                    Some((kind, _)) if kind == "pipe" || kind == "socket" => {
                        if !seen.contains(&target) {
                            seen.push(target.clone());
                        }
                        format!("{kind} #{}", seen.iter().position(|s| *s == target).unwrap())
                    }
                    _ => target,
                };
                let info = std::fs::read_to_string(format!("/proc/self/fdinfo/{fd}")).unwrap();
                let flags = info.lines().find(|l| l.starts_with("flags:")).unwrap().to_string();
                format!("fd {fd} {kind} {flags}")
            })
            .collect()
    }

    #[test]
    fn first() {
        started_by_runner();
        let mut lines: Vec<String> = std::env::vars().map(|(k, v)| format!("{k}={v}")).collect();
        lines.sort();
        lines.push(format!("cwd={}", std::env::current_dir().unwrap().display()));
        // The test's own thread: the main one blocks every signal while it starts threads.
        let status = std::fs::read_to_string("/proc/thread-self/status").unwrap();
        for line in status.lines() {
            if let Some(ignored) = line.strip_prefix("SigIgn:\t") {
                // glibc's own signals 32 and 33 stay ignored after cargo's posix_spawn until a
                // thread starts, which old libtest skips with one test thread.
                let ignored = u64::from_str_radix(ignored, 16).unwrap() & !(3 << 31);
                lines.push(format!("SigIgn: {ignored:016x}"));
            } else if line.starts_with("Umask:") || line.starts_with("SigBlk:") {
                lines.push(line.to_string());
            }
        }
        lines.extend(descriptors());
        let dir = concat!(env!("CARGO_MANIFEST_DIR"), "/dumps");
        std::fs::create_dir_all(dir).unwrap();
        std::fs::write(format!("{dir}/{}", std::process::id()), lines.join("\n")).unwrap();
    }

    #[test]
    fn second() {
        started_by_runner();
    }
}
)");
}

/// The dumps `first` left since the last call, taken away.
std::vector<std::string> take_dumps(const std::string& dir) {
  std::vector<std::string> dumps;
  if (!std::filesystem::is_directory(dir)) return dumps;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    dumps.push_back(read_file(entry.path().string()));
  std::filesystem::remove_all(dir);
  return dumps;
}

/// The lines of `dump` missing from `reference` ("+") and the other way ("-").
std::string differing_lines(const std::string& dump, const std::string& reference) {
  auto lines_of = [](const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
  };
  std::set<std::string> got = lines_of(dump);
  std::set<std::string> want = lines_of(reference);
  std::string differing;
  for (const std::string& line : got)
    if (!want.contains(line)) differing += "+" + line + "\n";
  for (const std::string& line : want)
    if (!got.contains(line)) differing += "-" + line + "\n";
  return differing;
}

/// `env` as NAME='VALUE' words for a shell.
std::string shell_words(const json& env) {
  std::string words;
  for (const auto& [name, value] : env.items())
    words += name + "='" + value.get<std::string>() + "' ";
  return words;
}

json summary_of(const CallAnswer& answer, const std::string& reason) {
  std::vector<json> summaries = answer.records_with(reason);
  return summaries.empty() ? json() : summaries.front();
}

TEST(UserRunner, EveryFormStartsTheTestsAsCargoTestDoes) {
  TempDir root("tarnwick-forms");
  write_crate(root);
  const std::string app = root / "app";
  DirectCargo unstarted = run_cargo_directly(app, "test --lib", "EXPECT_TAG=relative");
  ASSERT_NE(unstarted.exit_code, 0) << "the tests must need the runner: " << unstarted.output;

  DirectCargo version = run_cargo_directly(app, "-vV");
  size_t host_at = version.output.find("\nhost: ");
  ASSERT_NE(host_at, std::string::npos) << version.output;
  host_at += 7;
  const std::string host =
      version.output.substr(host_at, version.output.find('\n', host_at) - host_at);
  const std::string script = root / "tools/run.sh";
  struct Form {
    const char* name;
    std::string config;  // .cargo/config.toml beside app/, none when empty
    json env;
  };
  // tools/ is beside .cargo/, not in app/ where cargo runs, so a relative runner
  // found the wrong way is missing; "array form" must reach run.sh as one word.
  const std::vector<Form> forms = {
      {"relative path",
       "[target." + host + "]\nrunner = \"tools/run.sh --tag relative\"\n",
       {{"EXPECT_TAG", "relative"}}},
      {"array",
       "[target." + host + "]\nrunner = [\"" + script + "\", \"--tag\", \"array form\"]\n",
       {{"EXPECT_TAG", "array form"}}},
      {"cfg",
       "[target.'cfg(unix)']\nrunner = \"" + script + " --tag cfg\"\n",
       {{"EXPECT_TAG", "cfg"}}},
      {"call's env", "", {{"EXPECT_TAG", "env"}, {runner_variable(host), script + " --tag env"}}},
  };

  ToolServer batched({{"RUST_BACKTRACE", "0"}}, {"--per-test-execution=false"});
  ToolServer per_test({{"RUST_BACKTRACE", "0"}}, {"--per-test-execution=true"});
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    std::filesystem::remove_all(root / ".cargo");
    if (!form.config.empty()) root.write(".cargo/config.toml", form.config);
    DirectCargo cargo = run_cargo_directly(app, "test --lib", shell_words(form.env));
    ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
    const std::map<std::string, std::string> results = libtest_results(cargo.output);
    ASSERT_EQ(results.size(), 2u) << cargo.output;
    take_dumps(app + "/dumps");

    // Plain cargo_test first: what it gives the test is what the others must.
    const json call = {{"working_dir", app}, {"lib", true}, {"env", form.env}};
    json filter = call;
    filter["test_filter"] = {{"pattern", "."}};
    json bisect = call;
    bisect["bisect"] = {{"group_timeout_secs", 60}};
    const std::vector<std::tuple<const char*, ToolServer*, json>> modes = {
        {"plain", &batched, call},
        {"batched", &batched, filter},
        {"per test", &per_test, filter},
        {"bisection", &batched, bisect}};
    std::string reference;
    for (const auto& [mode, server, arguments] : modes) {
      SCOPED_TRACE(mode);
      CallAnswer answer = server->call("cargo_test", arguments);
      EXPECT_FALSE(answer.is_error()) << answer.text();
      if (arguments.contains("test_filter")) {
        EXPECT_EQ(answer_results(answer), results) << answer.text();
        EXPECT_FALSE(summary_of(answer, "x-tarnwick-test-filter-summary").contains("tests_not_run"))
            << answer.text();
      } else if (arguments.contains("bisect")) {
        EXPECT_TRUE(answer.records_with("x-tarnwick-bisect-culprit").empty()) << answer.text();
        EXPECT_EQ(summary_of(answer, "x-tarnwick-bisect-summary")["tests_considered"], 2)
            << answer.text();
      }
      std::vector<std::string> dumps = take_dumps(app + "/dumps");
      ASSERT_FALSE(dumps.empty()) << answer.text();
      if (reference.empty()) reference = dumps[0];
      for (const std::string& dump : dumps) EXPECT_EQ(differing_lines(dump, reference), "");
    }
  }
}

}  // namespace
}  // namespace tarnwick::e2e
