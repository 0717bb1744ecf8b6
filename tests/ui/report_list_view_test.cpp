#include "ui/report_list_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include "analysis/capture_state.h"
#include "analysis/decoder.h"
#include "analysis/frame_source.h"
#include "ui/packet_dialog.h"
#include "tests/support/frames.h"
#include "tests/ui/ui_test_util.h"
#include "ui/row_model.h"

namespace {

// What the window system sends for a double-click: press, release, double-click, release.
void DoubleClick(QWidget* widget, QPoint pos, Qt::MouseButton button = Qt::LeftButton) {
  QTest::mousePress(widget, button, {}, pos);
  QTest::mouseRelease(widget, button, {}, pos);
  QTest::mouseDClick(widget, button, {}, pos);
  QTest::mouseRelease(widget, button, {}, pos);
}

struct Opened {
  QString title;
  std::string details;
  std::string bytesDump;
};

// Keeps the frame of packet 3 only.
class OneFrame : public FrameSource {
 public:
  bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override {
    if (packetNumber != 3) return false;
    out.bytes = {0x45, 0x00, 0x41, 0x42};
    return true;
  }
};

class ReportListViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.SetDetailsOpener([this](const QString& title, const std::string& details, const std::string& bytesDump) {
      opened.push_back({title, details, bytesDump});
      events.push_back("dialog");
    });
    QObject::connect(&view, &QAbstractItemView::doubleClicked, [this] { events.push_back("default"); });
  }

  void Show(int width, int height, const ColumnSet& columns) {
    state.columns = columns;
    view.resize(width, height);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.InsertColumns();
  }

  void Append(int first, int count) {
    view.Model().AppendBatch(MakeRows(view.Model().columnCount(), first, count));
    QApplication::processEvents();
  }

  // Columns narrower than the window, so that a strip of client area lies beside them.
  void NarrowColumns(int width) {
    for (int p = 0; p < view.Model().columnCount(); ++p) view.horizontalHeader()->resizeSection(p, width);
  }

  int RowMiddle(int row) const { return view.rowViewportPosition(row) + view.rowHeight(row) / 2; }
  QImage Picture() { return view.viewport()->grab().toImage(); }
  QColor Highlight() const { return view.palette().color(QPalette::Active, QPalette::Highlight); }

  CaptureState state;
  CRowListView view{state};
  std::vector<Opened> opened;
  std::vector<std::string> events;
};

TEST_F(ReportListViewTest, ColumnsShareTheOuterWidthEqually) {
  Show(800, 400, ShowIds({ColumnId::Bytes, ColumnId::InOut, ColumnId::Protocol, ColumnId::IpSource,
                          ColumnId::IpDestination, ColumnId::Data}));
  ASSERT_EQ(view.Model().columnCount(), 7);
  for (int p = 0; p < 7; ++p) EXPECT_EQ(view.columnWidth(p), 114) << p;

  // Rebuilding (the settings sheet's OK) empties the list and makes the widths equal again.
  Append(1, 20);
  view.horizontalHeader()->resizeSection(1, 37);
  state.columns = ShowFirst(20);
  view.resize(1000, 400);
  view.RemoveColumns();
  EXPECT_EQ(view.Model().columnCount(), 0);
  view.InsertColumns();
  EXPECT_EQ(view.Model().rowCount(), 0);
  ASSERT_EQ(view.Model().columnCount(), 20);
  for (int p = 0; p < 20; ++p) EXPECT_EQ(view.columnWidth(p), 50) << p;
}

TEST_F(ReportListViewTest, FollowsNewRowsOnlyWhileScrolledToTheEnd) {
  Show(400, 200, ShowFirst(3));
  QScrollBar* bar = view.verticalScrollBar();
  Append(1, 100);  // an empty list follows
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  bar->setValue(10);  // the user looks at older rows
  Append(101, 100);
  EXPECT_EQ(bar->value(), 10);

  bar->setValue(bar->maximum());
  Append(201, 5);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(view.Model().rowCount(), 205);
}

TEST_F(ReportListViewTest, ScrollBarPictureFollowsWhereTheListIs) {
  // The bar keeps its picture while it looks the same; every move of the slider must
  // still show.
  Show(400, 200, ShowFirst(3));
  QScrollBar* bar = view.verticalScrollBar();
  Append(1, 5000);
  const QImage atEnd = bar->grab().toImage();
  Append(5001, 5000);  // the slider, at its smallest, stays at the end
  EXPECT_EQ(bar->grab().toImage(), atEnd);
  for (const int value : {0, bar->maximum() / 2}) {
    bar->setValue(value);
    QApplication::processEvents();
    EXPECT_NE(bar->grab().toImage(), atEnd) << value;
  }
  bar->setValue(bar->maximum());
  QApplication::processEvents();
  EXPECT_EQ(bar->grab().toImage(), atEnd);
}

