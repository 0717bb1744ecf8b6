#pragma once
// Live capture on one network interface through libpcap: what the in-process packet
// device and the capture agent both open, read and ask. Reads never block; Wait sleeps
// until frames may be there, so each caller can also wait for its own wake-up event.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>

struct pcap;

// Snap length, read timeout of the live capture handle.
inline constexpr int PcapSnapLength = 1520;
inline constexpr int PcapReadTimeoutMs = 50;
// The kernel ring of the handle. In immediate mode every frame takes a slot of the snap
// length (two to a page), so 16 MiB hold about 8,000 frames: some 40 ms of a saturated
// loopback. The kernel clears the ring when the adapter is bound, so more costs start-up.
inline constexpr int PcapBufferBytes = 16 << 20;

// How the kernel hands the frames over.
struct LiveOptions {
  // 0: each frame at once (immediate mode). Otherwise the kernel packs frames into blocks
  // of the ring, one after another, and hands a block over when it is full or this many
  // milliseconds after it began: a reader then wakes once per block, not per frame, and
  // the packed frames take a fraction of the ring (and of the caches) that slots take.
  int blockTimeoutMs = 0;
  int bufferBytes = PcapBufferBytes;
};
// In immediate mode, when the ring runs dry while frames are coming in, Wait lets more
// gather for this long before it sleeps in poll: a busy interface then wakes the reader
// about once per interval instead of once per frame. It is the most a frame is held back.
inline constexpr int PcapGatherMicroseconds = 5000;

// How long a filter may take to compile, and a descriptor that ends the compiling when it
// becomes readable (-1: none).
struct FilterCompileBound {
  std::chrono::milliseconds limit;
  int wakeFd = -1;
};

// One captured frame, valid during the call that hands it over.
struct LiveFrame {
  std::int64_t seconds = 0;       // time of capture, since the epoch
  std::int32_t microseconds = 0;
  std::uint32_t capturedLength = 0;  // bytes at data (at most the snap length)
  std::uint32_t originalLength = 0;  // bytes on the wire
  const std::uint8_t* data = nullptr;
};

class LiveInterface {
 public:
  // Opens the interface by name (snap length, hand-over and kernel ring as options say;
  // not promiscuous). On failure returns null and sets *why to libpcap's and the kernel's
  // reason, naming the interface.
  static std::unique_ptr<LiveInterface> Open(const std::string& name, std::string* why,
                                             std::string sysRoot = "/sys", LiveOptions options = {});

  const std::string& Name() const { return name_; }

  // Promiscuous mode on or off, at any time while open.
  bool SetPromiscuous(bool on, std::string* why);

  enum class FilterResult { Applied, DoesNotCompile, NotApplied, Stopped };
  // Compiles a BPF expression (tcpdump's syntax) and makes it the kernel's filter. *why
  // receives libpcap's message when it does not compile or cannot be applied. With a
  // bound, the expression is compiled in a child process that is given up after the
  // bound's time (DoesNotCompile, saying so) or when its wakeFd becomes readable
  // (Stopped): compiling looks host names up, which may take as long as the resolver
  // likes, and nothing else can interrupt it.
  FilterResult SetFilter(const std::string& expression, std::string* why, std::optional<FilterCompileBound> bound = {});

  // Hands at most limit frames that are waiting (limit < 0: all of them) to take(context,
  // frame), without blocking. Returns how many it handed, or -1 when the capture failed
  // (reason in Error()).
  using FrameSink = void (*)(void* context, const LiveFrame& frame);
  int ReadWaiting(int limit, FrameSink take, void* context);

  // Sleeps until frames may be waiting, wakeFd (when >= 0) is readable, or timeoutMs pass.
  // In immediate mode, while frames flow (the last ReadWaiting handed some), it lets them
  // gather instead, for PcapGatherMicroseconds (at most timeoutMs); in blocks the kernel
  // gathers them. False when the wait itself failed (reason in Error()).
  bool Wait(int timeoutMs, int wakeFd);

  // The kernel's counts since the last filter was applied (or since the interface was
  // opened, when none was): frames received and dropped. Until a filter is in place the
  // socket takes every frame, which the capture never asked for.
  bool Statistics(std::uint64_t* received, std::uint64_t* dropped) const;

  // The interface's hardware address.
  bool StationAddress(std::array<std::uint8_t, 6>* address, std::string* why) const;
  // The same, of any interface by its name, without opening it: the kernel answers
  // anyone, so listing adapters needs no capability.
  static bool StationAddressOf(const std::string& name, std::array<std::uint8_t, 6>* address, std::string* why);
  // "eth0 (virtio_net)"
  std::string Description() const;

  // Why the last read or wait failed.
  const std::string& Error() const { return error_; }

 private:
  struct Key {};
  struct Closer {
    void operator()(pcap* handle) const;
  };

 public:
  // Only Open constructs one.
  LiveInterface(Key, std::unique_ptr<pcap, Closer> handle, std::string name, std::string sysRoot, bool inBlocks);

 private:
  std::unique_ptr<pcap, Closer> handle_;
  std::string name_;
  std::string sysRoot_;
  bool inBlocks_ = false;
  bool promiscuous_ = false;
  bool flowing_ = false;
  // The descriptor reported an error that libpcap has not turned into a failed read yet.
  bool errorSeen_ = false;
  std::string error_;
  // libpcap's counts when the last filter was applied; Statistics counts from there.
  std::uint64_t receivedBefore_ = 0;
  std::uint64_t droppedBefore_ = 0;
};
