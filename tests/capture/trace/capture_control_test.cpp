// Capture control without a window: a recording view, the scripted device and a memory
// registry.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "analysis/row_store.h"
#include "capture/trace/capture_control.h"
#include "capture/driver/driver_client.h"
#include "capture/remote/remote_adapters.h"
#include "capture/spool/spool.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_machine.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::_;
using ::testing::AllOf;
using ::testing::Not;
using ::testing::Pair;

namespace {

class RecordingView : public CaptureView, public BatchSink {
 public:
  // CaptureView
  void EnableStartButton(bool enabled) override { startButton.push_back(enabled); }
  void EnableStopButton(bool enabled) override { stopButton.push_back(enabled); }
  void UpdateCommandStates() override { ++commandUpdates; }
  void SetTitle(const std::string& t) override { titles.push_back(t); }
  void SetTracePane(const std::string& t) override { panes.push_back(t); }
  int ShowMessage(const std::string& text, const std::string& informative) override {
    messages.emplace_back(text, informative);
    return 1;
  }
  BatchSink& Rows() override {
    prepared = rows;
    return *this;
  }
  void ApplyPendingRows() override {
    std::lock_guard lock(mutex);
    rows += pendingRows;
    pendingRows = 0;
  }
  void DeleteAllRows() override { rows = 0; }
  void TraceStarted() override { ++started; }
  void TraceStopped() override { ++stopped; }

  // BatchSink (capture thread)
  std::int64_t RowCount() override { return prepared; }
  void DeliverBatch(RowStore batch, const TrafficCounters& counters) override {
    std::lock_guard lock(mutex);
    if (batch.RowCount() > 0) firstNumbers.emplace_back(batch.Cell(0, 0));
    pendingRows += batch.RowCount();
    delivered += batch.RowCount();
    last = counters;
  }
  std::int64_t Delivered() {
    std::lock_guard lock(mutex);
    return delivered;
  }

  std::vector<bool> startButton, stopButton;
  int commandUpdates = 0;
  std::vector<std::string> titles, panes;
  std::vector<std::pair<std::string, std::string>> messages;
  std::int64_t rows = 0, prepared = 0;
  int started = 0, stopped = 0;

  std::mutex mutex;
  std::int64_t pendingRows = 0, delivered = 0;
  std::vector<std::string> firstNumbers;
  TrafficCounters last;
};

class CaptureControlTest : public ::testing::Test {
 protected:
  FakeMachine machine;
  CaptureState state;
  RecordingView view;

  CaptureControl& Control() {
    if (!control) control = std::make_unique<CaptureControl>(state, machine.Environment(), view);
    return *control;
  }
  // Feeds frames and waits until the thread has passed them on.
  void Feed(int count) {
    const auto before = view.Delivered();
    machine.PushFrames(count);
    ASSERT_TRUE(Eventually([&] { return view.Delivered() >= before + count; }));
  }

  std::unique_ptr<CaptureControl> control;
};

const std::string OffTitle =
    "Orrisvane is sniffing packets on the fake0 (scripted) (MAC address 00:A0:C9:12:34:56) - Trace is OFF";
const std::string OnTitle =
    "Orrisvane is sniffing packets on the fake0 (scripted) (MAC address 00:A0:C9:12:34:56) - Trace is ON";

}  // namespace

TEST_F(CaptureControlTest, ProbeReadsTheMacAndLeavesNothingOpen) {
  machine.AddAdapters(2);
  ASSERT_EQ(Control().ProbeAdapter(), 0);
  EXPECT_EQ(state.adapterMac, (std::array<std::uint8_t, 6>{0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}));
  EXPECT_EQ(machine.script->openDevices, 0);
  EXPECT_TRUE(view.messages.empty());
  Control().UpdateTitle();
  EXPECT_THAT(view.titles, ElementsAre(OffTitle));
}

