// The settings sheet's copy-in and copy-out, its adapter page and its log page, driven
// without exec(): tabs are switched and OK/Cancel pressed as the user would.

#include "app/settings_sheet.h"

#include <QCheckBox>
#include <QSpinBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/remote/remote_adapters.h"
#include "capture/remote/ssh_command.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_device.h"
#include "tests/support/memory_registry.h"

namespace {

using ::testing::StartsWith;

class SettingsSheetTest : public ::testing::Test {
 protected:
  SettingsSheetTest() {
    RegisterFakeDevice(devices, script);
    state.columns = ColumnSet::Startup();
    state.saveLog = 1;
    state.logFilePath = "c:\\QuorvelLogFile.txt";
  }

  void AddAdapters(int count) {
    for (int i = 0; i < count; ++i) {
      char key[12];
      std::snprintf(key, sizeof key, "%04d", i);
      registry.AddAdapter(key, ("eth" + std::to_string(i) + " (virtio_net)").c_str());
    }
  }

  std::unique_ptr<SettingsSheet> MakeSheet() {
    return std::make_unique<SettingsSheet>(
        state, env, [this](const std::string& m) { messages.push_back(m); }, nullptr,
        [this](QWidget*) { ++dialogsShown; return chosenPath; });
  }

  // Key names the device was asked to bind, in order.
  std::vector<std::string> BoundKeys() {
    std::vector<std::string> keys;
    for (const auto& call : script->Calls())
      if (call.code == request_code::Bind) keys.emplace_back(call.input.begin(), call.input.end());
    return keys;
  }

