#include "capture/trace/trace.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "capture/devices/merged_device.h"
#include "capture/trace/capture_thread.h"

namespace {

// Opens one adapter, gives it its capture filter, reads its station address into *mac
// (when given) and asks for promiscuous mode. Null on failure, with result filled in.
AdapterPtr OpenOneAdapter(const DeviceTable& devices, const std::string& keyName, const std::string& captureFilter,
                          const TraceOptions& options, std::array<std::uint8_t, 6>* mac, TraceStartResult& result) {
  AdapterPtr adapter = OpenAdapter(devices, keyName.c_str(), &result.reason);
  if (!adapter) {
    result.failure = TraceStartFailure::Open;
    return adapter;
  }
  if (!adapter->device->SetCaptureFilter(captureFilter)) {
    result.failure = TraceStartFailure::CaptureFilter;
    result.reason = adapter->device->LastError();
    return AdapterPtr(nullptr, nullptr);
  }
  if (mac) {
    std::uint32_t returned = 0;
    if (!GetAddress(adapter.get(), mac->data(), static_cast<std::uint32_t>(mac->size()), &returned)) {
      result.failure = TraceStartFailure::StationAddress;
      result.reason = adapter->lastError;
      return AdapterPtr(nullptr, nullptr);
    }
  }
  if (options.promiscuous && !SetPacketFilter(adapter.get(), PromiscuousFilter) && options.promiscuousFailed) {
    options.promiscuousFailed(adapter->lastError);
  }
  return adapter;
}

// Opens every adapter of a trace of several and describes them in the state; the device
// that merges them, or null with result filled in (the reason after the adapter's name).
AdapterPtr OpenMergedAdapters(Trace& trace, const DeviceTable& devices, const TraceOptions& options,
                              TraceStartResult& result) {
  std::vector<TraceAdapter> all;
  all.push_back(TraceAdapter{options.keyName, options.name, options.host, options.captureFilter});
  all.insert(all.end(), options.moreAdapters.begin(), options.moreAdapters.end());
  std::vector<TraceInterface> interfaces;
  std::vector<MergedAdapter> adapters;
  for (const TraceAdapter& one : all) {
    TraceInterface described;
    described.name = one.name;
    described.host = one.host;
    AdapterPtr adapter = OpenOneAdapter(devices, one.keyName, one.captureFilter.value_or(options.captureFilter), options,
                                        &described.mac, result);
    if (!adapter) {
      result.reason = one.name + ": " + (result.reason.empty() ? "failed" : result.reason);
      return AdapterPtr(nullptr, nullptr);
    }
    std::array<char, 260> description{};
    std::uint32_t returned = 0;
    if (QueryDescription(adapter.get(), description.data(), static_cast<std::uint32_t>(description.size()), &returned))
      described.description.assign(description.data(), strnlen(description.data(), description.size()));
    interfaces.push_back(std::move(described));
    adapters.push_back(MergedAdapter{std::move(adapter), one.name});
  }
  if (options.stationAddress) *options.stationAddress = interfaces.front().mac;
  trace.state.interfaces = std::move(interfaces);
  return AdoptDevice(std::make_unique<MergedDevice>(std::move(adapters), options.holdBack), options.keyName.c_str());
}

}  // namespace

std::vector<frame_file::FileInterface> FileInterfacesOf(const std::vector<TraceInterface>& interfaces) {
  std::vector<frame_file::FileInterface> described;
  for (const TraceInterface& interface : interfaces)
    described.push_back({interface.name, interface.description, interface.mac});
  return described;
}

TraceAdapter TraceAdapterOf(const std::string& keyName, const std::string& interfaceName,
                            std::vector<std::string>& hosts) {
  TraceAdapter adapter{keyName, interfaceName.empty() ? keyName : interfaceName, 0, std::nullopt};
  if (const std::size_t slash = interfaceName.find('/'); slash != std::string::npos) {
    const std::string host = interfaceName.substr(0, slash);
    adapter.name = host + ": " + interfaceName.substr(slash + 1);
    if (hosts.empty()) hosts.push_back({});  // this machine
    auto it = std::find(hosts.begin(), hosts.end(), host);
    if (it == hosts.end()) it = hosts.insert(hosts.end(), host);
    adapter.host = static_cast<std::uint32_t>(it - hosts.begin());
  }
  return adapter;
}

TraceStartResult StartTrace(Trace& trace, const DeviceTable& devices, const TraceOptions& options, BatchSink& sink) {
  TraceStartResult result;
  // A trace that still runs would have its adapter replaced under the reading thread.
  if (trace.Running() || trace.adapter) {
    result.failure = TraceStartFailure::Open;
    result.reason = "a trace is already running";
    return result;
  }

  trace.state.interfaces = options.fileInterfaces;
  trace.adapter = options.moreAdapters.empty()
                      ? OpenOneAdapter(devices, options.keyName, options.captureFilter, options, options.stationAddress,
                                       result)
                      : OpenMergedAdapters(trace, devices, options, result);
  if (!trace.adapter) return result;

  trace.request = AllocatePacket(trace.adapter.get());
  if (!trace.request) {
    result.failure = TraceStartFailure::Allocation;
    CloseAdapter(std::move(trace.adapter));
    return result;
  }
  InitPacket(trace.request.get(), trace.state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));

  trace.sink = &sink;
  trace.recorder = options.recorder;
  trace.batchAge = options.batchAge;
  if (trace.recorder) trace.recorder->SetInterfaces(FileInterfacesOf(trace.state.interfaces));
  StartCaptureThread(trace);
  return result;
}
