#include "app/filter_bar.h"

#include <QKeyEvent>
#include <QMenu>
#include <QToolButton>

FilterBarEdit::FilterBarEdit(std::function<bool(const QString&)> valid, QWidget* parent)
    : QLineEdit(parent), valid_(std::move(valid)) {
  connect(this, &QLineEdit::textChanged, this, [this] { ShowValidity(); });
  // Typing leaves the history: Up starts again from the newest expression.
  connect(this, &QLineEdit::textEdited, this, [this] { place_ = -1; });

  historyButton_ = new QToolButton(parent);
  historyButton_->setObjectName(QStringLiteral("filterHistory"));
  historyButton_->setArrowType(Qt::DownArrow);
  historyButton_->setToolTip(tr("The last expressions applied (Up and Down in the bar)"));
  historyButton_->setPopupMode(QToolButton::InstantPopup);
  auto* menu = new QMenu(historyButton_);
  historyButton_->setMenu(menu);
  historyButton_->setEnabled(false);
  connect(menu, &QMenu::aboutToShow, this, [this, menu] {
    menu->clear();
    for (const QString& expression : history_) {
      QAction* pick = menu->addAction(expression);
      connect(pick, &QAction::triggered, this, [this, expression] {
        setText(expression);
        emit returnPressed();
      });
    }
  });
}

void FilterBarEdit::Remember(const QString& expression) {
  if (expression.trimmed().isEmpty()) return;
  history_.removeAll(expression);
  history_.prepend(expression);
  while (history_.size() > HistoryLength) history_.removeLast();
  place_ = -1;
  historyButton_->setEnabled(true);
}

void FilterBarEdit::ShowValidity() {
  const QString text = this->text();
  if (text.trimmed().isEmpty()) {
    setStyleSheet(QString());
    return;
  }
  // Light enough that the text and the selection stay readable on either.
  setStyleSheet(valid_ && valid_(text) ? QStringLiteral("QLineEdit { background: #c8f0c8; color: black; }")
                                       : QStringLiteral("QLineEdit { background: #f6c4c4; color: black; }"));
}

void FilterBarEdit::Recall(int place) {
  if (place < -1 || place >= history_.size()) return;
  if (place_ == -1) typed_ = text();
  place_ = place;
  setText(place == -1 ? typed_ : history_[place]);
}

void FilterBarEdit::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      if (onEscape) {
        onEscape();
        return;
      }
      break;
    case Qt::Key_Up:
      Recall(place_ + 1);
      return;
    case Qt::Key_Down:
      Recall(place_ - 1);
      return;
    default:
      break;
  }
  QLineEdit::keyPressEvent(event);
}
