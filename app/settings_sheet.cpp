#include "app/settings_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "analysis/mac_text.h"
#include "capture/devices/capture_filter.h"
#include "capture/devices/agent_device.h"
#include "capture/driver/driver_client.h"
#include "capture/remote/remote_adapters.h"
#include "capture/remote/ssh_command.h"
#include "app/settings_store.h"

namespace {

constexpr std::uint32_t DescriptionBufferSize = 1520;

QString ControlName(int id) { return QString::number(id); }

// Outside texts (registry descriptions, device answers) are 8-bit; never markup.
QLabel* PlainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

std::string FormatMessage(const char* format, const char* argument) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, argument);
  return buffer;
}

}  // namespace

// ---------------------------------------------------------------------------------------

void SettingsPage::Activate() {
  if (shown_) return;
  shown_ = true;
  Initialise();
}

// ---------------------------------------------------------------------------------------

const std::array<CPPReport::Box, CPPReport::BoxCount>& CPPReport::Boxes() {
  static const std::array<Box, BoxCount> boxes = {{
      {1019, "Data", ColumnId::Data},
      {1009, "Destination IP Address", ColumnId::IpDestination},
      {1008, "Source IP Address", ColumnId::IpSource},
      {1010, "Upper Layer Protocol", ColumnId::UpperLayerProtocol},
      {1004, "Destination MAC Address", ColumnId::MacDestination},
      {1006, "IEEE 802.3 Length", ColumnId::Ieee8023Length},
      {1005, "Protocol", ColumnId::Protocol},
      {1003, "Source MAC Address", ColumnId::MacSource},
      {1007, "Packet Size", ColumnId::Bytes},
      {1016, "Acknowledgement Num.", ColumnId::TcpAcknowledgementNumber},
      {1012, "Checksum", ColumnId::TcpChecksum},
      {1020, "Connection Number", ColumnId::TcpConnectionNumber},
      {1014, "Destination Port", ColumnId::TcpDestinationPort},
      {1017, "Flags", ColumnId::TcpFlags},
      {1015, "Sequence Number", ColumnId::TcpSequenceNumber},
      {1013, "Source Port", ColumnId::TcpSourcePort},
      {1011, "Window", ColumnId::TcpWindow},
      {1018, "Winsock Function Calls", ColumnId::WinsockFunction},
      {1026, "Incoming/Outgoing", ColumnId::InOut},
      {1027, "Time", ColumnId::Time},
      {1030, "Process", ColumnId::Process},
  }};
  return boxes;
}

CPPReport::CPPReport(QWidget* parent) : SettingsPage(parent) {
  setObjectName("131");
  const auto& table = Boxes();
  for (int i = 0; i < BoxCount; ++i) {
    boxes_[i] = new QCheckBox(QString::fromLatin1(table[i].label), this);
    boxes_[i]->setObjectName(ControlName(table[i].controlId));
  }
  // The boxes stand in their groups top to bottom as the dialog template places them.
  auto group = [this](const char* title, std::initializer_list<int> ids) {
    auto* box = new QGroupBox(QString::fromLatin1(title), this);
    auto* column = new QVBoxLayout(box);
    for (int id : ids) column->addWidget(CheckBox(id));
    column->addStretch();
    return box;
  };
  QGroupBox* ethernet = group("Ethernet Packet Fields", {1003, 1004, 1005, 1006, 1007});
  QGroupBox* ip = group("IP Packet Fields", {1008, 1009, 1010});
  QGroupBox* tcp = group("TCP/UDP Packet Fields",
                         {1013, 1014, 1015, 1016, 1017, 1011, 1012, 1019, 1020});

  auto* left = new QVBoxLayout;
  left->addWidget(ethernet, 65);
  left->addWidget(ip, 45);
  auto* grid = new QGridLayout(this);
  grid->addLayout(left, 0, 0);
  grid->addWidget(tcp, 0, 1);
  grid->addWidget(CheckBox(1026), 1, 0);
  grid->addWidget(CheckBox(1018), 1, 1);
  grid->addWidget(CheckBox(1027), 2, 0);
  decodeIpv6Box_ = new QCheckBox(QStringLiteral("Decode IPv6"), this);
  decodeIpv6Box_->setObjectName(ControlName(DecodeIpv6Control));
  grid->addWidget(decodeIpv6Box_, 2, 1);
  grid->addWidget(CheckBox(1030), 3, 0);

  // The bound of the list: past it the oldest rows leave it (the log file still gets them).
  keepRowsBox_ = new QSpinBox(this);
  keepRowsBox_->setObjectName(ControlName(KeepRowsControl));
  keepRowsBox_->setRange(static_cast<int>(FewestKeptRows), static_cast<int>(MostKeptRows));
  keepRowsBox_->setGroupSeparatorShown(true);
  keepRowsBox_->setSingleStep(100000);
  auto* keepRow = new QHBoxLayout;
  keepRow->addWidget(PlainLabel(QStringLiteral("Keep at most"), this));
  keepRow->addWidget(keepRowsBox_, 1);
  keepRow->addWidget(PlainLabel(QStringLiteral("rows"), this));
  grid->addLayout(keepRow, 4, 0, 1, 2);
  grid->setRowStretch(5, 1);
}

