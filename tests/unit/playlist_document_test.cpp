#include "playlist/playlist_document.h"

#include <gtest/gtest.h>

namespace vorn::playlist {
namespace {

std::shared_ptr<platform::Error> errorOf(const ParseResult& result) {
  const auto* error = std::get_if<std::shared_ptr<platform::Error>>(&result);
  return error ? *error : nullptr;
}

TEST(PlaylistDocument, ArraysAndObjectsParseEverythingElseIsAParseError) {
  for (const char* good : {"[]", "[1, \"x\", null, {\"a\": [true]}]", "{\"playlist\": []}"}) {
    const auto result = parseDocument(good);
    EXPECT_FALSE(errorOf(result)) << good;
  }
  for (const char* bad : {"", "   ", "3", "\"text\"", "true", "false", "null", "[1,", "[1] x",
                          "{\"a\" 1}", "[1e400]", "[\"\xff\"]"}) {
    const auto error = errorOf(parseDocument(bad));
    ASSERT_TRUE(error) << bad;
    EXPECT_EQ(error->domain(), platform::kJsonErrorDomain);
    EXPECT_FALSE(error->description().empty());
  }
}

TEST(PlaylistDocument, ValuesKeepTheirParsedShape) {
  const auto result = parseDocument(R"([{"b": 2, "a": 1, "a": 3}, 2.5, -1, 18446744073709551615])");
  ASSERT_FALSE(errorOf(result));
  const Json& document = *std::get<JsonPtr>(result);
  EXPECT_EQ(document[0]["a"], 3);  // a repeated key keeps the last value
  EXPECT_TRUE(document[1].is_number_float());
  EXPECT_TRUE(document[2].is_number_integer());
  EXPECT_TRUE(document[3].is_number_unsigned());
}

TEST(PlaylistDocument, AbsurdNestingIsAParseErrorNotAStackOverflow) {
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
}

}  // namespace
}  // namespace vorn::playlist
