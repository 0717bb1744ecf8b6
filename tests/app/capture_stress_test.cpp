// The window under faults and load, over the scripted device: reads that start failing
// mid-trace, the log file's folder removed mid-trace, and closing the window while frames
// pour in.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "tests/app/app_test_support.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"

namespace {

class RecordedMessages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString& text, const QString& informative) override {
    shown.emplace_back(text.toStdString(), informative.toStdString());
    return 0;
  }
  std::size_t Count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& [text, informative] : shown) n += text.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::pair<std::string, std::string>> shown;
};

class WindowStressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.AddAdapters(1);
    profile = std::make_unique<QSettingsProfile>(dir.filePath("profile.conf"), QSettings::IniFormat);
  }
  std::unique_ptr<CMainFrame> MakeFrame() {
    auto frame = std::make_unique<CMainFrame>(machine.Environment(), *profile, &messages);
    EXPECT_FALSE(frame->StartupFailed());
    return frame;
  }
  static std::int64_t Rows(CMainFrame& frame) { return frame.ListView().Model().Rows().RowCount(); }
  void SetFailingReads(bool failing, const std::string& reason = {}) {
    std::lock_guard lock(machine.script->mutex);
    machine.script->failReads = failing;
    machine.script->failureReason = reason;
  }

  QTemporaryDir dir;
  FakeMachine machine;
  RecordedMessages messages;
  std::unique_ptr<QSettingsProfile> profile;
};

TEST_F(WindowStressTest, ReadsThatStartFailingAreShownOnceAndStopStillEndsTheTrace) {
  auto frame = MakeFrame();
  frame->OnStart();
  ASSERT_TRUE(frame->Control().IsTracing());
  machine.PushFrames(20);
  ASSERT_TRUE(WaitUntil([&] { return Rows(*frame) == 20; }));

  SetFailingReads(true, "The interface went down");
  ASSERT_TRUE(WaitUntil([&] { return messages.Count(ReadFailedMessage) > 0; }));
  // The reads go on failing for a while: still one message.
  WaitUntil([] { return false; }, 300);
  ASSERT_EQ(messages.Count(ReadFailedMessage), 1u);
  EXPECT_NE(messages.shown.back().second.find("The interface went down"), std::string::npos);
  // The hint for an interface that is down comes with the reason.
  EXPECT_NE(messages.shown.back().second.find("ip link set"), std::string::npos);
  EXPECT_TRUE(frame->Control().IsTracing());

  frame->OnStop();
  EXPECT_FALSE(frame->Control().IsTracing());
  EXPECT_EQ(machine.script->openDevices, 0);
  EXPECT_EQ(Rows(*frame), 20);
  EXPECT_EQ(messages.shown.size(), 1u);
  SetFailingReads(false);
}

TEST_F(WindowStressTest, TheLogFolderVanishingIsReportedOnceAndTheTraceGoesOn) {
  const QString folder = dir.filePath("logs");
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString log = folder + "/trace.txt";
  auto frame = MakeFrame();
  frame->State().saveLog = 1;
  frame->State().logFilePath = log.toStdString();
  frame->OnStart();
  machine.PushFrames(10);
  ASSERT_TRUE(WaitUntil([&] { return Rows(*frame) == 10; }));
  ASSERT_TRUE(WaitUntil([&] {
    QFile f(log);
    return f.open(QIODevice::ReadOnly) && f.readAll().count('\n') == 11;  // header and ten rows
  }));

  ASSERT_TRUE(QDir(folder).removeRecursively());
  for (int burst = 0; burst < 5; ++burst) {
    machine.PushFrames(10);
    ASSERT_TRUE(WaitUntil([&] { return Rows(*frame) == 20 + burst * 10; }));
  }
  EXPECT_EQ(messages.shown.size(), 1u);
  ASSERT_FALSE(messages.shown.empty());
  EXPECT_NE(messages.shown[0].first.find("trace.txt"), std::string::npos) << messages.shown[0].first;
  EXPECT_TRUE(frame->Control().IsTracing());
  frame->OnStop();
  EXPECT_EQ(Rows(*frame), 60);
  EXPECT_EQ(messages.shown.size(), 1u);
  EXPECT_FALSE(QFile::exists(log));  // nothing re-created the folder behind the user's back
}

TEST_F(WindowStressTest, ClosingDuringAHeavyTraceWritesTheSettingsAndStopsTheThread) {
  auto frame = MakeFrame();
  frame->State().adapterIndex = 0;
  frame->State().logFilePath = "/tmp/orrisvane-stress-never-written.txt";
  frame->OnStart();
  ASSERT_TRUE(frame->Control().IsTracing());

  std::atomic<bool> feeding{true};
  const auto frameBytes = machine.OutgoingFrame();
  std::thread feeder([&] {
    while (feeding.load()) {
      bool room;
      {
        std::lock_guard lock(machine.script->mutex);
        room = machine.script->frames.size() < 512;
      }
      if (room) machine.script->PushFrame(frameBytes);
      else std::this_thread::yield();
    }
  });
  struct StopFeeder {
    std::atomic<bool>& feeding;
    std::thread& thread;
    ~StopFeeder() {
      feeding.store(false);
      if (thread.joinable()) thread.join();
    }
  } stopFeeder{feeding, feeder};

  ASSERT_TRUE(WaitUntil([&] { return Rows(*frame) > 20000; }, 30000));
  frame->close();
  EXPECT_FALSE(frame->Control().IsTracing());
  EXPECT_EQ(machine.script->openDevices, 0);
  EXPECT_FALSE(frame->Control().CurrentTrace().adapter);
  const std::int64_t rows = Rows(*frame);
  // Frames still come; nothing reads them any more.
  WaitUntil([] { return false; }, 100);
  EXPECT_EQ(Rows(*frame), rows);
  frame.reset();
  feeding.store(false);
  feeder.join();

  QSettings written(dir.filePath("profile.conf"), QSettings::IniFormat);
  EXPECT_EQ(written.value("Orrisvane/LogFile").toString().toStdString(), "/tmp/orrisvane-stress-never-written.txt");
  EXPECT_EQ(written.value("Orrisvane/Adapter").toString(), "0");
  EXPECT_EQ(written.value("Orrisvane/Bools").toString().size(), ColumnCount);
  EXPECT_TRUE(messages.shown.empty());
}

}  // namespace
