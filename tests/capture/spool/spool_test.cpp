// The spool on disk: frames read back, the ring at its limit, a disk that fills up during
// a trace, and the removal of spools that a program which died left behind.

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <filesystem>
#include <fstream>

#include "capture/trace/capture_thread.h"
#include "capture/spool/spool.h"
#include "capture/trace/trace.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_device.h"
#include "tests/support/frames.h"
#include "tests/support/pcapng_builder.h"
#include "tests/support/recording_batch_sink.h"

namespace fs = std::filesystem;

namespace {

using frames::Bytes;
using pcapng_builder::PatternFrame;

constexpr std::int64_t BaseTimeNs = 1'700'000'000'000'000'000;

fs::path TestFolder() {
  return fs::temp_directory_path() / ("orrisvane-spool-" + std::to_string(::getpid()) + "-" +
                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

FrameInfo InfoOf(std::int64_t n) { return {BaseTimeNs + n * 1000, static_cast<std::uint32_t>(1514 + n)}; }

Bytes FrameOf(std::int64_t n) { return PatternFrame(60 + static_cast<std::size_t>(n % 1400), static_cast<std::uint8_t>(n)); }

void RecordFrames(Spool& spool, std::int64_t first, std::int64_t count) {
  for (std::int64_t n = first; n < first + count; ++n) {
    const Bytes frame = FrameOf(n);
    spool.Record(n, InfoOf(n), frame.data(), static_cast<std::uint32_t>(frame.size()));
    if (n % 1000 == 999) spool.Publish();
  }
  spool.Publish();
}

// Answers the spool's questions as the list's thread does, until everything is written.
// At each question, every frame from the number last answered up to the last recorded
// (end) must still be readable as recorded: the list keeps the Data of the rows below the
// question's number now, and shows the newest rows meanwhile, while the writer waits for
// this thread. Returns the number below which frames may have left, and counts the
// questions.
std::int64_t AnswerUntilWritten(Spool& spool, std::int64_t first, std::int64_t end, int* questions) {
  std::int64_t answeredBelow = first;
  StoredFrame frame;
  while (!spool.WaitWritten()) {
    const std::optional<Spool::Question> question = spool.OpenQuestion();
    if (!question) continue;
    ++*questions;
    for (std::int64_t n = answeredBelow; n < end; ++n) {
      EXPECT_TRUE(spool.ReadFrame(n, frame)) << n;
      EXPECT_EQ(frame.bytes, FrameOf(n)) << n;
    }
    answeredBelow = std::max(answeredBelow, question->below);
    spool.Answer(question->id);
  }
  return answeredBelow;
}

// The frames of a spool file as libpcap reads them.
std::vector<Bytes> ReadWithLibpcap(const std::string& path) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* file = pcap_open_offline(path.c_str(), errbuf);
  EXPECT_TRUE(file) << errbuf;
  std::vector<Bytes> frames;
  if (!file) return frames;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  while (pcap_next_ex(file, &header, &data) == 1) frames.emplace_back(data, data + header->caplen);
  pcap_close(file);
  return frames;
}

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = TestFolder();
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }

  std::unique_ptr<Spool> Make(SpoolOptions options) {
    return std::make_unique<Spool>(folder.string(), "test", options);
  }

  fs::path folder;
};

TEST_F(SpoolTest, FramesAreReadBackByTheirNumbersInAnyOrder) {
  SpoolOptions options;
  options.fileBytes = 300'000;  // several files
  auto spool = Make(options);
  RecordFrames(*spool, 10, 3000);
  // A later run goes on from a number further on.
  RecordFrames(*spool, 5000, 100);
  spool->WaitWritten();
  EXPECT_GT(spool->Files().size(), 3u);

  StoredFrame frame;
  for (std::int64_t n : {10, 11, 73, 74, 75, 2999, 3009, 1500, 1501, 5000, 5099, 12}) {
    ASSERT_TRUE(spool->ReadFrame(n, frame)) << n;
    EXPECT_EQ(frame.bytes, FrameOf(n)) << n;
    EXPECT_EQ(frame.timestampNs, InfoOf(n).timestampNs) << n;
    EXPECT_EQ(frame.originalLength, InfoOf(n).originalLength) << n;
  }
  // Every frame in order, as saving reads them.
  for (std::int64_t n = 10; n < 3010; ++n) {
    ASSERT_TRUE(spool->ReadFrame(n, frame)) << n;
    ASSERT_EQ(frame.bytes, FrameOf(n)) << n;
  }
  for (std::int64_t n : {0, 9, 3010, 4999, 5100}) EXPECT_FALSE(spool->ReadFrame(n, frame)) << n;

  // Each file is a capture file of its own.
  std::size_t frames = 0;
  for (const std::string& path : spool->Files()) frames += ReadWithLibpcap(path).size();
  EXPECT_EQ(frames, 3100u);

  const std::vector<std::string> files = spool->Files();
  spool.reset();
  for (const std::string& path : files) EXPECT_FALSE(fs::exists(path)) << path;
}

