// The traffic windows and graph in the main window over a small capture file: what a
// double-click on a connection, a click, a drag and a hover on the graph do to the list,
// the second series under a display filter, the graph remembered, and the tables' Save As
// and Copy.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDockWidget>
#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "app/follow_dialog.h"
#include "app/main_frame.h"
#include "app/settings_store.h"
#include "app/stats_window.h"
#include "app/traffic_watch.h"
#include "tests/app/app_test_support.h"
#include "tests/app/main_frame_fixture.h"
#include "tests/support/capture_files.h"
#include "tests/support/frames.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"
#include "ui/stats_models.h"
#include "ui/traffic_graph.h"

namespace {

using namespace frames;

constexpr std::int64_t Second = 1'000'000'000;

class SilentMessages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString&, const QString&) override { return 0; }
};

class TrafficWatchTest : public MainFrameFixture<SilentMessages> {
 protected:
  void SetUp() override {
    MainFrameFixture::SetUp();
    // Rows 0 to 5 at 0.0, 0.2, 1.1, 1.5, 3.0 and 3.4 s: TCP connection 1 and one UDP pair.
    const QString path = dir.filePath("trace.pcap");
    {
      PcapWriter writer(path.toStdString());
      const std::uint64_t start = 1'700'000'000'000'000;
      writer.Frame(DeviceLink.TcpFrame(true, {.sourcePort = 80, .destinationPort = 40000, .flags = Syn}), start);
      writer.Frame(DeviceLink.TcpFrame(false, {.sourcePort = 80, .destinationPort = 40000, .flags = Syn | Ack}), start + 200'000);
      writer.Frame(DeviceLink.UdpFrame(true, 53, 5000, "q"), start + 1'100'000);
      writer.Frame(DeviceLink.TcpFrame(true, {.sourcePort = 80, .destinationPort = 40000, .flags = Psh | Ack}, "GET /"),
                   start + 1'500'000);
      writer.Frame(DeviceLink.UdpFrame(false, 53, 5000, std::string(300, 'a')), start + 3'000'000);
      writer.Frame(DeviceLink.TcpFrame(false, {.sourcePort = 80, .destinationPort = 40000, .flags = Ack}, "data"),
                   start + 3'400'000);
    }
    frame->OpenFile(path);
    ASSERT_TRUE(WaitUntil([&] { return !frame->IsLoading(); }));
    ASSERT_EQ(frame->ListView().Model().rowCount(), 6);
  }
  TrafficWatch& Watch() { return frame->Traffic(); }
  std::string Filter() { return frame->FilterEdit()->text().toStdString(); }
  int CurrentRow() { return frame->ListView().selectionModel()->currentIndex().row(); }
  bool ViewSettled() {
    return WaitUntil([&] { return !frame->ListView().Model().ViewChanging(); });
  }
};

TEST_F(TrafficWatchTest, DoubleClickFollowsATcpConnectionOrFiltersAUdpPair) {
  Watch().ConnectionsAction()->trigger();
  StatsWindow* window = Watch().ConnectionsWindow();
  ASSERT_NE(window, nullptr);
  const ConnectionsModel& table = Watch().Connections();
  ASSERT_EQ(table.rowCount(), 2);
  const int udp = table.At(0).tcp ? 1 : 0;
  emit window->rowActivated(udp);
  EXPECT_EQ(Filter(), "udp and ((ip.src == 10.0.0.2 and ip.dst == 10.0.0.1) or "
                      "(ip.src == 10.0.0.1 and ip.dst == 10.0.0.2))");
  ASSERT_TRUE(ViewSettled());
  EXPECT_EQ(frame->ListView().Model().ShownRows(), 2);
  emit window->rowActivated(1 - udp);
  EXPECT_EQ(Filter(), "conn == 1");
  EXPECT_NE(frame->findChild<FollowDialog*>(), nullptr);
}

TEST_F(TrafficWatchTest, AMinimizedTableWaitsAndCatchesUpWhenBroughtBack) {
  Watch().ConnectionsAction()->trigger();
  StatsWindow* window = Watch().ConnectionsWindow();
  ASSERT_NE(window, nullptr);
  const auto framesShown = [&] {
    std::int64_t frames = 0;
    for (int r = 0; r < Watch().Connections().rowCount(); ++r)
      frames += Watch().Connections().At(r).framesAToB + Watch().Connections().At(r).framesBToA;
    return frames;
  };
  ASSERT_EQ(framesShown(), 6);
  window->setWindowState(Qt::WindowMinimized);
  Watch().Tally().AddBatch(frame->ListView().Model().Rows(), 0);  // the six frames counted again
  Watch().BatchListed();
  EXPECT_FALSE(WaitUntil([&] { return framesShown() != 6; }, 800));  // past a refresh's interval
  window->setWindowState(Qt::WindowNoState);
  EXPECT_TRUE(WaitUntil([&] { return framesShown() == 12; }));
}

TEST_F(TrafficWatchTest, GraphClicksDragsAndHoverReadTheRowsOfTheirBins) {
  EXPECT_TRUE(Watch().SelectFirstRow(Second, 2 * Second));
  EXPECT_EQ(CurrentRow(), 2);
  EXPECT_FALSE(Watch().SelectFirstRow(2 * Second, 3 * Second));  // an idle second
  // The connections of a bin by their bytes in it, most first.
  const QStringList lines = Watch().TopConnections(0, 4 * Second).split('\n');
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[0].startsWith("UDP 10.0.0.2:5000 - 10.0.0.1:53: ")) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].startsWith("TCP connection 1 ")) << lines[1].toStdString();

  ASSERT_TRUE(frame->ApplyDisplayFilter("tcp"));
  ASSERT_TRUE(ViewSettled());
  EXPECT_TRUE(Watch().SelectFirstRow(Second, 2 * Second));
  EXPECT_EQ(CurrentRow(), 2);  // the TCP row at 1.5 s, third of the rows shown
  emit Watch().Graph().rangeSelected(Second, 2 * Second);
  EXPECT_EQ(Filter(), "(tcp) and time >= 1.000000 and time <= 1.999999");
  ASSERT_TRUE(ViewSettled());
  EXPECT_EQ(frame->ListView().Model().ShownRows(), 1);
}

