// The main window's settings command, Save commands and log file, wired together:
// offscreen over the scripted device, with the modal dialogs replaced.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QSettings>
#include <QTemporaryDir>
#include <filesystem>
#include <memory>
#include <string>

#include "app/commands.h"
#include "app/main_frame.h"
#include "app/settings_sheet.h"
#include "app/settings_store.h"
#include "capture/spool/spool.h"
#include "tests/app/app_test_support.h"
#include "tests/app/main_frame_fixture.h"
#include "tests/support/frames.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"

using ::testing::HasSubstr;

namespace {

class SilentMessages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString& text, const QString&) override {
    texts.push_back(text.toStdString());
    return 0x400;
  }
  // "Save them?" is answered from answers, in turn (Discard once they run out).
  SaveAnswer AskToSave(QWidget*, const QString& text, bool* dontAskAgain) override {
    asked.push_back(text.toStdString());
    *dontAskAgain = dontAsk;
    if (answers.empty()) return SaveAnswer::Discard;
    const SaveAnswer answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  std::vector<std::string> texts;
  std::vector<std::string> asked;
  std::vector<SaveAnswer> answers;
  bool dontAsk = false;
};

class MainFrameFilesTest : public MainFrameFixture<SilentMessages> {
 protected:
  std::int64_t Rows() { return frame->ListView().Model().Rows().RowCount(); }
  bool Enabled(int id) { return frame->Action(id)->isEnabled(); }
  void Trace(int frames) {
    frame->Action(command_id::Start)->trigger();
    ASSERT_TRUE(frame->Control().IsTracing());
    const auto target = Rows() + frames;
    machine.PushFrames(frames);
    ASSERT_TRUE(WaitUntil([&] { return Rows() >= target; }));
    frame->Action(command_id::Stop)->trigger();
  }
  static QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
};

}  // namespace

TEST_F(MainFrameFilesTest, SettingsOkRebuildsColumnsAndEmptiesTheListCancelKeepsIt) {
  Trace(3);
  ASSERT_EQ(Rows(), 3);

  frame->SetSheetRunner([](SettingsSheet& sheet) {
    sheet.reject();
    return sheet.result();
  });
  frame->Action(command_id::Settings)->trigger();
  EXPECT_EQ(Rows(), 3);
  EXPECT_EQ(frame->ListView().Model().columnCount(), 13);

  frame->SetSheetRunner([](SettingsSheet& sheet) {
    sheet.ReportPage().CheckBox(1007)->setChecked(false);  // "Packet Size"
    sheet.accept();
    return sheet.result();
  });
  frame->Action(command_id::Settings)->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(frame->State().columns.shown[static_cast<int>(ColumnId::Bytes)], 0);
  ASSERT_EQ(frame->ListView().Model().columnCount(), 12);
  EXPECT_EQ(frame->ListView().Model().headerData(2, Qt::Horizontal).toString(), "In/Out");
  EXPECT_FALSE(Enabled(command_id::SaveTrace));
}

TEST_F(MainFrameFilesTest, SaveCommandsFollowTheRowsAndWriteTheList) {
  EXPECT_FALSE(Enabled(command_id::SaveTrace));
  EXPECT_FALSE(Enabled(command_id::Save));
  Trace(2);
  EXPECT_TRUE(Enabled(command_id::SaveTrace));
  EXPECT_TRUE(Enabled(command_id::Save));

  const QString path = dir.filePath("trace.txt");
  frame->SetSavePathAsker([&](QWidget*) { return path; });
  frame->Action(command_id::Save)->trigger();
  const QByteArray text = Read(path);
  const QList<QByteArray> lines = text.split('\n');
  ASSERT_EQ(lines.size(), 4) << text.toStdString();  // header, two rows, empty tail
  EXPECT_TRUE(lines[0].startsWith("Packet Number\tTime\tBytes\tIn/Out\tProtocol\t"));
  EXPECT_TRUE(lines[1].startsWith("0\t\t60\tout\tIP (Internet Protocol)\t10.0.0.2\t10.0.0.9\t"));
  EXPECT_TRUE(lines[2].startsWith("1\t\t60\tout\t"));

  // A folder that does not exist: reported, nothing written.
  const QString bad = dir.filePath("no/such/folder/trace.txt");
  frame->SetSavePathAsker([&](QWidget*) { return bad; });
  frame->Action(command_id::SaveTrace)->trigger();
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_THAT(messages.texts[0], HasSubstr("trace.txt"));
  EXPECT_FALSE(QFile::exists(bad));

  frame->Action(command_id::Clear)->trigger();
  EXPECT_FALSE(Enabled(command_id::SaveTrace));
}

