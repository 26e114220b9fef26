#include "programme/document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "programme/cycle.h"
#include "programme/entry.h"

namespace vorn::programme {
namespace {

std::shared_ptr<platform::Error> errorOf(const ParseResult& result) {
  const auto* error = std::get_if<std::shared_ptr<platform::Error>>(&result);
  return error ? *error : nullptr;
}

JsonPtr valueOf(const ParseResult& result) {
  const auto* value = std::get_if<JsonPtr>(&result);
  return value ? *value : nullptr;
}

// Whether two parsed values say the same: same types, numbers, texts and elements, and the same
// value under every member name.
::testing::AssertionResult sameValue(const Json& a, const Json& b) {
  if (a.type() != b.type() || (a.isArray() && a.size() != b.size())) {
    return ::testing::AssertionFailure() << "types or array sizes differ";
  }
  for (size_t i = 0; a.isArray() && i < a.size(); ++i) {
    if (auto same = sameValue(a[i], b[i]); !same) {
      return same << " at [" << i << "]";
    }
  }
  for (const auto& [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
    for (size_t i = 0; a.isObject() && i < from->size(); ++i) {
      const auto name = from->key(i);
      if (to->find(name) == to->end()) {
        return ::testing::AssertionFailure() << "member " << name << " missing";
      }
      if (auto same = sameValue((*from)[name], (*to)[name]); !same) {
        return same << " under " << name;
      }
    }
  }
  const bool same = a.isBoolean()  ? a.get<bool>() == b.get<bool>()
                    : a.isFloat()  ? a.get<double>() == b.get<double>()
                    : a.isNumber() ? a.get<uint64_t>() == b.get<uint64_t>()
                    : a.isString() ? a.get<std::string>() == b.get<std::string>()
                                   : true;
  return same ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "values differ";
}

TEST(Document, absurd_nesting_is_a_parse_error_not_a_stack_overflow) {
  const size_t levels = 100'000;
  const std::string deep = std::string(levels, '[') + std::string(levels, ']');
  const auto error = errorOf(parseDocument(deep));
  ASSERT_TRUE(error);
  EXPECT_NE(error->message().find("Nesting"), std::string::npos);
  // Unterminated deep nesting too.
  EXPECT_TRUE(errorOf(parseDocument(std::string(levels, '{'))));
  // The cap itself still parses.
  const std::string atCap = std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']');
  EXPECT_FALSE(errorOf(parseDocument(atCap)));
  // The same for objects, one past the cap and at it.
  const auto objects = [](size_t levels) {
    std::string text;
    for (size_t i = 1; i < levels; ++i) {
      text += R"({"a": )";
    }
    return text + R"({"a": 1})" + std::string(levels - 1, '}');
  };
  EXPECT_TRUE(errorOf(parseDocument(objects(kMaxNestingDepth + 1))));
  EXPECT_FALSE(errorOf(parseDocument(objects(kMaxNestingDepth))));
}

TEST(Document, the_fast_parser_reads_every_text_as_the_reference_does) {
  const char* texts[] = {
      R"([])",
      R"({})",
      R"([[], {}, [[[]]], {"": {"": []}}])",
      R"([0, -0, 1, -1, 9223372036854775807, -9223372036854775808, 9223372036854775808,
          18446744073709551615, 18446744073709551616, -9223372036854775809, 1.5, -2.25e-3,
          1e308, 5e-324, 1E2, 0.1, 123456789012345678901234567890])",
      R"(["", "plain", "\"\\\/\b\f\n\r\t", "\u00e9\u2014\ud83d\ude00", "a\u0000b", "é—😀"])",
      R"([true, false, null, {"a": null, "b": false}])",
      R"({"b": 2, "a": 1, "a": {"x": [1, 2]}, "c": "three"})",
      R"([{"hls_url": "https://s/a", "duration": 600, "play_count": 2,
          "description_attribution": "A \u2014 by Ann", "extra": {"kept": true}}])",
      " \t\r\n[1]\n ",
  };
  for (const char* text : texts) {
    const auto fast = valueOf(parseDocument(text));
    const auto reference = valueOf(parseDocumentWithReferenceParser(text));
    ASSERT_TRUE(fast) << text;
    ASSERT_TRUE(reference) << text;
    EXPECT_TRUE(sameValue(*fast, *reference)) << text;
  }

  // A whole number past 64 bits is the reference's float, not a refusal.
  const auto big = valueOf(parseDocument("[18446744073709551616, -9223372036854775809]"));
  ASSERT_TRUE(big);
  EXPECT_TRUE((*big)[0].isFloat());
  EXPECT_DOUBLE_EQ((*big)[0].get<double>(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ((*big)[1].get<double>(), -9223372036854775808.0);

  // Only arrays and objects parse, and refusals read as the reference words them.
  for (const char* bad : {"", "   ", "3", "\"text\"", "true", "false", "null", "[1,", "[1] x",
                          "{\"a\" 1}", "[\"\xff\"]", "[1,]", "[01]", "[1.]", R"(["\ud800"])",
                          R"({"a": 1,})", "[1e400]", "[\"\t\"]"}) {
    const auto fast = errorOf(parseDocument(bad));
    const auto reference = errorOf(parseDocumentWithReferenceParser(bad));
    ASSERT_TRUE(fast) << bad;
    ASSERT_TRUE(reference) << bad;
    EXPECT_EQ(fast->domain(), platform::kJsonErrorDomain);
    EXPECT_EQ(fast->description(), reference->description()) << bad;
  }
}

TEST(Document, values_answer_only_for_what_they_are) {
  const auto document = valueOf(parseDocument(
      R"([{"url": "https://s/a", "n": 3, "f": 2.5, "t": true, "z": null}, "text", 7])"));
  ASSERT_TRUE(document);
  const Json& entry = (*document)[0];
  EXPECT_EQ(entry["url"].get<std::string_view>(), "https://s/a");
  EXPECT_EQ(entry["n"].get<int64_t>(), 3);
  EXPECT_DOUBLE_EQ(entry["n"].get<double>(), 3.0);
  EXPECT_EQ(entry["f"].get<int64_t>(), 2);
  EXPECT_TRUE(entry["t"].get<bool>());
  EXPECT_TRUE(entry["z"].isNull());
  EXPECT_NE(entry.find("z"), entry.end());
  EXPECT_EQ(entry.find("missing"), entry.end());
  EXPECT_TRUE(entry["missing"].isNull());
  EXPECT_THROW(entry["n"].get<std::string>(), std::domain_error);
  EXPECT_THROW(entry["url"].get<double>(), std::domain_error);
  EXPECT_THROW(entry["n"].get<bool>(), std::domain_error);

  // Texts, numbers and arrays have no members; an index past the end is null.
  const Json& text = (*document)[1];
  EXPECT_EQ(text.find("url"), text.end());
  EXPECT_EQ(text.size(), 0u);
  EXPECT_EQ(document->find("url"), document->end());
  EXPECT_TRUE((*document)[3].isNull());
  EXPECT_TRUE(entry[0].isNull());
  size_t elements = 0;
  for (const Json& element : *document) {
    elements += element.isNull() ? 0 : 1;
  }
  EXPECT_EQ(elements, 3u);
}

TEST(Document, fractions_outside_the_integer_range_give_its_nearer_end) {
  const auto document = valueOf(parseDocument(R"([1e300, -1e300, -5.5, 1e19, -0.5, 7.9])"));
  ASSERT_TRUE(document);
  const Json& numbers = *document;
  constexpr auto kMaxSigned = std::numeric_limits<int64_t>::max();
  constexpr auto kMinSigned = std::numeric_limits<int64_t>::min();
  const std::pair<int64_t, uint64_t> expected[] = {
      {kMaxSigned, std::numeric_limits<uint64_t>::max()},
      {kMinSigned, 0u},
      {-5, 0u},
      {kMaxSigned, 10000000000000000000u},
      {0, 0u},
      {7, 7u}};
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(numbers[i].get<int64_t>(), expected[i].first) << i;
    EXPECT_EQ(numbers[i].get<uint64_t>(), expected[i].second) << i;
  }
}

TEST(Document, an_entry_keeps_its_document_alive) {
  JsonPtr entry;
  {
    const auto document = valueOf(parseDocument(
        R"([{"hls_url": "https://s/a", "description_attribution": "A long enough description"}])"));
    ASSERT_TRUE(document);
    entry = JsonPtr(document, &(*document)[0]);
  }
  // Stored in blocks that grow: a long document spans many of them.
  std::string many = "[";
  for (int i = 0; i < 20000; ++i) {
    many += (i ? "," : "") + std::string(R"({"k": ")") + std::to_string(i) + R"("})";
  }
  const auto large = valueOf(parseDocument(many + "]"));
  ASSERT_TRUE(large);
  EXPECT_EQ((*entry)["description_attribution"].get<std::string>(), "A long enough description");
  EXPECT_EQ((*large)[19999]["k"].get<std::string>(), "19999");
  EXPECT_EQ((*large)[0]["k"].get<std::string>(), "0");
}

TEST(PlaylistFirstPass, counts_the_cycle_and_refuses_as_the_parsed_document_does) {
  const auto base = *platform::Url::parse("https://lists.invalid/channel/p.json");
  // A repeated name counts by its last value; a container where a text or a number belongs makes
  // no entry; a relative address needs the base; only top-level elements are entries.
  const std::string text = R"([
    {"hls_url": "https://a.invalid/1", "duration": 1, "play_count": 3, "play_count": 2},
    {"hls_url": ["https://a.invalid/x"], "duration": 1},
    {"hls_url": "b.m3u8", "duration": true, "play_count": 5},
    {"hls_url": {"hls_url": "https://a.invalid/2"}, "duration": 1, "hls_url": "https://a.invalid/2",
     "play_count": 1, "play_count": 4},
    [{"hls_url": "https://a.invalid/3", "duration": 1}],
    {"hls_url": "https://a.invalid/4", "duration": {"duration": 1}},
    {"hls_url": "https://a.invalid/5", "duration": 2.5, "play_count": -1e300}
  ])";
  // Read by their first values, the repeated names would give 3 + 5 + 0 and 3 + 0.
  const auto parsed = std::get<JsonPtr>(parseDocument(text));
  ASSERT_EQ(countCycleItems(*parsed, &base), 11u);
  ASSERT_EQ(countCycleItems(*parsed, nullptr), 6u);
  const auto twice = std::get<JsonPtr>(
      parseDocument(R"({"hls_url": "https://a.invalid/1", "duration": 100, "duration": 50})"));
  EXPECT_EQ(readEntry(*twice)->duration, 50.0);
  for (const auto& [basePointer, items] :
       {std::pair{&base, size_t{11}},
        std::pair{static_cast<const platform::Url*>(nullptr), size_t{6}}}) {
    EXPECT_EQ(parsePlaylist(text, basePointer, items).index(), 0u);
    const auto refused = parsePlaylist(text, basePointer, items - 1);
    ASSERT_EQ(refused.index(), 1u);
    EXPECT_TRUE(isTooManyItems(*std::get<1>(refused)));
  }

  // The value limit counts every value, the top-level array included.
  std::string values = "[0";
  for (size_t i = 2; i < kMaxValues; ++i) {
    values += ",0";
  }
  EXPECT_EQ(parsePlaylist(values + "]", nullptr).index(), 0u);
  const auto tooMany = parsePlaylist(values + ",0]", nullptr);
  ASSERT_EQ(tooMany.index(), 1u);
  EXPECT_TRUE(isTooLarge(*std::get<1>(tooMany)));
  EXPECT_FALSE(isTooManyItems(*std::get<1>(tooMany)));

  // What the parser refuses reads the same from the first pass.
  for (const std::string& bad :
       {std::string(R"([{"hls_url": "x", )"), std::string("3"), std::string("[1] x"),
        std::string(600, '[') + std::string(600, ']'),
        std::string(R"([18446744073709551616, 1e999])")}) {
    const auto expected = parseDocument(bad);
    const auto got = parsePlaylist(bad, &base);
    ASSERT_EQ(expected.index(), 1u) << bad;
    ASSERT_EQ(got.index(), 1u) << bad;
    EXPECT_EQ(std::get<1>(got)->description(), std::get<1>(expected)->description());
  }
}

}  // namespace
}  // namespace vorn::programme
