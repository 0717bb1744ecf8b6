#pragma once
// How a MAC address is written everywhere it is shown (cells, the title, adapter lists):
// six upper-case hex pairs joined by colons, "02:FC:00:00:00:01".

#include <cstddef>
#include <cstdint>
#include <string>

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
