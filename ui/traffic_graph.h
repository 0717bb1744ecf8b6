#pragma once
// The traffic graph under the list: frames, bytes or bits per second of the whole trace
// or file, incoming above the axis and outgoing below, in bins of 100 ms, 1 s or 10 s, with
// the kernel's drops marked on the time axis. With a display filter applied, a second
// pair of lines shows the rows it keeps.
//
// It reads a TrafficStats counted in 100 ms intervals and draws at most two points per
// pixel column of the plot (the highest bin of each column), so a day's trace costs no
// more to draw than a minute's. The owner calls Refresh at the pace it chooses.
//
// Reading it: hovering shows a bin's numbers; the wheel zooms, dragging with the middle
// button pans, a double-click fits the whole trace. Dragging across a range with the left
// button asks for the rows of those bins (rangeSelected); a click asks for a bin's first
// row (binClicked). The context menu saves the graph as PNG or SVG.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "analysis/traffic_stats.h"

class QChart;
class QComboBox;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QValueAxis;
class GraphView;

enum class GraphUnit { Frames, Bytes, Bits };

// The display filter a drag from fromNs to toNs (bin edges: toNs is the end of the last
// bin, not in it) makes, kept together with an existing filter by "and". Times are seconds
// since the list's first frame, as the time field reads them, cut to the microsecond.
QString TimeRangeFilter(const QString& existing, std::int64_t fromNs, std::int64_t toNs);

// The highest bin of each group of bins, incoming and outgoing apart: what one pixel
// column shows. Bins are binNs wide (a multiple of intervalNs) from firstBin on, count of
// them, grouped by groupBins. Values are frames or bytes per bin.
struct GraphColumn {
  std::int64_t firstBin = 0;  // the group's first bin
  double in = 0;
  double out = 0;
};
std::vector<GraphColumn> GraphColumns(std::span<const IoInterval> intervals, std::int64_t intervalNs,
                                      std::int64_t binNs, std::int64_t firstBin, std::int64_t count,
                                      std::int64_t groupBins, GraphUnit unit);

class TrafficGraph : public QWidget {
  Q_OBJECT

 public:
  explicit TrafficGraph(QWidget* parent = nullptr);
  ~TrafficGraph() override;

  // stats: the totals drawn (100 ms intervals); filtered: the intervals of the rows a
  // display filter keeps, or null while no filter is applied. Both must outlive the graph
  // or be replaced first.
  void SetSource(const TrafficStats* stats, const TrafficStats* filtered);
  const TrafficStats* Filtered() const { return filtered_; }
  // Draws what the source holds now. While the graph shows the whole trace, it grows with it.
  void Refresh();
  void SetUnit(GraphUnit unit);
  GraphUnit Unit() const { return unit_; }
  // 100 ms, 1 s or 10 s.
  void SetBinNs(std::int64_t binNs);
  std::int64_t BinNs() const { return binNs_; }
  // Shows the whole trace from its first frame, following its growth.
  void FitAll();
  // The time range shown, in seconds.
  double ShownFrom() const;
  double ShownTo() const;
  void ShowRange(double fromSeconds, double toSeconds);

  // The text hovering over the bin at a time (seconds) shows; extra adds lines for a
  // bin (the connections with most bytes in it).
  QString BinText(double seconds) const;
  using BinDetails = std::function<QString(std::int64_t fromNs, std::int64_t toNs)>;
  void SetBinDetails(BinDetails details) { details_ = std::move(details); }
  // The line under the chart that repeats the hovered bin's text.
  void ShowReadout(const QString& binText);
  QLabel* Readout() const { return readout_; }

  // Writes the graph as an SVG (a name ending in .svg) or PNG picture, atomically; false
  // with *error set when it could not be written (the old file then stays).
  bool SaveImage(const QString& path, QString* error);
  using PathAsker = std::function<QString(QWidget*)>;
  void SetSavePathAsker(PathAsker asker) { askPath_ = std::move(asker); }

  // The bin (its start and end) at a time in seconds.
  std::pair<std::int64_t, std::int64_t> BinAt(double seconds) const;
  QWidget* View() const;

 signals:
  void rangeSelected(std::int64_t fromNs, std::int64_t toNs);
  void binClicked(std::int64_t fromNs, std::int64_t toNs);

 private:
  friend class GraphView;
  void Draw();
  void SaveAs();
  void FillSeries(const TrafficStats& stats, QLineSeries* in, QLineSeries* out, double from, double to,
                  double* highest);
  double EndSeconds() const;

  const TrafficStats* stats_ = nullptr;
  const TrafficStats* filtered_ = nullptr;
  GraphUnit unit_ = GraphUnit::Frames;
  std::int64_t binNs_ = 1'000'000'000;
  bool fit_ = true;
  double from_ = 0;
  double to_ = 1;
  BinDetails details_;
  PathAsker askPath_;
  QComboBox* unitBox_ = nullptr;
  QLabel* readout_ = nullptr;
  QComboBox* binBox_ = nullptr;
  GraphView* view_ = nullptr;
  QChart* chart_ = nullptr;
  QValueAxis* axisX_ = nullptr;
  QValueAxis* axisY_ = nullptr;
  QLineSeries* in_ = nullptr;
  QLineSeries* out_ = nullptr;
  QLineSeries* filteredIn_ = nullptr;
  QLineSeries* filteredOut_ = nullptr;
  QScatterSeries* drops_ = nullptr;
};
