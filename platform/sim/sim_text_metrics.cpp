#include "platform/sim/sim_text_metrics.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vorn::sim {

namespace {

// Splits UTF-8 text into code points, so that a multi-byte character is one advance.
std::vector<std::string> codePoints(const std::string& text) {
  std::vector<std::string> points;
  for (unsigned char byte : text) {
    if ((byte & 0xC0) == 0x80 && !points.empty()) {
      points.back().push_back(static_cast<char>(byte));
    } else {
      points.emplace_back(1, static_cast<char>(byte));
    }
  }
  return points;
}

std::vector<std::string> splitParagraphs(const std::string& text) {
  std::vector<std::string> paragraphs;
  if (text.empty()) {
    return paragraphs;
  }
  size_t start = 0;
  while (true) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      paragraphs.push_back(text.substr(start));
      break;
    }
    paragraphs.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // A final line feed ends the last line; it does not open another one.
  if (text.back() == '\n') {
    paragraphs.pop_back();
  }
  return paragraphs;
}

// Lengths (in characters) of the lines one paragraph wraps into.
std::vector<size_t> wrapParagraph(const std::string& paragraph, size_t capacity) {
  std::vector<std::vector<std::string>> words(1);
  for (auto& point : codePoints(paragraph)) {
    if (point == " ") {
      if (!words.back().empty()) {
        words.emplace_back();
      }
    } else {
      words.back().push_back(point);
    }
  }
  if (words.back().empty()) {
    words.pop_back();
  }

  std::vector<size_t> lines;
  size_t current = 0;
  bool lineOpen = false;
  for (const auto& word : words) {
    size_t length = word.size();
    if (lineOpen && current + 1 + length <= capacity) {
      current += 1 + length;
      continue;
    }
    if (lineOpen) {
      lines.push_back(current);
    }
    // Break a word that is wider than a whole line at the width.
    while (length > capacity) {
      lines.push_back(capacity);
      length -= capacity;
    }
    current = length;
    lineOpen = true;
  }
  // An empty paragraph still takes one (empty) line.
  lines.push_back(lineOpen ? current : 0);
  return lines;
}

}  // namespace

platform::Size SimTextMetrics::fit(const std::string& text, const platform::Font& font,
                                   double width, double maxHeight) {
  (void)font;
  // No line holds more characters than the text has, so a wider bound (up to infinity) changes
  // nothing; clamping first keeps the conversion in range. NaN or below one character: one.
  const double fitting = std::floor(width / kCharacterWidth);
  const double most = static_cast<double>(text.size()) + 1.0;
  const size_t capacity = fitting >= 1.0 ? static_cast<size_t>(std::min(fitting, most)) : size_t{1};
  size_t lineCount = 0;
  size_t widest = 0;
  for (const auto& paragraph : splitParagraphs(text)) {
    for (size_t length : wrapParagraph(paragraph, capacity)) {
      ++lineCount;
      widest = std::max(widest, length);
    }
  }
  double height = static_cast<double>(lineCount) * kLineHeight;
  if (height > maxHeight) {
    height = std::max(0.0, std::floor(maxHeight / kLineHeight) * kLineHeight);
  }
  return {static_cast<double>(widest) * kCharacterWidth, height};
}

platform::Font SimTextMetrics::preferredFont(platform::FontTextStyle style) {
  return {style, kBodyPointSize};
}

}  // namespace vorn::sim
