#include "capture/spool/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <random>

#include "capture/formats/frame_file.h"

namespace fs = std::filesystem;

namespace {

// Frames go to the writer in pieces that fill a buffer of this size, or at each batch of rows.
// A live frame (at most 1520 bytes) always fits behind a piece short of ChunkBytes; a larger
// one, from a file, grows its buffer.
constexpr std::size_t BufferBytes = 64 << 10;
constexpr std::size_t ChunkBytes = BufferBytes - frame_file::PcapngPacketBytes(2048);
static_assert(ChunkBytes > BufferBytes / 2 && ChunkBytes < BufferBytes);
// The buffers of bytes published and not yet written: made with every page resident, never
// given back while the spool lives, and used again and again, so that the spool takes the
// same memory from early in a trace to its end whatever the disk does (buffers mapped when
// needed and given back when written made the resident size jump at every slow write).
// Ahead of need, the writer makes as many as the pieces it wrote in the last second (a
// write held up by the file system's commits and writeback lasts up to about that long):
// a busy trace has the whole pool within its first second, a quiet one keeps a few and
// does not pay for pages it never needs. When every buffer made waits for the disk, the
// capture thread makes one more, and once the pool is whole it waits. 64 MiB: about a
// second of frames at the highest rates.
constexpr std::size_t PoolBuffers = (64 << 20) / BufferBytes;
constexpr std::chrono::seconds PoolRateWindow{1};
// A frame is found by reading forward from a checkpoint at most this many frames back:
// 16 bytes for every 64 frames, about a quarter of a byte per row.
constexpr int CheckpointInterval = 64;
// What a look-up reads at once, so that frames asked one after the other (saving) cost
// one read for many.
constexpr std::size_t ReadCacheBytes = 256 << 10;
// Pieces in one write at most (partial ones come when the capture thread publishes often).
constexpr std::size_t WriteBatchPieces = 64;
// How long a look-up waits for its frame to reach the disk.
constexpr std::chrono::seconds WriteWait{10};
constexpr char LockSuffix[] = ".lock";
constexpr char FileSuffix[] = ".pcapng";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Describe(int error) { return std::strerror(error); }

// Writes all the pieces at the file's position: 0, or the error that stopped it. What part
// was written stays; the caller cuts it off.
int WriteWhole(int fd, std::vector<struct iovec> pieces) {
  for (std::size_t next = 0; next < pieces.size();) {
    const ssize_t n = ::writev(fd, pieces.data() + next, static_cast<int>(pieces.size() - next));
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return n == 0 ? ENOSPC : errno;
    }
    auto left = static_cast<std::size_t>(n);
    while (next < pieces.size() && left >= pieces[next].iov_len) left -= pieces[next++].iov_len;
    if (left > 0) {
      pieces[next].iov_base = static_cast<std::uint8_t*>(pieces[next].iov_base) + left;
      pieces[next].iov_len -= left;
    }
  }
  return 0;
}

// A name no one else can guess: the folder may be listed by others, and a name they
// could foresee is one they could plant something under, were the folder ever theirs.
std::string RandomHex(std::size_t bytes) {
  std::vector<unsigned char> random(bytes);
  std::size_t got = 0;
  while (got < bytes) {
    const ssize_t n = ::getrandom(random.data() + got, bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      // No kernel entropy call: the library's source, which reads the same device.
      std::random_device device;
      for (; got < bytes; ++got) random[got] = static_cast<unsigned char>(device());
    }
  }
  static constexpr char Digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : random) {
    text += Digits[byte >> 4];
    text += Digits[byte & 15];
  }
  return text;
}

// A regular file of this user's, looked at without following a link: the only kind the
// clean-up removes.
bool OwnRegularFile(int folderFd, const std::string& name) {
  struct stat info {};
  return ::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
         info.st_uid == ::geteuid();
}

