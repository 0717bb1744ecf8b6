#include "ui/fit_text.h"

bool FitTextToWidth(std::string_view text, int available, int margin, const TextMeasure& measure,
                    std::string& out) {
  if (text.size() > DrawTextMaxChars) text = text.substr(0, DrawTextMaxChars);
  out.assign(text);
  if (text.empty()) return false;
  if (measure(text) + margin <= available) return false;

  constexpr std::string_view kEllipsis = "...";
  const int ellipsis = measure(kEllipsis);
  // Longest prefix first; a text that cannot be shortened enough keeps its first
  // character, so the reader still sees that something was there.
  std::size_t n = text.size() > 1 ? text.size() - 1 : 1;
  for (; n > 1; --n) {
    if (measure(text.substr(0, n)) + margin + ellipsis <= available) break;
  }
  out.resize(n);
  out.append(kEllipsis);
  return true;
}
