// The reading side of the capture agent's stream: processor time per frame of the pcapng
// stream reader alone (bytes in memory, handed over in 64 KiB pieces), and of the agent
// device reading the same stream from a pipe, with `cat` standing in for the agent.
// Usage: agent_reader_bench [FRAMES [FRAME_BYTES]]   (default 1,000,000 frames of 60 bytes)

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture/devices/agent_device.h"
#include "capture/driver/driver_client.h"
#include "capture/formats/pcapng_stream.h"
#include "tests/support/pcapng_builder.h"

namespace {

namespace fs = std::filesystem;

double ThreadCpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void WriteText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

int main(int argc, char** argv) {
  const long frames = argc > 1 ? std::max(1L, std::atol(argv[1])) : 1'000'000;
  const std::size_t frameBytes = argc > 2 ? static_cast<std::size_t>(std::max(14, std::atoi(argv[2]))) : 60;

  pcapng_builder::Stream stream;
  // The agent's interface description names the interface and carries its station address.
  stream.Section().Interface(1, 1520, {pcapng_builder::TextOption(2, "bench0"),
                                       pcapng_builder::MacOption({0x02, 0x00, 0x00, 0x00, 0x00, 0x01})});
  const pcapng_builder::Bytes frame = pcapng_builder::PatternFrame(frameBytes, 1);
  for (long i = 0; i < frames; ++i) {
    stream.Packet(0, static_cast<std::uint64_t>(i), frame);
    if (i % 100'000 == 0) stream.Statistics(0, static_cast<std::uint64_t>(i), 0);
  }
  const auto& bytes = stream.bytes();

  // The reader alone.
  {
    PcapngStreamReader reader;
    long seen = 0;
    const double start = ThreadCpuNanoseconds();
    for (std::size_t at = 0; at < bytes.size();) {
      at += reader.Feed(std::span(bytes).subspan(at, std::min<std::size_t>(65536, bytes.size() - at)));
      for (auto item = reader.Next(); item != PcapngStreamReader::Item::NeedMore; item = reader.Next()) {
        if (item == PcapngStreamReader::Item::Failed) {
          std::printf("stream reader failed: %s\n", reader.Failure().c_str());
          return 1;
        }
        seen += item == PcapngStreamReader::Item::Packet;
      }
    }
    const double took = ThreadCpuNanoseconds() - start;
    std::printf("pcapng stream reader: %ld frames of %zu bytes, %.1f ns CPU per frame\n", seen, frameBytes, took / seen);
  }

  // The device, reading from a pipe.
  const fs::path dir = fs::temp_directory_path() / ("orrisvane-agent-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir / "sys" / "class" / "net" / "bench0");
  WriteText(dir / "sys" / "class" / "net" / "bench0" / "ifindex", "1\n");
  WriteText(dir / "sys" / "class" / "net" / "bench0" / "type", "1\n");
  std::ofstream(dir / "stream.pcapng", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  // The stand-in agent streams the file, whatever it is asked.
  WriteText(dir / "agent", "#!/bin/sh\ncat '" +
                               (dir / "stream.pcapng").string() + "'\nexec sleep 600\n");
  fs::permissions(dir / "agent", fs::perms::owner_all);

  DeviceTable devices;
  RegisterAgentDevice(devices, AgentOptions{(dir / "agent").string(), (dir / "sys").string()});
  std::string why;
  AdapterPtr adapter = OpenAdapter(devices, "0001", &why);
  int status = 0;
  if (!adapter) {
    std::printf("agent device: cannot open: %s\n", why.c_str());
    status = 1;
  } else {
    RequestPtr request = AllocatePacket(adapter.get());
    std::uint8_t buffer[1520];
    InitPacket(request.get(), buffer, sizeof buffer);
    long seen = 0, empty = 0;
    const double start = ThreadCpuNanoseconds();
    const auto wallStart = std::chrono::steady_clock::now();
    while (seen < frames && empty < 100) {
      std::uint32_t count = 0;
      if (!ReadPacket(adapter.get(), request.get(), &count)) {
        std::printf("agent device: read failed: %s\n", adapter->lastError.c_str());
        status = 1;
        break;
      }
      if (count > 0) ++seen;
      else ++empty;
    }
    const double took = ThreadCpuNanoseconds() - start;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("agent device from a pipe: %ld frames of %zu bytes in %.2f s, %.1f ns CPU per frame (reader)\n", seen,
                frameBytes, wall, took / std::max(seen, 1L));
  }
  adapter.reset();
  fs::remove_all(dir);
  return status;
}
