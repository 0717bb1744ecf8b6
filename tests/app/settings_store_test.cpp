// The settings store over QSettings files in a temporary folder, and the order of its
// reads and writes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "app/settings_store.h"

using ::testing::ElementsAre;

namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString file = dir.filePath("profile.conf");

  // Writes raw values the way another program (or a hand) might have left them.
  void Store(const QString& entry, const QVariant& value) {
    QSettings raw(file, QSettings::IniFormat);
    raw.setValue("Orrisvane/" + entry, value);
  }
  void StoreRaw(const std::string& text) {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.c_str());
  }
  std::unique_ptr<CaptureState> Load() {
    QSettingsProfile profile(file, QSettings::IniFormat);
    auto state = std::make_unique<CaptureState>();
    LoadSettings(profile, *state);
    return state;
  }
};

// Records the profile calls in order.
class RecordingProfile : public SettingsProfile {
 public:
  std::int32_t ReadInt(std::string_view s, std::string_view e, std::int32_t d) override {
    calls.push_back("read " + std::string(s) + "/" + std::string(e));
    return d;
  }
  std::string ReadString(std::string_view s, std::string_view e, const std::string& d) override {
    calls.push_back("read " + std::string(s) + "/" + std::string(e));
    return d;
  }
  void WriteInt(std::string_view s, std::string_view e, std::int32_t v) override {
    calls.push_back("write " + std::string(s) + "/" + std::string(e) + "=" + std::to_string(v));
  }
  void WriteString(std::string_view s, std::string_view e, std::string_view t) override {
    calls.push_back("write " + std::string(s) + "/" + std::string(e) + "=" + std::string(t));
  }
  std::vector<std::string> calls;
};

}  // namespace

