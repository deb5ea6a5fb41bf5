// AVL records (frame kind 2) and their hand-off to the fuel-event store.

#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

/// I/O elements the fuel events carry besides the driver key.
constexpr int ElemFuel = 79;
constexpr int ElemFuelSensor1 = 91;
constexpr int ElemFuelSensor2 = 92;

/// The fields of an AVL record before its element groups, in wire order.
struct AvlFixed {
  std::uint32_t time;
  std::uint8_t event;
  std::uint32_t lon, lat;  // longitude first; both unsigned
  std::uint16_t alt, course;
  std::uint8_t sat;
  std::uint16_t speed;
  std::uint8_t valid, gnss, eventValue;
};

/// One group of elements whose values are T wide: a count, then the pairs of element
/// number and value. The group is checked whole before it is read.
template <std::unsigned_integral T>
bool ReadElements(ByteReader& in, TRecNTMobile& r) noexcept {
  std::uint8_t n = 0;
  if (!in.Read(n) || !in.Has(n * (1 + sizeof(T)))) return false;
  for (int i = 0; i < n; ++i) {
    std::uint8_t k = 0;
    T value = 0;
    if (!in.Read(k, value)) return false;
    // Element 0 has no slot.
    if (k != 0) {
      r.Io(k) = value;
      r.Fl(k) = true;
    }
  }
  return true;
}

std::int32_t Low32Signed(std::uint64_t v) noexcept { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

}  // namespace

bool TParserKrestel::ParseAVL(std::size_t& currpos, Bytes arr, TNTMobile& mobile) noexcept {
  ByteReader in(arr, currpos);
  AvlFixed f;
  if (!in.Read(f.time, f.event, f.lon, f.lat, f.alt, f.course, f.sat, f.speed, f.valid, f.gnss, f.eventValue))
    return false;

  TRecNTMobile& r = mobile.Rec;
  r.GNSS.UTC = UnixToDateTimeL(f.time);
  r.Event = f.event;
  r.GNSS.Lon = static_cast<double>(f.lon) / 10'000'000;
  r.GNSS.Lat = static_cast<double>(f.lat) / 10'000'000;
  r.GNSS.Alt = f.alt;
  r.GNSS.Az = f.course;
  r.GNSS.Sat = f.sat;
  r.GNSS.Speed = f.speed;
  r.GNSS.Valid = f.valid;
  r.GNSS.GNSS = f.gnss;
  r.EventValue = f.eventValue;

  // Four groups of elements, by value width.
  if (!ReadElements<std::uint8_t>(in, r) || !ReadElements<std::uint16_t>(in, r) ||
      !ReadElements<std::uint32_t>(in, r) || !ReadElements<std::uint64_t>(in, r))
    return false;
  currpos = in.Pos();
  return true;
}

std::string TParserKrestel::MakeKeyID(std::uint64_t k) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  char digits[16];
  int n = 0;
  do {
    digits[n++] = Hex[k & 0xF];
    k >>= 4;
  } while (k != 0);
  if (n < 2) digits[n++] = '0';
  std::string s;
  while (s.size() + static_cast<std::size_t>(n) < 24) s += "00";
  while (n > 0) s.push_back(digits[--n]);
  return s;
}

void TParserKrestel::AddFuelEvent(const TNTMobile& mobile) {
  if (!store_) return;
  const TRecNTMobile& r = mobile.Rec;
  FuelEvent e;
  e.ID = r.ID.str();
  e.ev = static_cast<std::uint8_t>(r.Event);
  e.utc = r.GNSS.UTC;
  e.Lat = r.GNSS.Lat;
  e.Lon = r.GNSS.Lon;
  e.speed = r.GNSS.Speed;
  e.keyid = MakeKeyID(r.Io(ElemKeyID));
  e.fuel = Low32Signed(r.Io(ElemFuel));
  e.fs1 = Low32Signed(r.Io(ElemFuelSensor1));
  e.fs2 = Low32Signed(r.Io(ElemFuelSensor2));
  store_->AddFuelEvent(e);
}

}  // namespace telvaro
