// The merge of several adapters' frames, with scripted devices: the order they come out
// in, the late frames, and an adapter that fails among working ones.

#include "capture/devices/merged_device.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/support/fake_device.h"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds HoldBack{150};

struct Push {
  std::uint32_t adapter;
  std::int64_t timeMs;  // the frame's capture time
  std::chrono::milliseconds after;  // when the adapter delivers it, from the start
};

struct MergeCase {
  const char* name;
  int adapters;
  std::vector<Push> pushes;
  std::vector<std::pair<std::uint32_t, std::int64_t>> expected;  // adapter, time, in the order delivered
  std::uint64_t late;
  std::vector<std::uint32_t> failing = {};  // adapters whose reads fail
};

TEST(MergedDevice, DeliversInCaptureTimeOrderWithinTheHoldBack) {
  const std::vector<MergeCase> cases = {
      {"interleaved", 2, {{0, 1, 0ms}, {0, 3, 0ms}, {0, 5, 0ms}, {1, 2, 0ms}, {1, 4, 0ms}, {1, 6, 0ms}},
       {{0, 1}, {1, 2}, {0, 3}, {1, 4}, {0, 5}, {1, 6}}, 0},
      {"one adapter silent", 3, {{0, 1, 0ms}, {0, 3, 0ms}, {1, 2, 0ms}}, {{0, 1}, {1, 2}, {0, 3}}, 0},
      {"one adapter behind, within the hold-back", 2,
       {{0, 10, 0ms}, {0, 20, 0ms}, {0, 30, 0ms}, {1, 5, 60ms}, {1, 15, 60ms}, {1, 25, 60ms}},
       {{1, 5}, {0, 10}, {1, 15}, {0, 20}, {1, 25}, {0, 30}}, 0},
      {"a frame past the hold-back", 2, {{0, 10, 0ms}, {0, 20, 0ms}, {1, 5, 400ms}}, {{0, 10}, {0, 20}, {1, 5}}, 1},
      {"runs of one adapter's frames", 2, {{0, 1, 0ms}, {0, 2, 0ms}, {0, 3, 0ms}, {1, 4, 0ms}, {1, 5, 0ms}, {0, 6, 0ms}},
       {{0, 1}, {0, 2}, {0, 3}, {1, 4}, {1, 5}, {0, 6}}, 0},
      {"a run held where a later block's hold-back has not run out", 2, {{0, 10, 0ms}, {0, 30, 100ms}, {1, 20, 200ms}},
       {{0, 10}, {1, 20}, {0, 30}}, 0},
      {"a failing adapter among working ones", 3, {{0, 1, 0ms}, {2, 2, 0ms}}, {{0, 1}, {2, 2}}, 0, {1}},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::shared_ptr<FakeDeviceScript>> scripts;
    std::vector<MergedAdapter> adapters;
    for (int i = 0; i < c.adapters; ++i) {
      auto script = std::make_shared<FakeDeviceScript>();
      if (std::find(c.failing.begin(), c.failing.end(), i) != c.failing.end()) {
        script->failReads = true;
        script->failureReason = "cable pulled";
      }
      adapters.push_back({AdoptDevice(std::make_unique<FakeDevice>(script), "0001"), "if" + std::to_string(i)});
      scripts.push_back(std::move(script));
    }
    AdapterPtr merged = AdoptDevice(std::make_unique<MergedDevice>(std::move(adapters), HoldBack), "0001");

    const auto start = std::chrono::steady_clock::now();
    std::thread pusher([&] {
      for (const Push& push : c.pushes) {
        std::this_thread::sleep_until(start + push.after);
        FrameInfo info;
        info.timestampNs = 1'700'000'000'000'000'000 + push.timeMs * 1'000'000;
        // The owner travels with its frame through the hold-back.
        auto owner = std::make_shared<ProcessOwner>();
        owner->pid = static_cast<std::uint32_t>(push.timeMs);
        info.owner = std::move(owner);
        scripts[push.adapter]->PushFrame(std::vector<std::uint8_t>(60, 0xAB), info);
      }
    });
    std::array<std::uint8_t, 1520> buffer{};
    RequestPtr request = AllocatePacket(merged.get());
    InitPacket(request.get(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    std::vector<std::pair<std::uint32_t, std::int64_t>> delivered;
    std::vector<std::string> failures;
    while (delivered.size() < c.expected.size() && std::chrono::steady_clock::now() - start < 5s) {
      std::uint32_t count = 0;
      if (!ReadPacket(merged.get(), request.get(), &count)) {
        failures.push_back(merged->lastError);
      } else if (count > 0) {
        const FrameInfo info = merged->device->LastFrameInfo();
        const std::int64_t timeMs = (info.timestampNs - 1'700'000'000'000'000'000) / 1'000'000;
        delivered.emplace_back(info.interfaceId, timeMs);
        EXPECT_TRUE(info.owner && info.owner->pid == timeMs) << "frame at " << timeMs << " ms";
      }
    }
    pusher.join();
    EXPECT_EQ(delivered, c.expected);
    EXPECT_EQ(merged->device->LateFrames(), c.late);
    std::vector<std::string> expectedFailures;
    for (const std::uint32_t i : c.failing) expectedFailures.push_back("if" + std::to_string(i) + ": cable pulled");
    EXPECT_EQ(failures, expectedFailures);
  }
}

// A frame that comes before the one the read waits on, from the adapter that held the
// others back, can go at once: the read that waits for it is woken, not left to the end of
// the hold-back, with a batch's worth of frames held and with a few.
TEST(MergedDevice, AFrameBeforeTheEarliestWakesTheWaitingRead) {
  for (const std::size_t ahead : {MergeGatherFrames, std::size_t{1}}) {
    SCOPED_TRACE(ahead);
    auto behindScript = std::make_shared<FakeDeviceScript>(), aheadScript = std::make_shared<FakeDeviceScript>();
    std::vector<MergedAdapter> adapters;
    adapters.push_back({AdoptDevice(std::make_unique<FakeDevice>(behindScript), "0001"), "behind"});
    adapters.push_back({AdoptDevice(std::make_unique<FakeDevice>(aheadScript), "0002"), "ahead"});
    AdapterPtr merged = AdoptDevice(std::make_unique<MergedDevice>(std::move(adapters), 60s, 60s), "0001");
    const auto At = [](std::int64_t ms) { return FrameInfo{1'700'000'000'000'000'000 + ms * 1'000'000, 60}; };
    for (std::size_t i = 0; i < ahead; ++i) aheadScript->PushFrame(std::vector<std::uint8_t>(60, 1), At(100));

    auto read = std::async(std::launch::async, [&] {
      FrameBatch batch;
      const auto until = std::chrono::steady_clock::now() + 10s;  // an ended read answers empty at once
      while (batch.frames.empty() && std::chrono::steady_clock::now() < until &&
             ReadFrames(merged.get(), &batch, 1520)) {
      }
      return batch.frames.empty() ? std::int64_t{-1} : batch.frames.front().info.timestampNs;
    });
    // Ends the read on every way out, so that a read never woken fails the test rather than
    // holding it for the hold-back.
    struct Ender {
      AdapterHandle* adapter;
      ~Ender() { AbortRead(adapter); }
    } ender{merged.get()};
    // The read waits: the adapter behind has said nothing, so nothing may go.
    ASSERT_EQ(read.wait_for(300ms), std::future_status::timeout);
    behindScript->PushFrame(std::vector<std::uint8_t>(60, 2), At(5));
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready) << "the read was not woken";
    EXPECT_EQ(read.get(), At(5).timestampNs);
  }
}

}  // namespace
