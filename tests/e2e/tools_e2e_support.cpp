#include "tools_e2e_support.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace tarnwick::e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string read_stat(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  return text;
}

/// The fields after the command name in /proc/PID/stat (state first).
std::vector<std::string> stat_fields(const std::string& stat) {
  std::vector<std::string> fields;
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return fields;
  std::istringstream rest(stat.substr(close + 1));
  std::string field;
  while (rest >> field) fields.push_back(field);
  return fields;
}

ServerOptions offline_server(std::vector<std::pair<std::string, std::optional<std::string>>> env,
                             std::vector<std::string> args, std::string executable) {
  ServerOptions options;
  options.executable = std::move(executable);
  options.args = std::move(args);
  options.env = {{"CARGO_NET_OFFLINE", "true"}};
  options.env.insert(options.env.end(), env.begin(), env.end());
  return options;
}

}  // namespace

ToolServer server_in_mode(bool per_test,
                          std::vector<std::pair<std::string, std::optional<std::string>>> env) {
  env.emplace_back("RUST_BACKTRACE", "0");
  return ToolServer(env, {per_test ? "--per-test-execution=true" : "--per-test-execution=false"});
}

json summary_of(const CallAnswer& answer) {
  std::vector<json> summaries = answer.records_with("x-tarnwick-test-filter-summary");
  return summaries.empty() ? json() : summaries.front();
}

std::vector<std::string> culprits_of(const CallAnswer& answer) {
  std::vector<std::string> out;
  for (const json& culprit : answer.records_with("x-tarnwick-bisect-culprit"))
    out.push_back(culprit["test"].get<std::string>() + " " +
                  culprit["classification"].get<std::string>());
  return out;
}

DirectCargo run_cargo_directly(const std::string& dir, const std::string& args,
                               const std::string& env) {
  std::string command = "cd '" + dir + "' && env RUST_BACKTRACE=0 CARGO_NET_OFFLINE=true " + env +
                        " cargo " + args + " 2>&1";
  DirectCargo run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t n; (n = ::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
  int status = ::pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::map<std::string, std::string> libtest_results(const std::string& text) {
  std::map<std::string, std::string> results;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("test ")) continue;
    size_t dots = line.rfind(" ... ");
    if (dots == std::string::npos) continue;
    std::string outcome = line.substr(dots + 5);
    if (outcome.starts_with("ignored")) outcome = "ignored";
    if (outcome == "ok" || outcome == "FAILED" || outcome == "ignored")
      results[line.substr(5, dots - 5)] = outcome;
  }
  return results;
}

std::map<std::string, std::string> answer_results(const CallAnswer& answer) {
  std::string lines;
  for (const json& record : answer.records())
    if (record.is_object() && record.value("reason", "") == "x-tarnwick-test-output")
      lines += record["text"].get<std::string>() + "\n";
  return libtest_results(lines);
}

std::vector<std::string> CallAnswer::lines() const {
  std::vector<std::string> out;
  std::istringstream in(text());
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<json> CallAnswer::records() const {
  std::vector<json> out;
  for (const std::string& line : lines()) {
    json value = json::parse(line, nullptr, false);
    if (!value.is_discarded()) out.push_back(std::move(value));
  }
  return out;
}

std::vector<json> CallAnswer::records_with(const std::string& reason) const {
  std::vector<json> out;
  for (json& record : records())
    if (record.is_object() && record.value("reason", "") == reason)
      out.push_back(std::move(record));
  return out;
}

std::vector<std::string> CallAnswer::log_lines() const {
  std::vector<std::string> out;
  for (const json& note : notifications)
    if (note.value("method", "") == "notifications/message")
      out.push_back(note["params"]["data"].get<std::string>());
  return out;
}

std::vector<json> CallAnswer::progress() const {
  std::vector<json> out;
  for (const json& note : notifications)
    if (note.value("method", "") == "notifications/progress") out.push_back(note["params"]);
  return out;
}

ToolServer::ToolServer(std::vector<std::pair<std::string, std::optional<std::string>>> env,
                       std::vector<std::string> args, std::string executable)
    : server_(offline_server(std::move(env), std::move(args), std::move(executable))) {
  EXPECT_TRUE(server_.started());
  server_.skip_startup_lines();
}

void ToolServer::send(const std::string& tool, const json& arguments, std::optional<json> meta) {
  json params = {{"name", tool}, {"arguments", arguments}};
  if (meta) params["_meta"] = *meta;
  json request = {
      {"jsonrpc", "2.0"}, {"id", next_id_++}, {"method", "tools/call"}, {"params", params}};
  server_.write_line(request.dump());
}

CallAnswer ToolServer::receive(std::chrono::milliseconds timeout) {
  CallAnswer answer;
  std::optional<json> response = server_.read_response(timeout, &answer.notifications);
  EXPECT_TRUE(response.has_value()) << "no response in time";
  answer.response = response.value_or(json{{"result", {{"content", {{{"text", ""}}}}}}});
  return answer;
}

CallAnswer ToolServer::call(const std::string& tool, const json& arguments,
                            std::optional<json> meta) {
  send(tool, arguments, std::move(meta));
  return receive();
}

CallAnswer ToolServer::cancel(int id, std::chrono::milliseconds& took) {
  auto cancelled_at = std::chrono::steady_clock::now();
  server_.write_line(json{
      {"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", id}}}}
                         .dump());
  CallAnswer answer = receive(std::chrono::seconds(10));
  took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               cancelled_at);
  return answer;
}

std::set<int> descendants(int root) {
  std::map<int, std::vector<int>> children;
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* entry = ::readdir(proc)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (*end != '\0' || pid <= 0) continue;
      std::vector<std::string> fields = stat_fields(read_stat(static_cast<int>(pid)));
      if (fields.size() > 1) children[std::stoi(fields[1])].push_back(static_cast<int>(pid));
    }
    ::closedir(proc);
  }
  std::set<int> found;
  std::vector<int> todo = {root};
  while (!todo.empty()) {
    int pid = todo.back();
    todo.pop_back();
    for (int child : children[pid])
      if (found.insert(child).second) todo.push_back(child);
  }
  return found;
}

std::string process_name(int pid) {
  std::string stat = read_stat(pid);
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return "";
  return stat.substr(open + 1, close - open - 1);
}

bool process_gone(int pid) {
  std::vector<std::string> fields = stat_fields(read_stat(pid));
  return fields.empty() || fields[0] == "Z" || fields[0] == "X";
}

std::set<int> tree_once_running(int root, const std::string& prefix) {
  auto deadline = Clock::now() + std::chrono::seconds(180);
  while (Clock::now() < deadline) {
    std::set<int> tree = descendants(root);
    for (int pid : tree)
      if (process_name(pid).starts_with(prefix)) return tree;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}

bool all_gone(std::set<int> tree, std::chrono::seconds within) {
  auto deadline = Clock::now() + within;
  while (!tree.empty() && Clock::now() < deadline) {
    std::erase_if(tree, [](int pid) { return process_gone(pid); });
    if (!tree.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return tree.empty();
}

}  // namespace tarnwick::e2e
