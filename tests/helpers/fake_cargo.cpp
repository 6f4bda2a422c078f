// A scripted stand-in for cargo, chosen through the CARGO variable. Each run
// reads FAKE_CARGO_DIR, counts itself in DIR/count, appends "PID ARGS..." to
// DIR/calls, and plays DIR/script.N (N = this run's number) or else
// DIR/script, one action per line:
//   out TEXT | err TEXT   write TEXT plus "\n" to stdout / stderr
//                         (escapes \n \r \t \\ \")
//   sleep MS              sleep
//   tree PATH             start a child and a grandchild that sleep forever,
//                         each appending its id to PATH (this process's id too)
//   daemon PATH           start a daemon in a session of its own whose parent
//                         is gone, holding stdout and stderr; its id goes to PATH
//   wait-file PATH        wait (up to 30 s) until PATH exists
//   close-out             put stdout and stderr on /dev/null
//   flood TEXT            write TEXT to stdout over and over, without end
//   exit N                exit with N
//   env NAME              append "NAME=VALUE" (or "NAME unset") to DIR/calls
//   play DIR              replay the recorded run of DIR whose N.args (one
//                         argument a line) are this run's arguments: N.stdout
//                         to stdout, N.stderr to stderr, exit with N.exit
// The script ends with exit 0 unless it says otherwise.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "helper_io.h"

namespace {

using namespace helper_io;

std::string unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
  }
  return out;
}

int next_run_number(const std::string &dir) {
  int count = 0;
  std::ifstream(dir + "/count") >> count;
  ++count;
  std::ofstream(dir + "/count", std::ios::trunc) << count;
  return count;
}

std::string file_bytes(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

/// Plays the recording of `dir` made with `args`; 2 when there is none.
int play(const std::string &dir, const std::vector<std::string> &args) {
  std::string wanted;
  for (const std::string &arg : args) wanted += arg + "\n";
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::filesystem::path path = entry.path();
    if (path.extension() != ".args" || file_bytes(path) != wanted) continue;
    write_all(1, file_bytes(path.replace_extension(".stdout")));
    write_all(2, file_bytes(path.replace_extension(".stderr")));
    return std::atoi(file_bytes(path.replace_extension(".exit")).c_str());
  }
  write_all(2, "fake_cargo: no recording in " + dir + " for these arguments\n");
  return 2;
}

void wait_for_file(const std::string &path) {
  for (int i = 0; i < 3000 && ::access(path.c_str(), F_OK) != 0; ++i) ::usleep(10'000);
}

}  // namespace

int main(int argc, char **argv) {
  const char *dir_env = std::getenv("FAKE_CARGO_DIR");
  if (!dir_env) {
    write_all(2, "fake_cargo: FAKE_CARGO_DIR is not set\n");
    return 2;
  }
  std::string dir = dir_env;
  int run = next_run_number(dir);
  std::string call = std::to_string(::getpid());
  for (int i = 1; i < argc; ++i) call += std::string(" ") + argv[i];
  append_line(dir + "/calls", call);

  std::ifstream script(dir + "/script." + std::to_string(run));
  if (!script) script.open(dir + "/script");
  std::string line;
  while (std::getline(script, line)) {
    size_t space = line.find(' ');
    std::string action = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (action == "out" || action == "err") {
      write_all(action == "out" ? 1 : 2, unescape(rest) + "\n");
    } else if (action == "sleep") {
      ::usleep(static_cast<useconds_t>(std::atol(rest.c_str())) * 1000);
    } else if (action == "tree") {
      append_pid(rest);
      start_tree(rest);
    } else if (action == "daemon") {
      start_daemon(rest);
    } else if (action == "wait-file") {
      wait_for_file(rest);
    } else if (action == "close-out") {
      close_output();
    } else if (action == "play") {
      return play(rest, std::vector<std::string>(argv + 1, argv + argc));
    } else if (action == "flood") {
      std::string chunk;
      while (chunk.size() < 65536) chunk += unescape(rest);
      for (;;) write_all(1, chunk);
    } else if (action == "env") {
      const char *value = std::getenv(rest.c_str());
      append_line(dir + "/calls", value ? rest + "=" + value : rest + " unset");
    } else if (action == "exit") {
      return std::atoi(rest.c_str());
    } else if (!action.empty()) {
      write_all(2, "fake_cargo: unknown action " + action + "\n");
      return 2;
    }
  }
  return 0;
}
