#pragma once
// The capture device behind the driver client: one control entry point that takes a
// request code, an input buffer and an output buffer, as the driver protocol has it.
// The product registers a libpcap device under the driver's path; tests register fakes.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/frame_source.h"
#include "analysis/process_owner.h"

// Request codes of the driver protocol.
namespace request_code {
inline constexpr std::uint32_t QueryDescription = 0x40000004;
inline constexpr std::uint32_t Read = 0x40000008;
inline constexpr std::uint32_t AbortFirst = 0x40000010;
inline constexpr std::uint32_t StationAddress = 0x40000014;
inline constexpr std::uint32_t AbortSecond = 0x40000018;
inline constexpr std::uint32_t Bind = 0x4000001c;
inline constexpr std::uint32_t Unbind = 0x40000020;
inline constexpr std::uint32_t SetFilter = 0x40000024;
}  // namespace request_code

inline constexpr char DriverDevicePath[] = "\\\\.\\ZPACKET.VXD";
inline constexpr std::uint32_t PromiscuousFilter = 0x20;

// Arguments with which the driver client opens the device.
struct DeviceOpenArgs {
  std::uint32_t access = 0;         // 0xC0000000, read and write
  std::uint32_t shareMode = 0;      // 0, exclusive
  std::uint32_t creation = 0;       // 3, open existing
  std::uint32_t flags = 0;          // 0x44000080: overlapped, delete on close, normal
};

// What a read that delivered a frame knew of it besides its bytes.
struct FrameInfo {
  std::int64_t timestampNs = TimeNotKnown;  // when it was captured, since the Unix epoch
  std::uint32_t originalLength = 0;   // its length on the wire; 0: not known
  std::shared_ptr<const ProcessOwner> owner = nullptr;  // the process owning its socket, when the capture says
  // Which adapter of a trace of several delivered it (its place in the trace's list).
  std::uint32_t interfaceId = 0;
};

// The frames one read handed over, in the order they were read. Their bytes lie in the
// device's own buffer, valid until the device's next read: a reader that is quick about
// them needs no copy of its own.
struct FrameBatch {
  struct Frame {
    std::span<const std::uint8_t> bytes;
    FrameInfo info;
  };
  std::vector<Frame> frames;
  // Where a device that reads a frame at a time puts it.
  std::vector<std::uint8_t> single;
};

// The kernel's drop count of one adapter of a trace of several.
struct AdapterDrops {
  std::string name;
  std::uint64_t dropped = 0;
};

class PacketDevice {
 public:
  virtual ~PacketDevice() = default;
  // Carries out one request. bytesReturned may be null for requests that have none.
  // A read blocks until a frame is there, the read timeout passes (0 bytes) or an abort
  // request has ended it; an abort also ends a read that starts after it.
  virtual bool Control(std::uint32_t code, const void* input, std::uint32_t inputLength,
                       void* output, std::uint32_t outputSize, std::uint32_t* bytesReturned) = 0;
  // Every frame at hand, read as one: a device that takes its frames in bulk (a pipe, a
  // merge) hands them all over at once, with no lock and no copy per frame. Waits like a
  // read, and an empty batch is a read of 0 bytes; false when the read failed (no frames,
  // reason in LastError()). The same thread must not mix it with single reads: frames of
  // one could be skipped by the other. By default a single read of at most singleBytes.
  virtual bool ReadBatch(FrameBatch& batch, std::uint32_t singleBytes);
  // The frame the last read delivered, asked by the reading thread after that read (the
  // driver's read request carries only the bytes).
  virtual FrameInfo LastFrameInfo() const { return {}; }
  // Why the last failed request failed, in words a user can act on; empty when unknown.
  virtual std::string LastError() const { return {}; }
  // Frames the kernel dropped since the adapter was bound (0 when unknown).
  virtual std::uint64_t KernelDrops() const { return 0; }
  // For a device that merges several adapters: each one's drops (empty otherwise), and
  // the frames that came after later ones had been delivered.
  virtual std::vector<AdapterDrops> DropsPerAdapter() const { return {}; }
  virtual std::uint64_t LateFrames() const { return 0; }
  // Takes a capture filter (a BPF expression; empty: every frame) for the frames read
  // from now on; false, with the reason in LastError(), when it does not compile or the
  // device cannot filter. Not a driver request: the driver protocol has no such request,
  // so a trace gives the filter to the device it opened before the first read.
  virtual bool SetCaptureFilter(const std::string& expression) { return expression.empty(); }
  // True once a finite source (a capture file) has delivered its last frame; LastError()
  // is then non-empty when the source ended in damage rather than at its proper end.
  virtual bool EndOfInput() const { return false; }
};

// Opens devices by path. No global table: whoever opens adapters is handed one.
class DeviceTable {
 public:
  using Factory = std::function<std::unique_ptr<PacketDevice>(const DeviceOpenArgs&)>;
  void Register(std::string path, Factory factory);
  // The device registered under path, or nullptr when none is (or the factory fails).
  std::unique_ptr<PacketDevice> Open(std::string_view path, const DeviceOpenArgs& args) const;

 private:
  std::map<std::string, Factory, std::less<>> factories_;
};
