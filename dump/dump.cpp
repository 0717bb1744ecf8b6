// orrisvane-dump: one capture run on the window's path (open, filter, request over the
// frame buffer, capture thread, stop handshake) with the rows written as text.

#include "dump/dump.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/row_store.h"
#include "analysis/row_text.h"
#include "analysis/stored_filter_row.h"
#include "analysis/traffic_stats.h"
#include "capture/remote/adapter_list.h"
#include "capture/devices/agent_device.h"
#include "capture/files/capture_file_loader.h"
#include "capture/trace/capture_thread.h"
#include "capture/driver/driver_client.h"
#include "capture/trace/trace.h"

namespace {

constexpr char Program[] = "orrisvane-dump";
// Rows are gathered into one block and written when it grows past this, so that a
// million rows cost a few hundred writes rather than a million.
constexpr std::size_t FlushBytes = 1 << 20;
// Any key name does for a capture file; the file device binds whatever it is given.
constexpr char FileKeyName[] = "file";

// Every message of the program, errors and the closing count alike, on a line of its own.
// Messages carry text from outside (a remote host's, a device's): a terminal gets it as text.
void PrintLine(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s: %s\n", Program, TerminalText(message).c_str());
}

// Every error is one line, whatever a device put into its reason.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string WithReason(std::string message, const std::string& why) {
  if (!why.empty()) message += ": " + OneLine(why);
  return message;
}

std::string FramesDecoded(std::int64_t frames) {
  return std::to_string(frames) + (frames == 1 ? " frame decoded" : " frames decoded");
}

// -Y: which rows are written, and which of their cells. The rows are decoded with the
// columns the filter reads as well as the shown ones; only the shown ones are written.
struct RowSelection {
  const RowFilter& filter;
  ColumnSet decoded;
  // For each shown list column, its index in a decoded row.
  std::vector<int> sources;

  RowSelection(const RowFilter& f, const ColumnSet& shown) : filter(f), decoded(shown) {
    for (int id = 0; id < ColumnCount; ++id) {
      if ((filter.ColumnsRead() >> id) & 1u) decoded.shown[id] = 1;
    }
    decoded.AssignColumnPositions();
    sources.resize(static_cast<std::size_t>(shown.ShownCount()));
    for (int id = 0; id < ColumnCount; ++id) {
      const ColumnId column = static_cast<ColumnId>(id);
      if (shown.IsShown(column)) sources[static_cast<std::size_t>(shown.Position(column))] = decoded.Position(column);
    }
  }
};

// Receives the capture thread's batches and writes their rows. A file's rows are written
// from a thread of its own: the capture thread goes on decoding while the previous batch
// is turned into text, so the two halves of the work share the processors instead of
// taking turns. A live capture's come at the network's pace, and a thread woken for each
// batch would cost more than it shares: they are written on the capture thread.
class DumpWriter : public BatchSink {
 public:
  // eachBatch: a live capture: write every batch out as it comes, on the capture thread,
  // so that its rows show within a batch's age rather than a megabyte later.
  // selection: -Y's, or null to write every row as it is decoded.
  // stats: counts every row looked at, or null.
  DumpWriter(std::FILE* out, std::optional<std::int64_t> limit, bool eachBatch, const RowSelection* selection,
             TrafficStats* stats)
      : out_(out), limit_(limit), eachBatch_(eachBatch), selection_(selection), stats_(stats) {
    // The rows are gathered here: a buffer in the stream as well only made every write of
    // a block two system calls. Nothing has been written to the stream yet.
    std::setvbuf(out_, nullptr, _IONBF, 0);
    if (selection_) selected_.emplace(selection_->decoded);
    // The rows are written straight into the buffer: it is sized once, and used_ says
    // how much of it holds text. Left uninitialised, so that a live capture's few rows
    // touch only the pages they fill.
    Grow(FlushBytes + (64 << 10));
  }
  ~DumpWriter() override {
    Finish();
    if (newsFd_ >= 0) ::close(newsFd_);
  }
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;

  std::int64_t RowCount() override { return 0; }

  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override {
    std::unique_lock lock(mutex_);
    kernelDrops_ = std::max(kernelDrops_, counters.kernelDrops);
    lateFrames_ = std::max(lateFrames_, counters.lateFrames);
    if (eachBatch_ && started_) {
      Write(rows);  // under the lock, which Start takes too
      return;
    }
    // A file is read faster than its rows are written: a bounded queue keeps memory in
    // check. The writing thread never waits for the capture thread, so this wait ends.
    roomFreed_.wait(lock, [&] { return queue_.size() < MaxQueuedBatches; });
    queue_.push_back(std::move(rows));
    batchQueued_.notify_one();
  }