TEST_F(CaptureControlTest, ProbeFailuresAreReportedOnceAndCloseTheAdapter) {
  // No adapters at all.
  EXPECT_EQ(Control().ProbeAdapter(), -1);
  EXPECT_THAT(view.messages, ElementsAre(Pair("No adapters found!", "")));

  // The stored adapter refuses to bind: its index and key name, and the device's reason
  // with a hint under it.
  machine.AddAdapters(4);
  state.adapterIndex = 3;
  machine.script->refusedKeys = {"0003"};
  machine.script->failureReason = "socket: Operation not permitted";
  view.messages.clear();
  EXPECT_EQ(Control().ProbeAdapter(), -1);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].first, "Adapter 3 (0003) open failed.\n");
  EXPECT_THAT(view.messages[0].second, HasSubstr("socket: Operation not permitted"));
  EXPECT_THAT(view.messages[0].second, HasSubstr("setcap cap_net_raw,cap_net_admin+eip"));
  EXPECT_EQ(machine.script->openDevices, 0);

  // An index past the adapters listed (the stored adapter has gone): the key name is
  // empty, and since the program ends after the probe, the hint names the command line.
  state.adapterIndex = 9;
  view.messages.clear();
  EXPECT_EQ(Control().ProbeAdapter(), -1);
  EXPECT_THAT(view.messages, ElementsAre(Pair("Adapter 9 () open failed.\n",
                                              "There are 4 adapters (indexes 0 to 3).\nTo use another adapter, start "
                                              "Orrisvane with --adapter N (orrisvane-dump -D lists the adapters).")));

  // The station address cannot be read.
  state.adapterIndex = 0;
  machine.script->failingCodes = {request_code::StationAddress};
  machine.script->failureReason.clear();
  view.messages.clear();
  EXPECT_EQ(Control().ProbeAdapter(), -1);
  EXPECT_THAT(view.messages, ElementsAre(Pair("GetAddress() failed.", "")));
  EXPECT_EQ(machine.script->openDevices, 0);
}

TEST_F(CaptureControlTest, StartWithoutAdaptersReportsAnEmptyKeyAndStaysIdle) {
  Control().Start();
  EXPECT_THAT(view.messages, ElementsAre(Pair("Adapter  open failed.\n", "")));
  EXPECT_THAT(view.startButton, ElementsAre(false));  // disabled at once ...
  EXPECT_GE(view.commandUpdates, 1);                  // ... and handed back to the rule
  EXPECT_TRUE(Control().CanStart());
  EXPECT_FALSE(Control().IsTracing());
  EXPECT_TRUE(view.titles.empty());
  EXPECT_TRUE(view.panes.empty());
  EXPECT_EQ(view.started, 0);
  EXPECT_FALSE(Control().CurrentTrace().adapter);
}

TEST_F(CaptureControlTest, AdapterSevenOfEightPassesTheProbeButNotStart) {
  machine.AddAdapters(8);
  state.adapterIndex = 7;
  ASSERT_EQ(Control().ProbeAdapter(), 0);  // the probe lists up to 20
  Control().UpdateTitle();
  // Start and the title list only five: no description to name.
  EXPECT_THAT(view.titles, ElementsAre(NoAdapterTitle));
  Control().Start();
  EXPECT_THAT(view.messages, ElementsAre(Pair("Adapter  open failed.\n", "")));
  EXPECT_FALSE(Control().IsTracing());
  EXPECT_EQ(machine.script->openDevices, 0);
}

