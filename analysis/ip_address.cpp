#include "analysis/ip_address.h"

#include <algorithm>
#include <charconv>

#include "analysis/mac_text.h"

std::optional<std::array<std::uint8_t, 4>> ParseDottedIpv4(std::string_view text) {
  std::array<std::uint8_t, 4> out{};
  for (std::size_t part = 0; part < 4; ++part) {
    if (part != 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && digits < 3 && text[digits] >= '0' && text[digits] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    text.remove_prefix(digits);
    out[part] = static_cast<std::uint8_t>(value);
  }
  if (!text.empty()) return std::nullopt;
  return out;
}

IpAddress IpAddress::V4(std::span<const std::uint8_t, 4> address) {
  IpAddress out;
  std::copy(address.begin(), address.end(), out.bytes.begin());
  return out;
}

IpAddress IpAddress::V6(std::span<const std::uint8_t, 16> address) {
  IpAddress out;
  out.family = Family::V6;
  std::copy(address.begin(), address.end(), out.bytes.begin());
  return out;
}

bool IpAddress::InPrefix(const IpAddress& network, int prefixBits) const {
  if (family != network.family) return false;
  prefixBits = std::clamp(prefixBits, 0, Bits());
  const auto whole = static_cast<std::size_t>(prefixBits / 8);
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(whole), network.bytes.begin())) return false;
  const int rest = prefixBits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF00 >> rest);
  return (bytes[whole] & mask) == (network.bytes[whole] & mask);
}

char* PutIpv6Text(char* out, std::span<const std::uint8_t, 16> address) {
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = unsigned{address[2 * i]} << 8 | address[2 * i + 1];
  // The longest run of zero groups; a later run must be longer to win.
  std::size_t bestAt = 0, bestLength = 0;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - i > bestLength) {
      bestAt = i;
      bestLength = end - i;
    }
    i = end;
  }
  if (bestLength < 2) bestLength = 0;
  const bool mapped = bestAt == 0 && bestLength == 5 && groups[5] == 0xFFFF;
  const std::size_t hexGroups = mapped ? 6 : 8;
  for (std::size_t i = 0; i < hexGroups; ++i) {
    if (bestLength != 0 && i == bestAt) {
      *out++ = ':';
      *out++ = ':';
      i += bestLength - 1;
      continue;
    }
    if (i != 0 && !(bestLength != 0 && i == bestAt + bestLength)) *out++ = ':';
    out = std::to_chars(out, out + 4, groups[i], 16).ptr;
  }
  if (mapped) {
    *out++ = ':';
    for (std::size_t i = 12; i < 16; ++i) {
      if (i != 12) *out++ = '.';
      out = std::to_chars(out, out + 3, unsigned{address[i]}).ptr;
    }
  }
  return out;
}

std::optional<IpAddress> ParseIpv6(std::string_view text) {
  // Groups before and after a "::" (at most one), each of one to four hex digits; the last
  // two groups may be written as a dotted IPv4 address.
  std::array<std::uint16_t, 8> head{}, tail{};
  std::size_t heads = 0, tails = 0;
  bool gap = false;
  if (text.starts_with("::")) {
    gap = true;
    text.remove_prefix(2);
  } else if (text.starts_with(":")) {
    return std::nullopt;
  }
  while (!text.empty()) {
    std::array<std::uint16_t, 8>& groups = gap ? tail : head;
    std::size_t& count = gap ? tails : heads;
    const std::size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
      const auto dotted = ParseDottedIpv4(group);
      if (!dotted || count + 2 > 8) return std::nullopt;
      groups[count++] = static_cast<std::uint16_t>((*dotted)[0] << 8 | (*dotted)[1]);
      groups[count++] = static_cast<std::uint16_t>((*dotted)[2] << 8 | (*dotted)[3]);
      text = {};
      break;
    }
    if (group.empty() || group.size() > 4 || count == 8) return std::nullopt;
    unsigned value = 0;
    for (const char c : group) {
      const int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    if (colon == std::string_view::npos) {
      text = {};
      break;
    }
    text.remove_prefix(colon + 1);
    if (text.starts_with(":")) {
      if (gap) return std::nullopt;
      gap = true;
      text.remove_prefix(1);
    } else if (text.empty()) {
      return std::nullopt;  // a trailing single ':'
    }
  }
  // "::" stands for at least one zero group.
  if (gap ? heads + tails > 7 : heads != 8) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < heads; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(head[i]);
  }
  for (std::size_t i = 0; i < tails; ++i) {
    const std::size_t at = 8 - tails + i;
    bytes[2 * at] = static_cast<std::uint8_t>(tail[i] >> 8);
    bytes[2 * at + 1] = static_cast<std::uint8_t>(tail[i]);
  }
  return IpAddress::V6(bytes);
}

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return ParseIpv6(text);
  const auto dotted = ParseDottedIpv4(text);
  if (!dotted) return std::nullopt;
  return IpAddress::V4(*dotted);
}
