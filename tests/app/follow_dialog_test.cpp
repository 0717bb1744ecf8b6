// Follow Connection: the dialog shows both sides' segments one per block in their colours,
// saves either side's bytes atomically, and the window opens it from a row of the list
// with the display filter set to the connection.

#include "app/follow_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <cstring>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "tests/app/app_test_support.h"
#include "tests/support/capture_files.h"
#include "tests/support/frames.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"

namespace {

using namespace frames;

constexpr const Link& kLink = DeviceLink;

TcpFields Segment(std::uint32_t sequence, std::uint8_t flags = Ack | Psh) {
  TcpFields f;
  f.sequence = sequence;
  f.flags = flags;
  return f;
}

// A short exchange: handshake, a request with a line break, a reply with a byte that is
// not printable, the request sent again, and a pure acknowledgement.
std::vector<Bytes> Exchange() {
  return {kLink.TcpFrame(true, Segment(100, Syn), ""),
          kLink.TcpFrame(false, Segment(900, Syn | Ack), ""),
          kLink.TcpFrame(true, Segment(101), "GET /\r\n"),
          kLink.TcpFrame(false, Segment(901), std::string_view("OK\0<b>", 6)),
          kLink.TcpFrame(true, Segment(101), "GET /\r\n"),
          kLink.TcpFrame(true, Segment(108), "")};
}

FollowedConnection Followed(const std::vector<Bytes>& frames, std::int64_t missing = 0) {
  const auto ends = TcpEndpointsOf(frames.front());
  FollowedConnection followed;
  followed.stream.emplace(ends->first, ends->second);
  for (std::size_t i = 0; i < frames.size(); ++i) followed.stream->Add(static_cast<std::int64_t>(i), frames[i]);
  followed.rows = static_cast<std::int64_t>(frames.size()) + missing;
  followed.framesMissing = missing;
  return followed;
}

std::string ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

void WriteFile(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

TEST(FollowDialog, ShowsOneBlockPerSegmentInItsSidesColour) {
  FollowDialog dialog(7, Followed(Exchange(), 2));
  EXPECT_EQ(dialog.windowTitle(), "Follow Connection 7");
  const QTextDocument* document = dialog.TextView()->document();
  // Wire text is never markup: "<b>" stays as it came.
  EXPECT_EQ(document->toPlainText(), "GET /\nOK.<b>");
  ASSERT_EQ(document->blockCount(), 2);
  const QColor colors[] = {FollowDialog::SideColor(StreamSide::First), FollowDialog::SideColor(StreamSide::Second)};
  EXPECT_NE(colors[0], colors[1]);
  for (int i = 0; i < 2; ++i) {
    const QTextBlock block = document->findBlockByNumber(i);
    for (auto it = block.begin(); !it.atEnd(); ++it) EXPECT_EQ(it.fragment().charFormat().foreground().color(), colors[i]) << i;
  }

  const QString summary = dialog.Summary()->text();
  EXPECT_TRUE(summary.contains("10.0.0.2:80 and 10.0.0.1:1025")) << summary.toStdString();
  EXPECT_TRUE(summary.contains("2 no longer kept")) << summary.toStdString();
  EXPECT_TRUE(summary.contains("1 retransmission shown once")) << summary.toStdString();
  ASSERT_EQ(dialog.SideChoice()->count(), 2);
  EXPECT_EQ(dialog.SideChoice()->itemText(0), QStringLiteral("10.0.0.2:80 \u2192 10.0.0.1:1025 (7 bytes)"));
  EXPECT_EQ(dialog.SideChoice()->itemText(1), QStringLiteral("10.0.0.1:1025 \u2192 10.0.0.2:80 (6 bytes)"));
}

// CR LF and LF end a line, as in HTTP and SMTP; a lone CR and other control bytes stay '.'.
TEST(FollowDialog, LineEndsInThePayloadEndTheLine) {
  const std::vector<Bytes> frames = {kLink.TcpFrame(true, Segment(101), "EHLO a\r\nMAIL\nb\rc\td\r\n")};
  FollowDialog dialog(1, Followed(frames));
  EXPECT_EQ(dialog.TextView()->document()->toPlainText(), "EHLO a\nMAIL\nb.c.d");
}

TEST(FollowDialog, WithoutAnyKeptFrameSaysSoAndSavesNothing) {
  FollowedConnection followed;
  followed.rows = 3;
  followed.framesMissing = 3;
  FollowDialog dialog(4, std::move(followed));
  EXPECT_TRUE(dialog.Summary()->text().contains("no frame of it is kept")) << dialog.Summary()->text().toStdString();
  EXPECT_TRUE(dialog.TextView()->document()->toPlainText().isEmpty());
  EXPECT_FALSE(dialog.SaveButton()->isEnabled());
}

TEST(FollowDialog, SavesEitherSidesRawBytesAndAFailureKeepsTheOldFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  FollowDialog dialog(7, Followed(Exchange()));
  QString asked;
  std::vector<QString> errors;
  dialog.SetSavePathAsker([&](QWidget*, const QString&) { return asked; });
  dialog.SetErrorShower([&](QWidget*, const QString& text) { errors.push_back(text); });

  asked = dir.filePath("request.bin");
  dialog.SideChoice()->setCurrentIndex(0);
  dialog.SaveButton()->click();
  EXPECT_EQ(ReadAll(asked), "GET /\r\n");
  asked = dir.filePath("reply.bin");
  dialog.SideChoice()->setCurrentIndex(1);
  dialog.SaveButton()->click();
  EXPECT_EQ(ReadAll(asked), std::string("OK\0<b>", 6));
  EXPECT_TRUE(errors.empty());

  WriteFile(dir.filePath("old.bin"), "old contents");
  asked = dir.filePath("old.bin");
  {
    FileSizeLimit limit(3);
    dialog.SaveButton()->click();
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].contains(asked)) << errors[0].toStdString();
  EXPECT_TRUE(errors[0].contains(QString::fromLocal8Bit(std::strerror(EFBIG)))) << errors[0].toStdString();
  EXPECT_EQ(ReadAll(asked), "old contents");
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);

