#include "protocol/DownloadFiles.h"

#include <stdexcept>

namespace telvaro {
namespace {

bool IsTerminalNumber(std::string_view id) noexcept {
  if (!id.empty() && id.front() == '-') id.remove_prefix(1);
  if (id.empty()) return false;
  for (char c : id)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::string_view FileTypeName(std::uint8_t ftype) noexcept {
  switch (ftype) {
    case 1: return "conf.cfg";
    case 11: return "accel.apr";
    case 12: return "track.ppr";
    case 13: return "raw.rpr";
    case 14: return "blackbox.bbx";
    case 15: return "errorlog.txt";
    case FileTypeRTK: return "RTK.rtk";
    default: return ".bin";
  }
}

std::string MakeFileName(std::string_view downloadDir, std::string_view id, std::uint8_t ftype) {
  if (!IsTerminalNumber(id))
    throw std::invalid_argument("refused file name for terminal ID '" + std::string(id) + "'");
  std::string name(downloadDir);
  name.append(id);
  name.push_back('_');
  name.append(FileTypeName(ftype));
  return name;
}

}  // namespace telvaro
