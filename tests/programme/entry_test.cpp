#include "programme/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programme/cycle.h"
#include "programme/document.h"

namespace vorn::programme {
namespace {

// A document of one array, as the playlist parser gives it.
JsonPtr parse(const std::string& text) {
  return std::get<JsonPtr>(parseDocument(text));
}

const platform::Url kBase = *platform::Url::parse("https://x.invalid/list/playlist.json");

TEST(EntryRules, every_skip_has_its_reason_and_the_words_the_operator_reads) {
  struct Case {
    const char* element;
    EntrySkip skip;
    const char* words;
  };
  const std::vector<Case> cases{
      {R"("just a text")", EntrySkip::notAnObject, "not an object (a text)"},
      {R"([1])", EntrySkip::notAnObject, "not an object (an array)"},
      {R"({"duration": 10})", EntrySkip::missingAddress, "missing hls_url"},
      {R"({"hls_url": 42, "duration": 10})", EntrySkip::addressNotText,
       "hls_url is not text (a number)"},
      {R"({"hls_url": null, "duration": 10})", EntrySkip::addressNotText,
       "hls_url is not text (null)"},
      {R"({"hls_url": "not an address", "duration": 10})", EntrySkip::addressUnparsable,
       "hls_url \"not an address\" does not parse as an address"},
      // Relative, so judged by the rest of the entry against the playlist's own address.
      {R"({"hls_url": "b/index.m3u8"})", EntrySkip::missingDuration, "missing duration"},
      {R"({"hls_url": "https://x.invalid/f.m3u8", "duration": "10"})",
       EntrySkip::durationNotANumber, "duration is not a number (a text)"},
      {R"({"hls_url": "https://x.invalid/f.m3u8", "duration": {}})", EntrySkip::durationNotANumber,
       "duration is not a number (an object)"},
      {R"({"hls_url": "https://x.invalid/g.m3u8", "duration": 10, "play_count": 0})",
       EntrySkip::queuesNothing, "play_count 0 queues nothing"},
      {R"({"hls_url": "https://x.invalid/g.m3u8", "duration": 10, "play_count": 0.9})",
       EntrySkip::queuesNothing, "play_count 0 queues nothing"},
      {R"({"hls_url": "https://x.invalid/g.m3u8", "duration": 10, "play_count": false})",
       EntrySkip::queuesNothing, "play_count 0 queues nothing"},
      {R"({"hls_url": "https://x.invalid/h.m3u8", "duration": 10, "play_count": -3})",
       EntrySkip::negativePlayCount, "play_count -3 is negative: queues nothing"},
      {R"({"hls_url": "https://x.invalid/h.m3u8", "duration": 10, "play_count": -0.5})",
       EntrySkip::negativePlayCount, "play_count 0 is negative: queues nothing"},
  };
  for (const Case& c : cases) {
    const auto document = parse(std::string("[") + c.element + "]");
    const auto reading = readEntry((*document)[0], &kBase);
    ASSERT_FALSE(reading) << c.element;
    EXPECT_EQ(reading.skip(), c.skip) << c.element;
    EXPECT_EQ(reading.words(), c.words) << c.element;
    EXPECT_TRUE(reading.notes().empty()) << c.element;
  }
  // Without the playlist's address a relative one does not parse.
  const auto relative = parse(R"([{"hls_url": "b/index.m3u8", "duration": 5}])");
  EXPECT_EQ(readEntry((*relative)[0]).skip(), EntrySkip::addressUnparsable);
  EXPECT_EQ(readEntry((*relative)[0], &kBase)->url.text(), "https://x.invalid/list/b/index.m3u8");

  // An entry skipped for its play count alone still shows its address and listed length.
  const auto none = parse(R"([{"hls_url": "c.m3u8", "duration": 7, "play_count": 0}])");
  const auto reading = readEntry((*none)[0], &kBase);
  ASSERT_NE(reading.listed(), nullptr);
  EXPECT_EQ(reading.listed()->url.text(), "https://x.invalid/list/c.m3u8");
  EXPECT_EQ(reading.listed()->plays, 0);
  EXPECT_EQ(reading.address(), "c.m3u8");
}

TEST(EntryRules, play_count_is_the_whole_listed_count_up_to_five_and_one_otherwise) {
  const auto count = [](const std::string& text) {
    const auto document = parse("[" + text + "]");
    return playCount(&(*document)[0]);
  };
  EXPECT_EQ(playCount(nullptr), 1);
  EXPECT_EQ(count("\"3\""), 1);
  EXPECT_EQ(count("-1"), 0);
  EXPECT_EQ(count("0"), 0);
  EXPECT_EQ(count("5"), 5);
  EXPECT_EQ(count("6"), 1);
  EXPECT_EQ(count("2.9"), 2);
  EXPECT_EQ(count("-0.5"), 0);
  EXPECT_EQ(count("true"), 1);
  EXPECT_EQ(count("false"), 0);
  // Far outside any integer range: no undefined conversion, the ordinary rule.
  EXPECT_EQ(count("1e300"), 1);
  EXPECT_EQ(count("-1e300"), 0);
  EXPECT_EQ(count("18446744073709551615"), 1);
  EXPECT_EQ(count("-9223372036854775808"), 0);
}

TEST(EntryRules, a_usable_entry_notes_what_is_not_taken_as_written) {
  const auto document = parse(R"([
    {"hls_url": "https://x.invalid/a", "duration": 600, "play_count": 2},
    {"hls_url": "https://x.invalid/b", "duration": 100, "play_count": 9},
    {"hls_url": "https://x.invalid/c", "duration": 100, "play_count": "3"},
    {"hls_url": "https://x.invalid/d", "duration": 0, "play_count": null},
    {"hls_url": "https://x.invalid/e", "duration": -2.5, "play_count": 5.5},
    {"hls_url": "https://x.invalid/f", "duration": true, "play_count": 1e20}
  ])");
  const std::vector<std::pair<int64_t, std::vector<std::string>>> expected{
      {2, {}},
      {1, {"play_count 9 is above 5: queued once"}},
      {1, {"play_count is not a number (a text): queued once"}},
      {1,
       {"play_count is not a number (null): queued once",
        "a listed duration of 0 s takes no time on the clock"}},
      // 5.5 is taken as 5 plays, as written (towards zero): nothing to note about the count.
      {5, {"a listed duration of -2.5 s takes no time on the clock"}},
      {1, {"play_count 100000000000000000000.0 is above 5: queued once"}},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto reading = readEntry((*document)[i]);
    ASSERT_TRUE(reading) << i;
    EXPECT_EQ(reading->plays, expected[i].first) << i;
    EXPECT_EQ(reading.notes(), expected[i].second) << i;
    EXPECT_EQ(reading.words(), "") << i;
  }
  EXPECT_EQ(readEntry((*document)[5])->duration, 1.0);
}

TEST(EntryRules, the_cycle_is_every_play_of_every_usable_entry_in_order) {
  const auto document = parse(R"([
    {"hls_url": "a.m3u8", "duration": 10, "play_count": 2},
    {"hls_url": "https://x.invalid/skipped", "duration": "10"},
    {"hls_url": "https://x.invalid/none", "duration": 30, "play_count": 0},
    7,
    {"hls_url": "https://x.invalid/c", "duration": 20}
  ])");
  const Cycle cycle = buildCycle(*document, &kBase);
  ASSERT_EQ(cycle.entries.size(), 2u);
  EXPECT_EQ(cycle.entries[0].index, 0u);
  EXPECT_EQ(cycle.entries[0].element, &(*document)[0]);
  EXPECT_EQ(cycle.entries[0].entry.url.text(), "https://x.invalid/list/a.m3u8");
  EXPECT_EQ(cycle.entries[1].index, 4u);
  ASSERT_EQ(cycle.items.size(), 3u);
  EXPECT_EQ(cycle.items[0].play, 1u);
  EXPECT_EQ(cycle.items[1].play, 2u);
  EXPECT_EQ(cycle.entryOf(cycle.items[1]).index, 0u);
  EXPECT_EQ(cycle.entryOf(cycle.items[2]).index, 4u);
  EXPECT_EQ(cycle.durations, (std::vector<double>{10, 10, 20}));
  // The count agrees with the cycle, and stops one past where it is told to.
  EXPECT_EQ(countCycleItems(*document, &kBase), 3u);
  EXPECT_EQ(countCycleItems(*document, &kBase, 1), 2u);
  EXPECT_EQ(buildCycle(*document, nullptr).items.size(), countCycleItems(*document, nullptr));
  EXPECT_TRUE(buildCycle(*parse(R"({"hls_url": "https://x.invalid/c", "duration": 20})"), nullptr)
                  .items.empty());
}

}  // namespace
}  // namespace vorn::programme
