#pragma once
// The spool: every frame of a trace, as delivered and with its time, kept on disk so that
// a listed row's bytes can be read again (details, saving frames). One spool per list of
// rows, from the first Start to Clear; it is a ring of pcapng files in the spool folder,
// and past its limit the oldest file leaves. Frames are gathered in memory on the capture
// thread and written by a thread of the spool's own; a write that fails
// (the disk is full) loses bytes only, and is told once.
//
// The spool folder holds one lock file per running program; spools of a program that
// ended without removing them (it died) are removed by the next program that opens the
// folder, never those of one that still runs.

#include <sys/types.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analysis/frame_source.h"
#include "capture/formats/frame_file.h"
#include "capture/spool/mapped_buffer.h"
#include "capture/spool/frame_recorder.h"

inline constexpr std::uint64_t DefaultSpoolLimitBytes = std::uint64_t{4} << 30;
// The smallest limit taken: a few files of a few frames each.
inline constexpr std::uint64_t MinimumSpoolLimitBytes = std::uint64_t{1} << 20;

// Writing to the page cache costs far more per byte in a write every few tens of
// milliseconds (a woken thread, cold caches, the file system's fixed cost per call) than
// in a few large ones: the writer lets published frames gather this long, or up to this
// many bytes, and writes them with one call.
inline constexpr std::chrono::milliseconds DefaultSpoolGather{250};
inline constexpr std::size_t WriteBatchBytes = 1 << 20;

// $XDG_CACHE_HOME/orrisvane, or else ~/.cache/orrisvane; without a home folder
// $XDG_RUNTIME_DIR/orrisvane, and without that nothing (empty): no spool.
std::string DefaultSpoolFolder();

struct SpoolOptions {
  std::uint64_t limitBytes = DefaultSpoolLimitBytes;
  // One file of the ring; 0: an eighth of the limit.
  std::uint64_t fileBytes = 0;
  // The bytes the folder's file system has free for this user, asked whenever a file is
  // started (the spool stays below what it holds plus most of them); nothing when unknown.
  // Empty: asked of the file system.
  std::function<std::optional<std::uint64_t>(const std::string& folder)> freeBytes;
  // Removes a file of the ring from disk, on the writer's thread; empty: unlink.
  std::function<void(const std::string& path)> removeFile;
  // The time the writer counts its pieces by (how large the pool of buffers grows); empty:
  // the steady clock.
  std::function<std::chrono::steady_clock::time_point()> now;
  // How long published frames may wait in memory for more to be written with them, unless
  // a look-up or WaitWritten wants them or a batch of WriteBatchBytes has gathered.
  std::chrono::milliseconds gather = DefaultSpoolGather;
};

class Spool;

class SpoolFolder {
 public:
  // Makes the folder when needed (mode 0700), takes this program's lock file in it and
  // removes the spools of programs that no longer hold theirs. Nothing, with the reason,
  // when the folder cannot be made or locked, when the path is empty, or when the folder
  // belongs to another user or others may write to it.
  static std::unique_ptr<SpoolFolder> Open(const std::string& path, std::string* why);
  // Gives the lock file up; the spools made here must be gone first.
  ~SpoolFolder();
  SpoolFolder(const SpoolFolder&) = delete;
  SpoolFolder& operator=(const SpoolFolder&) = delete;

  const std::string& Path() const { return path_; }
  // A new, empty spool in this folder.
  std::unique_ptr<Spool> NewSpool(const SpoolOptions& options);

 private:
  SpoolFolder(std::string path, int folderFd, std::string token, int lockFd);

  std::string path_;
  int folderFd_;  // every file of the folder is reached through it
  std::string token_;  // this program's: its lock file and its spools' names start with it
  int lockFd_;
  int spools_ = 0;
};

class Spool : public FrameRecorder, public FrameSource {
 public:
  // Files are named prefix + "-" + a number + "-" + random digits + ".pcapng", made in the
  // folder (opened by path, or the descriptor of an open one) and nowhere else.
  Spool(std::string folder, std::string prefix, const SpoolOptions& options);
  Spool(int folderFd, std::string folder, std::string prefix, const SpoolOptions& options);
  // Stops the writer and removes every file of the spool.
  ~Spool() override;
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // FrameRecorder: the capture thread's side.
  void Record(std::int64_t packetNumber, const FrameInfo& info, const std::uint8_t* bytes,
              std::uint32_t length) override;
  void Publish() override;
  std::optional<std::string> TakeFailure() override;