TEST_F(ReportListViewTest, OlderRowsLeavingKeepTheSelectionAndTheRowsInSight) {
  Show(400, 200, ShowFirst(3));
  view.Model().SetRowLimit(1024);  // a margin of 32 rows
  QScrollBar* bar = view.verticalScrollBar();
  const auto number = [this](int row) { return view.Model().data(view.Model().index(row, 0)).toString(); };
  Append(0, 1024);
  bar->setValue(500);  // the user looks at older rows and picks one
  view.selectRow(510);
  QApplication::processEvents();
  const QString top = number(view.rowAt(0));
  ASSERT_GT(bar->maximum() - bar->value(), 50);

  Append(1024, 100);  // 132 rows leave
  ASSERT_EQ(view.Model().RowsLeft(), 132);
  EXPECT_EQ(number(view.rowAt(0)), top);
  const QModelIndexList selected = view.selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(number(selected[0].row()), "510");
  EXPECT_EQ(number(view.currentIndex().row()), "510");

  // The user's top row leaves too: the list shows its new first row.
  Append(1124, 600);
  EXPECT_EQ(view.rowAt(0), 0);
  EXPECT_TRUE(view.selectionModel()->selectedRows().isEmpty());

  // Following the end goes on while rows leave.
  bar->setValue(bar->maximum());
  for (int i = 0; i < 5; ++i) Append(1724 + 300 * i, 300);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(number(view.rowAt(view.viewport()->height() - 1)), "3223");
}

TEST_F(ReportListViewTest, NewViewKeepsTheSelectedRowAndTheHeaderMarksTheSortAskedFor) {
  Show(400, 200, ShowFirst(3));
  const auto number = [this](int row) { return view.Model().data(view.Model().index(row, 0)).toString(); };
  const auto filter = [](std::string_view text) {
    FilterError error;
    return RowFilter::Compile(text, &error);
  };
  Append(0, 200);
  view.selectRow(150);
  view.Model().SetFilter(filter("\"r15\""));  // 15 and 150 to 159
  ASSERT_EQ(view.Model().rowCount(), 11);
  ASSERT_EQ(view.selectionModel()->selectedRows().size(), 1);
  EXPECT_EQ(number(view.selectionModel()->selectedRows()[0].row()), "150");
  EXPECT_EQ(number(view.currentIndex().row()), "150");
  view.Model().SetFilter(filter("\"r16\""));
  EXPECT_TRUE(view.selectionModel()->selectedRows().isEmpty());

  // A sort still being made is marked; dropped, the mark goes with it.
  view.Model().SetFilter(std::nullopt);
  view.Model().SetViewSliceRows(16);
  QHeaderView* header = view.horizontalHeader();
  view.CycleSort(1);
  ASSERT_TRUE(view.Model().ViewChanging());
  EXPECT_TRUE(header->isSortIndicatorShown());
  EXPECT_EQ(header->sortIndicatorSection(), 1);
  view.CycleSort(1);  // a second click while it runs reverses
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  view.Model().CancelViewChange();
  EXPECT_FALSE(header->isSortIndicatorShown());
}

TEST_F(ReportListViewTest, FollowsTheEndWhenBothScrollBarsAppear) {
  auto lastRowInSight = [this] {
    const QRect row = view.visualRect(view.Model().index(view.Model().rowCount() - 1, 0));
    return row.isValid() && row.top() >= 0 && row.bottom() < view.viewport()->height();
  };
  for (int firstBatch : {3, 4094}) {
    SCOPED_TRACE(firstBatch);
    Show(400, 200, ShowFirst(3));
    // Narrower than the client area (the frame's inside) by less than a vertical bar: the
    // bar that the first overflow brings pushes the columns past the right edge.
    NarrowColumns((view.contentsRect().width() - view.verticalScrollBar()->sizeHint().width() / 2) / 3);
    QApplication::processEvents();
    ASSERT_FALSE(view.horizontalScrollBar()->isVisible());
    for (int batch = 0, next = 1; batch < 30; ++batch) {
      const int count = batch == 0 ? firstBatch : 3;
      Append(next, count);
      next += count;
      ASSERT_TRUE(lastRowInSight()) << "stuck at " << view.rowAt(view.viewport()->height() - 1) << " of "
                                    << view.Model().rowCount();
    }
    EXPECT_TRUE(view.horizontalScrollBar()->isVisible());
  }
}

