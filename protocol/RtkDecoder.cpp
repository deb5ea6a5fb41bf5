// RTK position batches (frame kind 9): one text line per record in the terminal's
// RTK file.

#include "protocol/DownloadFiles.h"
#include "protocol/TerminalParser.h"
#include "records/NumberFormat.h"

namespace telvaro {
namespace {

/// The bytes of an RTK record that are read; the last three are not.
constexpr std::size_t RtkReadSize = 25;

}  // namespace

std::string TParserKrestel::RtkLine(Bytes rec, char sep) {
  const std::uint8_t* q = rec.data();
  std::string line = "RTK:TT=";
  line += FormatDateTime("dd.mm.yyyy hh:nn:ss", UnixToDateTime(static_cast<std::int32_t>(LoadLE<std::uint32_t>(q))));
  line += " | LAT=" + FormatFixed(LoadLE<std::uint32_t>(q + 4) / 10'000'000.0, 15, 10, sep);
  line += " | LON=" + FormatFixed(LoadLE<std::uint32_t>(q + 8) / 10'000'000.0, 15, 10, sep);
  line += " | ALT=" + FormatFixed(LoadLE<std::uint32_t>(q + 12) / 100.0, 12, 7, sep);
  line += " | SPD=" + FormatFixed(LoadLE<std::uint16_t>(q + 16) / 100.0, 12, 7, sep);
  line += " | DIR=" + FormatFixed(LoadLE<std::uint16_t>(q + 18) / 100.0, 10, 5, sep);
  line += " | STATE=" + std::to_string(q[20]);
  line += " | RMS=" + std::to_string(LoadLE<std::uint32_t>(q + 21));
  return line;
}

bool TParserKrestel::ParseRTK(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  if (currpos > arr.size() || arr.size() - currpos < RtkReadSize) return false;
  const std::string line = RtkLine(arr.subspan(currpos, RtkReadSize), context_.decimalSeparator);
  currpos += RtkRecordSize;
  mobile.Rec.Event = evRTK;
  const std::string path = MakeFileName(context_.downloadDir, mobile.Rec.ID.view(), FileTypeRTK);
  mobile.Rec.ParamString.assign(path);
  files_.AppendLine(path, line);
  return true;
}

}  // namespace telvaro
