#include "app/filter_bar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <optional>
#include <string_view>

#include "analysis/row_filter.h"
#include "ui/row_model.h"

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

FilterBar::FilterBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("filterBar"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(2, 2, 2, 2);
  auto* edit = new FilterBarEdit(
      [](const QString& text) {
        const QByteArray expression = text.toLatin1();
        FilterError error;
        return RowFilter::Compile(std::string_view(expression.constData(), static_cast<std::size_t>(expression.size())),
                                  &error)
            .has_value();
      },
      this);
  edit->setObjectName(QStringLiteral("filterEdit"));
  edit->setPlaceholderText(tr("Filter the rows, e.g. conn == 12 or port 53 (Ctrl+F; Enter applies, Esc clears)"));
  edit->setClearButtonEnabled(true);
  edit->setWhatsThis(tr("An expression that chooses the rows the list shows. Enter applies it, Esc clears it."));
  edit->onEscape = [this, edit] {
    // While the list is being filtered or sorted, Esc drops that first.
    if (model_->ViewChanging()) {
      model_->CancelViewChange();
      return;
    }
    edit->clear();
    Apply(QString());
  };
  connect(edit, &QLineEdit::returnPressed, this, [this, edit] { Apply(edit->text()); });
  edit_ = edit;
  message_ = new QLabel(this);
  message_->setObjectName(QStringLiteral("filterMessage"));
  // The message quotes what was typed: never markup.
  message_->setTextFormat(Qt::PlainText);
  message_->setStyleSheet(QStringLiteral("color: #b00000"));
  row->addWidget(edit, 1);
  row->addWidget(edit->HistoryButton());
  row->addWidget(message_);
}

void FilterBar::ViewChangeEnded(bool applied) {
  if (applied) {
    shownFilter_ = askedFilter_;
  } else {
    // Dropped: the bar shows the filter the list still applies.
    askedFilter_ = shownFilter_;
    edit_->setText(shownFilter_);
  }
}

bool FilterBar::Apply(const QString& text) {
  if (edit_->text() != text) edit_->setText(text);
  const QByteArray expression = text.toLatin1();
  const std::string_view view(expression.constData(), static_cast<std::size_t>(expression.size()));
  std::optional<RowFilter> filter;
  if (!text.trimmed().isEmpty()) {
    FilterError error;
    filter = RowFilter::Compile(view, &error);
    if (!filter) {
      message_->setText(QString::fromStdString(error.Message(view.size())));
      message_->setVisible(true);
      return false;
    }
  }
  message_->clear();
  message_->setVisible(false);
  edit_->Remember(text);
  // A large list is filtered while the window goes on; ViewChangeEnded follows.
  askedFilter_ = text;
  model_->SetFilter(std::move(filter));
  return true;
}
