// Capture files in the window: File > Open and a dropped file show a file's rows under
// its own title and counters, a damaged file keeps its rows before the damage, a file
// that cannot be shown leaves the window as it was, Stop cancels a load, and a running
// trace is stopped only when the user agrees.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <memory>
#include <string>

#include "analysis/frame_source.h"
#include "app/commands.h"
#include "app/main_frame.h"
#include "app/settings_sheet.h"
#include "app/settings_store.h"
#include "app/traffic_watch.h"
#include "tests/app/app_test_support.h"
#include "tests/app/main_frame_fixture.h"
#include "tests/support/capture_files.h"
#include "tests/support/frames.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"
#include "ui/stats_models.h"

using ::testing::HasSubstr;

namespace {

using namespace frames;

class AnsweringMessages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString& text, const QString& informative) override {
    texts.push_back(text.toStdString());
    reasons.push_back(informative.toStdString());
    return 0x400;
  }
  bool Ask(QWidget*, const QString& text, const QString&) override {
    questions.push_back(text.toStdString());
    return answer;
  }
  std::vector<std::string> texts, reasons, questions;
  bool answer = false;
};

class MainFrameOpenTest : public MainFrameFixture<AnsweringMessages> {
 protected:
  std::int64_t Rows() { return frame->ListView().Model().Rows().RowCount(); }
  std::string Cell(std::int64_t row, ColumnId id) {
    return std::string(frame->ListView().Model().CellText(row, frame->State().columns.Position(id)));
  }
  std::string Pane(int i) { return frame->Pane(i)->text().toStdString(); }
  std::string Title() { return frame->windowTitle().toStdString(); }
  bool Enabled(int id) { return frame->Action(id)->isEnabled(); }

  // Frame i: UDP, its payload naming it; every other one sent by the adapter's station.
  static Bytes NumberedFrame(int i) { return DeviceLink.UdpFrame(i % 2 == 0, 5000, 53, "frame " + std::to_string(i)); }
  QString WritePcap(const QString& name, int frames, std::size_t cutLast = 0) {
    const QString path = dir.filePath(name);
    PcapWriter writer(path.toStdString());
    for (int i = 0; i < frames; ++i) writer.Frame(NumberedFrame(i), 1000u * i);
    writer.Close(cutLast);
    return path;
  }
  void OpenAndWait(const QString& path) {
    frame->SetOpenPathAsker([path](QWidget*) { return path; });
    frame->Action(command_id::Open)->trigger();
    ASSERT_TRUE(WaitUntil([&] { return !frame->IsLoading(); }));
  }
  void Trace(int frames) {
    frame->Action(command_id::Start)->trigger();
    ASSERT_TRUE(frame->Control().IsTracing());
    machine.PushFrames(frames);
    ASSERT_TRUE(WaitUntil([&] { return Rows() >= frames; }));
  }
};