// Removes the spools of every program whose lock file is not held any more. Only this
// user's regular files of the spools' naming are touched, always within the folder.
void RemoveStaleSpools(int folderFd) {
  std::vector<std::string> names;
  const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr) {
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
  } else if (listFd >= 0) {
    ::close(listFd);
  }
  for (const std::string& name : names) {
    const std::size_t tokenLength = name.size() - (sizeof LockSuffix - 1);
    if (!EndsWith(name, LockSuffix) || tokenLength == 0 || name[0] == '.' || !OwnRegularFile(folderFd, name)) continue;
    // Not blocking: whatever the name, it is a file of ours, but it could still be a
    // FIFO swapped in since the look.
    const int fd = ::openat(folderFd, name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      const std::string prefix = name.substr(0, tokenLength) + "-";
      for (const std::string& other : names)
        if (other.rfind(prefix, 0) == 0 && EndsWith(other, FileSuffix) && OwnRegularFile(folderFd, other))
          ::unlinkat(folderFd, other.c_str(), 0);
      ::unlinkat(folderFd, name.c_str(), 0);
    }
    ::close(fd);
  }
}

// Why a folder opened for the spool may not hold it; empty when it may. Frames written
// into a folder that someone else owns or may write to can be read, replaced or
// redirected by them.
std::string FolderProblem(int fd, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot look at the spool folder " + path + ": " + Describe(errno);
  if (!S_ISDIR(info.st_mode)) return path + " is not a folder";
  if (info.st_uid != ::geteuid())
    return "the spool folder " + path + " belongs to another user (uid " + std::to_string(info.st_uid) +
           "); remove it, or set XDG_CACHE_HOME to a folder of your own";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "the spool folder " + path + " may be written by other users (mode " + mode + "); make it yours alone: chmod 700 " + path;
  }
  return {};
}

}  // namespace

std::string DefaultSpoolFolder() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/')
    return (fs::path(cache) / "orrisvane").string();
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* user = ::getpwuid(::getuid());
    home = user && user->pw_dir && *user->pw_dir ? user->pw_dir : nullptr;
  }
  if (home) return (fs::path(home) / ".cache" / "orrisvane").string();
  // No home (a container run under an arbitrary uid): the runtime folder, which the system
  // makes for this user alone. A shared folder such as /tmp never: another user could have
  // made the folder first.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
    return (fs::path(runtime) / "orrisvane").string();
  return {};
}

// --- the folder ------------------------------------------------------------------------

SpoolFolder::SpoolFolder(std::string path, int folderFd, std::string token, int lockFd)
    : path_(std::move(path)), folderFd_(folderFd), token_(std::move(token)), lockFd_(lockFd) {}

std::unique_ptr<SpoolFolder> SpoolFolder::Open(const std::string& path, std::string* why) {
  const auto fail = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return std::unique_ptr<SpoolFolder>();
  };
  if (path.empty()) return fail("there is no home folder and no XDG_RUNTIME_DIR to keep the frames in");
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // The frames are the user's traffic: a folder made here is the user's alone.
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    return fail("cannot make the spool folder " + path + ": " + Describe(errno));
  // Whatever the path leads to is checked once opened, and everything in it is reached
  // through this descriptor, so that no later change to the path can redirect a file.
  const int folderFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return fail("cannot open the spool folder " + path + ": " + Describe(errno));
  if (std::string problem = FolderProblem(folderFd, path); !problem.empty()) {
    ::close(folderFd);
    return fail(std::move(problem));
  }
  const std::string token = RandomHex(16);
  // Locked under a name no one looks at, then renamed: every lock file others can see is
  // already held.
  const std::string staging = "." + token + ".locking";
  const int fd = ::openat(folderFd, staging.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0 ||
      ::renameat(folderFd, staging.c_str(), folderFd, (token + LockSuffix).c_str()) != 0) {
    const int error = errno;
    if (fd >= 0) {
      ::unlinkat(folderFd, staging.c_str(), 0);
      ::close(fd);
    }
    ::close(folderFd);
    return fail("cannot lock the spool folder " + path + ": " + Describe(error));
  }
  RemoveStaleSpools(folderFd);
  return std::unique_ptr<SpoolFolder>(new SpoolFolder(path, folderFd, token, fd));
}

SpoolFolder::~SpoolFolder() {
  ::unlinkat(folderFd_, (token_ + LockSuffix).c_str(), 0);
  ::close(lockFd_);
  ::close(folderFd_);
}

