#pragma once
// The settings sheet: three tabs that edit copies of the column flags, the log settings
// and the adapter index, and hand them back only when the user presses OK.
//
// Each page copies its control values into its members when the user leaves it and when
// OK is pressed; a page the user never opened keeps the values copied in from the state.

#include <QDialog>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/columns.h"
#include "capture/trace/capture_environment.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTimer;

// Shows a message to the user (a modal message box in the program).
using ReportErrorFn = std::function<void(const std::string& message)>;
// Asks for the log file; returns the whole chosen path, or an empty string on cancel.
using LogPathDialogFn = std::function<QString(QWidget* parent)>;

// Control identifiers of the pages, kept as the controls' object names ("1019", ...).
namespace settings_control {
inline constexpr int SaveToFile = 1000;
inline constexpr int LogPath = 1001;
inline constexpr int Browse = 1002;
inline constexpr int AdapterList = 1023;
inline constexpr int Description = 1024;
inline constexpr int MacAddress = 1025;
inline constexpr int CaptureFilter = 1026;
inline constexpr int SpoolLimit = 1040;
inline constexpr int RemoteHosts = 1027;
inline constexpr int HostsState = 1028;
inline constexpr int KeepOwnSession = 1029;
inline constexpr int AlsoCaptureOn = 1030;
inline constexpr int HoldBack = 1031;
}  // namespace settings_control

// The longest log file path the settings keep, in bytes of its 8-bit form.
inline constexpr int MaxLogFilePathLength = static_cast<int>(LogFilePathSize) - 1;
inline constexpr char LogPathTooLongMessage[] =
    "The log file path is longer than 511 characters and was not taken; the previous path is kept.";
inline constexpr char AdapterAddressKeptMessage[] =
    "The MAC address of the new adapter could not be read; the previous address is kept.";

// Common part of the three pages: whether the user has opened it yet, and the moves
// between controls and members.
class SettingsPage : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
  bool WasShown() const { return shown_; }
  // First time the page comes up: members into controls, plus any page set-up.
  void Activate();
  // Controls into members; false when a value was refused (the member is then unchanged).
  virtual bool SaveControls() = 0;

 protected:
  virtual void Initialise() = 0;

 private:
  bool shown_ = false;
};

// "Column Headings": one check box per optional column.
class CPPReport : public SettingsPage {
  Q_OBJECT
 public:
  static constexpr int BoxCount = 21;
  struct Box {
    int controlId;
    const char* label;
    ColumnId column;
  };
  // The boxes in member order.
  static const std::array<Box, BoxCount>& Boxes();

  explicit CPPReport(QWidget* parent = nullptr);

  // Members in the order of Boxes(): 1 when the column is to be shown.
  std::array<std::int32_t, BoxCount> values{};
  // "Keep at most N rows".
  std::int64_t keepRows = MostKeptRows;
  static constexpr int KeepRowsControl = 1028;
  // "Decode IPv6": 1 when IPv6 frames get their addresses and upper-layer cells.
  std::int32_t decodeIpv6 = 0;
  static constexpr int DecodeIpv6Control = 1029;

  void CopyFrom(const ColumnSet& columns);
  // Packet Number plus every column whose member is set; positions assigned; and the
  // IPv6 choice.
  void CopyTo(ColumnSet& columns) const;

  bool SaveControls() override;
  QCheckBox* CheckBox(int controlId) const;
  QSpinBox* KeepRowsBox() const { return keepRowsBox_; }
  QCheckBox* DecodeIpv6Box() const { return decodeIpv6Box_; }

 protected:
  void Initialise() override;

 private:
  std::array<QCheckBox*, BoxCount> boxes_{};
  QSpinBox* keepRowsBox_ = nullptr;
  QCheckBox* decodeIpv6Box_ = nullptr;
};

// "Log": the save-to-file flag and the log file path; and how much of the trace's frames
// is kept on disk (MiB).
class CPPLog : public SettingsPage {
  Q_OBJECT
 public:
  CPPLog(ReportErrorFn reportError, LogPathDialogFn askPath, QWidget* parent = nullptr);

  std::int32_t saveToFile = 0;
  std::string path;
  std::int32_t spoolLimitMiB = 4096;

  bool SaveControls() override;
  // The "..." button.
  void Browse();

  QCheckBox* SaveToFileBox() const { return saveBox_; }
  QLineEdit* PathEdit() const { return pathEdit_; }
  QPushButton* BrowseButton() const { return browse_; }
  QSpinBox* SpoolLimitBox() const { return spoolLimit_; }

 protected:
  void Initialise() override;

 private:
  void LoadControls();
  // Takes a new path if it fits; otherwise reports and keeps the old one.
  bool TakePath(const QString& text);

  ReportErrorFn reportError_;
  LogPathDialogFn askPath_;
  QCheckBox* saveBox_ = nullptr;
  QLineEdit* pathEdit_ = nullptr;
  QPushButton* browse_ = nullptr;
  QSpinBox* spoolLimit_ = nullptr;
};

// "Adapter": the adapters found, with the chosen one's description and MAC address.
class CPPAdapter : public SettingsPage {
  Q_OBJECT
 public:
  CPPAdapter(std::int32_t storedIndex, const CaptureEnvironment& env, ReportErrorFn reportError,
             QWidget* parent = nullptr);