  void ReadFailed(const std::string& reason) override {
    std::lock_guard lock(mutex_);
    if (severalAdapters_) {
      // One adapter of several failed ("NAME: reason"); the others go on.
      adapterFailures_.push_back(reason);
      adapterFailed_.store(true);
      Announce();
      return;
    }
    readFailure_ = reason.empty() ? "the device gave no reason" : reason;
    readFailed_.store(true);
    Announce();
  }

  // Why reads from the device started to fail, or nothing while they have not.
  std::optional<std::string> ReadFailure() const {
    if (!readFailed_.load()) return std::nullopt;
    std::lock_guard lock(mutex_);
    return readFailure_;
  }

  // Before Start only: the trace takes several adapters, and one that fails is not the
  // end of it.
  void SetSeveralAdapters() { severalAdapters_ = true; }
  // The adapters of several that have failed since the last call.
  std::vector<std::string> TakeAdapterFailures() {
    // Looked at without the lock, which a live capture's writing holds.
    if (!adapterFailed_.load()) return {};
    std::lock_guard lock(mutex_);
    adapterFailed_.store(false);
    return std::exchange(adapterFailures_, {});
  }

  // Waits until nothing more will be written, reads have failed or an adapter of several
  // has, or interruptFd (when >= 0) is readable; for at most the time given unless
  // untimed: the caller looks for what only it can see (an interruption, the end of a
  // file) that often, and wakes no sooner for nothing.
  void WaitForNews(std::chrono::milliseconds most, bool untimed, int interruptFd) {
    if (done_.load() || readFailed_.load() || adapterFailed_.load()) return;
    // Without the descriptor of news, only the clock brings them.
    const int timeout = untimed && newsFd_ >= 0 ? -1 : static_cast<int>(most.count());
    struct pollfd fds[2] = {{newsFd_, POLLIN, 0}, {interruptFd, POLLIN, 0}};
    if (::poll(fds, 2, timeout) > 0 && fds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(newsFd_, &count, sizeof count);
    }
  }
  std::uint64_t LateFrames() const {
    std::lock_guard lock(mutex_);
    return lateFrames_;
  }

  // Before Start only.
  void AppendHeader(const ColumnSet& columns) {
    std::string header;
    AppendHeaderLine(header, columns, RowFormat::Tsv);
    Put(header);
  }

  // Writes the batches delivered so far, and from now on every batch: on a thread of its
  // own, or for a live capture on the capture thread as it delivers them.
  void Start() {
    if (!eachBatch_) {
      thread_ = std::thread([this] { WriteBatches(); });
      return;
    }
    std::lock_guard lock(mutex_);
    started_ = true;
    for (; !queue_.empty(); queue_.pop_front()) Write(queue_.front());
    roomFreed_.notify_all();
  }

  // True once nothing more will be written: -c reached or the output failed.
  bool Done() const { return done_.load(); }

