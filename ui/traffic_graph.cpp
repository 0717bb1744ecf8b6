#include "ui/traffic_graph.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QRubberBand>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSvgGenerator>
#include <QToolTip>
#include <QValueAxis>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "analysis/packet_row.h"

namespace {

constexpr std::int64_t Second = 1'000'000'000;

QString SecondsText(std::int64_t ns) {
  char text[32];
  return QString::fromLatin1(text, static_cast<qsizetype>(PutSeconds(text, ns) - text));
}

double PerBin(const IoInterval& bin, bool in, GraphUnit unit) {
  const std::int64_t frames = in ? bin.framesIn : bin.framesOut;
  const std::int64_t bytes = in ? bin.bytesIn : bin.bytesOut;
  switch (unit) {
    case GraphUnit::Frames: return static_cast<double>(frames);
    case GraphUnit::Bytes: return static_cast<double>(bytes);
    case GraphUnit::Bits: return 8.0 * static_cast<double>(bytes);
  }
  return 0;
}

IoInterval SumOf(std::span<const IoInterval> intervals, std::int64_t first, std::int64_t count) {
  IoInterval sum;
  const auto size = static_cast<std::int64_t>(intervals.size());
  for (std::int64_t i = std::max<std::int64_t>(first, 0); i < std::min(first + count, size); ++i) {
    const IoInterval& v = intervals[static_cast<std::size_t>(i)];
    sum.framesIn += v.framesIn;
    sum.bytesIn += v.bytesIn;
    sum.framesOut += v.framesOut;
    sum.bytesOut += v.bytesOut;
  }
  return sum;
}

}  // namespace

QString TimeRangeFilter(const QString& existing, std::int64_t fromNs, std::int64_t toNs) {
  // A row's time reads cut to the microsecond: the last nanosecond before the end cut
  // likewise is the highest time a row of the range can read.
  const QString range = QStringLiteral("time >= %1 and time <= %2")
                            .arg(SecondsText(std::max<std::int64_t>(fromNs, 0)),
                                 SecondsText(std::max<std::int64_t>(toNs - 1, 0)));
  const QString kept = existing.trimmed();
  return kept.isEmpty() ? range : QStringLiteral("(%1) and %2").arg(kept, range);
}

std::vector<GraphColumn> GraphColumns(std::span<const IoInterval> intervals, std::int64_t intervalNs,
                                      std::int64_t binNs, std::int64_t firstBin, std::int64_t count,
                                      std::int64_t groupBins, GraphUnit unit) {
  std::vector<GraphColumn> columns;
  const std::int64_t perBin = std::max<std::int64_t>(binNs / std::max<std::int64_t>(intervalNs, 1), 1);
  groupBins = std::max<std::int64_t>(groupBins, 1);
  const auto lastBin = static_cast<std::int64_t>(intervals.size() + static_cast<std::size_t>(perBin) - 1) / perBin;
  const std::int64_t end = std::min(firstBin + count, lastBin);
  columns.reserve(static_cast<std::size_t>(std::max<std::int64_t>((end - firstBin) / groupBins + 1, 0)));
  for (std::int64_t group = std::max<std::int64_t>(firstBin, 0); group < end; group += groupBins) {
    GraphColumn column{group, 0, 0};
    for (std::int64_t bin = group; bin < std::min(group + groupBins, end); ++bin) {
      const IoInterval sum = SumOf(intervals, bin * perBin, perBin);
      column.in = std::max(column.in, PerBin(sum, true, unit));
      column.out = std::max(column.out, PerBin(sum, false, unit));
    }
    columns.push_back(column);
  }
  return columns;
}

// The chart's view: turns the mouse into zoom, pan, range selection, clicks and hover.
class GraphView : public QChartView {
 public:
  GraphView(QChart* chart, TrafficGraph& graph) : QChartView(chart, &graph), graph_(graph) {
    setRenderHint(QPainter::Antialiasing, false);
    viewport()->setMouseTracking(true);  // hovering shows a bin's numbers
    band_ = new QRubberBand(QRubberBand::Rectangle, this);
  }

  double SecondsAt(const QPoint& pos) const { return chart()->mapToValue(chart()->mapFromScene(mapToScene(pos))).x(); }

 protected:
  void wheelEvent(QWheelEvent* event) override {
    const double at = SecondsAt(event->position().toPoint());
    const double factor = event->angleDelta().y() > 0 ? 0.8 : 1.25;
    const double from = at - (at - graph_.from_) * factor;
    const double to = at + (graph_.to_ - at) * factor;
    graph_.ShowRange(from, to);
    event->accept();
  }

