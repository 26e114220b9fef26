#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/geometry.h"

namespace vorn::platform {
class ViewController;
}

// What `vorn simulate` prints: each log record as it is written, and with --trace what the viewer
// sees and what the platform does, every line led by the virtual time of day.
namespace vorn::app::simulate {

// "HH:MM:SS.mmm" of a time in seconds since 1970.
std::string timeOfDay(double time);

class TracePrinter {
 public:
  TracePrinter(std::ostream& out, bool trace) : out_(out), trace_(trace) {}

  void record(double time, std::string_view text);
  // A line of the platform's own trace.
  void platformEvent(double time, const std::string& line);
  // Compares what the root controller shows with what was last printed.
  void viewTreeMaybeChanged(double time, const std::shared_ptr<platform::ViewController>& root);

 private:
  // What a viewer sees of the controller's views.
  struct Screen {
    bool bandShown = false;
    platform::Rect bandFrame;
    std::string bandText;
    bool indicatorAnimating = false;
    bool slateShown = false;
    std::string slateText;
  };
  static Screen screenOf(const std::shared_ptr<platform::ViewController>& root);
  void traceLine(double time, std::string_view line);

  std::ostream& out_;
  bool trace_;
  Screen shown_;
};

}  // namespace vorn::app::simulate
