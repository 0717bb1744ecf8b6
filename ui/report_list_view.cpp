#include "ui/report_list_view.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>

#include "analysis/capture_state.h"
#include "analysis/frame_source.h"
#include "analysis/row_text.h"
#include "ui/cell_text.h"
#include "ui/fit_text.h"
#include "ui/packet_dialog.h"
#include "ui/row_model.h"

namespace {
// Insets of the text inside its cell, both sides together: the first cell is drawn 2
// pixels in from each side, the others 6.
constexpr int kFirstCellMargin = 4;
constexpr int kCellMargin = 12;
constexpr int kRowPadding = 4;

// A scroll bar that draws itself again only when it would look different. While the list
// follows new rows its range grows with every batch, but a slider already at its smallest
// and at the end does not move, and the horizontal bar does not change at all; drawing
// the bars each time (the list around them is repainted whole) cost more than painting
// the new rows. Its picture is kept and shown again while the look is the same and the
// pointer is elsewhere.
class SteadyScrollBar : public QScrollBar {
 public:
  using QScrollBar::QScrollBar;

 protected:
  void sliderChange(SliderChange change) override {
    if (change == SliderOrientationChange) {
      QScrollBar::sliderChange(change);
      return;
    }
    // The range grows first and the list moves to the new end after it: the look is
    // compared once both are done.
    if (comparePosted_) return;
    comparePosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          comparePosted_ = false;
          if (CurrentLook() != shown_) update();
        },
        Qt::QueuedConnection);
  }

  void paintEvent(QPaintEvent* event) override {
    shown_ = CurrentLook();
    // Hovered or pressed parts are drawn by the bar itself, which alone knows them.
    if (underMouse() || isSliderDown()) {
      picture_ = QPixmap();
      QScrollBar::paintEvent(event);
      return;
    }
    if (picture_.isNull() || pictureLook_ != shown_) {
      QStyleOptionSlider option;
      initStyleOption(&option);
      option.subControls = QStyle::SC_All;
      option.activeSubControls = QStyle::SC_None;
      const qreal ratio = devicePixelRatioF();
      picture_ = QPixmap(size() * ratio);
      picture_.setDevicePixelRatio(ratio);
      picture_.fill(Qt::transparent);
      QPainter painter(&picture_);
      style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
      pictureLook_ = shown_;
    }
    QPainter(this).drawPixmap(0, 0, picture_);
  }

 private:
  struct Look {
    QRect slider;
    bool atMinimum = false;
    bool atMaximum = false;
    QSize size;
    int state = 0;
    qint64 palette = 0;
    qreal ratio = 1;
    bool operator==(const Look&) const = default;
  };

  Look CurrentLook() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
            value() == minimum(),
            value() == maximum(),
            size(),
            static_cast<int>(option.state),
            palette().cacheKey(),
            devicePixelRatioF()};
  }

  bool comparePosted_ = false;
  Look shown_;
  QPixmap picture_;
  Look pictureLook_;
};
}  // namespace

CListViewEx::CListViewEx(QWidget* parent) : QTableView(parent) {
  fullRowSelect = true;
  textBackColor = palette().color(QPalette::Active, QPalette::Base);

  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSortingEnabled(false);
  setShowGrid(false);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setTabKeyNavigation(false);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);

  // paintEvent fills every pixel it is asked for.
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  setVerticalScrollBar(new SteadyScrollBar(Qt::Vertical, this));
  setHorizontalScrollBar(new SteadyScrollBar(Qt::Horizontal, this));

  // Rows of one fixed height: the view then finds the rows to paint by arithmetic and
  // keeps nothing per row.
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);

  QHeaderView* header = horizontalHeader();
  header->setSectionsMovable(false);
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setMinimumSectionSize(1);

  // Measured widths are sums of character advances; kerning would make the drawn text
  // wider or narrower than what was measured.
  QFont f = font();
  f.setKerning(false);
  setFont(f);

  measure_ = [this](std::string_view text) { return MeasureText(text); };
  ResetCharWidths();
}

CListViewEx::~CListViewEx() = default;

void CListViewEx::SetTextBackColor(const QColor& color) {
  textBackColor = color;
  QPalette p = palette();
  p.setColor(QPalette::Base, color);
  setPalette(p);
  viewport()->update();
}

