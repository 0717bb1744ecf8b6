#include "app/trace_files.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/formats/frame_file.h"

namespace {

// Rows are turned into text a chunk at a time, so a long trace never needs a second
// copy of itself in memory.
constexpr std::size_t ChunkBytes = 1 << 20;

std::string_view View(const QString& path, QByteArray& storage) {
  storage = QFile::encodeName(path);
  return {storage.constData(), static_cast<std::size_t>(storage.size())};
}

std::string Utf8(const QString& text) { return text.toStdString(); }

// The system's own words for an error number ("No space left on device").
QString SystemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Hands all of text to the system through fd. Returns how many bytes it took; *error is 0
// when it took them all, else the error of the write that failed. Qt reports a short write
// as success and a failed one only in its own words, so the descriptor is written directly.
std::size_t WriteFully(int fd, std::string_view text, int* error) {
  std::size_t taken = 0;
  *error = 0;
  while (taken < text.size()) {
    const ssize_t n = ::write(fd, text.data() + taken, text.size() - taken);
    if (n > 0) {
      taken += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      *error = n < 0 ? errno : EIO;
      break;
    }
  }
  return taken;
}

// How many bytes of the text of batch's rows are whole rows within its first `taken` bytes.
std::size_t WholeRowsIn(const RowStore& batch, RowFormat format, std::size_t taken) {
  std::string line;
  std::size_t whole = 0;
  for (std::int64_t row = 0; row < batch.RowCount(); ++row) {
    line.clear();
    AppendRowLine(line, batch, row, format);
    if (whole + line.size() > taken) break;
    whole += line.size();
  }
  return whole;
}

// Writes a file the user saves: produce writes its whole content through the descriptor
// and returns 0 or the error number of the write that failed. The file appears complete
// or not at all.
// failure: the message, with %1 for the file and %2 for the reason.
bool SaveAtomically(const QString& path, const std::function<int(int fd)>& produce, QString* error,
                    const char* failure = "The trace could not be saved to %1: %2") {
  auto failed = [&](const QString& reason) {
    if (error) *error = QString::fromLatin1(failure).arg(path, reason);
    return false;
  };

  // Unbuffered, written through its descriptor: nothing waits in a buffer for a flush whose
  // failure would surface only when the file is committed.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return failed(file.errorString());
  const int fd = file.handle();

  int writeError = produce(fd);
  // Some file systems (network, quotas, delayed allocation) refuse the data only when it
  // is stored; the file must not replace the old one before that has succeeded.
  if (writeError == 0 && fsync(fd) != 0) writeError = errno;
  if (writeError != 0) {
    // The temporary file goes with the QSaveFile; the old file is never touched.
    file.cancelWriting();
    return failed(SystemReason(writeError));
  }
  // The temporary file is renamed over the target only here; on failure it is removed.
  if (!file.commit()) return failed(file.errorString());
  return true;
}

bool EndsWith(const QString& path, const char* suffix) {
  return path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
}

}  // namespace

bool SaveTrace(const QString& path, const ColumnSet& columns, const RowStore& rows, QString* error) {
  return SaveTrace(path, columns, rows, rows.RowCount(), [](std::int64_t row) { return row; }, error);
}

bool SaveTrace(const QString& path, const ColumnSet& columns, const RowStore& rows, std::int64_t count,
               const std::function<std::int64_t(std::int64_t)>& storeRowOf, QString* error) {
  QByteArray name;
  const RowFormat format = FormatForFileName(View(QFileInfo(path).fileName(), name));
  return SaveAtomically(
      path,
      [&](int fd) {
        int writeError = 0;
        std::string text;
        text.reserve(ChunkBytes + 4096);
        AppendHeaderLine(text, columns, format);
        auto writeOut = [&] {
          WriteFully(fd, text, &writeError);
          text.clear();
          return writeError == 0;
        };
        for (std::int64_t row = 0; row < count; ++row) {
          AppendRowLine(text, rows, storeRowOf(row), format);
          if (text.size() >= ChunkBytes && !writeOut()) break;
        }
        if (writeError == 0 && !text.empty()) writeOut();
        return writeError;
      },
      error);
}

std::string FramesMissingMessage(std::int64_t missing, std::int64_t rowCount) {
  return "The frames of " + std::to_string(missing) + " of the " + std::to_string(rowCount) +
         " rows are no longer kept on disk; the file holds the other " + std::to_string(rowCount - missing) + ".";
}

bool SaveBytes(const QString& path, std::span<const std::uint8_t> bytes, QString* error) {
  return SaveAtomically(
      path,
      [&](int fd) {
        int writeError = 0;
        WriteFully(fd, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, &writeError);
        return writeError;
      },
      error, "The bytes could not be saved to %1: %2");
}

