#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/geometry.h"
#include "platform/linux/guard.h"
#include "platform/linux/mpv_core.h"
#include "platform/views.h"

namespace vorn::linuxbackend {

// Text broken into lines the way a label shows it, with the size it takes on screen.
struct TextBlock {
  std::vector<std::string> lines;
  platform::Size size;
};

// Escapes text for an ASS event so that it shows literally.
std::string escapeAss(const std::string& text);
// "&HBBGGRR&" and the inverted alpha "&HAA&" of ASS.
std::string assColor(const platform::Color& color);
std::string assAlpha(double alpha);

// Measures text with the renderer that draws it (libass through a hidden osd-overlay with
// compute_bounds), so a fitted label and its drawn text agree to the pixel. Lines are broken
// here, greedily at spaces, and drawn unwrapped; libass would otherwise wrap at the width of the
// whole surface, not the label's.
class MpvTextMetrics : public platform::TextMetrics {
 public:
  // Measures with `core` while it lasts; without it, measuring falls back to an estimate.
  MpvTextMetrics(Guard<MpvCore>::Weak core, std::function<platform::Size()> surfaceSize);

  platform::Size fit(const std::string& text, const platform::Font& font, double width,
                     double maxHeight) override;
  // The body style scales with the surface's height (as a phone's type scales with its screen).
  platform::Font preferredFont(platform::FontTextStyle style) override;

  // `text` broken into lines of at most `width` (a single long word overflows). Cached.
  const TextBlock& layout(const std::string& text, double fontSize, double width);
  // The event text of a laid-out block, each line padded with invisible struts so that every
  // line is as tall as the font's tallest glyphs.
  static std::string body(const TextBlock& block);

 private:
  struct Bounds {
    double x0, y0, x1, y1;
  };
  std::optional<Bounds> measure(const std::string& event);
  double lineWidth(const std::string& line, double fontSize);
  double blockHeight(const TextBlock& block, double fontSize);

  Guard<MpvCore>::Weak core_;
  std::function<platform::Size()> surfaceSize_;
  std::map<std::tuple<std::string, double, double>, TextBlock> layouts_;
  std::map<std::pair<std::string, double>, double> widths_;
};

// The ASS events that draw a view tree over the video, in the tree's order: a view's background,
// its label text, the video when one of its layers holds a player (covering everything drawn
// before it), its spinner, then its subviews. Hidden views and their subtrees are skipped.
// `seconds` drives the spinner's animation; `animating` tells whether one turns.
std::vector<std::string> composeOverlay(const platform::View& root, MpvTextMetrics& metrics,
                                        double seconds, bool& animating);

// The drawing of the view tree as one osd-overlay.
//
// mpv shows a changed overlay with the next video frame, or, when no frame is coming (paused,
// waiting for data), by redrawing the last one. That redraw is lost when the video output is busy
// presenting a frame at the moment of the change: the frame was drawn with the old overlay, and
// finishing it clears the pending redraw. Pausing makes this likely, since the pause and the
// paused band come in the same turn while the last decoded frame is still being presented. So
// after every change the overlay is sent again a few times, spaced out until the output has long
// finished any frame it was presenting; each send asks for a redraw, which costs one frame of
// drawing while paused and nothing while playing. An empty tree is sent as an empty overlay (not
// removed), so that taking the drawing away is repeated in the same way.
class MpvOverlay {
 public:
  // `onError` hears about the first overlay that mpv refuses (not repeated for every frame).
  MpvOverlay(MpvCore& core, MpvTextMetrics& metrics,
             std::function<void(const std::string&)> onError = {})
      : core_(core), metrics_(metrics), onError_(std::move(onError)) {}
  // `seconds` drives the spinner's animation and the repeated sends. Returns whether the caller
  // should call again soon (a spinner turns, a repeated send is due, or a change is held back).
  // With `keep`, a tree that draws anything else than what is on screen is held back: what was
  // drawn stays until the tree draws it again or `keep` ends.
  bool render(const platform::View& root, double seconds, bool keep = false);
  // Whether the last render held a change back.
  bool holdsBack() const { return holdsBack_; }
  // What is drawn: the events of the last send, one a line (empty for nothing).
  const std::string& drawn() const { return lastData_; }

 private:
  bool send(const std::string& data, int64_t resX, int64_t resY);

  MpvCore& core_;
  MpvTextMetrics& metrics_;
  std::function<void(const std::string&)> onError_;
  bool errorReported_ = false;
  std::string lastData_;
  int64_t lastResX_ = 0;
  int64_t lastResY_ = 0;
  bool shown_ = false;
  bool holdsBack_ = false;
  std::optional<bool> lastPaused_;
  // Repeated sends still to come after the last change, and when the next is due.
  size_t resendsLeft_ = 0;
  double nextResend_ = 0.0;
  // Alternates an empty override block at the end of the data, so that a repeated send differs
  // from the previous one and mpv takes it as a change.
  bool resendMark_ = false;
};

}  // namespace vorn::linuxbackend
