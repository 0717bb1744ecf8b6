#pragma once
// The main window's side of a trace: Start, Stop and Clear, the rule that enables Start
// and Stop, the error box for capture failures, the window title and the start-up probe
// of the stored adapter. No window code here: the window is reached through CaptureView,
// so tests drive the commands with a fake view, a scripted device and a memory registry.

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "analysis/capture_state.h"
#include "capture/trace/batch_sink.h"
#include "capture/trace/capture_environment.h"
#include "capture/trace/capture_thread.h"
#include "capture/spool/spool.h"
#include "capture/trace/trace.h"

// What capture control needs of the main window.
class CaptureView {
 public:
  virtual ~CaptureView() = default;

  // Start disables its own button at once, before anything can fail, so a second click
  // cannot start a second trace; Stop's button is enabled once the thread runs.
  virtual void EnableStartButton(bool enabled) = 0;
  virtual void EnableStopButton(bool enabled) = 0;
  // The tracing flag changed (or a start was abandoned): apply the enabling rule to every
  // place the commands appear.
  virtual void UpdateCommandStates() = 0;

  virtual void SetTitle(const std::string& title) = 0;
  // Status pane 1, the trace state.
  virtual void SetTracePane(const std::string& text) = 0;

  // A modal box with an OK button. text is the system's message, shown unchanged;
  // informative (may be empty) says why and what to do about it.
  virtual int ShowMessage(const std::string& text, const std::string& informative) = 0;

  // The sink the capture thread delivers its batches to. Called by Start just before the
  // thread starts: from then on the sink's RowCount() must answer the rows the list holds.
  virtual BatchSink& Rows() = 0;
  // How old the rows of a batch may grow before the capture thread hands them to Rows():
  // a view that takes them in only a few times a second gains nothing from younger ones,
  // and its batches then wait out pauses in the frames too. BatchMaxAge: rows also go at
  // every pause.
  virtual std::chrono::milliseconds BatchAge() const { return BatchMaxAge; }
  // Puts every batch the thread has delivered into the list (after the thread ended).
  virtual void ApplyPendingRows() = 0;
  virtual void DeleteAllRows() = 0;

  // A trace has started; the log file opens here.
  virtual void TraceStarted() {}
  // A trace has ended and every row of it is in the list; the log file closes here.
  virtual void TraceStopped() {}

  // The spool's frames below packetNumber are about to leave it: the rows that rebuild
  // their Data from them keep it now, and so do rows of those frames still to come.
  virtual void FramesLeaving(std::int64_t packetNumber) { (void)packetNumber; }
  // What the spool calls, on its writer's thread, when it has a question: it must make
  // CaptureControl::AnswerSpool run on the view's thread soon. Empty (the default): the
  // view's rows do not read the spool, and its frames leave without asking.
  virtual std::function<void()> SpoolAsker() { return {}; }
};

inline constexpr std::size_t ReportErrorBufferSize = 512;

inline constexpr char FramesNotKeptMessage[] =
    "The frames of the trace could not all be kept on disk. The rows go on; the bytes of some frames are lost.";
inline constexpr char TraceOnText[] = "Trace is ON";
inline constexpr char TraceOffText[] = "Trace is OFF";
inline constexpr char NoAdapterTitle[] =
    "Orrisvane didn't find any network adapters (modems, Ethernet cards)!";

class CaptureControl {
 public:
  CaptureControl(CaptureState& state, CaptureEnvironment environment, CaptureView& view);
  // Stops a trace that still runs, so the thread never outlives what it uses.
  ~CaptureControl();
  CaptureControl(const CaptureControl&) = delete;
  CaptureControl& operator=(const CaptureControl&) = delete;

  void Start();
  void Stop();
  void Clear();
  // The rows of the list are gone (Clear, a new column set): so is their spool. Call only
  // while no trace runs.
  void DropFrames();
  // Answers the spool's open question, if any, through CaptureView::FramesLeaving.
  void AnswerSpool();

  bool IsTracing() const { return tracing_ != 0; }
  // The frames of the listed rows kept on disk (the spool, from the first Start to
  // Clear); null while there is none.
  const FrameSource* Frames() const { return spool_.get(); }
  // The running trace (its adapter and request are held only between Start and Stop).
  const Trace& CurrentTrace() const { return trace_; }
  // The enabling rule.
  bool CanStart() const { return tracing_ == 0; }
  bool CanStop() const { return tracing_ != 0; }

  // Formats printf-style into 512 bytes (longer messages are cut) and shows the box.
  int ReportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The same with a reason and a hint under the message.
  int ReportErrorWithReason(const std::string& informative, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  void UpdateTitle();
  // The chosen adapter among the first limit listed. It is found by its stored interface
  // name, and the stored index follows it there; while no name is stored, by the stored
  // index (the probe and Start store the name of the adapter they opened). Nothing when
  // it is not among them.
  std::optional<AdapterEntry> ChosenAdapter(std::uint32_t limit);
  // 0 when the stored adapter opens and gives its MAC address, else -1 (already reported).
  // A stored name that is not listed is not looked for by index.
  int ProbeAdapter();

  // The title for the given state, without touching the window (the title formats).
  static std::string TitleFor(const AdapterEntry* adapter, const std::array<std::uint8_t, 6>& mac, bool tracing);

  // Where a failure was met: at Start, the Settings command is there to choose another
  // adapter; at the start-up probe the program ends, so only the command line is.
  enum class FailureContext { Trace, StartupProbe };
  // The informative text for a device's failure reason: the reason and, where the
  // reason is one a user can fix, how.
  static std::string ExplainFailure(const std::string& reason, FailureContext context = FailureContext::Trace);

 private:
  int VReportError(const std::string& informative, const char* format, std::va_list args);
  // The stored name is listed nowhere: says so, with the reason remote hosts gave when
  // the name is one of theirs.
  void ReportNameNotFound(FailureContext context);
  // Why the list may lack remote adapters ("HOST: reason" lines), empty when every host
  // was listed; only of host when given.
  std::string HostFailures(const std::string& host = {}) const;
  void SetTraceState(bool tracing);
  // The adapters the settings add to a trace on first (Also capture on), found by name in
  // the list; false, already reported, when one is not listed.
  bool AddMoreAdapters(const AdapterEntry& first, TraceOptions& options);

  CaptureState& state_;
  CaptureEnvironment environment_;
  CaptureView& view_;
  Trace trace_;
  std::unique_ptr<Spool> spool_;
  std::int32_t tracing_ = 0;
};