bool SavesFrames(const QString& path) { return EndsWith(path, ".pcap") || EndsWith(path, ".pcapng"); }

bool SaveFrames(const QString& path, const FrameSource* frames, std::int64_t rowCount,
                const std::function<std::int64_t(std::int64_t row)>& packetNumberOf, std::int64_t* missing,
                QString* error, std::span<const frame_file::FileInterface> interfaces,
                const std::function<const ProcessOwner*(std::int64_t row)>& ownerOf) {
  const bool pcapng = EndsWith(path, ".pcapng");
  std::int64_t lost = 0;
  const bool saved = SaveAtomically(
      path,
      [&](int fd) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(ChunkBytes + frame_file::PcapngPacketBytes(frame_file::SnapLength));
        if (pcapng) {
          frame_file::AppendPcapngHeader(bytes, interfaces);
        } else {
          frame_file::AppendPcapHeader(bytes);
        }
        int writeError = 0;
        auto writeOut = [&] {
          WriteFully(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &writeError);
          bytes.clear();
          return writeError == 0;
        };
        StoredFrame frame;
        frame_file::PcapngOwners owners;
        for (std::int64_t row = 0; row < rowCount; ++row) {
          if (!frames || !frames->ReadFrame(packetNumberOf(row), frame)) {
            ++lost;
            continue;
          }
          if (pcapng) {
            const std::uint32_t owner = ownerOf ? owners.Number(bytes, ownerOf(row)) : 0;
            frame_file::AppendPcapngPacket(bytes, frame.timestampNs, frame.originalLength, frame.bytes,
                                           interfaces.empty() ? 0 : frame.interfaceId, owner);
          } else {
            frame_file::AppendPcapPacket(bytes, frame.timestampNs, frame.originalLength, frame.bytes);
          }
          if (bytes.size() >= ChunkBytes && !writeOut()) break;
        }
        if (writeError == 0 && !bytes.empty()) writeOut();
        return writeError;
      },
      error);
  if (missing) *missing = lost;
  return saved;
}

QString PcapOfSeveralAdaptersQuestion(const QString& path, std::size_t adapterCount) {
  if (adapterCount < 2 || !SavesFrames(path) || EndsWith(path, ".pcapng")) return {};
  return QStringLiteral(
             "The trace holds frames of %1 adapters. A .pcap file has one link type and no interfaces, so it "
             "cannot say which adapter each frame came through; a .pcapng file can. Save them as %2 instead?")
      .arg(adapterCount)
      .arg(AsPcapng(path));
}

QString AsPcapng(const QString& path) { return path + QStringLiteral("ng"); }

QString AskSaveTracePath(QWidget* parent) {
  static const QString textFilter = QStringLiteral("Tab-separated text (*.txt)");
  static const QString csvFilter = QStringLiteral("CSV (*.csv)");
  static const QString pcapngFilter = QStringLiteral("Frames, pcapng (*.pcapng)");
  static const QString pcapFilter = QStringLiteral("Frames, pcap (*.pcap)");
  QFileDialog dialog(parent, QStringLiteral("Save Trace"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({textFilter, csvFilter, pcapngFilter, pcapFilter});
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  dialog.setDirectory(QDir::homePath());
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(filter == csvFilter      ? QStringLiteral("csv")
                            : filter == pcapngFilter ? QStringLiteral("pcapng")
                            : filter == pcapFilter   ? QStringLiteral("pcap")
                                                     : QStringLiteral("txt"));
  });
  // QFileDialog asks before overwriting unless told not to.
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QString ResolveLogFilePath(const std::string& stored, const QString& homeDir) {
  QString path = QFile::decodeName(QByteArray(stored.data(), static_cast<qsizetype>(stored.size())));
  path.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (path.isEmpty()) return {};
  const QDir home(homeDir);
  static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
  if (drive.match(path).hasMatch()) {
    // The folders of another system's drive mean nothing here; keep the file's name.
    const QString name = QFileInfo(path.mid(2)).fileName();
    return name.isEmpty() ? QString() : home.filePath(name);
  }
  if (path.startsWith(QLatin1String("~/"))) return home.filePath(path.mid(2));
  if (QDir::isAbsolutePath(path)) return QDir::cleanPath(path);
  return home.filePath(path);
}

LogFile::LogFile(ReportFn report, QString homeDir) : report_(std::move(report)), homeDir_(std::move(homeDir)) {}

LogFile::~LogFile() { Close(); }

void LogFile::Fail(const QString& reason) {
  if (report_) report_(Utf8(reason));
}

int LogFile::Write(std::string_view text, const RowStore* rows) {
  struct stat info {};
  const qint64 before = fstat(file_.handle(), &info) == 0 ? static_cast<qint64>(info.st_size) : file_.size();
  int error = 0;
  const std::size_t taken = WriteFully(file_.handle(), text, &error);
  if (error != 0 && taken > 0) {
    const std::size_t whole = rows ? WholeRowsIn(*rows, format_, taken) : 0;
    file_.resize(before + static_cast<qint64>(whole));
  }
  return error;
}

QString LogFile::ReadFirstLine() {
  // Through the open descriptor: the name may lead elsewhere by now.
  QByteArray head(1 << 16, Qt::Uninitialized);
  const ssize_t n = ::pread(file_.handle(), head.data(), static_cast<std::size_t>(head.size()), 0);
  if (n <= 0) return {};
  head.truncate(static_cast<qsizetype>(n));
  const qsizetype end = head.indexOf('\n');
  return QString::fromUtf8(end < 0 ? head : head.left(end + 1));
}

// The log opened for appending, made the user's alone when new. It is never written
// through a symbolic link, nor into a file that someone else owns or that is not a plain
// file: a log in a folder others may write to (/tmp) could otherwise be a link they planted
// to one of the user's files, or a file of theirs that receives the user's traffic.
int LogFile::OpenForAppend(const QString& path, QString* reason) {
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    *reason = errno == ELOOP ? QStringLiteral("it is a symbolic link; name the file it leads to")
                             : SystemReason(errno);
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    *reason = !S_ISREG(info.st_mode) ? QStringLiteral("it is not a plain file")
                                     : QStringLiteral("it belongs to another user");
    ::close(fd);
    return -1;
  }
  // Non-blocking only so that a FIFO in its place could not hold the open up.
  ::fcntl(fd, F_SETFL, O_APPEND);
  return fd;
}

