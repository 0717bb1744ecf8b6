#pragma once
// A window of traffic totals (Connections, Endpoints, Protocols): a table sortable by
// every column, a filter box in the display filter language, Copy (Ctrl+C) and Save As
// (tab-separated text, or CSV for a name ending in .csv), written as Save writes. It does
// not block the main window; its owner refreshes the table while it is shown.

#include <QString>
#include <QWidget>
#include <functional>

class FilterBarEdit;
class QLabel;
class QTableView;
class StatsProxyModel;
class StatsTableModel;

class StatsWindow : public QWidget {
  Q_OBJECT

 public:
  // model stays its owner's; it must outlive the window.
  StatsWindow(const QString& title, StatsTableModel& model, QWidget* parent = nullptr);

  // Applies a filter expression, as Enter in the filter box does; an expression with a
  // mistake is refused with its place shown beside the box, and the table stays as it was.
  bool ApplyFilter(const QString& text);
  // The selected rows (every row shown when none is selected) as Copy puts them on the
  // clipboard: the header line, then one tab-separated line per row, in the order shown.
  QString CopyText() const;
  // Writes every row shown, in the order shown, to path; a failure leaves the file as it
  // was and is told with the reason.
  bool SaveTo(const QString& path);

  QTableView* Table() const { return table_; }
  StatsProxyModel& Proxy() const { return *proxy_; }
  QLabel* FilterMessage() const { return message_; }

  using PathAsker = std::function<QString(QWidget*)>;
  using ErrorShower = std::function<void(QWidget*, const QString&)>;
  void SetSavePathAsker(PathAsker asker) { askPath_ = std::move(asker); }
  void SetErrorShower(ErrorShower shower) { showError_ = std::move(shower); }

 signals:
  // A double-click (or Enter) on a row; the row is the model's, not the sorted table's.
  void rowActivated(int modelRow);

 private:
  void SaveAs();

  StatsTableModel& model_;
  StatsProxyModel* proxy_ = nullptr;
  QTableView* table_ = nullptr;
  FilterBarEdit* filter_ = nullptr;
  QLabel* message_ = nullptr;
  bool fitted_ = false;  // the columns were fitted to the first rows
  PathAsker askPath_;
  ErrorShower showError_;
};