TEST_F(SettingsStoreTest, FirstRunGivesTheDefaults) {
  auto state = Load();
  EXPECT_EQ(state->adapterIndex, 0);
  EXPECT_EQ(state->saveLog, 0);
  EXPECT_EQ(state->logFilePath, "c:\\QuorvelLogFile.txt");
  EXPECT_EQ(state->columns.ShownToText(), "111000111111100000111" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(state->columns.Position(ColumnId::Data), 12);
  EXPECT_EQ(state->columns.Position(ColumnId::Time), 1);
}

TEST_F(SettingsStoreTest, AdapterIndexIsClampedToFifteenAdapters) {
  for (auto [stored, loaded] : std::vector<std::pair<int, int>>{{14, 14}, {0, 0}, {15, 0}, {-1, 0}, {7, 7}}) {
    Store("Adapter", stored);
    EXPECT_EQ(Load()->adapterIndex, loaded) << "stored " << stored;
  }
}

TEST_F(SettingsStoreTest, StoredBoolsNeverChangeTheStartupColumns) {
  Store("Bools", "00000000000000000000");
  EXPECT_EQ(Load()->columns.ShownToText(), "111000111111100000111" + std::string(ColumnCount - 21, '0'));
  Store("Bools", "111111111111111111111");
  EXPECT_EQ(Load()->columns.ShownCount(), 13);
}

TEST_F(SettingsStoreTest, KeptRowsComeBackAndDefaultToAQuarterOfTheMemory) {
  constexpr std::uint64_t kSixteenGiB = std::uint64_t{16} << 30;
  const auto load = [&](std::uint64_t memory) {
    QSettingsProfile profile(file, QSettings::IniFormat);
    CaptureState state;
    LoadSettings(profile, state, memory);
    return state.keepRows;
  };
  EXPECT_EQ(load(kSixteenGiB), static_cast<std::int64_t>(kSixteenGiB / 4 / RowBytes));
  EXPECT_EQ(load(0), FewestKeptRows);  // memory unknown: the smallest bound
  EXPECT_EQ(load(std::uint64_t{1} << 50), MostKeptRows);
  {
    QSettingsProfile profile(file, QSettings::IniFormat);
    CaptureState state;
    LoadSettings(profile, state, kSixteenGiB);
    state.keepRows = 2'500'000;
    SaveSettings(profile, state);
  }
  EXPECT_EQ(QSettings(file, QSettings::IniFormat).value("Orrisvane/KeepAtMostRows").toInt(), 2'500'000);
  EXPECT_EQ(load(kSixteenGiB), 2'500'000);
  for (const char* wrong : {"999", "1000000001", "-5", "many"}) {
    Store("KeepAtMostRows", wrong);
    EXPECT_EQ(load(kSixteenGiB), static_cast<std::int64_t>(kSixteenGiB / 4 / RowBytes)) << wrong;
  }
}

TEST_F(SettingsStoreTest, GarbageValuesGiveTheDefaults) {
  StoreRaw("[Orrisvane]\nAdapter=three\nSave=1x\nLogFile=a, b\n");
  auto state = Load();
  EXPECT_EQ(state->adapterIndex, 0);
  EXPECT_EQ(state->saveLog, 0);
  EXPECT_EQ(state->logFilePath, "c:\\QuorvelLogFile.txt");  // a list is not a path

  StoreRaw("[Orrisvane]\nAdapter=4294967298\nSave=1\n");  // 2^32 + 2 must not wrap to 2
  state = Load();
  EXPECT_EQ(state->adapterIndex, 0);
  EXPECT_EQ(state->saveLog, 1);
}

TEST_F(SettingsStoreTest, TheSpoolLimitIsAtLeastOneMebibyte) {
  EXPECT_EQ(Load()->spoolLimitMiB, 4096);
  for (auto [stored, loaded] : std::vector<std::pair<int, int>>{{1, 1}, {20000, 20000}, {0, 4096}, {-5, 4096}}) {
    Store("SpoolLimitMiB", stored);
    EXPECT_EQ(Load()->spoolLimitMiB, loaded) << "stored " << stored;
  }
}

TEST_F(SettingsStoreTest, LogFilePathMustFitFiveHundredTwelveBytes) {
  const std::string fits(511, 'p');
  Store("LogFile", QString::fromStdString(fits));
  EXPECT_EQ(Load()->logFilePath, fits);
  Store("LogFile", QString::fromStdString(std::string(512, 'p')));
  EXPECT_EQ(Load()->logFilePath, "c:\\QuorvelLogFile.txt");
}

TEST_F(SettingsStoreTest, SavedValuesComeBackAsHeld) {
  {
    QSettingsProfile profile(file, QSettings::IniFormat);
    CaptureState state;
    LoadSettings(profile, state);
    state.adapterIndex = 3;
    state.saveLog = 1;
    state.logFilePath = "/home/u/trace log, #1.txt";
    state.columns.shown[static_cast<int>(ColumnId::Bytes)] = 0;
    state.remoteHosts = "capture@web1 root@10.0.0.5";
    state.moreAdapters = {"web1/eth0", "br0"};
    state.adapterFilters = {{"br0", "tcp\nport 80"}, {"web1/eth0", "not arp"}};
    state.holdBackMs = 350;
    SaveSettings(profile, state);
  }
  EXPECT_EQ(Load()->remoteHosts, "capture@web1 root@10.0.0.5");
  // More adapters come back by name, and show which adapter each row came through.
  EXPECT_EQ(Load()->moreAdapters, (std::vector<std::string>{"web1/eth0", "br0"}));
  EXPECT_EQ(Load()->holdBackMs, 350);
  // A line end in a filter is a blank to libpcap: stored as one, it keeps each filter a line.
  EXPECT_EQ(Load()->adapterFilters,
            (std::map<std::string, std::string>{{"br0", "tcp port 80"}, {"web1/eth0", "not arp"}}));
  EXPECT_TRUE(Load()->columns.IsShown(ColumnId::Interface));
  Store("MoreAdapters", " br0  br0 eth1");
  Store("HoldBackMs", 0);
  EXPECT_EQ(Load()->moreAdapters, (std::vector<std::string>{"br0", "eth1"}));
  EXPECT_EQ(Load()->holdBackMs, 200);
  // A hand-edited list reads as the page would have written it.
  Store("Hosts", " web1,web2  web1 ");
  EXPECT_EQ(Load()->remoteHosts, "web1 web2");
  QSettings raw(file, QSettings::IniFormat);
  EXPECT_EQ(raw.value("Orrisvane/Bools").toString().toStdString(), "101000111111100000111" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(raw.value("Orrisvane/Adapter").toInt(), 3);
  auto again = Load();
  EXPECT_EQ(again->adapterIndex, 3);
  EXPECT_EQ(again->saveLog, 1);
  EXPECT_EQ(again->logFilePath, "/home/u/trace log, #1.txt");
  EXPECT_TRUE(again->columns.IsShown(ColumnId::Bytes));  // every run starts with the default set
}

TEST_F(SettingsStoreTest, UnchangedDefaultsAreWrittenBackExactly) {
  {
    QSettingsProfile profile(file, QSettings::IniFormat);
    CaptureState state;
    LoadSettings(profile, state);
    SaveSettings(profile, state);
  }
  QSettings raw(file, QSettings::IniFormat);
  EXPECT_EQ(raw.value("Orrisvane/Bools").toString().toStdString(), "111000111111100000111" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(raw.value("Orrisvane/LogFile").toString(), "c:\\QuorvelLogFile.txt");
  EXPECT_EQ(raw.value("Orrisvane/Save").toInt(), 0);
  EXPECT_EQ(raw.value("Orrisvane/Adapter").toInt(), 0);
}

TEST(SettingsStoreOrder, ReadsAndWritesInTheirOrder) {
  RecordingProfile profile;
  CaptureState state;
  LoadSettings(profile, state);
  EXPECT_THAT(profile.calls, ElementsAre("read Orrisvane/Adapter", "read Orrisvane/Save", "read Orrisvane/LogFile",
                                         "read Orrisvane/CaptureFilter", "read Orrisvane/KeepAtMostRows",
                                         "read Orrisvane/SpoolLimitMiB", "read Orrisvane/Hosts",
                                         "read Orrisvane/KeepOwnSession", "read Orrisvane/AskToSave",
                                         "read Orrisvane/AdapterName", "read Orrisvane/DecodeIPv6",
                                         "read Orrisvane/GraphShown", "read Orrisvane/MoreAdapters",
                                         "read Orrisvane/MoreAdapterFilters", "read Orrisvane/HoldBackMs"));
  profile.calls.clear();
  state.keepRows = 5000000;
  SaveSettings(profile, state);
  EXPECT_THAT(profile.calls,
              ElementsAre("write Orrisvane/Bools=111000111111100000111" + std::string(ColumnCount - 21, '0'),
                          "write Orrisvane/LogFile=c:\\QuorvelLogFile.txt",
                          "write Orrisvane/Adapter=0", "write Orrisvane/Save=0", "write Orrisvane/CaptureFilter=",
                          "write Orrisvane/KeepAtMostRows=5000000", "write Orrisvane/SpoolLimitMiB=4096",
                          "write Orrisvane/Hosts=", "write Orrisvane/KeepOwnSession=0", "write Orrisvane/AskToSave=1",
                          "write Orrisvane/AdapterName=", "write Orrisvane/DecodeIPv6=0",
                          "write Orrisvane/GraphShown=0", "write Orrisvane/MoreAdapters=",
                          "write Orrisvane/MoreAdapterFilters=", "write Orrisvane/HoldBackMs=200"));
}

TEST(SettingsStoreLocation, ProfileNamesFollowTheApplication) {
  QSettingsProfile profile;
  EXPECT_EQ(profile.Settings().organizationName(), "Quorvel");
  EXPECT_EQ(profile.Settings().applicationName(), "Orrisvane Packet Sniffer with Winsock");
}