QCheckBox* CPPReport::CheckBox(int controlId) const {
  const auto& table = Boxes();
  for (int i = 0; i < BoxCount; ++i)
    if (table[i].controlId == controlId) return boxes_[i];
  return nullptr;
}

void CPPReport::CopyFrom(const ColumnSet& columns) {
  const auto& table = Boxes();
  for (int i = 0; i < BoxCount; ++i) values[i] = columns.IsShown(table[i].column) ? 1 : 0;
  decodeIpv6 = columns.decodeIpv6 ? 1 : 0;
}

void CPPReport::CopyTo(ColumnSet& columns) const {
  columns.shown.fill(0);
  columns.shown[static_cast<int>(ColumnId::PacketNumber)] = 1;
  const auto& table = Boxes();
  for (int i = 0; i < BoxCount; ++i)
    if (values[i] != 0) columns.shown[static_cast<int>(table[i].column)] = 1;
  columns.AssignColumnPositions();
  columns.decodeIpv6 = decodeIpv6 != 0;
}

void CPPReport::Initialise() {
  for (int i = 0; i < BoxCount; ++i) boxes_[i]->setChecked(values[i] != 0);
  keepRowsBox_->setValue(static_cast<int>(std::clamp(keepRows, FewestKeptRows, MostKeptRows)));
  decodeIpv6Box_->setChecked(decodeIpv6 != 0);
}

bool CPPReport::SaveControls() {
  for (int i = 0; i < BoxCount; ++i) values[i] = boxes_[i]->isChecked() ? 1 : 0;
  keepRows = keepRowsBox_->value();
  decodeIpv6 = decodeIpv6Box_->isChecked() ? 1 : 0;
  return true;
}

// ---------------------------------------------------------------------------------------

namespace {

// A check box with its text to the left of the box, right-aligned against it. The style is
// handed a mirrored layout, box on the right; the painter keeps the widget's own direction,
// so the text reads as written.
class LeftTextCheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter painter(this);
    painter.drawControl(QStyle::CE_CheckBox, MirroredOption());
  }
  bool hitButton(const QPoint& pos) const override {
    const QStyleOptionButton option = MirroredOption();
    return style()->subElementRect(QStyle::SE_CheckBoxClickRect, &option, this).contains(pos);
  }

 private:
  QStyleOptionButton MirroredOption() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    option.direction = layoutDirection() == Qt::LeftToRight ? Qt::RightToLeft : Qt::LeftToRight;
    return option;
  }
};

}  // namespace

