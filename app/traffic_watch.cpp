#include "app/traffic_watch.h"

#include <QAction>
#include <QDockWidget>
#include <QEvent>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QTimer>
#include <algorithm>
#include <array>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/row_store.h"
#include "app/stats_window.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"
#include "ui/stats_models.h"
#include "ui/traffic_graph.h"

namespace {

// The graph's finest bins; the coarser ones are sums of these.
constexpr std::int64_t GraphIntervalNs = 100'000'000;
constexpr int TableRefreshMs = 500;
constexpr int GraphRefreshMs = 100;
// A hover looks at no more rows than this for a bin's connections.
constexpr std::int64_t MostHoverRows = 200'000;

QString Endpoint(const std::array<std::uint8_t, 16>& address, bool ipv6, std::uint16_t port) {
  const QString text = QString::fromStdString(AddressText(address, ipv6));
  return ipv6 ? QStringLiteral("[%1]:%2").arg(text).arg(port) : QStringLiteral("%1:%2").arg(text).arg(port);
}

}  // namespace

TrafficWatch::TrafficWatch(QMainWindow& window, CRowListView& list, Hooks hooks)
    : QObject(&window),
      window_(window),
      list_(list),
      hooks_(std::move(hooks)),
      tally_(GraphIntervalNs),
      stats_(GraphIntervalNs),
      filtered_(GraphIntervalNs, true) {
  connectionsModel_ = new ConnectionsModel(stats_, this);
  endpointsModel_ = new EndpointsModel(stats_, this);
  protocolsModel_ = new ProtocolsModel(stats_, this);
  connections_.model = connectionsModel_;
  endpoints_.model = endpointsModel_;
  protocols_.model = protocolsModel_;

  connectionsAction_ = new QAction(tr("&Connections"), this);
  connectionsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
  connectionsAction_->setStatusTip(tr("Frames and bytes of every TCP connection and UDP pair"));
  connect(connectionsAction_, &QAction::triggered, this, [this] { Open(connections_, tr("Connections")); });
  endpointsAction_ = new QAction(tr("&Endpoints"), this);
  endpointsAction_->setStatusTip(tr("Frames and bytes of every IP and MAC address"));
  connect(endpointsAction_, &QAction::triggered, this, [this] { Open(endpoints_, tr("Endpoints")); });
  protocolsAction_ = new QAction(tr("&Protocols"), this);
  protocolsAction_->setStatusTip(tr("Frames and bytes of every EtherType and upper-layer protocol"));
  connect(protocolsAction_, &QAction::triggered, this, [this] { Open(protocols_, tr("Protocols")); });

  graph_ = new TrafficGraph;
  graph_->SetSource(&stats_, nullptr);
  graph_->SetBinDetails([this](std::int64_t from, std::int64_t to) { return TopConnections(from, to); });
  connect(graph_, &TrafficGraph::rangeSelected, this, [this](std::int64_t from, std::int64_t to) {
    if (hooks_.applyFilter) hooks_.applyFilter(TimeRangeFilter(hooks_.appliedFilter ? hooks_.appliedFilter() : QString(), from, to));
  });
  connect(graph_, &TrafficGraph::binClicked, this, [this](std::int64_t from, std::int64_t to) { SelectFirstRow(from, to); });
  dock_ = new QDockWidget(tr("Traffic Graph"), &window_);
  dock_->setObjectName(QStringLiteral("trafficGraphDock"));
  dock_->setWidget(graph_);
  dock_->setAllowedAreas(Qt::BottomDockWidgetArea | Qt::TopDockWidgetArea);
  window_.addDockWidget(Qt::BottomDockWidgetArea, dock_);
  dock_->hide();
  graphAction_ = dock_->toggleViewAction();
  graphAction_->setText(tr("Traffic &Graph"));
  graphAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
  graphAction_->setStatusTip(tr("Show or hide the traffic graph under the list"));
  connect(dock_, &QDockWidget::visibilityChanged, this, [this](bool visible) {
    if (visible) RefreshGraph();
  });

  tableTimer_ = new QTimer(this);
  tableTimer_->setSingleShot(true);
  connect(tableTimer_, &QTimer::timeout, this, &TrafficWatch::RefreshTables);
  graphTimer_ = new QTimer(this);
  graphTimer_->setSingleShot(true);
  connect(graphTimer_, &QTimer::timeout, this, &TrafficWatch::RefreshGraph);

  // The second series follows the rows the list shows: counted again when the view is
  // replaced (a new filter or sort, Clear), and row by row as new rows are shown.
  RowModel& model = list_.Model();
  connect(&model, &QAbstractItemModel::modelReset, this, [this] {
    filteredValid_ = false;
    ScheduleRefresh();
  });
  connect(&model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
    if (filteredValid_ && list_.Model().HasFilter()) CountShownRows(first, last);
  });
}