TEST_F(ReportListViewTest, DoubleClickOnARowOpensItsDetailsBeforeTheDefaultHandling) {
  Show(600, 300, ShowIds({ColumnId::Bytes, ColumnId::InOut}));
  Append(1, 5);
  DoubleClick(view.viewport(), view.visualRect(view.Model().index(1, 2)).center());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].title, "Packet 2");
  EXPECT_EQ(opened[0].details, "Bytes: r2c1\r\r\nIn/Out: r2c2\r\r\n");
  EXPECT_EQ(opened[0].bytesDump, "");
  EXPECT_EQ(events, (std::vector<std::string>{"dialog", "default"}));
}

TEST_F(ReportListViewTest, TheDetailsOfARowWhoseFrameIsKeptCarryItsBytes) {
  Show(600, 300, ShowIds({ColumnId::Bytes, ColumnId::InOut}));
  // Packets 0 to 9, of which the oldest two have left the list: packet 3 is in row 1.
  view.Model().SetRowLimit(8);
  RowStore batch(state.columns);
  for (int n = 0; n < 10; ++n) {
    PacketRow row;
    row.packetNumber = n;
    row.length = 60;
    batch.AppendPacket(row);
  }
  view.Model().AppendBatch(batch);
  QApplication::processEvents();
  ASSERT_EQ(view.Model().RowsLeft(), 2);
  OneFrame frames;
  view.SetFrameSource(&frames);
  DoubleClick(view.viewport(), view.visualRect(view.Model().index(1, 1)).center());
  DoubleClick(view.viewport(), view.visualRect(view.Model().index(3, 1)).center());
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].title, "Packet 3");
  EXPECT_EQ(opened[0].bytesDump, HexDump(std::vector<std::uint8_t>{0x45, 0x00, 0x41, 0x42}));
  EXPECT_EQ(opened[1].bytesDump, "");
}

TEST_F(ReportListViewTest, DoubleClickBesideARowOpensNothing) {
  Show(600, 300, ShowFirst(3));
  Append(1, 3);
  NarrowColumns(100);
  // Below the last row.
  DoubleClick(view.viewport(), QPoint(50, view.rowViewportPosition(2) + 3 * view.rowHeight(2)));
  // Right of the last column, on a row's height.
  DoubleClick(view.viewport(), QPoint(450, RowMiddle(1)));
  // The right button is not a details request.
  DoubleClick(view.viewport(), QPoint(50, RowMiddle(1)), Qt::RightButton);
  EXPECT_TRUE(opened.empty());
}

