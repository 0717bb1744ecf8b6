// The main window, offscreen, over the scripted device, a memory registry and a settings
// file in a temporary folder. Message boxes are recorded instead of shown.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QFont>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolBar>
#include <QToolButton>
#include <QWhatsThis>
#include <QApplication>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/about_dialog.h"
#include "app/commands.h"
#include "app/help_window.h"
#include "app/main_frame.h"
#include "app/settings_sheet.h"
#include "app/settings_store.h"
#include "capture/adapters/linux_registry.h"
#include "capture/devices/pcap_device.h"
#include "tests/app/app_test_support.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class RecordingMessages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString& text, const QString& informative) override {
    texts.push_back(text.toStdString());
    informatives.push_back(informative.toStdString());
    return 0x400;  // OK
  }
  std::vector<std::string> texts, informatives;
};

class MainFrameTest : public ::testing::Test {
 protected:
  FakeMachine machine;
  QTemporaryDir dir;
  QString settingsFile = dir.filePath("profile.conf");
  std::unique_ptr<QSettingsProfile> profile = std::make_unique<QSettingsProfile>(settingsFile, QSettings::IniFormat);
  RecordingMessages messages;
  std::unique_ptr<CMainFrame> frame;

  CMainFrame& Make() {
    frame = std::make_unique<CMainFrame>(machine.Environment(), *profile, &messages);
    return *frame;
  }
  QString Pane(int i) { return frame->Pane(i)->text(); }
  bool Enabled(int id) { return frame->Action(id)->isEnabled(); }
  QWidget* Button(int id) { return frame->MainToolBar()->widgetForAction(frame->Action(id)); }
  std::int64_t Rows() { return frame->ListView().Model().Rows().RowCount(); }
  QVariant Stored(const char* entry) {
    QSettings raw(settingsFile, QSettings::IniFormat);
    return raw.value(QString("Orrisvane/") + entry);
  }
  void FeedAndWait(int count) {
    const auto target = Rows() + count;
    machine.PushFrames(count);
    ASSERT_TRUE(WaitUntil([&] { return Rows() >= target; }));
  }
};

std::vector<QString> MenuTexts(QMenu* menu) {
  std::vector<QString> texts;
  for (QAction* a : menu->actions()) texts.push_back(a->isSeparator() ? QString("-") : a->text());
  return texts;
}

}  // namespace

