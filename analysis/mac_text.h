#pragma once
// How a MAC address is written everywhere it is shown (cells, the title, adapter lists):
// six upper-case hex pairs joined by colons, "02:FC:00:00:00:01"; and how such a text is
// read back (the filter, orrisvane-dump --mac).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t MacTextLength = 17;

// Writes the 17 characters (no terminator) at out; returns the end.
inline char* PutMacText(char* out, const std::uint8_t* mac) {
  constexpr char digits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < 6; ++i) {
    if (i != 0) *out++ = ':';
    *out++ = digits[mac[i] >> 4];
    *out++ = digits[mac[i] & 0x0F];
  }
  return out;
}

inline std::string MacText(const std::uint8_t* mac) {
  std::string text(MacTextLength, '\0');
  PutMacText(text.data(), mac);
  return text;
}

// A hex digit's value in either case; -1 for any other character.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Six hex pairs in either case joined by colons, the whole text.
inline std::optional<std::array<std::uint8_t, 6>> ParseMacText(std::string_view text) {
  if (text.size() != MacTextLength) return std::nullopt;
  std::array<std::uint8_t, 6> mac{};
  for (std::size_t i = 0; i < 6; ++i) {
    const int hi = HexDigit(text[i * 3]);
    const int lo = HexDigit(text[i * 3 + 1]);
    if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return mac;
}
