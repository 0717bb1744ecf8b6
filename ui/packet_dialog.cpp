#include "ui/packet_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QScrollBar>
#include <QTextDocument>
#include <QtMath>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "analysis/packet_row.h"
#include "analysis/process_owner.h"
#include "ui/row_model.h"

namespace {
constexpr std::size_t kHeaderMaxChars = 127;
constexpr std::size_t kCellMaxChars = 1023;

// A text as a "%s" conversion of a fixed buffer would give it: cut to the buffer, and
// ending at the first NUL.
std::string_view Bounded(std::string_view text, std::size_t max) {
  text = text.substr(0, max);
  return text.substr(0, text.find('\0'));
}

// The dialog's layout is given in dialog units: a quarter of the average character width
// across and an eighth of the character height down.
class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& fm) {
    const QString sample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = (fm.horizontalAdvance(sample) / 26 + 1) / 2;
    baseY_ = fm.height();
  }
  int X(int du) const { return du * baseX_ / 4; }
  int Y(int du) const { return du * baseY_ / 8; }
  QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }

 private:
  int baseX_ = 6;
  int baseY_ = 13;
};
}  // namespace

std::string BuildPacketDetails(const RowModel& model, int row) {
  std::string text;
  if (row < 0 || row >= model.rowCount()) return text;
  // The Process line tells the whole owner (its command line too), whether or not the
  // column is shown.
  PacketRow fields;
  const ProcessOwner* owner = model.Rows().PacketFields(model.StoreRow(row), fields) ? fields.owner : nullptr;
  const std::string_view processHeader = ColumnHeader(ColumnId::Process);
  bool processShown = false;
  const auto processLine = [&] {
    text.append(processHeader);
    text.append(": ");
    text.append(Bounded(OwnerDetails(*owner), OwnerCommandLineMost + 2 * kHeaderMaxChars));
    text.append("\r\r\n");
  };
  for (int p = 1; p < model.columnCount(); ++p) {
    const std::string_view header = model.HeaderText(p);
    if (header == processHeader) {
      processShown = true;
      if (owner != nullptr) {
        processLine();
        continue;
      }
    }
    text.append(Bounded(header, kHeaderMaxChars));
    text.append(": ");
    text.append(Bounded(model.CellText(row, p), kCellMaxChars));
    text.append("\r\r\n");
  }
  if (!processShown && owner != nullptr) processLine();
  return text;
}

QString DetailsForDisplay(const std::string& details) {
  // The lines end in CR CR LF; the box wants a plain line feed or it shows the carriage
  // returns as extra blank lines or boxes.
  QString shown;
  shown.reserve(static_cast<qsizetype>(details.size()));
  for (std::size_t i = 0; i < details.size(); ++i) {
    const char c = details[i];
    if (c == '\r') {
      std::size_t j = i;
      while (j < details.size() && details[j] == '\r') ++j;
      if (j < details.size() && details[j] == '\n') {
        i = j - 1;  // the line feed itself comes next
        continue;
      }
    }
    shown.append(QLatin1Char(c));
  }
  return shown;
}

std::string HexDump(std::span<const std::uint8_t> bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string text;
  char offset[24];
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    std::snprintf(offset, sizeof offset, "%04zx ", line);
    text += offset;
    const std::size_t end = std::min(bytes.size(), line + 16);
    for (std::size_t i = line; i < line + 16; ++i) {
      if (i - line == 8) text += ' ';
      if (i < end) {
        text += ' ';
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 0xF];
      } else {
        text += "   ";
      }
    }
    text += "  ";
    for (std::size_t i = line; i < end; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    text += '\n';
  }
  return text;
}

CPacketDlg::CPacketDlg(QString title, std::string details, std::string bytesDump, QWidget* parent)
    : QDialog(parent), title(std::move(title)), details(std::move(details)), bytesDump(std::move(bytesDump)) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setModal(true);

  const DialogUnits du(fontMetrics());

  // The button comes first in the tab order, so it holds the focus when the dialog opens.
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setGeometry(du.Rect(7, 42, 30, 14));
  ok->setDefault(true);
  ok->setAutoDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* copy = new QPushButton(QStringLiteral("Copy"), this);
  copy->setObjectName(QStringLiteral("copy"));
  copy->setGeometry(du.Rect(7, 60, 30, 14));
  copy->setAutoDefault(false);
  connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(ShownText()); });

  detailsEdit = new QPlainTextEdit(this);
  // The byte dump's columns line up only in a fixed-width font, and the box is made wide
  // enough for a whole line of it beside the scroll bar.
  detailsEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  const std::string dumpLine = HexDump(std::array<std::uint8_t, 16>{});
  const int lineWidth =
      QFontMetrics(detailsEdit->font()).horizontalAdvance(QString::fromLatin1(dumpLine.data(), static_cast<qsizetype>(dumpLine.size()) - 1));
  const int editWidth =
      std::max(du.X(220), lineWidth + 2 * (detailsEdit->frameWidth() + qCeil(detailsEdit->document()->documentMargin())) +
                              detailsEdit->verticalScrollBar()->sizeHint().width() + 1);
  detailsEdit->setGeometry(du.X(44), du.Y(7), editWidth, du.Y(250));
  setFixedSize(du.X(44) + editWidth + du.X(7), du.Y(261));
  detailsEdit->setReadOnly(true);
  detailsEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
  detailsEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  detailsEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  detailsEdit->setTabChangesFocus(true);

  // As an icon, so that picture143@2x.png is taken where a pixel is two.
  const QPixmap picture = QIcon(QStringLiteral(":/images/picture143.png")).pixmap(QSize(41, 31), devicePixelRatioF());
  if (!picture.isNull()) {
    auto* label = new QLabel(this);
    label->setFrameStyle(QFrame::Box | QFrame::Plain);
    label->setPixmap(picture);
    const QSize size = picture.deviceIndependentSize().toSize();
    label->setGeometry(QRect(du.X(7), du.Y(7), size.width() + 2, size.height() + 2));
  }

  setWindowTitle(this->title);
  detailsEdit->setPlainText(ShownText());
  ok->setFocus();
}

QString CPacketDlg::ShownText() const {
  QString text = DetailsForDisplay(details);
  if (!bytesDump.empty()) text += QLatin1Char('\n') + QString::fromLatin1(bytesDump.data(), static_cast<qsizetype>(bytesDump.size()));
  return text;
}

CPacketDlg::~CPacketDlg() = default;
