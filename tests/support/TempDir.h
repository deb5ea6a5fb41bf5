#pragma once
// A fresh directory under the system's temporary directory for one test, removed with
// everything in it when the test ends.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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

  /// Removes everything in the directory, keeping the directory.
  void Empty() const {
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) entries.push_back(entry.path());
    for (const auto& entry : entries) std::filesystem::remove_all(entry, ec);
  }

 private:
  std::string path_;
};

}  // namespace telvaro::test
