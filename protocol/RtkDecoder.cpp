// RTK position batches (frame kind 9): one text line per record in the terminal's
// RTK file.

#include "protocol/DownloadFiles.h"
#include "protocol/TerminalParser.h"
#include "records/NumberFormat.h"
#include "base/Settings.h"

namespace telvaro {
namespace {

/// The bytes of an RTK record that are read; the last three are not.
constexpr std::size_t RtkReadSize = 25;

/// RTK records are the one little-endian part of the protocol.
std::uint32_t LE(const std::uint8_t* p, std::size_t width) noexcept {
  std::uint32_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

}  // namespace

std::string TParserKrestel::RtkLine(Bytes rec) {
  const std::uint8_t* q = rec.data();
  const char sep = Settings.DecimalSeparator;
  std::string line = "RTK:TT=";
  line += FormatDateTime("dd.mm.yyyy hh:nn:ss", UnixToDateTime(static_cast<std::int32_t>(LE(q, 4))));
  line += " | LAT=" + FormatFixed(LE(q + 4, 4) / 10'000'000.0, 15, 10, sep);
  line += " | LON=" + FormatFixed(LE(q + 8, 4) / 10'000'000.0, 15, 10, sep);
  line += " | ALT=" + FormatFixed(LE(q + 12, 4) / 100.0, 12, 7, sep);
  line += " | SPD=" + FormatFixed(LE(q + 16, 2) / 100.0, 12, 7, sep);
  line += " | DIR=" + FormatFixed(LE(q + 18, 2) / 100.0, 10, 5, sep);
  line += " | STATE=" + std::to_string(q[20]);
  line += " | RMS=" + std::to_string(LE(q + 21, 4));
  return line;
}

bool TParserKrestel::ParseRTK(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  if (currpos > arr.size() || arr.size() - currpos < RtkReadSize) return false;
  const std::string line = RtkLine(arr.subspan(currpos, RtkReadSize));
  currpos += RtkRecordSize;
  mobile.Rec.Event = evRTK;
  const std::string path = MakeFileName(mobile.Rec.ID.view(), FileTypeRTK);
  mobile.Rec.ParamString.assign(path);
  AppendLine(path, line);
  return true;
}

}  // namespace telvaro
