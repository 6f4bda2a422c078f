#include "tools/progress_total.h"

#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "runner/captured.h"

namespace tarnwick {
namespace {

/// Everything that can change the count or what counting may do.
struct CountKey {
  std::string cwd;
  std::string selector;
  std::optional<std::string> manifest_path;
  LockSwitches locks;

  auto operator<=>(const CountKey&) const = default;
};

/// Counts per key for the whole process; a failed count is kept too, so it
/// is not retried.
struct ProgressTotalCache {
  std::mutex mutex;
  std::map<CountKey, std::optional<uint32_t>> counts;
};

ProgressTotalCache& progress_total_cache() {
  static ProgressTotalCache cache;
  return cache;
}

/// A workspace's metadata is a few megabytes even with thousands of
/// packages; a cargo that writes more than this is not answering the count.
constexpr size_t kMaxMetadataBytes = size_t{64} << 20;

/// What counting told: the count, or that counting had to stop (at the
/// call's deadline, on its cancellation) before cargo could answer.
struct Counted {
  std::optional<uint32_t> count;
  bool interrupted = false;
};

Counted count_packages(const CountKey& key, const std::optional<std::string>& cwd,
                       const std::optional<std::string>& selector, const Deadline& deadline) {
  std::vector<std::string> argv;
  if (selector) argv.push_back(*selector);
  argv.push_back("metadata");
  argv.push_back("--format-version=1");
  if (key.manifest_path) {
    argv.push_back("--manifest-path");
    argv.push_back(*key.manifest_path);
  }
  push_lock_args(argv, key.locks);
  if (deadline.passed()) return Counted{std::nullopt, true};
  Result<CapturedOutput> run =
      run_cargo_for_output(argv, cwd, deadline.remaining(), kMaxMetadataBytes);
  if (!run) {
    const Error& error = run.error();
    return Counted{std::nullopt,
                   is_error_kind<TimeoutError>(error) || is_error_kind<CancelledError>(error)};
  }
  if (run->exit_code != 0) return {};
  return Counted{progress_total_from_metadata(run->stdout_text)};
}

}  // namespace

std::optional<uint32_t> progress_total_from_metadata(std::string_view stdout_text) {
  json metadata = json::parse(stdout_text, nullptr, /*allow_exceptions=*/false);
  if (metadata.is_discarded()) return std::nullopt;
  if (!metadata.is_object()) return std::nullopt;
  size_t length = 0;
  auto resolve = metadata.find("resolve");
  auto packages = metadata.find("packages");
  if (resolve != metadata.end() && resolve->is_object() && resolve->contains("nodes") &&
      (*resolve)["nodes"].is_array()) {
    length = (*resolve)["nodes"].size();
  } else if (packages != metadata.end() && packages->is_array()) {
    length = packages->size();
  } else {
    return std::nullopt;
  }
  if (length > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(length);
}

void compute_progress_total(const ProgressSink* sink, const std::optional<std::string>& cwd,
                            const std::optional<std::string>& selector,
                            const std::optional<std::string>& manifest_path,
                            const LockSwitches& locks, const Deadline& deadline) {
  if (!sink) return;
  const CountKey key{cwd.value_or(""), selector.value_or(""), manifest_path, locks};

  ProgressTotalCache& cache = progress_total_cache();
  std::optional<std::optional<uint32_t>> cached;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto it = cache.counts.find(key);
    if (it != cache.counts.end()) cached = it->second;
  }
  std::optional<uint32_t> count;
  if (cached) {
    count = *cached;
  } else {
    // The lock is never held while cargo runs.
    Counted counted = count_packages(key, cwd, selector, deadline);
    count = counted.count;
    // A count cut short says nothing about the workspace: a later call may
    // have the time.
    if (!counted.interrupted) {
      std::lock_guard<std::mutex> lock(cache.mutex);
      cache.counts[key] = count;
    }
  }
  if (count)
    (*sink)("{\"reason\":\"x-tarnwick-progress-total\",\"total_units\":" + std::to_string(*count) +
            "}");
}

}  // namespace tarnwick