CPPLog::CPPLog(ReportErrorFn reportError, LogPathDialogFn askPath, QWidget* parent)
    : SettingsPage(parent), reportError_(std::move(reportError)), askPath_(std::move(askPath)) {
  setObjectName("107");
  auto* group = new QGroupBox(QStringLiteral("Log File"), this);
  saveBox_ = new LeftTextCheckBox(QStringLiteral("Save to File:"), group);
  saveBox_->setObjectName(ControlName(settings_control::SaveToFile));
  pathEdit_ = new QLineEdit(group);
  pathEdit_->setObjectName(ControlName(settings_control::LogPath));
  browse_ = new QPushButton(QStringLiteral("..."), group);
  browse_->setObjectName(ControlName(settings_control::Browse));
  browse_->setAutoDefault(false);
  browse_->setFixedWidth(browse_->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 16);

  auto* pathRow = new QHBoxLayout;
  pathRow->setSpacing(0);
  pathRow->addWidget(pathEdit_, 1);
  pathRow->addWidget(browse_);
  auto* inner = new QVBoxLayout(group);
  inner->addSpacing(12);
  inner->addWidget(saveBox_, 0, Qt::AlignLeft);
  inner->addSpacing(8);
  inner->addLayout(pathRow);
  inner->addStretch();

  // The frames of a trace go to the cache folder, a ring of files within this much.
  auto* frames = new QGroupBox(QStringLiteral("Frames on Disk"), this);
  spoolLimit_ = new QSpinBox(frames);
  spoolLimit_->setObjectName(ControlName(settings_control::SpoolLimit));
  spoolLimit_->setRange(1, 1 << 30);
  spoolLimit_->setSuffix(QStringLiteral(" MiB"));
  spoolLimit_->setToolTip(QStringLiteral("The oldest frames leave past this size, or before the disk is full."));
  auto* limitRow = new QHBoxLayout(frames);
  limitRow->addWidget(new QLabel(QStringLiteral("Keep at most:"), frames));
  limitRow->addWidget(spoolLimit_, 1);

  auto* outer = new QVBoxLayout(this);
  outer->addSpacing(30);
  outer->addWidget(group);
  outer->addWidget(frames);
  outer->addStretch();

  connect(browse_, &QPushButton::clicked, this, &CPPLog::Browse);
}

void CPPLog::Initialise() { LoadControls(); }

void CPPLog::LoadControls() {
  saveBox_->setChecked(saveToFile != 0);
  pathEdit_->setText(QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())));
  spoolLimit_->setValue(spoolLimitMiB);
}

bool CPPLog::TakePath(const QString& text) {
  const QByteArray bytes = QFile::encodeName(text);
  if (bytes.size() > MaxLogFilePathLength) {
    if (reportError_) reportError_(LogPathTooLongMessage);
    return false;
  }
  path.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return true;
}

bool CPPLog::SaveControls() {
  saveToFile = saveBox_->isChecked() ? 1 : 0;
  spoolLimitMiB = spoolLimit_->value();
  if (TakePath(pathEdit_->text())) return true;
  // The refused text would otherwise sit in the box looking as if it were kept.
  LoadControls();
  return false;
}

void CPPLog::Browse() {
  // An edited flag or path must survive the dialog, whatever the user does in it.
  SaveControls();
  const QString chosen = askPath_ ? askPath_(this) : QString();
  if (chosen.isEmpty()) return;
  TakePath(chosen);
  LoadControls();
}

QString AskLogFilePath(QWidget* parent) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  dialog.setDirectory(QDir::homePath());
  dialog.selectFile(QStringLiteral("QuorvelLog.txt"));
  // Overwriting asks first: QFileDialog does so unless told otherwise.
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

// ---------------------------------------------------------------------------------------

std::string FormatStationAddress(const std::uint8_t mac[6]) { return MacText(mac) + "\n"; }

