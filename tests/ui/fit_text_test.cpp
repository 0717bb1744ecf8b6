#include "ui/fit_text.h"

#include <gtest/gtest.h>

namespace {

// Every character 10 pixels wide.
int Fixed10(std::string_view text) { return static_cast<int>(text.size()) * 10; }

TEST(FitTextToWidth, EdgesOfTheFit) {
  std::string out = "stale";
  EXPECT_FALSE(FitTextToWidth("", 0, 12, Fixed10, out));
  EXPECT_EQ(out, "");
  // Exact fit: 60 pixels of text and 12 of margin in 72.
  EXPECT_FALSE(FitTextToWidth("abcdef", 72, 12, Fixed10, out));
  EXPECT_EQ(out, "abcdef");
  // One pixel less: "ab" + 12 + "..." (30) = 62 fits, "abc" = 72 does not.
  EXPECT_TRUE(FitTextToWidth("abcdef", 71, 12, Fixed10, out));
  EXPECT_EQ(out, "ab...");
  // The first cell's smaller margin leaves room for more.
  EXPECT_TRUE(FitTextToWidth("abcdefg", 64, 4, Fixed10, out));
  EXPECT_EQ(out, "abc...");
  // Nothing fits: the first character stays, overflowing the cell.
  EXPECT_TRUE(FitTextToWidth("W", 5, 4, Fixed10, out));
  EXPECT_EQ(out, "W...");
  EXPECT_TRUE(FitTextToWidth("Wide", 0, 12, Fixed10, out));
  EXPECT_EQ(out, "W...");
}

TEST(FitTextToWidth, LongTextIsCutTo259CharactersFirst) {
  const std::string text(1000, 'x');
  std::string out;
  EXPECT_FALSE(FitTextToWidth(text, 100000, 12, Fixed10, out));
  EXPECT_EQ(out.size(), DrawTextMaxChars);
  EXPECT_TRUE(FitTextToWidth(text, 1000, 12, Fixed10, out));
  EXPECT_EQ(out, std::string(95, 'x') + "...");  // (1000 - 12 - 30) / 10
}

TEST(FitTextToWidth, UsesTheMeasuredWidthOfEachPrefix) {
  auto proportional = [](std::string_view t) {
    int w = 0;
    for (char c : t) w += c == 'i' ? 3 : c == 'W' ? 15 : c == '.' ? 2 : 8;
    return w;
  };
  std::string out;
  // "..." = 6, margin 4: "iiii" needs 22, "iiiiW" 37.
  EXPECT_TRUE(FitTextToWidth("iiiiWW", 30, 4, proportional, out));
  EXPECT_EQ(out, "iiii...");
  EXPECT_TRUE(FitTextToWidth("iiiiWW", 37, 4, proportional, out));
  EXPECT_EQ(out, "iiiiW...");
}

}  // namespace
