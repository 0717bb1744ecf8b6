// Fuzz target: arbitrary bytes as the pcapng stream of a capture agent. The stream is
// read twice: handed over whole, and in pieces of a size taken from its length, as a
// pipe may cut it. Both readings must yield the same items and end the same way, every
// frame must lie within the bytes given, and a stream that ends cleanly must have had
// its section header.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "capture/formats/pcapng_stream.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "pcapng_stream_fuzz: %s\n", what);
  std::abort();
}

// What an item carried, reduced to numbers that two readings can compare.
struct Seen {
  PcapngStreamReader::Item item;
  std::uint64_t a = 0, b = 0, c = 0;
  std::uint64_t digest = 0;

  bool operator==(const Seen&) const = default;
};

std::uint64_t Digest(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::uint8_t byte : bytes) h = (h ^ byte) * 1099511628211ull;
  return h;
}

struct Result {
  std::vector<Seen> items;
  bool clean = false;
  std::string failure;
};

void Drain(PcapngStreamReader& reader, Result& result, std::size_t total) {
  for (;;) {
    const PcapngStreamReader::Item item = reader.Next();
    Seen seen{item};
    switch (item) {
      case PcapngStreamReader::Item::NeedMore:
        return;
      case PcapngStreamReader::Item::Failed:
        // Once failed, the reader answers Failed to every call: the failure counts once.
        if (reader.Failure().empty()) Broken("a failure without a reason");
        if (result.items.empty() || result.items.back().item != item) result.items.push_back(seen);
        return;
      case PcapngStreamReader::Item::Interface: {
        const PcapngInterface& i = reader.LastInterface();
        if (i.linkType != pcapng::LinkTypeEthernet) Broken("an interface of another link type was accepted");
        seen.a = i.snapLength;
        seen.b = i.timestampResolution;
        seen.c = i.macAddress ? 1 : 0;
        seen.digest = Digest({reinterpret_cast<const std::uint8_t*>(i.name.data()), i.name.size()}) ^
                      Digest({reinterpret_cast<const std::uint8_t*>(i.description.data()), i.description.size()});
        break;
      }
      case PcapngStreamReader::Item::Packet: {
        const PcapngPacket& p = reader.Packet();
        if (p.interfaceId >= reader.Interfaces().size()) Broken("a packet of an undescribed interface");
        if (p.data.size() > total || p.data.size() > pcapng::MaxBlockLength) Broken("a frame longer than the stream");
        seen.a = p.interfaceId;
        seen.b = p.timestampNanoseconds;
        seen.c = p.originalLength;
        seen.digest = Digest(p.data) ^ p.data.size();
        break;
      }
      case PcapngStreamReader::Item::Statistics: {
        const PcapngStatistics& s = reader.Statistics();
        seen.a = s.interfaceId;
        seen.b = s.received.value_or(~0ull);
        seen.c = s.dropped.value_or(~0ull);
        break;
      }
    }
    result.items.push_back(seen);
  }
}

Result Read(std::span<const std::uint8_t> bytes, std::size_t piece) {
  Result result;
  PcapngStreamReader reader;
  const std::size_t total = bytes.size();
  while (!bytes.empty()) {
    const std::size_t n = std::min(piece, bytes.size());
    std::span<const std::uint8_t> chunk = bytes.first(n);
    while (!chunk.empty()) {
      const std::size_t taken = reader.Feed(chunk);
      if (taken == 0) Broken("the reader took nothing with items still to give");
      chunk = chunk.subspan(taken);
      Drain(reader, result, total);
    }
    bytes = bytes.subspan(n);
  }
  Drain(reader, result, total);
  result.clean = reader.Finish();
  result.failure = reader.Failure();
  if (result.clean && !result.failure.empty()) Broken("a clean end with a failure");
  if (!result.clean && result.failure.empty()) Broken("an unclean end without a reason");
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const Result whole = Read(bytes, size == 0 ? 1 : size);
  const Result pieces = Read(bytes, size % 67 + 1);
  if (whole.items != pieces.items) Broken("the items depend on how the stream was cut");
  if (whole.clean != pieces.clean || whole.failure != pieces.failure) Broken("the end depends on how the stream was cut");
  return 0;
}