CPPAdapter::CPPAdapter(std::int32_t storedIndex, const CaptureEnvironment& env, ReportErrorFn reportError,
                       QWidget* parent)
    : SettingsPage(parent),
      adapterIndex(storedIndex),
      storedIndex_(storedIndex),
      env_(env),
      reportError_(std::move(reportError)) {
  setObjectName("132");
  auto* group = new QGroupBox(QStringLiteral("Network Adapter"), this);
  list_ = new QComboBox(group);
  list_->setObjectName(ControlName(settings_control::AdapterList));
  list_->setEditable(false);
  list_->setMaxVisibleItems(5);
  description_ = PlainLabel(QString(), group);
  description_->setObjectName(ControlName(settings_control::Description));
  mac_ = PlainLabel(QString(), group);
  mac_->setObjectName(ControlName(settings_control::MacAddress));
  for (QLabel* text : {description_, mac_}) {
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  }

  auto* grid = new QGridLayout(group);
  grid->addWidget(list_, 0, 0, 1, 2);
  grid->addWidget(PlainLabel(QStringLiteral("Description:"), group), 1, 0, Qt::AlignRight | Qt::AlignTop);
  grid->addWidget(description_, 1, 1);
  grid->addWidget(PlainLabel(QStringLiteral("MAC Address:"), group), 2, 0, Qt::AlignRight | Qt::AlignTop);
  grid->addWidget(mac_, 2, 1);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(3, 1);

  // Which of the adapter's frames are listed: a BPF expression such as "tcp port 80".
  filter_ = new QLineEdit(this);
  filter_->setObjectName(ControlName(settings_control::CaptureFilter));
  filter_->setPlaceholderText(QStringLiteral("every frame"));
  auto* filterLabel = PlainLabel(QStringLiteral("Capture filter:"), this);
  filterLabel->setBuddy(filter_);
  auto* filterRow = new QHBoxLayout;
  filterRow->addWidget(filterLabel);
  filterRow->addWidget(filter_, 1);

  // Other machines' adapters, listed over ssh: "capture@web1 root@10.0.0.5".
  hosts_ = new QLineEdit(this);
  hosts_->setObjectName(ControlName(settings_control::RemoteHosts));
  hosts_->setPlaceholderText(QStringLiteral("none: ssh destinations such as capture@web1"));
  auto* hostsLabel = PlainLabel(QStringLiteral("Remote hosts:"), this);
  hostsLabel->setBuddy(hosts_);
  auto* hostsRow = new QHBoxLayout;
  hostsRow->addWidget(hostsLabel);
  hostsRow->addWidget(hosts_, 1);
  keepSession_ = new QCheckBox(QStringLiteral("Keep own ssh session"), this);
  keepSession_->setObjectName(ControlName(settings_control::KeepOwnSession));
  keepSession_->setToolTip(QStringLiteral("List the frames of the ssh session a remote capture runs through; "
                                          "without it the agent on the host leaves them out"));
  hostsState_ = PlainLabel(QString(), this);
  hostsState_->setObjectName(ControlName(settings_control::HostsState));
  hostsState_->setWordWrap(true);
  connect(hosts_, &QLineEdit::editingFinished, this, [this] {
    if (TakeHosts()) StartListing();
  });
  listingTimer_ = new QTimer(this);
  listingTimer_->setInterval(100);
  connect(listingTimer_, &QTimer::timeout, this, &CPPAdapter::TakeListings);

  // More adapters for the same trace, local or remote: their frames are merged in time order.
  alsoOn_ = new QGroupBox(QStringLiteral("Also capture on:"), this);
  alsoOn_->setObjectName(ControlName(settings_control::AlsoCaptureOn));
  // A grid, so that the filter boxes line up whatever the adapters' descriptions.
  auto* alsoGrid = new QGridLayout(alsoOn_);
  alsoGrid->setColumnStretch(1, 1);
  holdBack_ = new QSpinBox(this);
  holdBack_->setObjectName(ControlName(settings_control::HoldBack));
  holdBack_->setRange(FewestHoldBackMs, MostHoldBackMs);
  holdBack_->setSuffix(QStringLiteral(" ms"));
  holdBack_->setToolTip(QStringLiteral("How long a frame of one adapter waits for earlier frames of the others "
                                       "before it is listed"));
  auto* holdBackRow = new QHBoxLayout;
  holdBackRow->addWidget(PlainLabel(QStringLiteral("Hold frames back for order at most"), this));
  holdBackRow->addWidget(holdBack_);
  holdBackRow->addStretch();

  auto* outer = new QVBoxLayout(this);
  outer->addSpacing(30);
  outer->addWidget(group);
  outer->addWidget(alsoOn_);
  outer->addLayout(holdBackRow);
  outer->addLayout(filterRow);
  outer->addLayout(hostsRow);
  outer->addWidget(keepSession_);
  outer->addWidget(hostsState_);
  outer->addStretch();
}

