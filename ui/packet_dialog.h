#pragma once
// The packet details dialog: every list column of one row after the first, one line each.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <span>
#include <string>

class QPlainTextEdit;
class RowModel;

// The details text of a row: for each list column after the first, in list order, the
// line "%s: %s\r\r\n" of its header (at most 127 characters) and the row's cell (at most
// 1023 characters). Empty for a row outside the list.
std::string BuildPacketDetails(const RowModel& model, int row);

// Details text as the box shows it: one line per column, no carriage returns.
QString DetailsForDisplay(const std::string& details);

// A frame's bytes as a dump: per 16 bytes a line of the offset (hexadecimal, at least four
// digits), the bytes in hexadecimal (a gap after the eighth) and as ASCII ('.' for any byte
// that is not printable).
std::string HexDump(std::span<const std::uint8_t> bytes);

class CPacketDlg : public QDialog {
  Q_OBJECT

 public:
  // A snapshot: the dialog keeps its own copy of the texts. bytesDump (HexDump of the
  // frame; empty when its frame is not kept) is shown below the details.
  CPacketDlg(QString title, std::string details, std::string bytesDump = {}, QWidget* parent = nullptr);
  ~CPacketDlg() override;

  const QString& Title() const { return title; }
  const std::string& Details() const { return details; }
  QPlainTextEdit* DetailsEdit() const { return detailsEdit; }
  // What the box shows and Copy puts on the clipboard.
  QString ShownText() const;

 private:
  QString title;
  std::string details;
  std::string bytesDump;
  QPlainTextEdit* detailsEdit = nullptr;
};
