#include "capture/trace/capture_control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

#include "analysis/mac_text.h"
#include "capture/adapters/adapters.h"
#include "capture/devices/agent_device.h"
#include "capture/devices/capture_filter.h"
#include "capture/driver/driver_client.h"
#include "capture/remote/remote_adapters.h"

namespace {

bool Contains(const std::string& haystack, const char* needle) {
  std::string lower(haystack);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find(needle) != std::string::npos;
}

// At start-up the program ends after a failed probe, before Settings can be reached.
constexpr char StartupHint[] =
    "\nTo use another adapter, start Orrisvane with --adapter N (orrisvane-dump -D lists the adapters).";


}  // namespace

CaptureControl::CaptureControl(CaptureState& state, CaptureEnvironment environment, CaptureView& view)
    : state_(state), environment_(environment), view_(view), trace_(state) {}

CaptureControl::~CaptureControl() {
  StopTrace(trace_);
  spool_.reset();
}

void CaptureControl::Start() {
  // A second Start while a trace runs would replace the adapter under the running thread.
  if (tracing_) return;
  view_.EnableStartButton(false);

  // A stored filter may no longer compile (another libpcap, a hand-edited profile): the
  // trace would otherwise start with a filter other than the one asked for.
  if (std::optional<std::string> why = CaptureFilterError(state_.captureFilter)) {
    ReportErrorWithReason(*why, "The capture filter \"%s\" was not accepted.\n", state_.captureFilter.c_str());
    view_.UpdateCommandStates();
    return;
  }

  const std::optional<AdapterEntry> adapter = ChosenAdapter(AdapterChoiceLimit(environment_.registry));
  if (!adapter && !state_.adapterName.empty() &&
      !FindAdapterIndexByName(environment_.registry, state_.adapterName, ProbeAdapterLimit)) {
    // Never another adapter in its place: the one at its old index is some other one now.
    ReportNameNotFound(FailureContext::Trace);
    view_.UpdateCommandStates();
    return;
  }
  TraceOptions options;
  options.keyName = adapter ? adapter->keyName : "";
  if (adapter && !state_.moreAdapters.empty() && !AddMoreAdapters(*adapter, options)) {
    view_.UpdateCommandStates();
    return;
  }
  options.captureFilter = state_.captureFilter;
  // The address of the adapter opened: one made again under the same name has a new one.
  options.stationAddress = &state_.adapterMac;
  // One spool for the rows of the list: runs after a Stop go on into it until Clear.
  if (!spool_ && environment_.spools) {
    SpoolOptions spoolOptions;
    spoolOptions.limitBytes = std::uint64_t(std::max(state_.spoolLimitMiB, 1)) << 20;
    spool_ = environment_.spools->NewSpool(spoolOptions);
    if (spool_) spool_->AskBeforeFramesLeave(view_.SpoolAsker());
  }
  options.recorder = spool_.get();
  options.batchAge = view_.BatchAge();
  options.promiscuousFailed = [this](const std::string& reason) {
    ReportErrorWithReason(ExplainFailure(reason), "Promiscuous mode not activated\n");
  };
  // The sink must know the list's row count before the thread asks for it: the first
  // packet number of the run.
  TraceStartResult started;
  if (adapter) {
    started = StartTrace(trace_, environment_.devices, options, view_.Rows());
  } else {
    started.failure = TraceStartFailure::Open;
  }
  if (!started) {
    if (started.failure == TraceStartFailure::Allocation) {
      ReportError("Packet allocation failed.\n");
    } else if (started.failure == TraceStartFailure::StationAddress) {
      view_.ShowMessage("GetAddress() failed.", ExplainFailure(started.reason));
    } else if (started.failure == TraceStartFailure::CaptureFilter) {
      ReportErrorWithReason(started.reason, "The capture filter \"%s\" was not accepted.\n",
                            state_.captureFilter.c_str());
    } else {
      ReportErrorWithReason(ExplainFailure(started.reason), "Adapter %s open failed.\n", options.keyName.c_str());
    }
    view_.UpdateCommandStates();
    return;
  }

  state_.adapterName = adapter->interfaceName;
  view_.EnableStopButton(true);
  SetTraceState(true);
  view_.TraceStarted();
}

