#include "ui/stats_models.h"

#include <algorithm>
#include <string>

#include "analysis/mac_text.h"
#include "analysis/packet_row.h"
#include "analysis/row_text.h"

namespace {

QString Seconds(std::int64_t ns) {
  char text[32];
  return QString::fromLatin1(text, static_cast<qsizetype>(PutSeconds(text, ns) - text));
}

// IPv4 before IPv6 before MAC, then by the address's bytes.
QVariant AddressKey(const std::array<std::uint8_t, 16>& address, char family) {
  QByteArray key(1, family);
  key.append(reinterpret_cast<const char*>(address.data()), static_cast<qsizetype>(address.size()));
  return key;
}

QString Share(std::int64_t part, std::int64_t whole) {
  if (whole <= 0) return {};
  return QStringLiteral("%1%").arg(100.0 * static_cast<double>(part) / static_cast<double>(whole), 0, 'f', 2);
}

QString CellOf(const StatsFilterRow& row, ColumnId id) {
  const std::string_view text = row.Cell(id);
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// --- StatsTableModel ---------------------------------------------------------------------

StatsTableModel::StatsTableModel(TrafficStats& stats, QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), stats_(stats), headers_(std::move(headers)) {}

bool StatsTableModel::TakeChanged(std::vector<std::uint32_t>& rows) {
  rows.clear();
  return true;
}

void StatsTableModel::Refresh() {
  const int available = Available();
  if (available < shown_) {
    Reset();
    return;
  }
  if (TakeChanged(changed_)) {
    if (shown_ > 0) emit dataChanged(index(0, 0), index(shown_ - 1, columnCount() - 1));
  } else {
    EmitChanged(changed_);
  }
  if (available > shown_) {
    beginInsertRows(QModelIndex(), shown_, available - 1);
    shown_ = available;
    endInsertRows();
  }
}

void StatsTableModel::EmitChanged(const std::vector<std::uint32_t>& rows) {
  std::uint32_t first = UINT32_MAX, last = 0;
  for (const std::uint32_t row : rows) {
    if (row >= static_cast<std::uint32_t>(shown_)) continue;
    first = std::min(first, row);
    last = std::max(last, row);
  }
  if (first == UINT32_MAX) return;
  emit dataChanged(index(static_cast<int>(first), 0), index(static_cast<int>(last), columnCount() - 1));
}

void StatsTableModel::Reset() {
  beginResetModel();
  shown_ = Available();
  endResetModel();
  std::vector<std::uint32_t> before;
  TakeChanged(before);  // what changed before is shown now
}

int StatsTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_; }

int StatsTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant StatsTableModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
  switch (role) {
    case Qt::DisplayRole:
      return Text(index.row(), index.column());
    case SortRole:
      return SortKey(index.row(), index.column());
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(IsNumber(index.column()) ? Qt::AlignRight | Qt::AlignVCenter
                                                          : Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant StatsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= headers_.size()) {
    return {};
  }
  return headers_[section];
}

// --- ConnectionsModel ------------------------------------------------------------------

ConnectionsModel::ConnectionsModel(TrafficStats& stats, QObject* parent)
    : StatsTableModel(stats,
                      {tr("Connection"), tr("Protocol"), tr("Address A"), tr("Port A"), tr("Address B"),
                       tr("Port B"), tr("Frames A to B"), tr("Bytes A to B"), tr("Frames B to A"),
                       tr("Bytes B to A"), tr("First"), tr("Last"), tr("Duration"), tr("State"),
                       tr("Last Socket Call")},
                      parent) {}

void ConnectionsModel::SetOver(bool over) {
  if (over == over_) return;
  over_ = over;
  if (rowCount() > 0) emit dataChanged(index(0, State), index(rowCount() - 1, State));
}

int ConnectionsModel::Available() const { return static_cast<int>(stats_.Connections().size()); }

bool ConnectionsModel::IsNumber(int column) const {
  return column != Protocol && column != AddressA && column != AddressB && column != State && column != LastSocketCall;
}

QString ConnectionsModel::Text(int row, int column) const {
  const ConnectionTotals& c = At(row);
  switch (column) {
    case Connection: return c.tcp ? QString::number(c.connection) : QString();
    case Protocol: return c.tcp ? QStringLiteral("TCP") : QStringLiteral("UDP");
    case AddressA: return QString::fromStdString(AddressText(c.addressA, c.ipv6));
    case PortA: return QString::number(c.portA);
    case AddressB: return QString::fromStdString(AddressText(c.addressB, c.ipv6));
    case PortB: return QString::number(c.portB);
    case FramesAToB: return QString::number(c.framesAToB);
    case BytesAToB: return QString::number(c.bytesAToB);
    case FramesBToA: return QString::number(c.framesBToA);
    case BytesBToA: return QString::number(c.bytesBToA);
    case First: return c.timeKnown ? Seconds(c.firstNs) : QString();
    case Last: return c.timeKnown ? Seconds(c.lastNs) : QString();
    case Duration: return c.timeKnown ? Seconds(c.lastNs - c.firstNs) : QString();
    case State:
      if (!c.tcp) return {};
      return c.closed ? QStringLiteral("closed") : over_ ? QStringLiteral("still open") : QStringLiteral("open");
    case LastSocketCall: return QString::fromLatin1(c.lastSocketCall.data(), static_cast<qsizetype>(c.lastSocketCall.size()));
    default: return {};
  }
}

QVariant ConnectionsModel::SortKey(int row, int column) const {
  const ConnectionTotals& c = At(row);
  const char family = c.ipv6 ? 1 : 0;
  switch (column) {
    case Connection: return c.tcp ? QVariant(qlonglong{c.connection}) : QVariant();
    case AddressA: return AddressKey(c.addressA, family);
    case AddressB: return AddressKey(c.addressB, family);
    case PortA: return qlonglong{c.portA};
    case PortB: return qlonglong{c.portB};
    case FramesAToB: return qlonglong{c.framesAToB};
    case BytesAToB: return qlonglong{c.bytesAToB};
    case FramesBToA: return qlonglong{c.framesBToA};
    case BytesBToA: return qlonglong{c.bytesBToA};
    case First: return c.timeKnown ? QVariant(qlonglong{c.firstNs}) : QVariant();
    case Last: return c.timeKnown ? QVariant(qlonglong{c.lastNs}) : QVariant();
    case Duration: return c.timeKnown ? QVariant(qlonglong{c.lastNs - c.firstNs}) : QVariant();
    default: {
      const QString text = Text(row, column);
      return text.isEmpty() ? QVariant() : QVariant(text);
    }
  }
}

bool ConnectionsModel::Matches(int row, const RowFilter& filter) const { return filter.Matches(StatsFilterRow(At(row))); }

// --- EndpointsModel ----------------------------------------------------------------------

EndpointsModel::EndpointsModel(TrafficStats& stats, QObject* parent)
    : StatsTableModel(stats,
                      {tr("Address"), tr("Type"), tr("Frames Sent"), tr("Bytes Sent"), tr("Frames Received"),
                       tr("Bytes Received"), tr("Connections")},
                      parent) {}

int EndpointsModel::Available() const { return static_cast<int>(stats_.Endpoints().size()); }

bool EndpointsModel::IsNumber(int column) const { return column >= FramesSent; }

QString EndpointsModel::Text(int row, int column) const {
  const EndpointTotals& e = stats_.Endpoints()[static_cast<std::size_t>(row)];
  switch (column) {
    case Address:
      return QString::fromStdString(e.mac ? MacText(e.address.data()) : AddressText(e.address, e.ipv6));
    case Type: return e.mac ? QStringLiteral("MAC") : e.ipv6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4");
    case FramesSent: return QString::number(e.framesSent);
    case BytesSent: return QString::number(e.bytesSent);
    case FramesReceived: return QString::number(e.framesReceived);
    case BytesReceived: return QString::number(e.bytesReceived);
    case Connections: return QString::number(e.connections);
    default: return {};
  }
}

QVariant EndpointsModel::SortKey(int row, int column) const {
  const EndpointTotals& e = stats_.Endpoints()[static_cast<std::size_t>(row)];
  switch (column) {
    case Address: return AddressKey(e.address, e.mac ? 2 : e.ipv6 ? 1 : 0);
    case Type: return Text(row, column);
    case FramesSent: return qlonglong{e.framesSent};
    case BytesSent: return qlonglong{e.bytesSent};
    case FramesReceived: return qlonglong{e.framesReceived};
    case BytesReceived: return qlonglong{e.bytesReceived};
    case Connections: return qlonglong{e.connections};
    default: return {};
  }
}

bool EndpointsModel::Matches(int row, const RowFilter& filter) const {
  return filter.Matches(StatsFilterRow(stats_.Endpoints()[static_cast<std::size_t>(row)]));
}

// --- ProtocolsModel ----------------------------------------------------------------------

ProtocolsModel::ProtocolsModel(TrafficStats& stats, QObject* parent)
    : StatsTableModel(stats,
                      {tr("Protocol"), tr("Upper Layer Protocol"), tr("Frames"), tr("Bytes"), tr("Share of Frames"),
                       tr("Share of Bytes")},
                      parent) {}

int ProtocolsModel::Available() const { return static_cast<int>(stats_.Protocols().size()); }

bool ProtocolsModel::IsNumber(int column) const { return column >= Frames; }

QString ProtocolsModel::Text(int row, int column) const {
  const ProtocolTotals& p = stats_.Protocols()[static_cast<std::size_t>(row)];
  switch (column) {
    case EtherType:
      // The names the list's Protocol and Upper Layer Protocol cells show.
      return p.etherType == 0 ? QStringLiteral("IEEE 802.3") : CellOf(StatsFilterRow(p), ColumnId::Protocol);
    case UpperLayer: return p.upperLayer ? CellOf(StatsFilterRow(p), ColumnId::UpperLayerProtocol) : QString();
    case Frames: return QString::number(p.frames);
    case Bytes: return QString::number(p.bytes);
    case FrameShare: return Share(p.frames, stats_.Frames());
    case ByteShare: return Share(p.bytes, stats_.Bytes());
    default: return {};
  }
}

QVariant ProtocolsModel::SortKey(int row, int column) const {
  const ProtocolTotals& p = stats_.Protocols()[static_cast<std::size_t>(row)];
  switch (column) {
    case Frames:
    case FrameShare: return qlonglong{p.frames};
    case Bytes:
    case ByteShare: return qlonglong{p.bytes};
    default: {
      const QString text = Text(row, column);
      return text.isEmpty() ? QVariant() : QVariant(text);
    }
  }
}

bool ProtocolsModel::Matches(int row, const RowFilter& filter) const {
  return filter.Matches(StatsFilterRow(stats_.Protocols()[static_cast<std::size_t>(row)]));
}

// --- StatsProxyModel ---------------------------------------------------------------------

StatsProxyModel::StatsProxyModel(QObject* parent) : QSortFilterProxyModel(parent) {
  setSortRole(StatsTableModel::SortRole);
  setDynamicSortFilter(true);
}

void StatsProxyModel::SetFilter(std::optional<RowFilter> filter) {
  filter_ = std::move(filter);
  invalidateRowsFilter();
}

bool StatsProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
  if (!filter_) return true;
  const auto* model = qobject_cast<const StatsTableModel*>(sourceModel());
  return model == nullptr || sourceParent.isValid() || model->Matches(sourceRow, *filter_);
}