std::unique_ptr<Spool> SpoolFolder::NewSpool(const SpoolOptions& options) {
  return std::make_unique<Spool>(folderFd_, path_, token_ + "-" + std::to_string(++spools_), options);
}

// --- the spool -------------------------------------------------------------------------

Spool::Spool(std::string folder, std::string prefix, const SpoolOptions& options)
    : Spool(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), folder, std::move(prefix), options, true) {}

Spool::Spool(int folderFd, std::string folder, std::string prefix, const SpoolOptions& options)
    : Spool(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0), std::move(folder), std::move(prefix), options, true) {}

Spool::Spool(int ownFolderFd, std::string folder, std::string prefix, const SpoolOptions& options, bool)
    : folderFd_(ownFolderFd),
      folder_(std::move(folder)),
      prefix_(std::move(prefix)),
      options_(options),
      fileBytes_(std::max<std::uint64_t>(options.fileBytes ? options.fileBytes : options.limitBytes / 8,
                                         frame_file::PcapngPacketBytes(frame_file::SnapLength) + 64)) {
  poolBuffers_ = PoolBuffers;
  pending_ = MappedBuffer::Resident(BufferBytes);
  buffers_ = 1;
  writer_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "spool writer");
    WriterLoop();
  });
}

Spool::~Spool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
  if (remover_.joinable()) remover_.join();
  for (File& file : files_) RemoveFromDisk(file);
  if (folderFd_ >= 0) ::close(folderFd_);
}

void Spool::Record(std::int64_t packetNumber, const FrameInfo& info, const std::uint8_t* bytes,
                   std::uint32_t length) {
  const std::size_t blockBytes = frame_file::PcapngPacketBytes(length);
  // Numbers that go back (a list emptied without Clear) start a file of their own, so
  // that the numbers within a file only grow.
  if (pendingFile_ == 0 || packetNumber < nextNumber_ || (fileOffset_ + blockBytes > fileCapacity_ && framesInFile_ > 0) ||
      interfacesChanged_)
    StartFile();
  if (packetNumber != nextNumber_ || sinceCheckpoint_ >= CheckpointInterval) {
    pendingCheckpoints_.push_back({packetNumber, fileOffset_});
    sinceCheckpoint_ = 0;
  }
  frame_file::WritePcapngPacket(pending_.Grow(blockBytes), info.timestampNs, info.originalLength, {bytes, length},
                                info.interfaceId);
  fileOffset_ += blockBytes;
  nextNumber_ = packetNumber + 1;
  ++sinceCheckpoint_;
  ++framesInFile_;
  if (pending_.size() >= ChunkBytes) Publish();
}

void Spool::SetInterfaces(std::vector<frame_file::FileInterface> interfaces) {
  // A trace on the same adapters as the last goes on in its file.
  if (interfaces == interfaces_) return;
  interfaces_ = std::move(interfaces);
  interfacesChanged_ = true;
}

void Spool::StartFile() {
  Publish();
  {
    std::lock_guard lock(mutex_);
    File file;
    file.id = nextFileId_++;
    file.name = prefix_ + "-" + std::to_string(file.id) + "-" + RandomHex(8) + FileSuffix;
    file.path = (fs::path(folder_) / file.name).string();
    // Sized from the limit as it stands now: with little free space, a file of an eighth
    // of the configured limit could by itself fill the disk before the ring turns.
    limit_ = LimitForNewFile();
    file.capacity = std::max<std::uint64_t>(std::min(fileBytes_, limit_ / 8),
                                            frame_file::PcapngPacketBytes(frame_file::SnapLength) + 64);
    pendingFile_ = file.id;
    fileCapacity_ = file.capacity;
    files_.push_back(std::move(file));
  }
  if (interfaces_.empty()) {
    frame_file::WritePcapngHeader(pending_.Grow(frame_file::PcapngHeaderBytes));
  } else {
    std::vector<std::uint8_t> header;
    frame_file::AppendPcapngHeader(header, interfaces_);
    std::memcpy(pending_.Grow(header.size()), header.data(), header.size());
  }
  interfacesChanged_ = false;
  fileOffset_ = pending_.size();
  nextNumber_ = -1;  // the file's first frame is a checkpoint
  sinceCheckpoint_ = 0;
  framesInFile_ = 0;
}

