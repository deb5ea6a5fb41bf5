#pragma once
// The files terminals send, written to disk: each write opens the file, writes and
// closes it again, so that no descriptor stays open between a terminal's blocks.

#include "protocol/DownloadFiles.h"

namespace telvaro {

class DiskFileSink final : public FileSink {
 public:
  std::uint64_t WriteAt(const std::string& path, std::uint64_t offset, Bytes data) override;
  void AppendLine(const std::string& path, std::string_view line) override;
};

}  // namespace telvaro