  void mousePressEvent(QMouseEvent* event) override {
    pressAt_ = event->position().toPoint();
    lastAt_ = pressAt_;
    if (event->button() == Qt::LeftButton) {
      band_->setGeometry(QRect(pressAt_, QSize()));
      band_->show();
    }
    event->accept();
  }

  void mouseMoveEvent(QMouseEvent* event) override {
    const QPoint at = event->position().toPoint();
    if (event->buttons() & Qt::MiddleButton) {
      const double shift = SecondsAt(lastAt_) - SecondsAt(at);
      graph_.ShowRange(graph_.from_ + shift, graph_.to_ + shift);
    } else if (event->buttons() & Qt::LeftButton) {
      const QRectF plot = chart()->plotArea();
      band_->setGeometry(QRect(QPoint(std::min(pressAt_.x(), at.x()), static_cast<int>(plot.top())),
                               QPoint(std::max(pressAt_.x(), at.x()), static_cast<int>(plot.bottom()))));
    } else {
      const QString text = graph_.BinText(SecondsAt(at));
      QToolTip::showText(event->globalPosition().toPoint(), text, this);
      graph_.ShowReadout(text);
    }
    lastAt_ = at;
    event->accept();
  }

  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return;
    band_->hide();
    const QPoint at = event->position().toPoint();
    const auto first = graph_.BinAt(SecondsAt(QPoint(std::min(pressAt_.x(), at.x()), at.y())));
    const auto last = graph_.BinAt(SecondsAt(QPoint(std::max(pressAt_.x(), at.x()), at.y())));
    if (std::abs(at.x() - pressAt_.x()) > 3) {
      emit graph_.rangeSelected(first.first, last.second);
    } else {
      emit graph_.binClicked(first.first, first.second);
    }
    event->accept();
  }

  void mouseDoubleClickEvent(QMouseEvent* event) override {
    graph_.FitAll();
    event->accept();
  }

  void contextMenuEvent(QContextMenuEvent* event) override {
    QMenu menu(this);
    menu.addAction(TrafficGraph::tr("Save Graph As..."), &graph_, &TrafficGraph::SaveAs);
    menu.exec(event->globalPos());
  }

 private:
  TrafficGraph& graph_;
  QRubberBand* band_ = nullptr;
  QPoint pressAt_;
  QPoint lastAt_;
};

TrafficGraph::TrafficGraph(QWidget* parent) : QWidget(parent) {
  askPath_ = [](QWidget* owner) {
    return QFileDialog::getSaveFileName(owner, tr("Save Graph As"), QString(), tr("PNG (*.png);;SVG (*.svg)"));
  };
  chart_ = new QChart;
  chart_->setMargins(QMargins(4, 4, 4, 4));
  chart_->legend()->setAlignment(Qt::AlignRight);
  const auto line = [this](const QString& name, const QColor& color) {
    auto* series = new QLineSeries;
    series->setName(name);
    series->setPen(QPen(color, 1));
    chart_->addSeries(series);
    return series;
  };
  in_ = line(tr("In (above)"), QColor(0x1f, 0x77, 0xb4));
  out_ = line(tr("Out (below)"), QColor(0x2c, 0xa0, 0x2c));
  filteredIn_ = line(tr("In, filtered"), QColor(0xd6, 0x27, 0x28));
  filteredOut_ = line(tr("Out, filtered"), QColor(0xff, 0x7f, 0x0e));
  drops_ = new QScatterSeries;
  drops_->setName(tr("Kernel drops"));
  drops_->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
  drops_->setMarkerSize(7);
  drops_->setColor(Qt::red);
  drops_->setBorderColor(Qt::red);
  chart_->addSeries(drops_);
  axisX_ = new QValueAxis;
  axisX_->setTitleText(tr("Seconds since the first frame"));
  axisX_->setLabelFormat(QStringLiteral("%g"));
  axisY_ = new QValueAxis;
  axisY_->setLabelFormat(QStringLiteral("%.0f"));
  chart_->addAxis(axisX_, Qt::AlignBottom);
  chart_->addAxis(axisY_, Qt::AlignLeft);
  for (QAbstractSeries* series : chart_->series()) {
    series->attachAxis(axisX_);
    series->attachAxis(axisY_);
  }
  view_ = new GraphView(chart_, *this);
  // Room for the axes' labels and a readable height of bars at any scale.
  view_->setMinimumHeight(fontMetrics().height() * 14);

  unitBox_ = new QComboBox(this);
  unitBox_->addItems({tr("Frames/s"), tr("Bytes/s"), tr("Bits/s")});
  connect(unitBox_, &QComboBox::currentIndexChanged, this, [this](int index) { SetUnit(static_cast<GraphUnit>(index)); });
  binBox_ = new QComboBox(this);
  binBox_->addItems({tr("100 ms bins"), tr("1 s bins"), tr("10 s bins")});
  binBox_->setCurrentIndex(1);
  connect(binBox_, &QComboBox::currentIndexChanged, this, [this](int index) {
    SetBinNs(index == 0 ? Second / 10 : index == 1 ? Second : 10 * Second);
  });
  // The hovered bin's numbers also stay under the chart, where the tooltip cannot be
  // caught (a window that is not active shows none).
  readout_ = new QLabel(this);
  readout_->setTextFormat(Qt::PlainText);
  readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* choices = new QVBoxLayout;
  choices->addWidget(unitBox_);
  choices->addWidget(binBox_);
  choices->addStretch(1);
  auto* chartColumn = new QVBoxLayout;
  chartColumn->addWidget(view_, 1);
  chartColumn->addWidget(readout_);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(chartColumn, 1);
  layout->addLayout(choices);
  Draw();
}

