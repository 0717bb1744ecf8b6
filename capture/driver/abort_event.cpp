#include "capture/driver/abort_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

AbortEvent::AbortEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

AbortEvent::~AbortEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void AbortEvent::Raise() {
  raised_.store(true);
  if (fd_ >= 0) {
    std::uint64_t one = 1;
    // Never read back: the event stays readable.
    [[maybe_unused]] auto written = ::write(fd_, &one, sizeof one);
  }
}

void AbortEvent::WaitUntil(Clock::time_point deadline) const {
  struct pollfd event {fd_, POLLIN, 0};
  while (!raised_.load()) {
    const int left = RemainingMs(deadline);
    if (left == 0) return;
    if (::poll(&event, 1, left) < 0 && errno != EINTR) return;
  }
}

int RemainingMs(AbortEvent::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - AbortEvent::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}