void CListViewEx::ResetCharWidths() {
  const QFontMetrics fm(font());
  for (int c = 0; c < 256; ++c) charWidths_[static_cast<std::size_t>(c)] = fm.horizontalAdvance(QChar(c));
  verticalHeader()->setDefaultSectionSize(fm.height() + kRowPadding);
  cellPainter_.SetFont(font());
}

int CListViewEx::MeasureText(std::string_view text) const {
  int width = 0;
  for (unsigned char c : text) width += charWidths_[c];
  return width;
}

void CListViewEx::changeEvent(QEvent* event) {
  QTableView::changeEvent(event);
  if (event->type() == QEvent::FontChange) ResetCharWidths();
}

bool CListViewEx::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Resize) clientWidth = viewport()->width();
  return QTableView::viewportEvent(event);
}

void CListViewEx::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  clientWidth = viewport()->width();
}

void CListViewEx::focusInEvent(QFocusEvent* event) {
  QTableView::focusInEvent(event);
  if (fullRowSelect) InvalidateSelectedRows();
}

void CListViewEx::focusOutEvent(QFocusEvent* event) {
  QTableView::focusOutEvent(event);
  // The focus moving into a window of the list's own (its header) changes nothing.
  const QWidget* other = QApplication::focusWidget();
  if (other != nullptr && other != this && isAncestorOf(other)) return;
  if (fullRowSelect) InvalidateSelectedRows();
}

QRect CListViewEx::AllCellsRect(const QRect& rowRect) const {
  const int columns = model() != nullptr ? model()->columnCount(rootIndex()) : 0;
  int left = rowRect.left();
  int right = left;
  if (columns > 0) {
    left = columnViewportPosition(0);
    right = columnViewportPosition(columns - 1) + columnWidth(columns - 1);
  }
  if (extendHighlight && right < clientWidth) right = clientWidth;
  return QRect(left, rowRect.top(), right - left, rowRect.height());
}

void CListViewEx::InvalidateSelectedRows() {
  if (model() == nullptr) return;
  const auto rowBand = [this](int row) {
    return AllCellsRect(QRect(0, rowViewportPosition(row), viewport()->width(), rowHeight(row)));
  };
  const QModelIndex current = currentIndex();
  if (current.isValid()) viewport()->update(rowBand(current.row()));
  if (!showSelAlways && selectionModel() != nullptr) {
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
      const int top = std::max(range.top(), rowAt(0));
      int bottom = rowAt(viewport()->height() - 1);
      if (bottom < 0) bottom = range.bottom();
      bottom = std::min(bottom, range.bottom());
      for (int row = top; top >= 0 && row <= bottom; ++row) viewport()->update(rowBand(row));
    }
  }
}

void CListViewEx::CellText(int row, int column, std::string& out) const {
  out.clear();
  const QString text = model()->data(model()->index(row, column, rootIndex())).toString();
  out = text.left(static_cast<qsizetype>(DrawTextMaxChars)).toLatin1().toStdString();
}

