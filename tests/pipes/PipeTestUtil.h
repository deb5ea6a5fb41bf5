#pragma once
// A temporary pipe directory, the settings pointing at it, and a main loop the test
// thread runs until a condition holds.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <asio/io_context.hpp>

#include "pipes/PipeServer.h"
#include "base/Settings.h"

#include "tests/support/TempDir.h"

namespace telvaro::test {


/// Settings pointing the pipes at a fresh directory; restored afterwards.
class PipeFixture : public ::testing::Test {
 protected:
  PipeFixture() : saved_(Settings) {
    Settings.PipeDir = dir_.path();
    Settings.DownloadDir = dir_.path() + "/";
  }
  ~PipeFixture() override { Settings = saved_; }

  /// Runs the main loop until `done` holds; fails the test after a generous bound, so
  /// a fault shows as a failure rather than a hang.
  bool RunUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > giveUp) {
        ADD_FAILURE() << "condition not reached";
        return false;
      }
      main_.restart();
      main_.run_one_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  /// Runs what is ready on the main loop now.
  void Drain() {
    main_.restart();
    main_.poll();
  }

  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

  TempDir dir_;
  TSettings saved_;
  asio::io_context main_;
};

}  // namespace telvaro::test
