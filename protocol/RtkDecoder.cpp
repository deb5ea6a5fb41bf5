// RTK position batches (frame kind 9): one text line per record in the terminal's
// RTK file.

#include <algorithm>

#include "protocol/DownloadFiles.h"
#include "protocol/TerminalParser.h"
#include "records/NumberFormat.h"

namespace telvaro {
namespace {

/// The fields of an RTK record that are read, in wire order; the record's last three
/// bytes are not read. RTK records are the one little-endian part of the protocol.
struct RtkFields {
  std::int32_t time;
  std::uint32_t lat, lon, alt;
  std::uint16_t speed, course;
  std::uint8_t state;
  std::uint32_t rms;
};

}  // namespace

std::string TParserKrestel::RtkLine(Bytes rec, char sep) {
  ByteReader in(rec);
  RtkFields f;
  if (!in.ReadLE(f.time, f.lat, f.lon, f.alt, f.speed, f.course, f.state, f.rms)) return {};
  std::string line = "RTK:TT=";
  line += FormatDateTime("dd.mm.yyyy hh:nn:ss", UnixToDateTime(f.time));
  line += " | LAT=" + FormatFixed(f.lat / 10'000'000.0, 15, 10, sep);
  line += " | LON=" + FormatFixed(f.lon / 10'000'000.0, 15, 10, sep);
  line += " | ALT=" + FormatFixed(f.alt / 100.0, 12, 7, sep);
  line += " | SPD=" + FormatFixed(f.speed / 100.0, 12, 7, sep);
  line += " | DIR=" + FormatFixed(f.course / 100.0, 10, 5, sep);
  line += " | STATE=" + std::to_string(f.state);
  line += " | RMS=" + std::to_string(f.rms);
  return line;
}

bool TParserKrestel::ParseRTK(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::string line = RtkLine(arr.subspan(std::min(currpos, arr.size())), context_.decimalSeparator);
  if (line.empty()) return false;
  currpos += RtkRecordSize;
  mobile.Rec.Event = evRTK;
  const std::string path = MakeFileName(context_.downloadDir, mobile.Rec.ID.view(), FileTypeRTK);
  mobile.Rec.ParamString.assign(path);
  files_.AppendLine(path, line);
  return true;
}

}  // namespace telvaro