TEST_F(SpoolTest, NumbersThatStartAgainFindTheNewerFrames) {
  auto spool = Make({});
  RecordFrames(*spool, 0, 200);
  const Bytes again = PatternFrame(99, 0xEE);
  for (std::int64_t n = 0; n < 10; ++n) spool->Record(n, InfoOf(n), again.data(), static_cast<std::uint32_t>(again.size()));
  spool->Publish();
  StoredFrame frame;
  ASSERT_TRUE(spool->ReadFrame(5, frame));
  EXPECT_EQ(frame.bytes, again);
  ASSERT_TRUE(spool->ReadFrame(9, frame));
  EXPECT_EQ(frame.bytes, again);
}

TEST_F(SpoolTest, PastItsLimitTheOldestFileLeaves) {
  SpoolOptions options;
  options.limitBytes = MinimumSpoolLimitBytes;
  options.fileBytes = MinimumSpoolLimitBytes / 4;
  auto spool = Make(options);
  RecordFrames(*spool, 0, 6000);  // about 4.5 MB
  spool->WaitWritten();
  EXPECT_LE(spool->BytesOnDisk(), MinimumSpoolLimitBytes);
  std::uint64_t onDisk = 0;
  for (const std::string& path : spool->Files()) onDisk += fs::file_size(path);
  EXPECT_EQ(onDisk, spool->BytesOnDisk());
  EXPECT_EQ(spool->Files().size(), 4u);
  StoredFrame frame;
  EXPECT_FALSE(spool->ReadFrame(0, frame));
  EXPECT_FALSE(spool->ReadFrame(4000, frame));
  ASSERT_TRUE(spool->ReadFrame(5999, frame));
  EXPECT_EQ(frame.bytes, FrameOf(5999));
  // The oldest frame kept is the first of the oldest file.
  const std::vector<Bytes> oldest = ReadWithLibpcap(spool->Files().front());
  ASSERT_FALSE(oldest.empty());
  std::int64_t first = 0;
  while (first < 6000 && !spool->ReadFrame(first, frame)) ++first;
  EXPECT_EQ(frame.bytes, oldest.front());
  EXPECT_EQ(FrameOf(first), oldest.front());
}


