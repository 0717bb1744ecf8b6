#pragma once
// IPv4 and IPv6 addresses as the list shows, filters and sorts them: the text of an IPv6
// address (RFC 5952), reading one in any RFC 4291 form, and the order of addresses of both
// families.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

struct IpAddress {
  enum class Family : std::uint8_t { V4, V6 };
  // Every IPv4 address orders before every IPv6 one; within a family by value.
  Family family = Family::V4;
  std::array<std::uint8_t, 16> bytes{};  // network order; an IPv4 address in the first four

  static IpAddress V4(std::span<const std::uint8_t, 4> address);
  static IpAddress V6(std::span<const std::uint8_t, 16> address);

  int Bits() const { return family == Family::V4 ? 32 : 128; }
  // Whether the first prefixBits bits equal those of network, of the same family.
  bool InPrefix(const IpAddress& network, int prefixBits) const;

  friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

// The longest IPv6 text, "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255".
inline constexpr std::size_t Ipv6TextMost = 45;

// Writes the RFC 5952 text of a 16-byte address at out (room for Ipv6TextMost); returns its
// end. Lower-case hex without leading zeros, the longest run of two or more zero groups
// (the first of equal runs) as "::", an IPv4-mapped address as "::ffff:192.0.2.1".
char* PutIpv6Text(char* out, std::span<const std::uint8_t, 16> address);

// Four dotted decimal parts of at most three digits, each up to 255, the whole text.
std::optional<std::array<std::uint8_t, 4>> ParseDottedIpv4(std::string_view text);
// Reads an IPv6 address in any RFC 4291 form ("2001:DB8:0:0::1", "::ffff:192.0.2.1").
std::optional<IpAddress> ParseIpv6(std::string_view text);
// Reads dotted-decimal IPv4 or any IPv6 form.
std::optional<IpAddress> ParseIpAddress(std::string_view text);
