#include "dbwriter/TelemetryRecord.h"

#include <cmath>

namespace telvaro {
namespace {

// 1601-01-01 00:00 and 10000-01-01 00:00 as date-time values.
constexpr double FirstStorable = -109205.0;
constexpr double PastLastStorable = 2958466.0;

std::int32_t Low32(std::uint64_t v) noexcept { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

std::int32_t ElementLow32(const TRecNTMobile& r, int element) noexcept {
  return element >= 1 && element <= MaxElement ? Low32(r.Io(element)) : 0;
}

}  // namespace

TMobile TMobile::Create() {
  TMobile m;
  m.RecTime = NowLocal();
  return m;
}

std::int64_t TMobile::FlagsToLongInt() const noexcept {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < Flags.size(); ++i)
    sum += static_cast<std::uint64_t>(static_cast<std::int64_t>(Flags[i])) << (8 * i);
  return static_cast<std::int64_t>(sum);
}

TMobile MobileFromRecord(const TNTMobile& m, const TSettings& settings) {
  const TRecNTMobile& r = m.Rec;
  TMobile t = TMobile::Create();
  t.ID.assign(r.ID.view());
  t.RecTime = r.RecTime;
  t.Event = r.Event;
  t.EventValue = r.EventValue;
  t.UTC = r.GNSS.UTC;
  t.Lat = r.GNSS.Lat;
  t.Lon = r.GNSS.Lon;
  t.Speed = r.GNSS.Speed;
  t.Az = r.GNSS.Az;
  t.Altitude = r.GNSS.Alt;
  t.SatCount = r.GNSS.Sat;
  t.Valid = r.GNSS.Valid != 0;
  t.NavSystem = r.GNSS.GNSS;
  t.KeyID[0] = ElementLow32(r, settings.iButtonNum);
  t.MessageCounter = ElementLow32(r, settings.CounterNum);
  return t;
}

bool IsStorableDateTime(TDateTime dt) noexcept {
  return std::isfinite(dt) && dt >= FirstStorable && dt < PastLastStorable;
}

TDateTime ConvertToLocalTimeDT(TDateTime utc) { return ConvertToLocalTimeDT(utc, CurrentUtcOffsetSeconds()); }

TDateTime ConvertToLocalTimeDT(TDateTime utc, long offsetSeconds) {
  if (!IsStorableDateTime(utc)) return utc;
  // Whole milliseconds on a linear scale, so that dates before 1899-12-30 (whose
  // time of day counts away from zero) shift the right way, and a time of day that
  // rounds up to midnight lands on the next day.
  const double day = std::trunc(utc);
  const std::int64_t total = static_cast<std::int64_t>(day) * 86'400'000ll +
                             std::llround(std::fabs(utc - day) * 86'400'000.0) +
                             static_cast<std::int64_t>(offsetSeconds) * 1000;
  std::int64_t days = total / 86'400'000ll;
  std::int64_t ms = total % 86'400'000ll;
  if (ms < 0) {
    ms += 86'400'000ll;
    --days;
  }
  const double frac = static_cast<double>(ms) / 86'400'000.0;
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

}  // namespace telvaro
