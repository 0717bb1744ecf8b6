#pragma once
// The numbers of the pcapng format, for every reader and writer of it: block types, the
// byte-order magic, the link type and the option codes used.

#include <cstdint>

namespace pcapng {

inline constexpr std::uint32_t SectionHeaderBlock = 0x0A0D0D0A;
inline constexpr std::uint32_t InterfaceDescriptionBlock = 0x00000001;
inline constexpr std::uint32_t SimplePacketBlock = 0x00000003;
inline constexpr std::uint32_t InterfaceStatisticsBlock = 0x00000005;
inline constexpr std::uint32_t EnhancedPacketBlock = 0x00000006;
inline constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;
inline constexpr std::uint16_t LinkTypeEthernet = 1;

// Option codes: the end of options, and those of the section header, interface
// description and statistics blocks.
inline constexpr std::uint16_t OptionEnd = 0;
inline constexpr std::uint16_t SectionUserApplication = 4;
inline constexpr std::uint16_t InterfaceName = 2;
inline constexpr std::uint16_t InterfaceDescription = 3;
inline constexpr std::uint16_t InterfaceMacAddress = 6;
inline constexpr std::uint16_t InterfaceTimestampResolution = 9;
inline constexpr std::uint16_t StatisticsReceived = 4;
inline constexpr std::uint16_t StatisticsDropped = 5;

}  // namespace pcapng