TEST_F(MainFrameFilesTest, SavingAsPcapngWritesTheFramesOfTheListFromTheSpool) {
  std::string why;
  auto spools = SpoolFolder::Open(dir.filePath("cache").toStdString(), &why);
  ASSERT_TRUE(spools) << why;
  machine.spools = spools.get();
  frame = std::make_unique<CMainFrame>(machine.Environment(), *profile, &messages);
  Trace(3);
  Trace(2);
  const QString path = dir.filePath("trace.pcapng");
  frame->SetSavePathAsker([&](QWidget*) { return path; });
  frame->Action(command_id::Save)->trigger();
  EXPECT_TRUE(messages.texts.empty());
  const QByteArray bytes = Read(path);
  // A section header, the interface, then one block per row, each with the frame as sent.
  ASSERT_GE(bytes.size(), 60);
  EXPECT_EQ(bytes.left(4), QByteArray::fromHex("0a0d0d0a"));
  const auto sent = machine.OutgoingFrame();
  const QByteArray frameBytes(reinterpret_cast<const char*>(sent.data()), static_cast<qsizetype>(sent.size()));
  EXPECT_EQ(bytes.count(frameBytes), 5);
  EXPECT_EQ(bytes.size(), 28 + 32 + 5 * (32 + 60));

  // A new column set empties the list, and the spool goes with the rows.
  frame->SetSheetRunner([](SettingsSheet& sheet) {
    sheet.accept();
    return sheet.result();
  });
  frame->Action(command_id::Settings)->trigger();
  EXPECT_EQ(frame->Control().Frames(), nullptr);
  frame.reset();
  machine.spools = nullptr;
}

TEST_F(MainFrameFilesTest, ABoundTracesRowsFindTheirFramesByPacketNumberAndKeepDataThatLeavesTheSpool) {
  std::string why;
  auto spools = SpoolFolder::Open(dir.filePath("cache").toStdString(), &why);
  ASSERT_TRUE(spools) << why;
  machine.spools = spools.get();
  frame = std::make_unique<CMainFrame>(machine.Environment(), *profile, &messages);
  frame->State().keepRows = FewestKeptRows;  // 1,000 rows
  frame->State().spoolLimitMiB = 1;          // about 700 of these frames
  frame->ListView().InsertColumns();
  // Frame n names itself in a payload of about 1,400 bytes.
  const auto frameOf = [](int n) {
    return frames::DeviceLink.UdpFrame(false, 5000, 53, "frame " + std::to_string(n) + std::string(1380, '.'));
  };
  constexpr int Frames = 3000;
  frame->Action(command_id::Start)->trigger();
  for (int n = 0; n < Frames; ++n) machine.script->PushFrame(frameOf(n));
  const RowModel& model = frame->ListView().Model();
  ASSERT_TRUE(WaitUntil([&] { return model.NextPacketNumber() >= Frames; }));
  frame->Action(command_id::Stop)->trigger();
  ASSERT_GT(model.RowsLeft(), 0);

  // Every row shows its own frame's Data, also the rows whose frames left the spool.
  const RowStore& rows = model.Rows();
  const int data = frame->State().columns.Position(ColumnId::Data);
  for (std::int64_t r = 0; r < rows.RowCount(); ++r) {
    const std::string text = "frame " + std::to_string(rows.PacketNumber(r));
    ASSERT_EQ(model.CellText(r, data).substr(0, text.size() + 1), text + ".") << r;
  }

  // Saved frames are those of the rows' packet numbers, as far as the spool holds them.
  const QString path = dir.filePath("bound.pcapng");
  frame->SetSavePathAsker([&](QWidget*) { return path; });
  frame->Action(command_id::Save)->trigger();
  const QByteArray bytes = Read(path);
  const auto has = [&bytes](const frames::Bytes& f) {
    return bytes.contains(QByteArray(reinterpret_cast<const char*>(f.data()), static_cast<qsizetype>(f.size())));
  };
  EXPECT_TRUE(has(frameOf(Frames - 1)));
  EXPECT_FALSE(has(frameOf(0)));
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_THAT(messages.texts[0], HasSubstr(" of the " + std::to_string(rows.RowCount()) + " rows are no longer kept"));

  // The newest rows read their Data from the spool rather than keep it: with the spool's
  // files emptied behind its back, they show none, while the rows whose frames left (or
  // are the next to leave: the oldest file is asked for ahead) kept theirs.
  const FrameSource* spool = frame->Control().Frames();
  ASSERT_NE(spool, nullptr);
  StoredFrame stored;
  std::int64_t firstHeld = 0;
  while (firstHeld < rows.RowCount() && !spool->ReadFrame(rows.PacketNumber(firstHeld), stored)) ++firstHeld;
  ASSERT_GT(firstHeld, 0);
  ASSERT_LT(firstHeld, rows.RowCount() - 1);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.filePath("cache").toStdString()))
    if (entry.path().extension() == ".pcapng") std::filesystem::resize_file(entry.path(), 0);
  const std::int64_t last = rows.RowCount() - 1;
  EXPECT_FALSE(spool->ReadFrame(rows.PacketNumber(last), stored));  // and nothing cached
  EXPECT_EQ(model.CellText(last, data), "");
  const std::string before = "frame " + std::to_string(rows.PacketNumber(firstHeld - 1)) + ".";
  EXPECT_EQ(model.CellText(firstHeld - 1, data).substr(0, before.size()), before);
  frame.reset();
  machine.spools = nullptr;
}

