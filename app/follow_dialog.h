#pragma once
// Follow Connection: the payload of one TCP connection, both sides in capture order, one
// segment per block in the colour of its side, and Save As... for either side's bytes.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

#include "analysis/connection_stream.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class FollowDialog : public QDialog {
  Q_OBJECT

 public:
  // Where the chosen side is saved (empty: cancelled), and how a failed save is told.
  using SavePathAsker = std::function<QString(QWidget* parent, const QString& caption)>;
  using ErrorShower = std::function<void(QWidget* parent, const QString& text)>;

  FollowDialog(std::int64_t connection, FollowedConnection followed, QWidget* parent = nullptr);
  ~FollowDialog() override;

  // Tests replace the file dialog and the message box.
  void SetSavePathAsker(SavePathAsker asker) { askPath_ = std::move(asker); }
  void SetErrorShower(ErrorShower shower) { showError_ = std::move(shower); }

  QPlainTextEdit* TextView() const { return text_; }
  QLabel* Summary() const { return summary_; }
  // The side Save As... writes: item 0 the first endpoint's bytes, item 1 the second's.
  QComboBox* SideChoice() const { return side_; }
  QPushButton* SaveButton() const { return save_; }
  // The colour a side's segments are shown in.
  static QColor SideColor(StreamSide side);

 public slots:
  // Asks for a file and writes the chosen side's bytes there; a failure is shown with the
  // reason, and an existing file stays as it was.
  void SaveAs();

 private:
  void FillText();

  std::int64_t connection_;
  FollowedConnection followed_;
  SavePathAsker askPath_;
  ErrorShower showError_;
  QLabel* summary_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  QComboBox* side_ = nullptr;
  QPushButton* save_ = nullptr;
};
