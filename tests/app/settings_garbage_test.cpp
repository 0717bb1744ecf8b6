// A configuration file that another program, a crash or a hand has spoiled: garbage,
// wrong value types, huge numbers, an over-long "LogFile". Loading gives the defaults or
// values inside their ranges and never crashes; the window still starts and writes sane
// values back when it closes.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "app/main_frame.h"
#include "app/settings_store.h"
#include "capture/adapters/adapters.h"
#include "tests/app/app_test_support.h"

namespace {

const std::string DefaultPath = DefaultLogFile;

class SettingsGarbageTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString file = dir.filePath("profile.conf");
  int files_ = 0;

  // A new file each time: QSettings keeps what it read of a file and may not notice a
  // rewrite of the same size within the same second.
  void WriteRaw(const std::string& bytes) {
    file = dir.filePath(QStringLiteral("profile%1.conf").arg(++files_));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes.data(), static_cast<qint64>(bytes.size())), static_cast<qint64>(bytes.size()));
  }
  std::unique_ptr<CaptureState> Load() {
    QSettingsProfile profile(file, QSettings::IniFormat);
    auto state = std::make_unique<CaptureState>();
    LoadSettings(profile, *state);
    return state;
  }
  // What must hold after any load, whatever the file held.
  static void ExpectSane(const CaptureState& state, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_GE(state.adapterIndex, 0);
    EXPECT_LE(state.adapterIndex, HighestAdapterIndex);
    EXPECT_LE(state.logFilePath.size(), LogFilePathSize - 1);
    EXPECT_EQ(state.columns.ShownToText(), ColumnSet::Startup().ShownToText());
    EXPECT_EQ(state.columns.position, ColumnSet::Startup().position);
  }
};

TEST_F(SettingsGarbageTest, HugeAndOutOfRangeNumbersGiveTheDefaults) {
  const struct {
    const char* adapter;
    const char* save;
    std::int32_t adapterIndex;
    std::int32_t saveLog;
  } cases[] = {
      {"99999999999999999999999", "-99999999999999999999999", 0, 0},
      {"2147483648", "4294967296", 0, 0},  // one past the 32-bit range
      {"2147483647", "2147483647", 0, 2147483647},
      {"-2147483648", "-2147483648", 0, -2147483648},
      {"15", "1", 0, 1},
      {"-1", "0", 0, 0},
      {"14", "1", 14, 1},
      {"1e3", "0x1", 0, 0},
      {"", "", 0, 0},
      {"3 4", "true", 0, 0},
  };
  for (const auto& c : cases) {
    WriteRaw(std::string("[Orrisvane]\nAdapter=") + c.adapter + "\nSave=" + c.save + "\n");
    auto state = Load();
    const std::string what = std::string("Adapter=") + c.adapter + " Save=" + c.save;
    ExpectSane(*state, what);
    EXPECT_EQ(state->adapterIndex, c.adapterIndex) << what;
    EXPECT_EQ(state->saveLog, c.saveLog) << what;
    EXPECT_EQ(state->logFilePath, DefaultPath) << what;
  }
}

TEST_F(SettingsGarbageTest, ValuesOfTheWrongTypeGiveTheDefaults) {
  // Qt's own encodings of other value types, and broken ones.
  const char* const values[] = {
      "@ByteArray(\\0\\x1\\xff)", "@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x3QRect)", "@Variant(\\0\\0\\0\\n\\xff\\xff\\xff)",
      "@Rect(1 2 3 4)",           "@Size(10 20)",                              "@Point(1 2)",
      "@Invalid()",               "@Variant(",                                 "a, b, c",
      "\"unterminated",            "@DateTime(garbage)",                        "@",
  };
  for (const char* value : values) {
    WriteRaw(std::string("[Orrisvane]\nAdapter=") + value + "\nSave=" + value + "\nLogFile=" + value + "\n");
    auto state = Load();
    ExpectSane(*state, value);
    // A list, a rectangle or a byte array is no path and no number; a string that merely
    // looks odd may stay a path.
    EXPECT_EQ(state->adapterIndex, 0) << value;
    EXPECT_EQ(state->saveLog, 0) << value;
  }
}

