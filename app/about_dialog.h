#pragma once
// The About box: the program's picture, its version and an OK button.

#include <QDialog>

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

inline constexpr char AboutCaption[] = "About Orrisvane";
inline constexpr char AboutVersionText[] = "Orrisvane Version 1.81";
inline constexpr char AboutPicture[] = ":/images/picture143.png";
