#pragma once
// The full telemetry record that the central database stores, and its making from a
// queued terminal record.

#include <array>
#include <cstdint>

#include "records/DateTime.h"
#include "records/ShortString.h"
#include "records/TerminalRecord.h"
#include "base/Settings.h"

namespace telvaro {

/// One object per position record, in the form the stored procedures take it.
/// `KeyID[0]` holds key 1 and `Flags[0]` flag byte 1.
class TMobile {
 public:
  bool FNotForMainTable = false;  ///< true: only registers (`ID`, `ID2`) with OBJECTS_IU
  TDateTime RecTime = 0;          ///< local time when the object was made
  ShortString<64> ID{};
  ShortString<64> ID2{};
  double Lat = 0;
  double Lon = 0;
  std::int32_t Speed = 0;
  std::int32_t MaxSpeed = 0;
  std::int32_t Az = 0;
  std::int32_t Altitude = 0;
  std::int32_t MessageCounter = 0;
  TDateTime UTC = 0;              ///< records with UTC <= 0 are not stored
  TDateTime GPSTime = 0;
  std::int32_t Event = 0;
  std::int32_t EventValue = 0;
  bool Valid = false;
  std::uint8_t NavSystem = 0;
  bool NavigationOld = false;
  std::uint8_t SatCount = 0;
  float Power = 0;
  float ExtPower = 0;
  double Odometer1 = 0;
  double Odometer2 = 0;
  std::array<std::int32_t, 4> KeyID{};
  std::int32_t TimeFromLastPoint = 0;
  std::uint8_t DLKP = 0;
  std::array<std::int32_t, 8> Flags{};
  std::int32_t GSMLevel = 99;
  std::int32_t SecFromLastPoint = 0;

  /// A new object: all zero, false or empty, except GSMLevel 99 and RecTime now (local).
  static TMobile Create();

  /// The eight flag bytes packed into one number, flag 1 in the lowest byte
  /// (sum of Flags[i] * 256^i, modulo 2^64).
  std::int64_t FlagsToLongInt() const noexcept;
};

/// The object written for a queued terminal record. The key and the message counter
/// come from the I/O elements `settings.iButtonNum` and `settings.CounterNum`, each
/// taken as its low 32 bits, signed.
TMobile MobileFromRecord(const TNTMobile& m, const TSettings& settings);

/// `utc` as local time, shifted by the host's offset from UTC in force now (not the
/// one in force at the date converted), to the millisecond.
TDateTime ConvertToLocalTimeDT(TDateTime utc);
/// The same with an explicit offset in seconds.
TDateTime ConvertToLocalTimeDT(TDateTime utc, long offsetSeconds);

/// True for a date-time the database can take: from 1601-01-01 to the end of 9999.
bool IsStorableDateTime(TDateTime dt) noexcept;

inline int BoolToInt(bool v) noexcept { return v ? 1 : 0; }

}  // namespace telvaro
