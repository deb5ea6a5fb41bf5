#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "records/Events.h"
#include "records/Text.h"
#include "records/TerminalRecord.h"
#include "tests/records/Cp1251.h"

namespace telvaro {
namespace {

// Restores the process-wide names each test changes; renders with the default options
// unless the test changes them.
class Render : public ::testing::Test {
 protected:
  void SetUp() override {
    savedEvents_ = Events;
    for (auto& e : Events) e.clear();
  }
  void TearDown() override { Events = savedEvents_; }

  static TNTMobile Position() {
    TNTMobile m;
    m.Rec.ID.assign("356307042441013");
    m.Rec.Io(105) = 42;
    m.Rec.GNSS.UTC = EncodeDateTime({2015, 3, 7, 14, 5, 9, 0});
    m.Rec.GNSS.Lat = 55.7558;
    m.Rec.GNSS.Lon = -37.6173;
    m.Rec.GNSS.Speed = 60;
    m.Rec.GNSS.Valid = 1;
    m.Rec.GNSS.Sat = 200;
    m.Rec.GNSS.GNSS = 3;
    m.Rec.GNSS.Alt = -15;
    m.Rec.GNSS.Az = 270;
    return m;
  }

  static constexpr const char* PositionLine =
      "ID=356307042441013 Cnt=42 UTC=07.03.15 14:05:09 B=55.75580 L=-37.61730 S=60 V=1 Sat=200 "
      "G=3 Alt=-15 Az=270";

  RenderOptions options;

