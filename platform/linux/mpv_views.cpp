#include "platform/linux/mpv_views.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "platform/media.h"

namespace vorn::linuxbackend {

using platform::Color;
using platform::Font;
using platform::Size;
using platform::View;

namespace {

constexpr int64_t kDrawOverlayId = 1;
constexpr int64_t kMeasureOverlayId = 2;
// A strut: tall glyphs at 1% width, fully transparent.
constexpr const char* kStrut = "{\\alpha&HFF&\\fscx1}\xC3\x81gjy{\\fscx100\\alpha&H00&}";
constexpr int kSpinnerSpokes = 12;
constexpr double kSpinnerStepsPerSecond = 12.0;

int64_t roundToInt(double value) {
  return static_cast<int64_t>(std::lround(value));
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  std::string result = text;
  while (!result.empty() && result.back() == '0') {
    result.pop_back();
  }
  if (!result.empty() && result.back() == '.') {
    result.pop_back();
  }
  return result;
}

std::string rectEvent(double x, double y, double width, double height, const Color& color) {
  const int64_t w = std::max<int64_t>(1, roundToInt(width));
  const int64_t h = std::max<int64_t>(1, roundToInt(height));
  char text[256];
  std::snprintf(text, sizeof text,
                "{\\an7\\pos(%s,%s)\\bord0\\shad0\\1c%s\\alpha%s\\p1}m 0 0 l %lld 0 %lld %lld 0 "
                "%lld{\\p0}",
                number(std::round(x)).c_str(), number(std::round(y)).c_str(),
                assColor(color).c_str(), assAlpha(color.alpha).c_str(), static_cast<long long>(w),
                static_cast<long long>(w), static_cast<long long>(h), static_cast<long long>(h));
  return text;
}

std::vector<std::string> splitWords(const std::string& paragraph) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : paragraph) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) {
        words.push_back(std::move(word));
        word.clear();
      }
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) {
    words.push_back(std::move(word));
  }
  return words;
}

std::string textPrefix(double fontSize) {
  return "{\\an7\\pos(0,0)\\q2\\bord0\\shad0\\fs" + number(fontSize) + "}";
}

}  // namespace

std::string escapeAss(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      // A word joiner after the backslash keeps libass from reading an escape sequence.
      out += "\\\xE2\x81\xA0";
    } else if (c == '{') {
      out += "\\{";
    } else if (c == '\n') {
      out += "\\N";
    } else if (c == '\r') {
      continue;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string assColor(const Color& color) {
  auto channel = [](double value) {
    return static_cast<unsigned>(std::clamp(std::lround(value * 255.0), 0L, 255L));
  };
  char text[16];
  std::snprintf(text, sizeof text, "&H%02X%02X%02X&", channel(color.blue), channel(color.green),
                channel(color.red));
  return text;
}

std::string assAlpha(double alpha) {
  const auto value =
      static_cast<unsigned>(std::clamp(std::lround((1.0 - alpha) * 255.0), 0L, 255L));
  char text[16];
  std::snprintf(text, sizeof text, "&H%02X&", value);
  return text;
}

// MpvTextMetrics

MpvTextMetrics::MpvTextMetrics(Guard<MpvCore>::Weak core, std::function<Size()> surfaceSize)
    : core_(std::move(core)), surfaceSize_(std::move(surfaceSize)) {}

Font MpvTextMetrics::preferredFont(platform::FontTextStyle style) {
  const Size surface = surfaceSize_ ? surfaceSize_() : Size{1280.0, 720.0};
  return Font{style, std::max(12.0, std::round(surface.height / 32.0))};
}

std::optional<MpvTextMetrics::Bounds> MpvTextMetrics::measure(const std::string& event) {
  MpvCore* core = core_.get();
  if (core == nullptr) {
    return std::nullopt;
  }
  const Size surface = surfaceSize_ ? surfaceSize_() : Size{1280.0, 720.0};
  auto [error, result] = core->command({{"name", std::string("osd-overlay")},
                                        {"id", kMeasureOverlayId},
                                        {"format", std::string("ass-events")},
                                        {"data", event},
                                        {"res_x", std::max<int64_t>(1, roundToInt(surface.width))},
                                        {"res_y", std::max<int64_t>(1, roundToInt(surface.height))},
                                        {"hidden", true},
                                        {"compute_bounds", true}});
  if (error < 0) {
    return std::nullopt;
  }
  const auto x0 = result.number("x0");
  const auto y0 = result.number("y0");
  const auto x1 = result.number("x1");
  const auto y1 = result.number("y1");
  if (!x0 || !y0 || !x1 || !y1) {
    return std::nullopt;  // nothing visible
  }
  return Bounds{*x0, *y0, *x1, *y1};
}

double MpvTextMetrics::lineWidth(const std::string& line, double fontSize) {
  if (line.empty()) {
    return 0.0;
  }
  const auto key = std::make_pair(line, fontSize);
  if (const auto found = widths_.find(key); found != widths_.end()) {
    return found->second;
  }
  double width = 0.0;
  if (const auto bounds = measure(textPrefix(fontSize) + escapeAss(line))) {
    width = std::max(0.0, bounds->x1);
  } else {
    // Without the renderer: an average glyph of half the font size.
    width = 0.5 * fontSize * static_cast<double>(line.size());
  }
  if (widths_.size() > 4096) {
    widths_.clear();
  }
  widths_.emplace(key, width);
  return width;
}

double MpvTextMetrics::blockHeight(const TextBlock& block, double fontSize) {
  if (block.lines.empty()) {
    return 0.0;
  }
  if (const auto bounds = measure(textPrefix(fontSize) + body(block))) {
    return std::max(0.0, bounds->y1);
  }
  return 1.25 * fontSize * static_cast<double>(block.lines.size());
}

std::string MpvTextMetrics::body(const TextBlock& block) {
  std::string out;
  for (size_t i = 0; i < block.lines.size(); ++i) {
    if (i > 0) {
      out += "\\N";
    }
    out += kStrut;
    out += escapeAss(block.lines[i]);
    out += kStrut;
  }
  return out;
}

const TextBlock& MpvTextMetrics::layout(const std::string& text, double fontSize, double width) {
  const auto key = std::make_tuple(text, fontSize, width);
  if (const auto found = layouts_.find(key); found != layouts_.end()) {
    return found->second;
  }
  TextBlock block;
  std::vector<std::string> paragraphs;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      paragraphs.push_back(text.substr(start));
      break;
    }
    paragraphs.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // A closing line feed does not open another line.
  if (!paragraphs.empty() && paragraphs.back().empty()) {
    paragraphs.pop_back();
  }
  for (const auto& paragraph : paragraphs) {
    std::string line;
    for (const auto& word : splitWords(paragraph)) {
      const std::string candidate = line.empty() ? word : line + " " + word;
      if (line.empty() || lineWidth(candidate, fontSize) <= width) {
        line = candidate;
      } else {
        block.lines.push_back(line);
        line = word;
      }
    }
    block.lines.push_back(line);
  }
  double widest = 0.0;
  for (const auto& line : block.lines) {
    widest = std::max(widest, lineWidth(line, fontSize));
  }
  block.size = {std::ceil(widest), std::ceil(blockHeight(block, fontSize))};
  if (layouts_.size() > 256) {
    layouts_.clear();
  }
  return layouts_.emplace(key, std::move(block)).first->second;
}