TEST_F(CaptureControlTest, TheAdapterIsFoundByItsNameWhenTheListShifts) {
  machine.AddAdapters(3);
  state.adapterIndex = 1;
  ASSERT_EQ(Control().ProbeAdapter(), 0);
  // A container's veth comes first now, and fake1 was made again with a new address.
  machine.registry.AddAdapter("0007", "veth0 (virtual)", "veth0");
  auto& order = machine.registry.AddKey(NetworkClassKey).subkeys;
  std::rotate(order.begin(), order.end() - 1, order.end());
  machine.script->mac[5] = 0x99;
  Control().Start();
  EXPECT_EQ(state.adapterIndex, 2);
  EXPECT_THAT(view.titles.back(), HasSubstr("on the fake1 (scripted) (MAC address 00:A0:C9:12:34:99) - Trace is ON"));
  Control().Stop();
  // Gone: said once, and nothing is opened in its place.
  order.erase(std::find(order.begin(), order.end(), "0001"));
  view.messages.clear();
  Control().Start();
  EXPECT_FALSE(Control().IsTracing());
  EXPECT_THAT(view.messages, ElementsAre(Pair("Adapter fake1 was not found.\n", HasSubstr("removed"))));
}

TEST_F(CaptureControlTest, AStartupProbeOfAnUnlistedHostsAdapterGivesSshsReason) {
  machine.AddAdapters(2);
  RemoteHosts hosts(machine.registry);  // its host could not be listed
  hosts.SetHosts({"web1"});
  hosts.Store(HostListing{"web1", {}, "Permission denied (publickey)."});
  for (const auto& [name, index] : {std::pair{"web1/eth0", 0}, std::pair{"", 3}}) {
    state.adapterName = name;
    state.adapterIndex = index;
    view.messages.clear();
    EXPECT_EQ(CaptureControl(state, {machine.devices, hosts, nullptr, &hosts}, view).ProbeAdapter(), -1);
    EXPECT_THAT(view.messages, ElementsAre(Pair(_, AllOf(HasSubstr("web1: Permission denied (publickey)."),
                                                        Not(HasSubstr("There are")))))) << name;
  }
}

TEST_F(CaptureControlTest, CaptureFilterThatDoesNotCompileKeepsTheTraceFromStarting) {
  machine.AddAdapters(1);
  state.captureFilter = "port 99999";
  Control().Start();
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].first, "The capture filter \"port 99999\" was not accepted.\n");
  EXPECT_THAT(view.messages[0].second, HasSubstr("99999"));  // libpcap's reason
  EXPECT_FALSE(Control().IsTracing());
  EXPECT_TRUE(Control().CanStart());
  EXPECT_EQ(machine.script->openDevices, 0);
}

TEST_F(CaptureControlTest, EachAdapterOfATraceOfSeveralHasItsOwnFilterOrTheTraces) {
  machine.AddAdapters(3);
  state.adapterName = "fake0";
  state.moreAdapters = {"fake1", "fake2"};
  state.captureFilter = "udp";
  state.adapterFilters = {{"fake2", "tcp port 80"}};
  Control().Start();
  EXPECT_TRUE(Control().IsTracing());
  EXPECT_EQ(machine.script->captureFilters, (std::vector<std::string>{"0000 udp", "0001 udp", "0002 tcp port 80"}));
  Control().Stop();

  // One that no longer compiles (a hand-edited profile) starts nothing, and says whose it is.
  state.adapterFilters = {{"fake1", "port 99999"}};
  view.messages.clear();
  Control().Start();
  EXPECT_FALSE(Control().IsTracing());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].first, "The capture filter \"port 99999\" of the adapter fake1 was not accepted.\n");
}

TEST_F(CaptureControlTest, RefusedFilterIsReportedAndTheTraceRuns) {
  machine.AddAdapters(1);
  machine.script->failingCodes = {request_code::SetFilter};
  Control().Start();
  EXPECT_THAT(view.messages, ElementsAre(Pair("Promiscuous mode not activated\n", "")));
  EXPECT_TRUE(Control().IsTracing());
  EXPECT_THAT(view.panes, ElementsAre(TraceOnText));
  Feed(2);
  Control().Stop();
  EXPECT_EQ(view.rows, 2);
}

