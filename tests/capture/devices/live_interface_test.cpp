// The live interface on the loopback interface, with frames handed over in blocks as the
// capture agent takes them. Needs the right to capture; skipped without it.

#include "capture/devices/live_interface.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// Every frame of a burst comes, in order and whole, although the kernel hands them over
// only a block at a time (and the read never blocks). The counts start with the filter:
// what the socket took before it is none of the capture's.
TEST(LiveInterfaceTest, InBlocksEveryFrameComesInOrder) {
  std::string why;
  auto live = LiveInterface::Open("lo", &why, "/sys", LiveOptions{40, 1 << 20});
  if (!live) GTEST_SKIP() << "may not capture: " << why;

  const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
  sockaddr_in elsewhere = address;
  elsewhere.sin_port = htons(ntohs(address.sin_port) ^ 1);
  for (int i = 0; i < 20; ++i)
    ::sendto(sender, "early", 5, 0, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere);
  ASSERT_EQ(live->SetFilter("udp dst port " + std::to_string(ntohs(address.sin_port)), &why),
            LiveInterface::FilterResult::Applied)
      << why;

  constexpr int Count = 300;
  std::vector<std::string> sent;
  for (int i = 0; i < Count; ++i) {
    sent.push_back("block-" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), 'y'));
    ::sendto(sender, sent.back().data(), sent.back().size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  // The UDP payload of each frame: after Ethernet (14), IPv4 (20) and UDP (8) headers.
  std::vector<std::string> payloads;
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (payloads.size() < sent.size() && std::chrono::steady_clock::now() < bound) {
    ASSERT_GE(live->ReadWaiting(-1, [](void* context, const LiveFrame& frame) {
      auto* out = static_cast<std::vector<std::string>*>(context);
      const auto* bytes = reinterpret_cast<const char*>(frame.data);
      out->emplace_back(frame.capturedLength > 42 ? std::string(bytes + 42, frame.capturedLength - 42) : std::string());
    }, &payloads), 0) << live->Error();
    ASSERT_TRUE(live->Wait(100, -1)) << live->Error();
  }
  ::close(sender);
  ::close(receiver);
  EXPECT_EQ(payloads, sent);
  std::uint64_t received = 0, dropped = 0;
  ASSERT_TRUE(live->Statistics(&received, &dropped));
  EXPECT_EQ(received, sent.size());
}

}  // namespace
