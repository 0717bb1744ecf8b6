#include "app/follow_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QVBoxLayout>

#include "analysis/ip_address.h"
#include "app/trace_files.h"

QColor FollowDialog::SideColor(StreamSide side) {
  return side == StreamSide::First ? QColor(0x9c, 0x1c, 0x1c) : QColor(0x1c, 0x3c, 0x9c);
}

namespace {

// "192.168.1.200:80", "[2001:db8::1]:80"
QString EndpointText(const TcpEndpoint& endpoint) {
  const auto& a = endpoint.ip;
  if (endpoint.ipv6) {
    char text[Ipv6TextMost];
    const char* end = PutIpv6Text(text, a);
    return QStringLiteral("[%1]:%2").arg(QString::fromLatin1(text, end - text)).arg(endpoint.port);
  }
  return QStringLiteral("%1.%2.%3.%4:%5").arg(a[0]).arg(a[1]).arg(a[2]).arg(a[3]).arg(endpoint.port);
}

// A segment's payload as text: printable ASCII as it is, a line end (CR LF or LF) as one,
// '.' for any other byte, so HTTP and SMTP read as they were written. The segment's last
// line end is left out: each segment starts a line of its own anyway.
QString PrintablePayload(const std::vector<std::uint8_t>& payload) {
  QString text;
  text.reserve(static_cast<qsizetype>(payload.size()));
  for (std::size_t i = 0; i < payload.size(); ++i) {
    const std::uint8_t b = payload[i];
    if (b == '\r' && i + 1 < payload.size() && payload[i + 1] == '\n') continue;
    if (b == '\n') {
      text += QLatin1Char('\n');
    } else {
      text += b >= 0x20 && b <= 0x7E ? QLatin1Char(static_cast<char>(b)) : QLatin1Char('.');
    }
  }
  if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
  return text;
}

QString DefaultSavePath(QWidget* parent, const QString& caption) {
  return QFileDialog::getSaveFileName(parent, caption, QString(), QObject::tr("All files (*)"));
}

void DefaultShowError(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QObject::tr("Follow Connection"), text, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);  // the path and the reason come from outside
  box.exec();
}

QString Plural(std::int64_t n, const char* one, const char* many) {
  return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

}  // namespace

FollowDialog::FollowDialog(std::int64_t connection, FollowedConnection followed, QWidget* parent)
    : QDialog(parent),
      connection_(connection),
      followed_(std::move(followed)),
      askPath_(DefaultSavePath),
      showError_(DefaultShowError) {
  // The processes at the two ends, where the capture named them.
  QStringList processes;
  for (const std::string& process : {followed_.firstProcess, followed_.secondProcess}) {
    if (!process.empty()) processes << QString::fromUtf8(process.data(), static_cast<qsizetype>(process.size()));
  }
  setWindowTitle(processes.isEmpty() ? tr("Follow Connection %1").arg(connection_)
                                     : tr("Follow Connection %1: %2").arg(connection_).arg(processes.join(tr(" and "))));

  summary_ = new QLabel(this);
  summary_->setTextFormat(Qt::PlainText);
  summary_->setWordWrap(true);

  text_ = new QPlainTextEdit(this);
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  side_ = new QComboBox(this);
  save_ = new QPushButton(tr("Save As..."), this);
  connect(save_, &QPushButton::clicked, this, &FollowDialog::SaveAs);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* saveRow = new QHBoxLayout;
  saveRow->addWidget(side_, 1);
  saveRow->addWidget(save_);
  saveRow->addWidget(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(summary_);
  layout->addWidget(text_, 1);
  layout->addLayout(saveRow);

  FillText();
  resize(760, 520);
}

FollowDialog::~FollowDialog() = default;

void FollowDialog::FillText() {
  QStringList notes;
  notes << Plural(followed_.rows, "frame", "frames") + tr(" in the list");
  if (followed_.framesMissing > 0) {
    notes << tr("%1 no longer kept, their payload is not shown").arg(followed_.framesMissing);
  }
  if (!followed_.stream) {
    summary_->setText(tr("Connection %1: no frame of it is kept (%2).").arg(connection_).arg(notes.join(QStringLiteral("; "))));
    side_->setEnabled(false);
    save_->setEnabled(false);
    return;
  }
  const ConnectionStream& stream = *followed_.stream;
  if (stream.Retransmissions() > 0) notes << Plural(stream.Retransmissions(), "retransmission", "retransmissions") + tr(" shown once");
  const QString first = EndpointText(stream.First());
  const QString second = EndpointText(stream.Second());
  summary_->setText(tr("Connection %1: %2 and %3 (%4).")
                        .arg(connection_)
                        .arg(first, second, notes.join(QStringLiteral("; "))));

  std::int64_t bytes[2] = {0, 0};
  QTextCursor cursor(text_->document());
  bool firstBlock = true;
  for (const StreamSegment& segment : stream.Segments()) {
    QTextCharFormat format;
    format.setForeground(SideColor(segment.side));
    if (!firstBlock) cursor.insertBlock();
    firstBlock = false;
    cursor.insertText(PrintablePayload(segment.payload), format);
    bytes[segment.side == StreamSide::First ? 0 : 1] += static_cast<std::int64_t>(segment.payload.size());
  }
  text_->moveCursor(QTextCursor::Start);

  side_->addItem(tr("%1 \u2192 %2 (%3)").arg(first, second, Plural(bytes[0], "byte", "bytes")));
  side_->addItem(tr("%1 \u2192 %2 (%3)").arg(second, first, Plural(bytes[1], "byte", "bytes")));
  for (int i = 0; i < 2; ++i) side_->setItemData(i, SideColor(i == 0 ? StreamSide::First : StreamSide::Second), Qt::ForegroundRole);
}

void FollowDialog::SaveAs() {
  if (!followed_.stream) return;
  const StreamSide side = side_->currentIndex() == 1 ? StreamSide::Second : StreamSide::First;
  const QString path = askPath_(this, tr("Save %1").arg(side_->currentText()));
  if (path.isEmpty()) return;
  const std::vector<std::uint8_t> bytes = followed_.stream->Bytes(side);
  QString error;
  if (!SaveBytes(path, bytes, &error)) showError_(this, error);
}