  // The adapters of the next trace, when it takes several (none: one): the files started
  // from its first frame on describe each of them. Only while no trace runs.
  void SetInterfaces(std::vector<frame_file::FileInterface> interfaces) override;

  // FrameSource: any thread. A frame still on its way to the disk is waited for.
  bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override;

  // A list whose rows rebuild their Data from these frames is asked before any frame
  // leaves: the ring removes its oldest file, and a piece that could not be written (the
  // disk is full) is let go, only once the question was answered; until then the frames
  // stay readable. asked runs on the writer's thread, outside the spool's lock, when a
  // question opens; the list's thread then takes it with OpenQuestion and answers. Without
  // it (the default) frames leave at once.
  void AskBeforeFramesLeave(std::function<void()> asked);
  struct Question {
    std::uint64_t id = 0;
    std::int64_t below = 0;  // the frames below this packet number are about to leave
  };
  // The open question, if any: every one asked so far and not answered, in one.
  std::optional<Question> OpenQuestion() const;
  // The rows that needed the frames below the question's number keep what they need.
  void Answer(std::uint64_t id);

  // Waits until everything published is written (or lost) and returns true; returns false
  // at once while a question is open, which the caller answers before it waits again (the
  // writer may wait for the answer).
  bool WaitWritten();
  // The spool's files on disk, oldest first, and their bytes.
  std::vector<std::string> Files() const;
  std::uint64_t BytesOnDisk() const;
  // Bytes of the buffers the spool holds in memory for frames on their way to the disk.
  std::uint64_t BytesInMemory() const;
  // Gives back the buffers of the pool that no frame waits in, once a trace has stopped:
  // a stopped trace need not hold tens of MiB for frames that no longer come. The pool
  // grows again with the next trace's frames.
  void ReleaseIdleBuffers();

 private:
  struct Checkpoint {
    std::int64_t packetNumber;
    std::uint64_t offset;
  };
  struct File {
    std::uint64_t id = 0;
    std::string name;  // in the folder
    std::string path;
    int fd = -1;
    std::uint64_t capacity = 0;  // the file's size when full
    std::uint64_t written = 0;  // bytes on disk, whole blocks
    bool broken = false;        // a write failed: nothing more comes to this file
    std::int64_t endNumber = 0;  // one past the last packet number published into it
    std::uint64_t question = 0;  // the question asked before it leaves; 0: none yet
    // Bytes of this file that could not be written (lostBytes in all), the last of them
    // still held in memory at heldOffset, readable until their question is answered.
    std::uint64_t lostBytes = 0;
    std::uint64_t heldOffset = 0;
    MappedBuffer held;
    // The first frame of the file, of every run of consecutive packet numbers in it and
    // every CheckpointInterval-th frame: where a frame is found by reading forward.
    std::vector<Checkpoint> checkpoints;
  };
  struct Chunk {
    std::uint64_t fileId = 0;
    std::int64_t endNumber = 0;  // one past its last frame's packet number
    MappedBuffer bytes;
    std::chrono::steady_clock::time_point due{};  // written by then at the latest
    std::uint64_t offset = 0;  // where its bytes go in the file
  };
  struct Cursor {
    std::uint64_t fileId = 0;
    std::int64_t packetNumber = -1;  // the frame that starts at offset
    std::uint64_t offset = 0;
    std::uint64_t segmentEnd = 0;    // where the run of consecutive numbers ends
  };

