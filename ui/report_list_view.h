#pragma once
// The report list: a table view that paints its rows itself (full-row highlight carried
// to the right edge, cell texts shortened with "..."), and the program's list of frames.

#include <QColor>
#include <QString>
#include <QTableView>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/cell_text.h"

class CaptureState;
class FrameSource;
class RowModel;
class QMenu;
class QPainter;

class CListViewEx : public QTableView {
  Q_OBJECT

 public:
  explicit CListViewEx(QWidget* parent = nullptr);
  ~CListViewEx() override;

  bool FullRowSelect() const { return fullRowSelect; }
  bool ExtendHighlight() const { return extendHighlight; }
  int ClientWidth() const { return clientWidth; }
  QColor TextBackColor() const { return textBackColor; }
  // Fill colour of unselected rows (also the list's base colour).
  void SetTextBackColor(const QColor& color);

  // Repaints the rows whose look depends on whether the list has the focus.
  void InvalidateSelectedRows();

 protected:
  // Paints one row whole into rowRect (viewport coordinates, the row's height).
  virtual void DrawItem(QPainter& painter, int row, const QRect& rowRect);
  // The 8-bit text of one cell, cut to DrawTextMaxChars, into out (reused by the caller).
  // The default reads the model's display text.
  virtual void CellText(int row, int column, std::string& out) const;

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool viewportEvent(QEvent* event) override;

  bool fullRowSelect = false;
  // Selected rows look selected also while another window has the focus.
  bool showSelAlways = false;
  bool extendHighlight = true;
  int clientWidth = 0;
  QColor textBackColor;

 private:
  int MeasureText(std::string_view text) const;
  void ResetCharWidths();
  QRect AllCellsRect(const QRect& rowRect) const;
  // Every row has the header's default height, so where a row lies is a product: the
  // header itself adds the heights of all its rows up again after rows came, which a
  // repaint of a following list would pay each time for a list of millions.
  int RowAtY(int y, int rows) const;  // -1 above or below the rows
  int RowTop(int row) const;

  // Per-character advances of the list's font: measuring a prefix is then a sum, which
  // keeps shortening long texts cheap while scrolling.
  std::array<int, 256> charWidths_{};
  // Drawing reuses these buffers, so painting a row allocates nothing once warm.
  std::string cellText_;
  std::string fitted_;
  CellTextPainter cellPainter_;
  std::function<int(std::string_view)> measure_;
  std::vector<Qt::Alignment> columnAlign_;  // per list column, refreshed each paint
};

class CRowListView : public CListViewEx {
  Q_OBJECT

 public:
  // Shows the packet details of a row: caption and the text of BuildPacketDetails.
  // bytesDump: HexDump of the row's frame, empty when its frame is not kept.
  using DetailsOpener =
      std::function<void(const QString& title, const std::string& details, const std::string& bytesDump)>;

  // Reads state.columns whenever the columns are (re)built; the state must outlive the view.
  explicit CRowListView(CaptureState& state, QWidget* parent = nullptr);
  ~CRowListView() override;

  RowModel& Model() { return *model_; }
  const RowModel& Model() const { return *model_; }

  // Columns from the column set, all of equal width: the view's outer width divided by
  // the number of shown columns, and the row limit from the state. Removes every row.
  void InsertColumns();
  // Removes every row and every column.
  void RemoveColumns();
  // A click on the header of a list column: ascending, descending, capture order.
  void CycleSort(int column);
  // The header's sort mark: the sort asked for last (the view's once a change is dropped).
  void ShowSortIndicator();

  // Replaces the modal packet details dialog (tests).
  void SetDetailsOpener(DetailsOpener opener);
  // Where the details read a row's frame, by the row's packet number; may be null.
  void SetFrameSource(const FrameSource* frames) { frames_ = frames; }

  // Follows a TCP connection: the context menu's "Follow Connection N" calls it with N.
  using ConnectionFollower = std::function<void(std::int64_t connection)>;
  void SetConnectionFollower(ConnectionFollower follower) { follower_ = std::move(follower); }
  // The TCP connection number of a row while that column is shown; 0 for any other row.
  std::int64_t ConnectionOfRow(int row) const;
  // The context menu of a row: "Follow Connection N" on a row of connection N, otherwise
  // nothing (null).
  std::unique_ptr<QMenu> ContextMenuFor(int row);

  // The details of a shown row, as a double-click or Enter on it opens them.
  void OpenDetails(int row);
  // The selected rows as Save writes them: the header line of the shown columns, then one
  // tab-separated line per row, in the order shown. Ctrl+C puts it on the clipboard.
  std::string SelectedRowsText() const;
  // Selects the row of that packet number and scrolls it into sight; false when the list
  // does not show it (filtered out, left the list, not yet captured).
  bool GoToPacket(std::int64_t packetNumber);

 protected:
  void CellText(int row, int column, std::string& out) const override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void rowsAboutToBeRemoved(const QModelIndex& parent, int first, int last) override;

 private:
  void OpenDetailsDialog(const QString& title, const std::string& details, const std::string& bytesDump);

  CaptureState& state_;
  RowModel* model_;  // owned through Qt parenthood
  DetailsOpener opener_;
  const FrameSource* frames_ = nullptr;
  ConnectionFollower follower_;
  // The last row was in sight after the user's last scroll: new rows are followed.
  bool atEnd_ = true;
  // Rows are leaving the list, and the scroll value they leave the view at (-1: none).
  bool removing_ = false;
  int keptValue_ = -1;
  // The store row and column of the selected current row while the model resets (-1: none).
  std::int64_t keptRow_ = -1;
  int keptColumn_ = 0;
};