  // Writes every batch delivered so far and what is left of the text; call it after the
  // capture thread has ended. False when the output failed at any point.
  bool Finish() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    batchQueued_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (!failed_ && WriteOut() && std::fflush(out_) != 0) Fail(errno);
    return !failed_;
  }

  // After Finish: rows written, and rows looked at (more than written with -Y).
  std::int64_t Written() const { return written_; }
  std::int64_t Examined() const { return examined_; }
  std::string FailureReason() const { return std::strerror(errno_); }
  std::uint64_t KernelDrops() const {
    std::lock_guard lock(mutex_);
    return kernelDrops_;
  }

 private:
  static constexpr std::size_t MaxQueuedBatches = 16;

  void WriteBatches() {
    std::unique_lock lock(mutex_);
    for (;;) {
      batchQueued_.wait(lock, [&] { return !queue_.empty() || closing_; });
      if (queue_.empty()) return;  // closing, and every batch is written
      RowStore batch = std::move(queue_.front());
      queue_.pop_front();
      roomFreed_.notify_one();
      lock.unlock();
      Write(batch);
      batch = RowStore();  // its memory goes back here, not under the lock
      lock.lock();
    }
  }

  // Rows past -c and rows after a failed write are dropped, but the queue is still
  // emptied so that the capture thread never waits for nothing.
  void Write(const RowStore& rows) {
    if (done_.load()) return;
    if (selection_) {
      if (!WriteSelected(rows)) return;
    } else {
      std::int64_t take = rows.RowCount();
      if (limit_) take = std::min(take, *limit_ - written_);
      if (stats_) Count(rows, 0, take);
      // This runs for every row of every frame and is a large part of the cost of -r.
      RowLine line;
      for (std::int64_t r = 0; r < take; ++r) {
        if (!MakeRoom(line.Read(rows, r))) return;
        used_ = static_cast<std::size_t>(line.Put(text_.get() + used_, RowFormat::Tsv) - text_.get());
        if (used_ >= FlushBytes && !WriteOut()) return;
      }
      written_ += take;
      examined_ += take;
    }
    if (limit_ && written_ >= *limit_) {
      done_.store(true);
      Announce();
    }
    if (eachBatch_ && WriteOut() && std::fflush(out_) != 0) Fail(errno);
  }

  // The rows the filter keeps, with the shown cells only. False when the output failed.
  bool WriteSelected(const RowStore& rows) {
    const std::int64_t count = rows.RowCount();
    for (std::int64_t r = 0; r < count && !(limit_ && written_ >= *limit_); ++r) {
      ++examined_;
      if (stats_) Count(rows, r, r + 1);
      selected_->Read(rows, r);
      if (!selection_->filter.Matches(*selected_)) continue;
      line_.clear();
      for (std::size_t i = 0; i < selection_->sources.size(); ++i) {
        if (i != 0) line_ += '\t';
        AppendTsvCell(line_, selected_->CellAt(selection_->sources[i]));
      }
      line_ += '\n';
      Put(line_);
      if (failed_ || (used_ >= FlushBytes && !WriteOut())) return false;
      ++written_;
    }
    return true;
  }

  void Count(const RowStore& rows, std::int64_t from, std::int64_t to) {
    for (std::int64_t r = from; r < to; ++r)
      if (rows.PacketFields(r, packet_)) stats_->Add(packet_);
  }

  bool WriteOut() {
    if (failed_) return false;
    if (used_ != 0 && std::fwrite(text_.get(), 1, used_, out_) != used_) {
      Fail(errno);
      return false;
    }
    used_ = 0;
    return true;
  }

  // Room for n more bytes in the buffer, writing out what it holds (or growing it for a
  // row larger than all of it) as needed. False when the output failed.
  bool MakeRoom(std::size_t n) {
    if (capacity_ - used_ >= n) return true;
    if (!WriteOut()) return false;
    if (capacity_ < n) Grow(n);
    return true;
  }

  // An empty buffer of n bytes in place of the current one.
  void Grow(std::size_t n) {
    text_ = std::make_unique_for_overwrite<char[]>(n);
    capacity_ = n;
  }

  void Put(std::string_view text) {
    if (!MakeRoom(text.size())) return;
    std::memcpy(text_.get() + used_, text.data(), text.size());
    used_ += text.size();
  }
  void Fail(int error) {
    failed_ = true;
    errno_ = error != 0 ? error : EIO;
    done_.store(true);
    Announce();
  }

  // Wakes WaitForNews after one of the flags it waits for was raised: the count stays
  // until read, so a wait that begins after the flag was looked at ends at once.
  void Announce() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(newsFd_, &one, sizeof one);
  }

  std::FILE* out_;
  const std::optional<std::int64_t> limit_;
  const bool eachBatch_;
  const RowSelection* const selection_;
  TrafficStats* const stats_;

  mutable std::mutex mutex_;
  std::condition_variable batchQueued_;
  std::condition_variable roomFreed_;
  std::deque<RowStore> queue_;          // under mutex_
  std::uint64_t kernelDrops_ = 0;       // under mutex_
  bool closing_ = false;                // under mutex_
  std::string readFailure_;             // under mutex_
  std::vector<std::string> adapterFailures_;  // under mutex_
  std::uint64_t lateFrames_ = 0;              // under mutex_
  bool started_ = false;                      // under mutex_: Start has run (eachBatch only)
  bool severalAdapters_ = false;
  std::atomic<bool> readFailed_{false};
  std::atomic<bool> adapterFailed_{false};  // adapterFailures_ holds one
  const int newsFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

  // The writing thread's own (and the caller's before Start and after Finish); for a live
  // capture, under mutex_ from Start on.
  std::thread thread_;
  std::unique_ptr<char[]> text_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;  // bytes of text_ that hold rows not yet written
  std::int64_t written_ = 0;
  std::int64_t examined_ = 0;
  std::optional<StoredFilterRow> selected_;
  std::string line_;
  PacketRow packet_;
  bool failed_ = false;
  int errno_ = 0;
  std::atomic<bool> done_{false};
};

