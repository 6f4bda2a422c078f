/// The server with scripted tools in place of the tool handlers, so that the
/// end-to-end tests can drive the tools/call envelope over real pipes.
///
/// Tools: "echo" answers its arguments as compact JSON; "fail" fails with
/// "scripted failure"; "flagged" answers "reported" with the error flag;
/// "slow" tells the progress sink (when there is one) that it is running, then
/// waits, polling its cancel flag every 5 ms, until the client cancels (at
/// most 30 s); "progress" feeds the strings of its `lines` argument to the
/// progress sink; "suggest" answers "checked" with `fixes` auto-applicable
/// fixes and then `reviews` suggestions to review (1 of each by default),
/// numbered from 1. Review suggestion N has the code "lint_a" when N is odd
/// and "lint_b" when even, and stands in "src/fN.rs" line N. The review
/// dialog is the server's own.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server/envelope.h"
#include "server/startup.h"
#include "suggest/selection.h"

namespace tarnwick {
namespace {

std::string ids_of(const std::vector<Suggestion>& list) {
  std::string out;
  for (const Suggestion& s : list) out += (out.empty() ? "" : ",") + std::to_string(s.id);
  return out;
}

ToolOutcome slow(const CancelFlag& cancel, const ProgressSink* sink) {
  // Lets the client see that the call is in flight before it cancels.
  if (sink) (*sink)("tarnwick: waiting for cancellation");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (cancel->load(std::memory_order_acquire)) return ToolFailed{CancelledError{}};
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ToolText{"not cancelled"};
}

ToolOutcome feed_progress(const json& arguments, const ProgressSink* sink) {
  size_t fed = 0;
  if (sink && arguments.is_object() && arguments.contains("lines") &&
      arguments["lines"].is_array()) {
    for (const json& line : arguments["lines"])
      if (line.is_string()) {
        (*sink)(line.get<std::string>());
        ++fed;
      }
  }
  return ToolText{"fed " + std::to_string(fed) + " lines"};
}

uint64_t count_argument(const json& arguments, const char* key) {
  if (!arguments.is_object()) return 1;
  auto it = arguments.find(key);
  return it != arguments.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 1;
}

ToolOutcome with_suggestions(const json& arguments) {
  std::vector<Suggestion> list;
  auto add = [&](uint64_t count, Applicability applicability) {
    for (uint64_t i = 0; i < count; ++i) {
      Suggestion s;
      s.id = list.size() + 1;
      s.applicability = applicability;
      if (applicability != Applicability::MachineApplicable) {
        s.code = s.id % 2 ? "lint_a" : "lint_b";
        s.message = s.diagnostic_message = "review " + std::to_string(s.id);
        s.file_name = "src/f" + std::to_string(s.id) + ".rs";
        s.line_start = s.id;
      }
      list.push_back(s);
    }
  };
  add(count_argument(arguments, "fixes"), Applicability::MachineApplicable);
  add(count_argument(arguments, "reviews"), Applicability::MaybeIncorrect);
  return ToolTextWithSuggestions{"checked", std::move(list), false};
}

ToolBackend scripted_backend() {
  ToolBackend b;
  b.handle_tool_call = [](std::string_view name, json arguments, const ProgressSink* sink,
                          CancelFlag cancel) -> ToolOutcome {
    if (name == "echo") return ToolText{to_json_text(arguments)};
    if (name == "fail") return ToolFailed{make_error("scripted failure")};
    if (name == "flagged") return ToolText{"reported", true};
    if (name == "slow") return slow(cancel, sink);
    if (name == "progress") return feed_progress(arguments, sink);
    if (name == "suggest") return with_suggestions(arguments);
    return ToolFailed{make_error("unknown tool")};
  };
  b.elicit_suggestions = client_review_dialog();
  b.filter_records_by_id = select_by_ids;
  b.format_selection = [](const std::vector<Suggestion>& list) {
    return list.empty() ? std::string("No suggestions selected.")
                        : "selected " + ids_of(list) + "\n";
  };
  b.format_suggestion_list = [](const std::vector<Suggestion>& list) {
    return "listed " + ids_of(list) + "\n";
  };
  return b;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
  return tarnwick::run_server(argc, argv,
                              tarnwick::make_tools_call_handler(tarnwick::scripted_backend()));
}
