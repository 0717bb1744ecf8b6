#include "ui/fit_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every character 10 pixels wide, so the widths are easy to reason about.
int Fixed10(std::string_view text) { return static_cast<int>(text.size()) * 10; }

TEST(FitTextToWidth, EmptyTextIsLeftAlone) {
  std::string out = "stale";
  EXPECT_FALSE(FitTextToWidth("", 0, 12, Fixed10, out));
  EXPECT_EQ(out, "");
}

TEST(FitTextToWidth, ExactFitIsDrawnWhole) {
  std::string out;
  // 60 pixels of text and 12 of margin in 72.
  EXPECT_FALSE(FitTextToWidth("abcdef", 72, 12, Fixed10, out));
  EXPECT_EQ(out, "abcdef");
}

TEST(FitTextToWidth, OnePixelTooWideTakesTheLongestPrefixThatFitsWithEllipsis) {
  std::string out;
  // 71 pixels: "ab" + margin 12 + "..." 30 = 62 fits, "abc" = 72 does not.
  EXPECT_TRUE(FitTextToWidth("abcdef", 71, 12, Fixed10, out));
  EXPECT_EQ(out, "ab...");
  // The first-cell margin leaves room for one character more.
  EXPECT_TRUE(FitTextToWidth("abcdefg", 64, 4, Fixed10, out));
  EXPECT_EQ(out, "abc...");
}

TEST(FitTextToWidth, NoPrefixFitsKeepsTheFirstCharacter) {
  std::string out;
  EXPECT_TRUE(FitTextToWidth("W", 5, 4, Fixed10, out));
  EXPECT_EQ(out, "W...");
  EXPECT_TRUE(FitTextToWidth("Wide", 0, 12, Fixed10, out));
  EXPECT_EQ(out, "W...");
}

TEST(FitTextToWidth, LongTextIsCutBeforeMeasuring) {
  const std::string text(1000, 'x');
  std::string out;
  std::vector<std::size_t> measured;
  auto spy = [&](std::string_view t) {
    measured.push_back(t.size());
    return Fixed10(t);
  };
  EXPECT_FALSE(FitTextToWidth(text, 100000, 12, spy, out));
  EXPECT_EQ(out.size(), DrawTextMaxChars);
  ASSERT_FALSE(measured.empty());
  EXPECT_EQ(measured.front(), DrawTextMaxChars);

  EXPECT_TRUE(FitTextToWidth(text, 1000, 12, Fixed10, out));
  // (1000 - 12 - 30) / 10 = 95 characters, then the ellipsis.
  EXPECT_EQ(out, std::string(95, 'x') + "...");
}

TEST(FitTextToWidth, UsesTheMeasuredWidthOfEachPrefix) {
  // Narrow 'i' and wide 'W': a prefix count alone would pick the wrong cut.
  auto proportional = [](std::string_view t) {
    int w = 0;
    for (char c : t) w += c == 'i' ? 3 : c == 'W' ? 15 : c == '.' ? 2 : 8;
    return w;
  };
  std::string out;
  // "iiiiW" = 27, "..." = 6, margin 4: "iiii" needs 12 + 4 + 6 = 22.
  EXPECT_TRUE(FitTextToWidth("iiiiWW", 30, 4, proportional, out));
  EXPECT_EQ(out, "iiii...");
  EXPECT_TRUE(FitTextToWidth("iiiiWW", 37, 4, proportional, out));
  EXPECT_EQ(out, "iiiiW...");
}

}  // namespace
