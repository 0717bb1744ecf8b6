#pragma once
// The tables of the Connections, Endpoints and Protocols windows: models over a
// TrafficStats that lives on the same thread, a proxy that sorts them by value and keeps
// the rows a display filter matches, and their text for Copy and Save As.
//
// The models read the totals where they lie; Refresh shows what was counted since the
// last call (new rows inserted, the others' cells changed), so a window can follow a
// trace at the pace it chooses rather than at every frame. Over a copy of the totals only
// the rows the copy says changed are announced, so that a sorting proxy re-sorts those
// rather than the whole table.

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "analysis/row_filter.h"
#include "analysis/traffic_stats.h"

class StatsTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The value a column sorts by: a number, or an address's bytes (IPv4 before IPv6);
  // nothing for an empty cell, which sorts first.
  static constexpr int SortRole = Qt::UserRole;

  StatsTableModel(TrafficStats& stats, QStringList headers, QObject* parent = nullptr);

  // Shows the rows and values counted since the last call.
  void Refresh();
  // The totals were cleared (or are about to be replaced): every row goes.
  void Reset();
  // Whether the display filter keeps a row.
  virtual bool Matches(int row, const RowFilter& filter) const = 0;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 protected:
  virtual int Available() const = 0;  // rows counted so far
  virtual QString Text(int row, int column) const = 0;
  virtual QVariant SortKey(int row, int column) const = 0;
  virtual bool IsNumber(int column) const = 0;
  // The rows changed since the last call, into rows; true instead when every row may have.
  virtual bool TakeChanged(std::vector<std::uint32_t>& rows);

  TrafficStats& stats_;

 private:
  // Announces the rows changed as one span from the first to the last. One: a sorting
  // proxy re-sorts a span's rows among the others, which must not have changed since.
  void EmitChanged(const std::vector<std::uint32_t>& rows);

  QStringList headers_;
  int shown_ = 0;
  std::vector<std::uint32_t> changed_;
};

// One row per TCP connection and UDP pair; the columns of orrisvane-dump --conversations.
class ConnectionsModel : public StatsTableModel {
  Q_OBJECT

 public:
  enum Column { Connection, Protocol, AddressA, PortA, AddressB, PortB, FramesAToB, BytesAToB, FramesBToA,
                BytesBToA, First, Last, Duration, State, LastSocketCall, ColumnTotal };
  explicit ConnectionsModel(TrafficStats& stats, QObject* parent = nullptr);
  // The trace or file is over: connections not closed read "still open".
  void SetOver(bool over);
  const ConnectionTotals& At(int row) const { return stats_.Connections()[static_cast<std::size_t>(row)]; }
  bool Matches(int row, const RowFilter& filter) const override;

 protected:
  int Available() const override;
  QString Text(int row, int column) const override;
  QVariant SortKey(int row, int column) const override;
  bool IsNumber(int column) const override;
  bool TakeChanged(std::vector<std::uint32_t>& rows) override { return stats_.TakeChangedConnections(rows); }

 private:
  bool over_ = false;
};

// One row per IP address and per MAC address.
class EndpointsModel : public StatsTableModel {
  Q_OBJECT

 public:
  enum Column { Address, Type, FramesSent, BytesSent, FramesReceived, BytesReceived, Connections, ColumnTotal };
  explicit EndpointsModel(TrafficStats& stats, QObject* parent = nullptr);
  bool Matches(int row, const RowFilter& filter) const override;

 protected:
  int Available() const override;
  QString Text(int row, int column) const override;
  QVariant SortKey(int row, int column) const override;
  bool IsNumber(int column) const override;
  bool TakeChanged(std::vector<std::uint32_t>& rows) override { return stats_.TakeChangedEndpoints(rows); }
};

// One row per EtherType and, under IP, per upper-layer protocol, with its shares of all
// frames and bytes.
class ProtocolsModel : public StatsTableModel {
  Q_OBJECT

 public:
  enum Column { EtherType, UpperLayer, Frames, Bytes, FrameShare, ByteShare, ColumnTotal };
  explicit ProtocolsModel(TrafficStats& stats, QObject* parent = nullptr);
  bool Matches(int row, const RowFilter& filter) const override;

 protected:
  int Available() const override;
  QString Text(int row, int column) const override;
  QVariant SortKey(int row, int column) const override;
  bool IsNumber(int column) const override;
};

// Sorts a StatsTableModel by its SortRole and keeps the rows a display filter matches.
class StatsProxyModel : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit StatsProxyModel(QObject* parent = nullptr);
  // Nothing: every row.
  void SetFilter(std::optional<RowFilter> filter);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

 private:
  std::optional<RowFilter> filter_;
};

// The header line and the rows of a model in its order (only the rows listed, when rows
// is given), tab-separated, or as CSV.
QString TableText(const QAbstractItemModel& model, bool csv, const std::vector<int>* rows = nullptr);