TEST_F(MainFrameFilesTest, LogFileReceivesEveryRowOfTwoTraces) {
  const QString log = dir.filePath("trace-log.txt");
  frame->State().saveLog = 1;
  frame->State().logFilePath = log.toStdString();
  Trace(3);
  Trace(2);
  const QList<QByteArray> lines = Read(log).split('\n');
  ASSERT_EQ(lines.size(), 7);  // header once, 3 + 2 rows, empty tail
  EXPECT_TRUE(lines[0].startsWith("Packet Number\t"));
  // The second trace numbers on from the rows already in the list.
  EXPECT_TRUE(lines[3].startsWith("2\t"));
  EXPECT_TRUE(lines[5].startsWith("4\t"));
  EXPECT_TRUE(messages.texts.empty());

  // Off: nothing more is written.
  frame->State().saveLog = 0;
  Trace(1);
  EXPECT_EQ(Read(log).split('\n').size(), 7);
}

TEST_F(MainFrameFilesTest, BoundListTellsHowManyRowsLeftWhileTheLogGetsEveryRow) {
  const QString log = dir.filePath("bound-log.txt");
  frame->State().saveLog = 1;
  frame->State().logFilePath = log.toStdString();
  frame->State().keepRows = FewestKeptRows;  // 1,000 rows, a margin of 31
  frame->ListView().InsertColumns();
  EXPECT_FALSE(frame->Pane(8)->isVisibleTo(frame.get()));

  frame->Action(command_id::Start)->trigger();
  machine.PushFrames(1500);
  const RowModel& model = frame->ListView().Model();
  ASSERT_TRUE(WaitUntil([&] { return model.NextPacketNumber() >= 1500; }));
  frame->Action(command_id::Stop)->trigger();
  EXPECT_LE(model.rowCount(), 1000);
  EXPECT_GE(model.rowCount(), 969);
  const std::int64_t left = 1500 - model.rowCount();
  EXPECT_EQ(model.RowsLeft(), left);
  EXPECT_TRUE(frame->Pane(8)->isVisibleTo(frame.get()));
  EXPECT_EQ(frame->Pane(8)->text(), QString("%1 Older Rows Left").arg(left));
  EXPECT_EQ(Read(log).split('\n').size(), 1502);  // header, every row, empty tail

  Trace(10);  // numbers go on from the last row's
  EXPECT_EQ(model.data(model.index(model.rowCount() - 1, 0)).toString(), "1509");
  EXPECT_EQ(Read(log).split('\n').size(), 1512);

  frame->Action(command_id::Clear)->trigger();
  EXPECT_FALSE(frame->Pane(8)->isVisibleTo(frame.get()));
  EXPECT_EQ(model.NextPacketNumber(), 0);
}

