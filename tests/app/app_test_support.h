#pragma once
// Shared by the app tests: the scripted machine, and a wait that keeps the event loop
// running.

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_environment.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_machine.h"

// Runs the event loop until pred holds or a generous limit passes; returns pred().
inline bool WaitUntil(const std::function<bool()>& pred, int limitMs = 10000) {
  return Eventually(pred, std::chrono::milliseconds(limitMs), [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  });
}
