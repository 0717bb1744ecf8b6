#pragma once
// The settings kept between runs: the adapter index, the save-to-file flag, the log file
// path and the column flags. They are read once when the main window is created and
// written once when it closes; in between they live in the CaptureState.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QSettings>
#include <QString>

class CaptureState;
class ColumnSet;

// A per-user profile: entries by section and name, holding 32-bit integers or strings.
class SettingsProfile {
 public:
  virtual ~SettingsProfile() = default;
  // The default when the entry is missing or does not hold an integer.
  virtual std::int32_t ReadInt(std::string_view section, std::string_view entry, std::int32_t fallback) = 0;
  // The default when the entry is missing or does not hold a string.
  virtual std::string ReadString(std::string_view section, std::string_view entry, const std::string& fallback) = 0;
  virtual void WriteInt(std::string_view section, std::string_view entry, std::int32_t value) = 0;
  virtual void WriteString(std::string_view section, std::string_view entry, std::string_view text) = 0;
  // Pushes written values to the backing store; failures are not reported.
  virtual void Flush() {}
};

inline constexpr char ProfileOrganization[] = "Quorvel";
inline constexpr char ProfileApplication[] = "Orrisvane Packet Sniffer with Winsock";
inline constexpr char SettingsSection[] = "Orrisvane";
inline constexpr char DefaultLogFile[] = "c:\\QuorvelLogFile.txt";

// The profile in QSettings: the user's configuration under organisation "Quorvel" and
// application "Orrisvane Packet Sniffer with Winsock", or a given file (tests).
class QSettingsProfile : public SettingsProfile {
 public:
  QSettingsProfile();
  QSettingsProfile(const QString& fileName, QSettings::Format format);

  std::int32_t ReadInt(std::string_view section, std::string_view entry, std::int32_t fallback) override;
  std::string ReadString(std::string_view section, std::string_view entry, const std::string& fallback) override;
  void WriteInt(std::string_view section, std::string_view entry, std::int32_t value) override;
  void WriteString(std::string_view section, std::string_view entry, std::string_view text) override;
  void Flush() override;

  QSettings& Settings() { return *settings_; }

 private:
  std::unique_ptr<QSettings> settings_;
};

// The machine's physical memory in bytes (0 when the system does not say).
std::uint64_t PhysicalMemoryBytes();

// Reads the settings into the state: the start-up column set (the stored "Bools" is never
// read), "Adapter" clamped to 0..14, "Save", "LogFile", "CaptureFilter",
// "KeepAtMostRows" (missing or outside FewestKeptRows..MostKeptRows: DefaultKeptRows of
// physicalBytes), "SpoolLimitMiB", "Hosts", "KeepOwnSession", "AskToSave", "AdapterName"
// "DecodeIPv6" and "GraphShown" (missing or 0: off).
void LoadSettings(SettingsProfile& profile, CaptureState& state, std::uint64_t physicalBytes = PhysicalMemoryBytes());
// Writes "Bools", "LogFile", "Adapter", "Save", "CaptureFilter", "KeepAtMostRows",
// "SpoolLimitMiB", "Hosts", "KeepOwnSession", "AskToSave", "AdapterName", "DecodeIPv6" and
// "GraphShown", in that order.
void SaveSettings(SettingsProfile& profile, const CaptureState& state);

// The range of HoldBackMs: how long a trace of several adapters holds frames back.
inline constexpr std::int32_t FewestHoldBackMs = 10;
inline constexpr std::int32_t MostHoldBackMs = 5000;
// MoreAdapters' interface names, separated by blanks (no interface name has one); each once.
std::vector<std::string> SplitAdapterNames(const std::string& text);
// MoreAdapterFilters: a line for each adapter with a capture filter of its own, its
// interface name, a blank and the filter (line ends in a filter are stored as blanks,
// which the filter language reads alike). An adapter without a line, as in settings
// written before adapters had filters of their own, takes CaptureFilter.
std::map<std::string, std::string> SplitAdapterFilters(const std::string& text);
std::string JoinAdapterFilters(const std::map<std::string, std::string>& filters);
// Turns the Interface column on: a trace or file of several adapters shows it.
void ShowInterfaceColumn(ColumnSet& columns);
