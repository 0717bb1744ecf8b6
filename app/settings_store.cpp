#include "app/settings_store.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

#include "analysis/capture_state.h"
#include "capture/adapters/adapters.h"
#include "capture/remote/ssh_command.h"

namespace {

QString Key(std::string_view section, std::string_view entry) {
  return QString::fromUtf8(section.data(), static_cast<qsizetype>(section.size())) + '/' +
         QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size()));
}

}  // namespace

QSettingsProfile::QSettingsProfile()
    : settings_(std::make_unique<QSettings>(QString::fromLatin1(ProfileOrganization),
                                            QString::fromLatin1(ProfileApplication))) {}

QSettingsProfile::QSettingsProfile(const QString& fileName, QSettings::Format format)
    : settings_(std::make_unique<QSettings>(fileName, format)) {}

std::int32_t QSettingsProfile::ReadInt(std::string_view section, std::string_view entry, std::int32_t fallback) {
  const QVariant value = settings_->value(Key(section, entry));
  // Text files hand integers back as strings; anything that is not a whole 32-bit number
  // (a list, garbage, an overflow) counts as missing.
  if (!value.isValid() || value.typeId() == QMetaType::QStringList) return fallback;
  bool ok = false;
  const qlonglong number = value.toString().trimmed().toLongLong(&ok);
  if (!ok || number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max())
    return fallback;
  return static_cast<std::int32_t>(number);
}

std::string QSettingsProfile::ReadString(std::string_view section, std::string_view entry,
                                         const std::string& fallback) {
  const QVariant value = settings_->value(Key(section, entry));
  if (!value.isValid() || value.typeId() != QMetaType::QString) return fallback;
  return value.toString().toStdString();
}

void QSettingsProfile::WriteInt(std::string_view section, std::string_view entry, std::int32_t value) {
  settings_->setValue(Key(section, entry), value);
}

void QSettingsProfile::WriteString(std::string_view section, std::string_view entry, std::string_view text) {
  settings_->setValue(Key(section, entry), QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void QSettingsProfile::Flush() { settings_->sync(); }

std::uint64_t PhysicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) : 0;
}

void LoadSettings(SettingsProfile& profile, CaptureState& state, std::uint64_t physicalBytes) {
  // Every run starts with the same column set, whatever the last run stored.
  state.columns.SetShownFromText(StartupColumnPattern);
  state.columns.AssignColumnPositions();

  std::int32_t adapter = profile.ReadInt(SettingsSection, "Adapter", 0);
  if (adapter < 0 || adapter > HighestAdapterIndex) adapter = 0;
  state.adapterIndex = adapter;

  state.saveLog = profile.ReadInt(SettingsSection, "Save", 0);

  // A path that does not fit the 512-byte field is not cut: a cut path would name some
  // other file. The default takes its place.
  std::string logFile = profile.ReadString(SettingsSection, "LogFile", DefaultLogFile);
  if (logFile.size() > LogFilePathSize - 1) logFile = DefaultLogFile;
  state.logFilePath = logFile;

  // Kept as stored: one that no longer compiles is refused at Start with libpcap's reason.
  state.captureFilter = profile.ReadString(SettingsSection, "CaptureFilter", "");

  // Kept as a 32-bit number, as every setting is; MostKeptRows fits.
  const std::int32_t keep = profile.ReadInt(SettingsSection, "KeepAtMostRows", 0);
  state.keepRows = keep >= FewestKeptRows && keep <= MostKeptRows ? keep : DefaultKeptRows(physicalBytes);
  const std::int32_t spoolLimit = profile.ReadInt(SettingsSection, "SpoolLimitMiB", CaptureState{}.spoolLimitMiB);
  state.spoolLimitMiB = spoolLimit >= 1 ? spoolLimit : CaptureState{}.spoolLimitMiB;
  state.remoteHosts = JoinHosts(SplitHosts(profile.ReadString(SettingsSection, "Hosts", "")));
  state.keepOwnSession = profile.ReadInt(SettingsSection, "KeepOwnSession", 0) != 0;
  state.askToSave = profile.ReadInt(SettingsSection, "AskToSave", 1) != 0;
  state.adapterName = profile.ReadString(SettingsSection, "AdapterName", "");
  state.columns.decodeIpv6 = profile.ReadInt(SettingsSection, "DecodeIPv6", 0) != 0;
  state.graphShown = profile.ReadInt(SettingsSection, "GraphShown", 0) != 0;
  state.moreAdapters = SplitAdapterNames(profile.ReadString(SettingsSection, "MoreAdapters", ""));
  state.adapterFilters = SplitAdapterFilters(profile.ReadString(SettingsSection, "MoreAdapterFilters", ""));
  const std::int32_t holdBack = profile.ReadInt(SettingsSection, "HoldBackMs", CaptureState{}.holdBackMs);
  state.holdBackMs = holdBack >= FewestHoldBackMs && holdBack <= MostHoldBackMs ? holdBack : CaptureState{}.holdBackMs;
  // A trace of several adapters says which one each frame came through; the start-up
  // column set is not stored, so neither is this.
  if (!state.moreAdapters.empty()) ShowInterfaceColumn(state.columns);
}

