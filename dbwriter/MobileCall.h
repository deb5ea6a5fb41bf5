#pragma once
// The parameter values of one MOBILES_IU call, made once from a TMobile for every
// client library, so that both send the same values with the same nulls.

#include <cstdint>
#include <optional>
#include <string_view>

#include "dbwriter/TelemetryRecord.h"
#include "records/DateTime.h"

namespace telvaro {

/// MOBILES_IU's 29 parameters in call order. A date-time is its calendar parts, or
/// nothing for a null. `id` points into the TMobile it was made from.
struct MobileCall {
  std::string_view id;
  double lat = 0, lon = 0, speed = 0;
  std::int32_t az = 0, maxSpeed = 0, alt = 0, event = 0, eventValue = 0;
  std::int32_t valid = 0, navSystem = 0, navigationOld = 0, satCount = 0;
  double power = 0, extPower = 0, odometer1 = 0, odometer2 = 0;
  std::int32_t keyId = 0, dlkp = 0;
  std::optional<DateTimeParts> utcDate, gpsDate, utcLocal, gpsLocal, dt;
  std::int32_t mc = 0;
  std::int64_t flags = 0;
  std::int32_t gsmLevel = 0, lastSeconds = 0, lastValid = 0;
};

/// The call's values for `m`; `m` must outlive the result.
MobileCall MobileCallOf(const TMobile& m);

/// A date-time as the database takes it: null for zero and for one it cannot hold
/// (before 1601, past 9999).
std::optional<DateTimeParts> DatabaseDateTime(TDateTime dt);

}  // namespace telvaro