// Removing a large file takes the file system a while; the capture thread goes on
// recording and publishing meanwhile instead of waiting for the spool's lock.
TEST_F(SpoolTest, RecordingGoesOnWhileTheOldestFileIsBeingRemoved) {
  std::promise<void> removing, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> removals = 0;
  SpoolOptions options;
  options.limitBytes = MinimumSpoolLimitBytes;
  options.fileBytes = MinimumSpoolLimitBytes / 4;
  options.removeFile = [&](const std::string& path) {
    if (removals++ == 0) {
      removing.set_value();
      released.wait();
    }
    ::unlink(path.c_str());
  };
  auto spool = Make(options);
  RecordFrames(*spool, 0, 2000);  // about 1.5 MB: the ring is past its limit
  const bool removalStarted = removing.get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  auto more = std::async(std::launch::async, [&] { RecordFrames(*spool, 2000, 2000); });
  const bool recordedMeanwhile = more.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release.set_value();
  more.wait();
  ASSERT_TRUE(removalStarted);
  EXPECT_TRUE(recordedMeanwhile);
  spool->WaitWritten();
  StoredFrame frame;
  ASSERT_TRUE(spool->ReadFrame(3999, frame));
  EXPECT_EQ(frame.bytes, FrameOf(3999));
  EXPECT_LE(spool->BytesOnDisk(), MinimumSpoolLimitBytes);
}
TEST_F(SpoolTest, TheOldestFileLeavesOnlyOnceTheListHasAnswered) {
  SpoolOptions options;
  options.limitBytes = MinimumSpoolLimitBytes;
  options.fileBytes = MinimumSpoolLimitBytes / 4;
  auto spool = Make(options);
  std::atomic<int> asked{0};
  spool->AskBeforeFramesLeave([&asked] { ++asked; });
  RecordFrames(*spool, 0, 6000);  // about 4.5 MB
  // Until the list answers, nothing leaves.
  EXPECT_FALSE(spool->WaitWritten());
  StoredFrame frame;
  ASSERT_TRUE(spool->ReadFrame(0, frame));
  EXPECT_EQ(frame.bytes, FrameOf(0));

  int questions = 0;
  const std::int64_t below = AnswerUntilWritten(*spool, 0, 6000, &questions);
  EXPECT_GT(questions, 1);
  EXPECT_EQ(asked.load(), questions);
  EXPECT_LE(spool->BytesOnDisk(), MinimumSpoolLimitBytes);
  // Only frames the list was told of have left.
  for (std::int64_t n = 0; n < 6000; ++n) {
    if (!spool->ReadFrame(n, frame)) {
      EXPECT_LT(n, below) << n;
    }
  }
  EXPECT_FALSE(spool->ReadFrame(0, frame));
}

// The buffers for frames on their way to the disk grow with the pieces written in the last
// second: a quiet trace keeps a few, a busy one gets one for each piece it writes.
TEST_F(SpoolTest, TheBuffersInMemoryFollowTheRateOfPiecesWritten) {
  std::atomic<std::int64_t> clockNs{std::chrono::steady_clock::now().time_since_epoch().count()};
  SpoolOptions options;
  options.now = [&clockNs] {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(clockNs.load()));
  };
  std::unique_ptr<Spool> spool = Make(options);
  const std::uint64_t oneBuffer = spool->BytesInMemory();
  ASSERT_GT(oneBuffer, 0u);

  std::int64_t next = 0;
  for (int piece = 0; piece < 30; ++piece, next += 5) {
    clockNs += std::chrono::nanoseconds(std::chrono::milliseconds(1500)).count();
    RecordFrames(*spool, next, 5);
    ASSERT_TRUE(spool->WaitWritten());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for any growth to show
  EXPECT_LE(spool->BytesInMemory(), 3 * oneBuffer);

  for (int piece = 0; piece < 40; ++piece, next += 5) {
    RecordFrames(*spool, next, 5);
    ASSERT_TRUE(spool->WaitWritten());
  }
  EXPECT_TRUE(Eventually([&] { return spool->BytesInMemory() >= 40 * oneBuffer; })) << spool->BytesInMemory();

  // A stopped trace gives the idle pool back (a buffer the writer was making just then
  // may still come), and the next frames are kept as before.
  spool->ReleaseIdleBuffers();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(spool->BytesInMemory(), 2 * oneBuffer);
  RecordFrames(*spool, next, 5);
  ASSERT_TRUE(spool->WaitWritten());
  StoredFrame frame;
  ASSERT_TRUE(spool->ReadFrame(next + 4, frame));
  EXPECT_EQ(frame.bytes, FrameOf(next + 4));
}

