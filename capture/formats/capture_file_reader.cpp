#include "capture/formats/capture_file_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "analysis/frame_source.h"

namespace {

// The file is read through a buffer this large rather than stdio's few kilobytes: a
// capture of small frames otherwise costs a system call per few dozen frames.
constexpr std::size_t ReadBufferBytes = 1 << 20;
// Plain records are cut out of blocks of the file this large.
constexpr std::size_t RecordBlockBytes = 2 << 20;

// libpcap's time of a record, opened at nanosecond precision (tv_usec holds nanoseconds).
// A pcapng stamp counts 64 bits of its interface's units, which reach far past what
// nanoseconds in 64 bits hold (the year 2262): such a time is taken as the latest (or
// earliest) one there is, as the pcapng stream reader takes it.
std::int64_t Nanoseconds(const timeval& ts) {
  std::int64_t ns = 0;
  if (__builtin_mul_overflow(std::int64_t{ts.tv_sec}, 1'000'000'000, &ns) ||
      __builtin_add_overflow(ns, std::int64_t{ts.tv_usec}, &ns) || ns == TimeNotKnown)
    return ts.tv_sec < 0 ? TimeNotKnown + 1 : std::numeric_limits<std::int64_t>::max();
  return ns;
}

}  // namespace

std::unique_ptr<CaptureFileReader> CaptureFileReader::Open(std::FILE* stream, std::string* why) {
  auto buffer = std::make_unique_for_overwrite<char[]>(ReadBufferBytes);
  std::setvbuf(stream, buffer.get(), _IOFBF, ReadBufferBytes);
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* file = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, errbuf);
  if (!file) {
    std::fclose(stream);  // not taken over by a failed open
    *why = errbuf;
    return nullptr;
  }
  return std::unique_ptr<CaptureFileReader>(new CaptureFileReader(file, stream, std::move(buffer)));
}

std::unique_ptr<CaptureFileReader> CaptureFileReader::Open(const std::string& path, std::string* why) {
  // A file fopen cannot open goes to libpcap too, which words the error as usual.
  if (path != "-") {
    if (std::FILE* stream = std::fopen(path.c_str(), "rb")) return Open(stream, why);
    // A FIFO without a writer waits in the open; an interruption there ends the wait,
    // and is not followed by a second open that would wait again.
    if (errno == EINTR) {
      *why = path + ": " + std::strerror(EINTR);
      return nullptr;
    }
  }
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* file = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
  if (!file) {
    *why = errbuf;
    return nullptr;
  }
  return std::unique_ptr<CaptureFileReader>(new CaptureFileReader(file, nullptr, nullptr));
}

CaptureFileReader::CaptureFileReader(pcap_t* file, std::FILE* stream, std::unique_ptr<char[]> buffer)
    : readBuffer_(std::move(buffer)), file_(file), stream_(stream) {
  snapshot_ = static_cast<std::uint32_t>(std::max(pcap_snapshot(file), 0));
  StartPlainRecords();
}

CaptureFileReader::~CaptureFileReader() = default;

void CaptureFileReader::StartPlainRecords() {
  if (!stream_) return;
  std::uint8_t magic[4] = {};
  if (pread(fileno(stream_), magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic)) return;
  const std::optional<classic_pcap::Layout> layout = classic_pcap::LayoutOf(
      std::uint32_t{magic[0]} | std::uint32_t{magic[1]} << 8 | std::uint32_t{magic[2]} << 16 | std::uint32_t{magic[3]} << 24);
  if (!layout || pcap_major_version(file_.get()) != classic_pcap::VersionMajor ||
      pcap_minor_version(file_.get()) != classic_pcap::VersionMinor)
    return;
  if (std::ftell(stream_) != static_cast<long>(classic_pcap::FileHeaderBytes) || snapshot_ == 0) return;
  layout_ = *layout;
  plainLimit_ = std::min(snapshot_, LongestRecord);
  block_ = std::make_unique_for_overwrite<std::uint8_t[]>(RecordBlockBytes);
  plain_ = true;
}

