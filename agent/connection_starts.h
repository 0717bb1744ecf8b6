#pragma once
// The first segment of each TCP connection (a frame with SYN set), as soon as the kernel
// has it. The capture's ring hands frames over in blocks of AgentBlockTimeoutMs, and a
// short connection's socket is often gone by then; a second packet socket on the same
// interface that takes only these segments wakes the agent at once, so that the owner is
// looked up while the socket exists, without taking every other frame sooner too.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

// The filter expression of the socket: the capture's own filter (when there is one) and a
// TCP segment with SYN set, over IPv4 or IPv6.
std::string ConnectionStartsExpression(const std::optional<std::string>& captureFilter);

class ConnectionStarts {
 public:
  // Opens the socket on the interface (this needs the right to capture: before the
  // capabilities go). It takes nothing until Filter. Nothing when it cannot be opened.
  static std::unique_ptr<ConnectionStarts> Open(const std::string& interfaceName);
  // Compiles and attaches ConnectionStartsExpression(captureFilter) on a thread of its
  // own, since the capture's filter may name hosts to look up: call it once every
  // capability is gone (a thread started before would keep them).
  void Filter(const std::optional<std::string>& captureFilter);
  ~ConnectionStarts();
  ConnectionStarts(const ConnectionStarts&) = delete;
  ConnectionStarts& operator=(const ConnectionStarts&) = delete;

  // Readable when segments wait.
  int Descriptor() const { return fd_; }
  // Hands each waiting segment (its first bytes) to take, at most `most` of them.
  void ReadWaiting(int most, const std::function<void(std::span<const std::uint8_t>)>& take);

 private:
  explicit ConnectionStarts(int fd) : fd_(fd) {}
  int fd_;
};
