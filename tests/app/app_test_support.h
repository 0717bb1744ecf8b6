#pragma once
// Shared by the app tests: the scripted machine, and a wait that keeps the event loop
// running.

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "capture/trace/capture_environment.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_machine.h"

// Runs the event loop until pred holds or a generous limit passes; returns pred().
inline bool WaitUntil(const std::function<bool()>& pred, int limitMs = 10000) {
  return Eventually(pred, std::chrono::milliseconds(limitMs), [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  });
}

// Writes past `bytes` in any file fail with EFBIG while it lives, even for root: a
// stand-in for a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
};
