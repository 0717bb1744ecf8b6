// The traffic tables' models and sorting proxy, and the traffic graph's bins and the
// display filter a drag across it makes.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAbstractScrollArea>
#include <QCoreApplication>
#include <QFile>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/row_filter.h"
#include "analysis/traffic_stats.h"
#include "ui/stats_models.h"
#include "ui/traffic_graph.h"

namespace {

constexpr std::int64_t Second = 1'000'000'000;

PacketRow Udp(std::uint8_t from, std::uint16_t port, std::uint32_t bytes) {
  PacketRow row{.timeKnown = true, .length = bytes, .wireLength = bytes, .kind = RowKind::Udp, .etherType = 0x0800,
                .ipSource = {10, 0, 0, from}, .ipDestination = {10, 0, 0, 100}, .ipProtocol = 17};
  row.sourcePort = port;
  row.destinationPort = 53;
  return row;
}

std::vector<std::string> Column(const QAbstractItemModel& model, int column) {
  std::vector<std::string> out;
  for (int r = 0; r < model.rowCount(); ++r) out.push_back(model.index(r, column).data().toString().toStdString());
  return out;
}

TEST(StatsModelsTest, ConnectionsFollowTheTotalsSortByValueAndFilter) {
  TrafficStats stats;
  ConnectionsModel model(stats);
  StatsProxyModel proxy;
  proxy.setSourceModel(&model);
  QAbstractItemModelTester sourceTester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QAbstractItemModelTester proxyTester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);

  stats.Add(Udp(10, 5000, 300));
  stats.Add(Udp(9, 5001, 70));
  EXPECT_EQ(model.rowCount(), 0);  // shown at the next refresh only
  model.Refresh();
  stats.Add(Udp(10, 5000, 300));  // counted into a row already shown
  stats.Add(Udp(100, 53, 1000));  // a new row: a pair with itself
  model.Refresh();
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(Column(model, ConnectionsModel::BytesAToB), (std::vector<std::string>{"600", "70", "1000"}));

  // Addresses by value (10.0.0.9 before 10.0.0.10), numbers as numbers, descending too.
  proxy.sort(ConnectionsModel::AddressA, Qt::AscendingOrder);
  EXPECT_EQ(Column(proxy, ConnectionsModel::AddressA), (std::vector<std::string>{"10.0.0.9", "10.0.0.10", "10.0.0.100"}));
  proxy.sort(ConnectionsModel::BytesAToB, Qt::DescendingOrder);
  EXPECT_EQ(Column(proxy, ConnectionsModel::BytesAToB), (std::vector<std::string>{"1000", "600", "70"}));

  FilterError error;
  proxy.SetFilter(RowFilter::Compile("sport >= 5000 and bytes < 500", &error));
  EXPECT_EQ(Column(proxy, ConnectionsModel::PortA), (std::vector<std::string>{"5001"}));
  proxy.SetFilter(std::nullopt);
  EXPECT_EQ(proxy.rowCount(), 3);

  stats.Clear();
  model.Reset();
  EXPECT_EQ(proxy.rowCount(), 0);
}

TEST(StatsModelsTest, OverACopyOnlyTheChangedRowsAreAnnouncedAndResorted) {
  TrafficStats counted, copy;
  ConnectionsModel model(copy);
  StatsProxyModel proxy;
  proxy.setSourceModel(&model);
  QAbstractItemModelTester proxyTester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);
  proxy.sort(ConnectionsModel::BytesAToB, Qt::DescendingOrder);
  for (std::uint8_t host = 1; host <= 40; ++host) counted.Add(Udp(host, 5000, 100 + host));
  counted.CopyChangesTo(copy);
  model.Refresh();
  QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);
  // Rows 1, 3, 5 ... 25 change together: the proxy must re-sort them all.
  for (int row = 1; row <= 25; row += 2) counted.Add(Udp(static_cast<std::uint8_t>(row + 1), 5000, 1000 + row));
  counted.CopyChangesTo(copy);
  model.Refresh();
  ASSERT_EQ(spy.size(), 1);
  EXPECT_EQ(spy[0][0].toModelIndex().row(), 1);
  EXPECT_EQ(spy[0][1].toModelIndex().row(), 25);
  EXPECT_EQ(proxy.index(0, ConnectionsModel::BytesAToB).data().toString(), "1151");   // row 25: 126 + 1025
  EXPECT_EQ(proxy.index(12, ConnectionsModel::BytesAToB).data().toString(), "1103");  // row 1
  EXPECT_EQ(proxy.index(13, ConnectionsModel::BytesAToB).data().toString(), "140");   // the largest unchanged
}