 private:
  EventNames savedEvents_;
};

TEST_F(Render, PositionRecordWithAndWithoutEventName) {
  TNTMobile m = Position();
  EXPECT_EQ(m.Print(options), PositionLine);  // event 0: nothing after the Az value
  m.Rec.Event = 7;
  EXPECT_EQ(m.Print(options), std::string(PositionLine) + " ");  // no name loaded: one blank
  Events[7] = "Тревога";
  EXPECT_EQ(m.Print(options), std::string(PositionLine) + " Тревога");
  m.Rec.Event = 256;
  Events[256] = "last";
  EXPECT_EQ(m.Print(options), std::string(PositionLine) + " last");
  m.Rec.Event = 999;  // beyond the table
  EXPECT_EQ(m.Print(options), std::string(PositionLine) + " ");
  m.Rec.Event = -5;
  EXPECT_EQ(m.Print(options), PositionLine);
}

TEST_F(Render, PositionRecordFields) {
  TNTMobile m = Position();
  m.Rec.GNSS.UTC = 0;
  m.Rec.GNSS.Lat = -0.000001;  // rounds to zero, shown without a sign
  m.Rec.GNSS.Lon = 179.999999999;
  m.Rec.Io(105) = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(m.Print(options),
            "ID=356307042441013 Cnt=-1 UTC=30.12.99 00:00:00 B=0.00000 L=180.00000 S=60 V=1 Sat=200 "
            "G=3 Alt=-15 Az=270");

  options.decimalSeparator = ',';
  options.counterNum = 1;
  m = Position();
  m.Rec.Io(1) = 7;
  EXPECT_NE(m.Print(options).find(" Cnt=7 UTC=07.03.15 14:05:09 B=55,75580 L=-37,61730 "), std::string::npos);
}

TEST_F(Render, CounterOutsideTheElementsShowsZero) {
  TNTMobile m = Position();
  for (const int counter : {0, -1, 256, 100000}) {
    options.counterNum = counter;
    EXPECT_NE(m.Print(options).find(" Cnt=0 UTC="), std::string::npos) << counter;
  }
}

TEST_F(Render, ListedElementsComeBeforeTheEventText) {
  TNTMobile m = Position();
  options.entitiesToPrint = {1, 106, 255};
  m.Rec.Io(1) = 1ull << 63;
  m.Rec.Io(106) = 42070;  // a day count: 2015-03-07
  m.Rec.Io(255) = 12;
  m.Rec.Event = 7;
  Events[7] = std::string("x");  // move-assigned: gcc 12 -O3 misreads a one-character assign
  EXPECT_EQ(m.Print(options), std::string(PositionLine) +
                           " #1=-9223372036854775808 #106=07.03.15 00:00:00 #255=12 x");
  // A value that is no date in the calendar stays a number rather than a wrong date.
  m.Rec.Io(106) = std::numeric_limits<std::uint64_t>::max() / 2;
  EXPECT_NE(m.Print(options).find(" #106=9223372036854775807 "), std::string::npos);
  m.Rec.Io(106) = std::numeric_limits<std::uint64_t>::max();
  EXPECT_NE(m.Print(options).find(" #106=29.12.99 00:00:00 "), std::string::npos);  // -1 days
}

// One record with every field an internal event shows.
TNTMobile Answer(std::int32_t event) {
  TNTMobile m;
  m.Rec.ID.assign("123");
  m.Rec.Event = event;
  m.Rec.EventValue = -9;
  m.Rec.Param = 101;  // a text parameter
  m.Rec.ParamValue = 0;
  m.Rec.ParamString.assign(Cp1251("Привет"));
  m.Rec.Entity = 5;
  m.Rec.EntityValue = 77;
  m.Rec.ResultOp = true;
  m.Rec.Restart = false;
  m.Rec.Balance = 1234.567f;
  m.Rec.CellID.assign("12AB");
  m.Rec.LAC.assign("0F");
  return m;
}

TEST_F(Render, InternalEvents) {
  const struct {
    std::int32_t event;
    const char* text;
  } cases[] = {
      {1000, " Ответ на запрос параметра 101=0"},
      {1001, " Ответ на запрос сущности5=77"},
      {1002, " Ответ на изменение параметра101=Привет результат=-1 рестарт=0"},
      {1003, " Ответ на запрос баланса1234.60 Привет"},
      {1004, " Ответ на запрос ключей"},
      {1005, " Ответ на запрос местоположения по CellID= 12AB:0F"},
      {1006, " Ответ на установку цифровых выходов -1"},
      {1007, " Ответ на запрос блокировки двигателя = -1 статус=0"},
      {1008, " Ответ на команду разрешения CSD: время 101 статус=0"},
      {1009, " Ответ на команду контроля акселерометра = -1 статус=0"},
      {1010, " Передача файла, позиция = 0"},
      {1011, " Передача файла завершена"},
      {1012, " Reserved"},
      {1013, " Reserved"},
      {1014, " Пинг"},
      {1015, " Хендшейк"},
      {1016, " Связь потеряна"},
      {1017, ""},
      {1018, " Ответ на запрос версии ПО Привет"},
      {1019, " Прием файла, позиция = -9"},
      {1020, " Прием файла завершен"},
      {1021, " Ошибка при приеме файла"},
      {1022, ": Answer is Привет;ID=-9"},
      {1023, ": Driver ID is Привет"},
      {1024, ": Driver status is 0"},
      {1025, ": End point ID=-9 status is 0"},
      {1026, ": RTK reseived, stored in Привет"},
      {1027, ""},
      {std::numeric_limits<std::int32_t>::max(), ""},
  };
  for (const auto& c : cases) {
    const TNTMobile m = Answer(c.event);
    EXPECT_EQ(m.Print(options), std::string("ID=123") + c.text) << c.event;
    EXPECT_EQ(m.EventDecode(c.event, -9, options), c.text) << c.event;
  }
}

TEST_F(Render, ParamValueIsSignedAndTextOnlyWhereTheParameterIsText) {
  TNTMobile m = Answer(evParamSetAnswer);
  EXPECT_EQ(m.ParamToString(101), "Привет");
  m.Rec.ParamValue = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(m.ParamToString(100), "-1");
  m.Rec.Param = 100;
  EXPECT_EQ(m.Print(options), "ID=123 Ответ на изменение параметра100=-1 результат=-1 рестарт=0");
  m.Rec.Event = evParamAnswer;
  m.Rec.Param = 101;  // a text parameter still shows the number
  EXPECT_EQ(m.Print(options), "ID=123 Ответ на запрос параметра 101=-1");
  m.Rec.Event = evFilePos;
  EXPECT_EQ(m.Print(options), "ID=123 Передача файла, позиция = -1");
}

TEST_F(Render, FlagByteOtherThanOneShowsTrue) {
  TNTMobile m = Answer(evOutputsSet);
  const unsigned char two = 2;
  std::memcpy(&m.Rec.ResultOp, &two, 1);
  EXPECT_EQ(m.Print(options), "ID=123 Ответ на установку цифровых выходов -1");
}

TEST_F(Render, Amounts) {
  const struct {
    float balance;
    const char* text;
  } cases[] = {{12.5f, "12.50"}, {0, "0.00"}, {-3.14159f, "-3.14"}, {99999.4f, "99999.00"},
               {1234567.0f, "1.2346E+06"}};
  for (const auto& c : cases) {
    TNTMobile m = Answer(evBalance);
    m.Rec.Balance = c.balance;
    m.Rec.ParamString.assign("");
    EXPECT_EQ(m.Print(options), std::string("ID=123 Ответ на запрос баланса") + c.text + " ") << c.balance;
  }
  options.decimalSeparator = ',';
  EXPECT_EQ(Answer(evBalance).EventDecode(evBalance, 0, options), " Ответ на запрос баланса1234,60 Привет");
}

TEST_F(Render, PeerTextIsConvertedAndEscaped) {
  TNTMobile m = Answer(evTextAnswer);
  m.Rec.ParamString.assign("ok\x1b[2J\r\n\x7f" + Cp1251("ё"));
  m.Rec.ID.assign("12\x07");
  EXPECT_EQ(m.Print(options), "ID=12\\x07: Answer is ok\\x1B[2J\\x0D\\x0A\\x7Fё;ID=-9");
  // Bytes past a short string's length are never shown.
  m.Rec.CellID.assign("ABCD");
  m.Rec.CellID.len = 200;
  m.Rec.LAC.assign("");
  EXPECT_EQ(m.EventDecode(evCellID, 0, options), " Ответ на запрос местоположения по CellID= ABCD:");
}

}  // namespace
}  // namespace telvaro
