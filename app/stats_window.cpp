#include "app/stats_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "analysis/row_filter.h"
#include "app/filter_bar.h"
#include "app/trace_files.h"
#include "ui/stats_models.h"

namespace {

std::optional<RowFilter> Compile(const QString& text, FilterError* error) {
  return RowFilter::Compile(text.toStdString(), error);
}

}  // namespace

StatsWindow::StatsWindow(const QString& title, StatsTableModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model) {
  setWindowTitle(title);
  askPath_ = [this](QWidget* owner) {
    return QFileDialog::getSaveFileName(owner, tr("Save As"), QString(),
                                        tr("Text (*.txt);;CSV (*.csv);;All files (*)"));
  };
  showError_ = [this](QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);  // the path and the reason come from outside
    box.exec();
  };

  filter_ = new FilterBarEdit([](const QString& text) {
    FilterError error;
    return Compile(text, &error).has_value();
  }, this);
  filter_->setPlaceholderText(tr("Display filter (Enter applies it)"));
  filter_->onEscape = [this] { ApplyFilter(QString()); };
  connect(filter_, &QLineEdit::returnPressed, this, [this] { ApplyFilter(filter_->text()); });
  message_ = new QLabel(this);
  message_->setTextFormat(Qt::PlainText);

  proxy_ = new StatsProxyModel(this);
  proxy_->setSourceModel(&model_);
  table_ = new QTableView(this);
  table_->setModel(proxy_);
  table_->setSortingEnabled(true);
  table_->sortByColumn(-1, Qt::AscendingOrder);  // the order the rows were counted in, until a header is clicked
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  // Widths fitted to the header and the first rows, once: fitting at every refresh would
  // measure every row of a long table twice a second.
  table_->horizontalHeader()->setResizeContentsPrecision(100);
  table_->resizeColumnsToContents();
  connect(&model_, &QAbstractItemModel::rowsInserted, this, [this] {
    if (fitted_) return;
    fitted_ = true;
    table_->resizeColumnsToContents();
  });
  connect(table_, &QTableView::activated, this,
          [this](const QModelIndex& index) { emit rowActivated(proxy_->mapToSource(index).row()); });

  auto* copy = new QAction(tr("&Copy"), this);
  copy->setShortcut(QKeySequence::Copy);
  copy->setShortcutContext(Qt::WindowShortcut);
  connect(copy, &QAction::triggered, this, [this] { QApplication::clipboard()->setText(CopyText()); });
  addAction(copy);
  auto* copyButton = new QPushButton(tr("Copy"), this);
  connect(copyButton, &QPushButton::clicked, copy, &QAction::trigger);
  auto* save = new QPushButton(tr("Save As..."), this);
  connect(save, &QPushButton::clicked, this, &StatsWindow::SaveAs);

  auto* filterRow = new QHBoxLayout;
  filterRow->addWidget(filter_, 1);
  filterRow->addWidget(filter_->HistoryButton());
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(message_, 1);
  buttons->addWidget(copyButton);
  buttons->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(filterRow);
  layout->addWidget(table_, 1);
  layout->addLayout(buttons);
  resize(fontMetrics().averageCharWidth() * 200, fontMetrics().height() * 30);
}

bool StatsWindow::ApplyFilter(const QString& text) {
  filter_->setText(text);
  if (text.trimmed().isEmpty()) {
    proxy_->SetFilter(std::nullopt);
    message_->clear();
    return true;
  }
  FilterError error;
  std::optional<RowFilter> filter = Compile(text, &error);
  if (!filter) {
    message_->setText(QString::fromStdString(error.Message(static_cast<std::size_t>(text.toStdString().size()))));
    return false;
  }
  filter_->Remember(text);
  message_->clear();
  proxy_->SetFilter(std::move(filter));
  return true;
}

QString StatsWindow::CopyText() const {
  std::vector<int> rows;
  for (const QModelIndex& index : table_->selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return TableText(*proxy_, false, rows.empty() ? nullptr : &rows);
}

bool StatsWindow::SaveTo(const QString& path) {
  const QByteArray bytes = TableText(*proxy_, path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)).toUtf8();
  QString error;
  if (SaveBytes(path, {reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())},
                &error)) {
    return true;
  }
  showError_(this, error);
  return false;
}

void StatsWindow::SaveAs() {
  const QString path = askPath_(this);
  if (!path.isEmpty()) SaveTo(path);
}
