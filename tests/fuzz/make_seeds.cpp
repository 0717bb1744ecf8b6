// Writes the seed corpora of the fuzz targets from frames built as the tests build
// them. The seeds are committed; run this again after changing it:
//   make_fuzz_seeds tests/fuzz/seeds

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/columns.h"
#include "tests/support/pcapng_builder.h"
#include "tests/support/capture_files.h"
#include "tests/support/frames.h"

namespace {

namespace fs = std::filesystem;
using namespace frames;
constexpr const Link& kLink = DecoderLink;
namespace pb = pcapng_builder;

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The decode target's layout: column flags, first row, adapter MAC, then framed frames.
Bytes DecodeInput(std::uint32_t columns, std::uint8_t firstRow, const std::vector<Bytes>& frames) {
  Bytes in = {static_cast<std::uint8_t>(columns), static_cast<std::uint8_t>(columns >> 8),
              static_cast<std::uint8_t>(columns >> 16), firstRow};
  in.insert(in.end(), kLink.localMac.begin(), kLink.localMac.end());
  for (const Bytes& f : frames) {
    const std::size_t n = std::min<std::size_t>(f.size(), 1520);
    in.push_back(static_cast<std::uint8_t>(n >> 8));
    in.push_back(static_cast<std::uint8_t>(n));
    in.insert(in.end(), f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return in;
}

std::vector<Bytes> TcpSession() {
  TcpFields t;
  std::vector<Bytes> s;
  t.flags = 0x02; t.sequence = 100; s.push_back(kLink.TcpFrame(true, t));                              // connect()
  t.flags = 0x12; t.sequence = 900; t.acknowledgement = 101; s.push_back(kLink.TcpFrame(false, t));  // SYN-ACK
  t.flags = 0x10; t.sequence = 101; t.acknowledgement = 901; s.push_back(kLink.TcpFrame(true, t));
  t.flags = 0x18; s.push_back(kLink.TcpFrame(true, t, "GET / HTTP/1.0\r\n\r\n"));  // send()
  t.flags = 0x18; s.push_back(kLink.TcpFrame(false, t, "HTTP/1.0 200 OK\r\n\tx\\y"));
  t.flags = 0x11; s.push_back(kLink.TcpFrame(false, t));  // remote close()
  t.flags = 0x10; s.push_back(kLink.TcpFrame(true, t));
  t.flags = 0x11; s.push_back(kLink.TcpFrame(true, t));   // close()
  t.flags = 0x10; s.push_back(kLink.TcpFrame(false, t));
  t.flags = 0x04; s.push_back(kLink.TcpFrame(false, t));  // a reset
  s.push_back(kLink.TcpFrame(false, {.headerWords = 8}, "with options"));
  return s;
}

std::vector<Bytes> OtherKinds() {
  std::vector<Bytes> s;
  const Link& l = kLink;
  s.push_back(Pad(Ethernet(l.remoteMac, l.localMac, 0x0806, Arp(1, l.localMac, l.localIp, {}, l.remoteIp)), 60));
  s.push_back(Pad(Ethernet(l.localMac, l.remoteMac, 0x0806, Arp(2, l.remoteMac, l.remoteIp, l.localMac, l.localIp)), 60));
  s.push_back(Ethernet(OtherMac, l.remoteMac, 0x0800,
                       Ipv4(17, l.remoteIp, l.localIp, Udp(53, 1024, Text("\x01\x02name\x7f\xff")))));
  s.push_back(Pad(l.Ipv4Frame(false, 1, Bytes{8, 0}), 60));
  s.push_back(Pad(l.Ipv4Frame(false, 47, {}), 60));
  s.push_back(Pad(Ethernet(l.localMac, l.remoteMac, 0x86DD, Bytes{0x60}), 60));
  s.push_back(Pad(Ethernet(l.localMac, l.remoteMac, 1500, Bytes{0xAA, 0xAA, 0x03}), 60));
  s.push_back(Pad(Ethernet(l.localMac, l.remoteMac, 1501, {}), 60));
  return s;
}

// IPv6 frames for the decode target's bit 23: TCP through extension headers, both kinds of
// fragment, a chain cut short, UDP with padding, ICMPv6, ESP, No Next Header.
std::vector<Bytes> Ipv6Kinds() {
  const Link6& l = DecoderLink6;
  const std::vector<Ipv6Extension> chain = {{0, {}}, {43, Bytes(6, 0)}, {60, {}}, {51, Bytes(10, 0)}};
  Bytes cut = l.TcpFrame(true, {.flags = 0x10}, "", chain);
  cut.resize(70);
  return {l.TcpFrame(true, {.flags = 0x02}), l.TcpFrame(false, {.flags = 0x12}, "", chain),
          l.TcpFrame(true, {.flags = 0x18}, "GET / HTTP/1.1\r\n", {{44, {0, 1, 0, 0, 0, 5}}}),
          l.TcpFrame(false, {.flags = 0x11}, "tail", {{44, {0, 0x18, 0, 0, 0, 5}}}), cut,
          Pad(l.UdpFrame(false, 5353, 5353, "mdns"), 90), l.Ipv6Frame(false, 58, Bytes{128, 0, 0, 0, 0, 1, 0, 1}),
          l.Ipv6Frame(false, 50, Bytes(16, 0xE5)), l.Ipv6Frame(false, 59, {})};
}

std::vector<Bytes> Lengths() {
  // Frames cut short at every field boundary, an empty read and a full buffer.
  std::vector<Bytes> s;
  const Bytes big = kLink.TcpFrame(false, {}, std::string(1600, 'z'));
  for (std::size_t n : {0, 1, 6, 12, 13, 14, 23, 24, 34, 38, 47, 52, 54, 1519, 1520})
    s.push_back(Bytes(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(n)));
  return s;
}

void DecodeSeeds(const fs::path& folder) {
  fs::create_directories(folder);
  const std::uint32_t all = 0xFFFFF;
  std::uint32_t startup = 0;
  for (int i = 0; i < ColumnCount; ++i) startup |= (StartupColumnPattern[i] == '1' ? 1u : 0u) << i;
  WriteFile(folder / "tcp-session-all-columns", DecodeInput(all, 0, TcpSession()));
  WriteFile(folder / "tcp-session-startup-columns", DecodeInput(startup, 37, TcpSession()));
  WriteFile(folder / "other-kinds-all-columns", DecodeInput(all, 0, OtherKinds()));
  WriteFile(folder / "other-kinds-number-only", DecodeInput(1, 0, OtherKinds()));
  WriteFile(folder / "lengths-all-columns", DecodeInput(all, 0, Lengths()));
  WriteFile(folder / "ipv6-all-columns", DecodeInput(all | 1u << 23, 0, Ipv6Kinds()));
  WriteFile(folder / "ipv6-startup-columns", DecodeInput(startup | 1u << 23, 0, Ipv6Kinds()));
}

std::vector<Bytes> FileFrames() {
  std::vector<Bytes> frames = TcpSession();
  for (Bytes& f : OtherKinds()) frames.push_back(f);
  return frames;
}

Bytes ReadBack(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void CaptureFileSeeds(const fs::path& folder) {
  fs::create_directories(folder);
  {
    PcapWriter pcap((folder / "session.pcap").string());
    std::uint64_t time = 1'000'000;
    for (const Bytes& f : FileFrames()) pcap.Frame(f, time += 1500);
    pcap.Close();
  }
  {
    PcapngWriter pcapng((folder / "session.pcapng").string());
    std::uint64_t time = 1'000'000;
    for (const Bytes& f : FileFrames()) pcapng.Frame(f, time += 1500);
    pcapng.Close();
  }
  {
    // A snap length shorter than the frames, and an empty and an oversized record.
    PcapWriter pcap((folder / "short-snap.pcap").string(), LinkTypeEthernet, 64);
    for (const Bytes& f : Lengths()) pcap.Frame(Bytes(f.begin(), f.begin() + std::min<std::ptrdiff_t>(64, f.size())), 0, static_cast<std::uint32_t>(f.size()));
    pcap.Close();
  }
  {
    PcapWriter pcap((folder / "raw-link.pcap").string(), LinkTypeRaw);
    pcap.Frame(Bytes(40, 0x45));
    pcap.Close();
  }
  // Cut in the middle of the third record.
  Bytes whole = ReadBack(folder / "session.pcap");
  whole.resize(24 + 2 * (16 + 54) + 16 + 20);
  WriteFile(folder / "truncated.pcap", whole);
  WriteFile(folder / "header-only.pcap", Bytes(whole.begin(), whole.begin() + 24));
}

// Streams as the capture agent writes them (section, interface with its options, frames,
// statistics), in both byte orders, and damaged in the ways a broken agent damages them.
void PcapngStreamSeeds(const fs::path& folder) {
  fs::create_directories(folder);
  const std::array<std::uint8_t, 6> station = {0x02, 0xFC, 0x00, 0x00, 0x00, 0x01};
  const auto agentStream = [&](bool bigEndian) {
    pb::Stream s(bigEndian);
    s.Section().Interface(1, 1520, {pb::TextOption(2, "eth0"), pb::TextOption(3, "eth0 (virtio_net)"),
                                    pb::MacOption(station), pb::ResolutionOption(6)});
    std::uint64_t time = 1'700'000'000'000'000;
    for (const Bytes& f : FileFrames()) s.Packet(0, time += 1500, f);
    s.Statistics(0, 19, 0);
    s.Packet(0, time += 10, Lengths().back(), 9000);
    s.Statistics(0, 20, 3);
    return s;
  };
  const pb::Stream little = agentStream(false);
  WriteFile(folder / "agent-little-endian.pcapng", little.bytes());
  WriteFile(folder / "agent-big-endian.pcapng", agentStream(true).bytes());
  {
    pb::Stream s;
    s.Section().Interface(1, 0, {pb::ResolutionOption(0x80 | 20)}).Packet(0, 1, Bytes(3, 7));
    s.Block(0x00000004, Bytes(8, 0)).SimplePacket(Bytes(5, 9), 5).Block(0x80000001, Bytes(4, 1));
    s.Order(true).Section().Interface(1, 64, {pb::ResolutionOption(9)}).Interface(1, 64).Packet(1, 2, Bytes(70, 1));
    s.Statistics(1, std::nullopt, 1);
    WriteFile(folder / "two-sections.pcapng", s.bytes());
  }
  Bytes cut = little.bytes();
  cut.resize(cut.size() - 30);
  WriteFile(folder / "truncated.pcapng", cut);
  WriteFile(folder / "other-link-type.pcapng", pb::Stream().Section().Interface(113, 1520).bytes());
  WriteFile(folder / "huge-length.pcapng", pb::Stream().Section().Block(6, {}, 0x40000000u).bytes());
}

// Expressions as people type them, and a few that are wrong in the usual ways.
void FilterSeeds(const fs::path& folder) {
  fs::create_directories(folder);
  const std::vector<std::pair<std::string, std::string>> seeds = {
      {"connection-or-port", "conn == 12 or port 53"},
      {"fields-and-operators",
       "(ip.src == 10.0.0.1 || mac == 00:a0:c9:12:34:56) && !(flags & 0x02) and bytes >= 0x40 and ulp == TCP"},
      {"strings", "winsock == \"connect()\" or data contains \"GET /\" or \"a \\\"q\\\" \\\\ b\""},
      {"names-and-time", "proto == IP and not dir == out or ulp != 47 or time > 1.5 or len"},
      {"bare-words", "who-has or 10.0.0.1 or port"},
      {"unclosed", "(conn == 1 or (port 80"},
      {"bad-values", "ip.dst < 10.0.0.256 or mac.src == zz or time == 1.1234567 or dir & 1"},
  };
  for (const auto& [name, text] : seeds) WriteFile(folder / name, Bytes(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds SEED_FOLDER\n");
    return 2;
  }
  const fs::path root(argv[1]);
  DecodeSeeds(root / "decode");
  CaptureFileSeeds(root / "capture_file");
  PcapngStreamSeeds(root / "pcapng_stream");
  FilterSeeds(root / "filter");
  return 0;
}