Size MpvTextMetrics::fit(const std::string& text, const Font& font, double width,
                         double maxHeight) {
  const TextBlock& block = layout(text, font.pointSize, width);
  return {std::min(block.size.width, std::max(0.0, width)),
          std::min(block.size.height, std::max(0.0, maxHeight))};
}

// Drawing

namespace {

void walk(const View& view, double originX, double originY, double seconds, MpvTextMetrics& metrics,
          std::vector<std::string>& events, bool& animating) {
  if (view.isHidden()) {
    return;
  }
  const auto& frame = view.frame();
  const double x = originX + frame.x;
  const double y = originY + frame.y;
  if (view.backgroundColor().alpha > 0.0 && frame.width > 0.0 && frame.height > 0.0) {
    events.push_back(rectEvent(x, y, frame.width, frame.height, view.backgroundColor()));
  }
  if (const auto* label = dynamic_cast<const platform::Label*>(&view);
      label != nullptr && !label->text().empty() && frame.width > 0.0 && frame.height > 0.0) {
    const double fontSize = label->font().pointSize;
    const TextBlock& block = metrics.layout(label->text(), fontSize, frame.width);
    // A label centres its text vertically in its frame, and clips what does not fit.
    const double top = y + std::max(0.0, (frame.height - block.size.height) / 2.0);
    const Color& color = label->textColor();
    events.push_back("{\\an7\\pos(" + number(std::round(x)) + "," + number(std::round(top)) +
                     ")\\clip(" + std::to_string(roundToInt(x)) + "," +
                     std::to_string(roundToInt(y)) + "," +
                     std::to_string(roundToInt(x + frame.width)) + "," +
                     std::to_string(roundToInt(y + frame.height)) + ")\\q2\\bord0\\shad0\\fs" +
                     number(fontSize) + "\\1c" + assColor(color) + "\\1a" + assAlpha(color.alpha) +
                     "}" + MpvTextMetrics::body(block));
  }
  // The video lies in the layer tree: whatever was drawn before it is under the picture.
  for (const auto& sublayer : view.layer()->sublayers()) {
    const auto* playerLayer = dynamic_cast<const platform::PlayerLayer*>(sublayer.get());
    if (playerLayer != nullptr && playerLayer->player()) {
      events.clear();
    }
  }
  if (const auto* spinner = dynamic_cast<const platform::ActivityIndicatorView*>(&view);
      spinner != nullptr && spinner->isSpinnerVisible() && frame.width > 0.0 &&
      frame.height > 0.0) {
    const double radius = std::max(12.0, std::min(frame.width, frame.height) / 24.0);
    const double cx = x + frame.width / 2.0;
    const double cy = y + frame.height / 2.0;
    const int64_t spokeWidth = std::max<int64_t>(2, roundToInt(radius / 4.0));
    const int64_t spokeLength = std::max<int64_t>(4, roundToInt(radius / 2.0));
    const int step =
        spinner->isAnimating()
            ? static_cast<int>(std::floor(seconds * kSpinnerStepsPerSecond)) % kSpinnerSpokes
            : 0;
    for (int i = 0; i < kSpinnerSpokes; ++i) {
      // The spoke at the current step is brightest; the ones behind it fade out.
      const int age = ((step - i) % kSpinnerSpokes + kSpinnerSpokes) % kSpinnerSpokes;
      const double alpha = 1.0 - 0.75 * static_cast<double>(age) / (kSpinnerSpokes - 1);
      const double angle = -360.0 * i / kSpinnerSpokes;
      char text[320];
      std::snprintf(text, sizeof text,
                    "{\\an7\\pos(%s,%s)\\org(%s,%s)\\frz%s\\bord0\\shad0\\1c&HE6E6E6&\\alpha%s\\p1}"
                    "m 0 0 l %lld 0 %lld %lld 0 %lld{\\p0}",
                    number(std::round(cx - spokeWidth / 2.0)).c_str(),
                    number(std::round(cy - radius)).c_str(), number(std::round(cx)).c_str(),
                    number(std::round(cy)).c_str(), number(angle).c_str(), assAlpha(alpha).c_str(),
                    static_cast<long long>(spokeWidth), static_cast<long long>(spokeWidth),
                    static_cast<long long>(spokeLength), static_cast<long long>(spokeLength));
      events.emplace_back(text);
    }
    animating = animating || spinner->isAnimating();
  }
  for (const auto& subview : view.subviews()) {
    walk(*subview, x, y, seconds, metrics, events, animating);
  }
}

}  // namespace