TEST_F(TrafficWatchTest, AFilterAppliedDrawsTheRowsItKeepsAsASecondSeries) {
  frame->show();
  Watch().GraphDock().show();
  Watch().RefreshNow();
  EXPECT_EQ(Watch().Graph().Filtered(), nullptr);
  ASSERT_TRUE(frame->ApplyDisplayFilter("udp"));
  ASSERT_TRUE(ViewSettled());
  Watch().RefreshNow();
  const TrafficStats* filtered = Watch().Graph().Filtered();
  ASSERT_NE(filtered, nullptr);
  std::vector<std::int64_t> frames;
  for (const IoInterval& i : filtered->Intervals()) frames.push_back(i.framesIn + i.framesOut);
  // 100 ms bins: the datagrams at 1.1 s and 3.0 s.
  ASSERT_EQ(frames.size(), 31u);
  EXPECT_EQ(frames[11] + frames[30], 2);
}

TEST_F(TrafficWatchTest, TheGraphIsRememberedAndTablesAreSavedAsTheyAreShown) {
  EXPECT_FALSE(Watch().GraphAction()->isChecked());  // off at first
  Watch().GraphAction()->trigger();
  frame->Shutdown();
  EXPECT_EQ(QSettings(dir.filePath("profile.conf"), QSettings::IniFormat).value("Orrisvane/GraphShown").toInt(), 1);

  Watch().ProtocolsAction()->trigger();
  StatsWindow& window = *Watch().ProtocolsWindow();
  window.Table()->sortByColumn(ProtocolsModel::Frames, Qt::DescendingOrder);
  QString error;
  window.SetErrorShower([&](QWidget*, const QString& text) { error = text; });
  const QString csv = dir.filePath("protocols.csv");
  ASSERT_TRUE(window.SaveTo(csv));
  QFile file(csv);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll().toStdString(),
            "Protocol,Upper Layer Protocol,Frames,Bytes,Share of Frames,Share of Bytes\n"
            "IP (Internet Protocol),,6,610,100.00%,100.00%\n"
            "IP (Internet Protocol),TCP (Transmission Control Protocol),4,225,66.67%,36.89%\n"
            "IP (Internet Protocol),UDP (User Datagram Protocol),2,385,33.33%,63.11%\n");
  file.close();
  {
    FileSizeLimit limit(40);  // the new text does not fit: the old file stays
    EXPECT_FALSE(window.SaveTo(csv));
  }
  EXPECT_NE(error.indexOf("protocols.csv"), -1) << error.toStdString();
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll().size(), 271);

  window.Table()->selectRow(2);
  EXPECT_EQ(window.CopyText().toStdString(),
            "Protocol\tUpper Layer Protocol\tFrames\tBytes\tShare of Frames\tShare of Bytes\n"
            "IP (Internet Protocol)\tUDP (User Datagram Protocol)\t2\t385\t33.33%\t63.11%\n");
}

}  // namespace
