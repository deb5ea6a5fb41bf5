// The record's line in the operator log, and the event names it uses.

#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "records/Events.h"
#include "records/NumberFormat.h"
#include "records/Text.h"
#include "records/TerminalRecord.h"
#include "base/ProgramFiles.h"

namespace telvaro {

EventNames Events;

namespace {

constexpr std::string_view DateTimePattern = "dd.mm.yy hh:mm:ss";

// Day counts of 0001-01-01 and 9999-12-31: the date-times that have a calendar form.
constexpr double MinDateTime = -693593.0;
constexpr double MaxDateTime = 2958466.0;

void AppendInt(std::string& out, std::int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// 64-bit values are shown signed: 2^63 and above read as negative numbers.
void AppendSigned(std::string& out, std::uint64_t v) { AppendInt(out, static_cast<std::int64_t>(v)); }

// The byte itself is read, so a record whose flag byte is neither 0 nor 1 still
// renders (as true) instead of loading an invalid bool.
void AppendFlag(std::string& out, const bool& flag) {
  unsigned char byte;
  std::memcpy(&byte, &flag, 1);
  out += byte ? "-1" : "0";
}

void AppendDateTime(std::string& out, double dt) { out += FormatDateTime(DateTimePattern, dt); }

void AppendCoordinate(std::string& out, double v, char sep) { AppendFixed(out, v, 10, 5, sep); }

void AppendAmount(std::string& out, float v, char sep) { AppendFixed(out, v, 5, 2, sep); }

template <std::size_t N>
void AppendShort(std::string& out, const ShortString<N>& s) {
  AppendDisplayText(out, s.view());
}

// One listed element: its value in decimal, or for the element of the last position's
// time its value read as a day count. A value too large to be a date shows in decimal.
void AppendElement(std::string& out, const TRecNTMobile& r, int n, int timeLastPos) {
  out += " #";
  AppendInt(out, n);
  out += '=';
  const auto value = static_cast<std::int64_t>(r.Io(n));
  const auto days = static_cast<double>(value);
  if (n == timeLastPos && days >= MinDateTime && days < MaxDateTime)
    AppendDateTime(out, days);
  else
    AppendInt(out, value);
}

void AppendParamToString(std::string& out, const TRecNTMobile& r, int code) {
  if (TNTMobile::IsString(code))
    AppendShort(out, r.ParamString);
  else
    AppendSigned(out, r.ParamValue);
}

void AppendEvent(std::string& out, const TRecNTMobile& r, std::int32_t event, std::int32_t value, char sep) {
  if (event >= 1 && event <= 999) {
    out += ' ';
    if (event < static_cast<std::int32_t>(Events.size())) out += Events[event];
    return;
  }
  switch (event) {
    case evParamAnswer:
      out += " Ответ на запрос параметра ";
      AppendInt(out, r.Param);
      out += '=';
      AppendSigned(out, r.ParamValue);
      break;
    case evEntityAnswer:
      out += " Ответ на запрос сущности";
      AppendInt(out, r.Entity);
      out += '=';
      AppendSigned(out, r.EntityValue);
      break;
    case evParamSetAnswer:
      out += " Ответ на изменение параметра";
      AppendInt(out, r.Param);
      out += '=';
      AppendParamToString(out, r, r.Param);
      out += " результат=";
      AppendFlag(out, r.ResultOp);
      out += " рестарт=";
      AppendFlag(out, r.Restart);
      break;
    case evBalance:
      out += " Ответ на запрос баланса";
      AppendAmount(out, r.Balance, sep);
      out += ' ';
      AppendShort(out, r.ParamString);
      break;
    case evKeys: out += " Ответ на запрос ключей"; break;
    case evCellID:
      out += " Ответ на запрос местоположения по CellID= ";
      AppendShort(out, r.CellID);
      out += ':';
      AppendShort(out, r.LAC);
      break;
    case evOutputsSet:
      out += " Ответ на установку цифровых выходов ";
      AppendFlag(out, r.ResultOp);
      break;
    case evEngBlock:
      out += " Ответ на запрос блокировки двигателя = ";
      AppendFlag(out, r.ResultOp);
      out += " статус=";
      AppendFlag(out, r.Restart);
      break;
    case evPermitCSD:
      out += " Ответ на команду разрешения CSD: время ";
      AppendInt(out, r.Param);
      out += " статус=";
      AppendFlag(out, r.Restart);
      break;
    case evAccel:
      out += " Ответ на команду контроля акселерометра = ";
      AppendFlag(out, r.ResultOp);
      out += " статус=";
      AppendFlag(out, r.Restart);
      break;
    case evFilePos:
      out += " Передача файла, позиция = ";
      AppendSigned(out, r.ParamValue);
      break;
    case evFileEnd: out += " Передача файла завершена"; break;
    case evAuthorized:
    case evWrongDevice: out += " Reserved"; break;
    case evPing: out += " Пинг"; break;
    case evHandshake: out += " Хендшейк"; break;
    case evDisconnect: out += " Связь потеряна"; break;
    case evCommandSent: break;
    case evAskVer:
      out += " Ответ на запрос версии ПО ";
      AppendShort(out, r.ParamString);
      break;
    case evFileRecvPos:
      out += " Прием файла, позиция = ";
      AppendInt(out, value);
      break;
    case evFileRecvEnd: out += " Прием файла завершен"; break;
    case evFileRecvErr: out += " Ошибка при приеме файла"; break;
    case evTextAnswer:
      out += ": Answer is ";
      AppendShort(out, r.ParamString);
      out += ";ID=";
      AppendInt(out, value);
      break;
    case evDrvIDAnswer:
      out += ": Driver ID is ";
      AppendShort(out, r.ParamString);
      break;
    case evDrvStAnswer:
      out += ": Driver status is ";
      AppendSigned(out, r.ParamValue);
      break;
    case evWPStateAnswer:
      out += ": End point ID=";
      AppendInt(out, value);
      out += " status is ";
      AppendSigned(out, r.ParamValue);
      break;
    case evRTK:
      out += ": RTK reseived, stored in ";
      AppendShort(out, r.ParamString);
      break;
    default: break;  // 0, negative and unknown codes have no text
  }
}

// The code of an events.txt line: decimal digits only, 1 to 256.
int ParseEventCode(std::string_view s) {
  if (s.empty()) return 0;
  int code = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
    if (code > 256) return 0;
  }
  return code;
}

}  // namespace

std::string TNTMobile::Print(const RenderOptions& options) const {
  std::string out;
  out.reserve(192);
  out += "ID=";
  AppendShort(out, Rec.ID);
  if (Rec.Event < 1000) {
    const TGNSS& g = Rec.GNSS;
    out += " Cnt=";
    const int counter = options.counterNum;
    if (counter >= 1 && counter <= MaxElement)
      AppendSigned(out, Rec.Io(counter));
    else
      out += '0';
    out += " UTC=";
    AppendDateTime(out, g.UTC);
    out += " B=";
    AppendCoordinate(out, g.Lat, options.decimalSeparator);
    out += " L=";
    AppendCoordinate(out, g.Lon, options.decimalSeparator);
    out += " S=";
    AppendInt(out, g.Speed);
    out += " V=";
    AppendInt(out, g.Valid);
    out += " Sat=";
    AppendInt(out, g.Sat);
    out += " G=";
    AppendInt(out, g.GNSS);
    out += " Alt=";
    AppendInt(out, g.Alt);
    out += " Az=";
    AppendInt(out, g.Az);
    for (const int n : options.entitiesToPrint)
      if (n >= 1 && n <= MaxElement) AppendElement(out, Rec, n, options.timeLastPos);
  }
  AppendEvent(out, Rec, Rec.Event, Rec.EventValue, options.decimalSeparator);
  return out;
}

std::string TNTMobile::EventDecode(std::int32_t event, std::int32_t eventValue,
                                   const RenderOptions& options) const {
  std::string out;
  AppendEvent(out, Rec, event, eventValue, options.decimalSeparator);
  return out;
}

std::string TNTMobile::ParamToString(int code) const {
  std::string out;
  AppendParamToString(out, Rec, code);
  return out;
}

void LoadEvents(const std::string& programDir, EventNames& events) {
  for (auto& name : events) name.clear();
  ReadProgramFileLines(programDir, "events.txt", [&](std::string& line) {
    const auto first = line.find(' ');
    if (first == std::string::npos) return;
    const auto second = line.find(' ', first + 1);
    if (second == std::string::npos) return;
    const int code = ParseEventCode(std::string_view(line).substr(first + 1, second - first - 1));
    if (code == 0) return;
    events[code] = DisplayText(std::string_view(line).substr(second + 1));
  });
}

}  // namespace telvaro
