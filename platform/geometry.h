#pragma once

#include <string>

namespace vorn::platform {

struct Size {
  double width = 0.0;
  double height = 0.0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
  bool operator==(const Rect&) const = default;
  Size size() const { return {width, height}; }
  // "(0.0, 0.0, 1920.0, 1080.0)": origin, then size.
  std::string description() const;
};

struct Color {
  double red = 0.0;
  double green = 0.0;
  double blue = 0.0;
  double alpha = 1.0;
  bool operator==(const Color&) const = default;
  static Color black() { return {0.0, 0.0, 0.0, 1.0}; }
  static Color gray() { return {0.5, 0.5, 0.5, 1.0}; }
  static Color clear() { return {0.0, 0.0, 0.0, 0.0}; }
};

enum class FontTextStyle { body };

struct Font {
  FontTextStyle style = FontTextStyle::body;
  double pointSize = 17.0;
  bool operator==(const Font&) const = default;
};

}  // namespace vorn::platform
