#pragma once
// The traffic totals of the rows the list receives, and what shows them: the Connections,
// Endpoints and Protocols windows (Statistics menu) and the traffic graph dock under the
// list (View > Traffic Graph). Every batch of rows is counted into Tally() on a thread of
// its own as it is delivered (CountingSink), so the totals cover the whole trace or file,
// also rows that have left the list since; Clear (and a new file or trace in the list's
// place) empties them.
//
// The windows are refreshed at most twice a second and the graph at most ten times, and
// only while they are shown: they read a copy of the totals brought up to date then, so
// the list's thread spends nothing per row on them.

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "analysis/traffic_stats.h"
#include "analysis/traffic_tally.h"
#include "app/stats_window.h"

class CRowListView;
class ConnectionsModel;
class EndpointsModel;
class ProtocolsModel;
class QAction;
class QDockWidget;
class QMainWindow;
class QTimer;
class StatsTableModel;

class TrafficGraph;

class TrafficWatch : public QObject {
  Q_OBJECT

 public:
  struct Hooks {
    std::function<void(std::int64_t connection)> followConnection;
    // Sets the display filter as the filter bar does; false when it was refused.
    std::function<bool(const QString& expression)> applyFilter;
    // The display filter applied last (empty: none).
    std::function<QString()> appliedFilter;
  };

  // window gets the graph dock (hidden) and is the windows' parent; list is the report list.
  TrafficWatch(QMainWindow& window, CRowListView& list, Hooks hooks);
  ~TrafficWatch() override;

  // The totals counted: a CountingSink in front of the list's receiver counts into them.
  TrafficTally& Tally() { return tally_; }
  // A batch has reached the list: the shown tables and graph follow at their pace.
  void BatchListed();
  // Empties every total, table and the graph.
  void Clear();
  // The trace or file is over (a TCP connection not closed is then "still open"), or a new
  // one runs.
  void SetOver(bool over);

  // Statistics > Connections (Ctrl+Shift+C), Endpoints and Protocols; View > Traffic Graph
  // (Ctrl+Shift+G, checkable).
  QAction* ConnectionsAction() const { return connectionsAction_; }
  QAction* EndpointsAction() const { return endpointsAction_; }
  QAction* ProtocolsAction() const { return protocolsAction_; }
  QAction* GraphAction() const { return graphAction_; }

  // The totals as the tables and graph last showed them (RefreshNow brings them up to date).
  const TrafficStats& Stats() const { return stats_; }
  TrafficGraph& Graph() const { return *graph_; }
  QDockWidget& GraphDock() const { return *dock_; }
  // The windows once opened (null before).
  StatsWindow* ConnectionsWindow() const { return connections_.window; }
  StatsWindow* EndpointsWindow() const { return endpoints_.window; }
  StatsWindow* ProtocolsWindow() const { return protocols_.window; }
  ConnectionsModel& Connections() const { return *connectionsModel_; }
  // Brings the shown tables and graph up to the totals now (the timers do it otherwise).
  void RefreshNow();

  // The lines hovering over a bin adds: the three connections with most bytes in it,
  // from the rows of the bin still in the list.
  QString TopConnections(std::int64_t fromNs, std::int64_t toNs) const;
  // Selects the first row the list shows of the bin; false when it shows none.
  bool SelectFirstRow(std::int64_t fromNs, std::int64_t toNs);

 private:
  struct Table {
    StatsTableModel* model = nullptr;
    QPointer<StatsWindow> window;
  };
  // Shown and not minimized: worth refreshing.
  static bool Looked(const Table& table);
  bool eventFilter(QObject* watched, QEvent* event) override;
  void Open(Table& table, const QString& title);
  void OpenRow(int row);
  void RefreshTables();
  void RefreshGraph();
  void CopyTotals() { tally_.CopyTo(stats_); }
  void ScheduleRefresh();
  // The filtered series: counted again from the rows the list shows.
  void RecountFiltered();
  void CountShownRows(std::int64_t firstViewRow, std::int64_t lastViewRow);
  // The first store row whose time is at or after ns (rows in time order); RowCount when none.
  std::int64_t FirstStoreRowAt(std::int64_t ns) const;

  QMainWindow& window_;
  CRowListView& list_;
  Hooks hooks_;
  TrafficTally tally_;
  TrafficStats stats_;  // the copy shown
  TrafficStats filtered_;
  bool filteredValid_ = false;
  ConnectionsModel* connectionsModel_ = nullptr;
  EndpointsModel* endpointsModel_ = nullptr;
  ProtocolsModel* protocolsModel_ = nullptr;
  Table connections_;
  Table endpoints_;
  Table protocols_;
  QAction* connectionsAction_ = nullptr;
  QAction* endpointsAction_ = nullptr;
  QAction* protocolsAction_ = nullptr;
  QAction* graphAction_ = nullptr;
  QDockWidget* dock_ = nullptr;
  TrafficGraph* graph_ = nullptr;
  QTimer* tableTimer_ = nullptr;
  QTimer* graphTimer_ = nullptr;
};
