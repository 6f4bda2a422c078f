#include "duration.h"

#include <cmath>
#include <fmt/format.h>

namespace tarnwick {

using Clock = std::chrono::steady_clock;

Duration Duration::from_millis(uint64_t ms) {
  return {ms / 1000, static_cast<uint32_t>((ms % 1000) * 1'000'000)};
}

Duration Duration::from_secs_f64(double s) {
  if (!(s > 0)) return {};
  if (s >= 18446744073709551615.0) return max();
  double whole = std::floor(s);
  auto secs = static_cast<uint64_t>(whole);
  auto nanos = static_cast<uint32_t>(std::llround((s - whole) * 1e9));
  if (nanos >= 1'000'000'000) return saturating_add({secs, 0}, {1, 0});
  return {secs, nanos};
}

Duration Duration::from_chrono(Clock::duration d) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  if (ns <= 0) return {};
  return {static_cast<uint64_t>(ns / 1'000'000'000), static_cast<uint32_t>(ns % 1'000'000'000)};
}

Clock::duration Duration::to_chrono() const {
  // Keep well inside the clock's range (int64 nanoseconds: ~292 years).
  constexpr uint64_t kMaxSecs = 100ULL * 365 * 24 * 3600;
  if (secs >= kMaxSecs) return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(kMaxSecs));
  return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(secs) +
                                                     std::chrono::nanoseconds(nanos));
}

Duration saturating_add(Duration a, Duration b) {
  uint64_t secs = a.secs + b.secs;
  if (secs < a.secs) return Duration::max();
  uint32_t nanos = a.nanos + b.nanos;
  if (nanos >= 1'000'000'000) {
    nanos -= 1'000'000'000;
    if (secs == UINT64_MAX) return Duration::max();
    ++secs;
  }
  return {secs, nanos};
}

Duration saturating_sub(Duration a, Duration b) {
  if (b >= a) return {};
  uint64_t secs = a.secs - b.secs;
  uint32_t nanos;
  if (a.nanos >= b.nanos) {
    nanos = a.nanos - b.nanos;
  } else {
    nanos = a.nanos + 1'000'000'000 - b.nanos;
    --secs;
  }
  return {secs, nanos};
}

std::string format_secs_3(Duration d) {
  // Round to milliseconds in integers so large values keep their digits.
  uint64_t millis = (d.nanos + 500'000) / 1'000'000;
  uint64_t secs = d.secs;
  if (millis == 1000) {
    millis = 0;
    ++secs;
  }
  return fmt::format("{}.{:03}", secs, millis);
}

Deadline Deadline::after(Duration d) {
  constexpr uint64_t kMaxSecs = 100ULL * 365 * 24 * 3600;
  if (d.secs >= kMaxSecs) return never();
  return {Clock::now() + d.to_chrono(), false};
}

bool Deadline::passed() const { return !infinite && Clock::now() >= at; }

Duration Deadline::remaining() const {
  if (infinite) return Duration::max();
  auto now = Clock::now();
  if (now >= at) return {};
  return Duration::from_chrono(at - now);
}

}  // namespace tarnwick
