#pragma once
// The numbers of the pcapng format, for every reader and writer of it: block types, the
// byte-order magic, the link type and the option codes used.

#include <cstddef>
#include <cstdint>

namespace pcapng {

inline constexpr std::uint32_t SectionHeaderBlock = 0x0A0D0D0A;
inline constexpr std::uint32_t InterfaceDescriptionBlock = 0x00000001;
inline constexpr std::uint32_t SimplePacketBlock = 0x00000003;
inline constexpr std::uint32_t InterfaceStatisticsBlock = 0x00000005;
inline constexpr std::uint32_t EnhancedPacketBlock = 0x00000006;
inline constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;
inline constexpr std::uint16_t LinkTypeEthernet = 1;

// Block layouts: the smallest length of each kind, and where its body starts.
inline constexpr std::uint32_t BlockOverhead = 12;  // type, length, trailing length
inline constexpr std::uint32_t SectionHeaderMinimum = 28;
inline constexpr std::uint32_t InterfaceMinimum = 20;
inline constexpr std::uint32_t EnhancedPacketMinimum = 32;
inline constexpr std::uint32_t SimplePacketMinimum = 16;
inline constexpr std::uint32_t StatisticsMinimum = 24;
inline constexpr std::size_t EnhancedPacketData = 28;
inline constexpr std::size_t SimplePacketData = 12;
inline constexpr std::size_t InterfaceOptions = 16;
inline constexpr std::size_t StatisticsOptions = 20;

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

// The owners of sockets travel in custom blocks and custom options that other readers may
// copy and otherwise skip, marked with the Private Enterprise Number IANA keeps for
// documentation. An owner block defines an owner number for the section:
//   4 bytes enterprise number, 4 owner number (not 0), 4 PID (0: only the user is known),
//   2 + 2 + 2 the lengths of name, user and command line, 2 zero, then the three texts
// and padding. A frame of that owner's socket carries the option OwnerOption: the
// enterprise number and the owner number, 4 bytes each.
inline constexpr std::uint32_t CustomBlock = 0x00000BAD;
inline constexpr std::uint32_t CustomBlockNoCopy = 0x40000BAD;
inline constexpr std::uint16_t OwnerOption = 2989;  // a copyable custom option, binary
inline constexpr std::uint32_t OwnerEnterprise = 32473;
inline constexpr std::size_t OwnerBlockFields = 28;  // type and length up to the texts
inline constexpr std::size_t OwnerOptionBytes = 12;  // with its code and length

}  // namespace pcapng