void CaptureControl::Stop() {
  // Without a running trace StopTrace only raises the stop flag.
  StopTrace(trace_);
  const bool wasTracing = tracing_ != 0;
  if (spool_) {
    // A failure met while the last frames were written is told now, once, like any other.
    // The writer may wait for the list to keep Data before frames leave: answered here,
    // since this thread is the list's.
    while (!spool_->WaitWritten()) AnswerSpool();
    if (std::optional<std::string> why = spool_->TakeFailure()) view_.ShowMessage(FramesNotKeptMessage, *why);
    spool_->ReleaseIdleBuffers();
  }
  // Every batch has been delivered; put them into the list now, so the row count that
  // Clear and the next Start see is the real one.
  view_.ApplyPendingRows();
  SetTraceState(false);
  if (wasTracing) view_.TraceStopped();
}

void CaptureControl::Clear() {
  Stop();
  view_.DeleteAllRows();
  DropFrames();
}

void CaptureControl::AnswerSpool() {
  if (!spool_) return;
  if (const std::optional<Spool::Question> question = spool_->OpenQuestion()) {
    view_.FramesLeaving(question->below);
    spool_->Answer(question->id);
  }
}

void CaptureControl::DropFrames() {
  if (!tracing_) spool_.reset();
}

void CaptureControl::SetTraceState(bool tracing) {
  tracing_ = tracing ? 1 : 0;
  UpdateTitle();
  view_.SetTracePane(tracing ? TraceOnText : TraceOffText);
  view_.UpdateCommandStates();
}

int CaptureControl::ReportError(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  int result = VReportError({}, format, args);
  va_end(args);
  return result;
}

int CaptureControl::ReportErrorWithReason(const std::string& informative, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  int result = VReportError(informative, format, args);
  va_end(args);
  return result;
}

int CaptureControl::VReportError(const std::string& informative, const char* format, std::va_list args) {
  char message[ReportErrorBufferSize];
  // vsnprintf cuts at 511 characters and always terminates.
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = 0;
  return view_.ShowMessage(message, informative);
}

std::string CaptureControl::TitleFor(const AdapterEntry* adapter, const std::array<std::uint8_t, 6>& mac,
                                     bool tracing) {
  if (!adapter) return NoAdapterTitle;
  char title[512];
  std::snprintf(title, sizeof title,
                "Orrisvane is sniffing packets on the %s (MAC address %s) - Trace is %s", adapter->description,
                MacText(mac.data()).c_str(), tracing ? "ON" : "OFF");
  return title;
}

void CaptureControl::UpdateTitle() {
  // An adapter not listed has no description to show: say that none was found rather
  // than name another adapter.
  const std::optional<AdapterEntry> adapter = ChosenAdapter(AdapterChoiceLimit(environment_.registry));
  view_.SetTitle(TitleFor(adapter ? &*adapter : nullptr, state_.adapterMac, tracing_ != 0));
}

bool CaptureControl::AddMoreAdapters(const AdapterEntry& first, TraceOptions& options) {
  std::vector<std::string> hosts;
  const TraceAdapter described = TraceAdapterOf(first.keyName, first.interfaceName, hosts);
  options.name = described.name;
  options.host = described.host;
  options.holdBack = std::chrono::milliseconds{state_.holdBackMs};
  std::vector<AdapterEntry> entries(ProbeAdapterLimit);
  std::uint32_t count = 0;
  EnumerateAdapters(environment_.registry, entries.data(), ProbeAdapterLimit, &count);
  for (const std::string& name : state_.moreAdapters) {
    if (name == first.interfaceName) continue;  // the first adapter is in the trace already
    const AdapterEntry* entry = nullptr;
    for (std::uint32_t i = 0; i < count && !entry; ++i)
      if (name == entries[i].interfaceName) entry = &entries[i];
    if (!entry) {
      // Never a trace without an adapter that was asked for: its frames would be missed.
      ReportErrorWithReason("No adapter of that name is listed: it was removed or renamed.",
                            "The adapter %s (Settings > Adapter > Also capture on) was not found.\n", name.c_str());
      return false;
    }
    TraceAdapter adapter = TraceAdapterOf(entry->keyName, entry->interfaceName, hosts);
    if (const auto own = state_.adapterFilters.find(name); own != state_.adapterFilters.end()) {
      // As the trace's own: a stored filter that no longer compiles starts nothing.
      if (std::optional<std::string> why = CaptureFilterError(own->second)) {
        ReportErrorWithReason(*why, "The capture filter \"%s\" of the adapter %s was not accepted.\n",
                              own->second.c_str(), name.c_str());
        return false;
      }
      adapter.captureFilter = own->second;
    }
    options.moreAdapters.push_back(std::move(adapter));
  }
  return true;
}

