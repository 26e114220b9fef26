#include <gtest/gtest.h>

#include <limits>

#include "platform/sim/sim_text_metrics.h"
#include "platform/sim/world.h"

namespace vorn::sim {
namespace {

using platform::Size;

class TextMetrics : public ::testing::Test {
 protected:
  Size fit(const std::string& text, double width, double maxHeight = 10000.0) {
    return metrics.fit(text, metrics.preferredFont(platform::FontTextStyle::body), width,
                       maxHeight);
  }
  SimTextMetrics metrics;
};

TEST_F(TextMetrics, measures_characters_wraps_greedily_bounds_to_whole_lines_and_sizes_labels) {
  EXPECT_EQ(fit("", 300.0), (Size{0.0, 0.0}));
  EXPECT_EQ(fit("Paused", 300.0), (Size{60.0, 20.0}));
  // A multi-byte character is one character.
  EXPECT_EQ(fit("Café – ok", 300.0), (Size{90.0, 20.0}));
  EXPECT_EQ(metrics.preferredFont(platform::FontTextStyle::body),
            (platform::Font{platform::FontTextStyle::body, 17.0}));
  // Line feeds make paragraphs, but a final one adds no line.
  EXPECT_EQ(fit("a\n", 300.0), (Size{10.0, 20.0}));
  EXPECT_EQ(fit("a\n\nb", 300.0), (Size{10.0, 60.0}));
  EXPECT_EQ(fit("Solvane TV - Paused\nNow playing:\nA film", 300.0), (Size{190.0, 60.0}));
  EXPECT_EQ(fit("\n", 300.0), (Size{0.0, 20.0}));

  // Width 100: 10 characters a line.
  EXPECT_EQ(fit("aaaa bbbb cc", 100.0), (Size{90.0, 40.0}));                // "aaaa bbbb" + "cc"
  EXPECT_EQ(fit("aaaa bbbbb", 100.0), (Size{100.0, 20.0}));                 // exactly fits
  EXPECT_EQ(fit("aaaa bbbbbb", 100.0), (Size{60.0, 40.0}));                 // "aaaa" + "bbbbbb"
  EXPECT_EQ(fit("abcdefghijklmnopqrstuvwxy", 100.0), (Size{100.0, 60.0}));  // 10 + 10 + 5
  EXPECT_EQ(fit("ab abcdefghijklmno", 100.0), (Size{100.0, 60.0}));         // "ab" + 10 + 5
  // The height is bounded to whole lines.
  const std::string text = "one\ntwo\nthree\nfour";
  EXPECT_EQ(fit(text, 300.0), (Size{50.0, 80.0}));
  EXPECT_EQ(fit(text, 300.0, 70.0), (Size{50.0, 60.0}));
  EXPECT_EQ(fit(text, 300.0, 80.0), (Size{50.0, 80.0}));
  EXPECT_EQ(fit(text, 300.0, 10.0), (Size{50.0, 0.0}));
  // A narrow width still makes progress.
  EXPECT_EQ(fit("abc", 5.0), (Size{10.0, 60.0}));
  // Any width or height fits without overflow; a width that is not a number is the narrowest.
  for (const double huge : {1e308, std::numeric_limits<double>::infinity(), 1e20}) {
    EXPECT_EQ(fit("hello wide world", huge, huge), (Size{160.0, 20.0})) << huge;
  }
  EXPECT_EQ(fit("ab", std::numeric_limits<double>::quiet_NaN(), 1000.0).height, 40.0);

  // A label fits with the same metric and keeps its origin: "A long description" / "here".
  World world;
  auto label = world.views().makeLabel({90.0, 60.0, 200.0, 1000.0});
  label->setNumberOfLines(0);
  label->setText("Solvane TV - Paused\nNow playing:\nA long description here");
  label->sizeToFit();
  EXPECT_EQ(label->frame(), (platform::Rect{90.0, 60.0, 190.0, 80.0}));
}

}  // namespace
}  // namespace vorn::sim
