// Cost of decoding one frame into a sink that only counts, and of storing rows.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/decoder.h"
#include "analysis/row_store.h"
#include "tests/support/frames.h"

using namespace frames;

namespace {

class CountingSink : public RowSink {
 public:
  void AddRow(const PacketRow& row) override {
    ++rows;
    chars += row.data.size();
  }
  std::int64_t rows = 0, chars = 0;
};

Bytes FrameOfKind(int kind) {
  switch (kind) {
    case 0:  // TCP data
      return DecoderLink.TcpFrame(false, {.flags = 0x18}, std::string(200, 'd') + "\r\n\x01");
    case 1:  // pure ACK padded to the Ethernet minimum
      return Pad(DecoderLink.TcpFrame(true, {.flags = 0x10}), 60);
    case 2:  // UDP (a DNS-sized answer)
      return DecoderLink.UdpFrame(false, 53, 40000, std::string(80, 'q'));
    default:  // ARP request
      return Pad(Ethernet(Broadcast, DecoderLink.remoteMac, 0x0806,
                          Arp(1, DecoderLink.remoteMac, Ip(10, 0, 0, 9), Mac{}, Ip(10, 0, 0, 1))),
                 60);
  }
}

void BM_DecodeFrame(benchmark::State& bench) {
  const Bytes frame = FrameOfKind(static_cast<int>(bench.range(0)));
  CaptureState state;
  state.adapterMac = DecoderLink.localMac;
  state.columns = bench.range(1) ? ColumnSet::FromText("11111111111111111111") : ColumnSet::Startup();
  std::copy(frame.begin(), frame.end(), state.frameBuffer.begin());
  CountingSink sink;
  for (auto _ : bench) {
    DecodeFrame(sink.rows, state.frameBuffer.data(), static_cast<std::uint32_t>(frame.size()), sink, state);
  }
  benchmark::DoNotOptimize(sink.chars);
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_DecodeFrame)
    ->ArgNames({"kind", "all20"})
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}});

// Rows of a realistic mix, decoded once into a store; then the cost of storing them.
RowStore DecodedRows(int count, const ColumnSet& columns) {
  RowStore rows(columns);
  RowBuilder builder(rows);
  CaptureState state;
  state.adapterMac = DecoderLink.localMac;
  state.columns = columns;
  const Bytes kinds[] = {FrameOfKind(0), FrameOfKind(1), FrameOfKind(1), FrameOfKind(2), FrameOfKind(3)};
  for (int i = 0; i < count; ++i) {
    const Bytes& f = kinds[i % 5];
    DecodeFrame(i, f.data(), static_cast<std::uint32_t>(f.size()), builder, state);
  }
  return rows;
}

// Appending a batch of rows to the window's store (runs on the user-interface thread).
void BM_RowStoreAppendBatch(benchmark::State& bench) {
  const RowStore batch = DecodedRows(256, ColumnSet::Startup());
  RowStore window(ColumnSet::Startup());
  for (auto _ : bench) {
    window.Append(batch);
    if (window.RowCount() >= 1000000) {
      bench.PauseTiming();
      window.Clear();
      bench.ResumeTiming();
    }
  }
  bench.SetItemsProcessed(bench.iterations() * batch.RowCount());
}
BENCHMARK(BM_RowStoreAppendBatch);

// Building rows through RowBuilder (the capture thread's side), with bytes per row.
void BM_RowBuilderDecodeAndStore(benchmark::State& bench) {
  CaptureState state;
  state.adapterMac = DecoderLink.localMac;
  const Bytes kinds[] = {FrameOfKind(0), FrameOfKind(1), FrameOfKind(1), FrameOfKind(2), FrameOfKind(3)};
  RowStore rows(state.columns);
  RowBuilder builder(rows);
  std::int64_t n = 0;
  for (auto _ : bench) {
    const Bytes& f = kinds[n % 5];
    DecodeFrame(n, f.data(), static_cast<std::uint32_t>(f.size()), builder, state);
    ++n;
    if (rows.RowCount() >= 1000000) {
      bench.PauseTiming();
      rows.Clear();
      bench.ResumeTiming();
    }
  }
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_RowBuilderDecodeAndStore);

// A million rows of the mix with the start-up columns: memory per row.
void BM_MillionRowsMemory(benchmark::State& bench) {
  for (auto _ : bench) {
    const RowStore million = DecodedRows(1000000, ColumnSet::Startup());
    bench.counters["bytes_per_row"] =
        static_cast<double>(million.MemoryBytes()) / static_cast<double>(million.RowCount());
  }
}
BENCHMARK(BM_MillionRowsMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