std::optional<AdapterEntry> CaptureControl::ChosenAdapter(std::uint32_t limit) {
  std::vector<AdapterEntry> entries(ProbeAdapterLimit);
  std::uint32_t count = 0;
  EnumerateAdapters(environment_.registry, entries.data(), ProbeAdapterLimit, &count);
  std::optional<std::uint32_t> at;
  if (!state_.adapterName.empty()) {
    for (std::uint32_t i = 0; i < count && !at; ++i)
      if (state_.adapterName == entries[i].interfaceName) at = i;
    if (at && *at <= static_cast<std::uint32_t>(HighestAdapterIndex))
      state_.adapterIndex = static_cast<std::int32_t>(*at);
  } else if (state_.adapterIndex >= 0 && static_cast<std::uint32_t>(state_.adapterIndex) < count) {
    at = static_cast<std::uint32_t>(state_.adapterIndex);
  }
  if (!at || *at >= limit) return std::nullopt;
  return entries[*at];
}

std::string CaptureControl::HostFailures(const std::string& host) const {
  std::string text;
  if (!environment_.remoteHosts) return text;
  for (const auto& [failed, reason] : environment_.remoteHosts->Failures()) {
    if (!host.empty() && failed != host) continue;
    // ssh names the destination itself ("capture@web1: Permission denied (publickey).").
    const bool named = reason.starts_with(failed + ":");
    text += (text.empty() ? "" : "\n") + (named ? reason : failed + ": " + reason);
  }
  return text;
}

void CaptureControl::ReportNameNotFound(FailureContext context) {
  const std::optional<std::pair<std::string, std::string>> remote = SplitRemoteKey(state_.adapterName);
  std::string why = remote ? HostFailures(remote->first) : std::string();
  if (why.empty()) why = "No adapter of that name is listed: it was removed or renamed.";
  why += context == FailureContext::Trace ? "\nChoose another adapter in Settings." : StartupHint;
  ReportErrorWithReason(why, "Adapter %s was not found.\n", state_.adapterName.c_str());
}

int CaptureControl::ProbeAdapter() {
  std::uint32_t found = 0;
  FindAdapter(environment_.registry, 0, ProbeAdapterLimit, &found);
  const std::optional<AdapterEntry> entry = ChosenAdapter(ProbeAdapterLimit);
  if (found == 0) {
    view_.ShowMessage("No adapters found!", {});
    return -1;
  }
  if (!entry && !state_.adapterName.empty()) {
    ReportNameNotFound(FailureContext::StartupProbe);
    return -1;
  }
  if (!entry) {
    // The stored adapter has gone (or the settings name one that never was): nothing to
    // open. When a host could not be listed its adapters are missing, so its reason is
    // what the user needs; otherwise the hint says which indexes there are.
    std::string why = HostFailures();
    if (why.empty())
      why = "There " + std::string(found == 1 ? "is 1 adapter (index 0)" : "are " + std::to_string(found) +
                                   " adapters (indexes 0 to " + std::to_string(found - 1) + ")") + ".";
    ReportErrorWithReason(why + StartupHint, "Adapter %d (%s) open failed.\n", state_.adapterIndex, "");
    return -1;
  }

  std::string why;
  AdapterPtr adapter = OpenAdapter(environment_.devices, entry->keyName, &why);
  if (!adapter) {
    ReportErrorWithReason(ExplainFailure(why, FailureContext::StartupProbe), "Adapter %d (%s) open failed.\n",
                          state_.adapterIndex, entry->keyName);
    return -1;
  }

  std::uint32_t returned = 0;
  if (!GetAddress(adapter.get(), state_.adapterMac.data(), 6, &returned)) {
    view_.ShowMessage("GetAddress() failed.", ExplainFailure(adapter->lastError, FailureContext::StartupProbe));
    CloseAdapter(std::move(adapter));
    return -1;
  }
  CloseAdapter(std::move(adapter));
  state_.adapterName = entry->interfaceName;
  return 0;
}

std::string CaptureControl::ExplainFailure(const std::string& reason, FailureContext context) {
  if (reason.empty()) return {};
  std::string text = reason;
  if (std::string grant = CapabilityGrantHint(reason); !grant.empty()) {
    text += "\n\nCapturing needs the raw-network capability, which only the capture agent holds. Grant it to "
            "the agent once (again after each build):\n    " +
            grant;
  } else if (Contains(reason, "not up") || Contains(reason, " down")) {
    text += "\n\nBring the interface up (for example: sudo ip link set <interface> up)";
    text += context == FailureContext::Trace ? ", or choose another adapter in Settings." : "." + std::string(StartupHint);
  }
  return text;
}
