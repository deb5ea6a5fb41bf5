#pragma once
// Files that terminals send: their names in the download directory and the writes
// into them. Errors of the file system are thrown as std::system_error.

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Bytes.h"

namespace telvaro {

/// File type of RTK data, also used by the RTK records.
inline constexpr std::uint8_t FileTypeRTK = 16;

/// The name of a file of type `ftype` (without directory and terminal ID).
std::string_view FileTypeName(std::uint8_t ftype) noexcept;

/// Settings.DownloadDir + `id` + "_" + the type's name. Throws std::invalid_argument
/// when `id` is not a terminal number (digits, optionally after one "-"), so that no
/// name can point outside the download directory.
std::string MakeFileName(std::string_view id, std::uint8_t ftype);

/// Opens `path` for writing (creating it, never truncating it), writes `data` at
/// `offset` and returns the position after the write.
std::uint64_t WriteFileAt(const std::string& path, std::uint64_t offset, Bytes data);

/// Appends `line` and a line end to `path`, creating the file when it is missing.
void AppendLine(const std::string& path, std::string_view line);

}  // namespace telvaro