struct CPPAdapter::ListingBox {
  std::mutex mutex;
  std::vector<HostListing> done;  // under mutex
};

bool CPPAdapter::TakeHosts() {
  const std::vector<std::string> hosts = SplitHosts(hosts_->text().toStdString());
  for (const std::string& host : hosts) {
    if (std::optional<std::string> why = HostError(host)) {
      if (reportError_) reportError_(RemoteHostRefusedMessage + *why);
      return false;
    }
  }
  const std::string text = JoinHosts(hosts);
  const bool changed = text != remoteHosts;
  remoteHosts = text;
  if (changed && env_.remoteHosts) {
    env_.remoteHosts->SetHosts(hosts);
    // The adapters of a host taken off leave the list at once.
    const int chosen = list_->currentIndex();
    FillList();
    if (chosen >= 0 && chosen < list_->count()) list_->setCurrentIndex(chosen);
  }
  return true;
}

void CPPAdapter::StartListing() {
  if (!env_.remoteHosts) return;
  // A new box for each round: answers of an earlier round land in a box nobody reads.
  box_ = std::make_shared<ListingBox>();
  pending_ = env_.remoteHosts->Hosts();
  hostFailures_.clear();
  for (const std::string& host : pending_) {
    // Detached: a host that does not answer is given up by the listing itself, and a page
    // closed meanwhile must not wait for it.
    std::thread([box = box_, host] {
      HostListing listing = ListHostAdapters(host);
      std::lock_guard lock(box->mutex);
      box->done.push_back(std::move(listing));
    }).detach();
  }
  ShowHostsState();
  if (!pending_.empty()) listingTimer_->start();
}

void CPPAdapter::TakeListings() {
  std::vector<HostListing> done;
  {
    std::lock_guard lock(box_->mutex);
    done.swap(box_->done);
  }
  if (done.empty()) return;
  for (HostListing& listing : done) {
    std::erase(pending_, listing.host);
    if (!listing.failure.empty()) hostFailures_.emplace_back(listing.host, listing.failure);
    env_.remoteHosts->Store(std::move(listing));
  }
  if (pending_.empty()) listingTimer_->stop();
  // The new entries come after the ones shown: a choice made stays where it is. An
  // adapter stored before its host was listed is chosen once it appears.
  const int chosen = list_->currentIndex();
  FillList();
  if (chosen >= 0 && chosen < list_->count()) {
    list_->setCurrentIndex(chosen);
  } else if (list_->currentIndex() >= 0) {
    ShowDetails();
  }
  ShowHostsState();
  if (env_.remoteHosts->TellLeftOut() && reportError_) {
    const auto [count, host] = env_.remoteHosts->LeftOut();
    reportError_(std::to_string(count) + " remote adapter" + (count == 1 ? " is" : "s are") + " left out (from " +
                 host + " on): the adapter list holds " + std::to_string(DetailAdapterLimit) + " adapters.");
  }
}

