#pragma once
// Random damage to a JSON line, for tests that a quick reader never vouches
// for what the library's parser refuses.

#include <random>
#include <string>

namespace tarnwick::testing {

/// `line` with one to three bytes changed or inserted, drawn from the bytes
/// that matter to JSON and UTF-8.
inline std::string damaged(const std::string& line, std::mt19937& random) {
  const std::string alphabet = "{}[]\":,\\u0aeE-+.tfn \x01\x7f\xC3\xA9\xED\xF4";
  std::string text = line;
  int edits = 1 + static_cast<int>(random() % 3);
  for (int e = 0; e < edits; ++e) {
    size_t at = random() % text.size();
    char c = alphabet[random() % alphabet.size()];
    if (random() % 2)
      text[at] = c;
    else
      text.insert(at, 1, c);
  }
  return text;
}

}  // namespace tarnwick::testing