std::vector<std::string> composeOverlay(const View& root, MpvTextMetrics& metrics, double seconds,
                                        bool& animating) {
  std::vector<std::string> events;
  animating = false;
  // The root's own origin places it on the surface; its children are relative to it.
  walk(root, 0.0, 0.0, seconds, metrics, events, animating);
  return events;
}

// MpvOverlay

namespace {

// Delays of the repeated sends after a change, each from the previous one (seconds): the first
// comes once a frame in flight at 25 fps is normally presented, the last long after one delayed
// by a busy machine.
constexpr double kResendDelays[] = {0.1, 0.3, 0.8};

}  // namespace

bool MpvOverlay::send(const std::string& data, int64_t resX, int64_t resY) {
  const auto [error, result] = core_.command({{"name", std::string("osd-overlay")},
                                              {"id", kDrawOverlayId},
                                              {"format", std::string("ass-events")},
                                              {"data", data},
                                              {"res_x", resX},
                                              {"res_y", resY},
                                              {"z", int64_t{0}}});
  if (error < 0) {
    if (!errorReported_ && onError_) {
      errorReported_ = true;
      onError_(std::string("cannot draw the overlay: ") + mpv_error_string(error));
    }
    return false;
  }
  return true;
}

bool MpvOverlay::render(const View& root, double seconds, bool keep) {
  bool animating = false;
  const auto events = composeOverlay(root, metrics_, seconds, animating);
  std::string data;
  for (const auto& event : events) {
    if (!data.empty()) {
      data.push_back('\n');
    }
    data += event;
  }
  const int64_t resX = std::max<int64_t>(1, roundToInt(root.frame().width));
  const int64_t resY = std::max<int64_t>(1, roundToInt(root.frame().height));
  holdsBack_ = keep && (shown_ ? data != lastData_ || resX != lastResX_ || resY != lastResY_
                               : !data.empty());
  if (holdsBack_) {
    return true;
  }
  // A pause can catch a frame drawn with an older overlay on its way to the screen.
  const auto paused = core_.getFlag("pause");
  const bool pauseChanged = paused != lastPaused_;
  lastPaused_ = paused;

  if (!shown_ && data.empty()) {
    return animating;  // nothing drawn yet, nothing to take away
  }

  const bool changed = !shown_ || data != lastData_ || resX != lastResX_ || resY != lastResY_;
  if (changed || pauseChanged) {
    resendsLeft_ = std::size(kResendDelays);
    nextResend_ = seconds + kResendDelays[0];
  }
  if (changed) {
    if (send(data, resX, resY)) {
      shown_ = true;
      lastData_ = std::move(data);
      lastResX_ = resX;
      lastResY_ = resY;
    } else {
      resendsLeft_ = 0;
    }
  } else if (resendsLeft_ > 0 && seconds >= nextResend_) {
    --resendsLeft_;
    if (resendsLeft_ > 0) {
      nextResend_ = seconds + kResendDelays[std::size(kResendDelays) - resendsLeft_];
    }
    resendMark_ = !resendMark_;
    if (!send(resendMark_ ? lastData_ + "{}" : lastData_, resX, resY)) {
      resendsLeft_ = 0;
    }
  }
  return animating || resendsLeft_ > 0;
}

}  // namespace vorn::linuxbackend