  MemoryRegistry registry;
  DeviceTable devices;
  std::shared_ptr<FakeDeviceScript> script = std::make_shared<FakeDeviceScript>();
  CaptureEnvironment env{devices, registry};
  CaptureState state;
  std::vector<std::string> messages;
  QString chosenPath;
  int dialogsShown = 0;
};

bool SameColumns(const ColumnSet& a, const ColumnSet& b) {
  for (int i = 0; i < ColumnCount; ++i) {
    if (a.shown[i] != b.shown[i]) return false;
    if (a.shown[i] && a.position[i] != b.position[i]) return false;
  }
  return true;
}

TEST_F(SettingsSheetTest, SheetHasThreeTabsInOrderWithTheFirstSelected) {
  AddAdapters(1);
  auto sheet = MakeSheet();
  EXPECT_EQ(sheet->windowTitle(), "Orrisvane Settings");
  EXPECT_TRUE(sheet->isModal());
  ASSERT_EQ(sheet->Tabs()->count(), 3);
  EXPECT_EQ(sheet->Tabs()->tabText(0), "Column Headings");
  EXPECT_EQ(sheet->Tabs()->tabText(1), "Log");
  EXPECT_EQ(sheet->Tabs()->tabText(2), "Adapter");
  EXPECT_EQ(sheet->Tabs()->currentIndex(), 0);
  // The adapter page reaches the device only once the user opens it.
  EXPECT_EQ(script->opens.size(), 0u);
}

TEST_F(SettingsSheetTest, CheckBoxesStandInTheirGroups) {
  auto sheet = MakeSheet();
  CPPReport& page = sheet->ReportPage();
  const std::pair<const char*, std::vector<int>> groups[] = {
      {"Ethernet Packet Fields", {1003, 1004, 1005, 1006, 1007}},
      {"IP Packet Fields", {1008, 1009, 1010}},
      {"TCP/UDP Packet Fields", {1011, 1012, 1013, 1014, 1015, 1016, 1017, 1019, 1020}},
      {nullptr, {1018, 1026, 1027, 1030}},
  };
  for (const auto& [title, ids] : groups) {
    for (int id : ids) {
      SCOPED_TRACE(id);
      ASSERT_NE(page.CheckBox(id), nullptr);
      auto* group = qobject_cast<QGroupBox*>(page.CheckBox(id)->parentWidget());
      EXPECT_EQ(group ? group->title().toStdString() : "", title ? title : "");
    }
  }
  EXPECT_EQ(page.findChildren<QCheckBox*>().size(), 22);  // and "Decode IPv6"
  EXPECT_EQ(page.CheckBox(1027)->text(), "Time");
  EXPECT_EQ(page.CheckBox(1016)->text(), "Acknowledgement Num.");
  EXPECT_EQ(page.CheckBox(1026)->text(), "Incoming/Outgoing");

  sheet->show();  // offscreen: lays the page out
  auto above = [&](int upper, int lower) {
    return page.CheckBox(upper)->mapTo(&page, QPoint(0, 0)).y() <
           page.CheckBox(lower)->mapTo(&page, QPoint(0, 0)).y();
  };
  EXPECT_TRUE(above(1003, 1004));  // Source MAC above Destination MAC
  EXPECT_TRUE(above(1006, 1007));  // IEEE 802.3 Length above Packet Size
  EXPECT_TRUE(above(1008, 1009));
  EXPECT_TRUE(above(1019, 1020));  // Data above Connection Number
  EXPECT_TRUE(above(1013, 1011));  // Source Port above Window
  EXPECT_TRUE(above(1007, 1008));  // the Ethernet group above the IP group
  EXPECT_TRUE(above(1010, 1026));  // the loose boxes below the groups
  EXPECT_TRUE(above(1020, 1018));
  EXPECT_TRUE(above(1026, 1027));  // Time below Incoming/Outgoing
  EXPECT_LT(page.CheckBox(1003)->mapTo(&page, QPoint(0, 0)).x(),
            page.CheckBox(1013)->mapTo(&page, QPoint(0, 0)).x());  // TCP/UDP group on the right
  sheet->hide();
}

TEST_F(SettingsSheetTest, BoxesStartFromTheShownColumns) {
  state.columns = ColumnSet::FromText("10100000000000000011");  // InOut, WinsockFunction, Data
  auto sheet = MakeSheet();
  CPPReport& page = sheet->ReportPage();
  for (const auto& box : CPPReport::Boxes()) {
    SCOPED_TRACE(box.label);
    EXPECT_EQ(page.CheckBox(box.controlId)->isChecked(), state.columns.IsShown(box.column));
  }
}

TEST_F(SettingsSheetTest, ClearingEveryBoxLeavesPacketNumberAlone) {
  auto sheet = MakeSheet();
  for (auto* box : sheet->ReportPage().findChildren<QCheckBox*>()) box->setChecked(false);
  sheet->accept();
  ASSERT_EQ(sheet->result(), QDialog::Accepted);
  sheet->ApplyTo(state);
  EXPECT_EQ(state.columns.ShownCount(), 1);
  EXPECT_TRUE(state.columns.IsShown(ColumnId::PacketNumber));
  EXPECT_EQ(state.columns.Position(ColumnId::PacketNumber), 0);
}

TEST_F(SettingsSheetTest, OkWithoutChangesKeepsEveryValue) {
  AddAdapters(3);
  state.adapterIndex = 2;
  const ColumnSet before = state.columns;
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_TRUE(SameColumns(state.columns, before));
  EXPECT_EQ(state.adapterIndex, 2);
  EXPECT_EQ(state.saveLog, 1);
  EXPECT_EQ(state.logFilePath, "c:\\QuorvelLogFile.txt");
  EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsSheetTest, CheckedBoxesBecomeShownColumnsInIdOrder) {
  state.columns = ColumnSet::FromText("1");
  auto sheet = MakeSheet();
  sheet->ReportPage().CheckBox(1019)->setChecked(true);  // Data
  sheet->ReportPage().CheckBox(1026)->setChecked(true);  // Incoming/Outgoing
  sheet->ReportPage().CheckBox(1013)->setChecked(true);  // Source Port
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.columns.ShownToText(), "101000000001000000010" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(state.columns.Position(ColumnId::InOut), 1);
  EXPECT_EQ(state.columns.Position(ColumnId::TcpSourcePort), 2);
  EXPECT_EQ(state.columns.Position(ColumnId::Data), 3);
}

TEST_F(SettingsSheetTest, KeepAtMostRowsIsOnTheReportPageAndTakenOnOk) {
  state.keepRows = 3'000'000;
  auto sheet = MakeSheet();
  QSpinBox* box = sheet->ReportPage().KeepRowsBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->value(), 3'000'000);
  EXPECT_EQ(box->minimum(), FewestKeptRows);
  EXPECT_EQ(box->maximum(), MostKeptRows);
  box->setValue(250'000);
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.keepRows, 250'000);

  auto cancelled = MakeSheet();
  cancelled->ReportPage().KeepRowsBox()->setValue(9'999);
  cancelled->reject();
  cancelled->ApplyTo(state);
  EXPECT_EQ(state.keepRows, 250'000);
}

TEST_F(SettingsSheetTest, CancelChangesNothing) {
  AddAdapters(3);
  state.adapterIndex = 0;
  const ColumnSet before = state.columns;
  auto sheet = MakeSheet();
  for (auto* box : sheet->ReportPage().findChildren<QCheckBox*>()) box->setChecked(false);
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  sheet->LogPage().SaveToFileBox()->setChecked(false);
  sheet->LogPage().PathEdit()->setText("/tmp/other.txt");
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  sheet->AdapterPage().AdapterList()->setCurrentIndex(2);
  sheet->reject();
  sheet->ApplyTo(state);
  EXPECT_TRUE(SameColumns(state.columns, before));
  EXPECT_EQ(state.adapterIndex, 0);
  EXPECT_EQ(state.saveLog, 1);
  EXPECT_EQ(state.logFilePath, "c:\\QuorvelLogFile.txt");
}

TEST_F(SettingsSheetTest, LeavingAPageKeepsItsValuesAndAPageNeverShownKeepsTheCopiedIn) {
  auto sheet = MakeSheet();
  sheet->ReportPage().CheckBox(1019)->setChecked(false);  // Data off, then move on
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_FALSE(state.columns.IsShown(ColumnId::Data));
  // The log page's controls were never filled: its members go back as they came.
  EXPECT_EQ(state.saveLog, 1);
  EXPECT_EQ(state.logFilePath, "c:\\QuorvelLogFile.txt");
}

TEST_F(SettingsSheetTest, LogPageEditsAreTakenWhenLeftOrOnOk) {
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  CPPLog& log = sheet->LogPage();
  EXPECT_TRUE(log.SaveToFileBox()->isChecked());
  EXPECT_EQ(log.PathEdit()->text(), "c:\\QuorvelLogFile.txt");
  log.SaveToFileBox()->setChecked(false);
  log.PathEdit()->setText("/var/log/trace.txt");
  sheet->Tabs()->setCurrentIndex(SettingsSheet::ReportTab);
  EXPECT_EQ(log.saveToFile, 0);
  EXPECT_EQ(log.path, "/var/log/trace.txt");

  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  log.PathEdit()->setText("/var/log/second.txt");
  EXPECT_EQ(log.SpoolLimitBox()->value(), 4096);
  log.SpoolLimitBox()->setValue(512);
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.saveLog, 0);
  EXPECT_EQ(state.logFilePath, "/var/log/second.txt");
  EXPECT_EQ(state.spoolLimitMiB, 512);
}

// In box's picture: the first column of the check mark (what differs between checked and
// not) and the last column drawn in the text colour to the left of it.
std::pair<int, int> MarkAndTextEnd(QCheckBox& box) {
  box.setChecked(true);
  const QImage on = box.grab().toImage();
  box.setChecked(false);
  const QImage off = box.grab().toImage();
  const int ink = box.palette().color(QPalette::WindowText).lightness();
  int mark = on.width(), textEnd = -1;
  for (int x = 0; x < on.width(); ++x)
    for (int y = 0; y < on.height(); ++y)
      if (on.pixel(x, y) != off.pixel(x, y)) mark = std::min(mark, x);
  for (int x = 0; x < mark - 2; ++x)
    for (int y = 0; y < on.height(); ++y)
      if (std::abs(QColor(off.pixel(x, y)).lightness() - ink) < 60) textEnd = x;
  return {mark, textEnd};
}

TEST_F(SettingsSheetTest, SaveToFileTextStandsRightAlignedLeftOfItsBox) {
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  sheet->show();
  QCheckBox& box = *sheet->LogPage().SaveToFileBox();
  EXPECT_EQ(box.text(), "Save to File:");
  const int laidOut = box.width();
  for (int width : {laidOut, 3 * box.sizeHint().width()}) {
    SCOPED_TRACE(width);
    box.resize(width, box.height());
    const auto [mark, textEnd] = MarkAndTextEnd(box);
    ASSERT_LT(mark, box.width()) << "no check mark drawn";
    ASSERT_GE(textEnd, 0) << "no text left of the box";
    EXPECT_LT(mark - textEnd, 20);  // right next to the box, however wide the control
  }
  // The box and the text answer a click alike.
  box.resize(laidOut, box.height());
  box.setChecked(false);
  QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(box.width() - 4, box.height() / 2));
  EXPECT_TRUE(box.isChecked());
  QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(4, box.height() / 2));
  EXPECT_FALSE(box.isChecked());
}

