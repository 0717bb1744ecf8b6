#include "capture/formats/capture_file_records.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

void Fill(FileRecord& record, const CaptureFileReader::Record& next) {
  record.data = next.data;
  record.length = next.length;
  record.timestampNs = next.timestampNs;
  record.originalLength = next.originalLength;
  record.offset = next.offset;
}

}  // namespace

bool PcapRecords::Next(FileRecord& record, std::string* why) {
  CaptureFileReader::Record next;
  if (!file_->Next(next, why)) return false;
  Fill(record, next);
  return true;
}

bool PcapRecords::NextInMemory(FileRecord& record) {
  CaptureFileReader::Record next;
  if (!file_->NextInMemory(next)) return false;
  Fill(record, next);
  return true;
}

PcapngRecords::~PcapngRecords() { ::close(fd_); }

bool PcapngRecords::Next(FileRecord& record, std::string* why) { return Take(record, why, true); }

bool PcapngRecords::NextInMemory(FileRecord& record) {
  std::string why;
  return Take(record, &why, false);
}

// A damaged block that NextInMemory meets stays where it is: Next meets it again and says why.
bool PcapngRecords::Take(FileRecord& record, std::string* why, bool mayRead) {
  for (;;) {
    switch (reader_.Next()) {
      case PcapngStreamReader::Item::Packet: {
        const PcapngPacket& packet = reader_.Packet();
        record.data = packet.data.data();
        record.length = static_cast<std::uint32_t>(packet.data.size());
        record.timestampNs = static_cast<std::int64_t>(
            std::min<std::uint64_t>(packet.timestampNanoseconds, std::numeric_limits<std::int64_t>::max()));
        record.originalLength = packet.originalLength;
        record.offset = reader_.ItemOffset();
        const auto& mac = reader_.Interfaces()[packet.interfaceId].macAddress;
        record.mac = mac ? &*mac : nullptr;
        record.owner = &packet.owner;
        record.interfaceId = packet.interfaceId;
        return true;
      }
      case PcapngStreamReader::Item::Interface:
        // The first interface after a section header: a section starts.
        if (interfaceFound) interfaceFound(reader_.ItemBlock(), reader_.Interfaces().size() == 1);
        break;
      case PcapngStreamReader::Item::Statistics:
        break;
      case PcapngStreamReader::Item::Failed:
        *why = reader_.Failure();
        return false;
      case PcapngStreamReader::Item::NeedMore: {
        if (ended_ || !mayRead) return false;
        const std::span<std::uint8_t> room = reader_.Space();
        ssize_t n = 0;
        do {
          n = ::read(fd_, room.data(), room.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
          *why = std::strerror(errno);
          return false;
        }
        if (n == 0) {
          ended_ = true;
          if (!reader_.Finish()) {
            *why = reader_.Failure();
            return false;
          }
          return false;
        }
        reader_.Commit(static_cast<std::size_t>(n));
        read_ += static_cast<std::uint64_t>(n);
        break;
      }
    }
  }
}