void Spool::Publish() {
  std::unique_lock lock(mutex_);
  if (!pending_.empty()) {
    if (File* file = FindFileLocked(pendingFile_)) {
      file->checkpoints.insert(file->checkpoints.end(), pendingCheckpoints_.begin(), pendingCheckpoints_.end());
      file->endNumber = nextNumber_;
    }
    pendingCheckpoints_.clear();
    queuedBytes_ += pending_.size();
    const std::uint64_t offset = fileOffset_ - pending_.size();
    queue_.push_back(
        {pendingFile_, nextNumber_, std::move(pending_), std::chrono::steady_clock::now() + options_.gather, offset});
    // The writer sleeps until the first piece is due; it is woken for the first piece and
    // when a batch is complete, not for every piece in between.
    if (queue_.size() == 1 || queuedBytes_ >= WriteBatchBytes) changed_.notify_all();
    // A disk slower than the frames: once the pool is whole, the capture thread waits for a
    // buffer rather than memory growing. Not while the writer waits for the list's thread,
    // which may be waiting for this one: a buffer beyond the pool is made then, and given
    // back once written.
    for (;;) {
      changed_.wait(lock, [&] { return !spare_.empty() || buffers_ < poolBuffers_ || stopping_ || awaitingAnswer_; });
      if (!spare_.empty() || buffers_ >= poolBuffers_) break;
      AddToPoolLocked(lock);
    }
    if (!spare_.empty()) {
      pending_ = std::move(spare_.back());
      spare_.pop_back();
    } else {
      ++buffers_;
      pending_ = MappedBuffer(BufferBytes);
    }
  }
  if (startNewFile_) {
    startNewFile_ = false;
    pendingFile_ = 0;
  }
}

std::optional<std::string> Spool::TakeFailure() {
  std::lock_guard lock(mutex_);
  if (!failure_ || failureTold_) return std::nullopt;
  failureTold_ = true;
  return failure_;
}

bool Spool::WaitWritten() {
  std::unique_lock lock(mutex_);
  ++flushWanted_;
  changed_.notify_all();
  changed_.wait(lock, [&] {
    return (queue_.empty() && !writing_ && removingBytes_ == 0) || stopping_ || answered_ < questions_;
  });
  --flushWanted_;
  return answered_ >= questions_ || stopping_;
}

void Spool::AskBeforeFramesLeave(std::function<void()> asked) {
  std::lock_guard lock(mutex_);
  asked_ = std::move(asked);
}

std::optional<Spool::Question> Spool::OpenQuestion() const {
  std::lock_guard lock(mutex_);
  if (answered_ >= questions_) return std::nullopt;
  return Question{questions_, questionBelow_};
}

void Spool::Answer(std::uint64_t id) {
  {
    std::lock_guard lock(mutex_);
    answered_ = std::max(answered_, std::min(id, questions_));
    if (answered_ == questions_) questionBelow_ = INT64_MIN;
  }
  changed_.notify_all();
}

std::uint64_t Spool::AskLocked(std::unique_lock<std::mutex>& lock, std::int64_t below) {
  if (!asked_) return 0;
  questionBelow_ = std::max(questionBelow_, below);
  const std::uint64_t id = ++questions_;
  const std::function<void()> asked = asked_;
  changed_.notify_all();  // a WaitWritten returns to answer it
  lock.unlock();
  asked();
  lock.lock();
  return id;
}

bool Spool::AwaitAnswerLocked(std::unique_lock<std::mutex>& lock, std::uint64_t question) {
  if (answered_ >= question) return !stopping_;
  awaitingAnswer_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return answered_ >= question || stopping_; });
  awaitingAnswer_ = false;
  changed_.notify_all();
  return !stopping_;
}

std::vector<std::string> Spool::Files() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  for (const File& file : files_)
    if (file.fd >= 0) paths.push_back(file.path);
  return paths;
}