TEST_F(SettingsSheetTest, BrowseStoresTheWholeChosenPath) {
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  CPPLog& log = sheet->LogPage();
  log.SaveToFileBox()->setChecked(false);  // edited before the dialog: must survive it

  chosenPath.clear();  // the user cancels
  log.BrowseButton()->click();
  EXPECT_EQ(dialogsShown, 1);
  EXPECT_EQ(log.PathEdit()->text(), "c:\\QuorvelLogFile.txt");
  EXPECT_FALSE(log.SaveToFileBox()->isChecked());

  chosenPath = "/srv/logs/run1.txt";
  log.BrowseButton()->click();
  EXPECT_EQ(log.PathEdit()->text(), "/srv/logs/run1.txt");
  EXPECT_FALSE(log.SaveToFileBox()->isChecked());
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.logFilePath, "/srv/logs/run1.txt");
  EXPECT_EQ(state.saveLog, 0);
}

TEST_F(SettingsSheetTest, OverlongPathIsRefusedAndTheOldOneKept) {
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  CPPLog& log = sheet->LogPage();

  // The longest path that fits is taken.
  const QString longest = "/" + QString(510, 'a');
  log.PathEdit()->setText(longest);
  sheet->Tabs()->setCurrentIndex(SettingsSheet::ReportTab);
  EXPECT_EQ(log.path.size(), 511u);
  EXPECT_TRUE(messages.empty());
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);

  // Chosen in the dialog: refused.
  chosenPath = "/" + QString(511, 'b');
  log.BrowseButton()->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], LogPathTooLongMessage);
  EXPECT_EQ(log.PathEdit()->text(), longest);

  // Typed: OK refuses it, puts the old path back and keeps the sheet open.
  log.PathEdit()->setText("/" + QString(600, 'c'));
  sheet->accept();
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_NE(sheet->result(), QDialog::Accepted);
  EXPECT_EQ(log.PathEdit()->text(), longest);
  sheet->accept();
  ASSERT_EQ(sheet->result(), QDialog::Accepted);
  sheet->ApplyTo(state);
  EXPECT_EQ(state.logFilePath, longest.toStdString());
}

