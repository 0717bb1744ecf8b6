// The traffic totals and the traffic graph:
// - memory: ten million rows of 10,000 TCP connections over 100 seconds counted into the
//   window's totals (connections, endpoints, protocols, 100 ms bins); the heap they hold,
//   per row.
// - repaint: a day's trace (a frame every 100 ms for 24 hours) drawn at 1-second bins in
//   the graph, shown offscreen at 1200 by 300: the time from new totals to the painted
//   graph, median of 30 rounds.
// When ORRISVANE_BENCH_RESULTS names a file, summary lines are appended to it.
//
// Usage: traffic_bench

#include <QApplication>
#include <QElapsedTimer>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/traffic_stats.h"
#include "ui/traffic_graph.h"

namespace {

constexpr std::int64_t Second = 1'000'000'000;

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void AppendResult(const char* what, const char* figure, double value, const char* format, const char* target,
                  bool holds) {
  const char* path = std::getenv("ORRISVANE_BENCH_RESULTS");
  if (!path || !*path) return;
  char number[64];
  std::snprintf(number, sizeof number, format, value);
  std::ofstream(path, std::ios::app) << what << '\t' << figure << '\t' << number << "\t-\t-\t-\t" << target << '\t'
                                     << (holds ? "yes" : "NO") << '\n';
}

PacketRow Row(std::int64_t i, std::int64_t timeNs, std::int64_t connections) {
  const auto c = static_cast<std::uint32_t>(i % connections);
  PacketRow row;
  row.timeNs = timeNs;
  row.timeKnown = true;
  row.length = row.wireLength = 60 + static_cast<std::uint32_t>(i % 1400);
  row.outgoing = i % 3 == 0;
  row.kind = RowKind::Tcp;
  row.etherType = 0x0800;
  row.ipProtocol = 6;
  row.ipSource = {10, static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c)};
  row.ipDestination = {192, 168, 1, 10};
  row.connection = c + 1;
  row.sourcePort = static_cast<std::uint16_t>(30000 + c % 30000);
  row.destinationPort = 443;
  row.tcpFlags = 0x10;
  return row;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  int status = 0;

  {
    constexpr std::int64_t Rows = 10'000'000, Connections = 10'000;
    const std::size_t before = HeapInUse();
    TrafficStats stats(Second / 10);
    for (std::int64_t i = 0; i < Rows; ++i) stats.Add(Row(i, i * 10'000, Connections));  // 100,000 rows/s
    const double perRow = static_cast<double>(HeapInUse() - before) / static_cast<double>(Rows);
    std::printf("totals of %lld rows, %lld connections, %zu bins: %.2f bytes/row\n", static_cast<long long>(Rows),
                static_cast<long long>(stats.Connections().size()), stats.Intervals().size(), perRow);
    const bool holds = perRow <= 8;
    status |= !holds;
    AppendResult("traffic totals, 10M rows, 10k connections", "heap bytes/row", perRow, "%.2f", "<= 8", holds);
  }

  {
    TrafficStats stats(Second / 10);
    for (std::int64_t i = 0; i < 24 * 3600 * 10; ++i) stats.Add(Row(i, i * (Second / 10), 100));
    TrafficGraph graph;
    graph.resize(1200, 300);
    graph.SetBinNs(Second);
    graph.show();
    graph.SetSource(&stats, nullptr);
    QCoreApplication::processEvents();
    std::vector<double> ms;
    for (int round = 0; round < 30; ++round) {
      QElapsedTimer timer;
      timer.start();
      graph.Refresh();
      graph.View()->repaint();
      ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
      QCoreApplication::processEvents();
    }
    const double median = Median(ms);
    std::printf("graph of 24 h at 1 s bins (%zu intervals of 100 ms): %.2f ms per repaint (median of %zu)\n",
                stats.Intervals().size(), median, ms.size());
    const bool holds = median <= 16;
    status |= !holds;
    AppendResult("traffic graph, 24 h at 1 s bins", "ms per repaint", median, "%.2f", "<= 16", holds);
  }
  return status;
}
