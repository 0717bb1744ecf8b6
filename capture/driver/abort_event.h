#pragma once
// The abort of a live device's reads. Raised from any thread and never taken back, so a
// read that starts after it ends at once too; a read polls Fd() beside what it waits for.

#include <atomic>
#include <chrono>
#include <cstdint>

class AbortEvent {
 public:
  using Clock = std::chrono::steady_clock;

  AbortEvent();
  ~AbortEvent();
  AbortEvent(const AbortEvent&) = delete;
  AbortEvent& operator=(const AbortEvent&) = delete;

  // False when the system gave no event descriptor (the device then refuses to bind).
  bool Usable() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Raise();
  bool Raised() const { return raised_.load(); }
  // Sleeps until deadline or the abort: a failed read's pause, so that a reader that
  // goes on reading does not spin.
  void WaitUntil(Clock::time_point deadline) const;

 private:
  int fd_;
  std::atomic<bool> raised_{false};
};

// Whole milliseconds left until deadline (rounded up), 0 once it has passed.
int RemainingMs(AbortEvent::Clock::time_point deadline);
