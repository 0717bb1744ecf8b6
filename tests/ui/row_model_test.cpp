#include "ui/row_model.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "tests/ui/ui_test_util.h"

namespace {

QString Cell(const RowModel& m, int row, int column) { return m.data(m.index(row, column)).toString(); }

class RowModelTest : public ::testing::Test {
 protected:
  RowModel model;
  QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(RowModelTest, ColumnsComeFromTheShownColumnsAndRemoveEveryRow) {
  model.SetColumns(ColumnSet::Startup());
  ASSERT_EQ(model.columnCount(), 13);
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Packet Number");
  EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Time");
  EXPECT_EQ(model.headerData(4, Qt::Horizontal).toString(), "Protocol");
  EXPECT_EQ(model.headerData(12, Qt::Horizontal).toString(), "Data");
  model.AppendBatch(MakeRows(13, 1, 10));
  model.SetColumns(ShowIds({ColumnId::Data}));
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 2);
  EXPECT_EQ(model.HeaderText(1), "Data");
}

TEST_F(RowModelTest, EachBatchIsOneInsertionAtTheEnd) {
  model.SetColumns(ShowFirst(3));
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  model.AppendBatch(MakeRows(3, 1, 5));
  model.AppendBatch(MakeRows(3, 6, 100));
  model.AppendBatch(RowStore(3));  // an empty batch inserts nothing

  ASSERT_EQ(inserted.count(), 2);
  EXPECT_EQ(inserted[1][1].toInt(), 5);
  EXPECT_EQ(inserted[1][2].toInt(), 104);
  ASSERT_EQ(model.rowCount(), 105);
  EXPECT_EQ(Cell(model, 104, 0), "105");
  EXPECT_EQ(Cell(model, 57, 2), "r58c2");
}

TEST_F(RowModelTest, CellsAreEightBitTextOneCharacterPerByte) {
  model.SetColumns(ShowFirst(2));
  model.AppendBatch(MakeRow({"1", "caf\xe9 <b>&amp;"}));
  const QString text = Cell(model, 0, 1);
  EXPECT_EQ(text, QString::fromLatin1("caf\xe9 <b>&amp;"));
  EXPECT_FALSE(model.data(model.index(0, 1), Qt::EditRole).isValid());
}

TEST_F(RowModelTest, BatchWithOtherColumnCountIsFittedToTheList) {
  model.SetColumns(ShowFirst(3));
  model.AppendBatch(MakeRows(5, 1, 2));  // surplus cells dropped
  model.AppendBatch(MakeRows(2, 3, 2));  // missing cells empty
  ASSERT_EQ(model.rowCount(), 4);
  EXPECT_EQ(Cell(model, 1, 2), "r2c2");
  EXPECT_EQ(Cell(model, 3, 1), "r4c1");
  EXPECT_EQ(Cell(model, 3, 2), "");
}

TEST_F(RowModelTest, ClearKeepsColumnsRemoveAllDropsBoth) {
  model.SetColumns(ShowFirst(4));
  model.AppendBatch(MakeRows(4, 1, 10));
  model.Clear();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 4);
  model.AppendBatch(MakeRows(4, 11, 3));
  EXPECT_EQ(Cell(model, 0, 0), "11");
  model.RemoveAll();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 0);
}

}  // namespace

namespace {

TEST_F(RowModelTest, PastTheLimitTheOldestRowsLeaveInOneRemovalAndNumbersGoOn) {
  model.SetColumns(ShowFirst(3));
  model.SetRowLimit(640);  // a margin of 640 / 32 = 20 rows
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  QSignalSpy left(&model, &RowModel::rowsLeft);
  model.AppendBatch(MakeRows(3, 0, 600));
  model.AppendBatch(MakeRows(3, 600, 40));
  EXPECT_EQ(removed.count(), 0);  // at the limit, nothing leaves
  model.AppendBatch(MakeRows(3, 640, 100));
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(removed[0][1].toInt(), 0);
  EXPECT_EQ(removed[0][2].toInt(), 119);  // 100 over the limit and the margin
  EXPECT_EQ(model.rowCount(), 620);
  EXPECT_EQ(model.RowsLeft(), 120);
  ASSERT_EQ(left.count(), 1);
  EXPECT_EQ(left[0][0].toLongLong(), 120);
  EXPECT_EQ(Cell(model, 0, 0), "120");
  EXPECT_EQ(Cell(model, 619, 2), "r739c2");
  EXPECT_EQ(model.NextPacketNumber(), 740);

  // A batch larger than the limit leaves only its newest rows.
  model.AppendBatch(MakeRows(3, 740, 2000));
  EXPECT_EQ(model.rowCount(), 620);
  EXPECT_EQ(Cell(model, 0, 0), "2120");
  EXPECT_EQ(model.NextPacketNumber(), 2740);

  model.Clear();  // numbers start again, and nothing has left
  EXPECT_EQ(model.RowsLeft(), 0);
  EXPECT_EQ(left.last()[0].toLongLong(), 0);
  EXPECT_EQ(model.NextPacketNumber(), 0);
}

}  // namespace