  // Cancelling the file dialog writes nothing.
  asked.clear();
  dialog.SaveButton()->click();
  EXPECT_EQ(errors.size(), 1u);
}

TEST(FollowConnectionInTheWindow, SetsTheFilterAndShowsThePayloadOfTheFilesFrames) {
  FakeMachine machine;
  machine.AddAdapters(1);
  QTemporaryDir dir;
  QSettingsProfile profile(dir.filePath("profile.conf"), QSettings::IniFormat);
  CMainFrame frame(machine.Environment(), profile);
  std::vector<QString> filters;
  frame.SetDisplayFilterApplier([&](const QString& expression) { filters.push_back(expression); });

  // Another connection's segment and a UDP datagram in between.
  std::vector<Bytes> capture = Exchange();
  TcpFields other = Segment(5);
  other.sourcePort = 8080;
  capture.insert(capture.begin() + 3, kLink.TcpFrame(false, other, "elsewhere"));
  capture.insert(capture.begin() + 4, kLink.UdpFrame(false, 53, 5353, "dns"));
  const QString path = dir.filePath("exchange.pcap");
  {
    PcapWriter writer(path.toStdString());
    for (std::size_t i = 0; i < capture.size(); ++i) writer.Frame(capture[i], 1000u * i);
    writer.Close(0);
  }
  frame.OpenFile(path);
  ASSERT_TRUE(WaitUntil([&] { return !frame.IsLoading(); }));
  ASSERT_EQ(frame.ListView().Model().Rows().RowCount(), static_cast<std::int64_t>(capture.size()));

  const std::unique_ptr<QMenu> menu = frame.ListView().ContextMenuFor(2);
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 1);
  EXPECT_EQ(menu->actions()[0]->text(), "Follow Connection 1");
  menu->actions()[0]->trigger();

  EXPECT_EQ(filters, std::vector<QString>{"conn == 1"});
  const auto* dialog = frame.findChild<FollowDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->TextView()->toPlainText(), "GET /\nOK.<b>");
}

}  // namespace
