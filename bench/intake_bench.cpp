// How fast the window takes in rows: a capture-side thread decodes a million frames into
// batches and hands them to the list (row model and owner-drawn view, shown offscreen),
// as a trace does. Reports rows per second, the user-interface thread's time per row,
// the longest pause of its event loop and the store's bytes per row; once without the
// spool and once with every frame going to it as well (in $TMPDIR), as a live trace does.

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "analysis/capture_state.h"
#include "bench/event_loop_watch.h"
#include "capture/spool/spool.h"
#include "analysis/decoder.h"
#include "analysis/row_store.h"
#include "tests/support/frames.h"
#include "ui/batch_receiver.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"

using namespace frames;

namespace {

constexpr std::int64_t kRows = 1000000;

Bytes FrameOfKind(int kind) {
  switch (kind) {
    case 0:
      return DecoderLink.TcpFrame(false, {.flags = 0x18}, std::string(200, 'd') + "\r\n\x01");
    case 1:
      return Pad(DecoderLink.TcpFrame(true, {.flags = 0x10}), 60);
    case 2:
      return DecoderLink.UdpFrame(false, 53, 40000, std::string(80, 'q'));
    default:
      return Pad(Ethernet(Broadcast, DecoderLink.remoteMac, 0x0806,
                          Arp(1, DecoderLink.remoteMac, Ip(10, 0, 0, 9), Mac{}, Ip(10, 0, 0, 1))),
                 60);
  }
}

// The capture thread's part: record (with a spool), decode, batch, deliver; never waits
// for the window.
void Produce(BatchSink& sink, const ColumnSet& columns, Spool* spool) {
  CaptureState state;
  state.adapterMac = DecoderLink.localMac;
  state.columns = columns;
  const Bytes kinds[] = {FrameOfKind(0), FrameOfKind(1), FrameOfKind(1), FrameOfKind(2), FrameOfKind(3)};
  RowStore batch(columns);
  RowBuilder builder(batch);
  TrafficCounters counters;
  for (std::int64_t n = 0; n < kRows; ++n) {
    const Bytes& f = kinds[n % 5];
    if (spool) spool->Record(n, FrameInfo{1'700'000'000'000'000'000 + n * 1000, 0}, f.data(), static_cast<std::uint32_t>(f.size()));
    DecodeFrame(n, f.data(), static_cast<std::uint32_t>(f.size()), builder, state);
    ++counters.packetsReceived;
    if (builder.RowsBuilt() == BatchMaxRows || n + 1 == kRows) {
      if (spool) spool->Publish();
      RowStore next(columns);
      builder.Retarget(next);
      sink.DeliverBatch(std::move(batch), counters);
      batch = std::move(next);
      builder.Retarget(batch);
    }
  }
}

int Measure(bool withSpool) {
  std::printf("== spool %s\n", withSpool ? "on" : "off");
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/orrisvane-intake-bench";
  std::string why;
  std::unique_ptr<SpoolFolder> spools = withSpool ? SpoolFolder::Open(folder, &why) : nullptr;
  if (withSpool && !spools) {
    std::printf("no spool: %s\n", why.c_str());
    return 1;
  }
  std::unique_ptr<Spool> spool = spools ? spools->NewSpool({}) : nullptr;

  CaptureState state;
  state.columns = ColumnSet::Startup();
  CRowListView view(state);
  view.resize(1200, 800);
  view.show();
  view.InsertColumns();
  BatchReceiver receiver(view.Model());

  // Time the user-interface thread spends taking batches in (model, view notifications).
  std::int64_t applyNs = 0;
  std::int64_t batches = 0;
  receiver.SetObserver([&](const RowStore&, const TrafficCounters&) { ++batches; });

  EventLoopWatch watch(view.Model(), kRows);
  QElapsedTimer& clock = watch.clock;
  // Applying goes through the receiver's own queued call; measure it from outside.
  QObject::connect(&view.Model(), &QAbstractItemModel::rowsAboutToBeInserted,
                   [&] { applyNs -= clock.nsecsElapsed(); });
  QObject::connect(&view.Model(), &QAbstractItemModel::rowsInserted,
                   [&] { applyNs += clock.nsecsElapsed(); });

  std::thread producer;
  watch.Run([&] { producer = std::thread([&] { Produce(receiver, state.columns, spool.get()); }); });
  const double seconds = static_cast<double>(watch.doneAtNs) / 1e9;
  producer.join();
  receiver.ApplyPending();

  const RowStore& rows = view.Model().Rows();
  std::printf("rows taken in:              %lld in %lld batches\n", static_cast<long long>(rows.RowCount()),
              static_cast<long long>(batches));
  std::printf("rows per second (end to end, decoding included): %.0f\n", static_cast<double>(kRows) / seconds);
  std::printf("ui thread per row (append + view update): %.1f ns  => %.0f rows/s of ui capacity\n",
              static_cast<double>(applyNs) / static_cast<double>(kRows),
              static_cast<double>(kRows) / (static_cast<double>(applyNs) / 1e9));
  std::printf("longest event-loop pause:   %.1f ms (ending with %lld rows in the list)\n",
              static_cast<double>(watch.longestPauseNs) / 1e6, static_cast<long long>(watch.pauseAtRows));
  std::printf("row store bytes per row:    %.1f\n",
              static_cast<double>(rows.MemoryBytes()) / static_cast<double>(rows.RowCount()));

  // Scrolling through a million rows: repaint the viewport at the top, middle and end.
  QElapsedTimer paint;
  paint.start();
  constexpr int kPaints = 30;
  for (int i = 0; i < kPaints; ++i) {
    view.scrollTo(view.Model().index(static_cast<int>((kRows - 1) * i / (kPaints - 1)), 0));
    view.viewport()->repaint();
  }
  std::printf("full repaint of the list:   %.2f ms\n", static_cast<double>(paint.nsecsElapsed()) / 1e6 / kPaints);
  if (spool) {
    spool->WaitWritten();
    std::printf("spool bytes on disk:        %llu\n", static_cast<unsigned long long>(spool->BytesOnDisk()));
    StoredFrame frame;
    if (!spool->ReadFrame(kRows - 1, frame)) {
      std::printf("the last frame is not in the spool\n");
      return 1;
    }
  }
  return rows.RowCount() == kRows ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  const int off = Measure(false);
  const int on = Measure(true);
  return off != 0 || on != 0 ? 1 : 0;
}