TrafficWatch::~TrafficWatch() = default;

void TrafficWatch::BatchListed() { ScheduleRefresh(); }

void TrafficWatch::Clear() {
  // The models read the copy where it lies: they are reset before any view asks again.
  tally_.Clear();
  stats_.Clear();
  filtered_.Clear();
  filteredValid_ = false;
  for (Table* table : {&connections_, &endpoints_, &protocols_}) table->model->Reset();
  RefreshNow();
}

void TrafficWatch::SetOver(bool over) {
  connectionsModel_->SetOver(over);
}

bool TrafficWatch::Looked(const Table& table) {
  return table.window && table.window->isVisible() && !table.window->isMinimized();
}

bool TrafficWatch::eventFilter(QObject* watched, QEvent* event) {
  // A window brought back from the task bar shows what was counted meanwhile.
  if (event->type() == QEvent::WindowStateChange) {
    const auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && !widget->isMinimized()) QTimer::singleShot(0, this, &TrafficWatch::RefreshTables);
  }
  return QObject::eventFilter(watched, event);
}

void TrafficWatch::ScheduleRefresh() {
  if ((Looked(connections_) || Looked(endpoints_) || Looked(protocols_)) && !tableTimer_->isActive()) {
    tableTimer_->start(TableRefreshMs);
  }
  if (dock_->isVisible() && !graphTimer_->isActive()) graphTimer_->start(GraphRefreshMs);
}

void TrafficWatch::RefreshNow() {
  CopyTotals();
  RefreshTables();
  RefreshGraph();
}

void TrafficWatch::RefreshTables() {
  // A window no one can see (minimized) waits: its refresh is the costly part.
  const auto shown = [](const Table* table) { return Looked(*table); };
  const std::array<Table*, 3> tables = {&connections_, &endpoints_, &protocols_};
  if (std::none_of(tables.begin(), tables.end(), shown)) return;
  CopyTotals();
  for (Table* table : tables) {
    if (shown(table)) table->model->Refresh();
  }
}

void TrafficWatch::RefreshGraph() {
  if (!dock_->isVisible()) return;
  // Ten times a second: the intervals alone, the tables take the rest at their pace.
  tally_.CopyIntervalsTo(stats_);
  const bool filtered = list_.Model().HasFilter();
  if (filtered && !filteredValid_) RecountFiltered();
  graph_->SetSource(&stats_, filtered ? &filtered_ : nullptr);
}

void TrafficWatch::RecountFiltered() {
  filtered_.Clear();
  filteredValid_ = true;
  CountShownRows(0, list_.Model().ShownRows() - 1);
}

void TrafficWatch::CountShownRows(std::int64_t firstViewRow, std::int64_t lastViewRow) {
  const RowModel& model = list_.Model();
  PacketRow row;
  for (std::int64_t v = firstViewRow; v <= lastViewRow; ++v) {
    if (model.Rows().PacketFields(model.StoreRow(v), row)) filtered_.Add(row);
  }
}

void TrafficWatch::Open(Table& table, const QString& title) {
  if (!table.window) {
    table.window = new StatsWindow(title, *table.model, &window_);
    table.window->setAttribute(Qt::WA_DeleteOnClose);
    table.window->installEventFilter(this);
    if (&table == &connections_) connect(table.window, &StatsWindow::rowActivated, this, &TrafficWatch::OpenRow);
  }
  CopyTotals();
  table.model->Refresh();
  table.window->show();
  table.window->raise();
  table.window->activateWindow();
}