void CPPAdapter::ShowHostsState() {
  QStringList lines;
  for (const std::string& host : pending_) lines << QString::fromStdString("listing " + host + "...");
  for (const auto& [host, why] : hostFailures_) lines << QString::fromStdString(host + " left out: " + why);
  hostsState_->setText(lines.join(QLatin1Char('\n')));
}

bool CPPAdapter::SaveControls() {
  const std::string text = filter_->text().toStdString();
  if (std::optional<std::string> why = CaptureFilterError(text)) {
    if (reportError_) reportError_(CaptureFilterRefusedMessage + *why);
    return false;
  }
  for (std::size_t i = 0; i < alsoBoxes_.size(); ++i) {
    if (!alsoFilters_[i]->isEnabled()) continue;
    const std::string own = alsoFilters_[i]->text().toStdString();
    if (std::optional<std::string> why = own.empty() ? std::nullopt : CaptureFilterError(own)) {
      if (reportError_)
        reportError_("The capture filter of " + alsoBoxes_[i]->property("interfaceName").toString().toStdString() +
                     " was not taken: " + *why);
      return false;
    }
  }
  if (!TakeHosts()) return false;
  captureFilter = text;
  keepOwnSession = keepSession_->isChecked();
  TakeAlsoCaptureOn();
  holdBackMs = holdBack_->value();
  return true;
}

void CPPAdapter::TakeAlsoCaptureOn() {
  for (std::size_t i = 0; i < alsoBoxes_.size(); ++i) {
    const QCheckBox* box = alsoBoxes_[i];
    if (!box->isEnabled()) continue;  // the chosen adapter
    const std::string name = box->property("interfaceName").toString().toStdString();
    const auto at = std::find(moreAdapters.begin(), moreAdapters.end(), name);
    if (box->isChecked() && at == moreAdapters.end()) moreAdapters.push_back(name);
    if (!box->isChecked() && at != moreAdapters.end()) moreAdapters.erase(at);
    const std::string own = alsoFilters_[i]->text().toStdString();
    if (box->isChecked() && !own.empty()) {
      adapterFilters[name] = own;
    } else {
      adapterFilters.erase(name);
    }
  }
}

void CPPAdapter::FillAlsoCaptureOn() {
  TakeAlsoCaptureOn();
  for (QCheckBox* box : alsoBoxes_) delete box;
  for (QLineEdit* filter : alsoFilters_) delete filter;
  alsoBoxes_.clear();
  alsoFilters_.clear();
  AdapterEntry entries[DetailAdapterLimit];
  std::uint32_t count = 0;
  if (!EnumerateAdapters(env_.registry, entries, DetailAdapterLimit, &count)) count = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string name = entries[i].interfaceName;
    if (name.empty()) continue;  // only a name finds an adapter again
    auto* box = new QCheckBox(QString::fromLocal8Bit(entries[i].description), alsoOn_);
    box->setProperty("interfaceName", QString::fromStdString(name));
    const bool chosen = static_cast<std::int32_t>(i) == adapterIndex;
    box->setChecked(chosen || std::find(moreAdapters.begin(), moreAdapters.end(), name) != moreAdapters.end());
    box->setEnabled(!chosen);
    auto* filter = new QLineEdit(alsoOn_);
    const auto own = adapterFilters.find(name);
    filter->setText(QString::fromStdString(own == adapterFilters.end() || chosen ? std::string() : own->second));
    filter->setPlaceholderText(QStringLiteral("as the capture filter"));
    filter->setToolTip(QStringLiteral("This adapter's own capture filter; empty: the capture filter below"));
    filter->setEnabled(!chosen && box->isChecked());
    connect(box, &QCheckBox::toggled, filter, [filter, chosen](bool on) { filter->setEnabled(on && !chosen); });
    auto* grid = static_cast<QGridLayout*>(alsoOn_->layout());
    const int row = static_cast<int>(alsoBoxes_.size());
    grid->addWidget(box, row, 0);
    grid->addWidget(filter, row, 1);
    alsoBoxes_.push_back(box);
    alsoFilters_.push_back(filter);
  }
}

