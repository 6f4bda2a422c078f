#include "runner/binary_runs.h"

#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "base/utf8.h"
#include "platform/environment.h"
#include "platform/file_status.h"
#include "platform/process.h"
#include "platform/runner_channel.h"
#include "platform/runner_messages.h"
#include "runner/libtest_output.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
using platform::RunnerChannel;

/// The path a runner was given, made absolute against its directory and
/// resolved, so that every form of it names the build's file.
std::string resolved_or_given(const std::string& path, const std::string& cwd) {
  std::string absolute = path.starts_with('/') || cwd.empty() ? path : cwd + "/" + path;
  return platform::real_path(absolute).value_or(absolute);
}

bool holds_white_space(std::string_view text) {
  return text.find_first_of(" \t\n\r\f\v") != std::string_view::npos;
}

std::string field_or_empty(const std::vector<std::string>& fields, size_t at) {
  return at < fields.size() ? fields[at] : std::string();
}

}  // namespace

std::string describe_exit(const ExitStatus& status) {
  if (!status.signalled) return "exit code " + std::to_string(status.value);
  return "signal: " + std::to_string(status.value) + ", " +
         platform::signal_description(status.value);
}

std::vector<std::string> default_runner_command() {
  const std::string mode(platform::kTestRunnerMode);
  if (std::optional<std::string> server = platform::own_executable()) {
    std::string beside = server->substr(0, server->rfind('/') + 1) + "tarnwick-test-runner";
    if (!holds_white_space(beside) && platform::is_executable(beside)) return {beside, mode};
  }
  return {platform::own_executable_link(), mode};
}

struct BinaryRunWatch::State {
  BinaryRunPlan plan;
  std::vector<std::string> resolved;  // each executable, resolved
  std::unique_ptr<RunnerChannel> channel;
  std::thread thread;

  mutable std::mutex mutex;  // guards all below
  std::vector<BinaryRun> runs;
  std::map<RunnerChannel::RunnerId, size_t> run_of;
  BinaryRunsSeen seen;
  std::vector<std::string> lines;                          // written since the last `forward_lines`
  std::map<std::pair<size_t, bool>, std::string> partial;  // a line not yet ended
  std::optional<RunInstant> first_start;
  std::string skips;  // what the skips variable holds for this run, if set

  /// The file names of the binaries this run does not start, as the skips
  /// variable lists them; a name one of its binaries also has is left to
  /// the server to decide.
  std::string skips_of_plan() const {
    std::set<std::string_view> started;
    for (size_t i = 0; i < plan.executables.size(); ++i)
      if (plan.to_start[i]) started.insert(platform::file_name_of(plan.executables[i]));
    std::string list;
    for (size_t i = 0; i < plan.executables.size(); ++i) {
      std::string_view name = platform::file_name_of(plan.executables[i]);
      if (plan.to_start[i] || started.contains(name) || name.empty()) continue;
      list.append(name);
      list.push_back('/');
    }
    return list;
  }

  void watch() {
    for (;;) {
      RunnerChannel::Event event = channel->next();
      switch (event.kind) {
        case RunnerChannel::Event::Kind::Stopped:
          return;
        case RunnerChannel::Event::Kind::Message:
          take_message(event.runner, event.fields);
          break;
        case RunnerChannel::Event::Kind::Output:
          take_output(event.runner, event.is_stderr, event.bytes);
          break;
        case RunnerChannel::Event::Kind::Hangup:
          break;  // a runner killed with its run leaves its binary without an end
      }
    }
  }

  /// Which of the build's binaries `path` names, if any.
  std::optional<size_t> binary_at(const std::string& path, const std::string& cwd) const {
    std::string resolved_path = resolved_or_given(path, cwd);
    for (size_t i = 0; i < resolved.size(); ++i)
      if (resolved[i] == resolved_path || plan.executables[i] == path) return i;
    return std::nullopt;
  }

