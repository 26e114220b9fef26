#include "simulate/simulate_trace.h"

#include <cmath>
#include <cstdio>

#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "simulate/simulate_options.h"

namespace vorn::app::simulate {

std::string timeOfDay(double time) {
  const long long ms = std::llround(time * 1000.0);
  long long ofDay = ms % 86'400'000LL;
  if (ofDay < 0) {
    ofDay += 86'400'000LL;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld.%03lld", ofDay / 3'600'000,
                ofDay / 60'000 % 60, ofDay / 1000 % 60, ofDay % 1000);
  return buffer;
}

void TracePrinter::record(double time, std::string_view text) {
  out_ << timeOfDay(time) << ' ' << text << '\n';
}

void TracePrinter::platformEvent(double time, const std::string& line) {
  if (!trace_) {
    return;
  }
  // Timers name their fire time in seconds since 1970; read as a time of day like the rest.
  constexpr std::string_view kFiresAt = " fires at ";
  if (const auto at = line.find(kFiresAt);
      line.starts_with("timer scheduled: ") && at != std::string::npos) {
    if (auto fireTime = parseNumber(std::string_view(line).substr(at + kFiresAt.size()))) {
      traceLine(time, line.substr(0, at + kFiresAt.size()) + timeOfDay(*fireTime));
      return;
    }
  }
  traceLine(time, line);
}

TracePrinter::Screen TracePrinter::screenOf(const std::shared_ptr<platform::ViewController>& root) {
  Screen screen;
  auto* controller = dynamic_cast<VornViewController*>(root.get());
  if (controller == nullptr) {
    return screen;
  }
  if (auto band = controller->infoLabelView()) {
    screen.bandShown = !band->isHidden();
    screen.bandFrame = band->frame();
  }
  if (auto label = controller->infoLabel()) {
    screen.bandText = label->text();
  }
  if (auto indicator = controller->activityIndicatorView()) {
    screen.indicatorAnimating = indicator->isAnimating();
  }
  if (auto slate = controller->slateView()) {
    screen.slateShown = !slate->isHidden() && slate->superview() != nullptr;
  }
  if (auto label = controller->slateLabel(); label && screen.slateShown) {
    screen.slateText = label->text();
  }
  return screen;
}

void TracePrinter::viewTreeMaybeChanged(double time,
                                        const std::shared_ptr<platform::ViewController>& root) {
  if (!trace_) {
    return;
  }
  const Screen now = screenOf(root);
  const bool bandDescribed =
      now.bandShown &&
      (!shown_.bandShown || now.bandFrame != shown_.bandFrame || now.bandText != shown_.bandText);
  if (bandDescribed) {
    traceLine(time, std::string(shown_.bandShown ? "band changed: " : "band shown: ") +
                        log::debugText(now.bandText) + " frame " + now.bandFrame.description());
  } else if (!now.bandShown && shown_.bandShown) {
    traceLine(time, "band hidden");
  }
  if (now.slateShown && (!shown_.slateShown || now.slateText != shown_.slateText)) {
    traceLine(time, "slate shown: " + log::debugText(now.slateText));
  } else if (!now.slateShown && shown_.slateShown) {
    traceLine(time, "slate hidden");
  }
  if (now.indicatorAnimating != shown_.indicatorAnimating) {
    traceLine(time, now.indicatorAnimating ? "indicator started" : "indicator stopped");
  }
  shown_ = now;
}

void TracePrinter::traceLine(double time, std::string_view line) {
  out_ << timeOfDay(time) << " TRACE: " << line << '\n';
}

}  // namespace vorn::app::simulate
