#include "capture/files/capture_file_device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "capture/devices/capture_filter.h"
#include "capture/driver/device_base.h"
#include "capture/formats/capture_file_reader.h"

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

  void Unbind() override { file_.reset(); }

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
    std::unique_ptr<CaptureFileReader> file = CaptureFileReader::Open(path_, &why);
    if (!file) return Fail("cannot read capture file " + path_ + ": " + why);
    int link = file->LinkType();
    if (link != DLT_EN10MB) {
      const char* name = pcap_datalink_val_to_name(link);
      return Fail("capture file " + path_ + " does not hold Ethernet frames (link type " +
                  (name ? name : std::to_string(link)) + ")");
    }
    file_ = std::move(file);
    return true;
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
      CaptureFileReader::Record record;
      std::string why;
      if (!file_->Next(record, &why)) {
        if (!why.empty()) Fail("capture file " + path_ + " is damaged: " + why);
        // Set after the reason, so that whoever sees the end also finds why.
        ended_.store(true);
        return why.empty();  // the proper end of the file, or damage
      }
      if (filter_.Matches(record.data, record.length, record.originalLength))
        return DeliverFrame(record.data, record.length, FrameInfo{record.timestampNs, record.originalLength}, output,
                            size, bytesReturned);
    }
    return false;
  }

  std::string path_;
  CaptureFilter filter_;
  std::unique_ptr<CaptureFileReader> file_;
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
