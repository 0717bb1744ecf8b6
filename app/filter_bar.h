#pragma once
// The filter bar above the list, and its edit. The edit it colours itself as the expression is typed (green: it compiles,
// red: it does not), keeps the last expressions applied (the drop-down beside it and the
// Up and Down keys walk through them), and Esc empties it.

#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

class QLabel;
class QToolButton;
class RowModel;

class FilterBarEdit : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int HistoryLength = 20;

  // valid: whether a non-empty text is an expression that compiles.
  FilterBarEdit(std::function<bool(const QString&)> valid, QWidget* parent = nullptr);

  std::function<void()> onEscape;

  // An expression applied: first in the history, each expression once.
  void Remember(const QString& expression);
  // Newest first.
  const QStringList& History() const { return history_; }
  // The drop-down button that offers the history; picking one applies it (returnPressed).
  QToolButton* HistoryButton() const { return historyButton_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowValidity();
  void Recall(int place);

  std::function<bool(const QString&)> valid_;
  QStringList history_;
  // The history entry the Up and Down keys show (-1: the text typed, kept in typed_).
  int place_ = -1;
  QString typed_;
  QToolButton* historyButton_ = nullptr;
};

// The bar: the edit, its history button and the message why the last expression was
// refused. It sets the list's filter and knows which filter the list shows and which was
// asked for last (they differ while it is being applied).
class FilterBar : public QWidget {
  Q_OBJECT

 public:
  explicit FilterBar(QWidget* parent = nullptr);
  // The list whose filter the bar sets; set before the bar is used.
  void SetModel(RowModel* model) { model_ = model; }

  // Sets the edit's text and applies it, as Enter does; false (with the message shown)
  // when the expression has a mistake.
  bool Apply(const QString& text);
  // The list's view change ended; a dropped one puts back the filter the list still shows.
  void ViewChangeEnded(bool applied);

  // The expression asked for last (empty: none), applied or being applied.
  QString AskedFilter() const { return askedFilter_; }
  FilterBarEdit* Edit() const { return edit_; }
  QLabel* Message() const { return message_; }

 private:
  RowModel* model_ = nullptr;
  FilterBarEdit* edit_ = nullptr;
  QLabel* message_ = nullptr;
  QString shownFilter_;
  QString askedFilter_;
};
