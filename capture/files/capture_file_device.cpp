#include "capture/files/capture_file_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "capture/devices/capture_filter.h"
#include "capture/driver/device_base.h"
#include "capture/formats/capture_file_reader.h"
#include "capture/formats/capture_file_records.h"
#include "capture/formats/pcapng_format.h"

namespace {

// How long a read past the end waits before it delivers 0 bytes: as long as the live
// device's read timeout, so a reader that goes on reading does not spin.
constexpr std::chrono::milliseconds EndOfInputWait{50};

class CaptureFileDevice : public DeviceBase {
 public:
  explicit CaptureFileDevice(std::string path) : path_(std::move(path)) {}

  bool SetCaptureFilter(const std::string& expression) override {
    std::string why;
    std::optional<CaptureFilter> filter = CaptureFilter::Compile(expression, &why);
    if (!filter) return Fail("the capture filter does not compile: " + why);
    filter_ = std::move(*filter);
    return true;
  }

  bool EndOfInput() const override { return ended_.load(); }

 private:
  void Abort() override {
    std::lock_guard lock(mutex_);
    aborted_.store(true);
    abortChanged_.notify_all();
  }

  void Unbind() override {
    file_.reset();
    pending_ = false;
  }

  bool SetPacketFilter(std::uint32_t /*filter*/) override { return file_ ? true : Fail("no capture file is open"); }

  // A file knows no station address.
  bool StationAddress(std::array<std::uint8_t, 6>& address) override {
    address = {};
    return true;
  }

  bool Description(std::string& text) override {
    text = "capture file " + path_;
    return true;
  }

  bool Bind(const std::string& /*keyName*/) override {
    if (file_) return Fail("a capture file is already open");
    std::string why;
    if (std::unique_ptr<CaptureFileRecords> pcapng = OpenPcapng(&why)) {
      file_ = std::move(pcapng);
      return true;
    }
    if (!why.empty()) return Fail("cannot read capture file " + path_ + ": " + why);
    std::unique_ptr<CaptureFileReader> file = CaptureFileReader::Open(path_, &why);
    if (!file) return Fail("cannot read capture file " + path_ + ": " + why);
    int link = file->LinkType();
    if (link != DLT_EN10MB) {
      const char* name = pcap_datalink_val_to_name(link);
      return Fail("capture file " + path_ + " does not hold Ethernet frames (link type " +
                  (name ? name : std::to_string(link)) + ")");
    }
    file_ = std::make_unique<PcapRecords>(std::move(file));
    return true;
  }

  // A pcapng file is read as the window reads it, owners and interfaces included; its
  // first frame is read here, so that a file the reader refuses (another link type) is
  // refused at once. Nothing, without a reason, for a file of another format, and for
  // anything but a plain file (standard input, a FIFO): libpcap reads those.
  std::unique_ptr<CaptureFileRecords> OpenPcapng(std::string* why) {
    if (path_ == "-") return nullptr;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info {};
    std::uint8_t magic[4] = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::pread(fd, magic, sizeof magic, 0) != sizeof magic ||
        (magic[0] | magic[1] << 8 | magic[2] << 16 | static_cast<std::uint32_t>(magic[3]) << 24) !=
            pcapng::SectionHeaderBlock) {
      ::close(fd);
      return nullptr;
    }
    auto records = std::make_unique<PcapngRecords>(fd);
    pending_ = records->Next(first_, why);
    if (!pending_ && !why->empty()) return nullptr;
    ended_.store(!pending_);
    return records;
  }

  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) override {
    if (bytesReturned) *bytesReturned = 0;
    // Reading the file, the common case, takes no lock: the flags only ever go from false
    // to true, and a stop that comes just after the look is seen by the next read.
    if (aborted_.load()) return false;
    if (ended_.load() || !file_) return WaitPastTheEnd();
    if (!output && size > 0) return Fail("the read request has no buffer");
    FileRecord record;
    switch (NextFrame(record, true)) {
      case Got::Frame:
        return DeliverFrame(record.data, record.length, InfoOf(record), output, size, bytesReturned);
      case Got::None:
        return !aborted_.load();  // the proper end of the file, or a stop
      case Got::Damaged:
        return false;
    }
    return false;
  }

  // The frames of the records already in memory, as views into the reader's buffer: a
  // frame costs no copy and no request of its own. The first of them may read the file.
  bool ReadBatch(FrameBatch& batch, std::uint32_t) override {
    batch.frames.clear();
    if (aborted_.load()) return false;
    if (ended_.load() || !file_) return WaitPastTheEnd();
    FileRecord record;
    Got got = NextFrame(record, true);
    if (got == Got::Damaged) return false;
    for (; got == Got::Frame; got = NextFrame(record, false)) {
      // A record of no bytes is no frame, as a single read of 0 bytes is none.
      if (record.length == 0) continue;
      batch.frames.push_back({{record.data, record.length}, InfoOf(record)});
      if (batch.frames.size() >= BatchFrames) break;
    }
    // A stop ends the read; a damaged record past the batch is met by the next read.
    return !aborted_.load() || !batch.frames.empty();
  }

  // A read past the end (or of no file) delivers nothing after a while, or ends at a stop.
  bool WaitPastTheEnd() {
    std::unique_lock lock(mutex_);
    abortChanged_.wait_for(lock, EndOfInputWait, [&] { return aborted_.load(); });
    if (aborted_.load()) return false;
    return file_ != nullptr;
  }

  static FrameInfo InfoOf(const FileRecord& record) {
    return FrameInfo{record.timestampNs, record.originalLength, record.owner ? *record.owner : nullptr,
                     record.interfaceId};
  }

  enum class Got { Frame, None, Damaged };

  // The next record the capture filter passes. None at the proper end of the file, at a
  // stop, and (without mayRead) where the next record needs a read of the file; Damaged,
  // with the reason kept, where the file ends in damage.
  Got NextFrame(FileRecord& record, bool mayRead) {
    // Records the filter passes over are skipped within the read; a stop still ends it.
    while (!aborted_.load()) {
      std::string why;
      if (pending_) {
        record = first_;
        pending_ = false;
      } else if (!mayRead) {
        if (!file_->NextInMemory(record)) return Got::None;
      } else if (!file_->Next(record, &why)) {
        if (!why.empty()) Fail("capture file " + path_ + " is damaged: " + why);
        // Set after the reason, so that whoever sees the end also finds why.
        ended_.store(true);
        return why.empty() ? Got::None : Got::Damaged;
      }
      if (filter_.Matches(record.data, record.length, record.originalLength)) return Got::Frame;
    }
    return Got::None;
  }

  // Frames in one batch at most, so that a stop is seen between batches within a few
  // milliseconds of decoding.
  static constexpr std::size_t BatchFrames = 1024;

  std::string path_;
  CaptureFilter filter_;
  std::unique_ptr<CaptureFileRecords> file_;
  FileRecord first_;  // a pcapng file's first frame, read at Bind
  bool pending_ = false;
  std::mutex mutex_;  // only for waiting on abortChanged_
  std::condition_variable abortChanged_;
  std::atomic<bool> aborted_{false};
  std::atomic<bool> ended_{false};
};

}  // namespace

void RegisterCaptureFileDevice(DeviceTable& table, std::string filePath) {
  table.Register(DriverDevicePath, [filePath = std::move(filePath)](const DeviceOpenArgs&) {
    return std::unique_ptr<PacketDevice>(std::make_unique<CaptureFileDevice>(filePath));
  });
}