void CPPAdapter::Initialise() {
  filter_->setText(QString::fromStdString(captureFilter));
  hosts_->setText(QString::fromStdString(remoteHosts));
  keepSession_->setChecked(keepOwnSession);
  holdBack_->setValue(holdBackMs);
  FillList();
  ShowDetails();
  connect(list_, &QComboBox::currentIndexChanged, this, [this](int) { ShowDetails(); });
  // The hosts are listed afresh each time the page comes up: adapters come and go.
  StartListing();
}

void CPPAdapter::FillList() {
  adapterIndex = storedIndex_;
  AdapterEntry entries[DetailAdapterLimit];
  std::uint32_t count = 0;
  const QSignalBlocker quiet(list_);
  list_->clear();
  if (!EnumerateAdapters(env_.registry, entries, AdapterChoiceLimit(env_.registry), &count) || count == 0) {
    list_->addItem(QStringLiteral("No adapters found!"));
  } else {
    for (std::uint32_t i = 0; i < count; ++i) list_->addItem(QString::fromLocal8Bit(entries[i].description));
  }
  // A list position is an adapter index; an index without an entry selects nothing.
  list_->setCurrentIndex(adapterIndex >= 0 && adapterIndex < list_->count() ? adapterIndex : -1);
}

void CPPAdapter::ShowDetails() {
  TakeAlsoCaptureOn();
  adapterIndex = list_->currentIndex();
  if (adapterIndex < 0 || adapterIndex > HighestAdapterIndex) adapterIndex = 0;
  FillAlsoCaptureOn();
  // An address read for an adapter chosen before must never pass for this one's.
  stationAddress.reset();
  addressFailure.clear();
  adapterName.clear();

  AdapterEntry entries[DetailAdapterLimit];
  std::uint32_t count = 0;
  if (!EnumerateAdapters(env_.registry, entries, DetailAdapterLimit, &count) || count == 0) return;

  // entries[] holds 15 zero-filled records, so an index past the adapters found names
  // the empty key, which no device binds.
  const char* keyName = entries[adapterIndex].keyName;
  adapterName = entries[adapterIndex].interfaceName;
  if (SplitRemoteKey(keyName)) {
    // What the host's list said: opening a remote adapter would hold the page up for an
    // ssh connection.
    std::optional<RemoteAdapter> remote = env_.remoteHosts ? env_.remoteHosts->Find(keyName) : std::nullopt;
    description_->setText(QString::fromLocal8Bit(entries[adapterIndex].description));
    const auto mac = remote ? ParseStationAddress(remote->mac) : std::nullopt;
    if (mac) {
      mac_->setText(QString::fromLatin1(FormatStationAddress(mac->data())));
      stationAddress = *mac;
    } else {
      mac_->setText(QString());
      addressFailure = "the host gave no MAC address for " + std::string(keyName);
    }
    return;
  }
  AdapterPtr adapter = OpenAdapter(env_.devices, keyName, &addressFailure);
  if (!adapter) {
    if (reportError_) reportError_(FormatMessage("Adapter %s open failed.\n", keyName));
    return;
  }

  char description[DescriptionBufferSize] = {};
  std::uint32_t returned = 0;
  if (QueryDescription(adapter.get(), description, sizeof description, &returned)) {
    description[sizeof description - 1] = 0;
    description_->setText(QString::fromLocal8Bit(description));
  }
  std::array<std::uint8_t, 6> mac{};
  if (GetAddress(adapter.get(), mac.data(), mac.size(), &returned)) {
    mac_->setText(QString::fromLatin1(FormatStationAddress(mac.data())));
    stationAddress = mac;
  } else {
    addressFailure = adapter->lastError;
  }
  CloseAdapter(std::move(adapter));
}