// Published frames wait in memory to be written with more, until a batch is complete or
// WaitWritten wants them; a look-up reads them where they wait and writes nothing.
TEST_F(SpoolTest, FramesGatherUntilABatchIsCompleteOrSomeoneWantsThem) {
  SpoolOptions options;
  options.gather = std::chrono::hours(1);
  std::unique_ptr<Spool> spool = Make(options);
  RecordFrames(*spool, 0, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(spool->BytesOnDisk(), 0u);
  StoredFrame frame;
  // A look-up reads the frame where it waits, in memory, and does not hurry the writer.
  ASSERT_TRUE(spool->ReadFrame(3, frame));
  EXPECT_EQ(frame.bytes, FrameOf(3));
  EXPECT_EQ(spool->BytesOnDisk(), 0u);

  // Pieces of about 100 KB: a batch's worth is written without anyone waiting.
  std::int64_t next = 10;
  while (next < 2000) {
    RecordFrames(*spool, next, 100);
    next += 100;
  }
  EXPECT_TRUE(Eventually([&] { return spool->BytesOnDisk() >= WriteBatchBytes / 2; }))
      << spool->BytesOnDisk();
  ASSERT_TRUE(spool->WaitWritten());
  const std::uint64_t all = spool->BytesOnDisk();
  RecordFrames(*spool, next, 1);
  ASSERT_TRUE(spool->WaitWritten());
  EXPECT_GT(spool->BytesOnDisk(), all);
  ASSERT_TRUE(spool->ReadFrame(1999, frame));
  EXPECT_EQ(frame.bytes, FrameOf(1999));
}

TEST_F(SpoolTest, TheFreeSpaceOfTheFileSystemLowersTheLimit) {
  // A file system of 1 MB that holds nothing but the spool.
  const std::uint64_t Capacity = 1'000'000;
  // Files of a set size, and files of the default size (an eighth of 4 GiB), which must
  // shrink to what the disk can take or the first file alone would fill it.
  for (const std::uint64_t fileBytes : {std::uint64_t{100'000}, std::uint64_t{0}}) {
    SCOPED_TRACE(fileBytes);
    fs::remove_all(folder);
    fs::create_directories(folder);
    SpoolOptions options;
    options.fileBytes = fileBytes;
    options.freeBytes = [Capacity](const std::string& folder) {
      std::uint64_t used = 0;
      // The spool removes its oldest file on a thread of its own, so a file listed here
      // may be gone before its size is read; it then takes no room.
      for (const auto& entry : fs::directory_iterator(folder)) {
        std::error_code gone;
        const auto size = entry.file_size(gone);
        if (!gone) used += size;
      }
      return std::optional<std::uint64_t>(Capacity - std::min(used, Capacity));
    };
    auto spool = Make(options);
    RecordFrames(*spool, 0, 3000);  // about 2.3 MB
    spool->WaitWritten();
    EXPECT_LE(spool->BytesOnDisk(), Capacity);
    EXPECT_FALSE(spool->TakeFailure());
    StoredFrame frame;
    EXPECT_FALSE(spool->ReadFrame(0, frame));
    EXPECT_TRUE(spool->ReadFrame(2999, frame));
  }
}

// A file system of 512 KiB: the spool's files fill it while the trace goes on.
class SpoolDiskFullTest : public SpoolTest {
 protected:
  void SetUp() override {
    SpoolTest::SetUp();
    if (::mount("orrisvane-spool-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=512k") != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << "); needs root";
    mounted = true;
  }
  void TearDown() override {
    if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
    SpoolTest::TearDown();
  }
  bool mounted = false;
};

TEST_F(SpoolDiskFullTest, AFullDiskIsToldOnceAndTheRowsGoOn) {
  SpoolOptions options;
  // The file system claims room it does not have, as when another program fills it.
  options.freeBytes = [](const std::string&) { return std::optional<std::uint64_t>(std::uint64_t{1} << 40); };
  options.fileBytes = 200'000;
  auto spool = Make(options);

  auto script = std::make_shared<FakeDeviceScript>();
  DeviceTable table;
  RegisterFakeDevice(table, script);
  CaptureState state;
  Trace trace{state};
  RecordingBatchSink sink(state.columns);
  TraceOptions traceOptions;
  traceOptions.keyName = "0000";
  traceOptions.recorder = spool.get();
  constexpr int Frames = 3000;  // about 2.3 MB
  for (int n = 0; n < Frames; ++n) script->PushFrame(FrameOf(n), InfoOf(n));
  ASSERT_TRUE(StartTrace(trace, table, traceOptions, sink));
  ASSERT_TRUE(sink.WaitForRows(Frames, std::chrono::seconds(30)));
  StopTrace(trace);
  spool->WaitWritten();

  // The capture thread tells a failure it meets; one that the writer meets after the
  // trace stopped is taken by whoever stops the trace (the window does at Stop).
  std::vector<std::string> reasons = sink.NotKeptReasons();
  if (std::optional<std::string> late = spool->TakeFailure()) reasons.push_back(*late);
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_NE(reasons[0].find("No space left on device"), std::string::npos) << reasons[0];
  EXPECT_FALSE(spool->TakeFailure());
  StoredFrame frame;
  ASSERT_TRUE(spool->ReadFrame(0, frame));
  EXPECT_EQ(frame.bytes, FrameOf(0));
  // The frames that did not fit are lost, and only those. (How many fit depends on how the
  // writer's pieces met the full disk, which a slow run under a sanitizer shifts.)
  int kept = 0;
  for (int n = 0; n < Frames; ++n) kept += spool->ReadFrame(n, frame) ? 1 : 0;
  EXPECT_GT(kept, 100);
  EXPECT_LT(kept, Frames);
  // Whatever is on disk holds whole frames only.
  for (const std::string& path : spool->Files()) {
    for (const Bytes& bytes : ReadWithLibpcap(path)) EXPECT_GE(bytes.size(), 60u);
  }
}

TEST_F(SpoolDiskFullTest, FramesThatDidNotFitStayReadableUntilTheListHasAnswered) {
  SpoolOptions options;
  options.freeBytes = [](const std::string&) { return std::optional<std::uint64_t>(std::uint64_t{1} << 40); };
  options.fileBytes = 200'000;
  auto spool = Make(options);
  spool->AskBeforeFramesLeave([] {});
  RecordFrames(*spool, 0, 3000);  // about 2.3 MB
  int questions = 0;
  AnswerUntilWritten(*spool, 0, 3000, &questions);
  EXPECT_GT(questions, 0);
  ASSERT_TRUE(spool->TakeFailure());
  // Answered, the frames that did not fit are gone (let go by the spool's own thread). Which
  // ones those are depends on where the writer's chunks met the full disk: a chunk after a
  // failed one goes to a new file and may fit in the room the failed one gave back.
  StoredFrame frame;
  const auto gone = [&] {
    int count = 0;
    for (int n = 0; n < 3000; ++n) count += spool->ReadFrame(n, frame) ? 0 : 1;
    return count;
  };
  EXPECT_TRUE(Eventually([&] { return gone() > 0; }, std::chrono::seconds(10)));
}

TEST(SpoolFolderTest, SpoolsOfProgramsThatDiedAreRemovedAndThoseOfRunningOnesKept) {
  const fs::path folder = TestFolder() / "cache" / "orrisvane";
  fs::remove_all(folder.parent_path().parent_path());
  std::string why;
  auto running = SpoolFolder::Open(folder.string(), &why);
  ASSERT_TRUE(running) << why;
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  auto spool = running->NewSpool({});
  RecordFrames(*spool, 0, 10);
  spool->WaitWritten();
  ASSERT_EQ(spool->Files().size(), 1u);
  const std::string live = spool->Files().front();

  // What a program that died leaves: its lock file, no longer held, and its spool.
  std::ofstream(folder / "1234-abcd.lock").put('\n');
  std::ofstream(folder / "1234-abcd-1-1.pcapng").put('\n');
  std::ofstream(folder / "1234-abcd-2-7.pcapng").put('\n');
  std::ofstream(folder / "unrelated.txt").put('\n');
  // A program that runs and holds its lock.
  const fs::path heldLock = folder / "99-beef.lock";
  std::ofstream(heldLock).put('\n');
  const int held = ::open(heldLock.c_str(), O_RDWR);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  std::ofstream(folder / "99-beef-1-1.pcapng").put('\n');

  auto next = SpoolFolder::Open(folder.string(), &why);
  ASSERT_TRUE(next) << why;
  EXPECT_FALSE(fs::exists(folder / "1234-abcd.lock"));
  EXPECT_FALSE(fs::exists(folder / "1234-abcd-1-1.pcapng"));
  EXPECT_FALSE(fs::exists(folder / "1234-abcd-2-7.pcapng"));
  EXPECT_TRUE(fs::exists(folder / "unrelated.txt"));
  EXPECT_TRUE(fs::exists(heldLock));
  EXPECT_TRUE(fs::exists(folder / "99-beef-1-1.pcapng"));
  EXPECT_TRUE(fs::exists(live));
  ::close(held);

  // A program that ends removes its spools, then its lock file.
  spool.reset();
  running.reset();
  next.reset();
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"99-beef-1-1.pcapng", "99-beef.lock", "unrelated.txt"}));
  fs::remove_all(folder.parent_path().parent_path());
}

// Another user's doings: owning the folder or writing into it, links under the name the lock
// file gives away, the folder swapped for a link once open, entries among the clean-up's names.
TEST(SpoolFolderTest, AFolderOthersControlIsRefusedAndNothingGoesThroughTheirNames) {
  const fs::path root = TestFolder(), secret = root / "secret", folder = root / "mine";
  fs::remove_all(root);
  fs::create_directories(root / "elsewhere");
  std::ofstream(secret) << "private";
  const bool root_ = ::geteuid() == 0;
  std::string why;
  for (const auto& [name, owner, reason] : {std::tuple{"others", 65534u, "belongs to another user"},
                                            std::tuple{"open", ::geteuid(), "may be written by other users"}}) {
    fs::create_directory(root / name);
    fs::permissions(root / name, fs::perms::all);
    if (root_ && ::chown((root / name).c_str(), owner, owner) != 0) ADD_FAILURE() << name;
    EXPECT_FALSE(SpoolFolder::Open((root / name).string(), &why)) << name;
    EXPECT_TRUE((owner != ::geteuid() && !root_) || why.find(reason) != std::string::npos) << why;
  }
  auto spools = SpoolFolder::Open(folder.string(), &why);
  ASSERT_TRUE(spools) << why;
  const fs::path lock = fs::directory_iterator(folder)->path();  // TOKEN.lock, the only entry
  fs::create_symlink(secret, folder / (lock.stem().string() + "-1-1.pcapng"));  // the old first file
  std::ofstream(folder / "dead.lock").put('\n');
  fs::create_symlink(secret, folder / "dead-1.pcapng");
  for (const char* name : {"dead-2.pcapng", "dead-3.pcapng"}) std::ofstream(folder / name).put('\n');
  ASSERT_TRUE(!root_ || ::chown((folder / "dead-2.pcapng").c_str(), 65534, 65534) == 0);
  ASSERT_TRUE(SpoolFolder::Open(folder.string(), &why)) << why;
  EXPECT_TRUE(fs::is_symlink(folder / "dead-1.pcapng"));
  EXPECT_EQ(fs::exists(folder / "dead-2.pcapng"), root_);
  EXPECT_FALSE(fs::exists(folder / "dead-3.pcapng"));
  fs::rename(folder, root / "moved");
  fs::create_directory_symlink(root / "elsewhere", folder);
  auto spool = spools->NewSpool({});
  RecordFrames(*spool, 0, 10);
  spool->WaitWritten();
  StoredFrame frame;
  EXPECT_TRUE(spool->ReadFrame(9, frame));
  EXPECT_EQ(fs::file_size(secret), 7u);
  EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
  fs::remove_all(root);
}

TEST(SpoolFolderTest, TheCacheFolderFollowsXdgCacheHomeElseTheHomeFolder) {
  const char* savedCache = std::getenv("XDG_CACHE_HOME");
  const std::string saved = savedCache ? savedCache : "";
  ::setenv("XDG_CACHE_HOME", "/var/cache/someone", 1);
  EXPECT_EQ(DefaultSpoolFolder(), "/var/cache/someone/orrisvane");
  ::unsetenv("XDG_CACHE_HOME");
  EXPECT_EQ(DefaultSpoolFolder(), std::string(std::getenv("HOME")) + "/.cache/orrisvane");
  if (savedCache) ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);

  // No HOME and no entry in the user database: the runtime folder or none, never /tmp.
  if (::geteuid() != 0) return;
  if (const pid_t child = ::fork(); child == 0) {
    ::clearenv();
    const bool none = ::setresuid(54321, 54321, 54321) == 0 && DefaultSpoolFolder().empty();
    ::setenv("XDG_RUNTIME_DIR", "/run/user/54321", 1);
    ::_exit(none && DefaultSpoolFolder() == "/run/user/54321/orrisvane" ? 0 : 1);
  } else {
    int status = -1;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0);
  }
}

}  // namespace
