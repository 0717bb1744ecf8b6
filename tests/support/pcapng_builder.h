#pragma once
// pcapng streams built block by block in either byte order, with whatever options,
// lengths and damage a test needs: for the stream reader's tests, the fake capture
// agent's streams and the fuzz seeds.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pcapng_builder {

using Bytes = std::vector<std::uint8_t>;

struct Option {
  std::uint16_t code;
  Bytes value;
};

inline Option TextOption(std::uint16_t code, std::string_view text) { return {code, Bytes(text.begin(), text.end())}; }
inline Option MacOption(const std::array<std::uint8_t, 6>& mac) { return {6, Bytes(mac.begin(), mac.end())}; }
inline Option ResolutionOption(std::uint8_t resolution) { return {9, Bytes{resolution}}; }

class Stream {
 public:
  explicit Stream(bool bigEndian = false) : bigEndian_(bigEndian) {}

  // Switches the byte order of the blocks that follow (a new section may change it).
  Stream& Order(bool bigEndian) {
    bigEndian_ = bigEndian;
    return *this;
  }

  Stream& Section(std::uint16_t major = 1, std::uint16_t minor = 0) {
    Bytes body;
    Put32(body, 0x1A2B3C4D);
    Put16(body, major);
    Put16(body, minor);
    Put64(body, ~std::uint64_t{0});  // section length unknown
    return Block(0x0A0D0D0A, body);
  }

  Stream& Interface(std::uint16_t linkType = 1, std::uint32_t snapLength = 1520,
                    const std::vector<Option>& options = {}) {
    Bytes body;
    Put16(body, linkType);
    Put16(body, 0);
    Put32(body, snapLength);
    PutOptions(body, options);
    return Block(0x00000001, body);
  }

  // An enhanced packet block; originalLength 0 means the frame's own length.
  Stream& Packet(std::uint32_t interfaceId, std::uint64_t timestamp, const Bytes& frame,
                 std::uint32_t originalLength = 0, const std::vector<Option>& options = {}) {
    Bytes body;
    Put32(body, interfaceId);
    Put32(body, static_cast<std::uint32_t>(timestamp >> 32));
    Put32(body, static_cast<std::uint32_t>(timestamp));
    Put32(body, static_cast<std::uint32_t>(frame.size()));
    Put32(body, originalLength ? originalLength : static_cast<std::uint32_t>(frame.size()));
    PutPadded(body, frame);
    PutOptions(body, options);
    return Block(0x00000006, body);
  }

  Stream& SimplePacket(const Bytes& frame, std::uint32_t originalLength) {
    Bytes body;
    Put32(body, originalLength);
    PutPadded(body, frame);
    return Block(0x00000003, body);
  }

  Stream& Statistics(std::uint32_t interfaceId, std::optional<std::uint64_t> received,
                     std::optional<std::uint64_t> dropped) {
    Bytes body;
    Put32(body, interfaceId);
    Put32(body, 0);
    Put32(body, 0);
    std::vector<Option> options;
    options.push_back({2, Bytes(8, 0)});  // isb_starttime: an option the reader passes over
    if (received) options.push_back({4, Value64(*received)});
    if (dropped) options.push_back({5, Value64(*dropped)});
    PutOptions(body, options);
    return Block(0x00000005, body);
  }

  // Any block: the body as given, the lengths around it computed (or as given).
  Stream& Block(std::uint32_t type, const Bytes& body, std::optional<std::uint32_t> length = std::nullopt,
                std::optional<std::uint32_t> trailing = std::nullopt) {
    const auto whole = static_cast<std::uint32_t>(12 + body.size());
    Put32(bytes_, type);
    Put32(bytes_, length.value_or(whole));
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    Put32(bytes_, trailing.value_or(length.value_or(whole)));
    return *this;
  }

  Stream& Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }

  const Bytes& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

  void Put16(Bytes& out, std::uint16_t v) const { PutWidth(out, v, 2); }
  void Put32(Bytes& out, std::uint32_t v) const { PutWidth(out, v, 4); }
  void Put64(Bytes& out, std::uint64_t v) const { PutWidth(out, v, 8); }

 private:
  void PutWidth(Bytes& out, std::uint64_t v, int width) const {
    for (int i = 0; i < width; ++i) {
      const int shift = bigEndian_ ? 8 * (width - 1 - i) : 8 * i;
      out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
  }
  Bytes Value64(std::uint64_t v) const {
    Bytes out;
    Put64(out, v);
    return out;
  }
  static void PutPadded(Bytes& out, const Bytes& data) {
    out.insert(out.end(), data.begin(), data.end());
    out.resize(out.size() + (4 - data.size() % 4) % 4, 0);
  }
  void PutOptions(Bytes& out, const std::vector<Option>& options) const {
    if (options.empty()) return;
    for (const Option& option : options) {
      Put16(out, option.code);
      Put16(out, static_cast<std::uint16_t>(option.value.size()));
      PutPadded(out, option.value);
    }
    Put16(out, 0);  // opt_endofopt
    Put16(out, 0);
  }

  bool bigEndian_;
  Bytes bytes_;
};

// A frame of the given length whose bytes tell it from its neighbours.
inline Bytes PatternFrame(std::size_t length, std::uint8_t seed) {
  Bytes frame(length);
  for (std::size_t i = 0; i < length; ++i) frame[i] = static_cast<std::uint8_t>(seed + i * 7);
  return frame;
}

}  // namespace pcapng_builder
