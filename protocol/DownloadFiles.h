#pragma once
// Files that terminals send: their names in the download directory, and the interface
// their writes go through.

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Bytes.h"

namespace telvaro {

/// File type of RTK data, also used by the RTK records.
inline constexpr std::uint8_t FileTypeRTK = 16;

/// The name of a file of type `ftype` (without directory and terminal ID).
std::string_view FileTypeName(std::uint8_t ftype) noexcept;

/// `downloadDir` + `id` + "_" + the type's name. Throws std::invalid_argument when
/// `id` is not a terminal number (digits, optionally after one "-"), so that no name
/// can point outside the download directory.
std::string MakeFileName(std::string_view downloadDir, std::string_view id, std::uint8_t ftype);

/// Where the parsers write the files terminals send. Errors are thrown
/// (std::system_error for those of a file system).
class FileSink {
 public:
  virtual ~FileSink() = default;

  /// Writes `data` at `offset` of the file `path` (creating it, never truncating it)
  /// and returns the position after the write.
  virtual std::uint64_t WriteAt(const std::string& path, std::uint64_t offset, Bytes data) = 0;
  /// Appends `line` and a line end to the file `path`, creating it when it is missing.
  virtual void AppendLine(const std::string& path, std::string_view line) = 0;
};

}  // namespace telvaro