void TrafficWatch::OpenRow(int row) {
  const ConnectionTotals& c = connectionsModel_->At(row);
  if (c.tcp) {
    if (hooks_.followConnection) hooks_.followConnection(c.connection);
    return;
  }
  // The list's rows show no UDP ports: the pair is kept by its addresses.
  const QString a = QString::fromStdString(AddressText(c.addressA, c.ipv6));
  const QString b = QString::fromStdString(AddressText(c.addressB, c.ipv6));
  if (hooks_.applyFilter) {
    hooks_.applyFilter(QStringLiteral("udp and ((ip.src == %1 and ip.dst == %2) or (ip.src == %2 and ip.dst == %1))").arg(a, b));
  }
}

std::int64_t TrafficWatch::FirstStoreRowAt(std::int64_t ns) const {
  const RowStore& rows = list_.Model().Rows();
  std::int64_t low = 0;
  std::int64_t high = rows.RowCount();
  PacketRow row;
  while (low < high) {
    const std::int64_t mid = low + (high - low) / 2;
    const bool before = rows.PacketFields(mid, row) && row.timeKnown && row.timeNs < ns;
    if (before) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

QString TrafficWatch::TopConnections(std::int64_t fromNs, std::int64_t toNs) const {
  const RowStore& rows = list_.Model().Rows();
  const std::int64_t first = FirstStoreRowAt(fromNs);
  const std::int64_t end = std::min(rows.RowCount(), first + MostHoverRows);
  // The counted totals, not the copy shown: they find a row's connection, and they hold
  // every connection also while only the graph is shown.
  std::vector<std::pair<ConnectionTotals, std::int64_t>> top;
  tally_.Read([&](const TrafficStats& counted) {
    std::unordered_map<std::size_t, std::int64_t> bytes;
    PacketRow row;
    for (std::int64_t r = first; r < end; ++r) {
      if (!rows.PacketFields(r, row)) continue;
      if (row.timeKnown && row.timeNs >= toNs) break;
      if (const std::optional<std::size_t> entry = counted.ConnectionOf(row)) {
        bytes[*entry] += std::max(row.wireLength, row.length);
      }
    }
    std::vector<std::pair<std::size_t, std::int64_t>> most(bytes.begin(), bytes.end());
    const auto count = std::min<std::size_t>(most.size(), 3);
    std::partial_sort(most.begin(), most.begin() + static_cast<std::ptrdiff_t>(count), most.end(),
                      [](const auto& a, const auto& b) { return a.second > b.second || (a.second == b.second && a.first < b.first); });
    for (std::size_t i = 0; i < count; ++i) top.emplace_back(counted.Connections()[most[i].first], most[i].second);
  });
  QStringList lines;
  for (const auto& [c, bytes] : top) {
    const QString name = c.tcp ? tr("TCP connection %1").arg(c.connection) : tr("UDP");
    lines << tr("%1 %2 - %3: %4 bytes")
                 .arg(name, Endpoint(c.addressA, c.ipv6, c.portA), Endpoint(c.addressB, c.ipv6, c.portB))
                 .arg(bytes);
  }
  return lines.join(QLatin1Char('\n'));
}

bool TrafficWatch::SelectFirstRow(std::int64_t fromNs, std::int64_t toNs) {
  RowModel& model = list_.Model();
  const RowStore& rows = model.Rows();
  PacketRow row;
  for (std::int64_t r = FirstStoreRowAt(fromNs); r < rows.RowCount(); ++r) {
    if (!rows.PacketFields(r, row) || (row.timeKnown && row.timeNs >= toNs)) break;
    const std::int64_t viewRow = model.ViewRow(r);
    if (viewRow < 0) continue;
    const QModelIndex index = model.index(static_cast<int>(viewRow), 0);
    list_.selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list_.scrollTo(index, QAbstractItemView::PositionAtCenter);
    return true;
  }
  return false;
}
