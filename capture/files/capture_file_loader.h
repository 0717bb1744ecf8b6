#pragma once
// Opening a pcap or pcapng file for the window: its records are decoded on a thread of
// their own into batches of rows, exactly as a trace's frames are (decoder, connection
// tracker, counters), while the user-interface thread stays free. Each row's frame can
// be read again through the file's FrameSource, an index of where its record starts.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/columns.h"
#include "analysis/frame_source.h"
#include "capture/formats/frame_file.h"
#include "capture/formats/pcap_format.h"

class BatchSink;
class CaptureFileRecords;
class PcapngStreamReader;

enum class CaptureFileFormat { Pcap, Pcapng };

// The frames of an opened file, found by packet number through the offsets of their
// records: 4 bytes a frame (an offset within a run of frames) plus 8 per run.
class CaptureFileFrames : public FrameSource {
 public:
  // fd is owned from now on; layout is how a classic file's record headers read.
  CaptureFileFrames(int fd, CaptureFileFormat format, classic_pcap::Layout layout);
  ~CaptureFileFrames() override;
  CaptureFileFrames(const CaptureFileFrames&) = delete;
  CaptureFileFrames& operator=(const CaptureFileFrames&) = delete;

  bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override;
  // Frames whose offsets are known.
  std::int64_t FrameCount() const;

  // The loader's side: the packet number of the file's first frame; the offsets of the next frames, in order; and, for pcapng, a new
  // interface's description block (its first in a section starts the section's list).
  void SetFirstPacket(std::int64_t packetNumber);
  void AddFrames(const std::vector<std::uint64_t>& offsets);
  void AddInterface(std::span<const std::uint8_t> block, bool newSection);

 private:
  static constexpr std::int64_t RunFrames = 4096;
  struct Section {
    std::int64_t firstFrame = 0;
    bool bigEndian = false;
    std::vector<std::uint8_t> preamble;  // a section header and the interface blocks
  };
  bool ReadPcapRecord(std::uint64_t offset, StoredFrame& out) const;
  bool ReadPcapngBlock(std::int64_t index, std::uint64_t offset, StoredFrame& out) const;
  std::uint64_t OffsetOf(std::int64_t index) const;  // with mutex_ held

  int fd_;
  CaptureFileFormat format_;
  classic_pcap::Layout layout_;
  std::int64_t firstPacket_ = 0;
  mutable std::mutex mutex_;
  std::int64_t count_ = 0;
  std::vector<std::uint64_t> runStart_;  // the offset of each run's first frame
  std::vector<std::uint32_t> inRun_;     // each frame's offset from its run's start
  std::vector<Section> sections_;
  // Read again with the reader that read the file, fed its section's header once.
  mutable std::unique_ptr<PcapngStreamReader> reader_;
  mutable std::size_t readerSection_ = 0;
  mutable std::size_t readerPreamble_ = 0;
};

class CaptureFileLoader {
 public:
  // Opens path and checks that it is a pcap or pcapng file of Ethernet frames. Null, with
  // a reason a user can read in *why, when it cannot be read, is empty, is not a capture
  // file or holds another link type.
  static std::unique_ptr<CaptureFileLoader> Open(const std::string& path, std::string* why);
  // Cancels a load still running and waits for its thread.
  ~CaptureFileLoader();
  CaptureFileLoader(const CaptureFileLoader&) = delete;
  CaptureFileLoader& operator=(const CaptureFileLoader&) = delete;

  // Starts the thread. Rows have the shown columns of columns and packet numbers from
  // sink.RowCount() on; direction is decided by the interface's address where the file
  // gives one, else by fallbackMac. The counters count this file's frames alone.
  void Start(const ColumnSet& columns, const std::array<std::uint8_t, 6>& fallbackMac, BatchSink& sink);
  // Asks the thread to end after the frame it is on; the rows decoded so far are delivered.
  void Cancel();
  // The thread has delivered its last batch.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Waits for the thread to end.
  void Wait();

  std::uint64_t FileBytes() const { return fileBytes_; }
  // Bytes read so far: the share read is BytesRead() / FileBytes().
  std::uint64_t BytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }
  // Once finished: why the file ended early (its damage), empty when it was read whole
  // or the load was cancelled.
  const std::string& Damage() const { return damage_; }
  bool Cancelled() const { return cancel_.load(); }
  CaptureFileFormat Format() const { return format_; }
  std::shared_ptr<const CaptureFileFrames> Frames() const { return frames_; }
  // The interfaces of a pcapng file that describes several before its first frame (its
  // rows then have an Interface cell, and direction is each one's); none otherwise.
  const std::vector<frame_file::FileInterface>& Interfaces() const { return interfaces_; }
  // The same as the rows name them and decide direction by: an interface that gives no
  // address takes fallbackMac.
  std::vector<TraceInterface> TraceInterfaces(const std::array<std::uint8_t, 6>& fallbackMac) const;

 private:
  CaptureFileLoader(std::string path, CaptureFileFormat format, std::uint64_t fileBytes,
                    std::unique_ptr<CaptureFileRecords> records);
  void Run(ColumnSet columns, std::array<std::uint8_t, 6> fallbackMac, BatchSink* sink);

  std::string path_;
  CaptureFileFormat format_;
  std::uint64_t fileBytes_;
  std::unique_ptr<CaptureFileRecords> records_;
  std::shared_ptr<CaptureFileFrames> frames_;
  std::atomic<std::uint64_t> bytesRead_{0};
  std::atomic<bool> cancel_{false};
  std::atomic<bool> finished_{false};
  std::string damage_;  // written by the thread before finished_
  std::vector<frame_file::FileInterface> interfaces_;
  std::vector<bool> described_;  // whether each interface gave its MAC address
  std::thread thread_;
};
