#pragma once
// The window of the app tests: a main frame over a scripted machine with one adapter, its
// settings in a folder of the test's own, its boxes answered by Messages.

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "tests/support/fake_machine.h"

template <class Messages>
class MainFrameFixture : public ::testing::Test {
 protected:
  FakeMachine machine;
  QTemporaryDir dir;
  std::unique_ptr<QSettingsProfile> profile =
      std::make_unique<QSettingsProfile>(dir.filePath("profile.conf"), QSettings::IniFormat);
  Messages messages;
  std::unique_ptr<CMainFrame> frame;

  void SetUp() override {
    machine.AddAdapters(1);
    frame = std::make_unique<CMainFrame>(machine.Environment(), *profile, &messages);
  }
};
