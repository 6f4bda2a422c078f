#include "base/error.h"

#include <fmt/format.h>

#include "base/quoted.h"

namespace tarnwick {
namespace {

/// A duration in the usual debug form: "1.5s", "250ms", "0ns".
std::string debug_duration(Duration d) {
  if (d.secs > 0) {
    if (d.nanos == 0) return fmt::format("{}s", d.secs);
    std::string frac = fmt::format("{:09}", d.nanos);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    return fmt::format("{}.{}s", d.secs, frac);
  }
  if (d.nanos >= 1'000'000) {
    uint32_t ms = d.nanos / 1'000'000, rest = d.nanos % 1'000'000;
    if (rest == 0) return fmt::format("{}ms", ms);
    std::string frac = fmt::format("{:06}", rest);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    return fmt::format("{}.{}ms", ms, frac);
  }
  if (d.nanos >= 1'000) {
    uint32_t us = d.nanos / 1'000, rest = d.nanos % 1'000;
    if (rest == 0) return fmt::format("{}µs", us);
    std::string frac = fmt::format("{:03}", rest);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    return fmt::format("{}.{}µs", us, frac);
  }
  return fmt::format("{}ns", d.nanos);
}

struct TextVisitor {
  std::string operator()(const MessageError& e) const { return e.message; }
  std::string operator()(const TimeoutError& e) const {
    return fmt::format(
        "Operation timed out after {} seconds; cargo subprocess and all of its descendants were "
        "terminated.",
        format_secs_3(e.elapsed));
  }
  std::string operator()(const PhaseTimeoutError& e) const {
    return fmt::format(
        "Operation timed out after {} seconds during the {} phase; cargo subprocess and all of its "
        "descendants were terminated. The {} phase exceeded its timeout_secs budget (each phase is "
        "timed independently, so build time is excluded from the test execution budget).",
        format_secs_3(e.elapsed), e.phase, e.phase);
  }
  std::string operator()(const CancelledError&) const {
    return "Operation cancelled by client request.";
  }
  std::string operator()(const IoError& e) const { return e.text; }
};

struct DebugVisitor {
  std::string operator()(const MessageError& e) const { return quoted(e.message); }
  std::string operator()(const TimeoutError& e) const {
    return fmt::format("TimeoutError {{ elapsed: {} }}", debug_duration(e.elapsed));
  }
  std::string operator()(const PhaseTimeoutError& e) const {
    return fmt::format("PhaseTimeoutError {{ elapsed: {}, phase: {} }}", debug_duration(e.elapsed),
                       quoted(e.phase));
  }
  std::string operator()(const CancelledError&) const { return "CancelledError"; }
  std::string operator()(const IoError& e) const {
    return fmt::format("Os {{ code: {}, message: {} }}", e.code, quoted(e.text));
  }
};

}  // namespace

std::string error_text(const Error& error) { return std::visit(TextVisitor{}, error); }
std::string error_debug_text(const Error& error) { return std::visit(DebugVisitor{}, error); }

}  // namespace tarnwick