TEST_F(SettingsSheetTest, AdapterPageListsAdaptersAndShowsTheSelectedOne) {
  AddAdapters(3);
  state.adapterIndex = 1;
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  CPPAdapter& page = sheet->AdapterPage();
  ASSERT_EQ(page.AdapterList()->count(), 3);
  EXPECT_EQ(page.AdapterList()->itemText(0), "eth0 (virtio_net)");
  EXPECT_EQ(page.AdapterList()->itemText(2), "eth2 (virtio_net)");
  EXPECT_EQ(page.AdapterList()->currentIndex(), 1);
  EXPECT_EQ(BoundKeys(), std::vector<std::string>{"0001"});
  EXPECT_EQ(page.DescriptionText()->text(), "fake0 (scripted)");
  EXPECT_EQ(page.MacAddressText()->text(), "00:A0:C9:12:34:56\n");
  EXPECT_EQ(script->openDevices, 0);  // closed again

  page.AdapterList()->setCurrentIndex(2);
  EXPECT_EQ(BoundKeys(), (std::vector<std::string>{"0001", "0002"}));
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.adapterIndex, 2);
  EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsSheetTest, StoredIndexWithoutAListEntrySelectsNothingAndOkStoresZero) {
  AddAdapters(8);
  for (int stored : {5, 7, 14}) {
    SCOPED_TRACE(stored);
    state.adapterIndex = stored;
    script->calls.clear();
    auto sheet = MakeSheet();
    sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
    EXPECT_EQ(sheet->AdapterPage().AdapterList()->count(), 5);
    EXPECT_EQ(sheet->AdapterPage().AdapterList()->currentIndex(), -1);
    EXPECT_EQ(BoundKeys(), std::vector<std::string>{"0000"});
    sheet->accept();
    sheet->ApplyTo(state);
    EXPECT_EQ(state.adapterIndex, 0);
  }

  // Beyond the adapters found, within the list's size.
  state.adapterIndex = 3;
  MemoryRegistry two;
  two.AddAdapter("0000", "eth0");
  two.AddAdapter("0001", "eth1");
  CaptureEnvironment smaller{devices, two};
  SettingsSheet sheet(state, smaller, [this](const std::string& m) { messages.push_back(m); });
  sheet.Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  EXPECT_EQ(sheet.AdapterPage().AdapterList()->currentIndex(), -1);
  sheet.accept();
  sheet.ApplyTo(state);
  EXPECT_EQ(state.adapterIndex, 0);
  EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsSheetTest, AdapterPageNeverOpenedKeepsTheStoredIndex) {
  AddAdapters(8);
  state.adapterIndex = 7;
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::LogTab);
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.adapterIndex, 7);
  EXPECT_TRUE(script->opens.empty());
}