void CListViewEx::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QRect area = event->rect();
  const int rows = model() != nullptr ? model()->rowCount(rootIndex()) : 0;
  const int columns = model() != nullptr ? model()->columnCount(rootIndex()) : 0;

  // A selected row carries its highlight past the last column: when only part of a row
  // is repainted (a cell, the columns of a selection change), repaint the strip beside
  // the columns over the same height as well.
  if (extendHighlight && fullRowSelect && rows > 0 && columns > 0) {
    const int right = columnViewportPosition(columns - 1) + columnWidth(columns - 1);
    if (right < clientWidth) {
      const QRect widened(QPoint(std::min(area.left(), right - 1), area.top()),
                          QPoint(clientWidth - 1, area.bottom()));
      if (!(QRegion(widened) - event->region()).isEmpty()) viewport()->update(widened);
    }
  }

  // Each row fills its own band; only the area beside and below the rows is filled here,
  // and the viewport does not fill itself first: no pixel is filled twice.
  const QColor base = palette().color(QPalette::Active, QPalette::Base);
  if (rows == 0) {
    painter.fillRect(area, base);
    return;
  }

  columnAlign_.resize(static_cast<std::size_t>(columns));
  for (int p = 0; p < columns; ++p) {
    const QVariant v = model()->headerData(p, Qt::Horizontal, Qt::TextAlignmentRole);
    const Qt::Alignment a = v.isValid() ? Qt::Alignment(v.toInt()) : Qt::Alignment(Qt::AlignLeft);
    columnAlign_[static_cast<std::size_t>(p)] = (a & Qt::AlignRight)     ? Qt::AlignRight
                                                : (a & Qt::AlignHCenter) ? Qt::AlignHCenter
                                                                         : Qt::AlignLeft;
  }

  int first = RowAtY(area.top(), rows);
  if (first < 0) {  // the area lies below the last row
    painter.fillRect(area, base);
    return;
  }
  int last = RowAtY(area.bottom(), rows);
  if (last < 0) last = rows - 1;
  const int top = RowTop(first);
  const int bottom = RowTop(last) + verticalHeader()->defaultSectionSize();
  if (bottom <= area.bottom()) painter.fillRect(QRect(area.left(), bottom, area.width(), area.bottom() + 1 - bottom), base);
  const QRect bands = AllCellsRect(QRect(0, top, viewport()->width(), bottom - top));
  if (bands.left() > area.left())
    painter.fillRect(QRect(area.left(), top, bands.left() - area.left(), bottom - top), base);
  if (bands.right() < area.right())
    painter.fillRect(QRect(bands.right() + 1, top, area.right() - bands.right(), bottom - top), base);
  for (int row = first; row <= last; ++row) {
    const QRect rowRect(0, RowTop(row), viewport()->width(), verticalHeader()->defaultSectionSize());
    DrawItem(painter, row, rowRect);
  }
}

int CListViewEx::RowAtY(int y, int rows) const {
  const qint64 at = qint64{y} + verticalOffset();
  const int height = verticalHeader()->defaultSectionSize();
  if (at < 0 || height <= 0 || at / height >= rows) return -1;
  return static_cast<int>(at / height);
}

int CListViewEx::RowTop(int row) const {
  return static_cast<int>(qint64{row} * verticalHeader()->defaultSectionSize() - verticalOffset());
}