std::uint64_t Spool::BytesOnDisk() const {
  std::lock_guard lock(mutex_);
  return bytesOnDisk_;
}

std::uint64_t Spool::BytesInMemory() const {
  std::lock_guard lock(mutex_);
  return buffers_ * BufferBytes;
}

void Spool::ReleaseIdleBuffers() {
  std::vector<MappedBuffer> idle;  // unmapped on return, with the lock let go
  {
    std::lock_guard lock(mutex_);
    idle.swap(spare_);
    buffers_ -= idle.size();
    // The writer would otherwise make them again for the rate of frames already written.
    piecesThisWindow_ = 0;
    piecesLastWindow_ = 0;
  }
  changed_.notify_all();  // a capture thread waiting for a buffer may now make one
}

Spool::File* Spool::FindFileLocked(std::uint64_t id) {
  for (File& file : files_)
    if (file.id == id) return &file;
  return nullptr;
}

const Spool::File* Spool::FindFileLocked(std::uint64_t id) const {
  for (const File& file : files_)
    if (file.id == id) return &file;
  return nullptr;
}

void Spool::FailLocked(std::string reason) {
  if (!failure_) failure_ = std::move(reason);
  // Whatever the next chunk is for, it goes to a new file.
  startNewFile_ = true;
}

Spool::File Spool::TakeOldestLocked() {
  File oldest = std::move(files_.front());
  files_.pop_front();
  bytesOnDisk_ -= oldest.written;
  if (cacheFile_ == oldest.id) cacheFile_ = 0;
  return oldest;
}

void Spool::RemoveFromDisk(File& file) const {
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
  if (options_.removeFile) {
    options_.removeFile(file.path);
  } else {
    ::unlinkat(folderFd_, file.name.c_str(), 0);
  }
}

void Spool::RemoveAheadLocked(const File& newest) {
  if (removingBytes_ > 0 || files_.size() < 2 || files_.front().id == newest.id) return;
  const std::uint64_t whenFull = bytesOnDisk_ + newest.capacity - std::min(newest.capacity, newest.written);
  if (whenFull <= limit_) return;
  const File& oldest = files_.front();
  // Only once the list has answered for its frames, when there is a list to ask.
  const bool unanswered = oldest.question != 0 ? answered_ < oldest.question : static_cast<bool>(asked_);
  if (unanswered) return;
  if (remover_.joinable()) remover_.join();  // it has ended: removingBytes_ is 0
  File taken = TakeOldestLocked();
  removingBytes_ = std::max<std::uint64_t>(taken.written, 1);
  remover_ = std::thread([this, file = std::move(taken)]() mutable {
    RemoveFromDisk(file);
    {
      std::lock_guard lock(mutex_);
      removingBytes_ = 0;
    }
    changed_.notify_all();
  });
}

void Spool::AwaitRemovalLocked(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [&] { return removingBytes_ == 0; });
}

std::uint64_t Spool::LimitForNewFile() {
  std::optional<std::uint64_t> free;
  if (options_.freeBytes) {
    free = options_.freeBytes(folder_);
  } else if (struct statvfs info {}; ::fstatvfs(folderFd_, &info) == 0) {
    free = std::uint64_t{info.f_bavail} * info.f_frsize;
  }
  std::uint64_t limit = std::max(options_.limitBytes, MinimumSpoolLimitBytes);
  // What the spool holds and most of what is free, so that it never fills the disk itself.
  if (free) limit = std::min(limit, bytesOnDisk_ + *free / 10 * 9);
  return limit;
}

void Spool::AddToPoolLocked(std::unique_lock<std::mutex>& lock) {
  ++buffers_;
  lock.unlock();
  MappedBuffer buffer;
  try {
    buffer = MappedBuffer::Resident(BufferBytes);
  } catch (const std::bad_alloc&) {
  }
  lock.lock();
  if (buffer.capacity() == 0) {
    poolBuffers_ = --buffers_;  // what there is will do, if more slowly
  } else {
    spare_.push_back(std::move(buffer));
  }
  changed_.notify_all();
}

