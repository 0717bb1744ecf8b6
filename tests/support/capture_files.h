#pragma once
// Capture files written frame by frame: classic pcap (microsecond timestamps, host byte
// order) and pcapng (one section, one Ethernet interface, enhanced packet blocks). Any
// failure to write throws, which fails the test that wrote the file.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace frames {

inline constexpr std::uint32_t LinkTypeEthernet = 1;
inline constexpr std::uint32_t LinkTypeRaw = 101;

// Owns the open file of a writer.
class CaptureFile {
 public:
  explicit CaptureFile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create " + path);
  }
  ~CaptureFile() {
    if (file_) std::fclose(file_);
  }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  void Raw(const void* data, std::size_t size) {
    if (size && std::fwrite(data, 1, size, file_) != size) throw std::runtime_error("cannot write " + path_);
    written_ += size;
  }
  // Closes the file; cutLast bytes are then taken off its end, as a capture cut short
  // would end.
  void Close(std::size_t cutLast = 0) {
    if (!file_) return;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path_);
    if (cutLast != 0) std::filesystem::resize_file(path_, written_ - cutLast);
  }

 private:
  std::string path_;
  std::FILE* file_;
  std::size_t written_ = 0;
};

class PcapWriter {
 public:
  explicit PcapWriter(const std::string& path, std::uint32_t linkType = LinkTypeEthernet,
                      std::uint32_t snapLength = 65535)
      : file_(path) {
    const std::uint32_t magic = 0xa1b2c3d4;
    const std::uint16_t major = 2, minor = 4;
    const std::uint32_t zero = 0;
    file_.Raw(&magic, 4);
    file_.Raw(&major, 2);
    file_.Raw(&minor, 2);
    file_.Raw(&zero, 4);
    file_.Raw(&zero, 4);
    file_.Raw(&snapLength, 4);
    file_.Raw(&linkType, 4);
  }

  // A frame at the given time since the epoch; originalLength 0 means the frame's size.
  void Frame(std::span<const std::uint8_t> frame, std::uint64_t microseconds = 0, std::uint32_t originalLength = 0) {
    const std::uint32_t header[4] = {static_cast<std::uint32_t>(microseconds / 1000000),
                                     static_cast<std::uint32_t>(microseconds % 1000000),
                                     static_cast<std::uint32_t>(frame.size()),
                                     originalLength ? originalLength : static_cast<std::uint32_t>(frame.size())};
    file_.Raw(header, sizeof header);
    file_.Raw(frame.data(), frame.size());
  }

  void Close(std::size_t cutLast = 0) { file_.Close(cutLast); }

 private:
  CaptureFile file_;
};

class PcapngWriter {
 public:
  explicit PcapngWriter(const std::string& path) : file_(path) {
    Block(0x0A0D0D0A, {0x1A2B3C4D, 0x00000001, 0xFFFFFFFF, 0xFFFFFFFF});  // byte order, 1.0, length unknown
    Block(0x00000001, {LinkTypeEthernet, 65535});                         // link type, reserved; snap length
  }

  void Frame(std::span<const std::uint8_t> frame, std::uint64_t microseconds = 0) {
    std::vector<std::uint32_t> body = {0, static_cast<std::uint32_t>(microseconds >> 32),
                                       static_cast<std::uint32_t>(microseconds),
                                       static_cast<std::uint32_t>(frame.size()),
                                       static_cast<std::uint32_t>(frame.size())};
    std::vector<std::uint32_t> data((frame.size() + 3) / 4, 0);
    if (!frame.empty()) std::memcpy(data.data(), frame.data(), frame.size());
    body.insert(body.end(), data.begin(), data.end());
    Block(0x00000006, body);
  }

  void Close() { file_.Close(); }

 private:
  void Block(std::uint32_t type, std::vector<std::uint32_t> body) {
    const std::uint32_t length = static_cast<std::uint32_t>(12 + body.size() * 4);
    std::vector<std::uint32_t> words = {type, length};
    words.insert(words.end(), body.begin(), body.end());
    words.push_back(length);
    file_.Raw(words.data(), words.size() * 4);
  }

  CaptureFile file_;
};

}  // namespace frames