void CListViewEx::DrawItem(QPainter& painter, int row, const QRect& rowRect) {
  const bool focused = hasFocus();
  const int columns = model()->columnCount(rootIndex());
  const bool selected = columns > 0 && selectionModel() != nullptr &&
                        selectionModel()->isSelected(model()->index(row, 0, rootIndex()));
  const bool highlight = selected && (focused || showSelAlways);
  const QRect allCells = AllCellsRect(rowRect);

  // Selection looks the same with and without the focus, so the active colours serve both.
  const QPalette& pal = palette();
  const QColor fill = highlight ? pal.color(QPalette::Active, QPalette::Highlight) : textBackColor;
  const QColor ink =
      highlight ? pal.color(QPalette::Active, QPalette::HighlightedText) : pal.color(QPalette::Active, QPalette::Text);
  painter.fillRect(allCells, fill);
  painter.setPen(ink);

  int cellLeft = allCells.left();
  for (int p = 0; p < columns; ++p) {
    const int width = columnWidth(p);
    if (p > 0) cellLeft = columnViewportPosition(p);
    const int cellRight = cellLeft + width;
    if (cellRight < 0 || cellLeft > rowRect.right()) continue;  // scrolled out of sight

    CellText(row, p, cellText_);
    if (cellText_.empty()) continue;
    const int margin = p == 0 ? kFirstCellMargin : kCellMargin;
    const bool shortened = FitTextToWidth(cellText_, width, margin, measure_, fitted_);
    const Qt::Alignment align = shortened ? Qt::AlignLeft : columnAlign_[static_cast<std::size_t>(p)];
    const int inset = margin / 2;
    const QRect textRect(cellLeft + inset, rowRect.top(), std::max(0, width - margin), rowRect.height());
    cellPainter_.Add(painter, textRect, align, fitted_);
  }
  cellPainter_.Flush(painter);

  const QModelIndex current = currentIndex();
  if (focused && current.isValid() && current.row() == row) {
    QPen pen(ink);
    pen.setStyle(Qt::DotLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(allCells.adjusted(0, 0, -1, -1));
  }
}

CRowListView::CRowListView(CaptureState& state, QWidget* parent)
    : CListViewEx(parent), state_(state), model_(new RowModel(this)) {
  showSelAlways = true;
  // Selected rows stay highlighted when the list loses the focus.
  QPalette p = palette();
  p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
  p.setColor(QPalette::Inactive, QPalette::HighlightedText,
             p.color(QPalette::Active, QPalette::HighlightedText));
  setPalette(p);

  setModel(model_);
  opener_ = [this](const QString& title, const std::string& details, const std::string& bytesDump) {
    OpenDetailsDialog(title, details, bytesDump);
  };

  // Follow new rows only while the user is looking at the end of the list. Where the end
  // lies is known only once the view has laid the new rows out, and a scroll bar that
  // appears then narrows or shortens the client area once more. So whether the list is at
  // its end is kept from the user's last scroll, and every new range is followed while it is.
  QScrollBar* bar = verticalScrollBar();
  connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
    if (!removing_) atEnd_ = value >= bar->maximum();
  });
  connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
    // A range the value already reaches (nothing to scroll, or rows removed) shows the end too.
    if (!removing_) atEnd_ = atEnd_ || bar->value() >= maximum;
    if (atEnd_ && model_->SortColumn() < 0) bar->setValue(maximum);
  });
  // Older rows leaving at the front must not move what the user looks at: the rows in
  // sight stay in sight (the selection follows its rows by itself). While rows leave, the
  // shrinking range says nothing about where the user is.
  connect(model_, &QAbstractItemModel::rowsRemoved, this, [this, bar] {
    if (keptValue_ >= 0) bar->setValue(keptValue_);
    removing_ = false;
    if (atEnd_ && model_->SortColumn() < 0) bar->setValue(bar->maximum());
  });
  // A click on a header sorts by its column, a second reverses, a third returns to
  // capture order.
  horizontalHeader()->setSectionsClickable(true);
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) { CycleSort(column); });
  // A new view (filter or sort) replaces the rows with a reset: the current row stays the
  // current and selected one when the new view shows it.
  connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
    const QModelIndex current = currentIndex();
    keptRow_ = current.isValid() && selectionModel()->isRowSelected(current.row(), {})
                   ? model_->StoreRow(current.row())
                   : -1;
    keptColumn_ = current.column();
  });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    const std::int64_t row = keptRow_ < 0 ? -1 : model_->ViewRow(keptRow_);
    keptRow_ = -1;
    if (row < 0) return;
    const QModelIndex index = model_->index(static_cast<int>(row), std::max(keptColumn_, 0));
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index, QAbstractItemView::PositionAtCenter);
  });
  connect(model_, &RowModel::viewChangeEnded, this, [this] { ShowSortIndicator(); });
}

void CRowListView::ShowSortIndicator() {
  QHeaderView* header = horizontalHeader();
  const int sorted = model_->RequestedSortColumn();
  header->setSortIndicatorShown(sorted >= 0);
  if (sorted >= 0) {
    header->setSortIndicator(sorted, model_->RequestedSortDescending() ? Qt::DescendingOrder : Qt::AscendingOrder);
  }
  // Back in capture order the end is followed again when the view shows it.
  if (!model_->ViewChanging() && model_->SortColumn() < 0 && atEnd_) scrollToBottom();
}

CRowListView::~CRowListView() = default;

void CRowListView::InsertColumns() {
  const ColumnSet& columns = state_.columns;
  const int n = columns.ShownCount();
  model_->SetColumns(columns);  // back in capture order
  horizontalHeader()->setSortIndicatorShown(false);
  model_->SetRowLimit(state_.keepRows);
  if (n == 0) return;
  // Outer width: frame and scroll bar included, as the window is seen from outside.
  const int width = this->width() / n;
  horizontalHeader()->setDefaultSectionSize(width);
  for (int p = 0; p < n; ++p) horizontalHeader()->resizeSection(p, width);
}

void CRowListView::RemoveColumns() { model_->RemoveAll(); }

void CRowListView::CycleSort(int column) {
  // Clicks while a sort is still being made step on from that sort.
  if (model_->RequestedSortColumn() != column) {
    model_->SortBy(column, false);
  } else if (!model_->RequestedSortDescending()) {
    model_->SortBy(column, true);
  } else {
    model_->SortBy(-1, false);
  }
  ShowSortIndicator();
}

void CRowListView::SetDetailsOpener(DetailsOpener opener) { opener_ = std::move(opener); }