bool LogFile::Open(const std::string& storedPath, const ColumnSet& columns) {
  Close();
  const QString path = ResolveLogFilePath(storedPath, homeDir_);
  if (path.isEmpty()) {
    Fail(QStringLiteral("No log file is set (Settings, Log); the trace runs without a log."));
    return false;
  }
  QByteArray name;
  format_ = FormatForFileName(View(QFileInfo(path).fileName(), name));
  path_ = path;
  QString reason;
  const int fd = OpenForAppend(path, &reason);
  // Unbuffered: every batch goes to the system at once, and a write error shows at once.
  if (fd < 0 || !file_.open(fd, QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered,
                            QFileDevice::AutoCloseHandle)) {
    if (fd >= 0) {
      reason = file_.errorString();
      ::close(fd);
    }
    Fail(QStringLiteral("The log file %1 could not be opened: %2. The trace runs without a log.").arg(path, reason));
    return false;
  }

  std::string header;
  AppendHeaderLine(header, columns, format_);
  bool writeHeader = file_.size() == 0;
  if (!writeHeader) {
    const std::string known = path == lastPath_ ? lastHeader_ : Utf8(ReadFirstLine());
    writeHeader = !known.empty() && known != header;
  }
  if (writeHeader) {
    if (const int error = Write(header, nullptr); error != 0) {
      file_.close();
      Fail(QStringLiteral("The log file %1 could not be written: %2. The trace runs without a log.")
               .arg(path, SystemReason(error)));
      return false;
    }
  }
  lastPath_ = path;
  lastHeader_ = header;
  return true;
}

bool LogFile::Unlinked() {
  // A file deleted while open (on its own or with its folder) still takes writes on this
  // system, and every row would vanish without a word.
  struct stat info {};
  return fstat(file_.handle(), &info) == 0 && info.st_nlink == 0;
}

void LogFile::Append(const RowStore& batch) {
  if (!file_.isOpen()) return;
  if (Unlinked()) {
    const QString path = path_;
    file_.close();
    Fail(QStringLiteral("The log file %1 was deleted, or its folder removed. The trace goes on; its rows are no "
                        "longer logged.")
             .arg(path));
    return;
  }
  std::string text;
  const std::int64_t count = batch.RowCount();
  for (std::int64_t row = 0; row < count; ++row) AppendRowLine(text, batch, row, format_);
  if (text.empty()) return;
  const int error = Write(text, &batch);
  if (error == 0) return;
  const QString path = path_;
  file_.close();
  Fail(QStringLiteral("Writing to the log file %1 failed: %2. The trace goes on; its rows are no "
                      "longer logged.")
           .arg(path, SystemReason(error)));
}

void LogFile::Close() {
  if (!file_.isOpen()) return;
  file_.close();
}
