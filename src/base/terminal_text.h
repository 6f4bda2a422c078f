#pragma once
/// Text meant for a terminal, read as a terminal would show it: escape
/// sequences (colour, cursor moves) take no room, and a carriage return
/// inside a line starts it again. Readers of another program's console
/// output look at this view, so its own colour or a progress line does not
/// hide the lines they look for.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

/// A line without its escape sequences. Copies only a line that holds an
/// escape byte.
class VisibleText {
 public:
  explicit VisibleText(std::string_view line);

  std::string_view text() const { return copied_ ? std::string_view(copy_) : line_; }

 private:
  std::string_view line_;
  std::string copy_;
  bool copied_ = false;
};

/// Where what a terminal shows last of `line` starts: after the last
/// carriage return that is not at its end (0 when there is none).
size_t after_last_carriage_return(std::string_view line);

}  // namespace tarnwick
