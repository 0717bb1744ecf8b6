#pragma once
// A capture file read record by record through libpcap, which knows pcap and pcapng and
// words every message about a damaged file. libpcap reads each record with two calls
// into stdio, which costs more than decoding a small frame; the records of a classic
// file are therefore cut out of large blocks of the file here, as long as they are plain:
// the frame whole (not longer than the snapshot length) and within the file. At the first
// record that is not, libpcap goes on from where that record starts, so whatever it does
// with such a record stays its own. A file that cannot seek back (a pipe) is left to
// libpcap.

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "capture/formats/pcap_format.h"

class CaptureFileReader {
 public:
  // The longest record libpcap takes as it is from a file of Ethernet frames.
  static constexpr std::uint32_t LongestRecord = 262144;

  struct Record {
    const std::uint8_t* data = nullptr;  // valid until the next call of Next
    std::uint32_t length = 0;
    std::uint32_t originalLength = 0;
    std::int64_t timestampNs = 0;
    std::uint64_t offset = 0;  // where its record starts (classic files only)
  };

  // Reads stream, which is closed with the reader (and also when opening fails). Nothing,
  // with libpcap's reason in *why, when libpcap cannot read it.
  static std::unique_ptr<CaptureFileReader> Open(std::FILE* stream, std::string* why);
  // The file at path; "-" is standard input.
  static std::unique_ptr<CaptureFileReader> Open(const std::string& path, std::string* why);
  ~CaptureFileReader();
  CaptureFileReader(const CaptureFileReader&) = delete;
  CaptureFileReader& operator=(const CaptureFileReader&) = delete;

  // The link type of the file (its first interface's for pcapng).
  int LinkType() const { return pcap_datalink(file_.get()); }
  // The next record; false at the end of the file, with *why set when it ended in damage.
  bool Next(Record& record, std::string* why);
  // The next record when it is a plain one already read: false, with nothing read, when
  // it is not. Until the next call of Next, the records taken since it all stay valid.
  bool NextInMemory(Record& record);
  // Where the next record of a classic file starts: the bytes read so far.
  std::uint64_t Position() const { return next_; }

 private:
  struct Closer {
    void operator()(pcap_t* p) const { pcap_close(p); }
  };
  CaptureFileReader(pcap_t* file, std::FILE* stream, std::unique_ptr<char[]> buffer);
  void StartPlainRecords();
  bool NextPlainRecord(Record& record);
  // The record at blockBegin_ when it is plain and wholly in the block; its size, or 0.
  std::size_t PlainRecordAt(Record& record) const;
  void TakePlainRecord(std::size_t size);
  bool FillBlock(std::size_t need);

  // Declared before file_: the stream reads into it until pcap_close.
  std::unique_ptr<char[]> readBuffer_;
  std::unique_ptr<pcap_t, Closer> file_;
  std::FILE* stream_;  // closed by pcap_close; null when libpcap opened the file itself
  std::uint32_t snapshot_ = 0;
  bool plain_ = false;  // records are cut out of block_ rather than read by libpcap
  classic_pcap::Layout layout_;
  std::uint32_t plainLimit_ = 0;
  std::uint64_t next_ = classic_pcap::FileHeaderBytes;  // where the record at blockBegin_ starts
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t blockBegin_ = 0;
  std::size_t blockEnd_ = 0;
};
