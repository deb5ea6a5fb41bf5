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

#include "pipes/Pipes.h"
#include "shell/Settings.h"

namespace telvaro::test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telvaro-pipes-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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