TEST_F(MainFrameFilesTest, FilterBarKeysChooseTheRowsAndThePromptCountsThem) {
  frame->show();
  Trace(5);
  QLineEdit* edit = frame->FilterEdit();
  RowModel& model = frame->ListView().Model();
  // The list has the focus at first, not the bar, whose blinking cursor would repaint an
  // idle window twice a second.
  ASSERT_TRUE(WaitUntil([&] { return frame->ListView().hasFocus(); }, 2000));

  QTest::keyClick(frame.get(), Qt::Key_F, Qt::ControlModifier);
  ASSERT_TRUE(WaitUntil([&] { return edit->hasFocus(); }, 2000));

  QTest::keyClicks(edit, "num >= 3");
  EXPECT_EQ(model.rowCount(), 5) << "typing alone applies nothing";
  QTest::keyClick(edit, Qt::Key_Return);
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.CellText(0, 0), "3");
  EXPECT_EQ(frame->Pane(0)->text(), "2 of 5 rows shown");

  // A mistake: its place and what was expected, as plain text; the view stays.
  edit->setText("num >= <b>");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(model.rowCount(), 2);
  EXPECT_EQ(frame->FilterMessage()->textFormat(), Qt::PlainText);
  EXPECT_THAT(frame->FilterMessage()->text().toStdString(), HasSubstr("at character 8: expected"));

  QTest::keyClick(edit, Qt::Key_Escape);
  EXPECT_TRUE(edit->text().isEmpty());
  EXPECT_EQ(model.rowCount(), 5);
  EXPECT_TRUE(frame->FilterMessage()->text().isEmpty());
  EXPECT_EQ(frame->Pane(0)->text(), IdlePrompt);
}

TEST_F(MainFrameFilesTest, LongFilterShowsItsProgressAndCancelKeepsTheFilterApplied) {
  frame->show();
  Trace(40);
  RowModel& model = frame->ListView().Model();
  model.SetViewSliceRows(8);  // 40 rows take several slices
  QLineEdit* edit = frame->FilterEdit();
  QPushButton* cancel = frame->CancelViewButton();
  const auto finished = [&] { return WaitUntil([&] { return !model.ViewChanging(); }); };

  ASSERT_TRUE(frame->ApplyDisplayFilter("num >= 30"));
  EXPECT_EQ(frame->Pane(0)->text(), "Filtering 0%");
  EXPECT_TRUE(cancel->isVisibleTo(frame.get()));
  QTest::keyClick(edit, Qt::Key_Escape);  // cancels, rather than clearing
  EXPECT_FALSE(model.ViewChanging());
  EXPECT_EQ(edit->text(), "");
  EXPECT_EQ(model.rowCount(), 40);
  EXPECT_FALSE(cancel->isVisibleTo(frame.get()));
  EXPECT_EQ(frame->Pane(0)->text(), IdlePrompt);

  ASSERT_TRUE(frame->ApplyDisplayFilter("num >= 30"));
  ASSERT_TRUE(finished());
  EXPECT_EQ(frame->Pane(0)->text(), "10 of 40 rows shown");
  EXPECT_FALSE(cancel->isVisibleTo(frame.get()));

  ASSERT_TRUE(frame->ApplyDisplayFilter("num < 5"));
  QTest::mouseClick(cancel, Qt::LeftButton);
  EXPECT_EQ(edit->text(), "num >= 30");
  EXPECT_EQ(model.rowCount(), 10);

  // A sort asked for meanwhile takes the filter along; Clear drops a change cleanly.
  ASSERT_TRUE(frame->ApplyDisplayFilter("num < 5"));
  frame->ListView().CycleSort(0);
  frame->ListView().CycleSort(0);
  ASSERT_TRUE(finished());
  EXPECT_EQ(model.rowCount(), 5);
  EXPECT_EQ(model.CellText(0, 0), "4");
  EXPECT_EQ(frame->Pane(0)->text(), "5 of 40 rows shown");
  ASSERT_TRUE(frame->ApplyDisplayFilter("num >= 20"));
  frame->Action(command_id::Clear)->trigger();
  EXPECT_FALSE(model.ViewChanging());
  EXPECT_EQ(edit->text(), "num < 5");
  EXPECT_EQ(frame->Pane(0)->text(), "0 of 0 rows shown");
}