// Writes text to path through a new file beside it, put in place only once complete: a
// failure leaves any old file as it was. False with *why set on failure.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string* why) {
  std::string staging = path + ".XXXXXX";
  // mkstemp creates the file with O_EXCL and mode 0600: no one else's link is followed.
  const int fd = ::mkstemp(staging.data());
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == text.size() && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  if (!ok) *why = std::strerror(errno != 0 ? errno : EIO);
  if (::close(fd) != 0 && ok) {
    ok = false;
    *why = std::strerror(errno);
  }
  if (ok && ::rename(staging.c_str(), path.c_str()) != 0) {
    ok = false;
    *why = std::strerror(errno);
  }
  if (!ok) ::unlink(staging.c_str());
  return ok;
}

// --conversations and --io, to --stats-out or err. False when they could not be written.
bool WriteStats(const DumpOptions& options, const TrafficStats& stats, std::FILE* err) {
  std::string text;
  if (options.conversations) text += ConnectionsTsv(stats, true);
  if (options.conversations && options.ioIntervalNs) text += '\n';
  if (options.ioIntervalNs) text += IntervalsTsv(stats);
  if (options.statsOut.empty()) {
    // Addresses and numbers only: nothing in it for a terminal to interpret.
    return std::fwrite(text.data(), 1, text.size(), err) == text.size() && std::fflush(err) == 0;
  }
  std::string why;
  if (WriteWholeFile(options.statsOut, text, &why)) return true;
  PrintLine(err, "cannot write " + options.statsOut + ": " + why);
  return false;
}

// The adapter list -D and -i read: this machine's, or with --host the hosts' after them,
// listed now. A host that could not be listed is said and left out; so are adapters past
// the list's end, once.
const RegistryView* AdapterRegistry(const DumpOptions& options, std::FILE* err, const DumpEnvironment& env) {
  if (options.hosts.empty() || !env.remoteHosts) return env.registry;
  env.remoteHosts->SetHosts(options.hosts);
  for (const HostListing& listing : env.remoteHosts->ListAll())
    if (!listing.failure.empty()) PrintLine(err, "--host " + listing.host + " left out: " + listing.failure);
  if (auto [count, host] = env.remoteHosts->LeftOut(); count > 0)
    PrintLine(err, std::to_string(count) + " remote adapter" + (count == 1 ? " is" : "s are") + " left out (from " +
                       host + " on): the list holds " + std::to_string(DetailAdapterLimit) + " adapters");
  return env.remoteHosts;
}

int ListAdapters(const RegistryView* registry, std::FILE* out, std::FILE* err, const DumpEnvironment& env) {
  const RemoteHosts* remote = registry == env.remoteHosts ? env.remoteHosts : nullptr;
  return PrintAdapterList(registry, env.devices, out, err, Program, remote) ? DumpExitOk : DumpExitFailure;
}

// The list's entry of the adapter an -i names. On failure prints why and returns nothing.
std::optional<AdapterEntry> LiveAdapter(const AdapterChoice& choice, const std::vector<AdapterEntry>& listed,
                                        std::FILE* err) {
  std::optional<AdapterEntry> entry;
  if (choice.key.empty()) {
    if (choice.index >= 0 && static_cast<std::size_t>(choice.index) < listed.size()) entry = listed[choice.index];
  } else {
    for (std::size_t i = 0; i < listed.size() && !entry; ++i)
      if (listed[i].keyName == choice.key) entry = listed[i];
  }
  if (listed.empty()) {
    PrintLine(err, "No adapters found!");
    return std::nullopt;
  }
  if (!entry) {
    const std::string which = choice.key.empty() ? std::to_string(choice.index) : choice.key;
    PrintLine(err, "there is no adapter " + which + " (" + std::to_string(listed.size()) + " found; see -D)");
    return std::nullopt;
  }
  return entry;
}