bool CaptureFileReader::Next(Record& record, std::string* why) {
  if (plain_) {
    if (NextPlainRecord(record)) return true;
    // libpcap goes on at the record not taken.
    plain_ = false;
    if (fseeko(stream_, static_cast<off_t>(next_), SEEK_SET) != 0) {
      *why = std::strerror(errno);
      return false;
    }
  }
  struct pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  const int status = pcap_next_ex(file_.get(), &header, &data);
  if (status != 1) {
    if (status != PCAP_ERROR_BREAK) {
      *why = pcap_geterr(file_.get());
      if (why->empty()) *why = "a record cannot be read";
    }
    return false;
  }
  record.data = data;
  record.length = header->caplen;
  record.originalLength = header->len;
  record.timestampNs = Nanoseconds(header->ts);
  record.offset = next_;
  // libpcap cuts a record longer than the snapshot length to it and skips the rest; only
  // then does the file's position have to be asked.
  if (header->caplen < snapshot_ || !stream_) {
    next_ += classic_pcap::RecordHeaderBytes + header->caplen;
  } else {
    const off_t at = ftello(stream_);
    next_ = at >= 0 ? static_cast<std::uint64_t>(at) : next_ + classic_pcap::RecordHeaderBytes + header->caplen;
  }
  return true;
}

bool CaptureFileReader::NextInMemory(Record& record) {
  if (!plain_) return false;
  const std::size_t size = PlainRecordAt(record);
  if (size == 0) return false;
  TakePlainRecord(size);
  return true;
}

bool CaptureFileReader::NextPlainRecord(Record& record) {
  if (blockEnd_ - blockBegin_ < classic_pcap::RecordHeaderBytes && !FillBlock(classic_pcap::RecordHeaderBytes)) return false;
  const classic_pcap::RecordHeader header = classic_pcap::ReadRecordHeader(block_.get() + blockBegin_, layout_);
  if (header.capturedLength > plainLimit_) return false;
  const std::size_t size = classic_pcap::RecordHeaderBytes + header.capturedLength;
  if (blockEnd_ - blockBegin_ < size && !FillBlock(size)) return false;
  TakePlainRecord(PlainRecordAt(record));
  return true;
}

std::size_t CaptureFileReader::PlainRecordAt(Record& record) const {
  const std::size_t held = blockEnd_ - blockBegin_;
  if (held < classic_pcap::RecordHeaderBytes) return 0;
  const classic_pcap::RecordHeader header = classic_pcap::ReadRecordHeader(block_.get() + blockBegin_, layout_);
  const std::size_t size = classic_pcap::RecordHeaderBytes + header.capturedLength;
  if (header.capturedLength > plainLimit_ || held < size) return 0;
  record.data = block_.get() + blockBegin_ + classic_pcap::RecordHeaderBytes;
  record.length = header.capturedLength;
  record.originalLength = header.originalLength;
  record.timestampNs = header.timestampNs;
  record.offset = next_;
  return size;
}

void CaptureFileReader::TakePlainRecord(std::size_t size) {
  blockBegin_ += size;
  next_ += size;
}

// At least need bytes from blockBegin_ on, the rest of the block moved to its start. Read
// from the descriptor at the block's own place in the file rather than through the stream,
// whose buffer would only be one more copy of every byte; the stream's position is set
// anew when libpcap takes over.
bool CaptureFileReader::FillBlock(std::size_t need) {
  const std::size_t kept = blockEnd_ - blockBegin_;
  if (kept != 0 && blockBegin_ != 0) std::memmove(block_.get(), block_.get() + blockBegin_, kept);
  blockBegin_ = 0;
  blockEnd_ = kept;
  const int fd = fileno(stream_);
  while (blockEnd_ < need) {
    const ssize_t n = ::pread(fd, block_.get() + blockEnd_, RecordBlockBytes - blockEnd_,
                              static_cast<off_t>(next_ + blockEnd_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    blockEnd_ += static_cast<std::size_t>(n);
  }
  return blockEnd_ >= need;
}