TEST_F(MainFrameTest, StartsIdleWithItsBarsPanesAndTitle) {
  machine.AddAdapters(2);
  CMainFrame& f = Make();
  ASSERT_FALSE(f.StartupFailed());
  EXPECT_TRUE(messages.texts.empty());
  EXPECT_EQ(f.windowTitle().toStdString(),
            "Orrisvane is sniffing packets on the fake0 (scripted) (MAC address 00:A0:C9:12:34:56) - Trace is OFF");

  EXPECT_EQ(Pane(0), "For Help, press F1");
  EXPECT_EQ(Pane(1), "Trace is OFF");
  EXPECT_EQ(Pane(2), "0 Live Connection(s)");
  EXPECT_EQ(Pane(3), "0 Packets Received");
  EXPECT_EQ(Pane(4), "0 Packets Sent");
  EXPECT_EQ(Pane(5), "0 Bytes Received");
  EXPECT_EQ(Pane(6), "0 Bytes Sent");
  f.show();
  ASSERT_TRUE(WaitUntil([&] { return f.Pane(6)->width() > 0; }));
  for (int i = 1; i <= 6; ++i) {
    EXPECT_GE(f.Pane(i)->width(), 100) << "pane " << i;
    EXPECT_GE(f.Pane(i)->width(), f.Pane(i)->fontMetrics().horizontalAdvance(Pane(i))) << "pane " << i;
  }
  EXPECT_FALSE(f.Pane(7)->isVisible());  // drops: only once there are some

  // Enabling rules, in the menu and on the tool bar alike.
  EXPECT_TRUE(Enabled(command_id::Start));
  EXPECT_FALSE(Enabled(command_id::Stop));
  EXPECT_TRUE(Button(command_id::Start)->isEnabled());
  EXPECT_FALSE(Button(command_id::Stop)->isEnabled());
  EXPECT_TRUE(Enabled(command_id::Clear));
  EXPECT_TRUE(Enabled(command_id::Settings));
  EXPECT_FALSE(Enabled(command_id::SaveTrace));
  EXPECT_FALSE(Enabled(command_id::Save));

  // The list starts with the default thirteen columns.
  EXPECT_EQ(f.ListView().Model().columnCount(), 13);

  // No sizing border: the size is pinned; minimise and maximise stay.
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(MainFrameTest, MenusToolBarKeysAndPromptsAreTheProgramsOwn) {
  machine.AddAdapters(1);
  CMainFrame& f = Make();
  const auto menus = f.menuBar()->actions();
  ASSERT_EQ(menus.size(), 5);
  EXPECT_EQ(menus[0]->text(), "&File");
  EXPECT_EQ(menus[1]->text(), "&Trace");
  EXPECT_EQ(menus[2]->text(), "&View");
  EXPECT_EQ(menus[3]->text(), "&Statistics");
  EXPECT_EQ(menus[4]->text(), "&Help");
  EXPECT_THAT(MenuTexts(menus[0]->menu()), ElementsAre("&Open...\tCtrl+O", "&Save\tCtrl+S", "-", "E&xit"));
  EXPECT_THAT(MenuTexts(menus[1]->menu()), ElementsAre("&Start\tCtrl+E, F5", "S&top\tCtrl+E, Shift+F5", "-", "&Clear",
                                                       "&Go to Packet...\tCtrl+G", "-", "S&ettings"));
  EXPECT_THAT(MenuTexts(menus[2]->menu()), ElementsAre("&Toolbar", "&Status Bar", "Traffic &Graph"));
  EXPECT_THAT(MenuTexts(menus[3]->menu()), ElementsAre("&Connections", "&Endpoints", "&Protocols"));
  EXPECT_THAT(MenuTexts(menus[4]->menu()), ElementsAre("&Help Topics", "-", "&About Orrisvane..."));

  std::vector<int> bar;
  for (QAction* a : f.MainToolBar()->actions()) bar.push_back(a->isSeparator() ? 0 : a->data().toInt());
  EXPECT_THAT(bar, ElementsAre(32771, 32772, 0, 32777, 32778, 0, 32773, 0, 57670));
  EXPECT_EQ(f.MainToolBar()->iconSize(), QSize(16, 15));
  for (int id : {32771, 32772, 32777, 32778, 32773, 57670}) {
    EXPECT_EQ(f.Action(id)->icon().pixmap(QSize(16, 15)).size(), QSize(16, 15)) << id;
  }

  EXPECT_EQ(f.Action(command_id::Help)->shortcut(), QKeySequence(Qt::Key_F1));
  EXPECT_EQ(f.Action(command_id::ContextHelp)->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F1));
  EXPECT_EQ(f.Action(command_id::Save)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
  EXPECT_EQ(f.Action(command_id::Open)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));

  EXPECT_EQ(f.Action(32771)->statusTip(), "Start tracing IP packets");
  EXPECT_EQ(f.Action(32771)->toolTip(), "Start Tracing");
  EXPECT_EQ(f.Action(32778)->toolTip(), "Clear Trace Window");
  EXPECT_EQ(f.Action(57665)->statusTip(), "Quit the application; prompts to save documents");
  EXPECT_EQ(f.Action(57664)->statusTip(), "Display program information, version number and copyright");
  for (int id : {32771, 32772, 32773, 32777, 32778, 57603, 57664, 57665, 57667, 57669, 57670, 59392, 59393}) {
    ASSERT_NE(f.Action(id), nullptr) << id;
    EXPECT_EQ(f.Action(id)->data().toInt(), id);
  }

  // The banner band: our picture, 800 by 100.
  ASSERT_NE(f.BannerBar(), nullptr);
  auto* banner = f.BannerBar()->findChild<QLabel*>("bannerPicture");
  ASSERT_NE(banner, nullptr);
  EXPECT_EQ(banner->pixmap().size(), QSize(800, 100));

  // A status prompt replaces "For Help, press F1" while it shows, and the text comes back.
  f.show();
  f.statusBar()->showMessage(f.Action(32772)->statusTip());
  EXPECT_FALSE(f.Pane(0)->isVisible());
  f.statusBar()->clearMessage();
  EXPECT_TRUE(f.Pane(0)->isVisible());

  // The toggles hide and show the bars.
  f.Action(command_id::ToggleStatusBar)->trigger();
  EXPECT_FALSE(f.statusBar()->isVisible());
  f.Action(command_id::ToggleToolBar)->trigger();
  EXPECT_FALSE(f.MainToolBar()->isVisible());
}