  void StartFile();
  // One more buffer for the pool, made with the lock let go; when the system has no memory
  // for it, the pool stays as large as it is.
  void AddToPoolLocked(std::unique_lock<std::mutex>& lock);
  void WriterLoop();
  // The queue holds what should be written now: a full batch, frames someone waits for,
  // or frames that have waited their gathering time.
  bool WriteDueLocked() const;
  // The queue's first pieces, those of one file up to WriteBatchBytes.
  std::vector<Chunk> TakeBatchLocked();
  // Writes the batch with one call where nothing stands in the way (the file is open and
  // whole, the ring has room without a file leaving). False when not, or when the write
  // failed: the file is then as before, and the pieces go one by one.
  bool WriteTogetherLocked(std::unique_lock<std::mutex>& lock, std::vector<Chunk>& batch);
  // One piece, with the ring's removals and a failed write's consequences. False when the
  // spool stops meanwhile.
  bool WriteChunkLocked(std::unique_lock<std::mutex>& lock, Chunk& chunk);
  // Bytes of a file written: counted, and the ring's next removal prepared.
  void WrittenLocked(std::unique_lock<std::mutex>& lock, std::uint64_t fileId, std::size_t size);
  // The piece's buffer back to the pool (or given back, when made beyond it).
  void ReturnBufferLocked(Chunk& chunk);
  void FailLocked(std::string reason);
  // Takes the oldest file out of the ring; the caller removes it from disk with the lock
  // let go (RemoveFromDisk), or hands it to the remover's thread.
  File TakeOldestLocked();
  void RemoveFromDisk(File& file) const;
  // Removes the oldest file on the remover's thread once the newest would not fit beside
  // it when full, and the list has answered for it: the space is then free before the
  // writer needs it. Unlinking a file of hundreds of MiB frees its pages and takes a good
  // part of a second, which the writer spends writing instead.
  void RemoveAheadLocked(const File& newest);
  // Waits for a removal under way; the lock is let go meanwhile.
  void AwaitRemovalLocked(std::unique_lock<std::mutex>& lock);
  // Opens a question for the frames below `below` (0 when nobody is asked); lock is held
  // on return but let go meanwhile.
  std::uint64_t AskLocked(std::unique_lock<std::mutex>& lock, std::int64_t below);
  // Waits until the question is answered; false when the spool is stopping instead.
  bool AwaitAnswerLocked(std::unique_lock<std::mutex>& lock, std::uint64_t question);
  File* FindFileLocked(std::uint64_t id);
  const File* FindFileLocked(std::uint64_t id) const;
  std::uint64_t LimitForNewFile();
  // Count bytes at offset of a file from a piece still queued for the writer; null when
  // no queued piece holds them all.
  const std::uint8_t* QueuedLocked(std::uint64_t fileId, std::uint64_t offset, std::size_t count) const;
  // Reads count bytes at offset of the file into the read cache; a view of them.
  const std::uint8_t* ReadLocked(const File& file, std::uint64_t offset, std::size_t count) const;

  Spool(int ownFolderFd, std::string folder, std::string prefix, const SpoolOptions& options, bool);

  const int folderFd_;
  const std::string folder_;
  const std::string prefix_;
  const SpoolOptions options_;
  const std::uint64_t fileBytes_;  // a file's size at most; less where the limit is lower

  // The capture thread's.
  MappedBuffer pending_;
  std::vector<Checkpoint> pendingCheckpoints_;
  std::uint64_t pendingFile_ = 0;  // 0: no file started
  std::uint64_t fileOffset_ = 0;   // where the next block of pendingFile_ goes
  std::uint64_t fileCapacity_ = 0;  // pendingFile_'s
  std::int64_t nextNumber_ = -1;
  int sinceCheckpoint_ = 0;
  std::int64_t framesInFile_ = 0;
  // The adapters the files describe (capture thread's, set between traces).
  std::vector<frame_file::FileInterface> interfaces_;
  bool interfacesChanged_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<File> files_;  // oldest first
  std::uint64_t nextFileId_ = 1;
  std::deque<Chunk> queue_;
  std::size_t queuedBytes_ = 0;
  mutable int flushWanted_ = 0;  // threads waiting for queued frames to be written
  std::vector<MappedBuffer> spare_;  // buffers of the pool that nothing waits in
  std::size_t buffers_ = 0;  // made and not given back: the pool's, and any beyond it
  std::size_t poolBuffers_ = 0;  // lowered when the system has no memory for all of them
  // Pieces written (or lost) in the writer's current window of PoolRateWindow and in the
  // one before it, when that was the last.
  std::chrono::steady_clock::time_point windowStart_{};
  std::size_t piecesThisWindow_ = 0;
  std::size_t piecesLastWindow_ = 0;
  bool writing_ = false;  // the writer holds a chunk
  std::uint64_t bytesOnDisk_ = 0;  // the ring's files
  std::uint64_t removingBytes_ = 0;  // a file still being removed, on disk until it is gone
  std::uint64_t limit_ = 0;  // the limit as it stood when the newest file started
  bool startNewFile_ = false;  // the capture thread starts a new file at its next frame
  std::optional<std::string> failure_;
  bool failureTold_ = false;
  std::function<void()> asked_;
  std::uint64_t questions_ = 0;  // asked so far
  std::uint64_t answered_ = 0;   // the highest answered
  std::int64_t questionBelow_ = INT64_MIN;
  bool awaitingAnswer_ = false;  // the writer waits for an answer
  bool stopping_ = false;
  mutable std::vector<std::uint8_t> cache_;
  mutable std::uint64_t cacheFile_ = 0;
  mutable std::uint64_t cacheOffset_ = 0;
  mutable Cursor cursor_;
  std::thread writer_;
  std::thread remover_;
};
