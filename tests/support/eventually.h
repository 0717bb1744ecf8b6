#pragma once
// A bounded wait for a condition that no one signals: a test that fails ends after the
// bound instead of hanging.

#include <chrono>
#include <thread>

// Checks condition until it holds or bound has passed, calling pause between checks;
// returns whether it held.
template <typename Condition, typename Pause>
bool Eventually(Condition condition, std::chrono::milliseconds bound, Pause pause) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    pause();
  }
  return true;
}

template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  return Eventually(condition, bound, [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); });
}
