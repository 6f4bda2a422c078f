#include "runner/child.h"

#include <dirent.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>

#include "base/json_text.h"
#include "child_test_support.h"
#include "platform/children.h"

namespace tarnwick {
namespace {

using testing::all_gone;
using testing::helper_command;
using testing::read_pids;
using testing::TempDir;
using testing::wait_until;

struct Collected {
  std::vector<std::string> lines;
  std::string stderr_text;
  int32_t exit_code = -1;
};

/// Runs the helper to its end through the stdout line reader and the stderr
/// drain reader, as a cargo run does.
Collected run_helper(std::vector<std::string> args) {
  Collected result;
  auto spawned = spawn_in_job(helper_command(std::move(args)));
  EXPECT_TRUE(spawned.ok());
  if (!spawned) return result;
  SpawnedChild& child = spawned.value();
  PipeLineReader reader;
  EXPECT_TRUE(reader.start(child.take_stdout()).ok());
  PipeTextReader err;
  EXPECT_TRUE(err.start(child.take_stderr()).ok());
  std::string line;
  while (reader.channel().recv_until(Deadline::after(Duration::from_secs(60)), line) ==
         BoundedLineChannel::Recv::Line) {
    result.lines.push_back(line);
  }
  reader.join();
  result.stderr_text = err.join();
  auto code = release_child(child);
  EXPECT_TRUE(code.ok());
  if (code) result.exit_code = code.value();
  return result;
}

TEST(PipeLines, SplitsLinesLikeTheLineRule) {
  // CRLF loses both; a last line without "\n" arrives and keeps its "\r".
  auto r = run_helper({"out", "a\\nb\\r\\n\\r\\n\\nc\\r"});
  EXPECT_EQ(r.lines, (std::vector<std::string>{"a", "b", "", "", "c\r"}));

  r = run_helper({"out", "last line"});
  EXPECT_EQ(r.lines, (std::vector<std::string>{"last line"}));

  r = run_helper({"out", "x\\n"});
  EXPECT_EQ(r.lines, (std::vector<std::string>{"x"}));

  r = run_helper({"exit", "0"});
  EXPECT_TRUE(r.lines.empty());
}

TEST(PipeLines, InvalidUtf8IsReplacedAndReadingGoesOn) {
  auto r = run_helper({"out", "ok\\n\\xff\\xfebad\\nafter\\n", "err", "e\\xc3\\n"});
  EXPECT_EQ(r.lines, (std::vector<std::string>{"ok",
                                               "\xEF\xBF\xBD\xEF\xBF\xBD"
                                               "bad",
                                               "after"}));
  EXPECT_EQ(r.stderr_text, "e\xEF\xBF\xBD\n");
}

TEST(PipeLines, ManyLinesThroughTheBoundedChannelStayInOrder) {
  auto r = run_helper({"lines", "20000"});
  ASSERT_EQ(r.lines.size(), 20000u);
  EXPECT_EQ(r.lines.front(), "line 1");
  EXPECT_EQ(r.lines[12344], "line 12345");
  EXPECT_EQ(r.lines.back(), "line 20000");
}

TEST(PipeLines, BothStreamsOfFiveMegabytesAtOnce) {
  const long size = 5 * 1024 * 1024;
  auto r = run_helper({"out-bytes", std::to_string(size), "err-bytes", std::to_string(size)});
  size_t total = 0;
  for (auto& l : r.lines) total += l.size() + 1;
  EXPECT_EQ(total, static_cast<size_t>(size));
  EXPECT_EQ(r.stderr_text.size(), static_cast<size_t>(size));
  EXPECT_EQ(r.exit_code, 0);
}

TEST(PipeLines, GoneReceiverStopsTheReaderAndTheChildGetsSigpipe) {
  auto spawned = spawn_in_job(helper_command({"out-bytes", "100000000"}));
  ASSERT_TRUE(spawned.ok());
  SpawnedChild& child = spawned.value();
  PipeLineReader reader(4);
  ASSERT_TRUE(reader.start(child.take_stdout()).ok());
  std::string line;
  ASSERT_EQ(reader.channel().recv_until(Deadline::after(Duration::from_secs(60)), line),
            BoundedLineChannel::Recv::Line);
  reader.join();  // drops the receiver: the reader ends without a marker, pipe closed
  auto code = child.wait_exit_for(Duration::from_secs(60));
  ASSERT_TRUE(code.ok());
  // The server ignores SIGPIPE; its children must not inherit that.
  EXPECT_EQ(code.value(), std::optional<int32_t>(128 + SIGPIPE));
}

TEST(PipeLines, StoppedReadersTakeWhatThePipeHoldsAndEnd) {
  // Something outside the run still holds each pipe's write end.
  int lines_pipe[2], text_pipe[2];
  ASSERT_EQ(::pipe(lines_pipe), 0);
  ASSERT_EQ(::pipe(text_pipe), 0);
  ASSERT_EQ(::write(lines_pipe[1], "a\nb", 3), 3);
  ASSERT_EQ(::write(text_pipe[1], "text", 4), 4);
  PipeLineReader lines;
  PipeTextReader text;
  ASSERT_TRUE(lines.start(lines_pipe[0]).ok());
  ASSERT_TRUE(text.start(text_pipe[0]).ok());
  lines.stop_waiting();
  text.stop_waiting();
  std::vector<std::string> got;
  std::string line;
  while (lines.channel().recv_until(Deadline::after(Duration::from_secs(60)), line) ==
         BoundedLineChannel::Recv::Line)
    got.push_back(line);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(text.join(), "text");
  ::close(lines_pipe[1]);
  ::close(text_pipe[1]);
}

TEST(Spawn, ExitCodesAndSignals) {
  EXPECT_EQ(run_helper({"exit", "101"}).exit_code, 101);
  EXPECT_EQ(run_helper({"signal", "9"}).exit_code, 128 + 9);
  EXPECT_EQ(run_helper({"signal", "15"}).exit_code, 128 + 15);
}

TEST(Spawn, StartFailureCarriesTheSystemText) {
  for (std::string program : {"/nonexistent/prog", "tarnwick-no-such-program"}) {
    ChildCommand command;
    command.program = program;
    auto spawned = spawn_in_job(command);
    ASSERT_FALSE(spawned.ok()) << program;
    ASSERT_TRUE(is_error_kind<IoError>(spawned.error()));
    EXPECT_EQ(error_text(spawned.error()), "No such file or directory (os error 2)");
  }
  auto command = helper_command({"exit", "0"});
  command.cwd = "/nonexistent-dir";
  auto spawned = spawn_in_job(command);
  ASSERT_FALSE(spawned.ok());
  EXPECT_EQ(error_text(spawned.error()), "No such file or directory (os error 2)");
}

TEST(Spawn, TextWithANulByteIsRefusedNotCut) {
  // exec would end each text at the NUL and run a different command.
  std::string nul("a\0b", 3);
  std::vector<ChildCommand> commands(4, helper_command({"exit", "0"}));
  commands[0].args.push_back(nul);
  commands[1].cwd = "/tmp" + nul;
  commands[2].env = std::map<std::string, std::string>{{"A", nul}};
  commands[3].program = testing::helper_path() + nul;
  for (const auto& command : commands) {
    auto spawned = spawn_in_job(command);
    ASSERT_FALSE(spawned.ok());
    EXPECT_EQ(error_text(spawned.error()), "Invalid argument (os error 22)");
  }
}

TEST(Spawn, ChildSeesExactlyTheGivenEnvironmentAndDirectory) {
  TempDir dir;
  auto command = helper_command({"env", "cwd", "sigpipe"});
  command.env = std::map<std::string, std::string>{{"A", "1"}, {"EMPTY", ""}, {"PATH", "/nowhere"}};
  command.cwd = dir.path();
  auto previous = ::signal(SIGPIPE, SIG_IGN);
  auto spawned = spawn_in_job(command);
  ::signal(SIGPIPE, previous);
  ASSERT_TRUE(spawned.ok());
  std::string out = pipe_drain_thread(spawned->take_stdout());
  EXPECT_EQ(out, "A=1\nEMPTY=\nPATH=/nowhere\n" + dir.path() + "\nSIGPIPE=default\n");
}

TEST(Spawn, BareNameIsSearchedInTheChildsPath) {
  ChildCommand command;
  command.program = "proc_helper";
  command.args = {"out", "found"};
  command.env = std::map<std::string, std::string>{{"PATH", "/nonexistent:" TARNWICK_TEST_BIN_DIR}};
  auto spawned = spawn_in_job(command);
  ASSERT_TRUE(spawned.ok());
  EXPECT_EQ(pipe_drain_thread(spawned->take_stdout()), "found");
}

TEST(Spawn, RelativeProgramIsTheOneBesideTheServerNotTheChildsDirectory) {
  TempDir dir;
  // "./proc_helper" at the least, so it is a path and not a bare name.
  std::string relative =
      (std::filesystem::path(".") / std::filesystem::relative(testing::helper_path())).string();
  ChildCommand command = helper_command({"out", "found"});
  command.program = relative;
  command.cwd = dir.path();
  auto by_path = spawn_in_job(command);
  ASSERT_TRUE(by_path.ok()) << error_text(by_path.error());
  EXPECT_EQ(pipe_drain_thread(by_path->take_stdout()), "found");

  command.program = "proc_helper";
  command.env = std::map<std::string, std::string>{
      {"PATH", std::filesystem::relative(TARNWICK_TEST_BIN_DIR).string()}};
  auto by_search = spawn_in_job(command);
  ASSERT_TRUE(by_search.ok()) << error_text(by_search.error());
  EXPECT_EQ(pipe_drain_thread(by_search->take_stdout()), "found");
}

/// Starts the helper with a child and a grandchild that sleep forever and
/// waits until all three ids are known.
std::vector<int> start_tree(const TempDir& dir, std::optional<SpawnedChild>& holder,
                            std::vector<std::string> tail, bool in_job = true) {
  auto command = helper_command({"tree", dir.file("pids")});
  command.args.insert(command.args.end(), tail.begin(), tail.end());
  command.in_job = in_job;
  command.stdout_to = platform::Redirect::null();
  command.stderr_to = platform::Redirect::null();
  auto spawned = spawn_in_job(command);
  EXPECT_TRUE(spawned.ok());
  if (!spawned) return {};
  holder.emplace(std::move(spawned.value()));
  EXPECT_TRUE(wait_until([&] { return read_pids(dir.file("pids")).size() == 2; }));
  auto pids = read_pids(dir.file("pids"));
  pids.push_back(holder->pid());
  return pids;
}

TEST(KillTree, KillsChildAndGrandchildrenInTheJob) {
  TempDir dir;
  std::optional<SpawnedChild> child;
  auto pids = start_tree(dir, child, {"sleep", "100000"});
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_TRUE(child->in_job());
  kill_process_tree(*child);
  EXPECT_TRUE(child->process().reaped);
  EXPECT_TRUE(all_gone(pids));
}

TEST(KillTree, ReachesADaemonThatLeftTheSessionAndLostItsParent) {
  TempDir dir;
  auto command = helper_command({"daemon", dir.file("daemon"), "sleep", "100000"});
  auto spawned = spawn_in_job(command);
  ASSERT_TRUE(spawned.ok());
  ASSERT_TRUE(wait_until([&] { return read_pids(dir.file("daemon")).size() == 1; }));
  kill_process_tree(spawned.value());
  EXPECT_TRUE(all_gone(read_pids(dir.file("daemon"))));
}

TEST(KillTree, WithoutAJobWarnsAndWalksTheParentLinks) {
  TempDir dir;
  std::optional<SpawnedChild> child;
  testing::StdoutCapture capture;
  auto pids = start_tree(dir, child, {"sleep", "100000"}, /*in_job=*/false);
  std::string log = capture.finish();
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_FALSE(child->in_job());
  auto message = json::parse(log.substr(0, log.find('\n')));
  EXPECT_EQ(message["params"]["level"], "warning");
  std::string data = message["params"]["data"];
  std::string expected = fmt::format(
      "tarnwick: failed to assign cargo subprocess (pid={}) to a Job Object: ", child->pid());
  EXPECT_EQ(data.rfind(expected, 0), 0u) << data;
  kill_process_tree(*child);
  EXPECT_TRUE(all_gone(pids));
}

TEST(KillTree, ReleasingARunningChildWithoutAJobDoesNotWaitForIt) {
  auto command = helper_command({"sleep", "100000"});
  command.in_job = false;
  command.stdout_to = platform::Redirect::null();
  command.stderr_to = platform::Redirect::null();
  testing::StdoutCapture capture;  // the no-job warning
  auto spawned = spawn_in_job(command);
  (void)capture.finish();
  ASSERT_TRUE(spawned.ok());
  int pid = spawned->pid();
  auto start = std::chrono::steady_clock::now();
  auto code = release_child(spawned.value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(code.value(), 128 + SIGKILL);
  EXPECT_TRUE(all_gone({pid}));
}

TEST(KillTree, ReleasingAnEndedChildClosesItsJob) {
  // The child exits while its descendants sleep holding its pipes: closing
  // the job kills them, so the readers can be joined.
  TempDir dir;
  auto spawned = spawn_in_job(helper_command(
      {"tree", dir.file("pids"), "daemon", dir.file("pids"), "out", "bye", "exit", "3"}));
  ASSERT_TRUE(spawned.ok());
  SpawnedChild& child = spawned.value();
  PipeTextReader out;
  ASSERT_TRUE(out.start(child.take_stdout()).ok());
  ASSERT_TRUE(wait_until([&] { return read_pids(dir.file("pids")).size() == 3; }));
  auto ended = child.wait_exit_for(Duration::from_secs(60));
  ASSERT_TRUE(ended.ok());
  EXPECT_EQ(ended.value(), std::optional<int32_t>(3));
  close_job(child);
  EXPECT_EQ(out.join(), "bye");
  auto code = release_child(child);
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(code.value(), 3);
  EXPECT_TRUE(all_gone(read_pids(dir.file("pids"))));
}

TEST(KillTree, KillAllLiveChildrenReachesEveryGroup) {
  TempDir dir;
  std::optional<SpawnedChild> child;
  auto pids = start_tree(dir, child, {"sleep", "100000"});
  ASSERT_EQ(pids.size(), 3u);
  platform::kill_all_live_children();
  EXPECT_TRUE(all_gone(pids));
  auto code = release_child(*child);
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(code.value(), 128 + SIGKILL);
}

/// Forks a stand-in for the server, with its exit handlers, running one
/// child with a tree and a daemon; ends it with `sig` once the four ids are
/// known. Returns the wait status of the stand-in; `pids` gets the ids.
int end_server_running_a_tree(int sig, std::vector<int>& pids) {
  TempDir dir;
  std::string pid_file = dir.file("pids");
  pid_t server = ::fork();
  if (server == 0) {
    platform::install_exit_signal_handlers();
    auto command = helper_command(
        {"tree", pid_file, "daemon", pid_file, "pidfile", pid_file, "sleep", "100000"});
    command.stdout_to = platform::Redirect::null();
    command.stderr_to = platform::Redirect::null();
    auto started = platform::start_process(command);
    if (!started) ::_exit(90);
    for (;;) ::pause();
  }
  EXPECT_TRUE(wait_until([&] { return read_pids(pid_file).size() == 4; }));
  pids = read_pids(pid_file);
  ::kill(server, sig);
  int status = 0;
  EXPECT_EQ(::waitpid(server, &status, 0), server);
  return status;
}

TEST(KillTree, TerminatingSignalKillsChildGroupsAndEndsTheServer) {
  std::vector<int> pids;
  int status = end_server_running_a_tree(SIGTERM, pids);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(all_gone(pids));
}

TEST(KillTree, ServerKilledBySigkillTakesEveryTreeWithIt) {
  // No handler runs: the jobs see the server's end by themselves.
  std::vector<int> pids;
  end_server_running_a_tree(SIGKILL, pids);
  EXPECT_EQ(pids.size(), 4u);
  EXPECT_TRUE(all_gone(pids));
}

TEST(BoundedChannel, EndComesAfterTheQueuedLines) {
  BoundedLineChannel channel(2);
  ASSERT_TRUE(channel.send("a"));
  channel.send_end();
  std::string line;
  EXPECT_EQ(channel.try_recv(line), BoundedLineChannel::Recv::Line);
  EXPECT_EQ(line, "a");
  EXPECT_EQ(channel.try_recv(line), BoundedLineChannel::Recv::End);
  BoundedLineChannel empty;
  EXPECT_EQ(empty.recv_until(Deadline::after(Duration::from_millis(1)), line),
            BoundedLineChannel::Recv::Empty);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

size_t open_descriptor_count() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST(Spawn, NoDescriptorOutlivesItsRun) {
  size_t before = open_descriptor_count();
  (void)run_helper({"out", "x\\n", "err", "y"});
  {
    ChildCommand missing;
    missing.program = "/nonexistent/prog";
    EXPECT_FALSE(spawn_in_job(missing).ok());
  }
  {  // Dropped without anyone taking its pipes.
    auto spawned = spawn_in_job(helper_command({"sleep", "100000"}));
    ASSERT_TRUE(spawned.ok());
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

std::vector<std::string> drain(PendingLines& pending) {
  std::vector<std::string> lines;
  while (std::optional<std::string> line = pending.next_line()) lines.push_back(std::move(*line));
  return lines;
}

// Lines cut anywhere by the reads come out whole, with the CR before the LF
// dropped; the rest waits for more.
TEST(PendingLines, JoinsLinesCutAcrossReads) {
  PendingLines pending;
  pending.append("one\r");
  EXPECT_TRUE(drain(pending).empty());
  pending.append("\ntw");
  EXPECT_EQ(drain(pending), std::vector<std::string>{"one"});
  pending.append("o\n\nthree\r\nfo");
  EXPECT_EQ(drain(pending), (std::vector<std::string>{"two", "", "three"}));
  pending.append("ur\r");
  EXPECT_TRUE(drain(pending).empty());
  EXPECT_EQ(pending.take_rest(), "four\r");  // a last line without LF keeps its CR
  EXPECT_EQ(pending.take_rest(), "");
}

// A line longer than one read, arriving in small pieces, comes out whole and
// followed by what came after it.
TEST(PendingLines, LongLineArrivingInPieces) {
  PendingLines pending;
  std::string long_line(300 * 1024, 'x');
  for (size_t at = 0; at < long_line.size(); at += 1000)
    pending.append(std::string_view(long_line).substr(at, 1000));
  EXPECT_TRUE(drain(pending).empty());
  pending.append("\r\nnext\nrest");
  EXPECT_EQ(drain(pending), (std::vector<std::string>{long_line, "next"}));
  EXPECT_EQ(pending.take_rest(), "rest");
}

}  // namespace
}  // namespace tarnwick
