#pragma once
// Shortening a cell text to the width of its column, ending it with "..." when cut.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The most characters of one cell that the list draws; longer texts are cut first.
inline constexpr std::size_t DrawTextMaxChars = 259;

// Width in pixels of a text as it would be drawn.
using TextMeasure = std::function<int(std::string_view)>;

// Puts into out the text to draw in a cell of `available` pixels whose drawing rectangle
// is inset by `margin` pixels in all (both sides together). A text that fits with the
// margin is drawn whole; otherwise the longest prefix that fits together with the margin
// and "..." is drawn followed by "...", and if no prefix fits, the first character and
// "..." (it may then overflow the cell). Returns whether the text was shortened.
bool FitTextToWidth(std::string_view text, int available, int margin, const TextMeasure& measure,
                    std::string& out);
