#pragma once
// The filter bar's edit: it colours itself as the expression is typed (green: it compiles,
// red: it does not), keeps the last expressions applied (the drop-down beside it and the
// Up and Down keys walk through them), and Esc empties it.

#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <functional>

class QToolButton;

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