TEST(StatsModelsTest, EndpointsAndProtocolsKeepTheModelRules) {
  TrafficStats stats;
  EndpointsModel endpoints(stats);
  ProtocolsModel protocols(stats);
  QAbstractItemModelTester endpointsTester(&endpoints, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QAbstractItemModelTester protocolsTester(&protocols, QAbstractItemModelTester::FailureReportingMode::Fatal);
  stats.Add(Udp(1, 5000, 300));
  PacketRow arp{.length = 100, .wireLength = 100, .kind = RowKind::Arp, .etherType = 0x0806};
  stats.Add(arp);
  endpoints.Refresh();
  protocols.Refresh();
  EXPECT_EQ(endpoints.rowCount(), 2);
  EXPECT_EQ(Column(protocols, ProtocolsModel::FrameShare), (std::vector<std::string>{"50.00%", "50.00%", "50.00%"}));
  EXPECT_EQ(Column(protocols, ProtocolsModel::ByteShare), (std::vector<std::string>{"75.00%", "75.00%", "25.00%"}));
}

TEST(TrafficGraphTest, ADragKeepsTheRowsOfItsBinsAndTheFilterBefore) {
  struct Case {
    std::string existing;
    std::int64_t from, to;
    std::string text;
    std::vector<std::pair<std::int64_t, bool>> kept;  // a row's time, and whether the filter keeps it
  };
  const std::vector<Case> cases = {
      {"", 3 * Second, 5 * Second, "time >= 3.000000 and time <= 4.999999",
       {{3 * Second - 1, false}, {3 * Second, true}, {5 * Second - 1, true}, {5 * Second, false}}},
      {"port 53 or tcp", Second / 10, Second / 5, "(port 53 or tcp) and time >= 0.100000 and time <= 0.199999",
       {{Second / 10, false}}},  // a connection on another port: the filter before still holds
  };
  for (const Case& c : cases) {
    const QString text = TimeRangeFilter(QString::fromStdString(c.existing), c.from, c.to);
    EXPECT_EQ(text.toStdString(), c.text);
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(text.toStdString(), &error);
    ASSERT_TRUE(filter) << error.Message(0);
    for (const auto& [time, kept] : c.kept) {
      ConnectionTotals row{.tcp = false, .portA = 1, .portB = 2, .firstNs = time, .timeKnown = true};
      EXPECT_EQ(filter->Matches(StatsFilterRow(row)), kept) << c.text << " at " << time;
    }
  }
}

TEST(TrafficGraphTest, ColumnsShowTheHighestBinOfTheirGroup) {
  // 100 ms intervals: frames in at 0.0 s (2), 0.5 s (1), 1.2 s (4), then idle to 3.0 s (1 out).
  std::vector<IoInterval> intervals(31);
  intervals[0].framesIn = 2;
  intervals[5].framesIn = 1;
  intervals[12].framesIn = 4;
  intervals[12].bytesIn = 400;
  intervals[30].framesOut = 1;
  using Got = std::vector<std::tuple<std::int64_t, double, double>>;
  const auto columns = [&](std::int64_t binNs, std::int64_t first, std::int64_t count, std::int64_t group, GraphUnit unit) {
    Got got;
    for (const GraphColumn& c : GraphColumns(intervals, Second / 10, binNs, first, count, group, unit))
      got.emplace_back(c.firstBin, c.in, c.out);
    return got;
  };
  EXPECT_EQ(columns(Second, 0, 10, 1, GraphUnit::Frames), (Got{{0, 3, 0}, {1, 4, 0}, {2, 0, 0}, {3, 0, 1}}));
  EXPECT_EQ(columns(Second, 0, 10, 2, GraphUnit::Frames), (Got{{0, 4, 0}, {2, 0, 1}}));
  EXPECT_EQ(columns(Second, 1, 1, 1, GraphUnit::Bits), (Got{{1, 3200, 0}}));
  EXPECT_EQ(columns(Second / 10, 4, 2, 1, GraphUnit::Frames), (Got{{4, 0, 0}, {5, 1, 0}}));
  EXPECT_EQ(columns(10 * Second, 0, 5, 1, GraphUnit::Frames), (Got{{0, 7, 1}}));
}

TEST(TrafficGraphTest, TheMouseZoomsFitsSelectsAndClicksWholeBins) {
  TrafficStats stats(Second / 10);
  for (int s = 0; s < 100; ++s) stats.Add(PacketRow{.timeNs = s * Second, .timeKnown = true, .length = 60});
  TrafficGraph graph;
  graph.resize(900, 400);
  graph.show();
  graph.SetSource(&stats, nullptr);
  QCoreApplication::processEvents();
  auto* area = qobject_cast<QAbstractScrollArea*>(graph.View());
  ASSERT_NE(area, nullptr);
  QWidget* viewport = area->viewport();
  const auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), viewport->mapToGlobal(QPointF(at)), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &event);
  };
  const int y = viewport->height() / 2;
  const double end = graph.ShownTo();
  EXPECT_GE(end, 99.0);

  QWheelEvent wheel(QPointF(viewport->width() / 2, y), viewport->mapToGlobal(QPointF(viewport->width() / 2, y)), {},
                    {0, 120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(viewport, &wheel);
  EXPECT_LT(graph.ShownTo() - graph.ShownFrom(), end * 0.9);
  send(QEvent::MouseButtonDblClick, {viewport->width() / 2, y}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(graph.ShownFrom(), 0);
  EXPECT_EQ(graph.ShownTo(), end);

  QSignalSpy ranges(&graph, &TrafficGraph::rangeSelected);
  QSignalSpy clicks(&graph, &TrafficGraph::binClicked);
  const int from = viewport->width() / 3, to = viewport->width() / 2;
  send(QEvent::MouseButtonPress, {from, y}, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, {to, y}, Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, {to, y}, Qt::LeftButton, Qt::NoButton);
  send(QEvent::MouseButtonPress, {from, y}, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, {from + 1, y}, Qt::LeftButton, Qt::NoButton);
  ASSERT_EQ(ranges.count(), 1);
  ASSERT_EQ(clicks.count(), 1);
  const std::int64_t a = ranges[0][0].toLongLong(), b = ranges[0][1].toLongLong();
  EXPECT_EQ(a % Second, 0);  // whole 1 s bins, the first of them the clicked one
  EXPECT_EQ(b % Second, 0);
  EXPECT_LT(a, b);
  EXPECT_EQ(clicks[0][0].toLongLong(), a);
  EXPECT_EQ(clicks[0][1].toLongLong(), a + Second);
}

TEST(TrafficGraphTest, SavesAPictureOrSaysWhyNot) {
  TrafficGraph graph;
  graph.resize(600, 300);
  QTemporaryDir dir;
  QString error;
  for (const char* name : {"graph.png", "graph.svg"}) {
    const QString path = dir.filePath(name);
    ASSERT_TRUE(graph.SaveImage(path, &error)) << error.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray start = file.read(256);
    EXPECT_TRUE(start.startsWith("\x89PNG") || start.contains("<svg")) << name;
  }
  EXPECT_FALSE(graph.SaveImage(dir.filePath("missing/graph.png"), &error));
  EXPECT_NE(error.indexOf("missing/graph.png"), -1) << error.toStdString();
}

}  // namespace
