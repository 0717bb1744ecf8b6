#pragma once
// The program's help: its own HTML pages, compiled in, shown in a window of their own.

#include <QUrl>
#include <QWidget>

class QTextBrowser;

inline constexpr char HelpContentsPage[] = "qrc:/help/index.html";

class HelpWindow : public QWidget {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);
  // Shows the page (a qrc: URL) and brings the window to the front.
  void ShowPage(const QUrl& page);
  QTextBrowser* Browser() const { return browser_; }

 private:
  QTextBrowser* browser_;
};