TEST_F(MainFrameFilesTest, SaveWritesTheShownRowsInTheirOrderWhileTheLogHasEveryRow) {
  const QString log = dir.filePath("log.txt");
  frame->State().saveLog = true;
  frame->State().logFilePath = log.toStdString();
  ASSERT_TRUE(frame->ApplyDisplayFilter("num != 1"));
  Trace(4);
  ASSERT_EQ(frame->ListView().Model().rowCount(), 3);
  EXPECT_EQ(frame->Pane(0)->text(), "3 of 4 rows shown");
  frame->ListView().CycleSort(0);
  frame->ListView().CycleSort(0);  // descending

  const QString path = dir.filePath("shown.txt");
  frame->SetSavePathAsker([&](QWidget*) { return path; });
  frame->Action(command_id::Save)->trigger();
  const QList<QByteArray> lines = Read(path).split('\n');
  ASSERT_EQ(lines.size(), 5);
  EXPECT_TRUE(lines[1].startsWith("3\t"));
  EXPECT_TRUE(lines[2].startsWith("2\t"));
  EXPECT_TRUE(lines[3].startsWith("0\t"));
  EXPECT_EQ(Read(log).count('\n'), 5) << "a header and every row";
}

// Clear, new columns and Exit ask before the rows of a trace never saved go: Cancel keeps
// them, Save writes them first, a saved trace is not asked about, and "Don't ask again"
// ends the questions.
TEST_F(MainFrameFilesTest, AnUnsavedTraceIsOfferedForSavingBeforeItsRowsGo) {
  EXPECT_EQ(UnsavedTraceQuestion(12345), "The trace has 12,345 frames that are not saved. Save them?");
  Trace(3);
  messages.answers = {SaveAnswer::Cancel, SaveAnswer::Cancel};
  frame->Action(command_id::Clear)->trigger();
  EXPECT_EQ(Rows(), 3);
  EXPECT_FALSE(frame->close());
  EXPECT_EQ(messages.asked.size(), 2u);

  const QString path = dir.filePath("kept.txt");
  frame->SetSavePathAsker([&](QWidget*) { return path; });
  messages.answers = {SaveAnswer::Save};
  ASSERT_TRUE(frame->ApplyDisplayFilter("num == 1"));
  frame->Action(command_id::Clear)->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(Read(path).count('\n'), 4) << "the header and every row, not only the one shown";

  Trace(2);
  frame->Action(command_id::Save)->trigger();
  frame->Action(command_id::Clear)->trigger();
  EXPECT_EQ(messages.asked.size(), 3u) << "a saved trace goes without a question";

  Trace(2);
  messages.dontAsk = true;
  frame->SetSheetRunner([](SettingsSheet& sheet) {
    sheet.accept();
    return sheet.result();
  });
  frame->Action(command_id::Settings)->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_FALSE(frame->State().askToSave);
  Trace(2);
  frame->Action(command_id::Clear)->trigger();
  EXPECT_EQ(messages.asked.size(), 4u);
}

// The keys of other monitors: Ctrl+E starts and stops, Enter opens the current row's
// details, Ctrl+C copies the selected rows as Save writes them, and a packet is found by
// its number only while the list shows it.
TEST_F(MainFrameFilesTest, KeysStartStopOpenCopyAndFindRows) {
  frame->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
  QTest::keyClick(frame.get(), Qt::Key_E, Qt::ControlModifier);
  ASSERT_TRUE(frame->Control().IsTracing());
  machine.PushFrames(3);
  ASSERT_TRUE(WaitUntil([&] { return Rows() >= 3; }));
  QTest::keyClick(frame.get(), Qt::Key_E, Qt::ControlModifier);
  EXPECT_FALSE(frame->Control().IsTracing());

  CRowListView& list = frame->ListView();
  list.setFocus();
  ASSERT_TRUE(list.GoToPacket(2));
  EXPECT_EQ(list.currentIndex().row(), 2);
  list.selectionModel()->select(list.model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
  const QStringList lines = QApplication::clipboard()->text().split('\n');
  ASSERT_EQ(lines.size(), 4) << "the header, rows 0 and 2, an empty tail";
  EXPECT_TRUE(lines[0].startsWith("Packet Number\tTime\t"));
  EXPECT_TRUE(lines[1].startsWith("0\t"));
  EXPECT_TRUE(lines[2].startsWith("2\t"));

  QString opened;
  list.SetDetailsOpener([&](const QString& title, const std::string&, const std::string&) { opened = title; });
  QTest::keyClick(&list, Qt::Key_Return);
  EXPECT_EQ(opened, "Packet 2");

  ASSERT_TRUE(frame->ApplyDisplayFilter("num == 1"));
  ASSERT_TRUE(WaitUntil([&] { return frame->ListView().Model().rowCount() == 1; }));
  EXPECT_FALSE(list.GoToPacket(2));
  EXPECT_TRUE(list.GoToPacket(1));
}
