#include "capture/capture_control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "capture/adapters.h"
#include "capture/driver_client.h"

namespace {

bool Contains(const std::string& haystack, const char* needle) {
  std::string lower(haystack);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find(needle) != std::string::npos;
}

std::string ProgramPath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("orrisvane") : path.string();
}

}  // namespace

CaptureControl::CaptureControl(CaptureState& state, CaptureEnvironment environment, CaptureView& view)
    : state_(state), environment_(environment), view_(view) {}

CaptureControl::~CaptureControl() {
  if (thread_.joinable()) StopCaptureThread(state_, thread_);
}

void CaptureControl::Start() {
  // A second Start while a trace runs would replace the adapter under the running thread.
  if (tracing_) return;
  view_.EnableStartButton(false);

  AdapterEntry adapters[StartAdapterMaximum];
  std::uint32_t found = 0;
  EnumerateAdapters(environment_.registry, adapters, StartAdapterMaximum, &found);

  const bool listed = state_.adapterIndex >= 0 && static_cast<std::uint32_t>(state_.adapterIndex) < found;
  const char* keyName = listed ? adapters[state_.adapterIndex].keyName : "";
  std::string why;
  if (listed) state_.adapter = OpenAdapter(environment_.devices, keyName, &why);
  if (!state_.adapter) {
    ReportErrorWithReason(ExplainFailure(why), "Adapter %s open failed.\n", keyName);
    view_.UpdateCommandStates();
    return;
  }

  if (!SetPacketFilter(state_.adapter.get(), PromiscuousFilter)) {
    ReportErrorWithReason(ExplainFailure(state_.adapter->lastError), "Promiscuous mode not activated\n");
  }

  state_.request = AllocatePacket(state_.adapter.get());
  if (!state_.request) {
    CloseAdapter(std::move(state_.adapter));
    state_.adapter = AdapterPtr(nullptr, nullptr);
    ReportError("Packet allocation failed.\n");
    view_.UpdateCommandStates();
    return;
  }
  InitPacket(state_.request.get(), state_.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));

  // The sink must know the list's row count before the thread asks for it: the first
  // packet number of the run.
  state_.listWindow = &view_.Rows();
  state_.stopRequested = 0;
  thread_ = StartCaptureThread(state_);

  view_.EnableStopButton(true);
  SetTraceState(true);
  view_.TraceStarted();
}

void CaptureControl::Stop() {
  // StopCaptureThread raises the stop request, ends a pending read, joins, and only then
  // frees the request and closes the adapter. Without a thread it only raises the flag.
  StopCaptureThread(state_, thread_);
  const bool wasTracing = tracing_ != 0;
  // Every batch has been delivered; put them into the list now, so the row count that
  // Clear and the next Start see is the real one.
  view_.ApplyPendingRows();
  SetTraceState(false);
  if (wasTracing) view_.TraceStopped();
}

void CaptureControl::Clear() {
  Stop();
  view_.DeleteAllRows();
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
                "Orrisvane is sniffing packets on the %s (MAC address %02X:%02X:%02X:%02X:%02X:%02X) - Trace is %s",
                adapter->description, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], tracing ? "ON" : "OFF");
  return title;
}

void CaptureControl::UpdateTitle() {
  AdapterEntry adapters[StartAdapterMaximum];
  std::uint32_t found = 0;
  EnumerateAdapters(environment_.registry, adapters, StartAdapterMaximum, &found);
  // An index past the adapters listed has no description to show: say that none was found
  // rather than name another adapter.
  const bool listed = state_.adapterIndex >= 0 && static_cast<std::uint32_t>(state_.adapterIndex) < found;
  view_.SetTitle(TitleFor(listed ? &adapters[state_.adapterIndex] : nullptr, state_.adapterMac, tracing_ != 0));
}

int CaptureControl::ProbeAdapter() {
  std::vector<AdapterEntry> adapters(ProbeAdapterMaximum);
  std::uint32_t found = 0;
  EnumerateAdapters(environment_.registry, adapters.data(), ProbeAdapterMaximum, &found);
  if (found == 0) {
    view_.ShowMessage("No adapters found!", {});
    return -1;
  }

  const bool listed = state_.adapterIndex >= 0 && static_cast<std::uint32_t>(state_.adapterIndex) < found;
  const char* keyName = listed ? adapters[state_.adapterIndex].keyName : "";
  std::string why;
  AdapterPtr adapter(nullptr, nullptr);
  if (listed) adapter = OpenAdapter(environment_.devices, keyName, &why);
  if (!adapter) {
    ReportErrorWithReason(ExplainFailure(why), "Adapter %d (%s) open failed.\n", state_.adapterIndex, keyName);
    return -1;
  }

  std::uint32_t returned = 0;
  if (!GetAddress(adapter.get(), state_.adapterMac.data(), 6, &returned)) {
    view_.ShowMessage("GetAddress() failed.", ExplainFailure(adapter->lastError));
    CloseAdapter(std::move(adapter));
    return -1;
  }
  CloseAdapter(std::move(adapter));
  return 0;
}

std::string CaptureControl::ExplainFailure(const std::string& reason) {
  if (reason.empty()) return {};
  std::string text = reason;
  if (Contains(reason, "permission") || Contains(reason, "not permitted")) {
    text += "\n\nCapturing needs the raw-network capability. Run Orrisvane as root, or grant it once:\n"
            "    sudo setcap cap_net_raw,cap_net_admin+eip " +
            ProgramPath();
  } else if (Contains(reason, "not up") || Contains(reason, " down")) {
    text += "\n\nBring the interface up (for example: sudo ip link set <interface> up), or choose "
            "another adapter in Settings.";
  }
  return text;
}
