#pragma once
/// Durations as whole seconds plus nanoseconds. Arithmetic saturates, so a
/// caller's timeout of 2^64-1 seconds means "no practical deadline" rather
/// than an overflow.

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnwick {

struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;  // always below 1e9

  static Duration from_secs(uint64_t s) { return {s, 0}; }
  static Duration from_millis(uint64_t ms);
  static Duration from_secs_f64(double s);  // negative and NaN give zero, huge values saturate
  static Duration from_chrono(std::chrono::steady_clock::duration d);
  static Duration max() { return {UINT64_MAX, 999'999'999}; }

  bool is_zero() const { return secs == 0 && nanos == 0; }
  double as_secs_f64() const { return static_cast<double>(secs) + nanos / 1e9; }
  /// Saturating conversion for waits and deadlines.
  std::chrono::steady_clock::duration to_chrono() const;

  friend bool operator==(const Duration&, const Duration&) = default;
  friend auto operator<=>(const Duration&, const Duration&) = default;
};

Duration saturating_add(Duration a, Duration b);
/// a - b, or zero when b >= a.
Duration saturating_sub(Duration a, Duration b);

/// Seconds with exactly three decimals, as in "1.500": the double value of
/// the seconds rounded half to even, exact in integers for huge values.
std::string format_secs_3(Duration d);

/// A point on the monotonic clock that may lie beyond its range; `never()`
/// never passes.
struct Deadline {
  std::chrono::steady_clock::time_point at;
  bool infinite = false;

  static Deadline never() { return {{}, true}; }
  /// Now plus `d`, or never when that does not fit the clock.
  static Deadline after(Duration d);
  bool passed() const;
  /// Time left, zero once passed, Duration::max() when infinite.
  Duration remaining() const;
};

}  // namespace tarnwick
