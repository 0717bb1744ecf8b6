// Text from outside (device reasons, adapter descriptions, file names) shown in message
// boxes and panes stays plain text: markup in it is shown as typed, never interpreted.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <vector>

#include "app/main_frame.h"

namespace {

const QString Markup = QStringLiteral("eth0 <b>bold</b> <img src=\"file:///etc/passwd\"> <a href=\"x\">link</a> &amp;");

TEST(PlainTextGarbage, MessageBoxesShowMarkupAsTyped) {
  std::vector<std::pair<QString, Qt::TextFormat>> labels;
  bool seen = false;
  // The box is modal: look at it from inside its own event loop, then close it.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen = true;
    for (QLabel* label : box->findChildren<QLabel*>())
      if (!label->text().isEmpty()) labels.emplace_back(label->text(), label->textFormat());
    box->done(QMessageBox::Ok);
  });
  MessageBoxPresenter presenter;
  presenter.Show(nullptr, "The log file " + Markup + " could not be opened.", "reason: " + Markup);
  ASSERT_TRUE(seen);

  bool text = false, informative = false;
  for (const auto& [shown, format] : labels) {
    SCOPED_TRACE(shown.toStdString());
    EXPECT_EQ(format, Qt::PlainText);
    text |= shown == "The log file " + Markup + " could not be opened.";
    informative |= shown == "reason: " + Markup;
  }
  EXPECT_TRUE(text);
  EXPECT_TRUE(informative);
}

TEST(PlainTextGarbage, StatusPanesShowMarkupAsTyped) {
  StatusPane pane(Markup);
  EXPECT_EQ(pane.textFormat(), Qt::PlainText);
  pane.setText(QStringLiteral("<h1>big</h1>"));
  EXPECT_EQ(pane.textFormat(), Qt::PlainText);
}

}  // namespace
