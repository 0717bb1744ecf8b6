#pragma once
// The records of a capture file, one format's way: a classic file through the capture file
// reader (libpcap), a pcapng file through the stream reader that reads the capture agent's
// stream, so that its owner blocks and interfaces are read as a live trace's are. The
// window's file loader and the capture-file device of orrisvane-dump read files through
// these.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "analysis/process_owner.h"
#include "capture/formats/capture_file_reader.h"
#include "capture/formats/pcapng_stream.h"

struct FileRecord {
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  std::int64_t timestampNs = 0;
  std::uint32_t originalLength = 0;  // on the wire; 0: not known
  std::uint64_t offset = 0;  // where its record (pcap) or block (pcapng) starts
  const std::array<std::uint8_t, 6>* mac = nullptr;  // the interface's address, when given
  const std::shared_ptr<const ProcessOwner>* owner = nullptr;  // the socket's owner, when the file names one
  std::uint32_t interfaceId = 0;  // pcapng's
};

// The records of a file, one format's way.
class CaptureFileRecords {
 public:
  virtual ~CaptureFileRecords() = default;
  // The next record; false at the end of the file, with *why set when it ended in damage.
  virtual bool Next(FileRecord& record, std::string* why) = 0;
  // The next record when it is already in memory: false, with nothing read and nothing
  // set, when it needs a read of the file (or is not there). Until the next call of Next,
  // the records taken since it all stay valid, so that a reader can use them together.
  virtual bool NextInMemory(FileRecord& record) = 0;
  // Bytes of the file read so far.
  virtual std::uint64_t Position() const = 0;
  // Told of each interface description of a pcapng file as it is read: its block, and
  // whether it is the first of a section.
  std::function<void(std::span<const std::uint8_t> block, bool newSection)> interfaceFound;
};

// A classic file, read as the capture-file device reads it.
class PcapRecords : public CaptureFileRecords {
 public:
  explicit PcapRecords(std::unique_ptr<CaptureFileReader> file) : file_(std::move(file)) {}
  bool Next(FileRecord& record, std::string* why) override;
  bool NextInMemory(FileRecord& record) override;
  std::uint64_t Position() const override { return file_->Position(); }

 private:
  std::unique_ptr<CaptureFileReader> file_;
};

// A pcapng file (or the start of one) read from fd, which is closed with the records.
class PcapngRecords : public CaptureFileRecords {
 public:
  explicit PcapngRecords(int fd) : fd_(fd) {}
  ~PcapngRecords() override;
  PcapngRecords(const PcapngRecords&) = delete;
  PcapngRecords& operator=(const PcapngRecords&) = delete;
  bool Next(FileRecord& record, std::string* why) override;
  bool NextInMemory(FileRecord& record) override;
  std::uint64_t Position() const override { return read_ - reader_.Pending(); }

 private:
  bool Take(FileRecord& record, std::string* why, bool mayRead);

  // Small frames would otherwise cost a system call every few dozen records.
  static constexpr std::size_t ReadBufferBytes = 1 << 20;
  int fd_;
  PcapngStreamReader reader_{ReadBufferBytes};
  std::uint64_t read_ = 0;
  bool ended_ = false;
};
