#include "base/duration.h"

#include <fmt/format.h>

#include <cmath>

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
  if (secs >= kMaxSecs)
    return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(kMaxSecs));
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
  // While the whole seconds fit a double's mantissa, print the seconds as a
  // double, rounded from its exact binary value with ties to even: 1.0005 s
  // is just below 1.0005 as a double and shows as 1.000.
  constexpr uint64_t kExactDoubleSecs = uint64_t{1} << 53;
  if (d.secs < kExactDoubleSecs) return fmt::format("{:.3f}", d.as_secs_f64());
  // Beyond that a double loses digits of the seconds: round the exact value
  // in integers, ties to even, carrying into the seconds without overflow.
  uint32_t millis = d.nanos / 1'000'000;
  uint32_t rest = d.nanos % 1'000'000;
  if (rest > 500'000 || (rest == 500'000 && millis % 2 == 1)) ++millis;
  uint64_t secs = d.secs;
  if (millis == 1000) {
    millis = 0;
    if (secs == UINT64_MAX) return "18446744073709551616.000";
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