TEST_F(MainFrameOpenTest, OpenShowsTheFilesRowsTitleAndCountersUntilATraceStarts) {
  Trace(2);
  frame->Action(command_id::Stop)->trigger();
  const std::string adapterTitle = Title();

  OpenAndWait(WritePcap("some trace.pcap", 5));
  ASSERT_EQ(Rows(), 5);
  EXPECT_EQ(Title(), "Orrisvane is showing some trace.pcap - 5 packets");
  EXPECT_EQ(Cell(0, ColumnId::PacketNumber), "0");
  EXPECT_EQ(Cell(0, ColumnId::InOut), "out");  // the adapter's address decides
  EXPECT_EQ(Cell(1, ColumnId::InOut), "in");
  EXPECT_EQ(Cell(4, ColumnId::Data), "frame 4");
  // The panes count the file's frames; the session's two come back with the next trace.
  EXPECT_EQ(Pane(3), "2 Packets Received");
  EXPECT_EQ(Pane(4), "3 Packets Sent");
  EXPECT_EQ(Pane(1), TraceOffText);
  EXPECT_TRUE(Enabled(command_id::Start));
  EXPECT_FALSE(Enabled(command_id::Stop));
  EXPECT_TRUE(messages.texts.empty());

  ASSERT_NE(frame->ShownFileFrames(), nullptr);
  StoredFrame stored;
  ASSERT_TRUE(frame->ShownFileFrames()->ReadFrame(3, stored));
  EXPECT_EQ(stored.bytes, NumberedFrame(3));
  EXPECT_EQ(stored.timestampNs, 3'000'000);
  // Saved as frames, a file's rows come from the file.
  const QString saved = dir.filePath("again.pcapng");
  frame->SetSavePathAsker([&](QWidget*) { return saved; });
  frame->Action(command_id::Save)->trigger();
  EXPECT_TRUE(messages.texts.empty());
  QFile savedFile(saved);
  ASSERT_TRUE(savedFile.open(QIODevice::ReadOnly));
  const QByteArray savedBytes = savedFile.readAll();
  for (int i = 0; i < 5; ++i) {
    const Bytes f = NumberedFrame(i);
    EXPECT_TRUE(savedBytes.contains(QByteArray(reinterpret_cast<const char*>(f.data()), static_cast<qsizetype>(f.size()))))
        << i;
  }

  // Settings left with Cancel keep the file.
  frame->SetSheetRunner([](SettingsSheet& sheet) {
    sheet.reject();
    return sheet.result();
  });
  frame->Action(command_id::Settings)->trigger();
  EXPECT_EQ(Rows(), 5);
  EXPECT_EQ(Title(), "Orrisvane is showing some trace.pcap - 5 packets");

  frame->Action(command_id::Start)->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(frame->ShownFileFrames(), nullptr);
  EXPECT_EQ(Pane(4), "2 Packets Sent");
  EXPECT_EQ(Title().find("Orrisvane is sniffing packets on the fake0"), 0u) << Title();
  EXPECT_NE(Title(), adapterTitle);  // now "Trace is ON"
  frame->Action(command_id::Stop)->trigger();
}

TEST_F(MainFrameOpenTest, DamagedFileKeepsTheRowsBeforeTheDamageAndShowsWhy) {
  OpenAndWait(WritePcap("cut.pcap", 6, 5));
  EXPECT_EQ(Rows(), 5);
  EXPECT_EQ(Title(), "Orrisvane is showing cut.pcap - 5 packets");
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_EQ(messages.texts[0], "The file cut.pcap is damaged. The 5 packets before the damage are shown.");
  EXPECT_THAT(messages.reasons[0], HasSubstr("truncated"));
}

TEST_F(MainFrameOpenTest, FilesThatCannotBeShownLeaveTheWindowAsItWas) {
  Trace(3);
  frame->Action(command_id::Stop)->trigger();
  const std::string title = Title();

  const QString raw = dir.filePath("cooked.pcap");
  PcapWriter(raw.toStdString(), LinkTypeRaw).Close();
  const QString text = dir.filePath("notes.txt");
  {
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a capture\n");
  }
  const QString empty = dir.filePath("empty.pcap");
  QFile(empty).open(QIODevice::WriteOnly);

  const std::pair<QString, const char*> cases[] = {{raw, "only files of Ethernet frames"},
                                                   {text, "not a pcap or pcapng capture file"},
                                                   {empty, "empty"},
                                                   {dir.filePath("gone.pcap"), "No such file"}};
  for (const auto& [path, reason] : cases) {
    messages.texts.clear();
    messages.reasons.clear();
    OpenAndWait(path);
    ASSERT_EQ(messages.texts.size(), 1u) << reason;
    EXPECT_EQ(messages.texts[0], "Cannot open " + QFileInfo(path).fileName().toStdString() + ".");
    EXPECT_THAT(messages.reasons[0], HasSubstr(reason));
    EXPECT_EQ(Rows(), 3) << reason;
    EXPECT_EQ(Title(), title) << reason;
    EXPECT_TRUE(Enabled(command_id::Start)) << reason;
  }
}

