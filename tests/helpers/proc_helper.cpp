// A stand-in child for the process tests. Runs its arguments as a list of
// actions, in order:
//   out TEXT | err TEXT      write TEXT (escapes \n \r \t \\ \xHH) to stdout/stderr
//   out-bytes N | err-bytes N  write N bytes in 64-byte lines
//   lines N                  write "line 1" .. "line N" to stdout
//   env                      print the environment, one NAME=VALUE per line, sorted
//   cwd                      print the working directory
//   sigpipe                  print "SIGPIPE=default" or "SIGPIPE=ignored"
//   pidfile PATH             append this process's id to PATH
//   tree PATH                start a child and a grandchild that sleep forever, each
//                            appending its id to PATH
//   daemon PATH              start a daemon in a session of its own whose parent is gone,
//                            holding stdout and stderr, and append its id to PATH
//   close-out                put stdout and stderr on /dev/null
//   sleep MS                 sleep
//   exit N                   exit with N
//   signal N                 kill itself with signal N
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "helper_io.h"

extern char** environ;

namespace {

using namespace helper_io;

std::string unescape(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p != '\\' || !p[1]) {
      out += *p;
      continue;
    }
    ++p;
    switch (*p) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'x': {
        char hex[3] = {p[1], p[1] ? p[2] : '\0', '\0'};
        out += static_cast<char>(std::strtol(hex, nullptr, 16));
        p += 2;
        break;
      }
      default:
        out += *p;
    }
  }
  return out;
}

/// Writes `count` bytes in 64-byte lines, a chunk at a time, so the first
/// bytes go out at once even when the total is large.
void write_filler(int fd, long count) {
  constexpr long kChunk = 1 << 16;
  std::string chunk;
  for (long done = 0; done < count; done += kChunk) {
    chunk.clear();
    for (long i = done; i < count && i < done + kChunk; ++i)
      chunk += (i % 64 == 63) ? '\n' : static_cast<char>('a' + i % 26);
    write_all(fd, chunk);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string action = argv[i];
    const char* arg = i + 1 < argc ? argv[i + 1] : "";
    if (action == "out" || action == "err") {
      write_all(action == "out" ? 1 : 2, unescape(arg));
      ++i;
    } else if (action == "out-bytes" || action == "err-bytes") {
      write_filler(action == "out-bytes" ? 1 : 2, std::atol(arg));
      ++i;
    } else if (action == "lines") {
      std::string text;
      for (long n = 1; n <= std::atol(arg); ++n) text += "line " + std::to_string(n) + "\n";
      write_all(1, text);
      ++i;
    } else if (action == "env") {
      std::vector<std::string> vars;
      for (char** e = environ; *e; ++e) vars.emplace_back(*e);
      std::sort(vars.begin(), vars.end());
      std::string text;
      for (auto& v : vars) text += v + "\n";
      write_all(1, text);
    } else if (action == "cwd") {
      char buffer[4096];
      if (!::getcwd(buffer, sizeof buffer)) return 5;
      write_all(1, std::string(buffer) + "\n");
    } else if (action == "sigpipe") {
      struct sigaction current {};
      ::sigaction(SIGPIPE, nullptr, &current);
      write_all(1, current.sa_handler == SIG_IGN ? "SIGPIPE=ignored\n" : "SIGPIPE=default\n");
    } else if (action == "pidfile") {
      append_pid(arg);
      ++i;
    } else if (action == "tree") {
      start_tree(arg);
      ++i;
    } else if (action == "daemon") {
      start_daemon(arg);
      ++i;
    } else if (action == "close-out") {
      close_output();
    } else if (action == "sleep") {
      ::usleep(static_cast<useconds_t>(std::atol(arg)) * 1000);
      ++i;
    } else if (action == "exit") {
      return std::atoi(arg);
    } else if (action == "signal") {
      int sig = std::atoi(arg);
      ::signal(sig, SIG_DFL);
      ::kill(::getpid(), sig);
      sleep_forever();
    } else {
      write_all(2, "proc_helper: unknown action " + action + "\n");
      return 2;
    }
  }
  return 0;
}
