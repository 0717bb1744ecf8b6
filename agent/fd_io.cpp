#include "agent/fd_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

bool WriteAll(int fd, const void* data, std::size_t size, const std::atomic<bool>* stop) {
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, at, size);
    if (n > 0) {
      at += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      if (stop && stop->load()) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* at = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
