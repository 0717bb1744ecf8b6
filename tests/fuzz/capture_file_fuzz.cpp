// Fuzz target: arbitrary bytes as a capture file. The bytes are written to a temporary
// file, opened through the capture-file device and the driver client as the dump opens
// it, every frame is read until the device tells the end of its input, and each one is
// decoded into a row.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "analysis/capture_state.h"
#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/row_store.h"
#include "capture/files/capture_file_device.h"
#include "capture/driver/driver_client.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "capture_file_fuzz: %s\n", what);
  std::abort();
}

// One temporary file for the whole run, rewritten for every input.
class ScratchFile {
 public:
  ScratchFile() {
    const char* folder = std::getenv("TMPDIR");
    path_ = std::string(folder && *folder ? folder : "/tmp") + "/orrisvane-fuzz-XXXXXX";
    fd_ = mkstemp(path_.data());
    if (fd_ < 0) Broken("cannot create a temporary file");
  }
  ~ScratchFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  const std::string& Write(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0) Broken("cannot empty the temporary file");
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) Broken("cannot write the temporary file");
      done += static_cast<std::size_t>(n);
    }
    return path_;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Far more frames than any input of the fuzzer's sizes can hold: a reader that keeps
// delivering after this is looping.
constexpr int MaxFrames = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile scratch;
  DeviceTable devices;
  RegisterCaptureFileDevice(devices, scratch.Write(data, size));

  CaptureState state;
  std::string why;
  AdapterPtr adapter = OpenAdapter(devices, "file", &why);
  if (!adapter) {
    if (why.empty()) Broken("a refused file without a reason");
    return 0;
  }
  SetPacketFilter(adapter.get(), PromiscuousFilter);
  std::uint32_t returned = 0;
  GetAddress(adapter.get(), state.adapterMac.data(), 6, &returned);
  char description[260];
  QueryDescription(adapter.get(), description, sizeof description, &returned);
  state.columns = ColumnSet::FromText(std::string(ColumnCount, '1'));

  // Read in batches, as a trace reads them: each frame is a view into the device's buffer.
  RowStore rows(state.columns);
  RowBuilder builder(rows);
  std::int64_t packetNumber = 0;
  int reads = 0;
  FrameBatch batch;
  while (!adapter->device->EndOfInput()) {
    if (++reads > MaxFrames) Broken("the reader never reaches the end of its input");
    const bool ok = ReadFrames(adapter.get(), &batch, static_cast<std::uint32_t>(FrameBufferSize));
    if (!ok && !adapter->device->EndOfInput()) Broken("a failed read before the end of the input");
    for (const FrameBatch::Frame& frame : batch.frames) {
      // Any time a damaged file holds reaches the decoder, as it would in a trace.
      state.frameTimestampNs = frame.info.timestampNs;
      DecodeFrame(packetNumber++, frame.bytes.data(), static_cast<std::uint32_t>(frame.bytes.size()), builder, state);
    }
  }
  if (rows.RowCount() != packetNumber) Broken("not one row per frame");

  ClearConnections(state);
  CloseAdapter(std::move(adapter));
  return 0;
}
