#include "playlist/playlist_source.h"

#include "allocation_count.h"
#include "channel_fixture.h"
#include "playlist/playlist_refresh.h"
#include "programme/cycle.h"
#include "programme/document.h"

namespace vorn::platform {
// Addresses in failure messages, as text.
void PrintTo(const Url& url, std::ostream* out) {
  *out << url.text();
}
}  // namespace vorn::platform

namespace vorn::testing {
namespace {

using playlist::Origin;
using playlist::Refusal;

constexpr Origin kOrigins[] = {Origin::fetch, Origin::refresh, Origin::saved};

class PlaylistSourceAccept : public ChannelTest {
 protected:
  std::shared_ptr<VornViewController> controller_ = makeController();
  playlist::PlaylistSource source_{*controller_};

  playlist::Verdict accept(std::string_view bytes, Origin origin,
                           const std::optional<platform::Url>& answered = std::nullopt) {
    return source_.accept(bytes, answered, origin);
  }
  static const playlist::Refused* refusedOf(const playlist::Verdict& verdict) {
    return std::get_if<playlist::Refused>(&verdict);
  }
  static const playlist::Accepted* acceptedOf(const playlist::Verdict& verdict) {
    return std::get_if<playlist::Accepted>(&verdict);
  }
};

TEST_F(PlaylistSourceAccept, each_refusal_has_its_reason_and_the_words_the_log_prints) {
  std::string overCap = "[";
  for (size_t i = 0; i <= programme::kMaxCycleItems / 5; ++i) {
    overCap += std::string(i ? "," : "") +
               R"({"hls_url": "https://streams.invalid/x", "duration": 1, "play_count": 5})";
  }
  overCap += "]";
  const std::string cap = std::to_string(programme::kMaxCycleItems);
  struct Case {
    std::string bytes;
    Refusal reason;
    std::string words;    // in full, or the start of the parser's error
    std::string summary;  // likewise
  };
  const std::vector<Case> cases = {
      {"", Refusal::notJson, "Error Domain=VornJSONErrorDomain Code=1 ",
       "not a playlist: [json.exception.parse_error"},
      {"42", Refusal::notJson, "Error Domain=VornJSONErrorDomain Code=2 \"JSON text did not start",
       "not a playlist: JSON text did not start"},
      {"<html>500</html>", Refusal::notJson, "Error Domain=VornJSONErrorDomain Code=1 ",
       "not a playlist: "},
      {overCap, Refusal::tooManyItems,
       "Error Domain=VornJSONErrorDomain Code=4 \"The playlist's cycle would hold more than " +
           cap + " items.\"",
       "not a playlist: The playlist's cycle would hold more than " + cap + " items."},
      {R"({"playlist": []})", Refusal::notAnArray, "the top level is not an array",
       "the top level is not an array"},
  };
  for (const Origin origin : kOrigins) {
    for (const auto& c : cases) {
      const auto verdict = accept(c.bytes, origin, platform::Url::parse(kRemote));
      const auto* refused = refusedOf(verdict);
      ASSERT_TRUE(refused) << c.bytes.substr(0, 40);
      EXPECT_EQ(refused->reason, c.reason) << c.bytes.substr(0, 40);
      EXPECT_EQ(refused->byParser(), c.reason != Refusal::notAnArray);
      EXPECT_EQ(refused->words().rfind(c.words, 0), 0u) << refused->words();
      EXPECT_EQ(refused->summary().rfind(c.summary, 0), 0u) << refused->summary();
    }
  }

  // Nothing to play: refused by the refresh and the saved copy whatever plays now, with no error.
  for (const Origin origin : {Origin::refresh, Origin::saved}) {
    const auto verdict = accept("[]", origin);
    const auto* refused = refusedOf(verdict);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->reason, Refusal::nothingPlayable);
    EXPECT_FALSE(refused->byParser());
    EXPECT_EQ(refused->words(), "playlist has no playable entries");
    EXPECT_EQ(refused->summary(), "playlist has no playable entries");
  }
}

TEST_F(PlaylistSourceAccept, a_fetch_takes_a_document_with_nothing_to_play_unless_one_plays) {
  const std::string nothing = R"([{"hls_url": "x y", "duration": 5}, 7, {"duration": 3}])";
  // First: taken, and known not to play.
  auto first = accept(nothing, Origin::fetch, platform::Url::parse(kRemote));
  ASSERT_TRUE(acceptedOf(first));
  EXPECT_FALSE(acceptedOf(first)->playable);
  source_.note(*acceptedOf(first));
  controller_->setPlaylist(acceptedOf(first)->document);
  EXPECT_FALSE(source_.playable(controller_->playlist()));
  // One that has nothing either may replace it.
  EXPECT_TRUE(acceptedOf(accept("[]", Origin::fetch)));

  // Once something plays, as noted or as counted for a playlist set directly, it is kept.
  const auto plays = accept(workedExamplePlaylist(), Origin::fetch, platform::Url::parse(kRemote));
  ASSERT_TRUE(acceptedOf(plays));
  EXPECT_TRUE(acceptedOf(plays)->playable);
  for (const bool noted : {true, false}) {
    if (noted) {
      source_.note(*acceptedOf(plays));
    } else {
      source_.forget();
    }
    controller_->setPlaylist(acceptedOf(plays)->document);
    EXPECT_TRUE(source_.playable(controller_->playlist()));
    const auto verdict = accept(nothing, Origin::fetch);
    ASSERT_TRUE(refusedOf(verdict)) << noted;
    EXPECT_EQ(refusedOf(verdict)->reason, Refusal::nothingPlayable);
  }
}

TEST_F(PlaylistSourceAccept, relative_addresses_resolve_against_the_address_each_origin_trusts) {
  // Only a base makes this entry usable.
  const std::string relative = R"([{"hls_url": "a/index.m3u8", "duration": 5}])";
  const auto mirror = platform::Url::parse("https://mirror.invalid/lists/p.json");
  const auto remote = platform::Url::parse(kRemote);
  ASSERT_EQ(controller_->playlistNSURL(), remote);

  // The address that answered, for a fetch and a refresh; the saved copy was saved from the remote
  // address, whatever is said to have answered.
  for (const Origin origin : kOrigins) {
    const auto verdict = accept(relative, origin, mirror);
    ASSERT_TRUE(acceptedOf(verdict));
    EXPECT_EQ(acceptedOf(verdict)->base, origin == Origin::saved ? remote : mirror);
    EXPECT_TRUE(acceptedOf(verdict)->playable);
  }
  // With none: the address the fetch asked, and the remote one for the others.
  controller_->setPlaylistNSURL(mirror);
  for (const Origin origin : kOrigins) {
    const auto verdict = accept(relative, origin);
    ASSERT_TRUE(acceptedOf(verdict));
    EXPECT_EQ(acceptedOf(verdict)->base, origin == Origin::fetch ? mirror : remote);
  }
  // The base decides what plays: with no address at all nothing does.
  controller_->setPlaylistNSURL(std::nullopt);
  const auto verdict = accept(relative, Origin::fetch);
  ASSERT_TRUE(acceptedOf(verdict));
  EXPECT_FALSE(acceptedOf(verdict)->base);
  EXPECT_FALSE(acceptedOf(verdict)->playable);

  // The last two noted are remembered, with their bases.
  source_.note(*acceptedOf(verdict));
  const auto second = accept(relative, Origin::refresh, mirror);
  source_.note(*acceptedOf(second));
  EXPECT_EQ(source_.addressOf(acceptedOf(second)->document), mirror);
  EXPECT_EQ(source_.addressOf(acceptedOf(verdict)->document), std::nullopt);
  EXPECT_FALSE(source_.playable(acceptedOf(verdict)->document));
  source_.note(*acceptedOf(accept(relative, Origin::saved)));
  EXPECT_EQ(source_.addressOf(acceptedOf(second)->document), mirror);
}

// 16 MiB of small values: refused as too large by every path before anything is built. Built,
// their document alone would take hundreds of megabytes.
TEST_F(PlaylistSourceAccept, a_huge_body_of_small_values_is_refused_without_being_built) {
  std::string body = "[0";
  body.reserve(16u << 20);
  while (body.size() + 3 < (16u << 20)) {
    body += ",0";
  }
  body += "]";
  for (const Origin origin : kOrigins) {
    const auto address = platform::Url::parse(kRemote);
    std::optional<AllocationCount> allocated(std::in_place);
    const auto verdict = accept(body, origin, address);
    const size_t bytes = allocated->bytes();
    allocated.reset();
    const auto* refused = refusedOf(verdict);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->reason, Refusal::tooLarge);
    EXPECT_NE(refused->words().find("values"), std::string::npos) << refused->words();
    EXPECT_LT(bytes, size_t{1} << 20) << static_cast<int>(origin);
  }