TEST_F(MainFrameTest, ProbeFailuresEndTheProgramWithoutWritingSettings) {
  {
    Make();
    EXPECT_TRUE(frame->StartupFailed());
    EXPECT_THAT(messages.texts, ElementsAre("No adapters found!", "Exiting Orrisvane."));
    frame.reset();
    EXPECT_FALSE(Stored("Bools").isValid());
  }
  machine.AddAdapters(3);
  {
    QSettings raw(settingsFile, QSettings::IniFormat);
    raw.setValue("Orrisvane/Adapter", 2);
  }
  machine.script->refusedKeys = {"0002"};
  messages.texts.clear();
  Make();
  EXPECT_TRUE(frame->StartupFailed());
  EXPECT_THAT(messages.texts, ElementsAre("Adapter 2 (0002) open failed.\n", "Exiting Orrisvane."));

  machine.script->refusedKeys.clear();
  machine.script->failingCodes = {request_code::StationAddress};
  messages.texts.clear();
  Make();
  EXPECT_TRUE(frame->StartupFailed());
  EXPECT_THAT(messages.texts, ElementsAre("GetAddress() failed.", "Exiting Orrisvane."));
  frame.reset();
  EXPECT_EQ(Stored("Adapter").toInt(), 2);  // kept for a run where it opens again
  EXPECT_EQ(machine.script->openDevices, 0);
}

TEST_F(MainFrameTest, AdapterGivenForTheRunIsProbedInsteadOfAStoredOneThatIsGoneAndStored) {
  machine.AddAdapters(4);
  {
    QSettings raw(settingsFile, QSettings::IniFormat);
    raw.setValue("Orrisvane/Adapter", 7);
  }
  frame = std::make_unique<CMainFrame>(machine.Environment(), *profile, &messages, 3);
  ASSERT_FALSE(frame->StartupFailed());
  EXPECT_THAT(frame->windowTitle().toStdString(), HasSubstr("on the fake3 (scripted) (MAC address"));
  frame.reset();
  EXPECT_EQ(Stored("Adapter").toInt(), 3);
}

