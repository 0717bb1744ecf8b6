#include "ui/packet_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QTextDocument>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "tests/ui/ui_test_util.h"
#include "ui/row_model.h"

namespace {

TEST(BuildPacketDetails, OnlyThePacketNumberShownGivesNoLines) {
  RowModel model;
  model.SetColumns(ShowFirst(1));
  model.AppendBatch(MakeRows(1, 12, 1));
  EXPECT_EQ(BuildPacketDetails(model, 0), "");
}

TEST(BuildPacketDetails, OneLinePerColumnEndingInTwoCarriageReturnsAndALineFeed) {
  RowModel model;
  model.SetColumns(ShowIds({ColumnId::Bytes, ColumnId::InOut}));
  model.AppendBatch(MakeRow({"1", "60", "in"}));
  EXPECT_EQ(BuildPacketDetails(model, 0), "Bytes: 60\r\r\nIn/Out: in\r\r\n");
}

TEST(BuildPacketDetails, LinesFollowListColumnOrderAndEmptyCellsKeepTheirLine) {
  RowModel model;
  // Chosen out of order; the list (and so the text) is in column catalogue order.
  model.SetColumns(ShowIds({ColumnId::Data, ColumnId::TcpSourcePort, ColumnId::MacSource}));
  const std::string data(5000, 'x');  // cut to 1023 characters
  model.AppendBatch(MakeRow({"7", "00:11:22:33:44:55", "", data}));
  EXPECT_EQ(BuildPacketDetails(model, 0),
            "MAC Source Address: 00:11:22:33:44:55\r\r\n"
            "TCP Source Port: \r\r\n"
            "Data: " + std::string(1023, 'x') + "\r\r\n");
  EXPECT_EQ(BuildPacketDetails(model, 1), "");   // past the last row
  EXPECT_EQ(BuildPacketDetails(model, -1), "");
}

TEST(PacketDialog, ShowsOneLinePerColumnWithoutCarriageReturns) {
  const std::string details = "Bytes: 60\r\r\nIn/Out: in\r\r\nData: a<b>&c\r\r\n";
  CPacketDlg dialog("Packet 12", details);
  EXPECT_EQ(dialog.windowTitle(), "Packet 12");
  EXPECT_EQ(dialog.Details(), details);  // kept as built
  QPlainTextEdit* edit = dialog.DetailsEdit();
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->toPlainText(), "Bytes: 60\nIn/Out: in\nData: a<b>&c\n");
  EXPECT_EQ(edit->document()->blockCount(), 4);  // three lines and the empty one after
  EXPECT_TRUE(edit->isReadOnly());
  EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(edit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  // Without the picture resource there is nothing where it would be.
  EXPECT_TRUE(dialog.findChildren<QLabel*>().isEmpty());
}

TEST(PacketDialog, TheFramesBytesFollowTheDetailsAndCopyTakesTheWholeText) {
  std::vector<std::uint8_t> frame(18);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(0x3A + i * 9);
  frame[17] = 0x7F;
  const std::string dump = HexDump(frame);
  EXPECT_EQ(dump,
            "0000  3a 43 4c 55 5e 67 70 79  82 8b 94 9d a6 af b8 c1  :CLU^gpy........\n"
            "0010  ca 7f                                             ..\n");
  EXPECT_EQ(HexDump({}), "");

  const std::string details = "Bytes: 18\r\r\nData: <b>\r\r\n";
  CPacketDlg dialog("Packet 3", details, dump);
  EXPECT_EQ(dialog.Details(), details);
  const QString shown = QString::fromStdString("Bytes: 18\nData: <b>\n\n" + dump);
  EXPECT_EQ(dialog.DetailsEdit()->toPlainText(), shown);
  auto* copy = dialog.findChild<QPushButton*>(QStringLiteral("copy"));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->text(), "Copy");
  EXPECT_FALSE(copy->isDefault());
  QApplication::clipboard()->clear();
  QTest::mouseClick(copy, Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), shown);

  // Without a kept frame the box holds the details alone.
  CPacketDlg plain("Packet 4", details);
  EXPECT_EQ(plain.DetailsEdit()->toPlainText(), "Bytes: 18\nData: <b>\n");
}

TEST(PacketDialogLayout, AWholeDumpLineFitsInAFixedWidthFont) {
  const std::string dump = HexDump(std::vector<std::uint8_t>(16, 'W'));
  CPacketDlg dialog("Packet 1", "Bytes: 16\r\r\n", dump);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  const QPlainTextEdit* edit = dialog.DetailsEdit();
  const QFontMetrics metrics(edit->font());  // fixed width: '.' as wide as 'W'
  EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("....")), metrics.horizontalAdvance(QStringLiteral("WWWW")));
  EXPECT_LE(metrics.horizontalAdvance(QString::fromStdString(dump).trimmed()) + 2 * edit->document()->documentMargin(), edit->viewport()->width());
}

TEST(PacketDialog, OkEnterAndEscapeEndIt) {
  for (int way = 0; way < 3; ++way) {
    CPacketDlg dialog("Packet 1", "Bytes: 60\r\r\n");
    dialog.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    auto* ok = dialog.findChild<QPushButton*>();
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    if (way == 0) QTest::mouseClick(ok, Qt::LeftButton);
    if (way == 1) QTest::keyClick(&dialog, Qt::Key_Return);
    if (way == 2) QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible()) << way;
    EXPECT_EQ(dialog.result(), way == 2 ? QDialog::Rejected : QDialog::Accepted) << way;
  }
}

}  // namespace
