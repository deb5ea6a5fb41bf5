#pragma once
// The terminal record: what every decoded item becomes, and byte for byte the
// record that the data pipe carries to dispatch applications.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "records/DateTime.h"
#include "records/ShortString.h"

namespace telvaro {

static_assert(std::endian::native == std::endian::little,
              "the pipe records are little-endian images of these structs");

/// Navigation fix, 48 bytes.
struct TGNSS {
  double UTC;          ///< time of the fix, UTC
  double Lat;          ///< degrees
  double Lon;          ///< degrees
  std::int32_t Alt;    ///< as sent by the terminal
  std::int32_t Az;     ///< course, as sent by the terminal
  std::uint8_t Sat;
  std::uint8_t gap0[3];
  std::int32_t Speed;  ///< as sent by the terminal
  std::uint8_t Valid;
  std::uint8_t GNSS;   ///< navigation system byte
  std::uint8_t gap1[6];
};

inline constexpr int MaxElement = 255;

/// The 2696-byte terminal record. Gaps are zero in a new record.
struct TRecNTMobile {
  TDateTime RecTime;              ///< server's local time at creation
  ShortString<15> ID;             ///< IMEI digits
  std::int32_t Event;
  std::int32_t EventValue;
  std::int32_t Param;
  std::uint8_t gap0[4];
  std::uint64_t ParamValue;
  ShortString<255> ParamString;
  std::int32_t Entity;
  std::uint8_t gap1[4];
  std::uint64_t EntityValue;
  bool ResultOp;
  bool Restart;
  std::uint8_t gap2[2];
  float Balance;
  ShortString<4> CellID;
  ShortString<4> LAC;
  std::uint8_t gap3[6];
  TDateTime TimeSt;               ///< reserved, always 0
  TGNSS GNSS;
  std::uint64_t IOS[MaxElement];  ///< element n lives in IOS[n - 1]
  bool FL[MaxElement];            ///< element n present: FL[n - 1]
  std::uint8_t gap4;

  /// Value of I/O element `n` (1 to 255).
  std::uint64_t& Io(int n) noexcept { return IOS[n - 1]; }
  std::uint64_t Io(int n) const noexcept { return IOS[n - 1]; }
  /// Presence flag of I/O element `n` (1 to 255).
  bool& Fl(int n) noexcept { return FL[n - 1]; }
  bool Fl(int n) const noexcept { return FL[n - 1]; }
};

inline constexpr std::size_t RecordSize = 2696;

static_assert(std::is_trivially_copyable_v<TRecNTMobile>);
static_assert(sizeof(TGNSS) == 48);
static_assert(offsetof(TGNSS, Alt) == 24 && offsetof(TGNSS, Az) == 28);
static_assert(offsetof(TGNSS, Sat) == 32 && offsetof(TGNSS, Speed) == 36);
static_assert(offsetof(TGNSS, Valid) == 40 && offsetof(TGNSS, GNSS) == 41);
static_assert(sizeof(TRecNTMobile) == RecordSize);
static_assert(offsetof(TRecNTMobile, RecTime) == 0);
static_assert(offsetof(TRecNTMobile, ID) == 8);
static_assert(offsetof(TRecNTMobile, Event) == 24);
static_assert(offsetof(TRecNTMobile, EventValue) == 28);
static_assert(offsetof(TRecNTMobile, Param) == 32);
static_assert(offsetof(TRecNTMobile, ParamValue) == 40);
static_assert(offsetof(TRecNTMobile, ParamString) == 48);
static_assert(offsetof(TRecNTMobile, Entity) == 304);
static_assert(offsetof(TRecNTMobile, EntityValue) == 312);
static_assert(offsetof(TRecNTMobile, ResultOp) == 320);
static_assert(offsetof(TRecNTMobile, Restart) == 321);
static_assert(offsetof(TRecNTMobile, Balance) == 324);
static_assert(offsetof(TRecNTMobile, CellID) == 328);
static_assert(offsetof(TRecNTMobile, LAC) == 333);
static_assert(offsetof(TRecNTMobile, TimeSt) == 344);
static_assert(offsetof(TRecNTMobile, GNSS) == 352);
static_assert(offsetof(TRecNTMobile, IOS) == 400);
static_assert(offsetof(TRecNTMobile, FL) == 2440);
static_assert(offsetof(TRecNTMobile, gap4) == 2695);

/// Internal event codes (1000 and above); 1 to 999 are the terminal's own.
enum : std::int32_t {
  evParamAnswer = 1000,
  evEntityAnswer = 1001,
  evParamSetAnswer = 1002,
  evBalance = 1003,
  evKeys = 1004,
  evCellID = 1005,
  evOutputsSet = 1006,
  evEngBlock = 1007,
  evPermitCSD = 1008,
  evAccel = 1009,
  evFilePos = 1010,
  evFileEnd = 1011,
  evAuthorized = 1012,
  evWrongDevice = 1013,
  evPing = 1014,
  evHandshake = 1015,
  evDisconnect = 1016,
  evCommandSent = 1017,
  evAskVer = 1018,
  evFileRecvPos = 1019,
  evFileRecvEnd = 1020,
  evFileRecvErr = 1021,
  evTextAnswer = 1022,
  evDrvIDAnswer = 1023,
  evDrvStAnswer = 1024,
  evWPStateAnswer = 1025,
  evRTK = 1026,
};

/// How the log line of a record is written; the defaults are those of the settings.
struct RenderOptions {
  char decimalSeparator = '.';       ///< in coordinates and amounts
  std::vector<int> entitiesToPrint;  ///< elements listed after a position, 1 to 255
  int counterNum = 105;              ///< the element shown as "Cnt"
  int timeLastPos = 106;             ///< the listed element shown as a date-time
};

/// One terminal record. A value type: queues hold copies, byte for byte.
class TNTMobile {
 public:
  TRecNTMobile Rec;
  /// Decoded from a data frame: the records the central database stores. Not part of
  /// the wire record; the record stream carries it as a header.
  bool dataFrame = false;

  /// A zeroed record stamped with the local time now.
  TNTMobile() noexcept;

  /// True for the terminal parameters whose value is text.
  static bool IsString(int code) noexcept;

  /// The record's line in the operator log (UTF-8, control characters escaped),
  /// using the loaded event names.
  std::string Print(const RenderOptions& options) const;
  /// Words for an event code with the values that go with it.
  std::string EventDecode(std::int32_t event, std::int32_t eventValue, const RenderOptions& options) const;
  /// The value of an answer about parameter `code`.
  std::string ParamToString(int code) const;
};

}  // namespace telvaro
