#pragma once
// The fixed catalogue of report columns and the per-trace choice of which ones are shown.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int ColumnCount = 23;

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
  Time,  // seconds since the first frame of the trace or file shown
  Process,    // the program whose socket sent or received the frame
  Interface,  // the adapter a frame came through, for traces and files of several
};

// The order of the columns in the list, the saved files and the details dialog. Time came
// last to the catalogue but stands beside the packet number.
inline constexpr std::array<ColumnId, ColumnCount> ColumnListOrder = {
    ColumnId::PacketNumber,       ColumnId::Time,          ColumnId::Bytes,
    ColumnId::InOut,              ColumnId::MacSource,     ColumnId::MacDestination,
    ColumnId::Ieee8023Length,     ColumnId::Protocol,      ColumnId::IpSource,
    ColumnId::IpDestination,      ColumnId::UpperLayerProtocol, ColumnId::TcpConnectionNumber,
    ColumnId::TcpSourcePort,      ColumnId::TcpDestinationPort, ColumnId::TcpSequenceNumber,
    ColumnId::TcpAcknowledgementNumber, ColumnId::TcpFlags, ColumnId::TcpWindow,
    ColumnId::TcpChecksum,        ColumnId::WinsockFunction, ColumnId::Process,
    ColumnId::Interface,          ColumnId::Data,
};

// Header text of a column, as the list, the details dialog and written files show it.
std::string_view ColumnHeader(ColumnId id);

// The column set every run starts with; only its first ColumnCount characters are used.
inline constexpr std::string_view StartupColumnPattern = "111000111111100000111001";

class ColumnSet {
 public:
  // shown[id] is 1 or 0; position[id] is the list column index of a shown column
  // (meaningless for a hidden one). PacketNumber is always shown.
  std::array<std::int32_t, ColumnCount> shown{};
  std::array<std::int32_t, ColumnCount> position{};
  // Whether IPv6 frames get their addresses, upper-layer protocol and TCP and UDP cells;
  // without it they stop at the Protocol cell. It decides how rows are made, as the
  // columns do, so it travels with them (it is not part of the text form).
  bool decodeIpv6 = false;

  bool IsShown(ColumnId id) const { return shown[static_cast<int>(id)] != 0; }
  int Position(ColumnId id) const { return position[static_cast<int>(id)]; }
  int ShownCount() const;

  // Recomputes position from shown: shown columns in ColumnListOrder, from 0.
  void AssignColumnPositions();

  // Text form: character i is '1' when column i is shown. Reading treats any other
  // character (and a missing one) as hidden and ignores characters past the last column,
  // so a text written before a column existed reads with that column hidden.
  void SetShownFromText(std::string_view text);
  std::string ShownToText() const;

  // The start-up set: StartupColumnPattern applied, positions assigned.
  static ColumnSet Startup();
  // Any text form, positions assigned.
  static ColumnSet FromText(std::string_view text);
};