// The interfaces of a pcapng file that describes several, read and named as the window
// reads them; none for any other file. Only a regular file is opened here: a named pipe
// is read once, by the capture.
std::vector<TraceInterface> FileInterfaces(const std::string& path, const std::array<std::uint8_t, 6>& fallbackMac) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  std::string why;
  const std::unique_ptr<CaptureFileLoader> loader = CaptureFileLoader::Open(path, &why);
  return loader ? loader->TraceInterfaces(fallbackMac) : std::vector<TraceInterface>{};
}

}  // namespace

int RunDump(std::span<const std::string> args, std::FILE* out, std::FILE* err, const DumpEnvironment& env) {
  std::string error;
  std::optional<DumpOptions> parsed = ParseDumpArgs(args, &error);
  if (!parsed) {
    PrintLine(err, error);
    return DumpExitUsage;
  }
  const DumpOptions& options = *parsed;
  if (options.mode == DumpMode::Help) {
    std::fputs(DumpUsageText(), out);
    return std::fflush(out) == 0 ? DumpExitOk : DumpExitFailure;
  }
  if (!options.hosts.empty() && !env.remoteHosts) {
    PrintLine(err, "--host: remote adapters cannot be reached from here");
    return DumpExitFailure;
  }
  if (options.mode == DumpMode::ListAdapters) return ListAdapters(AdapterRegistry(options, err, env), out, err, env);

  const bool live = options.mode == DumpMode::Live;
  // The file's device table must outlive the adapter opened from it.
  DeviceTable fileDevices;
  const DeviceTable* devices = env.devices;
  std::optional<RowSelection> selection;
  CaptureState state;
  ColumnSet columns = options.columns;
  std::vector<TraceInterface> fileInterfaces;
  if (!live) fileInterfaces = FileInterfaces(options.file, options.mac.value_or(std::array<std::uint8_t, 6>{}));
  // A trace of several adapters, or a file of several interfaces, says which one each
  // frame came through.
  if ((options.adapters.size() > 1 || fileInterfaces.size() > 1) && !options.columnsGiven) {
    columns.shown[static_cast<int>(ColumnId::Interface)] = 1;
    columns.AssignColumnPositions();
  }
  if (options.displayFilter) selection.emplace(*options.displayFilter, columns);
  state.columns = selection ? selection->decoded : columns;
  state.adapterMac = options.mac.value_or(std::array<std::uint8_t, 6>{});

  TraceOptions traceOptions;
  traceOptions.captureFilter = options.captureFilter;
  if (live) {
    // Listed once for every -i: each listing reads every interface's details.
    std::vector<AdapterEntry> listed(DumpMaxAdapters);
    std::uint32_t count = 0;
    if (const RegistryView* registry = AdapterRegistry(options, err, env))
      EnumerateAdapters(*registry, listed.data(), DumpMaxAdapters, &count);
    listed.resize(count);
    std::vector<std::string> hosts;
    for (const AdapterChoice& choice : options.adapters) {
      std::optional<AdapterEntry> entry = LiveAdapter(choice, listed, err);
      if (!entry) return DumpExitFailure;
      TraceAdapter adapter = TraceAdapterOf(entry->keyName, entry->interfaceName, hosts);
      // Every adapter without a filter of its own takes -f's, the first one's too.
      adapter.captureFilter = choice.captureFilter.value_or(options.captureFilter);
      if (traceOptions.keyName.empty()) {
        traceOptions.keyName = adapter.keyName;
        traceOptions.name = adapter.name;
        traceOptions.host = adapter.host;
        traceOptions.captureFilter = *adapter.captureFilter;
      } else {
        traceOptions.moreAdapters.push_back(std::move(adapter));
      }
    }
    if (!options.mac) traceOptions.stationAddress = &state.adapterMac;
    // As in the window: the capture goes on with the adapter's current filter.
    traceOptions.promiscuousFailed = [err](const std::string& why) {
      PrintLine(err, WithReason("Promiscuous mode not activated", why));
    };
  } else {
    if (!env.registerCaptureFile) {
      PrintLine(err, "cannot read capture file " + options.file + ": no capture file reader");
      return DumpExitFailure;
    }
    env.registerCaptureFile(fileDevices, options.file);
    devices = &fileDevices;
    traceOptions.keyName = FileKeyName;
    traceOptions.promiscuous = false;
    traceOptions.fileInterfaces = std::move(fileInterfaces);
  }

  // Batches wait in the writer's queue until its thread starts after the header; a trace
  // that does not start writes nothing.
  std::optional<TrafficStats> stats;
  if (options.conversations || options.ioIntervalNs) stats.emplace(options.ioIntervalNs.value_or(1'000'000'000));
  DumpWriter writer(out, options.maxFrames, live, selection ? &*selection : nullptr, stats ? &*stats : nullptr);
  Trace trace(state);
  TraceStartResult started;
  if (devices) {
    started = StartTrace(trace, *devices, traceOptions, writer);
  } else {
    started.failure = TraceStartFailure::Open;
  }
  // A capture file that waits for its writer (a FIFO) is given up at an interruption.
  if (!started && env.interrupted && env.interrupted->load()) {
    PrintLine(err, FramesDecoded(0));
    return DumpExitOk;
  }
  if (!started) {
    switch (started.failure) {
      case TraceStartFailure::Allocation:
        PrintLine(err, "Packet allocation failed.");
        break;
      case TraceStartFailure::StationAddress:
        PrintLine(err, WithReason("GetAddress() failed.", started.reason));
        break;
      case TraceStartFailure::CaptureFilter:
        PrintLine(err, WithReason("-f: the capture filter was not taken", started.reason));
        break;
      default:
        if (live) {
          PrintLine(err, WithReason("Adapter " + traceOptions.keyName + " open failed", started.reason));
          if (std::string grant = CapabilityGrantHint(started.reason); !grant.empty())
            PrintLine(err, "to capture without root, grant the capture agent its capability: " + grant);
        } else {
          // The device's reason names the file and what is wrong with it.
          PrintLine(err, started.reason.empty() ? "cannot read capture file " + options.file : OneLine(started.reason));
        }
    }
    return DumpExitFailure;
  }
  if (options.header) writer.AppendHeader(columns);
  if (!traceOptions.moreAdapters.empty()) writer.SetSeveralAdapters();
  writer.Start();

  // The device stays open until StopTrace; only its end-of-input state is read from here
  // while the capture thread reads frames.
  const PacketDevice* device = trace.adapter->device.get();
  const std::string key = traceOptions.keyName;
  // Why the input ended early: a damaged file, or an adapter whose reads fail (it went
  // down or away). Either way the rows read before it are written, then the reason.
  std::string failure;
  // One live adapter tells every end through the writer or the interruption's descriptor;
  // several are looked at for the end of all of them, and a file for its end.
  const bool untimed = live && env.interruptFd >= 0 && traceOptions.moreAdapters.empty();
  for (;;) {
    if (writer.Done()) break;
    if (env.interrupted && env.interrupted->load()) break;
    for (const std::string& adapterFailure : writer.TakeAdapterFailures())
      PrintLine(err, "adapter " + OneLine(adapterFailure) + "; the other adapters go on");
    if ((!live || !traceOptions.moreAdapters.empty()) && device->EndOfInput()) {
      failure = live ? "every adapter failed; the last: " + device->LastError() : device->LastError();
      break;
    }
    if (std::optional<std::string> why = writer.ReadFailure()) {
      failure = live ? "reading from adapter " + key + " failed: " + *why : *why;
      break;
    }
    writer.WaitForNews(live ? env.livePollInterval : env.pollInterval, untimed, env.interruptFd);
  }
  // Asked while the device is open: StopTrace closes it.
  const std::vector<AdapterDrops> dropsPerAdapter = device->DropsPerAdapter();
  StopTrace(trace);

  if (!writer.Finish()) {
    PrintLine(err, "cannot write the rows: " + writer.FailureReason());
    return DumpExitFailure;
  }
  // The statistics cover the rows read before any failure, like the rows written.
  const bool statsWritten = !stats || WriteStats(options, *stats, err);
  std::string summary = FramesDecoded(writer.Examined());
  if (selection) summary += ", " + std::to_string(writer.Written()) + " kept by -Y";
  if (live) summary += ", " + std::to_string(writer.KernelDrops()) + " dropped by the kernel";
  if (!traceOptions.moreAdapters.empty()) {
    summary += " (";
    for (const AdapterDrops& drops : dropsPerAdapter)
      summary += (summary.back() == '(' ? "" : ", ") + OneLine(drops.name) + " " + std::to_string(drops.dropped);
    summary += "), " + std::to_string(writer.LateFrames()) + " late";
  }
  if (!failure.empty()) {
    // The rows before the failure are out; one line says how far the input could be read.
    PrintLine(err, summary + "; " + OneLine(failure));
    return DumpExitFailure;
  }
  PrintLine(err, summary);
  return statsWritten ? DumpExitOk : DumpExitFailure;
}
