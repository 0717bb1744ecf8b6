#pragma once
// Turns one captured Ethernet frame into one row of column texts.

#include <cstdint>
#include <string_view>

#include "analysis/capture_state.h"
#include "analysis/row_sink.h"

// Decodes frame[0, length) of the state's frame buffer layout: direction from the source
// MAC against state.adapterMac, the four traffic counters, one row at index packetNumber
// (which the caller keeps equal to the sink's row count) with every shown column that
// applies, and the connection tracker for every TCP frame. Bytes at or past length read
// as zero. A length of 0 does nothing; a length above FrameBufferSize is treated as
// FrameBufferSize.
void DecodeFrame(std::int64_t packetNumber, const std::uint8_t* frame, std::uint32_t length,
                 RowSink& sink, CaptureState& state);

struct IpProtocolEntry {
  std::uint8_t number;
  char name[20];
  char description[260];
};
inline constexpr int IpProtocolCount = 21;
extern const IpProtocolEntry IpProtocolTable[IpProtocolCount];

// The "Protocol" cell text of an EtherType above 1500, written into buf; returns its text.
std::string_view EtherTypeName(std::uint16_t type, char (&buf)[8]);
