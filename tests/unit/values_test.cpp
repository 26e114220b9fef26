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

TEST(Rendering, numbers_truth_values_and_absence_render_as_the_log_shows_them) {
  EXPECT_EQ(log::renderInteger(-3), "-3");
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
}

TEST(Rendering, text_is_quoted_and_escaped_as_a_string_literal) {
  EXPECT_EQ(log::renderOptional(std::optional<std::string>("/a/b")), "Optional(\"/a/b\")");
  EXPECT_EQ(log::debugText("say \"hi\"\\\n\r\t"), "\"say \\\"hi\\\"\\\\\\n\\r\\t\"");
  EXPECT_EQ(log::debugText(std::string("\x01", 1)), "\"\\u{1}\"");
  EXPECT_EQ(log::debugText("100%@ %d"), "\"100%@ %d\"");
}

TEST(MediaTimes, whole_seconds_and_thirds_add_up_exactly) {
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

TEST(MediaTimes, unrepresentable_seconds_saturate_instead_of_overflowing) {
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

// parse() takes ordinary web addresses without asking curl: it must never take one curl refuses.
// The loop below puts every byte in every place of an address; the list holds the shapes it
// cannot reach.
TEST(Urls, parse_takes_absolute_addresses_only_agreeing_with_curl_on_every_one) {
  const std::string_view ordinary[] = {
      "https://streams.vorn.invalid/programme/12/index.m3u8",
      "http://a/b",
      "https://cdn-1.example.invalid",
      "https://h.example.invalid?x=1&y=2",
      "https://h.example.invalid#part",
      "https://h.example.invalid/a/../b/./c.m3u8?token=a%2Fb~c_d-e.f!$&'()*+,;=:@/?#frag",
      "https://player.vorn.invalid/external/123456.m3u8?s=0a1b2c3d4e5f6a7b8c9d0e1f2a3b4c5d",
      "rtsp://camera.invalid/stream",
      "file:///tmp/x.json",
  };
  const std::string_view others[] = {
      "http://",
      "https://1.2.3.4/x",
      "https://999.1.1.1/x",
      "https://0x7f.1/x",
      "https://1a/x",
      "https://a_b.example/x",
      "https://h:443/x",
      "https://h:99999/x",
      "https://h:x/x",
      "https://user:pass@h/x",
      "https://[::1]/x",
      "https://[::1/x",
      "https://h/caf\xc3\xa9",
      "https://h\xc3\xa9.example/x",
      "https://h%41/x",
      "HTTPS://h/x",
      "Https://h/x",
      "ftp://h/x",
      "https:h/x",
      "https:/h/x",
      "//h/x",
      "h/x",
      "not a url",
      "https://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.b/x",
  };
  for (const auto text : ordinary) {
    EXPECT_TRUE(Url::parseWithCurl(text)) << text;
    ASSERT_TRUE(Url::parse(text)) << text;
    EXPECT_EQ(Url::parse(text)->text(), text);
  }
  EXPECT_FALSE(Url::parse(std::string_view("https://a/\0b", 12)));
  for (const auto text : others) {
    EXPECT_EQ(Url::parse(text).has_value(), Url::parseWithCurl(text).has_value()) << text;
  }

  // Every byte in every place of an ordinary address, and the address cut short at every place.
  const std::string base = "https://h-1.example.invalid/p/i.m3u8?q=1#f";
  size_t disagreements = 0;
  for (size_t at = 0; at <= base.size(); ++at) {
    const std::string cut = base.substr(0, at);
    EXPECT_EQ(Url::parse(cut).has_value(), Url::parseWithCurl(cut).has_value()) << cut;
    for (int byte = 1; byte < 256; ++byte) {
      std::string text = base;
      text.insert(at, 1, static_cast<char>(byte));
      if (Url::parse(text).has_value() != Url::parseWithCurl(text).has_value() &&
          ++disagreements <= 10) {
        ADD_FAILURE() << "byte " << byte << " at " << at << ": " << text;
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
}

TEST(Urls, file_urls_round_trip_their_path) {
  const auto url = Url::fileUrlWithPath("/opt/vorn share/vorn-vimeo-playlist.json");
  EXPECT_EQ(url.text(), "file:///opt/vorn%20share/vorn-vimeo-playlist.json");
  EXPECT_TRUE(url.isFileUrl());
  EXPECT_EQ(url.filePath(), "/opt/vorn share/vorn-vimeo-playlist.json");
  EXPECT_TRUE(Url::parse(url.text()));
}

}  // namespace
}  // namespace vorn