TEST_F(MainFrameTest, StartStopClearDriveActionsPanesTitleAndRows) {
  machine.AddAdapters(1);
  CMainFrame& f = Make();
  f.Action(command_id::Start)->trigger();
  ASSERT_TRUE(f.Control().IsTracing());
  EXPECT_EQ(Pane(1), "Trace is ON");
  EXPECT_THAT(f.windowTitle().toStdString(), HasSubstr("- Trace is ON"));
  EXPECT_FALSE(Enabled(command_id::Start));
  EXPECT_TRUE(Enabled(command_id::Stop));
  EXPECT_FALSE(Button(command_id::Start)->isEnabled());
  EXPECT_TRUE(Button(command_id::Stop)->isEnabled());

  FeedAndWait(4);
  EXPECT_EQ(f.ListView().Model().CellText(3, 0), "3");
  ASSERT_TRUE(WaitUntil([&] { return Pane(4) == "4 Packets Sent"; }));
  EXPECT_EQ(Pane(6), "240 Bytes Sent");

  machine.script->drops = 7;
  FeedAndWait(1);
  ASSERT_TRUE(WaitUntil([&] { return f.Pane(7)->text() == "7 Dropped"; }));

  f.Action(command_id::Stop)->trigger();
  EXPECT_FALSE(f.Control().IsTracing());
  EXPECT_EQ(Pane(1), "Trace is OFF");
  EXPECT_THAT(f.windowTitle().toStdString(), HasSubstr("- Trace is OFF"));
  EXPECT_TRUE(Enabled(command_id::Start));
  EXPECT_FALSE(Enabled(command_id::Stop));
  EXPECT_EQ(Rows(), 5);

  // Counters run on across Clear and a new trace; numbering starts again at 0.
  f.Action(command_id::Clear)->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(Pane(4), "5 Packets Sent");
  f.Action(command_id::Start)->trigger();
  FeedAndWait(2);
  EXPECT_EQ(f.ListView().Model().CellText(0, 0), "0");
  ASSERT_TRUE(WaitUntil([&] { return Pane(4) == "7 Packets Sent"; }));

  // Settings always stops the trace first, and Cancel does not start it again.
  bool tracingWhileOpen = true;
  f.SetSheetRunner([&](SettingsSheet& sheet) {
    tracingWhileOpen = f.Control().IsTracing();
    sheet.reject();
    return sheet.result();
  });
  f.Action(command_id::Settings)->trigger();
  EXPECT_FALSE(tracingWhileOpen);
  EXPECT_FALSE(f.Control().IsTracing());
  EXPECT_EQ(Pane(1), "Trace is OFF");
  EXPECT_EQ(machine.script->openDevices, 0);
}

TEST_F(MainFrameTest, RefusedFilterIsShownAndTheTraceGoesOn) {
  machine.AddAdapters(1);
  machine.script->failingCodes = {request_code::SetFilter};
  CMainFrame& f = Make();
  f.OnStart();
  EXPECT_THAT(messages.texts, ElementsAre("Promiscuous mode not activated\n"));
  EXPECT_TRUE(f.Control().IsTracing());
  FeedAndWait(1);
  f.OnStop();
}

TEST_F(MainFrameTest, AdapterSevenOfEightOpensAtStartUpButNotForATrace) {
  machine.AddAdapters(8);
  {
    QSettings raw(settingsFile, QSettings::IniFormat);
    raw.setValue("Orrisvane/Adapter", 7);
  }
  CMainFrame& f = Make();
  ASSERT_FALSE(f.StartupFailed());
  EXPECT_EQ(f.windowTitle().toStdString(), NoAdapterTitle);
  f.OnStart();
  EXPECT_THAT(messages.texts, ElementsAre("Adapter  open failed.\n"));
  EXPECT_FALSE(f.Control().IsTracing());
  EXPECT_TRUE(Enabled(command_id::Start));
  EXPECT_EQ(Pane(1), "Trace is OFF");
}