TEST_F(SettingsSheetTest, NoAdaptersFound) {
  state.adapterIndex = 3;
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  CPPAdapter& page = sheet->AdapterPage();
  ASSERT_EQ(page.AdapterList()->count(), 1);
  EXPECT_EQ(page.AdapterList()->itemText(0), "No adapters found!");
  EXPECT_TRUE(page.DescriptionText()->text().isEmpty());
  EXPECT_TRUE(page.MacAddressText()->text().isEmpty());
  EXPECT_TRUE(script->opens.empty());
  EXPECT_TRUE(messages.empty());
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.adapterIndex, 0);
}

TEST_F(SettingsSheetTest, UnopenableAdapterIsReportedAndTheDetailsStay) {
  AddAdapters(2);
  script->refusedKeys.insert("0001");
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  CPPAdapter& page = sheet->AdapterPage();
  EXPECT_EQ(page.DescriptionText()->text(), "fake0 (scripted)");

  script->description = "should not show";
  page.AdapterList()->setCurrentIndex(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Adapter 0001 open failed.\n");
  EXPECT_EQ(page.DescriptionText()->text(), "fake0 (scripted)");
  EXPECT_EQ(page.MacAddressText()->text(), "00:A0:C9:12:34:56\n");
  EXPECT_EQ(script->openDevices, 0);
  sheet->accept();
  sheet->ApplyTo(state);
  EXPECT_EQ(state.adapterIndex, 1);  // the choice stands; Start reports it again
}

TEST_F(SettingsSheetTest, FailedQueriesLeaveTheirTextUnchangedSilently) {
  AddAdapters(2);
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  CPPAdapter& page = sheet->AdapterPage();

  script->failingCodes.insert(request_code::QueryDescription);
  script->mac[5] = 0x57;
  page.AdapterList()->setCurrentIndex(1);
  EXPECT_EQ(page.DescriptionText()->text(), "fake0 (scripted)");
  EXPECT_EQ(page.MacAddressText()->text(), "00:A0:C9:12:34:57\n");

  script->failingCodes = {request_code::StationAddress};
  script->description = "eth0 <b>bold</b> & co";
  page.AdapterList()->setCurrentIndex(0);
  EXPECT_EQ(page.DescriptionText()->text(), "eth0 <b>bold</b> & co");
  EXPECT_EQ(page.DescriptionText()->textFormat(), Qt::PlainText);
  EXPECT_EQ(page.MacAddressText()->text(), "00:A0:C9:12:34:57\n");
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(script->openDevices, 0);
}

TEST_F(SettingsSheetTest, OkWithAnotherAdapterTakesTheAddressThePageReadForIt) {
  using Mac = std::array<std::uint8_t, 6>;
  AddAdapters(3);
  const Mac probed{0x02, 0, 0, 0, 0, 0x01};  // read at start-up from adapter 0
  state.adapterMac = probed;
  auto okAfterPicking = [&](std::initializer_list<int> picks) {
    auto sheet = MakeSheet();
    sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
    for (int pick : picks) sheet->AdapterPage().AdapterList()->setCurrentIndex(pick);
    sheet->accept();
    return sheet->ApplyTo(state);
  };
  EXPECT_FALSE(okAfterPicking({}));  // the same adapter keeps the probed address
  EXPECT_EQ(state.adapterMac, probed);
  script->mac[5] = 0x99;
  EXPECT_FALSE(okAfterPicking({2}));
  EXPECT_EQ(state.adapterMac, (Mac{0x00, 0xA0, 0xC9, 0x12, 0x34, 0x99}));

  // Adapter 0 read, then adapter 1 unopenable: neither address replaces the one in use.
  state.adapterMac = probed;
  script->refusedKeys = {"0001"};
  script->failureReason = "No such device";
  const auto kept = okAfterPicking({0, 1});
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->reason, "No such device");
  EXPECT_EQ(state.adapterIndex, 1);
  EXPECT_EQ(state.adapterMac, probed);
}