bool StatsProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const QVariant a = left.data(sortRole());
  const QVariant b = right.data(sortRole());
  if (!a.isValid() || !b.isValid()) return !a.isValid() && b.isValid();
  if (a.typeId() == QMetaType::LongLong && b.typeId() == QMetaType::LongLong) return a.toLongLong() < b.toLongLong();
  if (a.typeId() == QMetaType::QByteArray && b.typeId() == QMetaType::QByteArray) return a.toByteArray() < b.toByteArray();
  return a.toString() < b.toString();
}

QString TableText(const QAbstractItemModel& model, bool csv, const std::vector<int>* rows) {
  std::string out;
  const auto append = [&](const QString& cell) {
    const QByteArray bytes = cell.toUtf8();
    const std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    csv ? AppendCsvCell(out, text) : AppendTsvCell(out, text);
  };
  const auto line = [&](auto cellOf) {
    for (int c = 0; c < model.columnCount(); ++c) {
      if (c > 0) out += csv ? ',' : '\t';
      append(cellOf(c));
    }
    out += '\n';
  };
  line([&](int c) { return model.headerData(c, Qt::Horizontal).toString(); });
  const int count = rows ? static_cast<int>(rows->size()) : model.rowCount();
  for (int i = 0; i < count; ++i) {
    const int r = rows ? (*rows)[static_cast<std::size_t>(i)] : i;
    line([&](int c) { return model.index(r, c).data().toString(); });
  }
  return QString::fromStdString(out);
}