TEST_F(MainFrameTest, ClosingDuringATraceWritesSettingsThenStops) {
  machine.AddAdapters(2);
  {
    QSettings raw(settingsFile, QSettings::IniFormat);
    raw.setValue("Orrisvane/Adapter", 1);
    raw.setValue("Orrisvane/Bools", "00000000000000000000");
  }
  CMainFrame& f = Make();
  f.show();
  f.OnStart();
  ASSERT_TRUE(WaitUntil([&] { return machine.script->ReadPending(); }));
  machine.PushFrames(3);
  EXPECT_TRUE(f.close());
  EXPECT_FALSE(f.Control().IsTracing());
  EXPECT_EQ(machine.script->openDevices, 0);
  EXPECT_EQ(Stored("Bools").toString().toStdString(), "111000111111100000111" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(Stored("Adapter").toInt(), 1);
  EXPECT_EQ(Stored("LogFile").toString(), "c:\\QuorvelLogFile.txt");
  // Destroying the frame after the close neither writes again nor touches the device.
  frame.reset();
}

TEST_F(MainFrameTest, DestroyingAFrameThatTracesStopsTheThread) {
  machine.AddAdapters(1);
  Make().OnStart();
  ASSERT_TRUE(WaitUntil([&] { return machine.script->ReadPending(); }));
  machine.PushFrames(50);
  frame.reset();
  EXPECT_EQ(machine.script->openDevices, 0);
  EXPECT_EQ(Stored("Save").toInt(), 0);
}

TEST_F(MainFrameTest, HelpAndAbout) {
  machine.AddAdapters(1);
  CMainFrame& f = Make();
  f.Action(command_id::HelpTopics)->trigger();
  ASSERT_NE(f.HelpViewer(), nullptr);
  EXPECT_TRUE(f.HelpViewer()->isVisible());
  EXPECT_EQ(f.HelpViewer()->Browser()->source(), QUrl("qrc:/help/index.html"));
  EXPECT_THAT(f.HelpViewer()->Browser()->toPlainText().toStdString(), HasSubstr("Orrisvane Help"));
  // Every topic the contents page links to exists.
  for (const char* page :
       {"tracing", "window", "columns", "settings", "permissions", "filters", "files", "sorting", "saving", "remote"}) {
    QFile file(QString(":/help/%1.html").arg(page));
    EXPECT_TRUE(file.exists()) << page;
  }

  // F1 in the list opens the page about the window; Shift+F1 enters What's This mode with
  // its prompt in the status bar.
  f.show();
  f.activateWindow();
  ASSERT_TRUE(WaitUntil([&] { return f.isActiveWindow(); }));
  f.ListView().setFocus();
  ASSERT_EQ(QApplication::focusWidget(), &f.ListView());
  f.Action(command_id::Help)->trigger();
  EXPECT_EQ(f.HelpViewer()->Browser()->source(), QUrl("qrc:/help/window.html"));
  f.Action(command_id::ContextHelp)->trigger();
  EXPECT_TRUE(QWhatsThis::inWhatsThisMode());
  EXPECT_EQ(f.statusBar()->currentMessage(), "Select an object on which to get Help");
  QWhatsThis::leaveWhatsThisMode();
  EXPECT_EQ(f.statusBar()->currentMessage(), "");
  EXPECT_FALSE(f.Action(command_id::Start)->whatsThis().isEmpty());

  CAboutDlg about(&f);
  EXPECT_EQ(about.windowTitle(), "About Orrisvane");
  auto* version = about.findChild<QLabel*>("version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->text(), "Orrisvane Version 1.81");
  auto* picture = about.findChild<QLabel*>("picture");
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->pixmap().size(), QSize(41, 31));
  EXPECT_GE(picture->width(), 41);
}

// The real thing: the libpcap device on the loopback interface, when this process may
// capture.
// Also run at QT_SCALE_FACTOR=2 and under a window manager (see CMakeLists.txt).
TEST(MainFrameLayout, TheFrameFillsTheScreensAreaAndPanesKeepTheirTexts) {
  FakeMachine machine;
  machine.AddAdapters(1);
  QTemporaryDir dir;
  QSettingsProfile profile(dir.filePath("profile.conf"), QSettings::IniFormat);
  CMainFrame frame(machine.Environment(), profile);
  for (int i = 2; i <= 6; ++i) frame.Pane(i)->setText(frame.Pane(i)->text().replace(0, 1, QStringLiteral("1000000")));
  frame.showMaximized();  // as the program shows it
  // A window manager frames the window a moment after it is shown (a long moment on a
  // machine busy with the sanitizer runs).
  ASSERT_TRUE(WaitUntil([&] { return frame.frameGeometry() != frame.geometry(); }, 30000));
  EXPECT_TRUE(WaitUntil([&] { return frame.frameGeometry() == frame.screen()->availableGeometry(); }));
  const auto fits = [&](int i) {  // the whole text shown, inside the window
    const QLabel* pane = frame.Pane(i);
    return pane->width() >= pane->fontMetrics().horizontalAdvance(pane->text()) &&
           pane->mapTo(&frame, QPoint(pane->width(), 0)).x() <= frame.width();
  };
  WaitUntil([&] { return fits(0) && fits(1) && fits(2) && fits(3) && fits(4) && fits(5) && fits(6); }, 2000);
  for (int i = 0; i <= 6; ++i) EXPECT_TRUE(fits(i)) << frame.Pane(i)->text().toStdString();
}

TEST(MainFrameLive, LoopbackTrafficFillsTheList) {
  std::int32_t loopback = -1;
  const auto interfaces = ListLinuxInterfaces();
  for (std::size_t i = 0; i < interfaces.size(); ++i)
    if (interfaces[i].name == "lo") loopback = static_cast<std::int32_t>(i);
  if (loopback < 0 || loopback >= 5) GTEST_SKIP() << "no loopback interface among the first five adapters";

  QTemporaryDir dir;
  const QString file = dir.filePath("profile.conf");
  {
    QSettings raw(file, QSettings::IniFormat);
    raw.setValue("Orrisvane/Adapter", loopback);
  }
  QSettingsProfile profile(file, QSettings::IniFormat);
  DeviceTable devices;
  RegisterPcapDevice(devices);
  LinuxRegistry registry;
  RecordingMessages messages;
  CMainFrame frame(CaptureEnvironment{devices, registry}, profile, &messages);
  if (frame.StartupFailed()) GTEST_SKIP() << "cannot open the loopback interface: " << messages.informatives[0];
  frame.OnStart();
  if (!frame.Control().IsTracing()) GTEST_SKIP() << "cannot capture: " << messages.texts[0];
  EXPECT_THAT(frame.windowTitle().toStdString(), HasSubstr("lo (loopback)"));

  // Twenty datagrams to the discard port of the loopback address.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char payload[] = "orrisvane loopback test";
  for (int i = 0; i < 20; ++i)
    ::sendto(fd, payload, sizeof payload - 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::close(fd);
  const bool arrived = WaitUntil([&] { return frame.ListView().Model().Rows().RowCount() >= 20; });
  frame.OnStop();
  EXPECT_TRUE(arrived);
  bool seen = false;
  const RowModel& model = frame.ListView().Model();
  for (int r = 0; r < model.rowCount() && !seen; ++r)
    seen = model.CellText(r, model.columnCount() - 1).find("orrisvane loopback test") != std::string_view::npos;
  EXPECT_TRUE(seen);
  EXPECT_EQ(frame.Pane(1)->text(), "Trace is OFF");
}

TEST(StatusPane, KeepsTheWidestSizeItsCountsNeededUntilTheFontChanges) {
  QWidget bar;
  auto* pane = new StatusPane(QStringLiteral("0 Packets Sent"), &bar);
  bar.show();
  const struct {
    const char* text;
    bool grows;
  } steps[] = {{"123456789012345678 Packets Sent", true},
               {"7 Packets Sent", false},
               {"1234567890123456789012345 Packets Sent", true}};
  int widest = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(pane->ShowCount(QString::fromLatin1(step.text)), step.grows) << step.text;
    widest = std::max(widest, pane->fontMetrics().horizontalAdvance(QString::fromLatin1(step.text)));
    EXPECT_GE(pane->minimumSizeHint().width(), widest) << step.text;
  }
  QFont larger = pane->font();
  larger.setPointSizeF(larger.pointSizeF() * 2);
  pane->setFont(larger);
  EXPECT_GE(pane->minimumWidth(), pane->fontMetrics().horizontalAdvance(pane->text()));
}