TrafficGraph::~TrafficGraph() = default;

QWidget* TrafficGraph::View() const { return view_; }

void TrafficGraph::SetSource(const TrafficStats* stats, const TrafficStats* filtered) {
  stats_ = stats;
  filtered_ = filtered;
  Draw();
}

void TrafficGraph::Refresh() { Draw(); }

void TrafficGraph::SetUnit(GraphUnit unit) {
  unit_ = unit;
  unitBox_->setCurrentIndex(static_cast<int>(unit));
  Draw();
}

void TrafficGraph::SetBinNs(std::int64_t binNs) {
  binNs_ = std::max<std::int64_t>(binNs, Second / 10);
  binBox_->setCurrentIndex(binNs_ < Second ? 0 : binNs_ == Second ? 1 : 2);
  Draw();
}

void TrafficGraph::FitAll() {
  fit_ = true;
  Draw();
}

double TrafficGraph::ShownFrom() const { return from_; }
double TrafficGraph::ShownTo() const { return to_; }

void TrafficGraph::ShowRange(double fromSeconds, double toSeconds) {
  // Never narrower than one bin, never before the first frame.
  const double least = static_cast<double>(binNs_) / Second;
  if (toSeconds - fromSeconds < least) toSeconds = fromSeconds + least;
  if (fromSeconds < 0) {
    toSeconds -= fromSeconds;
    fromSeconds = 0;
  }
  fit_ = false;
  from_ = fromSeconds;
  to_ = toSeconds;
  Draw();
}

double TrafficGraph::EndSeconds() const {
  if (!stats_) return 0;
  return static_cast<double>(static_cast<std::int64_t>(stats_->Intervals().size()) * stats_->IntervalNs()) / Second;
}

std::pair<std::int64_t, std::int64_t> TrafficGraph::BinAt(double seconds) const {
  const auto bin = static_cast<std::int64_t>(std::floor(std::max(seconds, 0.0) * Second / static_cast<double>(binNs_)));
  return {bin * binNs_, (bin + 1) * binNs_};
}

QString TrafficGraph::BinText(double seconds) const {
  if (!stats_) return {};
  const auto [from, to] = BinAt(seconds);
  const std::int64_t perBin = std::max<std::int64_t>(binNs_ / stats_->IntervalNs(), 1);
  const IoInterval sum = SumOf(stats_->Intervals(), from / stats_->IntervalNs(), perBin);
  QString text = tr("%1 s to %2 s\nIn: %3 frames, %4 bytes\nOut: %5 frames, %6 bytes")
                     .arg(SecondsText(from), SecondsText(to))
                     .arg(sum.framesIn)
                     .arg(sum.bytesIn)
                     .arg(sum.framesOut)
                     .arg(sum.bytesOut);
  if (details_) {
    const QString more = details_(from, to);
    if (!more.isEmpty()) text += QLatin1Char('\n') + more;
  }
  return text;
}