  // Nor does any door of the controller build it first: the first fetch's and the refresh's
  // completions, and the saved copy read back when the first fetch's course has failed (its read
  // copies the bytes).
  const auto counted = [](auto call) {
    AllocationCount allocated;
    call();
    return allocated.bytes();
  };
  const size_t before = mark();
  world_.state().put(playlist::kSavedPlaylistName, body);
  world_.network().serve(
      kRemote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1009, "offline")});
  for (auto handler : {&VornViewController::refreshPlaylistCompletionHandler,
                       &VornViewController::updatePlaylistCompletionHandler}) {
    std::optional<platform::Bytes> data = body;
    const auto response = responseFrom();
    EXPECT_LT(counted([&] { ((*controller_).*handler)(std::move(data), response, nullptr); }),
              size_t{1} << 20);
  }
  EXPECT_EQ(countSince(before, "Error parsing JSON: Error Domain=VornJSONErrorDomain Code=5 "), 2u);
  // The course goes on: two more failures 2.0 s apart, then the saved copy.
  EXPECT_LT(counted([&] { world_.scheduler().advance(5.0); }), 4 * body.size());
  EXPECT_EQ(countSince(before, "Ignoring saved playlist"), 1u);
  EXPECT_EQ(countSince(before, "Error Domain=VornJSONErrorDomain Code=5 "), 3u);
}

}  // namespace
}  // namespace vorn::testing
