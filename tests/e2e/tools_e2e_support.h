#pragma once
// Shared pieces of the end-to-end tool tests: a server with the real cargo,
// tools/call round trips, result lines, and process-tree inspection.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../common/temp_crate.h"
#include "server_process.h"

namespace tarnwick::e2e {

/// The answer of one tools/call with the notifications that came before it.
struct CallAnswer {
  json response;
  std::vector<json> notifications;

  const json& result() const { return response.at("result"); }
  bool is_error() const { return result().value("isError", false); }
  /// The text of the first content item.
  std::string text() const { return result().at("content").at(0).at("text").get<std::string>(); }
  /// The first content item's lines.
  std::vector<std::string> lines() const;
  /// The lines parsed as JSON (lines that are not JSON are left out).
  std::vector<json> records() const;
  /// The records whose `reason` is `reason`, in order.
  std::vector<json> records_with(const std::string& reason) const;
  /// The data of the info log lines.
  std::vector<std::string> log_lines() const;
  /// The notifications/progress messages.
  std::vector<json> progress() const;
};

/// The server with cargo kept off the network, past its start-up lines.
class ToolServer {
 public:
  /// `args` are the server's command-line options; `executable` is the
  /// server's program.
  explicit ToolServer(std::vector<std::pair<std::string, std::optional<std::string>>> env = {},
                      std::vector<std::string> args = {},
                      std::string executable = TARNWICK_SERVER_PATH);
  ServerProcess& process() { return server_; }
  /// Sends a tools/call; `meta` becomes params._meta when given.
  void send(const std::string& tool, const json& arguments, std::optional<json> meta = {});
  /// The next response and the notifications before it.
  CallAnswer receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(180000));
  CallAnswer call(const std::string& tool, const json& arguments, std::optional<json> meta = {});
  /// Cancels the request `id` and waits for its answer; `took` is the time
  /// from the cancellation to the answer.
  CallAnswer cancel(int id, std::chrono::milliseconds& took);
  int next_id() const { return next_id_; }

 private:
  ServerProcess server_;
  int next_id_ = 1;
};

/// The real cargo run outside the server, to compare with what it answers.
struct DirectCargo {
  int exit_code = -1;
  std::string output;  // standard output and error together
};

/// Runs `cargo ARGS` in `dir` with RUST_BACKTRACE=0, CARGO_NET_OFFLINE=true
/// and the NAME=VALUE words of `env`.
DirectCargo run_cargo_directly(const std::string& dir, const std::string& args,
                               const std::string& env = "");

/// Test name to "ok", "FAILED" or "ignored", from libtest's result lines.
std::map<std::string, std::string> libtest_results(const std::string& text);

/// The same from the x-tarnwick-test-output records of an answer.
std::map<std::string, std::string> answer_results(const CallAnswer& answer);

/// A server with RUST_BACKTRACE=0 (and `env`) that runs test_filter in the
/// batched mode, or one test per launch.
ToolServer server_in_mode(bool per_test,
                          std::vector<std::pair<std::string, std::optional<std::string>>> env = {});

/// The answer's x-tarnwick-test-filter-summary record (null when none).
json summary_of(const CallAnswer& answer);

/// "test classification" of each x-tarnwick-bisect-culprit record, in order.
std::vector<std::string> culprits_of(const CallAnswer& answer);

/// Every process below `root` now, found through /proc.
std::set<int> descendants(int root);
/// The short command name of `pid` ("" when it is gone).
std::string process_name(int pid);
/// Whether `pid` is gone (no entry, or a zombie waiting to be reaped).
bool process_gone(int pid);
/// Waits until a process below `root` runs a program whose name starts with
/// `prefix`; returns the tree at that moment (empty when it never came).
std::set<int> tree_once_running(int root, const std::string& prefix);
/// Whether every process of `tree` is gone within `within`.
bool all_gone(std::set<int> tree, std::chrono::seconds within = std::chrono::seconds(5));

}  // namespace tarnwick::e2e