TEST_F(SettingsGarbageTest, OverLongLogFileGivesTheDefaultAndAFittingOneStays) {
  const std::string fits(LogFilePathSize - 1, 'f');
  WriteRaw("[Orrisvane]\nLogFile=" + fits + "\n");
  EXPECT_EQ(Load()->logFilePath, fits);

  for (std::size_t length : {LogFilePathSize, std::size_t{4096}, std::size_t{4} << 20}) {
    WriteRaw("[Orrisvane]\nLogFile=/tmp/" + std::string(length, 'x') + "\n");
    auto state = Load();
    ExpectSane(*state, "LogFile of " + std::to_string(length));
    EXPECT_EQ(state->logFilePath, DefaultPath);
  }

  // 300 two-byte characters: 300 characters, but 600 bytes of the path.
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "\xC3\xA9";
  WriteRaw("[Orrisvane]\nLogFile=" + wide + "\n");
  EXPECT_EQ(Load()->logFilePath, DefaultPath);
}

TEST_F(SettingsGarbageTest, BrokenFilesLoadWithoutCrashing) {
  std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"no section", "Adapter=3\nSave=1\n"},
      {"unclosed section", "[Orrisvane\nAdapter=3\n"},
      {"keys without values", "[Orrisvane]\nAdapter\nSave\nLogFile\n"},
      {"nul bytes", std::string("[Orrisvane]\nAdapter=1\0\0\nLogFile=a\0b\n", 34)},
      {"control characters", "[Orrisvane]\nLogFile=\x01\x02\x1b[31m\x7f\n"},
      {"invalid UTF-8", "[Orrisvane]\nLogFile=\xff\xfe\xc3\n"},
      {"escapes", "[Orrisvane]\nLogFile=\\x\\u\\0\\\\\\\n"},
      {"duplicates", "[Orrisvane]\nAdapter=2\nAdapter=99\n[Orrisvane]\nAdapter=-5\n"},
      {"one endless line", "[Orrisvane]\nLogFile=" + std::string(8 << 20, '[')},
      {"deep nesting", "[" + std::string(100000, '/') + "]\nAdapter=1\n"},
  };
  // Random bytes, and a valid file with random bytes written over parts of it.
  std::mt19937 random(7);
  for (int i = 0; i < 40; ++i) {
    std::string bytes(1 + random() % 20000, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    files.emplace_back("random " + std::to_string(i), bytes);
    std::string spoiled = "[Orrisvane]\nAdapter=3\nSave=1\nLogFile=/tmp/orrisvane.log\nBools=" + std::string(20, '1') + "\n";
    for (int n = 0; n < 6; ++n) spoiled[random() % spoiled.size()] = static_cast<char>(random());
    files.emplace_back("spoiled " + std::to_string(i), spoiled);
  }
  for (const auto& [what, bytes] : files) {
    WriteRaw(bytes);
    auto state = Load();
    ExpectSane(*state, what);
  }
}

TEST_F(SettingsGarbageTest, AFolderWhereTheFileShouldBeGivesTheDefaults) {
  ASSERT_TRUE(QDir().mkpath(file));
  auto state = Load();
  ExpectSane(*state, "folder");
  EXPECT_EQ(state->adapterIndex, 0);
  EXPECT_EQ(state->saveLog, 0);
  EXPECT_EQ(state->logFilePath, DefaultPath);
}

class QuietMessages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString& text, const QString&) override {
    shown.push_back(text.toStdString());
    return 0;
  }
  std::vector<std::string> shown;
};

TEST_F(SettingsGarbageTest, TheWindowStartsOnASpoiledFileAndWritesSaneValuesBack) {
  WriteRaw("[Orrisvane]\nAdapter=@Rect(1 2 3 4)\nSave=99999999999999\nLogFile=" + std::string(70000, 'L') +
           "\nBools=@ByteArray(\\xff)\n\xff\xfe garbage \x01\n");
  FakeMachine machine;
  machine.AddAdapters(2);
  QuietMessages messages;
  {
    QSettingsProfile profile(file, QSettings::IniFormat);
    CMainFrame frame(machine.Environment(), profile, &messages);
    ASSERT_FALSE(frame.StartupFailed());
    EXPECT_TRUE(messages.shown.empty());
    ExpectSane(frame.State(), "window");
    EXPECT_EQ(frame.State().adapterIndex, 0);
    EXPECT_EQ(frame.State().logFilePath, DefaultPath);
    frame.close();
  }
  QSettings written(file, QSettings::IniFormat);
  EXPECT_EQ(written.value("Orrisvane/Adapter").toString(), "0");
  EXPECT_EQ(written.value("Orrisvane/Save").toString(), "0");
  EXPECT_EQ(written.value("Orrisvane/LogFile").toString().toStdString(), DefaultPath);
  EXPECT_EQ(written.value("Orrisvane/Bools").toString().toStdString(), ColumnSet::Startup().ShownToText());
}

}  // namespace
