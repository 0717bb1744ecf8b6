#include "capture/trace/trace.h"

#include <utility>

#include "capture/trace/capture_thread.h"

TraceStartResult StartTrace(Trace& trace, const DeviceTable& devices, const TraceOptions& options, BatchSink& sink) {
  TraceStartResult result;
  // A trace that still runs would have its adapter replaced under the reading thread.
  if (trace.Running() || trace.adapter) {
    result.failure = TraceStartFailure::Open;
    result.reason = "a trace is already running";
    return result;
  }

  trace.adapter = OpenAdapter(devices, options.keyName.c_str(), &result.reason);
  if (!trace.adapter) {
    result.failure = TraceStartFailure::Open;
    return result;
  }

  if (!trace.adapter->device->SetCaptureFilter(options.captureFilter)) {
    result.failure = TraceStartFailure::CaptureFilter;
    result.reason = trace.adapter->device->LastError();
    CloseAdapter(std::move(trace.adapter));
    return result;
  }

  if (options.stationAddress) {
    std::uint32_t returned = 0;
    auto& address = *options.stationAddress;
    if (!GetAddress(trace.adapter.get(), address.data(), static_cast<std::uint32_t>(address.size()), &returned)) {
      result.failure = TraceStartFailure::StationAddress;
      result.reason = trace.adapter->lastError;
      CloseAdapter(std::move(trace.adapter));
      return result;
    }
  }

  if (options.promiscuous && !SetPacketFilter(trace.adapter.get(), PromiscuousFilter) && options.promiscuousFailed) {
    options.promiscuousFailed(trace.adapter->lastError);
  }

  trace.request = AllocatePacket(trace.adapter.get());
  if (!trace.request) {
    result.failure = TraceStartFailure::Allocation;
    CloseAdapter(std::move(trace.adapter));
    return result;
  }
  InitPacket(trace.request.get(), trace.state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));

  trace.sink = &sink;
  trace.recorder = options.recorder;
  StartCaptureThread(trace);
  return result;
}
