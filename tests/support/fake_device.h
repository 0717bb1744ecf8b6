#pragma once
// A scripted packet device for tests. The test keeps a FakeDeviceScript; every device the
// table opens records its requests there and answers from it. Reads deliver queued frames,
// otherwise block until a frame is queued, an abort arrives, or the read timeout passes
// (then 0 bytes). An abort also ends every read that starts after it on that device.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/driver/packet_device.h"

struct FakeDeviceScript {
  struct Call {
    std::uint32_t code;
    std::vector<std::uint8_t> input;
    std::uint32_t outputSize;
    bool hadByteCount;
  };

  // Configuration (set before use, or under mutex while devices run).
  bool failOpen = false;
  std::set<std::uint32_t> failingCodes;   // requests answered with failure
  std::set<std::string> refusedKeys;      // bind fails for these key names
  std::string failureReason;              // LastError() of a failed request
  std::uint8_t mac[6] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
  std::string description = "fake0 (scripted)";
  std::chrono::milliseconds readTimeout{20};
  bool failReads = false;                 // reads fail at once with 0 bytes
  std::uint64_t drops = 0;
  // true: an abort ends every later read of that device too. false: it ends only the
  // reads pending at that moment, so a read that reaches the device after it goes on.
  bool stickyAbort = true;
  // How long a read takes to reach the device after its request was made: the window in
  // which an abort can come before the read is pending.
  std::chrono::milliseconds readArrivalDelay{0};

  // Each capture filter a device was given, after the key name it was bound to: "0001 tcp".
  std::vector<std::string> captureFilters;

  // How each read ended, in order.
  enum class ReadEnd { Frame, Timeout, Aborted, Failed };
  std::vector<ReadEnd> readEnds;

  // What happened.
  std::vector<Call> calls;
  std::vector<DeviceOpenArgs> opens;
  int openDevices = 0;

  std::mutex mutex;
  std::condition_variable changed;
  struct QueuedFrame {
    std::vector<std::uint8_t> bytes;
    FrameInfo info;
  };
  std::deque<QueuedFrame> frames;

  // info: what the device says of the frame after the read that delivers it.
  void PushFrame(std::vector<std::uint8_t> frame, FrameInfo info = {}) {
    { std::lock_guard lock(mutex); frames.push_back({std::move(frame), info}); }
    changed.notify_all();
  }
  std::vector<Call> Calls() { std::lock_guard lock(mutex); return calls; }
  std::size_t CountCalls(std::uint32_t code) {
    std::lock_guard lock(mutex);
    std::size_t n = 0;
    for (auto& c : calls) n += c.code == code;
    return n;
  }
  bool ReadPending() { std::lock_guard lock(mutex); return readers > 0; }
  std::vector<ReadEnd> ReadEnds() { std::lock_guard lock(mutex); return readEnds; }
  // Waits (up to a generous bound) until a read is pending in some device.
  bool WaitForPendingRead(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, bound, [&] { return readers > 0; });
  }

  int readers = 0;
  std::uint64_t readsStarted = 0;  // reads that reached the device and waited there
};

class FakeDevice : public PacketDevice {
 public:
  explicit FakeDevice(std::shared_ptr<FakeDeviceScript> script) : script_(std::move(script)) {
    std::lock_guard lock(script_->mutex);
    ++script_->openDevices;
  }
  ~FakeDevice() override {
    std::lock_guard lock(script_->mutex);
    --script_->openDevices;
  }

  bool Control(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
               std::uint32_t outputSize, std::uint32_t* bytesReturned) override {
    std::unique_lock lock(script_->mutex);
    const auto* in = static_cast<const std::uint8_t*>(input);
    script_->calls.push_back({code, std::vector<std::uint8_t>(in, in + (in ? inputLength : 0)), outputSize,
                              bytesReturned != nullptr});
    if (code == request_code::AbortFirst || code == request_code::AbortSecond) {
      if (script_->stickyAbort) aborted_ = true;
      ++abortGeneration_;
      script_->changed.notify_all();
      return true;
    }
    if (script_->failingCodes.count(code)) return Fail();
    switch (code) {
      case request_code::Bind: {
        std::string key(static_cast<const char*>(input), inputLength);
        if (script_->refusedKeys.count(key)) return Fail();
        boundKey_ = key;
        return true;
      }
      case request_code::StationAddress:
        if (outputSize < 6) return Fail();
        std::memcpy(output, script_->mac, 6);
        if (bytesReturned) *bytesReturned = 6;
        return true;
      case request_code::QueryDescription: {
        const std::string& d = script_->description;
        if (outputSize == 0) return Fail();
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(d.size(), outputSize - 1));
        std::memcpy(output, d.data(), n);
        static_cast<char*>(output)[n] = 0;
        if (bytesReturned) *bytesReturned = n + 1;
        return true;
      }
      case request_code::Read:
        return Read(lock, output, outputSize, bytesReturned);
      default:
        return true;
    }
  }

  bool SetCaptureFilter(const std::string& expression) override {
    std::lock_guard lock(script_->mutex);
    script_->captureFilters.push_back(boundKey_ + " " + expression);
    return true;
  }
  std::string LastError() const override { return script_->failureReason; }
  std::uint64_t KernelDrops() const override { return script_->drops; }
  FrameInfo LastFrameInfo() const override { return lastFrame_; }

 private:
  bool Fail() { return false; }

  bool Read(std::unique_lock<std::mutex>& lock, void* output, std::uint32_t size, std::uint32_t* bytes) {
    if (script_->failReads) {
      script_->readEnds.push_back(FakeDeviceScript::ReadEnd::Failed);
      return false;
    }
    if (script_->readArrivalDelay.count() > 0) {
      lock.unlock();
      std::this_thread::sleep_for(script_->readArrivalDelay);
      lock.lock();
    }
    const std::uint64_t generation = abortGeneration_;
    ++script_->readers;
    ++script_->readsStarted;
    script_->changed.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + script_->readTimeout;
    script_->changed.wait_until(lock, deadline, [&] {
      return aborted_ || abortGeneration_ != generation || !script_->frames.empty();
    });
    --script_->readers;
    if (aborted_ || abortGeneration_ != generation) {
      script_->readEnds.push_back(FakeDeviceScript::ReadEnd::Aborted);
      return false;
    }
    if (script_->frames.empty()) {
      script_->readEnds.push_back(FakeDeviceScript::ReadEnd::Timeout);
      if (bytes) *bytes = 0;
      return true;
    }
    script_->readEnds.push_back(FakeDeviceScript::ReadEnd::Frame);
    auto frame = std::move(script_->frames.front().bytes);
    lastFrame_ = script_->frames.front().info;
    script_->frames.pop_front();
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(frame.size(), size));
    std::memcpy(output, frame.data(), n);
    if (bytes) *bytes = n;
    return true;
  }

  std::shared_ptr<FakeDeviceScript> script_;
  std::string boundKey_;
  bool aborted_ = false;
  std::uint64_t abortGeneration_ = 0;
  FrameInfo lastFrame_;
};

// Registers the scripted device under the driver's path.
inline void RegisterFakeDevice(DeviceTable& table, std::shared_ptr<FakeDeviceScript> script) {
  table.Register(DriverDevicePath, [script](const DeviceOpenArgs& args) -> std::unique_ptr<PacketDevice> {
    {
      std::lock_guard lock(script->mutex);
      script->opens.push_back(args);
      if (script->failOpen) return nullptr;
    }
    return std::make_unique<FakeDevice>(script);
  });
}