void TrafficGraph::ShowReadout(const QString& binText) {
  // The time and the two ways on the first line, the connections on the second.
  QStringList lines = binText.split(QLatin1Char('\n'));
  const QString head = lines.mid(0, 3).join(QStringLiteral("    "));
  const QString rest = lines.mid(3).join(QStringLiteral("; "));
  readout_->setText(rest.isEmpty() ? head : head + QLatin1Char('\n') + rest);
}

void TrafficGraph::FillSeries(const TrafficStats& stats, QLineSeries* in, QLineSeries* out, double from, double to,
                              double* highest) {
  const double binSeconds = static_cast<double>(binNs_) / Second;
  const auto firstBin = static_cast<std::int64_t>(std::floor(from / binSeconds));
  const auto count = static_cast<std::int64_t>(std::ceil(to / binSeconds)) - firstBin + 1;
  const int width = std::max(static_cast<int>(chart_->plotArea().width()), 100);
  const std::int64_t group = std::max<std::int64_t>((count + width - 1) / width, 1);
  const std::vector<GraphColumn> columns =
      GraphColumns(stats.Intervals(), stats.IntervalNs(), binNs_, firstBin, count, group, unit_);
  QList<QPointF> inPoints;
  QList<QPointF> outPoints;
  inPoints.reserve(static_cast<qsizetype>(columns.size() * 2));
  outPoints.reserve(static_cast<qsizetype>(columns.size() * 2));
  // Steps: each group holds its value from its start to its end.
  for (const GraphColumn& column : columns) {
    const double start = static_cast<double>(column.firstBin) * binSeconds;
    const double end = start + static_cast<double>(group) * binSeconds;
    const double vin = column.in / binSeconds;
    const double vout = column.out / binSeconds;
    inPoints << QPointF(start, vin) << QPointF(end, vin);
    outPoints << QPointF(start, -vout) << QPointF(end, -vout);
    *highest = std::max({*highest, vin, vout});
  }
  in->replace(inPoints);
  out->replace(outPoints);
}

void TrafficGraph::Draw() {
  if (fit_) {
    from_ = 0;
    to_ = std::max(EndSeconds(), static_cast<double>(binNs_) / Second);
  }
  double highest = 0;
  if (stats_) {
    FillSeries(*stats_, in_, out_, from_, to_, &highest);
  } else {
    in_->clear();
    out_->clear();
  }
  const bool filtered = filtered_ != nullptr;
  for (QLineSeries* series : {filteredIn_, filteredOut_}) {
    series->setVisible(filtered);
    for (QLegendMarker* marker : chart_->legend()->markers(series)) marker->setVisible(filtered);
  }
  if (filtered) {
    FillSeries(*filtered_, filteredIn_, filteredOut_, from_, to_, &highest);
  } else {
    filteredIn_->clear();
    filteredOut_->clear();
  }
  QList<QPointF> drops;
  if (stats_) {
    for (const DropMark& mark : stats_->Drops()) drops << QPointF(static_cast<double>(mark.timeNs) / Second, 0);
  }
  drops_->replace(drops);
  highest = highest > 0 ? highest * 1.1 : 1;
  axisX_->setRange(from_, to_);
  axisY_->setRange(-highest, highest);
  axisY_->setTitleText(unit_ == GraphUnit::Frames ? tr("Frames/s") : unit_ == GraphUnit::Bytes ? tr("Bytes/s") : tr("Bits/s"));
}

bool TrafficGraph::SaveImage(const QString& path, QString* error) {
  QSaveFile file(path);
  bool written = file.open(QIODevice::WriteOnly);
  if (written) {
    if (path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
      QSvgGenerator svg;
      svg.setOutputDevice(&file);
      svg.setSize(view_->size());
      svg.setViewBox(view_->rect());
      svg.setTitle(tr("Traffic"));
      QPainter painter(&svg);
      view_->render(&painter);
      written = painter.end() && file.error() == QFileDevice::NoError;
    } else {
      written = view_->grab().save(&file, "PNG");
    }
  }
  if (written) written = file.commit();
  if (!written) {
    const QString reason = file.errorString().isEmpty() ? tr("the picture could not be written") : file.errorString();
    if (error) *error = tr("The graph could not be saved to %1: %2").arg(path, reason);
    return false;
  }
  return true;
}

void TrafficGraph::SaveAs() {
  const QString path = askPath_(this);
  if (path.isEmpty()) return;
  QString error;
  if (SaveImage(path, &error)) return;
  QMessageBox box(QMessageBox::Warning, tr("Save Graph As"), error, QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}
