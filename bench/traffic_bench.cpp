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
#include <time.h>

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

// A row of a trace like the 1 M-frame mix: most rows TCP over a thousand connections,
// one in ten a UDP exchange of its own between scattered addresses, a few others (ARP).
PacketRow MixRow(std::int64_t i) {
  const auto n = static_cast<std::uint32_t>(i);
  const std::uint32_t spread = n * 2654435761u;
  PacketRow row = Row(i, i * 1'000, 1000);
  row.macSource = {2, 0, 0, 0, 0, 1};
  row.macDestination = {2, 0, 0, 0, 0, 2};
  if (i % 10 == 3) {
    row.kind = RowKind::Udp;
    row.ipProtocol = 17;
    row.connection = 0;
    row.ipSource = {10, static_cast<std::uint8_t>(spread >> 24), static_cast<std::uint8_t>(spread >> 16),
                    static_cast<std::uint8_t>(spread >> 8)};
    row.sourcePort = static_cast<std::uint16_t>(1024 + spread % 60000);
    row.destinationPort = 53;
  } else if (i % 20 == 7) {
    row.kind = RowKind::Arp;
    row.etherType = 0x0806;
    row.connection = 0;
  }
  return row;
}

// Processor time of the calling thread: other work on a busy machine stretches the wall
// clock, hardly this.
double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
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
    // The processor time of counting alone (the row store's decoding not included). The
    // rows are made as they are counted, as a decoder hands them over fresh; the time to
    // make them alone is taken off.
    constexpr std::int64_t Rows = 1'000'000;
    std::vector<double> ns;
    for (int round = 0; round < 7; ++round) {
      TrafficStats stats(Second / 10);
      const double start = ThreadCpuNs();
      for (std::int64_t i = 0; i < Rows; ++i) stats.Add(MixRow(i));
      const double counted = ThreadCpuNs();
      std::uint64_t made = 0;
      for (std::int64_t i = 0; i < Rows; ++i) {
        const PacketRow row = MixRow(i);
        made += row.length + row.ipSource[1];
      }
      volatile std::uint64_t keep = made;
      (void)keep;
      const double madeOnly = ThreadCpuNs() - counted;
      ns.push_back((counted - start - madeOnly) / Rows);
    }
    std::printf("counting a mix of %lld rows (90%% TCP, 10%% one-off UDP pairs): %.1f ns of processor time a row (median of %zu)\n",
                static_cast<long long>(Rows), Median(ns), ns.size());
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
