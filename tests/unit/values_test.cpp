#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "log/render.h"
#include "platform/error.h"
#include "platform/geometry.h"
#include "platform/media_time.h"
#include "platform/url.h"

namespace vorn {
namespace {

using platform::MediaTime;
using platform::Url;

TEST(Rendering, NumbersTruthValuesAndAbsence) {
  EXPECT_EQ(log::renderBool(true), "true");
  EXPECT_EQ(log::renderBool(false), "false");
  EXPECT_EQ(log::renderInteger(-3), "-3");
  EXPECT_EQ(log::renderFloat(1.0f), "1.0");
  EXPECT_EQ(log::renderFloat(0.0f), "0.0");
  EXPECT_EQ(log::renderFloat(0.5f), "0.5");
  EXPECT_EQ(log::renderFloat(3600.0f), "3600.0");
  EXPECT_EQ(log::renderFloat(1234567.0f), "1.23457e+06");
  EXPECT_EQ(log::renderDouble(3600.0), "3600.0");
  EXPECT_EQ(log::renderDouble(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(log::renderDouble(1e300), "1e+300");
  EXPECT_EQ(log::renderDouble(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(log::renderOptional(std::optional<float>(1.0f)), "Optional(1.0)");
  EXPECT_EQ(log::renderOptional(std::optional<float>()), "nil");
  EXPECT_EQ(log::renderOptional(std::shared_ptr<platform::Error>()), "nil");
  EXPECT_EQ(log::renderOptional(platform::Error::make("D", 7, "m")),
            "Optional(Error Domain=D Code=7 \"m\")");
  EXPECT_EQ(log::renderOptional(Url::parse("https://h/p.json")), "Optional(https://h/p.json)");
}

TEST(Rendering, TextIsQuotedAndEscapedAsAStringLiteral) {
  EXPECT_EQ(log::renderOptional(std::optional<std::string>("/a/b")), "Optional(\"/a/b\")");
  EXPECT_EQ(log::debugText("say \"hi\"\\\n\r\t"), "\"say \\\"hi\\\"\\\\\\n\\r\\t\"");
  EXPECT_EQ(log::debugText(std::string("\x01", 1)), "\"\\u{1}\"");
  EXPECT_EQ(log::debugText("100%@ %d"), "\"100%@ %d\"");
}

TEST(MediaTimes, WholeSecondsThirdsAndTheirSum) {
  const auto seek = MediaTime::makeWithSeconds(200.0, 1);
  EXPECT_EQ(seek.description(), "MediaTime(value: 200, timescale: 1)");
  const auto boundary = MediaTime::make(1, 3) + seek;
  EXPECT_EQ(boundary.description(), "MediaTime(value: 601, timescale: 3)");
  EXPECT_DOUBLE_EQ(boundary.seconds(), 200.0 + 1.0 / 3.0);
  EXPECT_EQ(MediaTime::makeWithSeconds(0.4, 1).value(), 0);
  EXPECT_EQ(MediaTime::makeWithSeconds(0.5, 1).value(), 1);
  EXPECT_EQ(MediaTime::makeWithSeconds(-2.5, 1).value(), -3);
  EXPECT_EQ(MediaTime::make(2, 4), MediaTime::make(1, 2));
  EXPECT_EQ(MediaTime::make(1, 2) + MediaTime::make(1, 3), MediaTime::make(5, 6));
}

TEST(MediaTimes, UnrepresentableSecondsSaturateInsteadOfOverflowing) {
  EXPECT_EQ(MediaTime::makeWithSeconds(1e300, 1).kind(), MediaTime::Kind::positiveInfinity);
  EXPECT_EQ(MediaTime::makeWithSeconds(-1e300, 1).kind(), MediaTime::Kind::negativeInfinity);
  EXPECT_EQ(MediaTime::makeWithSeconds(std::nan(""), 1).kind(), MediaTime::Kind::invalid);
  EXPECT_EQ((MediaTime::make(1, 3) + MediaTime::makeWithSeconds(1e300, 1)).kind(),
            MediaTime::Kind::positiveInfinity);
  const auto big = MediaTime::make(std::numeric_limits<int64_t>::max() - 1, 1);
  const auto sum = big + MediaTime::make(1, 3);
  EXPECT_NE(sum.kind(), MediaTime::Kind::invalid);
  EXPECT_GT(sum.seconds(), 9e18);
}

TEST(Urls, ParseAcceptsAbsoluteAddressesOnly) {
  EXPECT_TRUE(Url::parse("https://example.invalid/a/vorn-vimeo-playlist.json"));
  EXPECT_TRUE(Url::parse("file:///tmp/x.json"));
  EXPECT_TRUE(Url::parse("rtsp://camera.invalid/stream"));
  EXPECT_FALSE(Url::parse(""));
  EXPECT_FALSE(Url::parse("not a url"));
  EXPECT_FALSE(Url::parse("relative/path.m3u8"));
  EXPECT_FALSE(Url::parse("http://"));
  EXPECT_FALSE(Url::parse(std::string_view("https://a/\0b", 12)));
  const auto text = Url::parse("https://h/p?q=1");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->text(), "https://h/p?q=1");
}

TEST(Urls, FileUrlsRoundTripTheirPath) {
  const auto url = Url::fileUrlWithPath("/opt/vorn share/vorn-vimeo-playlist.json");
  EXPECT_EQ(url.text(), "file:///opt/vorn%20share/vorn-vimeo-playlist.json");
  EXPECT_TRUE(url.isFileUrl());
  EXPECT_EQ(url.filePath(), "/opt/vorn share/vorn-vimeo-playlist.json");
  EXPECT_TRUE(Url::parse(url.text()));
}

TEST(Geometry, RectDescription) {
  EXPECT_EQ((platform::Rect{0, 1006, 1920, 74.5}).description(), "(0.0, 1006.0, 1920.0, 74.5)");
}

}  // namespace
}  // namespace vorn
