#include "app/help_window.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(tr("Orrisvane Help"));
  browser_ = new QTextBrowser(this);
  browser_->setOpenExternalLinks(false);

  auto* contents = new QPushButton(tr("&Contents"), this);
  auto* back = new QPushButton(tr("&Back"), this);
  auto* close = new QPushButton(tr("Close"), this);
  back->setEnabled(false);
  connect(contents, &QPushButton::clicked, this, [this] { browser_->setSource(QUrl(QString::fromLatin1(HelpContentsPage))); });
  connect(back, &QPushButton::clicked, browser_, &QTextBrowser::backward);
  connect(browser_, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
  connect(close, &QPushButton::clicked, this, &QWidget::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(contents);
  buttons->addWidget(back);
  buttons->addStretch(1);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(buttons);
  layout->addWidget(browser_);
  resize(640, 520);
}

void HelpWindow::ShowPage(const QUrl& page) {
  browser_->setSource(page);
  show();
  raise();
  activateWindow();
}
