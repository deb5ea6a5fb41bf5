// AVL records (frame kind 2) and their hand-off to the fuel-event store.

#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

/// I/O elements the fuel events carry.
constexpr int ElemKeyID = 78;
constexpr int ElemFuel = 79;
constexpr int ElemFuelSensor1 = 91;
constexpr int ElemFuelSensor2 = 92;

/// Time, event, position, fix and event value: the bytes before the element counts.
constexpr std::size_t AvlFixedSize = 23;

std::int32_t Low32Signed(std::uint64_t v) noexcept { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

}  // namespace

bool TParserKrestel::ParseAVL(std::size_t& currpos, Bytes arr, TNTMobile& mobile) noexcept {
  const std::uint8_t* const base = arr.data();
  const std::size_t size = arr.size();
  std::size_t p = currpos;
  if (p > size || size - p < AvlFixedSize) return false;

  const std::uint8_t* q = base + p;
  TRecNTMobile& r = mobile.Rec;
  r.GNSS.UTC = UnixToDateTimeL(LoadBE<std::uint32_t>(q));
  r.Event = q[4];
  // Longitude comes first on the wire; both are unsigned.
  r.GNSS.Lon = static_cast<double>(LoadBE<std::uint32_t>(q + 5)) / 10'000'000;
  r.GNSS.Lat = static_cast<double>(LoadBE<std::uint32_t>(q + 9)) / 10'000'000;
  r.GNSS.Alt = LoadBE<std::uint16_t>(q + 13);
  r.GNSS.Az = LoadBE<std::uint16_t>(q + 15);
  r.GNSS.Sat = q[17];
  r.GNSS.Speed = LoadBE<std::uint16_t>(q + 18);
  r.GNSS.Valid = q[20];
  r.GNSS.GNSS = q[21];
  r.EventValue = q[22];
  p += AvlFixedSize;

  // Four groups of elements, by value width; each group is checked whole before it
  // is read.
  for (std::size_t width : {1u, 2u, 4u, 8u}) {
    if (p >= size) return false;
    const std::size_t n = base[p++];
    const std::size_t stride = width + 1;
    if ((size - p) / stride < n) return false;
    for (std::size_t i = 0; i < n; ++i, p += stride) {
      // Element 0 has no slot.
      if (const std::uint8_t k = base[p]) {
        r.Io(k) = LoadBE(base + p + 1, width);
        r.Fl(k) = true;
      }
    }
  }
  currpos = p;
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
