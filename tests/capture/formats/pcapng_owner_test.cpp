// Owners of sockets in pcapng: written as a saved file writes them, read back frame by
// frame, and read by tcpdump and tshark without complaint.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture/formats/frame_file.h"
#include "capture/formats/pcapng_stream.h"
#include "tests/support/frames.h"

namespace {

std::shared_ptr<ProcessOwner> Owner(std::uint32_t pid, std::string name, std::string user, std::string command) {
  auto owner = std::make_shared<ProcessOwner>();
  owner->pid = pid;
  owner->name = std::move(name);
  owner->user = std::move(user);
  owner->commandLine = std::move(command);
  return owner;
}

// The exit status and output of a shell command.
std::pair<int, std::string> Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, out};
  char chunk[4096];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  return {::pclose(pipe), out};
}

TEST(PcapngOwnerTest, FramesReadBackWithTheirOwnersAndOthersReadTheFile) {
  const auto curl = Owner(4242, "curl", "ann", "curl -s http://127.0.0.1:8000/");
  const auto userOnly = Owner(0, "", "bob", "");
  const auto hostile = Owner(7, "evil\x1b]0;x\x07", "a\nb", std::string(2000, 'c'));
  std::vector<std::uint8_t> file;
  frame_file::AppendPcapngHeader(file);
  frame_file::PcapngOwners owners;
  const frames::Bytes frame = frames::DeviceLink.UdpFrame(true, 40000, 40001, "query");
  const std::vector<const ProcessOwner*> written = {curl.get(), nullptr, userOnly.get(), curl.get(), hostile.get()};
  for (const ProcessOwner* owner : written) {
    const std::uint32_t number = owners.Number(file, owner);
    frame_file::AppendPcapngPacket(file, 1'700'000'000'000'000'000, 0, frame, 0, number);
  }
  // A frame naming an owner that no block defined.
  const std::size_t at = file.size();
  file.resize(at + pcapng::PacketBlockBytes(static_cast<std::uint32_t>(frame.size()), 99));
  pcapng::WritePacketBlock(file.data() + at, 0, static_cast<std::uint32_t>(frame.size()),
                           static_cast<std::uint32_t>(frame.size()), frame.data(), 0, 99);

  PcapngStreamReader reader;
  ASSERT_EQ(reader.Feed(file), file.size());
  std::vector<std::shared_ptr<const ProcessOwner>> read;
  for (auto item = reader.Next(); item != PcapngStreamReader::Item::NeedMore; item = reader.Next()) {
    ASSERT_NE(item, PcapngStreamReader::Item::Failed) << reader.Failure();
    if (item == PcapngStreamReader::Item::Packet) {
      EXPECT_EQ(std::vector<std::uint8_t>(reader.Packet().data.begin(), reader.Packet().data.end()), frame);
      read.push_back(reader.Packet().owner);
    }
  }
  ASSERT_EQ(read.size(), 6u);
  ASSERT_TRUE(read[0]);
  EXPECT_EQ(read[0]->pid, 4242u);
  EXPECT_EQ(read[0]->name, "curl");
  EXPECT_EQ(read[0]->user, "ann");
  EXPECT_EQ(read[0]->commandLine, curl->commandLine);
  EXPECT_FALSE(read[1]);
  ASSERT_TRUE(read[2]);
  EXPECT_EQ(read[2]->pid, 0u);
  EXPECT_EQ(read[2]->user, "bob");
  EXPECT_EQ(read[3], read[0]) << "one owner block serves every frame that names it";
  ASSERT_TRUE(read[4]);
  EXPECT_EQ(read[4]->name, "evil.]0;x.");
  EXPECT_EQ(read[4]->user, "a.b");
  EXPECT_EQ(read[4]->commandLine, std::string(OwnerCommandLineMost, 'c'));
  EXPECT_FALSE(read[5]);

  const std::string path =
      (std::filesystem::temp_directory_path() / ("pcapng-owner-test." + std::to_string(::getpid()) + ".pcapng")).string();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  for (const std::string reader : {"tcpdump -nn -r", "tshark -n -r"}) {
    const std::string program = reader.substr(0, reader.find(' '));
    if (Shell("command -v " + program).first != 0) {
      ADD_FAILURE() << program << " is not installed (scripts/setup)";
      continue;
    }
    const auto [status, out] = Shell(reader + " '" + path + "'");
    EXPECT_EQ(status, 0) << out;
    for (const char* complaint : {"rror", "arning", "alformed", "truncated"})
      EXPECT_EQ(out.find(complaint), std::string::npos) << program << ": " << out;
  }
  std::filesystem::remove(path);
}

}  // namespace
