#include "capture/files/capture_file_loader.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "analysis/capture_state.h"
#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/row_store.h"
#include "capture/trace/batch_sink.h"
#include "capture/formats/capture_file_reader.h"
#include "capture/formats/capture_file_records.h"
#include "capture/formats/pcapng_format.h"
#include "capture/formats/pcapng_stream.h"

namespace {

// A file's rows come faster than a trace's: larger batches mean fewer insertions, and so
// fewer times the list lays itself out and paints, for the same rows. The age bound of a
// trace's batches still holds, so a slow disk shows rows as soon.
constexpr std::int64_t FileBatchMaxRows = 4 * BatchMaxRows;
// How much of a pcapng file is read ahead at Open to find its interfaces' link types.
constexpr std::size_t PcapngProbeBytes = 64 * 1024;

std::uint32_t Little32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// Reads exactly size bytes at offset; false on a short read or an error.
bool ReadAt(int fd, void* out, std::size_t size, std::uint64_t offset) {
  auto* at = static_cast<std::uint8_t*>(out);
  while (size > 0) {
    const ssize_t n = ::pread(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// A section header block with nothing but the byte order: what a reader needs before the
// interface blocks of a section to read that section's packets again.
std::vector<std::uint8_t> SectionHeader(bool bigEndian) {
  std::vector<std::uint8_t> bytes;
  auto put = [&](std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (bigEndian ? width - 1 - i : i);
      bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  };
  put(pcapng::SectionHeaderBlock, 4);
  put(28, 4);
  put(pcapng::ByteOrderMagic, 4);
  put(1, 2);  // version 1.0
  put(0, 2);
  put(~std::uint64_t{0}, 8);  // section length not given
  put(28, 4);
  return bytes;
}

}  // namespace

// --- the frames of an opened file -------------------------------------------------------

CaptureFileFrames::CaptureFileFrames(int fd, CaptureFileFormat format, classic_pcap::Layout layout)
    : fd_(fd), format_(format), layout_(layout) {}

void CaptureFileFrames::SetFirstPacket(std::int64_t packetNumber) {
  std::lock_guard lock(mutex_);
  firstPacket_ = packetNumber;
}

CaptureFileFrames::~CaptureFileFrames() {
  if (fd_ >= 0) ::close(fd_);
}

std::int64_t CaptureFileFrames::FrameCount() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void CaptureFileFrames::AddFrames(const std::vector<std::uint64_t>& offsets) {
  std::lock_guard lock(mutex_);
  for (std::uint64_t offset : offsets) {
    if (count_ % RunFrames == 0) runStart_.push_back(offset);
    // A run spans at most RunFrames records of at most a few hundred kilobytes each, far
    // below 4 GiB; a record past that would be one no reader took, and is not kept.
    const std::uint64_t delta = offset - runStart_.back();
    inRun_.push_back(delta <= std::numeric_limits<std::uint32_t>::max() - 1 ? static_cast<std::uint32_t>(delta)
                                                                            : std::numeric_limits<std::uint32_t>::max());
    ++count_;
  }
}

void CaptureFileFrames::AddInterface(std::span<const std::uint8_t> block, bool newSection) {
  std::lock_guard lock(mutex_);
  if (newSection || sections_.empty()) {
    Section section;
    section.firstFrame = count_;
    // The block type of an interface description reads 1 in the section's byte order.
    section.bigEndian = block.size() >= 4 && Little32(block.data()) != pcapng::InterfaceDescriptionBlock;
    section.preamble = SectionHeader(section.bigEndian);
    sections_.push_back(std::move(section));
  }
  sections_.back().preamble.insert(sections_.back().preamble.end(), block.begin(), block.end());
}

std::uint64_t CaptureFileFrames::OffsetOf(std::int64_t index) const {
  const std::uint32_t delta = inRun_[static_cast<std::size_t>(index)];
  if (delta == std::numeric_limits<std::uint32_t>::max()) return std::numeric_limits<std::uint64_t>::max();
  return runStart_[static_cast<std::size_t>(index / RunFrames)] + delta;
}

bool CaptureFileFrames::ReadFrame(std::int64_t packetNumber, StoredFrame& out) const {
  std::int64_t index = 0;
  std::uint64_t offset = 0;
  {
    std::lock_guard lock(mutex_);
    index = packetNumber - firstPacket_;
    if (index < 0 || index >= count_) return false;
    offset = OffsetOf(index);
  }
  if (offset == std::numeric_limits<std::uint64_t>::max()) return false;
  return format_ == CaptureFileFormat::Pcap ? ReadPcapRecord(offset, out) : ReadPcapngBlock(index, offset, out);
}

bool CaptureFileFrames::ReadPcapRecord(std::uint64_t offset, StoredFrame& out) const {
  std::uint8_t bytes[classic_pcap::RecordHeaderBytes];
  if (!ReadAt(fd_, bytes, sizeof bytes, offset)) return false;
  const classic_pcap::RecordHeader header = classic_pcap::ReadRecordHeader(bytes, layout_);
  const std::uint32_t captured = std::min(header.capturedLength, CaptureFileReader::LongestRecord);
  out.timestampNs = header.timestampNs;
  out.originalLength = header.originalLength;
  out.bytes.resize(captured);
  return ReadAt(fd_, out.bytes.data(), captured, offset + classic_pcap::RecordHeaderBytes);
}

bool CaptureFileFrames::ReadPcapngBlock(std::int64_t index, std::uint64_t offset, StoredFrame& out) const {
  std::lock_guard lock(mutex_);
  // The section of the frame: the last one that starts at or before it.
  auto section = std::upper_bound(sections_.begin(), sections_.end(), index,
                                  [](std::int64_t i, const Section& s) { return i < s.firstFrame; });
  if (section == sections_.begin()) return false;
  --section;
  const auto sectionIndex = static_cast<std::size_t>(section - sections_.begin());
  std::uint8_t head[8];
  if (!ReadAt(fd_, head, sizeof head, offset)) return false;
  std::uint32_t length = Little32(head + 4);
  if (section->bigEndian) length = __builtin_bswap32(length);
  if (length < 12 || length > pcapng::MaxBlockLength) return false;
  std::vector<std::uint8_t> block(length);
  if (!ReadAt(fd_, block.data(), length, offset)) return false;

  // One reader is kept for every read: it holds the section's interfaces, and it is set
  // up again only when another section is asked for or the section has gained interfaces.
  if (!reader_ || reader_->Failed() || readerSection_ != sectionIndex ||
      readerPreamble_ != section->preamble.size()) {
    reader_ = std::make_unique<PcapngStreamReader>(0);
    readerSection_ = sectionIndex;
    readerPreamble_ = section->preamble.size();
    reader_->Feed(section->preamble);
    while (reader_->Next() == PcapngStreamReader::Item::Interface) {
    }
  }
  reader_->Feed(block);
  for (;;) {
    const PcapngStreamReader::Item item = reader_->Next();
    if (item == PcapngStreamReader::Item::Packet) break;
    if (item != PcapngStreamReader::Item::Interface && item != PcapngStreamReader::Item::Statistics) return false;
  }
  const PcapngPacket& packet = reader_->Packet();
  out.timestampNs = static_cast<std::int64_t>(
      std::min<std::uint64_t>(packet.timestampNanoseconds, std::numeric_limits<std::int64_t>::max()));
  out.originalLength = packet.originalLength;
  out.interfaceId = packet.interfaceId;
  out.bytes.assign(packet.data.begin(), packet.data.end());
  return true;
}

// --- reading records --------------------------------------------------------------------

namespace {

// Whether the start of a pcapng file can be read: its interfaces are Ethernet ones. The
// reasons are the stream reader's own.
// interfaces receives those described before the first frame.
std::optional<std::string> PcapngRefusal(int fd, std::uint64_t fileBytes, std::vector<PcapngInterface>* interfaces) {
  PcapngStreamReader reader(0);
  std::vector<std::uint8_t> start(std::min<std::uint64_t>(fileBytes, PcapngProbeBytes));
  if (!ReadAt(fd, start.data(), start.size(), 0)) return std::string(std::strerror(errno ? errno : EIO));
  reader.Feed(start);
  for (;;) {
    switch (reader.Next()) {
      case PcapngStreamReader::Item::Packet:
        *interfaces = reader.Interfaces();
        return std::nullopt;
      case PcapngStreamReader::Item::Interface:
      case PcapngStreamReader::Item::Statistics:
        break;
      case PcapngStreamReader::Item::Failed:
        return reader.Failure();
      case PcapngStreamReader::Item::NeedMore:
        // The rest is read while loading; a whole file this short must end properly here.
        if (start.size() == fileBytes && !reader.Finish()) return reader.Failure();
        *interfaces = reader.Interfaces();
        return std::nullopt;
    }
  }
}

}  // namespace

// --- the loader -------------------------------------------------------------------------

CaptureFileLoader::CaptureFileLoader(std::string path, CaptureFileFormat format, std::uint64_t fileBytes,
                                     std::unique_ptr<CaptureFileRecords> records)
    : path_(std::move(path)), format_(format), fileBytes_(fileBytes), records_(std::move(records)) {}

CaptureFileLoader::~CaptureFileLoader() {
  Cancel();
  Wait();
}

std::unique_ptr<CaptureFileLoader> CaptureFileLoader::Open(const std::string& path, std::string* why) {
  auto fail = [why](std::string reason) -> std::unique_ptr<CaptureFileLoader> {
    if (why) *why = std::move(reason);
    return nullptr;
  };
  // Without waiting: a named pipe would otherwise hold the caller until a writer comes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(std::strerror(errno));
  // Owned here until a part of the loader takes it.
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } owned{fd};

  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return fail("it is a folder, not a capture file");
  // Its size tells the share read, and its frames are read again by their offsets.
  if (!S_ISREG(info.st_mode)) return fail("it is not a regular file");
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(std::strerror(errno));
  const auto fileBytes = static_cast<std::uint64_t>(info.st_size);
  if (fileBytes == 0) return fail("the file is empty");
  std::uint8_t magic[4] = {};
  if (fileBytes < sizeof magic || !ReadAt(fd, magic, sizeof magic, 0))
    return fail("the file is too short to be a capture file");
  const std::uint32_t word = Little32(magic);

  // The index reads the file through a descriptor of its own.
  const int indexFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (indexFd < 0) return fail(std::strerror(errno));
  classic_pcap::Layout layout;

  if (word == pcapng::SectionHeaderBlock) {
    std::vector<PcapngInterface> interfaces;
    if (std::optional<std::string> refusal = PcapngRefusal(fd, fileBytes, &interfaces)) {
      ::close(indexFd);
      return fail(*refusal);
    }
    auto frames = std::make_shared<CaptureFileFrames>(indexFd, CaptureFileFormat::Pcapng, layout);
    auto records = std::make_unique<PcapngRecords>(std::exchange(owned.fd, -1));
    std::unique_ptr<CaptureFileLoader> loader(
        new CaptureFileLoader(path, CaptureFileFormat::Pcapng, fileBytes, std::move(records)));
    loader->frames_ = std::move(frames);
    if (interfaces.size() > 1) {
      for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const PcapngInterface& described = interfaces[i];
        std::string name = !described.name.empty()          ? described.name
                           : !described.description.empty() ? described.description
                                                             : "interface " + std::to_string(i);
        loader->interfaces_.push_back({std::move(name), described.description, described.macAddress.value_or(
                                                                                     std::array<std::uint8_t, 6>{})});
        loader->described_.push_back(described.macAddress.has_value());
      }
    }
    return loader;
  }

  const std::optional<classic_pcap::Layout> classic = classic_pcap::LayoutOf(word);
  if (!classic) {
    ::close(indexFd);
    return fail("it is not a pcap or pcapng capture file");
  }
  auto frames = std::make_shared<CaptureFileFrames>(indexFd, CaptureFileFormat::Pcap, *classic);

  std::FILE* stream = ::fdopen(owned.fd, "rb");
  if (!stream) return fail(std::strerror(errno));
  owned.fd = -1;  // the stream has it now
  std::string unreadable;
  std::unique_ptr<CaptureFileReader> file = CaptureFileReader::Open(stream, &unreadable);
  if (!file) return fail(unreadable);
  const int link = file->LinkType();
  if (link != DLT_EN10MB) {
    const char* name = pcap_datalink_val_to_description_or_dlt(link);
    return fail(std::string("its link type is ") + (name ? name : std::to_string(link)) +
                "; only files of Ethernet frames can be shown");
  }
  auto records = std::make_unique<PcapRecords>(std::move(file));
  std::unique_ptr<CaptureFileLoader> loader(
      new CaptureFileLoader(path, CaptureFileFormat::Pcap, fileBytes, std::move(records)));
  loader->frames_ = std::move(frames);
  return loader;
}

void CaptureFileLoader::Start(const ColumnSet& columns, const std::array<std::uint8_t, 6>& fallbackMac,
                              BatchSink& sink) {
  if (thread_.joinable() || finished_.load()) return;
  frames_->SetFirstPacket(sink.RowCount());
  thread_ = std::thread([this, columns, fallbackMac, &sink] {
    pthread_setname_np(pthread_self(), "file loader");  // as top -H and a profiler show it
    Run(columns, fallbackMac, &sink);
  });
}

std::vector<TraceInterface> CaptureFileLoader::TraceInterfaces(const std::array<std::uint8_t, 6>& fallbackMac) const {
  std::vector<TraceInterface> described;
  for (std::size_t i = 0; i < interfaces_.size(); ++i)
    described.push_back({.name = interfaces_[i].name, .description = interfaces_[i].description,
                         .mac = described_[i] ? interfaces_[i].mac : fallbackMac});
  return described;
}

void CaptureFileLoader::Cancel() { cancel_.store(true); }

void CaptureFileLoader::Wait() {
  if (thread_.joinable()) thread_.join();
}

void CaptureFileLoader::Run(ColumnSet columns, std::array<std::uint8_t, 6> fallbackMac, BatchSink* sink) {
  // A state of the load's own: the file's counters, connections and station address are
  // not the session's, and nothing here is shared with the user-interface thread.
  auto state = std::make_unique<CaptureState>();
  state->columns = columns;
  state->adapterMac = fallbackMac;
  // A file of several interfaces names each frame's and decides its direction by it.
  state->interfaces = TraceInterfaces(fallbackMac);
  std::int64_t packetNumber = sink->RowCount();
  RowStore rows(columns);
  RowBuilder builder(rows);
  std::vector<std::uint64_t> offsets;  // of the frames decoded and not yet indexed
  offsets.reserve(FileBatchMaxRows);
  std::int64_t pending = 0;  // rows decoded since the last batch
  auto batchStart = std::chrono::steady_clock::now();

  auto deliver = [&] {
    // The offsets first: a row in the list always finds its frame.
    frames_->AddFrames(offsets);
    offsets.clear();
    pending = 0;
    RowStore batch = std::exchange(rows, RowStore(columns));
    builder.Retarget(rows);
    const TrafficCounters counters = TrafficCounters::Of(*state);
    bytesRead_.store(records_->Position(), std::memory_order_relaxed);
    sink->DeliverBatch(std::move(batch), counters);
  };

  // A section's interfaces belong to the frames after them: the offsets so far go first.
  records_->interfaceFound = [&](std::span<const std::uint8_t> block, bool newSection) {
    frames_->AddFrames(offsets);
    offsets.clear();
    frames_->AddInterface(block, newSection);
  };

  std::string why;
  FileRecord record;
  while (!cancel_.load(std::memory_order_relaxed) && records_->Next(record, &why)) {
    // A frame longer than the frame buffer is cut as a live adapter cuts it.
    const auto length = std::min<std::uint32_t>(record.length, FrameBufferSize);
    if (length == 0) continue;  // no row, as for an empty read
    state->adapterMac = record.mac ? *record.mac : fallbackMac;
    state->frameTimestampNs = record.timestampNs;
    state->frameOriginalLength = record.originalLength;
    if (record.owner) {
      state->frameOwner = *record.owner;
    } else {
      state->frameOwner.reset();
    }
    state->frameInterface = record.interfaceId;
    DecodeFrame(packetNumber, record.data, length, builder, *state);
    ++packetNumber;
    offsets.push_back(record.offset);
    if (++pending == 1) batchStart = std::chrono::steady_clock::now();
    if (pending >= FileBatchMaxRows || ((pending & 63) == 0 && std::chrono::steady_clock::now() - batchStart >= BatchMaxAge))
      deliver();
  }
  // As at the end of a trace: the last rows with their counters, then no live connections.
  if (pending > 0) deliver();
  ClearConnections(*state);
  if (!cancel_.load()) damage_ = why;
  deliver();
  bytesRead_.store(damage_.empty() && !cancel_.load() ? fileBytes_ : records_->Position());
  finished_.store(true, std::memory_order_release);
}
