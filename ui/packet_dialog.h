#pragma once
// The packet details dialog: every list column of one row after the first, one line each.

#include <QDialog>
#include <QString>
#include <string>

class QPlainTextEdit;
class RowModel;

// The details text of a row: for each list column after the first, in list order, the
// line "%s: %s\r\r\n" of its header (at most 127 characters) and the row's cell (at most
// 1023 characters). Empty for a row outside the list.
std::string BuildPacketDetails(const RowModel& model, int row);

// Details text as the box shows it: one line per column, no carriage returns.
QString DetailsForDisplay(const std::string& details);

class CPacketDlg : public QDialog {
  Q_OBJECT

 public:
  // A snapshot: the dialog keeps its own copy of the texts.
  CPacketDlg(QString title, std::string details, QWidget* parent = nullptr);
  ~CPacketDlg() override;

  const QString& Title() const { return title; }
  const std::string& Details() const { return details; }
  QPlainTextEdit* DetailsEdit() const { return detailsEdit; }

 private:
  QString title;
  std::string details;
  QPlainTextEdit* detailsEdit = nullptr;
};
