#pragma once
// Keeping the rows: Save Trace writes the whole list to a file the user picks, and the
// log file receives every row as it reaches the list while "Save to File:" is on.
//
// Both use the one row-writing code of analysis/row_text.h: a header line with the shown
// columns' header texts, then one line per row; tab-separated text, or CSV when the file
// name ends in ".csv".

#include <QFile>
#include <QString>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "analysis/columns.h"
#include "analysis/frame_source.h"
#include "analysis/row_store.h"
#include "analysis/row_text.h"
#include "capture/formats/frame_file.h"

class QWidget;

// Writes the header line and every row of rows to path. The file appears complete or not
// at all: it is written under a temporary name in the same folder and renamed into place.
// On failure returns false and sets *error to a message naming the file and the system's
// reason; every write and the final storing of the data are checked.
bool SaveTrace(const QString& path, const ColumnSet& columns, const RowStore& rows, QString* error);
// The same for count rows picked from rows: storeRowOf gives the store row of each, in
// the order written (the rows a filtered or sorted list shows).
bool SaveTrace(const QString& path, const ColumnSet& columns, const RowStore& rows, std::int64_t count,
               const std::function<std::int64_t(std::int64_t)>& storeRowOf, QString* error);

// Writes bytes to path as they are, atomic and checked as SaveTrace is.
bool SaveBytes(const QString& path, std::span<const std::uint8_t> bytes, QString* error);

// Whether a save to path writes frames (a name ending in .pcap or .pcapng) rather than rows.
bool SavesFrames(const QString& path);

// Writes the frames of rows 0 to rowCount - 1 to path as captured: pcapng when the name
// ends in .pcapng, classic pcap when it ends in .pcap. packetNumberOf gives the packet
// number of a row, ownerOf (when given) the owner of its socket, which a pcapng file keeps.
// Rows whose frames frames no longer holds (or all, when it is null) are left out and
// counted in *missing. Atomic and checked as SaveTrace is.
// interfaces: the adapters of a trace or file of several, described in a pcapng file one
// each (frames name theirs); none for one.
bool SaveFrames(const QString& path, const FrameSource* frames, std::int64_t rowCount,
                const std::function<std::int64_t(std::int64_t row)>& packetNumberOf, std::int64_t* missing,
                QString* error, std::span<const frame_file::FileInterface> interfaces = {},
                const std::function<const ProcessOwner*(std::int64_t row)>& ownerOf = {});

// A save of frames of several adapters to a classic pcap file, which has one link type
// and no interfaces, is refused: the question that says so and offers the pcapng file
// beside it; empty when path is not such a save.
QString PcapOfSeveralAdaptersQuestion(const QString& path, std::size_t adapterCount);
// path with its .pcap ending made .pcapng.
QString AsPcapng(const QString& path);

// Told after a save of frames that left out the frames of missing of rowCount rows.
std::string FramesMissingMessage(std::int64_t missing, std::int64_t rowCount);

// The save dialog for Save Trace: text (.txt) or CSV (.csv), asks before overwriting.
// Returns the chosen path, or an empty string when the user cancels.
QString AskSaveTracePath(QWidget* parent);

// Where a stored log file path puts the log on this system. A Windows-style path with a
// drive prefix ("c:\QuorvelLogFile.txt") and a bare file name both land in homeDir, by
// their file name; backslashes count as folder separators; "~/" is homeDir; any other
// relative path is taken relative to homeDir; an absolute path stays as it is.
QString ResolveLogFilePath(const std::string& stored, const QString& homeDir);

class LogFile {
 public:
  using ReportFn = std::function<void(const std::string& message)>;

  // report shows a message to the user; homeDir is where relative paths are placed.
  LogFile(ReportFn report, QString homeDir);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the log for appending. A header line is written when the file is empty, or
  // when the columns differ from those of the header last written to it (the rows that
  // follow must sit under their own headings). A failure is reported, with the reason,
  // and false returned; the trace goes on without a log.
  bool Open(const std::string& storedPath, const ColumnSet& columns);
  bool IsOpen() const { return file_.isOpen(); }
  QString Path() const { return path_; }

  // Appends the rows of one batch, handed to the system at once. The first failure is
  // reported with the system's reason and ends logging for this trace; the rows the system
  // took whole stay in the file, and the rows in the list are not affected.
  void Append(const RowStore& batch);

  // Closes; harmless when not open.
  void Close();

 private:
  void Fail(const QString& reason);
  // Appends text, the lines of rows (or a header when rows is null); returns 0, or the error
  // number of the write that failed. After a failure the file keeps only the rows the system
  // took whole, so no half line is left for the next trace to append to.
  int Write(std::string_view text, const RowStore* rows);
  bool Unlinked();
  QString ReadFirstLine();
  static int OpenForAppend(const QString& path, QString* reason);

  ReportFn report_;
  QString homeDir_;
  QFile file_;
  QString path_;  // the file last opened: QFile knows no name for one opened by its descriptor
  RowFormat format_ = RowFormat::Tsv;
  // The header most recently written to (or found at the top of) lastPath_.
  QString lastPath_;
  std::string lastHeader_;
};
