#pragma once
// A fresh directory under the system's temporary directory for one test, removed with
// everything in it when the test ends.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace telvaro::test {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "telvaro") {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory, without a trailing "/".
  const std::string& path() const { return path_; }
  /// The directory with a trailing "/", the form program and download directories take.
  std::string withSlash() const { return path_ + "/"; }

 private:
  std::string path_;
};

}  // namespace telvaro::test