  std::int32_t adapterIndex = 0;
  // The interface name of the adapter at adapterIndex (empty when the list does not say).
  std::string adapterName;
  // The station address ShowDetails read for adapterIndex; empty when it could not, and
  // then addressFailure holds the device's reason (empty when it gave none).
  std::optional<std::array<std::uint8_t, 6>> stationAddress;
  std::string addressFailure;
  // The capture filter: taken from its box only when it compiles.
  std::string captureFilter;
  // The remote hosts, blank-separated: taken from their box only when each is a
  // destination ssh can be given.
  std::string remoteHosts;
  // Whether a remote capture lists the frames of its own ssh session too.
  bool keepOwnSession = false;
  // The adapters a trace takes besides the chosen one, by interface name ("Also capture
  // on:"), and how long it holds frames back for the others' earlier ones.
  std::vector<std::string> moreAdapters;
  // Their own capture filters, by interface name: taken from the box beside each checked
  // adapter when it is not empty and compiles; an adapter without one takes captureFilter.
  std::map<std::string, std::string> adapterFilters;
  std::int32_t holdBackMs = 200;

  // The index lives in the page, not in a control: it changes only through ShowDetails.
  // A filter that does not compile is reported with libpcap's reason and not taken.
  bool SaveControls() override;

  void FillList();
  void ShowDetails();

  QComboBox* AdapterList() const { return list_; }
  QLabel* DescriptionText() const { return description_; }
  QLabel* MacAddressText() const { return mac_; }
  QLineEdit* CaptureFilterEdit() const { return filter_; }
  QLineEdit* RemoteHostsEdit() const { return hosts_; }
  QCheckBox* KeepOwnSessionBox() const { return keepSession_; }
  // "Also capture on:": a box for each listed adapter that has an interface name, in list
  // order; the chosen adapter's is checked and disabled.
  const std::vector<QCheckBox*>& AlsoCaptureOnBoxes() const { return alsoBoxes_; }
  // The filter box beside each of them, in the same order; enabled while its adapter is
  // checked (never for the chosen adapter, which has the capture filter above).
  const std::vector<QLineEdit*>& AlsoCaptureOnFilters() const { return alsoFilters_; }
  QSpinBox* HoldBackBox() const { return holdBack_; }
  // "listing web1..." while a host is being listed, then each host that was left out and why.
  QLabel* HostsStateText() const { return hostsState_; }
  // Whether a listing is still under way (tests wait for it).
  bool Listing() const { return !pending_.empty(); }

 protected:
  void Initialise() override;

 private:
  std::int32_t storedIndex_;
  const CaptureEnvironment& env_;
  ReportErrorFn reportError_;
  QComboBox* list_ = nullptr;
  QLabel* description_ = nullptr;
  QLabel* mac_ = nullptr;
  QLineEdit* filter_ = nullptr;
  QLineEdit* hosts_ = nullptr;
  QLabel* hostsState_ = nullptr;
  QCheckBox* keepSession_ = nullptr;
  QGroupBox* alsoOn_ = nullptr;
  std::vector<QCheckBox*> alsoBoxes_;
  std::vector<QLineEdit*> alsoFilters_;
  QSpinBox* holdBack_ = nullptr;
  // The boxes again after the list changed; the names checked stay checked.
  void FillAlsoCaptureOn();
  void TakeAlsoCaptureOn();

  // Hosts are listed on threads of their own; their results wait in the box until the
  // page's timer takes them (on this thread) into the remote hosts and the list.
  struct ListingBox;
  bool TakeHosts();
  void StartListing();
  void TakeListings();
  void ShowHostsState();
  std::shared_ptr<ListingBox> box_;
  QTimer* listingTimer_ = nullptr;
  std::vector<std::string> pending_;
  std::vector<std::pair<std::string, std::string>> hostFailures_;
};

inline constexpr char CaptureFilterRefusedMessage[] = "The capture filter was not taken: ";
inline constexpr char RemoteHostRefusedMessage[] = "The remote hosts were not taken: ";

// The station address as the adapter page shows it: "00:A0:C9:12:34:56\n".
std::string FormatStationAddress(const std::uint8_t mac[6]);

// The save dialog behind the "..." button: "QuorvelLog.txt", default suffix "txt", asks
// before overwriting; returns the whole path, or empty when cancelled.
QString AskLogFilePath(QWidget* parent);

class SettingsSheet : public QDialog {
  Q_OBJECT
 public:
  static constexpr int ReportTab = 0, LogTab = 1, AdapterTab = 2;

  // Copies the values in from state. askLogPath replaces the file dialog (tests).
  SettingsSheet(const CaptureState& state, const CaptureEnvironment& env, ReportErrorFn reportError,
                QWidget* parent = nullptr, LogPathDialogFn askLogPath = AskLogFilePath);

  // Returned by ApplyTo when the adapter changed but its station address could not be read.
  struct KeptAddress {
    std::string reason;  // the device's, empty when it gave none
  };

  // After OK: the column flags (PacketNumber always shown) with positions assigned, the
  // adapter index, the save-to-file flag and the log path. When the adapter changed, the
  // station address the adapter page read for it replaces adapterMac, so the title and the
  // direction of every frame follow the new adapter; when the page could not read one,
  // adapterMac stays and the result says so (the caller tells the user). Does nothing
  // unless the sheet ended with OK. The caller then rebuilds the list's columns and the
  // title.
  std::optional<KeptAddress> ApplyTo(CaptureState& state) const;

  QTabWidget* Tabs() const { return tabs_; }
  CPPReport& ReportPage() const { return *report_; }
  CPPLog& LogPage() const { return *log_; }
  CPPAdapter& AdapterPage() const { return *adapter_; }

  // OK: the current page's values into its members; a refused value keeps the sheet open.
  void accept() override;

 private:
  void PageChanged(int index);
  SettingsPage* Page(int index) const;

  QTabWidget* tabs_ = nullptr;
  CPPReport* report_ = nullptr;
  CPPLog* log_ = nullptr;
  CPPAdapter* adapter_ = nullptr;
  int current_ = ReportTab;
};