TEST_F(CaptureControlTest, StartStopClearKeepStateTitleAndNumbering) {
  machine.AddAdapters(2);
  ASSERT_EQ(Control().ProbeAdapter(), 0);

  Control().Start();
  ASSERT_TRUE(Control().IsTracing());
  EXPECT_FALSE(Control().CanStart());
  EXPECT_TRUE(Control().CanStop());
  EXPECT_THAT(view.stopButton, ElementsAre(true));
  EXPECT_EQ(view.titles.back(), OnTitle);
  EXPECT_EQ(view.panes.back(), TraceOnText);
  EXPECT_EQ(view.started, 1);
  // The promiscuous filter was asked for, and the read request covers the frame buffer.
  EXPECT_EQ(machine.script->CountCalls(request_code::SetFilter), 1u);
  ASSERT_TRUE(Control().CurrentTrace().request);
  EXPECT_EQ(Control().CurrentTrace().request->buffer, state.frameBuffer.data());
  EXPECT_EQ(Control().CurrentTrace().request->length, 1520u);

  Feed(3);
  // Stop while the thread waits in a read on a quiet line.
  ASSERT_TRUE(Eventually([&] { return machine.script->ReadPending(); }));
  Control().Stop();
  EXPECT_FALSE(Control().IsTracing());
  EXPECT_EQ(view.rows, 3);  // every delivered row is in the list when Stop returns
  EXPECT_EQ(view.titles.back(), OffTitle);
  EXPECT_EQ(view.panes.back(), TraceOffText);
  EXPECT_EQ(view.stopped, 1);
  EXPECT_FALSE(Control().CurrentTrace().adapter);
  EXPECT_FALSE(Control().CurrentTrace().request);
  EXPECT_EQ(machine.script->openDevices, 0);
  const auto sent = state.packetsSent;
  const auto bytes = state.bytesSent;
  EXPECT_EQ(sent, 3);

  // A second trace numbers on from the rows listed; the counters run on.
  Control().Start();
  Feed(2);
  Control().Stop();
  EXPECT_EQ(view.rows, 5);
  EXPECT_EQ(state.packetsSent, sent + 2);

  // Clear empties the list, keeps the counters; the next trace numbers from 0.
  Control().Clear();
  EXPECT_EQ(view.rows, 0);
  EXPECT_EQ(state.packetsSent, sent + 2);
  EXPECT_GT(state.bytesSent, bytes);
  Control().Start();
  Feed(1);
  Control().Clear();  // also during a trace: it stops first
  EXPECT_FALSE(Control().IsTracing());
  EXPECT_EQ(view.rows, 0);
  EXPECT_EQ(state.packetsSent, sent + 3);

  std::lock_guard lock(view.mutex);
  ASSERT_GE(view.firstNumbers.size(), 3u);
  EXPECT_EQ(view.firstNumbers.front(), "0");
  EXPECT_THAT(view.firstNumbers, ::testing::Contains("3"));
  EXPECT_EQ(view.firstNumbers.back(), "0");
}

TEST_F(CaptureControlTest, OneSpoolKeepsTheFramesOfTheListFromStartToClear) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("orrisvane-control-spool-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  std::string why;
  auto spools = SpoolFolder::Open(folder.string(), &why);
  ASSERT_TRUE(spools) << why;
  machine.spools = spools.get();
  const auto spoolFiles = [&] {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) files += entry.path().extension() == ".pcapng";
    return files;
  };
  machine.AddAdapters(1);
  ASSERT_EQ(Control().ProbeAdapter(), 0);
  EXPECT_EQ(Control().Frames(), nullptr);

  Control().Start();
  Feed(3);
  Control().Stop();
  const FrameSource* frames = Control().Frames();
  ASSERT_NE(frames, nullptr);
  StoredFrame frame;
  ASSERT_TRUE(frames->ReadFrame(2, frame));
  EXPECT_EQ(frame.bytes, machine.OutgoingFrame());
  // The next run goes on into the same spool, numbered after the rows listed.
  Control().Start();
  Feed(2);
  Control().Stop();
  EXPECT_EQ(Control().Frames(), frames);
  EXPECT_TRUE(frames->ReadFrame(4, frame));
  EXPECT_TRUE(frames->ReadFrame(0, frame));
  EXPECT_EQ(spoolFiles(), 1);
  EXPECT_TRUE(view.messages.empty());

  Control().Clear();
  EXPECT_EQ(Control().Frames(), nullptr);
  EXPECT_EQ(spoolFiles(), 0);
  Control().Start();
  Feed(1);
  ASSERT_NE(Control().Frames(), nullptr);
  control.reset();  // as at exit
  EXPECT_EQ(spoolFiles(), 0);
  spools.reset();
  EXPECT_TRUE(fs::is_empty(folder));
  fs::remove_all(folder);
}

