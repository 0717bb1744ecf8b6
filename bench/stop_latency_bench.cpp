// Stop latency on a quiet interface: how long StopTrace takes from the moment it
// is called while the capture thread waits in a read on the live libpcap device, until
// the thread has handed over its last batch (the thread's end), and until Stop returns
// with the request freed and the adapter closed.
// Usage: stop_latency_bench [KEY_NAME [RUNS]]   (default: the loopback interface, 50 runs)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/trace/capture_thread.h"
#include "capture/trace/trace.h"
#include "capture/driver/driver_client.h"
#include "capture/adapters/linux_registry.h"
#include "capture/devices/pcap_device.h"

namespace {

class NullSink : public BatchSink {
 public:
  std::int64_t RowCount() override { return rows_; }
  void DeliverBatch(RowStore rows, const TrafficCounters&) override {
    rows_ += rows.RowCount();
    last_ = std::chrono::steady_clock::now();
  }
  std::int64_t rows_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace

int main(int argc, char** argv) {
  std::string key = argc > 1 ? argv[1] : "";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
  if (key.empty()) {
    for (auto& interface : ListLinuxInterfaces())
      if (interface.name == "lo") key = interface.keyName;
  }
  DeviceTable devices;
  RegisterPcapDevice(devices);

  std::vector<double> latencies, threadEnds;
  std::int64_t frames = 0;
  for (int run = 0; run < runs; ++run) {
    CaptureState state;
    Trace trace{state};
    NullSink sink;
    std::string why;
    trace.adapter = OpenAdapter(devices, key.c_str(), &why);
    if (!trace.adapter) {
      std::printf("stop latency: not measured, adapter %s cannot be opened: %s\n", key.c_str(), why.c_str());
      return 0;
    }
    SetPacketFilter(trace.adapter.get(), PromiscuousFilter);
    trace.request = AllocatePacket(trace.adapter.get());
    InitPacket(trace.request.get(), state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));
    trace.sink = &sink;
    StartCaptureThread(trace);
    // Somewhere inside the 50 ms read timeout, as a user's click would be.
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + (run * 7) % 40));
    const auto begin = std::chrono::steady_clock::now();
    StopTrace(trace);
    const auto end = std::chrono::steady_clock::now();
    latencies.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
    threadEnds.push_back(std::chrono::duration<double, std::micro>(sink.last_ - begin).count());
    frames += sink.rows_;
  }
  auto report = [&](const char* what, std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[static_cast<std::size_t>(q * (values.size() - 1))]; };
    std::printf("%s: min %.0f us, median %.0f us, 95th %.0f us, max %.0f us\n", what, values.front(), at(0.5),
                at(0.95), values.back());
  };
  std::printf("stop latency on adapter %s over %d runs (%lld frames seen)\n", key.c_str(), runs,
              static_cast<long long>(frames));
  report("  until the capture thread has ended", threadEnds);
  report("  until Stop returns (adapter closed)", latencies);
  return 0;
}