bool Spool::WriteDueLocked() const {
  if (queue_.empty()) return false;
  // Every buffer made waits here: the capture thread may be waiting for one.
  const bool poolSpent = spare_.empty() && buffers_ >= poolBuffers_;
  return poolSpent || queuedBytes_ >= WriteBatchBytes || flushWanted_ > 0 ||
         std::chrono::steady_clock::now() >= queue_.front().due;
}

std::vector<Spool::Chunk> Spool::TakeBatchLocked() {
  std::vector<Chunk> batch;
  std::size_t size = 0;
  do {
    size += queue_.front().bytes.size();
    batch.push_back(std::move(queue_.front()));
    queue_.pop_front();
  } while (!queue_.empty() && queue_.front().fileId == batch.front().fileId && batch.size() < WriteBatchPieces &&
           size + queue_.front().bytes.size() <= WriteBatchBytes);
  queuedBytes_ -= size;
  return batch;
}

void Spool::WriterLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto poolGrows = [&] {
      return buffers_ < poolBuffers_ && buffers_ <= std::max(piecesThisWindow_, piecesLastWindow_);
    };
    if (stopping_) return;
    if (!WriteDueLocked()) {
      if (poolGrows()) {
        AddToPoolLocked(lock);
      } else if (queue_.empty()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, queue_.front().due);
      }
      continue;
    }
    std::vector<Chunk> batch = TakeBatchLocked();
    writing_ = true;
    if (batch.size() == 1 || !WriteTogetherLocked(lock, batch)) {
      // One by one: the rest wait in the queue as before, for the next turn.
      for (std::size_t i = batch.size(); i-- > 1;) {
        queuedBytes_ += batch[i].bytes.size();
        queue_.push_front(std::move(batch[i]));
      }
      batch.resize(1);
      if (!WriteChunkLocked(lock, batch.front())) return;
    }
    for (Chunk& chunk : batch) ReturnBufferLocked(chunk);
    writing_ = false;
    changed_.notify_all();
  }
}

bool Spool::WriteTogetherLocked(std::unique_lock<std::mutex>& lock, std::vector<Chunk>& batch) {
  const std::uint64_t id = batch.front().fileId;
  const File* file = FindFileLocked(id);
  std::size_t size = 0;
  std::vector<struct iovec> pieces;
  for (Chunk& chunk : batch) {
    size += chunk.bytes.size();
    pieces.push_back({chunk.bytes.data(), chunk.bytes.size()});
  }
  if (!file || file->broken || file->fd < 0 || bytesOnDisk_ + removingBytes_ + size > limit_) return false;
  const int fd = file->fd;
  const std::uint64_t at = file->written;
  lock.unlock();
  const bool whole = WriteWhole(fd, std::move(pieces)) == 0;
  // No partial block stays in the file: the pieces are tried again one by one, and what
  // cannot be written then is lost as any failed piece is.
  if (!whole && ::ftruncate(fd, static_cast<off_t>(at)) == 0) ::lseek(fd, static_cast<off_t>(at), SEEK_SET);
  lock.lock();
  if (!whole) return false;
  WrittenLocked(lock, id, size);
  return true;
}

void Spool::WrittenLocked(std::unique_lock<std::mutex>& lock, std::uint64_t fileId, std::size_t size) {
  File* file = FindFileLocked(fileId);
  if (!file) return;
  file->written += size;
  bytesOnDisk_ += size;
  // The oldest file will have to go before the newest is full: the list is asked now, so
  // that its answer is there by then and the writer need not wait for it.
  if (files_.size() > 1 && files_.front().question == 0 && bytesOnDisk_ + file->capacity > limit_)
    files_.front().question = AskLocked(lock, files_.front().endNumber);
  file = FindFileLocked(fileId);
  if (file) RemoveAheadLocked(*file);
}

