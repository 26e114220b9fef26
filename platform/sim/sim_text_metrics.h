#pragma once

#include <string>

#include "platform/views.h"

namespace vorn::sim {

// A fixed text metric, so that tests can assert exact label frames:
// - Every character (UTF-8 code point) advances 10.0 points, whatever the font and its size.
// - A line is 20.0 points tall.
// - The text is split into paragraphs at '\n'. A final line feed does not add a visible line:
//   "a\n" is 1 line, "a\n\nb" is 3 lines (the middle one empty), "" is no line at all.
// - Within a paragraph, words are separated by spaces (a run of spaces counts as one separator at
//   a wrap point) and wrapped greedily: a word goes on the current line when the line, a space and
//   the word fit within the width; otherwise it starts the next line. A word longer than the
//   width is broken at the width (at least one character per line, however narrow the width).
// - The height is lines * 20.0, but at most maxHeight, rounded down to whole lines when the bound
//   cuts; the width is that of the widest line.
// - preferredFont(body) is the body style at 17.0 points.
class SimTextMetrics : public platform::TextMetrics {
 public:
  static constexpr double kCharacterWidth = 10.0;
  static constexpr double kLineHeight = 20.0;
  static constexpr double kBodyPointSize = 17.0;

  platform::Size fit(const std::string& text, const platform::Font& font, double width,
                     double maxHeight) override;
  platform::Font preferredFont(platform::FontTextStyle style) override;
};

}  // namespace vorn::sim
