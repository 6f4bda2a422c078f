#include "suggest/review_dialog.h"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>

#include "base/json_text.h"
#include "base/quoted.h"

namespace tarnwick {
namespace {

enum class SuggestionView { ByLint, ByPath };

constexpr const char* kSkipAll = "skip:all";
constexpr const char* kByPath = "view:by-path";
constexpr const char* kByLint = "view:by-lint";

constexpr const char* kFieldDescription =
    "These suggestions may change behaviour or contain placeholders. Check the ones you want "
    "applied. To apply nothing, check \u2205 Skip all at the bottom of the list.";

json option(std::string value, std::string title) {
  return json{{"const", std::move(value)}, {"title", std::move(title)}};
}

json id_option(const Suggestion& s, std::string_view prefix = "") {
  return option(std::to_string(s.id), std::string(prefix) + suggestion_choice_label(s));
}

json skip_option() {
  return option(kSkipAll, "\u2205 Skip all \u2014 apply none of these suggestions");
}

json elicitation_request(const std::string& id, std::string message, json options) {
  json selected = {{"type", "array"},
                   {"title", "Review these suggestions"},
                   {"description", kFieldDescription},
                   {"items", {{"anyOf", std::move(options)}}}};
  json schema = {{"type", "object"},
                 {"properties", {{"selected", std::move(selected)}}},
                 {"required", json::array({"selected"})}};
  return json{
      {"jsonrpc", "2.0"},
      {"id", id},
      {"method", "elicitation/create"},
      {"params", {{"message", std::move(message)}, {"requestedSchema", std::move(schema)}}}};
}

std::string review_message(size_t count, std::string_view grouping) {
  return fmt::format(
      "Cargo found {} suggestion(s) that need human review{}. Safe, machine-verified fixes were "
      "already reported. Check the ones you\u2019d like applied, or select \u2205 Skip all at the "
      "bottom to apply nothing:",
      count, grouping);
}

bool contains(const std::vector<std::string>& values, std::string_view wanted) {
  return std::find(values.begin(), values.end(), wanted) != values.end();
}

std::optional<uint64_t> read_id(std::string_view value) {
  return parse_unsigned(value, std::numeric_limits<uint64_t>::max());
}

std::vector<SuggestionGroup> group_by(const std::vector<Suggestion>& review,
                                      const std::function<std::string(const Suggestion&)>& key_of) {
  std::vector<SuggestionGroup> groups;
  std::map<std::string, size_t> index;
  for (const Suggestion& s : review) {
    std::string key = key_of(s);
    auto [it, is_new] = index.try_emplace(key, groups.size());
    if (is_new) {
      bool stands_alone = key.starts_with("_id:");
      groups.push_back({key, stands_alone ? suggestion_choice_label(s) : key, {}});
    }
    groups[it->second].members.push_back(s);
  }
  std::stable_sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
    return a.members.size() > b.members.size();
  });
  return groups;
}

json grouped_options(const std::vector<SuggestionGroup>& groups, SuggestionView view) {
  json options = json::array();
  for (const SuggestionGroup& group : groups) {
    if (group.members.size() == 1) {
      options.push_back(id_option(group.members.front()));
      continue;
    }
    options.push_back(option("all:" + group.key, fmt::format("\u25B6 Select all: {} ({} instances)",
                                                             group.display, group.members.size())));
    for (const Suggestion& s : group.members) options.push_back(id_option(s, "  \u2013 "));
  }
  if (view == SuggestionView::ByLint)
    options.push_back(option(kByPath, "\u21BB Switch view: group by file path"));
  else
    options.push_back(option(kByLint, "\u21BB Switch view: group by lint code"));
  options.push_back(skip_option());
  return options;
}

std::vector<SuggestionGroup> groups_for(SuggestionView view,
                                        const std::vector<Suggestion>& review) {
  return view == SuggestionView::ByLint ? group_by_lint(review) : group_by_path(review);
}

/// The ids named by a grouped answer, "all:KEY" options expanded; sorted,
/// each once.
std::vector<uint64_t> grouped_ids(const std::vector<std::string>& values,
                                  const std::vector<SuggestionGroup>& groups) {
  std::vector<uint64_t> ids;
  for (const std::string& value : values) {
    if (value.starts_with("all:")) {
      std::string_view key = std::string_view(value).substr(4);
      for (const SuggestionGroup& group : groups)
        if (group.key == key)
          for (const Suggestion& s : group.members) ids.push_back(s.id);
    } else if (std::optional<uint64_t> id = read_id(value)) {
      ids.push_back(*id);
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

/// "ByLint" or "ByPath".
const char* suggestion_view_name(SuggestionView view) {
  return view == SuggestionView::ByLint ? "ByLint" : "ByPath";
}

/// The grouped dialog, for five or more suggestions.
std::optional<std::vector<uint64_t>> elicit_grouped(const ElicitationLink& link,
                                                    const std::vector<Suggestion>& review) {
  SuggestionView view = SuggestionView::ByLint;
  // The first view, then the other one after a switch; a second switch ends
  // the review without a third request.
  for (int asked = 0; asked < 2; ++asked) {
    std::string id = next_elicitation_id();
    std::vector<SuggestionGroup> groups = groups_for(view, review);
    std::string grouping =
        view == SuggestionView::ByLint ? " (grouped by lint)" : " (grouped by file)";
    json request = elicitation_request(id, review_message(review.size(), grouping),
                                       grouped_options(groups, view));
    std::optional<std::vector<std::string>> values = send_elicitation(link, request, id);
    if (!values) return std::nullopt;

    auto a_switch = std::find_if(values->begin(), values->end(),
                                 [](const std::string& v) { return v == kByLint || v == kByPath; });
    if (a_switch != values->end()) {
      view = *a_switch == kByLint ? SuggestionView::ByLint : SuggestionView::ByPath;
      notify_log("info", fmt::format("tarnwick: user switched elicitation view to {}",
                                     suggestion_view_name(view)));
      continue;
    }
    if (contains(*values, kSkipAll)) return std::vector<uint64_t>{};
    return grouped_ids(*values, groups);
  }
  return std::nullopt;
}

}  // namespace

std::vector<SuggestionGroup> group_by_lint(const std::vector<Suggestion>& review) {
  return group_by(
      review, [](const Suggestion& s) { return s.code ? *s.code : "_id:" + std::to_string(s.id); });
}

std::vector<SuggestionGroup> group_by_path(const std::vector<Suggestion>& review) {
  return group_by(review, [](const Suggestion& s) { return s.file_name; });
}

std::optional<std::vector<uint64_t>> elicit_suggestions(const ElicitationLink& link,
                                                        const std::vector<Suggestion>& review) {
  if (review.size() >= 5) return elicit_grouped(link, review);

  std::string id = next_elicitation_id();
  json options = json::array();
  for (const Suggestion& s : review) options.push_back(id_option(s));
  options.push_back(skip_option());
  std::optional<std::vector<std::string>> values = send_elicitation(
      link, elicitation_request(id, review_message(review.size(), ""), options), id);
  if (!values) return std::nullopt;
  if (contains(*values, kSkipAll)) return std::vector<uint64_t>{};
  std::vector<uint64_t> ids;
  for (const std::string& value : *values)
    if (std::optional<uint64_t> parsed = read_id(value)) ids.push_back(*parsed);
  return ids;
}

}  // namespace tarnwick