TEST_F(SettingsSheetTest, CaptureFilterIsTakenOnlyWhenItCompiles) {
  AddAdapters(1);
  state.captureFilter = "udp";
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  QLineEdit* edit = sheet->AdapterPage().CaptureFilterEdit();
  EXPECT_EQ(edit->text(), "udp");

  // OK with a filter libpcap refuses: said with its reason, and the sheet stays open.
  edit->setText("tcp port");
  sheet->accept();
  EXPECT_NE(sheet->result(), QDialog::Accepted);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_THAT(messages[0], StartsWith(CaptureFilterRefusedMessage));
  EXPECT_GT(messages[0].size(), std::string(CaptureFilterRefusedMessage).size());

  edit->setText("tcp port 80 or arp");
  sheet->accept();
  ASSERT_EQ(sheet->result(), QDialog::Accepted);
  sheet->ApplyTo(state);
  EXPECT_EQ(state.captureFilter, "tcp port 80 or arp");
}

TEST_F(SettingsSheetTest, EachAdapterAlsoCapturedOnTakesTheFilterBesideItWhenItCompiles) {
  for (const std::string name : {"eth0", "eth1", "eth2"})
    registry.AddAdapter(("000" + name.substr(3)).c_str(), (name + " (virtio_net)").c_str(), name.c_str());
  state.moreAdapters = {"eth1"};
  state.adapterFilters = {{"eth1", "udp"}};
  auto sheet = MakeSheet();
  sheet->Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  const std::vector<QCheckBox*>& boxes = sheet->AdapterPage().AlsoCaptureOnBoxes();
  const std::vector<QLineEdit*>& filters = sheet->AdapterPage().AlsoCaptureOnFilters();
  ASSERT_EQ(filters.size(), 3u);
  EXPECT_FALSE(filters[0]->isEnabled());  // the chosen adapter has the capture filter
  EXPECT_EQ(filters[1]->text(), "udp");
  EXPECT_FALSE(filters[2]->isEnabled());  // not checked

  boxes[2]->setChecked(true);
  filters[2]->setText("tcp port");
  sheet->accept();
  EXPECT_NE(sheet->result(), QDialog::Accepted);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_THAT(messages[0], StartsWith("The capture filter of eth2 was not taken: "));

  filters[2]->setText("arp");
  filters[1]->clear();  // back to the capture filter
  sheet->accept();
  ASSERT_EQ(sheet->result(), QDialog::Accepted);
  sheet->ApplyTo(state);
  EXPECT_EQ(state.moreAdapters, (std::vector<std::string>{"eth1", "eth2"}));
  EXPECT_EQ(state.adapterFilters, (std::map<std::string, std::string>{{"eth2", "arp"}}));
}

