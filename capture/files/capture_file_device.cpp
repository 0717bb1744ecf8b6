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
    if (ended_.load() || !file_) {
      std::unique_lock lock(mutex_);
      abortChanged_.wait_for(lock, EndOfInputWait, [&] { return aborted_.load(); });
      if (aborted_.load()) return false;
      return file_ != nullptr;
    }
    if (!output && size > 0) return Fail("the read request has no buffer");
    // Records the filter passes over are skipped within the read; a stop still ends it.
    while (!aborted_.load()) {
      FileRecord record;
      std::string why;
      if (pending_) {
        record = first_;
        pending_ = false;
      } else if (!file_->Next(record, &why)) {
        if (!why.empty()) Fail("capture file " + path_ + " is damaged: " + why);
        // Set after the reason, so that whoever sees the end also finds why.
        ended_.store(true);
        return why.empty();  // the proper end of the file, or damage
      }
      if (filter_.Matches(record.data, record.length, record.originalLength))
        return DeliverFrame(record.data, record.length,
                            FrameInfo{record.timestampNs, record.originalLength, record.owner ? *record.owner : nullptr,
                                      record.interfaceId},
                            output, size, bytesReturned);
    }
    return false;
  }

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