TEST_F(MainFrameOpenTest, TheTitleCountsTheFramesReadWhenTheListKeepsFewer) {
  frame->State().keepRows = FewestKeptRows;
  frame->ListView().InsertColumns();
  OpenAndWait(WritePcap("mix.pcap", 1500));
  EXPECT_LT(Rows(), 1500);
  EXPECT_EQ(Title(), "Orrisvane is showing mix.pcap - 1500 packets");
}

TEST_F(MainFrameOpenTest, TrafficTotalsCoverRowsThatLeftTheListUntilClear) {
  frame->State().keepRows = FewestKeptRows;
  frame->ListView().InsertColumns();
  frame->Traffic().ConnectionsAction()->trigger();
  OpenAndWait(WritePcap("mix.pcap", 1500));
  ASSERT_LT(Rows(), 1500);
  frame->Traffic().RefreshNow();
  const QAbstractItemModel& table = frame->Traffic().Connections();
  ASSERT_EQ(table.rowCount(), 1);  // one UDP pair, both ways
  EXPECT_EQ(table.index(0, ConnectionsModel::FramesAToB).data().toInt() +
                table.index(0, ConnectionsModel::FramesBToA).data().toInt(), 1500);
  EXPECT_EQ(table.index(0, ConnectionsModel::State).data().toString(), "");
  std::int64_t binned = 0;
  for (const IoInterval& i : frame->Traffic().Stats().Intervals()) binned += i.framesIn + i.framesOut;
  EXPECT_EQ(binned, 1500);

  frame->Action(command_id::Clear)->trigger();
  EXPECT_EQ(frame->Traffic().Stats().Frames(), 0);
  EXPECT_EQ(table.rowCount(), 0);
}

TEST_F(MainFrameOpenTest, StopCancelsALoadAndNoTraceStartsMeanwhile) {
  const int frames = 200000;
  const QString path = WritePcap("big.pcap", frames);
  frame->OpenFile(path);
  ASSERT_TRUE(frame->IsLoading());
  EXPECT_FALSE(Enabled(command_id::Start));
  EXPECT_TRUE(Enabled(command_id::Stop));
  EXPECT_THAT(Pane(1), HasSubstr("Loading"));
  frame->OnStart();  // refused while the file is read
  EXPECT_FALSE(frame->Control().IsTracing());

  frame->Action(command_id::Stop)->trigger();
  ASSERT_TRUE(WaitUntil([&] { return !frame->IsLoading(); }));
  EXPECT_LT(Rows(), frames);
  EXPECT_EQ(Title(), "Orrisvane is showing big.pcap - " + std::to_string(Rows()) + " packets");
  EXPECT_EQ(Pane(1), TraceOffText);
  EXPECT_TRUE(Enabled(command_id::Start));
  EXPECT_TRUE(messages.texts.empty());

  // Clear takes the file's rows and title away; closing during a load ends the load first.
  frame->Action(command_id::Clear)->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(frame->ShownFileFrames(), nullptr);
  EXPECT_EQ(Title().find("Orrisvane is sniffing packets on the fake0"), 0u) << Title();
  frame->OpenFile(path);
  ASSERT_TRUE(frame->IsLoading());
  frame.reset();
}

TEST_F(MainFrameOpenTest, OpeningDuringATraceAsksFirstAndDroppedFilesOpen) {
  const QString path = WritePcap("dropped.pcap", 4);
  Trace(2);

  messages.answer = false;  // No: the trace goes on, nothing is opened
  frame->OpenFile(path);
  ASSERT_EQ(messages.questions.size(), 1u);
  EXPECT_EQ(messages.questions[0], StopTraceToOpenQuestion);
  EXPECT_TRUE(frame->Control().IsTracing());
  EXPECT_EQ(Rows(), 2);

  messages.answer = true;  // Yes, by dropping the file on the window
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(path)});
  // A drop reaches the widget that accepted the drag's entry.
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(frame.get(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(frame.get(), &drop);
  ASSERT_TRUE(WaitUntil([&] { return messages.questions.size() == 2 && !frame->IsLoading() && Rows() == 4; }));
  EXPECT_FALSE(frame->Control().IsTracing());
  EXPECT_EQ(Title(), "Orrisvane is showing dropped.pcap - 4 packets");
}

}  // namespace