// Hosts are listed on threads of their own through a stand-in for ssh; the page stays
// usable meanwhile and says which host it is listing.
TEST_F(SettingsSheetTest, RemoteHostsAreListedInTheBackgroundAfterTheLocalAdapters) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("orrisvane-sheet-ssh-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string script = (dir / "ssh").string();
  {
    std::ofstream out(script);
    out << "#!/bin/sh\ncase \"$4\" in\n"
           "  slow) sleep 1; printf '0\\t0003\\teth0 (e1000)\\t02:00:00:00:00:03\\n' ;;\n"
           "  many) for i in $(seq 1 15); do printf '%d\\t%04d\\teth%d (x)\\t\\n' $i $i $i; done ;;\n"
           "  refused) echo 'Permission denied (publickey).' >&2; exit 255 ;;\n"
           "esac\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  const char* old = std::getenv(SshProgramVariable);
  const std::string saved = old ? old : "";
  ::setenv(SshProgramVariable, script.c_str(), 1);

  AddAdapters(2);
  RemoteHosts hosts(registry);
  CaptureEnvironment remoteEnv{devices, hosts, nullptr, &hosts};
  state.remoteHosts = "slow refused";
  hosts.SetHosts({"slow", "refused"});
  state.adapterIndex = 2;  // slow's adapter, not listed yet
  SettingsSheet sheet(state, remoteEnv, [this](const std::string& m) { messages.push_back(m); });
  const auto opened = std::chrono::steady_clock::now();
  sheet.Tabs()->setCurrentIndex(SettingsSheet::AdapterTab);
  CPPAdapter& page = sheet.AdapterPage();
  EXPECT_LT(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(900));  // not held up by "slow"
  EXPECT_EQ(page.RemoteHostsEdit()->text(), "slow refused");
  EXPECT_EQ(page.AdapterList()->count(), 2);
  EXPECT_THAT(page.HostsStateText()->text().toStdString(), ::testing::HasSubstr("listing slow..."));

  ASSERT_TRUE(Eventually([&] {
    QCoreApplication::processEvents();
    return !page.Listing();
  }, std::chrono::seconds(10), [] { QTest::qWait(20); }));
  ASSERT_EQ(page.AdapterList()->count(), 3);
  EXPECT_EQ(page.AdapterList()->itemText(2), "slow: eth0 (e1000)");
  // The stored choice is made once its host is listed, from what the host's list said:
  // no ssh connection from the page.
  EXPECT_EQ(page.AdapterList()->currentIndex(), 2);
  EXPECT_EQ(page.MacAddressText()->text(), "02:00:00:00:00:03\n");
  EXPECT_EQ(BoundKeys(), (std::vector<std::string>{"0000"}));
  EXPECT_EQ(page.HostsStateText()->text().toStdString(), "refused left out: Permission denied (publickey).");
  EXPECT_TRUE(messages.empty());

  // Fifteen adapters in all: the rest are left out, and that is said once.
  page.RemoteHostsEdit()->setText("many, -oProxyCommand=x");
  sheet.accept();
  EXPECT_NE(sheet.result(), QDialog::Accepted);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_THAT(messages[0], StartsWith(RemoteHostRefusedMessage));
  for (int round = 0; round < 2; ++round) {
    page.RemoteHostsEdit()->setText(round == 0 ? "many" : "many ");
    Q_EMIT page.RemoteHostsEdit()->editingFinished();
    ASSERT_TRUE(Eventually([&] {
      QCoreApplication::processEvents();
      return !page.Listing();
    }, std::chrono::seconds(10), [] { QTest::qWait(20); }));
  }
  EXPECT_EQ(page.AdapterList()->count(), static_cast<int>(DetailAdapterLimit));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], "2 remote adapters are left out (from many on): the adapter list holds 15 adapters.");

  page.AdapterList()->setCurrentIndex(14);
  sheet.accept();
  ASSERT_EQ(sheet.result(), QDialog::Accepted);
  sheet.ApplyTo(state);
  EXPECT_EQ(state.remoteHosts, "many");
  EXPECT_EQ(state.adapterIndex, 14);

  if (old) ::setenv(SshProgramVariable, saved.c_str(), 1); else ::unsetenv(SshProgramVariable);
  std::filesystem::remove_all(dir);
}

TEST(StationAddress, FormatsUpperCaseHexWithColonsAndALineFeed) {
  const std::uint8_t mac[6] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
  EXPECT_EQ(FormatStationAddress(mac), "00:A0:C9:12:34:56\n");
  const std::uint8_t high[6] = {0xFF, 0xfe, 0x0a, 0x00, 0x01, 0xab};
  EXPECT_EQ(FormatStationAddress(high), "FF:FE:0A:00:01:AB\n");
}

}  // namespace
