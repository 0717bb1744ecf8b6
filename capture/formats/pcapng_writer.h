#pragma once
// Every pcapng block written here, little-endian: the capture agent's stream (one section
// with one Ethernet interface, timestamps in microseconds, its frames and statistics),
// built in memory block by block; and the blocks of the spool's files and of saved
// captures (timestamps in nanoseconds), written into the caller's buffer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "capture/formats/pcapng_format.h"

struct ProcessOwner;

namespace pcapng {

// The section header and the description of interface 0 that start a file of Ethernet
// frames with nanosecond timestamps and no other options.
inline constexpr std::size_t NanosecondFileHeaderBytes = 60;
void WriteNanosecondFileHeader(std::uint8_t* at, std::uint32_t snapLength);

// The bytes of an enhanced packet block that holds capturedLength bytes of a frame, with
// an owner's option when ownerNumber is not 0.
constexpr std::size_t PacketBlockBytes(std::uint32_t capturedLength, std::uint32_t ownerNumber = 0) {
  return EnhancedPacketMinimum + ((std::size_t{capturedLength} + 3) & ~std::size_t{3}) +
         (ownerNumber != 0 ? OwnerOptionBytes + 4 : 0);
}
// An enhanced packet block of that interface at `at`, which has PacketBlockBytes of room;
// the timestamp counts the interface's units. ownerNumber, when not 0, names the owner
// block of the frame's socket.
void WritePacketBlock(std::uint8_t* at, std::uint64_t timestamp, std::uint32_t capturedLength,
                      std::uint32_t originalLength, const std::uint8_t* data, std::uint32_t interfaceId = 0,
                      std::uint32_t ownerNumber = 0);

// The bytes of the block that defines an owner number (texts cut as owners keep them).
std::size_t OwnerBlockBytes(const ProcessOwner& owner);
// That block at `at`, which has OwnerBlockBytes of room.
void WriteOwnerBlock(std::uint8_t* at, std::uint32_t ownerNumber, const ProcessOwner& owner);

// The capture agent's stream. The caller writes out Data() and then calls Clear().
struct Interface {
  std::string_view name;         // if_name
  std::string_view description;  // if_description
  std::array<std::uint8_t, 6> stationAddress{};  // if_MACaddr
  std::uint32_t snapLength = 0;
};

class Writer {
 public:
  // Section header with the writing program's name (shb_userappl) and an unknown length.
  void SectionHeader(std::string_view application);
  // Interface 0: Ethernet, the snap length, if_name, if_description and if_MACaddr.
  void InterfaceDescription(const Interface& interface);
  // The next interface of a file of several adapters: the same with nanosecond timestamps.
  void NanosecondInterfaceDescription(const Interface& interface);
  // One frame of interface 0; timestamp in microseconds since the epoch.
  void Packet(std::uint64_t timestampUs, std::uint32_t capturedLength, std::uint32_t originalLength,
              const std::uint8_t* data, std::uint32_t ownerNumber = 0);
  // Defines an owner number for the frames after it.
  void Owner(std::uint32_t ownerNumber, const ProcessOwner& owner);
  // The kernel's counts for interface 0 (isb_ifrecv, isb_ifdrop) at the timestamp.
  void Statistics(std::uint64_t timestampUs, std::uint64_t received, std::uint64_t dropped);

  const std::uint8_t* Data() const { return bytes_.get(); }
  std::size_t Size() const { return size_; }
  void Clear() { size_ = 0; }

 private:
  // Room for n more bytes at the end; returns where they start.
  std::uint8_t* Extend(std::size_t n);
  void Option(std::uint16_t code, const void* value, std::size_t length);
  void EndOfOptions();
  // Sets the length of the block that starts at offset start and appends its trailer.
  void CloseBlock(std::size_t start);

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace pcapng