  /// The answer that starts a binary: the variables put back as the user
  /// had them, then the user's runner, if any, before the binary.
  std::vector<std::string> start_reply(size_t target) const {
    size_t restored = plan.targets.size() + (skips.empty() ? 0 : 1);
    std::vector<std::string> reply{std::string(platform::kRun), std::to_string(restored)};
    for (const TargetRunner& each : plan.targets) {
      reply.push_back(each.variable);
      reply.push_back(
          platform::variable_field(each.variable_value ? each.variable_value->c_str() : nullptr));
    }
    if (!skips.empty()) {
      reply.emplace_back(platform::kSkipsVariable);
      reply.push_back(
          platform::variable_field(plan.skips_value ? plan.skips_value->c_str() : nullptr));
    }
    if (target < plan.targets.size()) {
      const std::vector<std::string>& chain = plan.targets[target].user_runner;
      reply.insert(reply.end(), chain.begin(), chain.end());
    }
    return reply;
  }

  void take_hello(RunnerChannel::RunnerId runner, const std::vector<std::string>& fields) {
    // "hello" target cwd threads binary args...; anything less is not our
    // runner's, and an answer it cannot use makes it fail.
    if (fields.size() < 5) {
      (void)channel->reply(runner, {"refused"}, false);
      return;
    }
    const std::string& path = fields[4];
    std::optional<size_t> binary = binary_at(path, fields[2]);
    if (!binary || !plan.to_start[*binary]) {
      {
        std::lock_guard lock(mutex);
        (binary ? seen.skipped : seen.unknown).push_back(path);
      }
      (void)channel->reply(runner, {std::string(platform::kSkip)}, false);
      return;
    }
    BinaryRun run;
    run.binary = *binary;
    run.args.assign(fields.begin() + 5, fields.end());
    if (fields[3].starts_with('=')) run.threads_env = fields[3].substr(1);
    size_t target = std::strtoul(fields[1].c_str(), nullptr, 10);
    run.through_user_runner =
        target < plan.targets.size() && !plan.targets[target].user_runner.empty();
    Status replied = channel->reply(runner, start_reply(target), true);
    run.started = run.last_progress = Clock::now();
    if (!replied) {
      run.start_error = "the test runner could not be given the binary's output pipes: " +
                        error_text(replied.error());
      run.ended = run.started;
    }
    std::lock_guard lock(mutex);
    if (!first_start) first_start = run.started;
    run_of[runner] = runs.size();
    runs.push_back(std::move(run));
  }

  void take_message(RunnerChannel::RunnerId runner, const std::vector<std::string>& fields) {
    if (fields[0] == platform::kHello) {
      take_hello(runner, fields);
      return;
    }
    bool unstarted = fields[0] == platform::kUnstarted;
    bool exited = fields[0] == platform::kExited;
    bool signalled = fields[0] == platform::kSignalled;
    if (!unstarted && !exited && !signalled) return;
    // All the binary wrote before it ended is in its pipes by now.
    for (RunnerChannel::Event& output : channel->take_output_now(runner))
      take_output(runner, output.is_stderr, output.bytes);
    std::lock_guard lock(mutex);
    auto found = run_of.find(runner);
    if (found == run_of.end()) return;
    BinaryRun& run = runs[found->second];
    run.ended = Clock::now();
    run.out_at_end = run.out.size();
    std::string detail = field_or_empty(fields, 1);
    if (unstarted)
      run.start_error = detail;
    else
      run.status =
          ExitStatus{signalled, static_cast<int>(std::strtol(detail.c_str(), nullptr, 10))};
  }