std::vector<std::string> SplitAdapterNames(const std::string& text) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    std::string name = text.substr(at, end - at);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
    at = end + 1;
  }
  return names;
}

std::map<std::string, std::string> SplitAdapterFilters(const std::string& text) {
  std::map<std::string, std::string> filters;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    if (const std::size_t blank = line.find(' '); blank != std::string::npos && blank > 0)
      filters.emplace(line.substr(0, blank), line.substr(blank + 1));
    at = end + 1;
  }
  return filters;
}

std::string JoinAdapterFilters(const std::map<std::string, std::string>& filters) {
  std::string text;
  for (const auto& [name, filter] : filters) {
    std::string oneLine = filter;
    std::replace_if(oneLine.begin(), oneLine.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    text += (text.empty() ? "" : "\n") + name + " " + oneLine;
  }
  return text;
}

void ShowInterfaceColumn(ColumnSet& columns) {
  columns.shown[static_cast<int>(ColumnId::Interface)] = 1;
  columns.AssignColumnPositions();
}

void SaveSettings(SettingsProfile& profile, const CaptureState& state) {
  profile.WriteString(SettingsSection, "Bools", state.columns.ShownToText());
  profile.WriteString(SettingsSection, "LogFile", state.logFilePath);
  profile.WriteInt(SettingsSection, "Adapter", state.adapterIndex);
  profile.WriteInt(SettingsSection, "Save", state.saveLog);
  profile.WriteString(SettingsSection, "CaptureFilter", state.captureFilter);
  profile.WriteInt(SettingsSection, "KeepAtMostRows", static_cast<std::int32_t>(state.keepRows));
  profile.WriteInt(SettingsSection, "SpoolLimitMiB", state.spoolLimitMiB);
  profile.WriteString(SettingsSection, "Hosts", state.remoteHosts);
  profile.WriteInt(SettingsSection, "KeepOwnSession", state.keepOwnSession ? 1 : 0);
  profile.WriteInt(SettingsSection, "AskToSave", state.askToSave ? 1 : 0);
  profile.WriteString(SettingsSection, "AdapterName", state.adapterName);
  profile.WriteInt(SettingsSection, "DecodeIPv6", state.columns.decodeIpv6 ? 1 : 0);
  profile.WriteInt(SettingsSection, "GraphShown", state.graphShown ? 1 : 0);
  std::string names;
  for (const std::string& name : state.moreAdapters) names += (names.empty() ? "" : " ") + name;
  profile.WriteString(SettingsSection, "MoreAdapters", names);
  profile.WriteString(SettingsSection, "MoreAdapterFilters", JoinAdapterFilters(state.adapterFilters));
  profile.WriteInt(SettingsSection, "HoldBackMs", state.holdBackMs);
  profile.Flush();
}
