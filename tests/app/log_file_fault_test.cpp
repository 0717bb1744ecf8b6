// The log file deleted under a running trace, alone or with its folder: reported once,
// logging ends for the trace, the next trace logs again.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "app/trace_files.h"

namespace {

RowStore Rows(int first, int count) {
  RowStore rows(2);
  for (int i = first; i < first + count; ++i) {
    const std::string number = std::to_string(i);
    const std::string_view cells[] = {number, "60"};
    rows.AppendRow(cells);
  }
  return rows;
}

TEST(LogFileFaults, ALogDeletedWithItsFolderIsReportedOnce) {
  QTemporaryDir dir;
  const QString folder = dir.filePath("logs");
  const ColumnSet columns = ColumnSet::FromText("11");
  std::vector<std::string> messages;
  LogFile log([&](const std::string& m) { messages.push_back(m); }, dir.path());

  for (bool wholeFolder : {true, false}) {
    SCOPED_TRACE(wholeFolder ? "folder removed" : "file deleted");
    messages.clear();
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(log.Open((folder + "/run.txt").toStdString(), columns));
    log.Append(Rows(0, 3));
    ASSERT_TRUE(messages.empty());

    ASSERT_TRUE(wholeFolder ? QDir(folder).removeRecursively() : QFile::remove(folder + "/run.txt"));
    log.Append(Rows(3, 3));
    log.Append(Rows(6, 3));
    log.Close();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("run.txt"), std::string::npos) << messages[0];
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(QFile::exists(folder + "/run.txt"));
  }

  // A later trace logs again once the folder is back.
  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(log.Open((folder + "/run.txt").toStdString(), columns));
  log.Append(Rows(0, 1));
  log.Close();
  QFile written(folder + "/run.txt");
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_EQ(written.readAll().toStdString(), "Packet Number\tBytes\n0\t60\n");
  EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
