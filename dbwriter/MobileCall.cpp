#include "dbwriter/MobileCall.h"

namespace telvaro {

std::optional<DateTimeParts> DatabaseDateTime(TDateTime dt) {
  if (dt == 0 || !IsStorableDateTime(dt)) return std::nullopt;
  return DecodeDateTime(dt);
}

MobileCall MobileCallOf(const TMobile& m) {
  MobileCall c;
  c.id = m.ID.view();
  c.lat = m.Lat;
  c.lon = m.Lon;
  c.speed = m.Speed;
  c.az = m.Az;
  c.maxSpeed = m.MaxSpeed;
  c.alt = m.Altitude;
  c.event = m.Event;
  c.eventValue = m.EventValue;
  c.valid = BoolToInt(m.Valid);
  c.navSystem = m.NavSystem;
  c.navigationOld = BoolToInt(m.NavigationOld);
  c.satCount = m.SatCount;
  c.power = m.Power;
  c.extPower = m.ExtPower;
  c.odometer1 = m.Odometer1;
  c.odometer2 = m.Odometer2;
  c.keyId = m.KeyID[0];
  c.dlkp = m.DLKP;
  c.utcDate = DatabaseDateTime(m.UTC);
  c.gpsDate = DatabaseDateTime(m.GPSTime);
  c.utcLocal = DatabaseDateTime(IsStorableDateTime(m.UTC) ? ConvertToLocalTimeDT(m.UTC) : 0);
  c.gpsLocal =
      DatabaseDateTime(m.GPSTime != 0 && IsStorableDateTime(m.GPSTime) ? ConvertToLocalTimeDT(m.GPSTime) : 0);
  // dt stays null in every call.
  c.mc = m.MessageCounter;
  c.flags = m.FlagsToLongInt();
  c.gsmLevel = m.GSMLevel;
  c.lastSeconds = m.TimeFromLastPoint;
  c.lastValid = m.SecFromLastPoint;
  return c;
}

}  // namespace telvaro
