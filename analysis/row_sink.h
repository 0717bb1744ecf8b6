#pragma once
// Where the decoder hands each row. The row's Data text may live in the decoder's buffer:
// a sink copies what it keeps before it returns.

#include "analysis/packet_row.h"

class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void AddRow(const PacketRow& row) = 0;
};