TEST_F(CaptureControlTest, StopWithoutTraceOnlyRewritesTitleAndPane) {
  machine.AddAdapters(1);
  ASSERT_EQ(Control().ProbeAdapter(), 0);
  Control().Stop();
  EXPECT_THAT(view.titles, ElementsAre(OffTitle));
  EXPECT_THAT(view.panes, ElementsAre(TraceOffText));
  EXPECT_EQ(view.stopped, 0);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(machine.script->opens.size(), 1u);  // only the probe's
}

TEST_F(CaptureControlTest, SecondStartWhileTracingChangesNothing) {
  machine.AddAdapters(1);
  Control().Start();
  ASSERT_TRUE(Control().IsTracing());
  AdapterHandle* adapter = Control().CurrentTrace().adapter.get();
  Control().Start();
  EXPECT_EQ(Control().CurrentTrace().adapter.get(), adapter);
  EXPECT_EQ(machine.script->opens.size(), 1u);
  Control().Stop();
}

TEST_F(CaptureControlTest, DestroyingTheControlStopsARunningTrace) {
  machine.AddAdapters(1);
  Control().Start();
  ASSERT_TRUE(Eventually([&] { return machine.script->ReadPending(); }));
  control.reset();
  EXPECT_EQ(machine.script->openDevices, 0);
  EXPECT_FALSE(Control().CurrentTrace().adapter);
}

TEST_F(CaptureControlTest, ReportErrorFormatsIntoFiveHundredTwelveBytes) {
  const std::string longName(600, 'x');
  Control().ReportError("Adapter %s open failed.\n", longName.c_str());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].first.size(), 511u);
  EXPECT_EQ(view.messages[0].first.substr(0, 8), "Adapter ");
}

TEST(CaptureControlText, TitleFormatsAndFailureHints) {
  AdapterEntry entry;
  std::snprintf(entry.description, sizeof entry.description, "%s", "eth0 (virtio_net)");
  const std::array<std::uint8_t, 6> mac{0xde, 0xad, 0x00, 0x0f, 0xab, 0x01};
  EXPECT_EQ(CaptureControl::TitleFor(&entry, mac, true),
            "Orrisvane is sniffing packets on the eth0 (virtio_net) (MAC address DE:AD:00:0F:AB:01) - Trace is ON");
  EXPECT_EQ(CaptureControl::TitleFor(nullptr, mac, false), NoAdapterTitle);

  EXPECT_EQ(CaptureControl::ExplainFailure(""), "");
  EXPECT_EQ(CaptureControl::ExplainFailure("no such device"), "no such device");
  EXPECT_THAT(CaptureControl::ExplainFailure("eth1: That device is not up"), HasSubstr("ip link set"));
  // Settings is offered only where it can still be reached: not at the start-up probe.
  EXPECT_THAT(CaptureControl::ExplainFailure("eth1: That device is not up"), HasSubstr("another adapter in Settings"));
  const std::string atStartup =
      CaptureControl::ExplainFailure("eth1: That device is not up", CaptureControl::FailureContext::StartupProbe);
  EXPECT_THAT(atStartup, Not(HasSubstr("Settings")));
  EXPECT_THAT(atStartup, HasSubstr("--adapter N"));
  EXPECT_THAT(CaptureControl::ExplainFailure("You don't have PERMISSION to capture"), HasSubstr("setcap"));
}