  void take_output(RunnerChannel::RunnerId runner, bool is_stderr, const std::string& bytes) {
    std::lock_guard lock(mutex);
    auto found = run_of.find(runner);
    if (found == run_of.end()) return;
    BinaryRun& run = runs[found->second];
    (is_stderr ? run.err : run.out) += bytes;
    std::string& pending = partial[{found->second, is_stderr}];
    pending += bytes;
    const std::set<std::string>* names =
        plan.progress_names.empty() ? nullptr : &plan.progress_names;
    size_t start = 0;
    for (size_t end = pending.find('\n'); end != std::string::npos;
         start = end + 1, end = pending.find('\n', start)) {
      std::string_view line = std::string_view(pending).substr(start, end - start);
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (!is_stderr && is_libtest_progress_line(line, names)) run.last_progress = Clock::now();
      lines.push_back(into_valid_utf8(std::string(line)));
    }
    pending.erase(0, start);
  }
};

BinaryRunWatch::BinaryRunWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

Result<std::unique_ptr<BinaryRunWatch>> BinaryRunWatch::start(BinaryRunPlan plan) {
  auto channel = platform::RunnerChannel::open();
  if (!channel)
    return make_error("cannot open the test runner's channel: " + error_text(channel.error()));
  auto state = std::make_unique<State>();
  state->channel = std::move(*channel);
  for (const std::string& path : plan.executables)
    state->resolved.push_back(resolved_or_given(path, ""));
  plan.to_start.resize(plan.executables.size(), false);
  state->plan = std::move(plan);
  state->skips = state->skips_of_plan();
  State* watched = state.get();
  state->thread = std::thread([watched] { watched->watch(); });
  return std::unique_ptr<BinaryRunWatch>(new BinaryRunWatch(std::move(state)));
}

BinaryRunWatch::~BinaryRunWatch() {
  if (state_->thread.joinable()) {
    state_->channel->stop();
    state_->thread.join();
  }
}

std::vector<std::pair<std::string, std::string>> BinaryRunWatch::cargo_variables() const {
  std::vector<std::pair<std::string, std::string>> variables;
  const BinaryRunPlan& plan = state_->plan;
  for (size_t i = 0; i < plan.targets.size(); ++i) {
    std::string value;
    for (const std::string& part : plan.runner_command) value += part + " ";
    value += state_->channel->address() + " " + std::to_string(i);
    variables.emplace_back(plan.targets[i].variable, std::move(value));
  }
  if (!state_->skips.empty())
    variables.emplace_back(std::string(platform::kSkipsVariable), state_->skips);
  return variables;
}

void BinaryRunWatch::forward_lines(const ProgressSink& sink) {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(state_->mutex);
    lines.swap(state_->lines);
  }
  for (const std::string& line : lines) sink(line);
}

BinaryRunWatch::Moment BinaryRunWatch::moment() const {
  std::lock_guard lock(state_->mutex);
  Moment moment;
  moment.first_start = state_->first_start;
  for (size_t i = 0; i < state_->runs.size(); ++i) {
    const BinaryRun& run = state_->runs[i];
    if (run.ended) continue;
    moment.running = i;
    moment.started = run.started;
    moment.last_progress = run.last_progress;
  }
  return moment;
}

BinaryRunsSeen BinaryRunWatch::finish() {
  state_->channel->stop();
  state_->thread.join();
  std::lock_guard lock(state_->mutex);
  // The last lines the binaries left unended still reach the sink.
  for (auto& [key, pending] : state_->partial)
    if (!pending.empty()) state_->lines.push_back(into_valid_utf8(std::move(pending)));
  state_->partial.clear();
  BinaryRunsSeen seen = std::move(state_->seen);
  // The runner let these end without a word to us.
  for (const std::string& path : state_->plan.executables)
    if (platform::skips_list(state_->skips, path)) seen.skipped.push_back(path);
  for (BinaryRun& run : state_->runs) {
    size_t own = run.out_at_end.value_or(run.out.size());
    std::string before = into_valid_utf8(run.out.substr(0, own));
    std::string after = into_valid_utf8(run.out.substr(own));
    if (run.out_at_end) run.out_at_end = before.size();
    run.out = std::move(before) + after;
    run.err = into_valid_utf8(std::move(run.err));
  }
  seen.runs = std::move(state_->runs);
  return seen;
}

}  // namespace tarnwick
