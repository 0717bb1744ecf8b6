#pragma once
// The fixed catalogue of report columns and the per-trace choice of which ones are shown.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int ColumnCount = 20;

enum class ColumnId : int {
  PacketNumber = 0,
  Bytes,
  InOut,
  MacSource,
  MacDestination,
  Ieee8023Length,
  Protocol,
  IpSource,
  IpDestination,
  UpperLayerProtocol,
  TcpConnectionNumber,
  TcpSourcePort,
  TcpDestinationPort,
  TcpSequenceNumber,
  TcpAcknowledgementNumber,
  TcpFlags,
  TcpWindow,
  TcpChecksum,
  WinsockFunction,
  Data,
};

// Header text of a column, as the list, the details dialog and written files show it.
std::string_view ColumnHeader(ColumnId id);

// The column set every run starts with; only its first 20 characters are used.
inline constexpr std::string_view StartupColumnPattern = "111000111111100000111111";

class ColumnSet {
 public:
  // shown[id] is 1 or 0; position[id] is the list column index of a shown column
  // (meaningless for a hidden one). PacketNumber is always shown.
  std::array<std::int32_t, ColumnCount> shown{};
  std::array<std::int32_t, ColumnCount> position{};

  bool IsShown(ColumnId id) const { return shown[static_cast<int>(id)] != 0; }
  int Position(ColumnId id) const { return position[static_cast<int>(id)]; }
  int ShownCount() const;

  // Recomputes position from shown: shown columns in ascending id order from 0.
  void AssignColumnPositions();

  // Text form: character i is '1' when column i is shown. Reading treats any other
  // character (and a missing one) as hidden and ignores characters past the 20th.
  void SetShownFromText(std::string_view text);
  std::string ShownToText() const;

  // The start-up set: StartupColumnPattern applied, positions assigned.
  static ColumnSet Startup();
  // Any text form, positions assigned.
  static ColumnSet FromText(std::string_view text);
};
