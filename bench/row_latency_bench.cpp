// Frame to row on the loopback interface: the window's path from a frame sent to the
// batch of rows that carries it out of the capture thread (capture agent, its stream, the
// agent device, decoding, batching). UDP datagrams to 127.0.0.1 are sent at a steady
// rate; each row is matched to its datagram by order, and its latency is the time from
// the send to the hand-over of its batch. Rates: a quiet link (20/s) and flows of 20,000
// and 100,000 frames/s, 2 s each. Needs the right to capture (root, or the capability on
// the agent); says so and ends otherwise.
// Usage: row_latency_bench [SECONDS]   (ORRISVANE_BENCH_RESULTS: summary lines appended)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/devices/agent_device.h"
#include "capture/trace/capture_thread.h"
#include "capture/adapters/linux_registry.h"
#include "capture/trace/trace.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Port = 47615;
constexpr double TargetMs = 100.0;

// When each row left the capture thread, in packet order.
class TimedSink : public BatchSink {
 public:
  std::int64_t RowCount() override { return 0; }
  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override {
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    arrivals_.insert(arrivals_.end(), static_cast<std::size_t>(rows.RowCount()), now);
    drops_ = counters.kernelDrops;
  }
  std::size_t Rows() {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
  }
  std::vector<Clock::time_point> Arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }
  std::uint64_t Drops() {
    std::lock_guard lock(mutex_);
    return drops_;
  }

 private:
  std::mutex mutex_;
  std::vector<Clock::time_point> arrivals_;
  std::uint64_t drops_ = 0;
};

void AppendResult(const std::string& line) {
  const char* path = std::getenv("ORRISVANE_BENCH_RESULTS");
  if (path && *path) std::ofstream(path, std::ios::app) << line << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(0.5, std::atof(argv[1])) : 2.0;
  std::string key;
  for (const auto& interface : ListLinuxInterfaces())
    if (interface.name == "lo") key = interface.keyName;
  if (key.empty()) {
    std::printf("row latency: not measured, no loopback interface\n");
    return 0;
  }
  DeviceTable devices;
  RegisterAgentDevice(devices);

  const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(Port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto send = [&] {
    const char payload[18] = "orrisvane-latency";
    ::sendto(sender, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };

  int status = 0;
  for (const int rate : {20, 20'000, 100'000}) {
    CaptureState state;
    Trace trace{state};
    TimedSink sink;
    TraceOptions options;
    options.keyName = key;
    options.promiscuous = false;
    options.captureFilter = "udp dst port " + std::to_string(Port);
    if (TraceStartResult started = StartTrace(trace, devices, options, sink); !started) {
      std::printf("row latency: not measured, the loopback adapter cannot be opened: %s\n", started.reason.c_str());
      ::close(sender);
      return 0;
    }
    // The agent starts with the first read: one frame through shows it is capturing.
    const Clock::time_point bound = Clock::now() + std::chrono::seconds(5);
    while (sink.Rows() == 0 && Clock::now() < bound) {
      send();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::size_t before = sink.Rows();
    if (before == 0) {
      std::printf("row latency: no frame reached the list within 5 s\n");
      StopTrace(trace);
      status = 1;
      continue;
    }

    const auto count = static_cast<std::size_t>(rate * seconds);
    std::vector<Clock::time_point> sent(count);
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
      const Clock::time_point due = start + std::chrono::nanoseconds(static_cast<std::int64_t>(i * 1e9 / rate));
      if (rate < 1000) std::this_thread::sleep_until(due);
      while (Clock::now() < due) {
      }
      sent[i] = Clock::now();
      send();
    }
    const Clock::time_point waitBound = Clock::now() + std::chrono::seconds(2);
    while (sink.Rows() < before + count && Clock::now() < waitBound) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopTrace(trace);

    const std::vector<Clock::time_point> arrivals = sink.Arrivals();
    const std::size_t rows = std::min(arrivals.size() - before, count);
    std::vector<double> latencies;
    for (std::size_t i = 0; i < rows; ++i)
      latencies.push_back(std::chrono::duration<double, std::milli>(arrivals[before + i] - sent[i]).count());
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]; };
    const double worst = latencies.empty() ? 0.0 : latencies.back();
    // Rows matched by order are only right when every frame arrived.
    const bool whole = rows == count && sink.Drops() == 0;
    const bool holds = whole && worst < TargetMs;
    if (!holds) status = 1;
    std::printf("row latency at %d frames/s: %zu of %zu frames, %llu dropped; median %.1f ms, 99th %.1f ms, max %.1f ms\n",
                rate, rows, count, static_cast<unsigned long long>(sink.Drops()), at(0.5), at(0.99), worst);
    char line[256];
    std::snprintf(line, sizeof line, "live lo, frame to row, %d/s\tlatency, max (ms)\t%.1f\t-\t-\t-\t< %.0f ms, every frame\t%s",
                  rate, worst, TargetMs, holds ? "yes" : "NO");
    AppendResult(line);
  }
  ::close(sender);
  return status;
}
