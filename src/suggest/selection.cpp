#include "suggest/selection.h"

#include <fmt/format.h>

#include <algorithm>

namespace tarnwick {

std::vector<Suggestion> select_by_ids(const std::vector<Suggestion>& suggestions,
                                      const std::vector<uint64_t>& ids) {
  std::vector<Suggestion> chosen;
  for (const Suggestion& s : suggestions)
    if (std::find(ids.begin(), ids.end(), s.id) != ids.end()) chosen.push_back(s);
  return chosen;
}

namespace {

void append_multi_span(std::string& out, const Suggestion& s) {
  out += fmt::format("   Multi-span fix ({} locations \u2014 apply all atomically):\n",
                     s.spans.size());
  size_t n = 0;
  for (const SuggestionSpan& span : s.spans) {
    out += fmt::format("   ({}) {} lines {}-{}, cols {}-{}: {}\n", ++n, span.file_name,
                       span.line_start, span.line_end, span.column_start, span.column_end,
                       span.replacement.empty() ? std::string("(remove text)") : span.replacement);
  }
}

void append_single_span(std::string& out, const Suggestion& s) {
  out += fmt::format("   File: {} lines {}-{}, columns {}-{}\n", s.file_name, s.line_start,
                     s.line_end, s.column_start, s.column_end);
  if (s.replacement.empty())
    out += "   Action: remove text in span\n";
  else
    out += fmt::format("   Replace with: {}\n", s.replacement);
}

}  // namespace

std::string format_selection(const std::vector<Suggestion>& suggestions) {
  if (suggestions.empty()) return "No suggestions selected.";
  std::string out = fmt::format("{} suggestion(s) selected:\n\n", suggestions.size());
  for (const Suggestion& s : suggestions) {
    out += fmt::format("{}. {}\n", s.id, suggestion_title(s));
    if (s.spans.size() >= 2)
      append_multi_span(out, s);
    else
      append_single_span(out, s);
    out += '\n';
  }
  return out;
}

}  // namespace tarnwick
