// The reading side of a live trace without the decoder: the capture agent and the agent
// device that reads its stream, which is what the window's capture thread reads frames
// through, capturing on IFNAME until SIGINT or SIGTERM. At its end it prints on stderr
// "frames N dropped D" (D: the kernel's drops as the agent last told them).
// Run under cpu-time, the processor time counted is the agent's and the reader's together:
// the agent is this program's child, reaped when the adapter closes. With --spool FOLDER
// every frame also goes to a spool in FOLDER, handed over as the capture thread does (at
// each batch of rows), and the spool's writer thread counts too.
//
// Usage: live-reader [--spool FOLDER] IFNAME [CAPTURE_FILTER]

#include <net/if.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "capture/devices/agent_device.h"
#include "capture/trace/capture_thread.h"
#include "capture/driver/driver_client.h"
#include "capture/spool/spool.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void RequestStop(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  std::string spoolFolder;
  if (argc > 2 && std::string(argv[1]) == "--spool") {
    spoolFolder = argv[2];
    argc -= 2;
    argv += 2;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: live-reader [--spool FOLDER] IFNAME [CAPTURE_FILTER]\n");
    return 2;
  }
  const unsigned index = ::if_nametoindex(argv[1]);
  if (index == 0) {
    std::fprintf(stderr, "live-reader: there is no interface %s\n", argv[1]);
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  DeviceTable devices;
  RegisterAgentDevice(devices);
  char key[16];
  std::snprintf(key, sizeof key, "%04u", index);
  std::string why;
  AdapterPtr adapter = OpenAdapter(devices, key, &why);
  if (!adapter) {
    std::fprintf(stderr, "live-reader: cannot open %s: %s\n", argv[1], why.c_str());
    return 1;
  }
  if (!adapter->device->SetCaptureFilter(argc > 2 ? argv[2] : "")) {
    std::fprintf(stderr, "live-reader: the filter was not taken: %s\n", adapter->device->LastError().c_str());
    return 2;
  }
  // As a trace in the window: promiscuous, the frames read in batches.
  SetPacketFilter(adapter.get(), PromiscuousFilter);
  FrameBatch batch;
  std::unique_ptr<Spool> spool;
  if (!spoolFolder.empty()) spool = std::make_unique<Spool>(spoolFolder, "live-reader", SpoolOptions{});
  std::fprintf(stderr, "listening on %s\n", argv[1]);

  long long frames = 0;
  int status = 0;
  while (!stopRequested) {
    if (!ReadFrames(adapter.get(), &batch, static_cast<std::uint32_t>(FrameBufferSize))) {
      if (stopRequested) break;
      std::fprintf(stderr, "live-reader: read failed: %s\n", adapter->lastError.c_str());
      status = 1;
      break;
    }
    for (const FrameBatch::Frame& frame : batch.frames) {
      if (spool) {
        spool->Record(frames, frame.info, frame.bytes.data(), static_cast<std::uint32_t>(frame.bytes.size()));
        if (frames % BatchMaxRows == BatchMaxRows - 1) spool->Publish();
      }
      ++frames;
    }
    if (spool && batch.frames.empty()) spool->Publish();
  }
  if (spool) {
    spool->Publish();
    spool->WaitWritten();
    spool.reset();  // its files are removed
  }
  const std::uint64_t dropped = adapter->device->KernelDrops();
  adapter.reset();  // ends and reaps the agent
  std::fprintf(stderr, "frames %lld dropped %llu\n", frames, static_cast<unsigned long long>(dropped));
  return status;
}