TEST_F(ReportListViewTest, SelectedRowIsHighlightedToTheRightEdgeAlsoWithoutFocus) {
  Show(600, 300, ShowFirst(3));
  const QColor back(10, 200, 30);
  view.SetTextBackColor(back);
  Append(1, 10);
  NarrowColumns(80);
  view.selectRow(2);
  view.selectionModel()->select(view.Model().index(5, 0),
                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
  view.clearFocus();
  ASSERT_FALSE(view.hasFocus());
  EXPECT_EQ(view.ClientWidth(), view.viewport()->width());

  QImage picture = Picture();
  EXPECT_EQ(picture.pixelColor(500, RowMiddle(2)), Highlight());
  EXPECT_EQ(picture.pixelColor(500, RowMiddle(5)), Highlight());
  EXPECT_EQ(picture.pixelColor(500, RowMiddle(3)), back);
  EXPECT_EQ(picture.pixelColor(1, RowMiddle(3)), back);

  // A wider window: the new strip carries the highlight too.
  view.resize(900, 300);
  QApplication::processEvents();
  picture = Picture();
  EXPECT_EQ(picture.pixelColor(view.ClientWidth() - 2, RowMiddle(2)), Highlight());
  EXPECT_EQ(picture.pixelColor(view.ClientWidth() - 2, RowMiddle(4)), back);
}

// Remembers what the window system asked it to repaint.
class RecordingList : public CRowListView {
 public:
  using CRowListView::CRowListView;
  QRegion painted;

 protected:
  void paintEvent(QPaintEvent* event) override {
    painted += event->region();
    CRowListView::paintEvent(event);
  }
};

TEST(ReportListViewPaint, SelectionChangeRepaintsTheStripBesideTheColumns) {
  CaptureState state;
  state.columns = ShowFirst(3);
  RecordingList list(state);
  list.resize(600, 300);
  list.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
  list.InsertColumns();
  list.Model().AppendBatch(MakeRows(3, 1, 10));
  for (int p = 0; p < 3; ++p) list.horizontalHeader()->resizeSection(p, 80);
  list.selectRow(1);
  for (int i = 0; i < 3; ++i) QApplication::processEvents();

  list.painted = QRegion();
  list.selectionModel()->select(list.Model().index(4, 0),
                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
  const int y = list.rowViewportPosition(4) + list.rowHeight(4) / 2;
  EXPECT_TRUE(list.painted.contains(QPoint(100, y)));  // the cells
  EXPECT_TRUE(list.painted.contains(QPoint(500, y)));  // and the strip beside them
  EXPECT_FALSE(list.painted.contains(QPoint(500, list.rowViewportPosition(8) + 2)));
}

TEST_F(ReportListViewTest, FocusRectangleOnlyWhileTheListHasTheFocus) {
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* other = new QLineEdit(&window);
  layout->addWidget(other);
  state.columns = ShowFirst(3);
  CRowListView list(state, &window);
  layout->addWidget(&list);
  window.resize(600, 300);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  list.InsertColumns();
  list.Model().AppendBatch(MakeRows(3, 1, 10));
  list.setFocus();
  list.setCurrentIndex(list.Model().index(2, 0));
  QApplication::processEvents();
  ASSERT_TRUE(list.hasFocus());

  // The top edge of row 2's rectangle, across the row: the dotted line leaves some
  // pixels in another colour than the highlight.
  const auto edgeDiffers = [&] {
    const QImage picture = list.viewport()->grab().toImage();
    const QColor fill = list.palette().color(QPalette::Active, QPalette::Highlight);
    const int y = list.rowViewportPosition(2);
    int differing = 0;
    for (int x = 0; x < 100; ++x) differing += picture.pixelColor(x, y) != fill;
    return differing;
  };
  EXPECT_GT(edgeDiffers(), 10);

  other->setFocus();
  QApplication::processEvents();
  ASSERT_FALSE(list.hasFocus());
  EXPECT_EQ(edgeDiffers(), 0);  // still selected, no rectangle
}

}  // namespace

namespace follow_menu {

using namespace frames;

// Rows decoded from an ARP, a UDP and two TCP frames of two connections, with the given
// columns.
RowStore DecodedRows(CaptureState& state) {
  const Link& link = DecoderLink;
  TcpFields second;
  second.sourcePort = 2000;
  const std::vector<Bytes> capture = {
      Ethernet(Broadcast, link.localMac, EtherTypeArp, Arp(1, link.localMac, link.localIp, {}, link.remoteIp)),
      link.UdpFrame(true, 53, 5353, "dns"),
      link.TcpFrame(true, TcpFields{}, "GET /"),
      link.TcpFrame(false, second, "other"),
  };
  state.adapterMac = link.localMac;
  RowStore rows(state.columns);
  RowBuilder builder(rows);
  for (std::size_t i = 0; i < capture.size(); ++i) {
    Bytes buffer = capture[i];
    DecodeFrame(static_cast<std::int64_t>(i), buffer.data(), static_cast<std::uint32_t>(buffer.size()), builder, state);
  }
  return rows;
}

TEST_F(ReportListViewTest, FollowConnectionIsOfferedOnTcpRowsOnly) {
  std::vector<std::int64_t> followed;
  view.SetConnectionFollower([&](std::int64_t connection) { followed.push_back(connection); });
  Show(600, 300, ShowIds({ColumnId::Bytes, ColumnId::TcpConnectionNumber}));
  view.Model().AppendBatch(DecodedRows(state));

  EXPECT_EQ(view.ContextMenuFor(0), nullptr);  // ARP
  EXPECT_EQ(view.ContextMenuFor(1), nullptr);  // UDP
  for (const auto& [row, connection] : {std::pair{2, 1}, std::pair{3, 2}}) {
    const std::unique_ptr<QMenu> menu = view.ContextMenuFor(row);
    ASSERT_NE(menu, nullptr) << row;
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Follow Connection %1").arg(connection));
    menu->actions()[0]->trigger();
  }
  EXPECT_EQ(followed, (std::vector<std::int64_t>{1, 2}));
}

TEST_F(ReportListViewTest, FollowConnectionNeedsTheConnectionColumn) {
  view.SetConnectionFollower([](std::int64_t) {});
  Show(600, 300, ShowIds({ColumnId::Bytes, ColumnId::TcpSourcePort}));
  view.Model().AppendBatch(DecodedRows(state));
  EXPECT_EQ(view.ConnectionOfRow(2), 0);
  EXPECT_EQ(view.ContextMenuFor(2), nullptr);
}

}  // namespace follow_menu
