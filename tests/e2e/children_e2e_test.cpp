// Through the built server: a cargo whose descendants leave its process group
// and session answers within its clock and its cancellation, and nothing of
// its tree outlives the run or a server killed with SIGKILL.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/// The scripted stand-in for cargo, in a crate of its own. Its script
/// starts a child and a grandchild in cargo's group and a daemon in a session
/// of its own whose parent is gone, all holding cargo's pipes and writing
/// their ids (four with cargo's) to `pids_file()`; then cargo hangs.
class ScriptedCargo {
 public:
  ScriptedCargo() {
    dir_.write("script",
               "tree " + pids_file() + "\ndaemon " + pids_file() + "\nout started\nsleep 600000\n");
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> env() const {
    return {{"CARGO", std::string(TARNWICK_TEST_BIN_DIR) + "/fake_cargo"},
            {"FAKE_CARGO_DIR", dir_.path()}};
  }
  std::string pids_file() const { return dir_.file("pids"); }
  std::vector<int> pids() const {
    std::vector<int> out;
    std::ifstream in(pids_file());
    for (int pid = 0; in >> pid;) out.push_back(pid);
    return out;
  }
  const std::string& crate_dir() const { return crate_.path(); }

 private:
  TempDir dir_{"tarnwick-scripted-cargo"};
  TempCrate crate_{"scripted", {{"src/lib.rs", ""}}};
};

template <typename Done>
bool wait_for(Done done, milliseconds limit) {
  auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

void expect_ping_answered(ToolServer& server) {
  server.process().write_line(R"({"jsonrpc":"2.0","id":"after","method":"ping"})");
  std::optional<json> pong = server.process().read_response(milliseconds(10000));
  ASSERT_TRUE(pong.has_value());
  EXPECT_EQ((*pong)["id"], "after");
}

TEST(Children, DaemonHoldingThePipesTimesOutOnTheClockAndDiesWithTheRun) {
  ScriptedCargo cargo;
  ToolServer server(cargo.env());
  auto start = Clock::now();
  server.send("cargo_build", {{"working_dir", cargo.crate_dir()}, {"timeout_secs", 2}});
  CallAnswer answer = server.receive(milliseconds(60000));
  long took = ms_since(start);
  std::cout << "[ timeout  ] answered after " << took << " ms" << std::endl;
  EXPECT_LT(took, 2000 + 8000) << "the daemon never ends: only the clock can end the run";
  EXPECT_TRUE(answer.is_error());
  EXPECT_NE(answer.text().find("timed out after 2."), std::string::npos) << answer.text();

  std::vector<int> pids = cargo.pids();
  ASSERT_EQ(pids.size(), 4u);
  EXPECT_TRUE(all_gone({pids.begin(), pids.end()}));
  EXPECT_TRUE(descendants(server.process().pid()).empty());
  expect_ping_answered(server);
}

TEST(Children, CancellationEndsARunWhoseDaemonHoldsThePipesAtOnce) {
  ScriptedCargo cargo;
  ToolServer server(cargo.env());
  server.send("cargo_build", {{"working_dir", cargo.crate_dir()}});
  int id = server.next_id() - 1;
  ASSERT_TRUE(wait_for([&] { return cargo.pids().size() == 4; }, milliseconds(60000)));

  auto cancelled_at = Clock::now();
  server.process().write_line(json{
      {"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", id}}}}
                                  .dump());
  CallAnswer answer = server.receive(milliseconds(60000));
  long took = ms_since(cancelled_at);
  std::cout << "[ cancel   ] answered " << took << " ms after the cancellation" << std::endl;
  EXPECT_LT(took, 5000) << "the daemon never ends: only the cancellation can end the run";
  EXPECT_EQ(answer.text(), "Operation cancelled by client request.");

  std::vector<int> pids = cargo.pids();
  EXPECT_TRUE(all_gone({pids.begin(), pids.end()}));
  EXPECT_TRUE(descendants(server.process().pid()).empty());
  expect_ping_answered(server);
}

/// Kills the server with SIGKILL and reports how long `tree` took to go.
void kill_server_and_expect_tree_gone(ToolServer& server, const std::set<int>& tree) {
  auto killed_at = Clock::now();
  ::kill(server.process().pid(), SIGKILL);
  EXPECT_TRUE(all_gone(tree)) << "a process of the run survived the server";
  std::cout << "[ sigkill  ] tree gone after " << ms_since(killed_at) << " ms" << std::endl;
  EXPECT_EQ(server.process().wait_exit(), 128 + SIGKILL);
}

TEST(Children, SigkillOfTheServerTakesADaemonOfTheRunWithIt) {
  ScriptedCargo cargo;
  ToolServer server(cargo.env());
  server.send("cargo_build", {{"working_dir", cargo.crate_dir()}});
  ASSERT_TRUE(wait_for([&] { return cargo.pids().size() == 4; }, milliseconds(60000)));
  std::vector<int> pids = cargo.pids();
  std::set<int> tree = descendants(server.process().pid());
  tree.insert(pids.begin(), pids.end());
  kill_server_and_expect_tree_gone(server, tree);
}

TEST(Children, SigkillOfTheServerMidBuildEndsTheBuildScriptAndItsChildren) {
  TempCrate crate("sleepy_script",
                  {{"src/lib.rs", "pub fn answer() -> i32 { 42 }\n"},
                   {"build.rs",
                    "fn main() {\n"
                    "    let _child = std::process::Command::new(\"sleep\").arg(\"600\").spawn();\n"
                    "    std::thread::sleep(std::time::Duration::from_secs(600));\n"
                    "}\n"}});
  ToolServer server;
  server.send("cargo_build", {{"working_dir", crate.path()}});

  // Wait until the build script's own child runs, then take the whole tree.
  std::set<int> tree;
  bool sleeping = wait_for(
      [&] {
        tree = descendants(server.process().pid());
        for (int pid : tree)
          if (process_name(pid) == "sleep") return true;
        return false;
      },
      milliseconds(120000));
  ASSERT_TRUE(sleeping) << "the build script never started its child";
  kill_server_and_expect_tree_gone(server, tree);
}

}  // namespace
}  // namespace tarnwick::e2e
