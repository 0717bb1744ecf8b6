#include "capture/formats/pcapng_writer.h"

#include <algorithm>
#include <cstring>

#include "analysis/process_owner.h"

namespace pcapng {
namespace {

// An option's value is at most this long (its length field has 16 bits; padding follows).
constexpr std::size_t MaxOptionLength = 0xFFFC;

void Put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* at, std::uint32_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
  at[2] = static_cast<std::uint8_t>(v >> 16);
  at[3] = static_cast<std::uint8_t>(v >> 24);
}

void Put64(std::uint8_t* at, std::uint64_t v) {
  Put32(at, static_cast<std::uint32_t>(v));
  Put32(at + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::size_t Padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// A section header's fields before its options; its length is set when it closes.
constexpr std::size_t SectionHeaderFields = SectionHeaderMinimum - 4;
void PutSectionHeader(std::uint8_t* at) {
  Put32(at, SectionHeaderBlock);
  Put32(at + 8, ByteOrderMagic);
  Put16(at + 12, 1);  // version 1.0
  Put16(at + 14, 0);
  Put64(at + 16, ~std::uint64_t{0});  // section length unknown: it is written as it goes
}

// An interface description's fields before its options.
constexpr std::size_t InterfaceFields = InterfaceOptions;
void PutInterface(std::uint8_t* at, std::uint32_t snapLength) {
  Put32(at, InterfaceDescriptionBlock);
  Put16(at + 8, LinkTypeEthernet);
  Put16(at + 10, 0);
  Put32(at + 12, snapLength);
}

// An option (or, with code OptionEnd, the end of the options) with its padding; returns
// the bytes written.
std::size_t PutOption(std::uint8_t* at, std::uint16_t code, const void* value, std::size_t length) {
  Put16(at, code);
  Put16(at + 2, static_cast<std::uint16_t>(length));
  if (length > 0) std::memcpy(at + 4, value, length);
  std::memset(at + 4 + length, 0, Padded(length) - length);
  return 4 + Padded(length);
}

}  // namespace

void WriteNanosecondFileHeader(std::uint8_t* at, std::uint32_t snapLength) {
  constexpr std::uint8_t NanosecondResolution = 9;  // if_tsresol: 10^-9 s
  constexpr std::uint32_t SectionBytes = SectionHeaderFields + 4;
  constexpr std::uint32_t InterfaceBytes = InterfaceFields + 8 + 4 + 4;
  static_assert(SectionBytes + InterfaceBytes == NanosecondFileHeaderBytes);
  PutSectionHeader(at);
  Put32(at + 4, SectionBytes);
  Put32(at + SectionHeaderFields, SectionBytes);
  at += SectionBytes;
  PutInterface(at, snapLength);
  Put32(at + 4, InterfaceBytes);
  std::size_t end = InterfaceFields;
  end += PutOption(at + end, InterfaceTimestampResolution, &NanosecondResolution, 1);
  end += PutOption(at + end, OptionEnd, nullptr, 0);
  Put32(at + end, InterfaceBytes);
}

void WritePacketBlock(std::uint8_t* at, std::uint64_t timestamp, std::uint32_t capturedLength,
                      std::uint32_t originalLength, const std::uint8_t* data, std::uint32_t interfaceId,
                      std::uint32_t ownerNumber) {
  const auto length = static_cast<std::uint32_t>(PacketBlockBytes(capturedLength, ownerNumber));
  Put32(at, EnhancedPacketBlock);
  Put32(at + 4, length);
  Put32(at + 8, interfaceId);
  Put32(at + 12, static_cast<std::uint32_t>(timestamp >> 32));
  Put32(at + 16, static_cast<std::uint32_t>(timestamp));
  Put32(at + 20, capturedLength);
  Put32(at + 24, originalLength);
  if (capturedLength > 0) std::memcpy(at + EnhancedPacketData, data, capturedLength);
  const std::size_t options = EnhancedPacketData + Padded(capturedLength);
  std::memset(at + EnhancedPacketData + capturedLength, 0, options - EnhancedPacketData - capturedLength);
  if (ownerNumber != 0) {
    std::uint8_t value[8];
    Put32(value, OwnerEnterprise);
    Put32(value + 4, ownerNumber);
    const std::size_t end = options + PutOption(at + options, OwnerOption, value, sizeof value);
    PutOption(at + end, OptionEnd, nullptr, 0);
  }
  Put32(at + length - 4, length);
}

namespace {
struct OwnerTexts {
  std::string_view name, user, commandLine;
  explicit OwnerTexts(const ProcessOwner& owner)
      : name(std::string_view(owner.name).substr(0, OwnerNameMost)),
        user(std::string_view(owner.user).substr(0, OwnerUserMost)),
        commandLine(std::string_view(owner.commandLine).substr(0, OwnerCommandLineMost)) {}
  std::size_t Bytes() const { return name.size() + user.size() + commandLine.size(); }
};
}  // namespace

std::size_t OwnerBlockBytes(const ProcessOwner& owner) {
  return OwnerBlockFields + Padded(OwnerTexts(owner).Bytes()) + 4;
}

void WriteOwnerBlock(std::uint8_t* at, std::uint32_t ownerNumber, const ProcessOwner& owner) {
  const OwnerTexts texts(owner);
  const auto length = static_cast<std::uint32_t>(OwnerBlockBytes(owner));
  Put32(at, CustomBlock);
  Put32(at + 4, length);
  Put32(at + 8, OwnerEnterprise);
  Put32(at + 12, ownerNumber);
  Put32(at + 16, owner.pid);
  Put16(at + 20, static_cast<std::uint16_t>(texts.name.size()));
  Put16(at + 22, static_cast<std::uint16_t>(texts.user.size()));
  Put16(at + 24, static_cast<std::uint16_t>(texts.commandLine.size()));
  Put16(at + 26, 0);
  std::uint8_t* text = at + OwnerBlockFields;
  for (const std::string_view part : {texts.name, texts.user, texts.commandLine}) {
    if (!part.empty()) std::memcpy(text, part.data(), part.size());
    text += part.size();
  }
  std::memset(text, 0, Padded(texts.Bytes()) - texts.Bytes());
  Put32(at + length - 4, length);
}

std::uint8_t* Writer::Extend(std::size_t n) {
  if (size_ + n > capacity_) {
    std::size_t capacity = std::max<std::size_t>({capacity_ * 2, size_ + n, 64 * 1024});
    auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
  }
  std::uint8_t* at = bytes_.get() + size_;
  size_ += n;
  return at;
}

void Writer::Option(std::uint16_t code, const void* value, std::size_t length) {
  length = std::min(length, MaxOptionLength);
  PutOption(Extend(4 + Padded(length)), code, value, length);
}

void Writer::EndOfOptions() { PutOption(Extend(4), OptionEnd, nullptr, 0); }

void Writer::CloseBlock(std::size_t start) {
  const std::uint32_t length = static_cast<std::uint32_t>(size_ + 4 - start);
  Put32(Extend(4), length);
  Put32(bytes_.get() + start + 4, length);
}

void Writer::SectionHeader(std::string_view application) {
  const std::size_t start = size_;
  PutSectionHeader(Extend(SectionHeaderFields));
  if (!application.empty()) {
    Option(SectionUserApplication, application.data(), application.size());
    EndOfOptions();
  }
  CloseBlock(start);
}

void Writer::InterfaceDescription(const Interface& interface) {
  const std::size_t start = size_;
  PutInterface(Extend(InterfaceFields), interface.snapLength);
  Option(InterfaceName, interface.name.data(), interface.name.size());
  Option(pcapng::InterfaceDescription, interface.description.data(), interface.description.size());
  Option(InterfaceMacAddress, interface.stationAddress.data(), interface.stationAddress.size());
  EndOfOptions();
  CloseBlock(start);
}

void Writer::NanosecondInterfaceDescription(const Interface& interface) {
  constexpr std::uint8_t NanosecondResolution = 9;  // if_tsresol: 10^-9 s
  const std::size_t start = size_;
  PutInterface(Extend(InterfaceFields), interface.snapLength);
  if (!interface.name.empty()) Option(InterfaceName, interface.name.data(), interface.name.size());
  if (!interface.description.empty())
    Option(pcapng::InterfaceDescription, interface.description.data(), interface.description.size());
  Option(InterfaceMacAddress, interface.stationAddress.data(), interface.stationAddress.size());
  Option(InterfaceTimestampResolution, &NanosecondResolution, 1);
  EndOfOptions();
  CloseBlock(start);
}

void Writer::Packet(std::uint64_t timestampUs, std::uint32_t capturedLength, std::uint32_t originalLength,
                    const std::uint8_t* data, std::uint32_t ownerNumber) {
  WritePacketBlock(Extend(PacketBlockBytes(capturedLength, ownerNumber)), timestampUs, capturedLength, originalLength,
                   data, 0, ownerNumber);
}

void Writer::Owner(std::uint32_t ownerNumber, const ProcessOwner& owner) {
  WriteOwnerBlock(Extend(OwnerBlockBytes(owner)), ownerNumber, owner);
}

void Writer::Statistics(std::uint64_t timestampUs, std::uint64_t received, std::uint64_t dropped) {
  const std::size_t start = size_;
  std::uint8_t* at = Extend(20);
  Put32(at, InterfaceStatisticsBlock);
  Put32(at + 8, 0);  // interface 0
  Put32(at + 12, static_cast<std::uint32_t>(timestampUs >> 32));
  Put32(at + 16, static_cast<std::uint32_t>(timestampUs));
  std::uint8_t value[8];
  Put64(value, received);
  Option(StatisticsReceived, value, sizeof value);
  Put64(value, dropped);
  Option(StatisticsDropped, value, sizeof value);
  EndOfOptions();
  CloseBlock(start);
}

}  // namespace pcapng
