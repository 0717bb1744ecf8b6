// Saving the trace and the log file: exact file contents in both layouts, failures that
// leave no half-written file, and the log across traces.

#include "app/trace_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "tests/app/app_test_support.h"
#include "capture/files/capture_file_loader.h"
#include "tests/support/frames.h"
#include "tests/support/recording_batch_sink.h"

namespace {

std::string ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

void WriteFile(const QString& path, std::string_view text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

// Packet Number, Bytes, Data.
ColumnSet ThreeColumns() { return ColumnSet::FromText("11000000000000000001"); }

RowStore AwkwardRows() {
  RowStore rows(3);
  const std::vector<std::vector<std::string_view>> cells = {
      {"0", "60", "GET /a\tb\\c"},
      {"1", "61", "line1\nline2\r"},
      {"2", "", "say \"hi\", ok"},
  };
  for (const auto& row : cells) rows.AppendRow(row);
  return rows;
}

RowStore NumberedRows(int first, int count, std::string_view data = "x") {
  RowStore rows(3);
  for (int i = first; i < first + count; ++i) {
    const std::string number = std::to_string(i);
    const std::string_view cells[] = {number, "60", data};
    rows.AppendRow(cells);
  }
  return rows;
}

QStringList Entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

class TraceFilesTest : public ::testing::Test {
 protected:
  QString At(const QString& name) const { return dir.filePath(name); }
  QTemporaryDir dir;
};

TEST_F(TraceFilesTest, SavesTabSeparatedTextWithEscapedCells) {
  ASSERT_TRUE(dir.isValid());
  QString error;
  ASSERT_TRUE(SaveTrace(At("trace.txt"), ThreeColumns(), AwkwardRows(), &error)) << error.toStdString();
  EXPECT_EQ(ReadAll(At("trace.txt")),
            "Packet Number\tBytes\tData\n"
            "0\t60\tGET /a\\tb\\\\c\n"
            "1\t61\tline1\\nline2\\r\n"
            "2\t\tsay \"hi\", ok\n");
  EXPECT_EQ(Entries(dir.path()), QStringList{"trace.txt"});
}

TEST_F(TraceFilesTest, SavesCsvWhenTheNameEndsInCsv) {
  QString error;
  ASSERT_TRUE(SaveTrace(At("trace.CSV"), ThreeColumns(), AwkwardRows(), &error)) << error.toStdString();
  EXPECT_EQ(ReadAll(At("trace.CSV")),
            "Packet Number,Bytes,Data\r\n"
            "0,60,GET /a\tb\\c\r\n"
            "1,61,\"line1\nline2\r\"\r\n"
            "2,,\"say \"\"hi\"\", ok\"\r\n");
}

TEST_F(TraceFilesTest, SavingAnEmptyListWritesTheHeaderAndReplacesAnOlderFile) {
  WriteFile(At("trace.txt"), std::string(5000, 'z'));
  QString error;
  ASSERT_TRUE(SaveTrace(At("trace.txt"), ColumnSet::FromText("1"), RowStore(1), &error));
  EXPECT_EQ(ReadAll(At("trace.txt")), "Packet Number\n");
}

TEST_F(TraceFilesTest, SaveIntoAFolderThatCannotBeWrittenFailsWithTheReason) {
  WriteFile(At("plain"), "not a folder");
  QString error;
  EXPECT_FALSE(SaveTrace(At("plain/trace.txt"), ThreeColumns(), AwkwardRows(), &error));
  EXPECT_TRUE(error.contains(At("plain/trace.txt"))) << error.toStdString();
  EXPECT_GT(error.size(), At("plain/trace.txt").size() + 30) << "no reason given: " << error.toStdString();

  ASSERT_TRUE(QDir(dir.path()).mkdir("taken"));
  error.clear();
  EXPECT_FALSE(SaveTrace(At("taken"), ThreeColumns(), AwkwardRows(), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_EQ(Entries(dir.path()), (QStringList{"plain", "taken"}));
  EXPECT_TRUE(Entries(At("taken")).isEmpty());
}

TEST_F(TraceFilesTest, FailureWhileWritingKeepsTheOldFileAndLeavesNothingBehind) {
  WriteFile(At("trace.txt"), "old contents\n");
  const RowStore many = NumberedRows(0, 20000, std::string(100, 'd'));
  QString error;
  // Many rows fail in the middle of the writing; a few fail only when the last of them
  // are handed to the system.
  for (const RowStore* rows : {&many, static_cast<const RowStore*>(nullptr)}) {
    const RowStore few = NumberedRows(0, 300);
    bool saved;
    {
      FileSizeLimit limit(1024);
      saved = SaveTrace(At("trace.txt"), ThreeColumns(), rows ? *rows : few, &error);
    }
    EXPECT_FALSE(saved);
    EXPECT_TRUE(error.contains(QString::fromLocal8Bit(std::strerror(EFBIG)))) << error.toStdString();
    EXPECT_EQ(ReadAll(At("trace.txt")), "old contents\n");
    EXPECT_EQ(Entries(dir.path()), QStringList{"trace.txt"});
  }

  // With room again, the same save goes through, every row in place.
  ASSERT_TRUE(SaveTrace(At("trace.txt"), ThreeColumns(), many, &error)) << error.toStdString();
  const std::string text = ReadAll(At("trace.txt"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20001);
  EXPECT_NE(text.find("\n19999\t60\t"), std::string::npos);
}

// Frames held in memory by packet number.
class MemoryFrames : public FrameSource {
 public:
  bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override {
    auto it = frames.find(packetNumber);
    if (it == frames.end()) return false;
    out = it->second;
    return true;
  }
  std::map<std::int64_t, StoredFrame> frames;
};

// The output of a command, one line per frame; nothing when the command is not there.
std::optional<std::vector<std::string>> CommandLines(const std::string& program, const std::string& arguments) {
  if (std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) != 0) return std::nullopt;
  std::FILE* pipe = ::popen((program + " " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::nullopt;
  std::vector<std::string> lines;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) lines.emplace_back(line);
  ::pclose(pipe);
  return lines;
}

TEST_F(TraceFilesTest, FramesAreSavedAsPcapOrPcapngAndReadByTcpdump) {
  using frames::DeviceLink;
  MemoryFrames source;
  source.frames[0] = {1'700'000'000'250'000'000, 0, DeviceLink.UdpFrame(false, 53, 1024, "first")};
  source.frames[2] = {1'700'000'001'000'001'000, 1514, DeviceLink.UdpFrame(true, 1024, 53, "third")};
  const auto rowIsNumber = [](std::int64_t row) { return row; };
  for (const char* name : {"frames.pcap", "frames.pcapng"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(SavesFrames(At(name)));
    QString error;
    std::int64_t missing = -1;
    // Row 1's frame has left the spool.
    ASSERT_TRUE(SaveFrames(At(name), &source, 3, rowIsNumber, &missing, &error)) << error.toStdString();
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(Entries(dir.path()).size(), 1u);
    const std::optional<std::vector<std::string>> lines =
        CommandLines("tcpdump", "-nn -tt -r '" + At(name).toStdString() + "'");
    if (!lines) GTEST_SKIP() << "tcpdump is not installed";
    ASSERT_EQ(lines->size(), 2u);
    EXPECT_EQ((*lines)[0].rfind("1700000000.250000 IP ", 0), 0u) << (*lines)[0];
    EXPECT_NE((*lines)[0].find(".53 > "), std::string::npos) << (*lines)[0];
    EXPECT_EQ((*lines)[1].rfind("1700000001.000001 IP ", 0), 0u) << (*lines)[1];
    EXPECT_NE((*lines)[1].find("length 5"), std::string::npos) << (*lines)[1];
    QFile::remove(At(name));
  }
  EXPECT_FALSE(SavesFrames(At("rows.txt")));
  EXPECT_FALSE(SavesFrames(At("rows.csv")));
  EXPECT_EQ(FramesMissingMessage(1, 3), "The frames of 1 of the 3 rows are no longer kept on disk; the file holds the other 2.");
}

// A trace of two adapters saved as pcapng describes both and names each frame's; tcpdump
// and tshark read it so, and opening it again shows each frame's adapter and decides its
// direction by that adapter's address. As .pcap it is refused, offering the pcapng file.
TEST_F(TraceFilesTest, FramesOfSeveralAdaptersRoundTripThroughPcapng) {
  using frames::DeviceLink;
  const std::vector<frame_file::FileInterface> adapters = {{"eth0", "eth0 (virtio_net)", DeviceLink.localMac},
                                                           {"web1: eth0", "eth0 (e1000)", DeviceLink.remoteMac}};
  MemoryFrames source;
  // A datagram from the local station, seen leaving eth0 and arriving at web1.
  const frames::Bytes datagram = DeviceLink.UdpFrame(true, 1024, 53, "query");
  source.frames[0] = {1'700'000'000'000'000'000, 0, datagram, 0};
  source.frames[1] = {1'700'000'000'000'100'000, 0, datagram, 1};
  source.frames[2] = {1'700'000'000'000'200'000, 0, DeviceLink.UdpFrame(false, 53, 1024, "answer"), 1};
  const QString path = At("two.pcapng");
  QString error;
  std::int64_t missing = -1;
  ASSERT_TRUE(SaveFrames(path, &source, 3, [](std::int64_t row) { return row; }, &missing, &error, adapters))
      << error.toStdString();

  const std::string quoted = std::string("'").append(path.toStdString()).append("'");
  if (const auto lines = CommandLines("tshark", "-r " + quoted + " -T fields -e frame.interface_id -e frame.interface_name")) {
    EXPECT_EQ(*lines, (std::vector<std::string>{"0\teth0\n", "1\tweb1: eth0\n", "1\tweb1: eth0\n"}));
  }
  if (const auto lines = CommandLines("tcpdump", "-nn -r " + quoted)) {
    EXPECT_EQ(lines->size(), 3u);
  }

  std::string why;
  std::unique_ptr<CaptureFileLoader> loader = CaptureFileLoader::Open(path.toStdString(), &why);
  ASSERT_TRUE(loader) << why;
  EXPECT_EQ(loader->Interfaces().size(), 2u);
  ColumnSet columns = ColumnSet::FromText(std::string(ColumnCount, '0'));
  for (const ColumnId id : {ColumnId::PacketNumber, ColumnId::InOut, ColumnId::Interface}) columns.shown[static_cast<int>(id)] = 1;
  columns.AssignColumnPositions();
  RecordingBatchSink rows(columns);
  loader->Start(columns, {}, rows);
  loader->Wait();
  ASSERT_EQ(rows.Rows(), 3);
  const int inOut = columns.Position(ColumnId::InOut), adapter = columns.Position(ColumnId::Interface);
  const std::vector<std::pair<std::string, std::string>> expected = {{"out", "eth0"}, {"in", "web1: eth0"}, {"out", "web1: eth0"}};
  for (std::int64_t row = 0; row < 3; ++row)
    EXPECT_EQ(std::make_pair(rows.Cell(row, inOut), rows.Cell(row, adapter)), expected[static_cast<std::size_t>(row)]) << row;

  EXPECT_FALSE(PcapOfSeveralAdaptersQuestion(At("two.pcap"), adapters.size()).isEmpty());
  EXPECT_TRUE(PcapOfSeveralAdaptersQuestion(At("one.pcap"), 1).isEmpty());
  EXPECT_EQ(AsPcapng(At("two.pcap")), At("two.pcapng"));
}

TEST(LogFilePath, WindowsAndBarePathsLandInTheHomeFolder) {
  const QString home = "/home/user";
  EXPECT_EQ(ResolveLogFilePath("c:\\QuorvelLogFile.txt", home), "/home/user/QuorvelLogFile.txt");
  EXPECT_EQ(ResolveLogFilePath("D:\\logs\\run1.txt", home), "/home/user/run1.txt");
  EXPECT_EQ(ResolveLogFilePath("run1.txt", home), "/home/user/run1.txt");
  EXPECT_EQ(ResolveLogFilePath("logs\\run1.txt", home), "/home/user/logs/run1.txt");
  EXPECT_EQ(ResolveLogFilePath("~/logs/run1.txt", home), "/home/user/logs/run1.txt");
  EXPECT_EQ(ResolveLogFilePath("/var/tmp/run1.txt", home), "/var/tmp/run1.txt");
  EXPECT_EQ(ResolveLogFilePath("", home), "");
  EXPECT_EQ(ResolveLogFilePath("c:\\", home), "");
}

class LogFileTest : public TraceFilesTest {
 protected:
  std::vector<std::string> messages;
};

TEST_F(LogFileTest, TwoTracesShareOneHeaderAndEveryRowIsAppended) {
  const std::string header = "Packet Number\tBytes\tData\n";
  {
    LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
    ASSERT_TRUE(log.Open("c:\\QuorvelLogFile.txt", ThreeColumns()));
    EXPECT_EQ(log.Path(), At("QuorvelLogFile.txt"));
    log.Append(NumberedRows(0, 2));
    // Each batch reaches the system before the next one: a reader sees it already.
    EXPECT_EQ(ReadAll(At("QuorvelLogFile.txt")), header + "0\t60\tx\n1\t60\tx\n");
    log.Append(NumberedRows(2, 1, "a\tb"));
    log.Close();

    ASSERT_TRUE(log.Open("c:\\QuorvelLogFile.txt", ThreeColumns()));
    log.Append(NumberedRows(0, 1, "second"));
    log.Close();
  }
  EXPECT_EQ(ReadAll(At("QuorvelLogFile.txt")),
            header + "0\t60\tx\n1\t60\tx\n2\t60\ta\\tb\n0\t60\tsecond\n");

  // A later run of the program appends too, under the header already there.
  LogFile again([this](const std::string& m) { messages.push_back(m); }, dir.path());
  ASSERT_TRUE(again.Open(At("QuorvelLogFile.txt").toStdString(), ThreeColumns()));
  again.Append(NumberedRows(0, 1, "third"));
  again.Close();
  EXPECT_EQ(ReadAll(At("QuorvelLogFile.txt")),
            header + "0\t60\tx\n1\t60\tx\n2\t60\ta\\tb\n0\t60\tsecond\n0\t60\tthird\n");
  EXPECT_TRUE(messages.empty());
}

TEST_F(LogFileTest, NewColumnsGetTheirOwnHeaderLine) {
  LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
  ASSERT_TRUE(log.Open("run.txt", ThreeColumns()));
  log.Append(NumberedRows(0, 1));
  log.Close();

  const ColumnSet two = ColumnSet::FromText("11");
  ASSERT_TRUE(log.Open("run.txt", two));
  RowStore rows(2);
  const std::string_view cells[] = {"0", "42"};
  rows.AppendRow(cells);
  log.Append(rows);
  log.Close();

  ASSERT_TRUE(log.Open("run.txt", ThreeColumns()));
  log.Append(NumberedRows(1, 1));
  log.Close();
  EXPECT_EQ(ReadAll(At("run.txt")),
            "Packet Number\tBytes\tData\n0\t60\tx\n"
            "Packet Number\tBytes\n0\t42\n"
            "Packet Number\tBytes\tData\n1\t60\tx\n");
}

TEST_F(LogFileTest, CsvLogWhenTheNameEndsInCsv) {
  LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
  ASSERT_TRUE(log.Open("run.csv", ThreeColumns()));
  log.Append(NumberedRows(0, 1, "a,b"));
  log.Close();
  EXPECT_EQ(ReadAll(At("run.csv")), "Packet Number,Bytes,Data\r\n0,60,\"a,b\"\r\n");
}

TEST_F(LogFileTest, OpenFailureIsReportedWithTheReason) {
  WriteFile(At("plain"), "not a folder");
  LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
  EXPECT_FALSE(log.Open(At("plain/log.txt").toStdString(), ThreeColumns()));
  EXPECT_FALSE(log.IsOpen());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(At("plain/log.txt").toStdString()), std::string::npos) << messages[0];
  log.Append(NumberedRows(0, 1));  // nothing to write to: no crash, no second message
  EXPECT_EQ(messages.size(), 1u);

  EXPECT_FALSE(log.Open("", ThreeColumns()));
  EXPECT_EQ(messages.size(), 2u);

  // The header cannot be written to a full disk.
  if (QFile::exists("/dev/full")) {
    EXPECT_FALSE(log.Open("/dev/full", ThreeColumns()));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_NE(messages[2].find("/dev/full"), std::string::npos) << messages[2];
  }
}

// A link someone planted, or their file, would take the rows to them or over a file of ours.
TEST_F(LogFileTest, ALinkOrSomeoneElsesFileIsNotWrittenTo) {
  WriteFile(At("mine.txt"), "keep");
  ASSERT_TRUE(QFile::link(At("mine.txt"), At("link.txt")));
  WriteFile(At("theirs.txt"), "");
  const bool root = ::geteuid() == 0 && ::chown(QFile::encodeName(At("theirs.txt")).constData(), 65534, 65534) == 0;
  LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
  EXPECT_FALSE(log.Open("link.txt", ThreeColumns()));
  EXPECT_EQ(log.Open("theirs.txt", ThreeColumns()), !root);
  EXPECT_EQ(ReadAll(At("mine.txt")), "keep");
  EXPECT_EQ(messages.size(), root ? 2u : 1u);
}

TEST_F(LogFileTest, WriteFailureIsReportedOnceAndLeavesNoHalfLine) {
  LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
  ASSERT_TRUE(log.Open("run.txt", ThreeColumns()));
  log.Append(NumberedRows(0, 2));
  const std::string before = ReadAll(At("run.txt"));
  {
    FileSizeLimit limit(static_cast<rlim_t>(before.size()) + 10);
    log.Append(NumberedRows(2, 3, "a longer data cell"));
    log.Append(NumberedRows(5, 3));
  }
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("run.txt"), std::string::npos) << messages[0];
  EXPECT_EQ(ReadAll(At("run.txt")), before);
  log.Append(NumberedRows(8, 1));  // logging stays off for this trace
  log.Close();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(ReadAll(At("run.txt")), before);

  // The next trace logs again.
  ASSERT_TRUE(log.Open("run.txt", ThreeColumns()));
  log.Append(NumberedRows(0, 1, "next"));
  log.Close();
  EXPECT_EQ(ReadAll(At("run.txt")), before + "0\t60\tnext\n");
}

TEST_F(LogFileTest, WriteFailureKeepsTheRowsTheSystemTookAndGivesItsReason) {
  LogFile log([this](const std::string& m) { messages.push_back(m); }, dir.path());
  ASSERT_TRUE(log.Open("run.txt", ThreeColumns()));
  const std::string before = ReadAll(At("run.txt"));
  const std::string taken = "0\t60\tx\n1\t60\tx\n";
  {
    // Room for two rows and part of the third.
    FileSizeLimit limit(static_cast<rlim_t>(before.size() + taken.size()) + 3);
    log.Append(NumberedRows(0, 5));
  }
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(std::strerror(EFBIG)), std::string::npos) << messages[0];
  EXPECT_EQ(ReadAll(At("run.txt")), before + taken);
}

}  // namespace
