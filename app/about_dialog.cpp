#include "app/about_dialog.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace {

// The box is laid out in dialog units, which follow the font: a unit is a quarter of the
// average character width across and an eighth of the line height down.
struct DialogUnits {
  explicit DialogUnits(const QFontMetrics& metrics)
      : x(metrics.averageCharWidth()), y(metrics.height()) {}
  QRect operator()(int left, int top, int width, int height) const {
    return QRect(left * x / 4, top * y / 8, width * x / 4, height * y / 8);
  }
  int x, y;
};

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromLatin1(AboutCaption));
  const DialogUnits du(fontMetrics());

  auto* picture = new QLabel(this);
  picture->setObjectName("picture");
  picture->setFrameShape(QFrame::Box);
  picture->setPixmap(QPixmap(QString::fromLatin1(AboutPicture)));
  picture->setAlignment(Qt::AlignCenter);
  const QRect pictureRect = du(7, 7, 29, 20);
  // Never smaller than the picture with its border.
  picture->setGeometry(pictureRect.united(QRect(pictureRect.topLeft(), QSize(43, 33))));

  auto* version = new QLabel(QString::fromLatin1(AboutVersionText), this);
  version->setObjectName("version");
  version->setTextFormat(Qt::PlainText);
  version->move(du(40, 10, 0, 0).topLeft());
  version->adjustSize();

  auto* ok = new QPushButton(tr("OK"), this);
  ok->setObjectName("ok");
  ok->setDefault(true);
  ok->setGeometry(du(185, 50, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du(0, 0, 252, 71).size().expandedTo(
      QSize(version->geometry().right() + 12, ok->geometry().bottom() + 8)));
}