bool Spool::WriteChunkLocked(std::unique_lock<std::mutex>& lock, Chunk& chunk) {
  const std::size_t size = chunk.bytes.size();
  File* file = FindFileLocked(chunk.fileId);
  if (file && !file->broken && file->fd < 0) {
    // Made here and nowhere else: whatever stands under the name already (a planted link
    // or file) makes it fail rather than be written through.
    file->fd = ::openat(folderFd_, file->name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file->fd < 0) {
      file->broken = true;
      FailLocked("cannot make the spool file " + file->path + ": " + Describe(errno));
    }
  }
  bool written = false;
  if (file && !file->broken) {
    // The ring: older files leave until this chunk fits under the limit, each once the
    // list has kept what its rows need of the file's frames.
    while (bytesOnDisk_ + removingBytes_ + size > limit_) {
      if (removingBytes_ > 0) {
        AwaitRemovalLocked(lock);
        continue;
      }
      if (files_.front().id == chunk.fileId) break;
      if (files_.front().question == 0) files_.front().question = AskLocked(lock, files_.front().endNumber);
      if (!AwaitAnswerLocked(lock, files_.front().question)) return false;
      // The capture thread publishing meanwhile must not wait for the lock.
      File oldest = TakeOldestLocked();
      lock.unlock();
      RemoveFromDisk(oldest);
      lock.lock();
    }
    file = FindFileLocked(chunk.fileId);
    const int fd = file->fd;
    const std::uint64_t at = file->written;
    lock.unlock();
    const int error = WriteWhole(fd, {{chunk.bytes.data(), size}});
    // No partial block stays in the file: readers find whole blocks up to written.
    if (error != 0 && ::ftruncate(fd, static_cast<off_t>(at)) == 0) ::lseek(fd, static_cast<off_t>(at), SEEK_SET);
    lock.lock();
    file = FindFileLocked(chunk.fileId);
    if (error == 0) {
      WrittenLocked(lock, chunk.fileId, size);
      file = FindFileLocked(chunk.fileId);
      written = true;
    } else {
      file->broken = true;
      FailLocked("writing " + file->path + " failed: " + Describe(error));
    }
  }
  // Frames that did not reach the disk stay readable from memory until the list has
  // kept what its rows need of them.
  if (file && !written) {
    file->heldOffset = file->written + file->lostBytes;
    file->lostBytes += size;
    file->held = std::move(chunk.bytes);
    const std::uint64_t question = AskLocked(lock, chunk.endNumber);
    if (!AwaitAnswerLocked(lock, question)) return false;
    file = FindFileLocked(chunk.fileId);
    chunk.bytes = std::move(file->held);
    file->held = {};
  }
  // A file that failed before it held anything is of no use to anyone, once no queued
  // chunk is for it.
  const auto queuedFor = [this](std::uint64_t id) {
    return std::any_of(queue_.begin(), queue_.end(), [id](const Chunk& c) { return c.fileId == id; });
  };
  if (file && file->broken && file->written == 0 && !queuedFor(file->id)) {
    if (file->fd >= 0) ::close(file->fd);
    ::unlinkat(folderFd_, file->name.c_str(), 0);
    const std::uint64_t id = file->id;
    files_.erase(std::find_if(files_.begin(), files_.end(), [id](const File& f) { return f.id == id; }));
  }
  return true;
}

void Spool::ReturnBufferLocked(Chunk& chunk) {
  const auto now = options_.now ? options_.now() : std::chrono::steady_clock::now();
  if (now - windowStart_ >= PoolRateWindow) {
    piecesLastWindow_ = now - windowStart_ < 2 * PoolRateWindow ? piecesThisWindow_ : 0;
    piecesThisWindow_ = 0;
    windowStart_ = now;
  }
  ++piecesThisWindow_;
  chunk.bytes.clear();
  if (buffers_ > poolBuffers_) {
    --buffers_;  // one made beyond the pool: given back
  } else {
    spare_.push_back(std::move(chunk.bytes));
  }
}

const std::uint8_t* Spool::QueuedLocked(std::uint64_t fileId, std::uint64_t offset, std::size_t count) const {
  for (const Chunk& chunk : queue_) {
    if (chunk.fileId == fileId && offset >= chunk.offset && offset + count <= chunk.offset + chunk.bytes.size())
      return chunk.bytes.data() + (offset - chunk.offset);
  }
  return nullptr;
}

