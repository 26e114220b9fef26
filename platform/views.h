#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/layers.h"

namespace vorn::platform {

class GestureRecognizer;

// A node of the view tree the logic builds; backends draw it. Later subviews are drawn above
// earlier ones, and a view's subviews above its layer's sublayers. Main thread.
class View : public std::enable_shared_from_this<View> {
 public:
  explicit View(const Rect& frame);
  virtual ~View() = default;

  void setFrame(const Rect& frame) { frame_ = frame; }
  const Rect& frame() const { return frame_; }
  void setBackgroundColor(const Color& color) { backgroundColor_ = color; }
  const Color& backgroundColor() const { return backgroundColor_; }
  void setHidden(bool hidden) { hidden_ = hidden; }
  bool isHidden() const { return hidden_; }
  const std::shared_ptr<Layer>& layer() const { return layer_; }

  void addSubview(const std::shared_ptr<View>& view);
  // Adds `view` just below `sibling`, or on top when `sibling` is not a subview.
  void insertSubviewBelow(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling);
  void removeFromSuperview();
  std::shared_ptr<View> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }

  void addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const {
    return gestureRecognizers_;
  }

 private:
  Rect frame_;
  Color backgroundColor_ = Color::clear();
  bool hidden_ = false;
  std::shared_ptr<Layer> layer_;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::vector<std::shared_ptr<GestureRecognizer>> gestureRecognizers_;
};

// How a label measures wrapped text: the backend's font machinery, or the simulation's fixed
// metric.
class TextMetrics {
 public:
  virtual ~TextMetrics() = default;
  // The size `text` needs in `font` when wrapped at word boundaries within `width`; the height is
  // at most `maxHeight`.
  virtual Size fit(const std::string& text, const Font& font, double width, double maxHeight) = 0;
  virtual Font preferredFont(FontTextStyle style) = 0;
};

enum class LineBreakMode { byWordWrapping = 0 };
enum class ContentMode { scaleToFill = 0, bottom = 6 };

class Label : public View {
 public:
  Label(const Rect& frame, std::shared_ptr<TextMetrics> metrics);
  void setText(std::string text) { text_ = std::move(text); }
  const std::string& text() const { return text_; }
  void setTextColor(const Color& color) { textColor_ = color; }
  const Color& textColor() const { return textColor_; }
  void setFont(const Font& font) { font_ = font; }
  const Font& font() const { return font_; }
  void setLineBreakMode(LineBreakMode mode) { lineBreakMode_ = mode; }
  LineBreakMode lineBreakMode() const { return lineBreakMode_; }
  // 0: any number of lines.
  void setNumberOfLines(int lines) { numberOfLines_ = lines; }
  int numberOfLines() const { return numberOfLines_; }
  void setContentMode(ContentMode mode) { contentMode_ = mode; }
  ContentMode contentMode() const { return contentMode_; }
  // Resizes the label to the size its text needs within its current width, its height bounded by
  // its current height. The origin stays.
  void sizeToFit();

 private:
  std::shared_ptr<TextMetrics> metrics_;
  std::string text_;
  Color textColor_ = Color::black();
  Font font_;
  LineBreakMode lineBreakMode_ = LineBreakMode::byWordWrapping;
  int numberOfLines_ = 1;
  ContentMode contentMode_ = ContentMode::scaleToFill;
};

// A spinner drawn at the centre of its frame; hidden while stopped when hidesWhenStopped.
class ActivityIndicatorView : public View {
 public:
  using View::View;
  void setHidesWhenStopped(bool hides) { hidesWhenStopped_ = hides; }
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void startAnimating() { animating_ = true; }
  void stopAnimating() { animating_ = false; }
  bool isAnimating() const { return animating_; }
  // Whether the spinner shows: not hidden, and animating unless it shows when stopped.
  bool isSpinnerVisible() const { return !isHidden() && (animating_ || !hidesWhenStopped_); }

 private:
  bool hidesWhenStopped_ = true;
  bool animating_ = false;
};

// Makes the views the logic uses, with the backend's text metrics.
class ViewFactory {
 public:
  explicit ViewFactory(std::shared_ptr<TextMetrics> metrics) : metrics_(std::move(metrics)) {}
  std::shared_ptr<View> makeView(const Rect& frame) const { return std::make_shared<View>(frame); }
  std::shared_ptr<Label> makeLabel(const Rect& frame) const {
    return std::make_shared<Label>(frame, metrics_);
  }
  std::shared_ptr<ActivityIndicatorView> makeActivityIndicator(const Rect& frame) const {
    return std::make_shared<ActivityIndicatorView>(frame);
  }
  Font preferredFont(FontTextStyle style) const { return metrics_->preferredFont(style); }

 private:
  std::shared_ptr<TextMetrics> metrics_;
};

}  // namespace vorn::platform
