#include "capture/files/capture_file_device.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

#include "capture/devices/capture_filter.h"
#include "capture/driver/device_base.h"

namespace {

// How long a read past the end waits before it delivers 0 bytes: as long as the live
// device's read timeout, so a reader that goes on reading does not spin.
constexpr std::chrono::milliseconds EndOfInputWait{50};
// The file is read through a buffer this large rather than stdio's few kilobytes: a
// capture of small frames otherwise costs a system call per few dozen frames.
constexpr std::size_t ReadBufferBytes = 1 << 20;
// Plain records are cut out of blocks of the file this large (see NextPlainRecord).
constexpr std::size_t RecordBlockBytes = 2 << 20;
// A classic capture file's header and the header of each of its records.
constexpr long FileHeaderBytes = 24;
constexpr std::size_t RecordHeaderBytes = 16;
// The longest record libpcap takes as it is from a file of Ethernet frames.
constexpr std::uint32_t LongestPlainRecord = 262144;

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
    plain_ = false;
    file_.reset();
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
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    PcapHandle file = OpenBuffered(errbuf);
    if (!file) return Fail("cannot read capture file " + path_ + ": " + errbuf);
    int link = pcap_datalink(file.get());
    if (link != DLT_EN10MB) {
      const char* name = pcap_datalink_val_to_name(link);
      return Fail("capture file " + path_ + " does not hold Ethernet frames (link type " +
                  (name ? name : std::to_string(link)) + ")");
    }
    file_ = std::move(file);
    return true;
  }

  // The file opened by hand with a large read buffer; "-" (standard input) and a file
  // fopen cannot open go through pcap_open_offline, which words the error as usual.
  PcapHandle OpenBuffered(char* errbuf) {
    if (path_ != "-") {
      if (std::FILE* stream = std::fopen(path_.c_str(), "rb")) {
        auto buffer = std::make_unique_for_overwrite<char[]>(ReadBufferBytes);
        std::setvbuf(stream, buffer.get(), _IOFBF, ReadBufferBytes);
        PcapHandle file(pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, errbuf));
        if (!file) {
          std::fclose(stream);  // not taken over by a failed pcap_fopen_offline
          return file;
        }
        // A second Bind is refused while a file is open, so the buffer in use stays.
        readBuffer_ = std::move(buffer);
        StartPlainRecords(stream, file.get());
        return file;
      }
    }
    return PcapHandle(pcap_open_offline_with_tstamp_precision(path_.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf));
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
      const std::uint8_t* frame = nullptr;
      std::uint32_t length = 0, wireLength = 0;
      std::int64_t timestampNs = 0;
      if (plain_ && !NextPlainRecord(frame, length, wireLength, timestampNs) && !ResumeWithLibpcap()) {
        Fail("cannot read capture file " + path_ + ": " + std::strerror(errno));
        ended_.store(true);  // after the reason, so that whoever sees the end also finds why
        return false;
      }
      if (!plain_) {
        struct pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int status = pcap_next_ex(file_.get(), &header, &data);
        if (status != 1) {
          if (status != PCAP_ERROR_BREAK) Fail("capture file " + path_ + " is damaged: " + pcap_geterr(file_.get()));
          // Set after the reason, so that whoever sees the end also finds why.
          ended_.store(true);
          return status == PCAP_ERROR_BREAK;  // the proper end of the file, or damage
        }
        frame = data;
        length = header->caplen;
        wireLength = header->len;
        // Opened at nanosecond precision: tv_usec holds nanoseconds.
        timestampNs = std::int64_t{header->ts.tv_sec} * 1'000'000'000 + header->ts.tv_usec;
      }
      if (filter_.Matches(frame, length, wireLength))
        return DeliverFrame(frame, length, FrameInfo{timestampNs, wireLength}, output, size, bytesReturned);
    }
    return false;
  }

  // libpcap reads every record with two calls into stdio, which costs more than decoding
  // a small frame. The records of a classic capture file (microsecond or nanosecond,
  // either byte order) are therefore cut out of large blocks of the file here, as long
  // as they are plain: the frame whole (not longer than the snapshot length) and within
  // the file. At the first record that is not, libpcap goes on from where that record
  // starts, so whatever it does with such a record, and every message about a damaged
  // file, stays its own. A file that cannot seek back (a pipe) is left to libpcap.
  void StartPlainRecords(std::FILE* stream, pcap_t* file) {
    plain_ = false;
    unsigned char magic[4] = {};
    if (pread(fileno(stream), magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic)) return;
    const std::uint32_t m = std::uint32_t{magic[0]} | std::uint32_t{magic[1]} << 8 |
                            std::uint32_t{magic[2]} << 16 | std::uint32_t{magic[3]} << 24;
    const bool classic = m == 0xA1B2C3D4u || m == 0xD4C3B2A1u || m == 0xA1B23C4Du || m == 0x4D3CB2A1u;
    if (!classic || pcap_major_version(file) != 2 || pcap_minor_version(file) != 4) return;
    if (std::ftell(stream) != FileHeaderBytes) return;
    const int snapshot = pcap_snapshot(file);
    if (snapshot <= 0) return;
    stream_ = stream;
    swapped_ = pcap_is_swapped(file) == 1;
    nanosecondRecords_ = m == 0xA1B23C4Du || m == 0x4D3CB2A1u;
    plainLimit_ = std::min(static_cast<std::uint32_t>(snapshot), LongestPlainRecord);
    nextRecord_ = FileHeaderBytes;
    if (!block_) block_ = std::make_unique_for_overwrite<std::uint8_t[]>(RecordBlockBytes);
    blockBegin_ = blockEnd_ = 0;
    plain_ = true;
  }

  // The next record's frame when it is plain; false when it is not (or the file ends).
  bool NextPlainRecord(const std::uint8_t*& frame, std::uint32_t& length, std::uint32_t& wireLength,
                       std::int64_t& timestampNs) {
    if (blockEnd_ - blockBegin_ < RecordHeaderBytes && !FillBlock(RecordHeaderBytes)) return false;
    std::uint32_t seconds, fraction, caplen, len;
    std::memcpy(&seconds, block_.get() + blockBegin_, sizeof seconds);
    std::memcpy(&fraction, block_.get() + blockBegin_ + 4, sizeof fraction);
    std::memcpy(&caplen, block_.get() + blockBegin_ + 8, sizeof caplen);
    std::memcpy(&len, block_.get() + blockBegin_ + 12, sizeof len);
    if (swapped_) {
      seconds = __builtin_bswap32(seconds);
      fraction = __builtin_bswap32(fraction);
      caplen = __builtin_bswap32(caplen);
      len = __builtin_bswap32(len);
    }
    timestampNs = std::int64_t{seconds} * 1'000'000'000 + std::int64_t{fraction} * (nanosecondRecords_ ? 1 : 1000);
    if (caplen > plainLimit_) return false;
    const std::size_t record = RecordHeaderBytes + caplen;
    if (blockEnd_ - blockBegin_ < record && !FillBlock(record)) return false;
    frame = block_.get() + blockBegin_ + RecordHeaderBytes;
    length = caplen;
    wireLength = len;
    blockBegin_ += record;
    nextRecord_ += static_cast<off_t>(record);
    return true;
  }

  // At least need bytes from blockBegin_ on, the rest of the block moved to its start.
  bool FillBlock(std::size_t need) {
    const std::size_t kept = blockEnd_ - blockBegin_;
    if (kept != 0 && blockBegin_ != 0) std::memmove(block_.get(), block_.get() + blockBegin_, kept);
    blockBegin_ = 0;
    blockEnd_ = kept;
    while (blockEnd_ < need) {
      const std::size_t n = std::fread(block_.get() + blockEnd_, 1, RecordBlockBytes - blockEnd_, stream_);
      if (n == 0) break;
      blockEnd_ += n;
    }
    return blockEnd_ >= need;
  }

  // Hands the file to libpcap at the record not taken; false when the file cannot seek.
  bool ResumeWithLibpcap() {
    plain_ = false;
    return fseeko(stream_, nextRecord_, SEEK_SET) == 0;
  }

  std::string path_;
  CaptureFilter filter_;
  bool plain_ = false;  // records are cut out of block_ rather than read by libpcap
  std::FILE* stream_ = nullptr;
  bool swapped_ = false;
  bool nanosecondRecords_ = false;  // the file's magic number says nanoseconds, not microseconds
  std::uint32_t plainLimit_ = 0;
  off_t nextRecord_ = 0;  // where in the file the record at blockBegin_ starts
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t blockBegin_ = 0;
  std::size_t blockEnd_ = 0;
  // Declared before file_: the stream reads into it until pcap_close.
  std::unique_ptr<char[]> readBuffer_;
  PcapHandle file_;
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