const std::uint8_t* Spool::ReadLocked(const File& file, std::uint64_t offset, std::size_t count) const {
  if (!file.held.empty() && offset >= file.heldOffset && offset + count <= file.heldOffset + file.held.size())
    return file.held.data() + (offset - file.heldOffset);
  if (cacheFile_ == file.id && offset >= cacheOffset_ && offset + count <= cacheOffset_ + cache_.size())
    return cache_.data() + (offset - cacheOffset_);
  if (file.fd < 0 || offset + count > file.written) return nullptr;
  const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(count, ReadCacheBytes),
                                                                            file.written - offset));
  cache_.resize(size);
  cacheFile_ = 0;
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pread(file.fd, cache_.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return nullptr;
    }
  }
  cacheFile_ = file.id;
  cacheOffset_ = offset;
  return cache_.data();
}

bool Spool::ReadFrame(std::int64_t packetNumber, StoredFrame& out) const {
  std::unique_lock lock(mutex_);
  const File* file = nullptr;
  for (auto it = files_.rbegin(); it != files_.rend() && !file; ++it)
    if (!it->checkpoints.empty() && it->checkpoints.front().packetNumber <= packetNumber) file = &*it;
  if (!file) return false;
  const std::uint64_t id = file->id;
  const auto& checkpoints = file->checkpoints;
  auto next = std::upper_bound(checkpoints.begin(), checkpoints.end(), packetNumber,
                               [](std::int64_t n, const Checkpoint& c) { return n < c.packetNumber; });
  const Checkpoint from = *std::prev(next);
  // The frames from one checkpoint to the next carry consecutive numbers.
  const std::uint64_t segmentEnd = next == checkpoints.end() ? UINT64_MAX : next->offset;
  std::uint64_t offset = from.offset;
  std::int64_t number = from.packetNumber;
  if (cursor_.fileId == id && cursor_.segmentEnd == segmentEnd && cursor_.packetNumber > number &&
      cursor_.packetNumber <= packetNumber) {
    offset = cursor_.offset;
    number = cursor_.packetNumber;
  }

  // Count bytes at offset: from memory while their piece waits in the queue (the list
  // asks for its newest rows' frames at every repaint, and making the writer write them
  // early would wake it and this thread several times a second for small writes), else
  // from the file, after waiting for the writer if it is writing them; null when they will
  // not come.
  const auto bytesAt = [&](std::uint64_t at, std::size_t count) -> const std::uint8_t* {
    for (;;) {
      const File* f = FindFileLocked(id);
      if (!f) return nullptr;
      if (const std::uint8_t* queued = QueuedLocked(id, at, count)) return queued;
      const std::uint64_t end = at + count;
      if (f->written >= end || (!f->held.empty() && end <= f->heldOffset + f->held.size()))
        return ReadLocked(*f, at, count);
      // While the writer waits for an answer, this may be the thread that gives it.
      if (f->broken || (queue_.empty() && !writing_) || awaitingAnswer_) return nullptr;
      ++flushWanted_;
      changed_.notify_all();
      const std::cv_status waited = changed_.wait_for(lock, WriteWait);
      --flushWanted_;
      if (waited == std::cv_status::timeout) return nullptr;
    }
  };
  for (; offset < segmentEnd; ++number) {
    const std::uint8_t* head = bytesAt(offset, 8);
    if (!head) return false;
    const std::optional<std::uint32_t> length = frame_file::PacketBlockLength(std::span<const std::uint8_t, 8>(head, 8));
    if (!length) return false;
    if (number == packetNumber) {
      const std::uint8_t* block = bytesAt(offset, *length);
      if (!block) return false;
      const std::optional<frame_file::PacketBlock> packet = frame_file::ParsePacketBlock({block, *length});
      if (!packet) return false;
      out.timestampNs = packet->timestampNs;
      out.originalLength = packet->originalLength;
      out.interfaceId = packet->interfaceId;
      out.bytes.assign(block + packet->dataOffset, block + packet->dataOffset + packet->capturedLength);
      cursor_ = {id, number + 1, offset + *length, segmentEnd};
      return true;
    }
    offset += *length;
  }
  return false;
}