void CRowListView::CellText(int row, int column, std::string& out) const {
  const std::string_view cell = model_->CellText(row, column);
  out.assign(cell.substr(0, DrawTextMaxChars));
}

void CRowListView::rowsAboutToBeRemoved(const QModelIndex& parent, int first, int last) {
  removing_ = true;
  QScrollBar* bar = verticalScrollBar();
  const int step = verticalScrollMode() == ScrollPerPixel ? verticalHeader()->defaultSectionSize() : 1;
  keptValue_ = first == 0 && !atEnd_ ? std::max(0, bar->value() - (last + 1) * step) : -1;
  // A current row that leaves would hand the focus to the first row left and scroll
  // there; it goes with its row instead.
  const QModelIndex current = currentIndex();
  if (current.isValid() && current.row() >= first && current.row() <= last) selectionModel()->clearCurrentIndex();
  CListViewEx::rowsAboutToBeRemoved(parent, first, last);
}

void CRowListView::OpenDetails(int row) {
  if (row < 0 || row >= model_->rowCount() || !opener_) return;
  const std::string details = BuildPacketDetails(*model_, row);
  std::string_view number = model_->CellText(row, 0).substr(0, 1023);
  number = number.substr(0, number.find('\0'));
  const QString title =
      QStringLiteral("Packet ") + QString::fromLatin1(number.data(), static_cast<qsizetype>(number.size()));
  StoredFrame frame;
  // The row shown there, whatever the filter and the order; once older rows have left
  // the list, a row's place is not its packet number.
  const std::int64_t packetNumber = model_->Rows().PacketNumber(model_->StoreRow(row));
  const bool kept = frames_ && packetNumber >= 0 && frames_->ReadFrame(packetNumber, frame);
  opener_(title, details, kept ? HexDump(frame.bytes) : std::string());
}

void CRowListView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex hit = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && hit.isValid()) OpenDetails(hit.row());
  CListViewEx::mouseDoubleClickEvent(event);
}

void CRowListView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    const std::string text = SelectedRowsText();
    QApplication::clipboard()->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
    OpenDetails(currentIndex().row());
    return;
  }
  CListViewEx::keyPressEvent(event);
}

std::string CRowListView::SelectedRowsText() const {
  std::vector<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  std::string text;
  if (rows.empty()) return text;
  AppendHeaderLine(text, state_.columns, RowFormat::Tsv);
  for (const int row : rows) AppendRowLine(text, model_->Rows(), model_->StoreRow(row), RowFormat::Tsv);
  return text;
}

bool CRowListView::GoToPacket(std::int64_t packetNumber) {
  const RowStore& rows = model_->Rows();
  const int count = model_->rowCount();
  for (int row = 0; row < count; ++row) {
    if (rows.PacketNumber(model_->StoreRow(row)) != packetNumber) continue;
    const QModelIndex index = model_->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index, QAbstractItemView::PositionAtCenter);
    return true;
  }
  return false;
}

std::int64_t CRowListView::ConnectionOfRow(int row) const {
  if (!state_.columns.IsShown(ColumnId::TcpConnectionNumber)) return 0;
  PacketRow fields;
  // The row shown there, whatever the filter and the order; its Data is not needed.
  if (!model_->Rows().PacketFields(model_->StoreRow(row), fields) || fields.kind != RowKind::Tcp) return 0;
  return fields.connection;
}

std::unique_ptr<QMenu> CRowListView::ContextMenuFor(int row) {
  const std::int64_t connection = ConnectionOfRow(row);
  if (connection <= 0 || !follower_) return nullptr;
  auto menu = std::make_unique<QMenu>(this);
  QAction* follow = menu->addAction(tr("Follow Connection %1").arg(connection));
  follow->setObjectName(QStringLiteral("followConnection"));
  connect(follow, &QAction::triggered, this, [this, connection] { follower_(connection); });
  return menu;
}

void CRowListView::contextMenuEvent(QContextMenuEvent* event) {
  const QModelIndex hit = indexAt(event->pos());
  if (!hit.isValid()) return;
  if (std::unique_ptr<QMenu> menu = ContextMenuFor(hit.row())) menu->exec(event->globalPos());
}

void CRowListView::OpenDetailsDialog(const QString& title, const std::string& details,
                                     const std::string& bytesDump) {
  CPacketDlg dialog(title, details, bytesDump, window());
  dialog.exec();
}
