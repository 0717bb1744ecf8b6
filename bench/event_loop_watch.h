#pragma once
// Runs the event loop while rows stream into a model and measures the longest gap between
// two turns of the loop: the longest time the window could not have reacted to the user.
// A zero timer fires once per turn, so the gap between its calls is that time.

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <utility>

class EventLoopWatch {
 public:
  // The loop ends once the model holds rows rows, or when limitNs has passed.
  EventLoopWatch(const QAbstractItemModel& model, std::int64_t rows, std::int64_t limitNs = 120'000'000'000)
      : count_([&model] { return std::int64_t{model.rowCount()}; }), rows_(rows), limitNs_(limitNs) {}
  // The same for rows counted by count (a list that shows only some of its rows).
  EventLoopWatch(std::function<std::int64_t()> count, std::int64_t rows, std::int64_t limitNs = 120'000'000'000)
      : count_(std::move(count)), rows_(rows), limitNs_(limitNs) {}

  // Starts the clock, calls start (which sets the rows flowing) and runs the loop.
  // A local loop rather than the application's: quitting the application would close the
  // list's window.
  void Run(const std::function<void()>& start) {
    QEventLoop loop;
    QTimer ticker;
    ticker.setInterval(0);
    std::int64_t lastTick = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      const std::int64_t now = clock.nsecsElapsed();
      if (now - lastTick > longestPauseNs) {
        longestPauseNs = now - lastTick;
        pauseAtRows = count_();
      }
      lastTick = now;
      if (count_() >= rows_ || now > limitNs_) {
        doneAtNs = now;
        loop.quit();
      }
    });
    clock.start();
    ticker.start();
    start();
    loop.exec();
  }

  QElapsedTimer clock;            // started by Run; usable by the caller's own timings
  std::int64_t doneAtNs = 0;      // when the last row was seen (or the limit passed)
  std::int64_t longestPauseNs = 0;
  std::int64_t pauseAtRows = 0;   // rows in the model when the longest pause ended

 private:
  std::function<std::int64_t()> count_;
  std::int64_t rows_;
  std::int64_t limitNs_;
};