// ---------------------------------------------------------------------------------------

SettingsSheet::SettingsSheet(const CaptureState& state, const CaptureEnvironment& env,
                             ReportErrorFn reportError, QWidget* parent, LogPathDialogFn askLogPath)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Orrisvane Settings"));
  setModal(true);

  report_ = new CPPReport;
  report_->CopyFrom(state.columns);
  report_->keepRows = state.keepRows;
  log_ = new CPPLog(reportError, std::move(askLogPath));
  log_->saveToFile = state.saveLog != 0 ? 1 : 0;
  log_->path = state.logFilePath;
  log_->spoolLimitMiB = state.spoolLimitMiB;
  adapter_ = new CPPAdapter(state.adapterIndex, env, reportError);
  adapter_->captureFilter = state.captureFilter;
  adapter_->remoteHosts = state.remoteHosts;
  adapter_->keepOwnSession = state.keepOwnSession;
  adapter_->moreAdapters = state.moreAdapters;
  adapter_->adapterFilters = state.adapterFilters;
  adapter_->holdBackMs = state.holdBackMs;

  tabs_ = new QTabWidget(this);
  tabs_->addTab(report_, QStringLiteral("Column Headings"));
  tabs_->addTab(log_, QStringLiteral("Log"));
  tabs_->addTab(adapter_, QStringLiteral("Adapter"));
  tabs_->setCurrentIndex(ReportTab);
  report_->Activate();
  connect(tabs_, &QTabWidget::currentChanged, this, &SettingsSheet::PageChanged);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &SettingsSheet::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SettingsSheet::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);
}

SettingsPage* SettingsSheet::Page(int index) const {
  switch (index) {
    case ReportTab: return report_;
    case LogTab: return log_;
    case AdapterTab: return adapter_;
    default: return nullptr;
  }
}

void SettingsSheet::PageChanged(int index) {
  if (SettingsPage* left = Page(current_); left && left->WasShown()) left->SaveControls();
  current_ = index;
  if (SettingsPage* page = Page(index)) page->Activate();
}

void SettingsSheet::accept() {
  SettingsPage* page = Page(current_);
  if (page && page->WasShown() && !page->SaveControls()) return;
  QDialog::accept();
}

std::optional<SettingsSheet::KeptAddress> SettingsSheet::ApplyTo(CaptureState& state) const {
  if (result() != QDialog::Accepted) return std::nullopt;
  report_->CopyTo(state.columns);
  state.keepRows = report_->keepRows;
  std::optional<KeptAddress> kept;
  // The index changes only through the page, so a changed index means the page read the
  // new adapter just now. The same adapter again keeps the address the probe read.
  if (adapter_->adapterIndex != state.adapterIndex) {
    state.adapterName = adapter_->adapterName;
    if (adapter_->stationAddress)
      state.adapterMac = *adapter_->stationAddress;
    else
      kept = KeptAddress{adapter_->addressFailure};
  }
  state.adapterIndex = adapter_->adapterIndex;
  state.saveLog = log_->saveToFile;
  state.logFilePath = log_->path;
  state.spoolLimitMiB = log_->spoolLimitMiB;
  state.captureFilter = adapter_->captureFilter;
  state.remoteHosts = adapter_->remoteHosts;
  state.keepOwnSession = adapter_->keepOwnSession;
  state.moreAdapters = adapter_->moreAdapters;
  // The chosen adapter is in every trace; naming it again would open it twice.
  std::erase(state.moreAdapters, state.adapterName);
  state.adapterFilters = adapter_->adapterFilters;
  std::erase_if(state.adapterFilters, [&state](const auto& entry) {
    return std::find(state.moreAdapters.begin(), state.moreAdapters.end(), entry.first) == state.moreAdapters.end();
  });
  state.holdBackMs = adapter_->holdBackMs;
  if (!state.moreAdapters.empty()) ShowInterfaceColumn(state.columns);
  return kept;
}
