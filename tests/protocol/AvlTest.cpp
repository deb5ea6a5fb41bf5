#include <gtest/gtest.h>

#include <limits>

#include "DecoderFixtures.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

constexpr std::uint64_t Imei = 356173061234567ull;

/// Decodes one record from an exact-size buffer, so any overread trips the sanitizer.
bool Decode(const ByteVec& bytes, TNTMobile& m, std::size_t& pos) {
  const ByteVec exact(bytes);
  pos = 0;
  return TParserKrestel::ParseAVL(pos, exact, m);
}

TEST(ParseAVL, FixedFieldsOfARecordWithoutElements) {
  AvlRecord a;
  a.time = 1'700'000'000;
  a.event = 42;
  a.lon = 376'184'567;
  a.lat = 0x80000000;  // unsigned: 214.7483648, never negative
  a.alt = 65535;
  a.course = 359;
  a.sat = 12;
  a.speed = 40000;
  a.valid = 1;
  a.gnss = 3;
  a.eventValue = 200;
  const ByteVec bytes = a.Encode();
  ASSERT_EQ(bytes.size(), AvlRecordMinSize);

  TNTMobile m;
  std::size_t pos;
  ASSERT_TRUE(Decode(bytes, m, pos));
  EXPECT_EQ(pos, 27u);
  const TRecNTMobile& r = m.Rec;
  EXPECT_DOUBLE_EQ(r.GNSS.UTC, 1'700'000'000 / 86400.0 + 25569);
  EXPECT_EQ(r.Event, 42);
  EXPECT_EQ(r.GNSS.Lon, 376'184'567 / 10'000'000.0);
  EXPECT_EQ(r.GNSS.Lat, 214.7483648);
  EXPECT_EQ(r.GNSS.Alt, 65535);
  EXPECT_EQ(r.GNSS.Az, 359);
  EXPECT_EQ(r.GNSS.Sat, 12);
  EXPECT_EQ(r.GNSS.Speed, 40000);
  EXPECT_EQ(r.GNSS.Valid, 1);
  EXPECT_EQ(r.GNSS.GNSS, 3);
  EXPECT_EQ(r.EventValue, 200);
  for (int k = 1; k <= MaxElement; ++k) ASSERT_FALSE(r.Fl(k)) << k;

  a.time = 0;
  ASSERT_TRUE(Decode(a.Encode(), m, pos));
  EXPECT_EQ(m.Rec.GNSS.UTC, 25569.0);
}

TEST(ParseAVL, ElementsOfEveryWidthKeptUnderTheirNumber) {
  AvlRecord a;
  a.io[0] = {{1, 0xFF}, {0, 0x11}, {255, 7}};  // number 0 has no slot
  a.io[1] = {{10, 0xBEEF}, {1, 3}};            // a repeated number keeps the last value
  a.io[2] = {{20, 0xFFFFFFFF}};
  a.io[3] = {{30, std::numeric_limits<std::uint64_t>::max()}, {31, 0}};
  const ByteVec bytes = a.Encode();

  TNTMobile m;
  std::size_t pos;
  ASSERT_TRUE(Decode(bytes, m, pos));
  EXPECT_EQ(pos, bytes.size());
  const TRecNTMobile& r = m.Rec;
  EXPECT_EQ(r.Io(1), 3u);
  EXPECT_EQ(r.Io(255), 7u);
  EXPECT_EQ(r.Io(10), 0xBEEFu);
  EXPECT_EQ(r.Io(20), 0xFFFFFFFFu);
  EXPECT_EQ(r.Io(30), 18446744073709551615ull);
  EXPECT_EQ(r.Io(31), 0u);
  std::vector<int> present;
  for (int k = 1; k <= MaxElement; ++k)
    if (r.Fl(k)) present.push_back(k);
  EXPECT_EQ(present, (std::vector<int>{1, 10, 20, 30, 31, 255}));
}

TEST(ParseAVL, EveryTruncationIsRefused) {
  AvlRecord a;
  a.io[0] = {{1, 1}};
  a.io[1] = {{2, 2}};
  a.io[2] = {{3, 3}};
  a.io[3] = {{4, 4}};
  const ByteVec whole = a.Encode();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    TNTMobile m;
    std::size_t pos;
    EXPECT_FALSE(Decode(ByteVec(whole.begin(), whole.begin() + static_cast<long>(n)), m, pos)) << n;
    EXPECT_EQ(pos, 0u);
  }
  // A count far beyond the bytes left.
  ByteVec huge = AvlRecord{}.Encode();
  huge[26] = 255;
  TNTMobile m;
  std::size_t pos;
  EXPECT_FALSE(Decode(huge, m, pos));
}

TEST(ParseArrAvl, RecordsBackToBackEachIntoItsOwnRecord) {
  ByteVec body;
  for (std::uint8_t ev : {1, 2, 3}) {
    AvlRecord a;
    a.event = ev;
    a.io[0] = {{ev, ev}};
    const ByteVec b = a.Encode();
    body.insert(body.end(), b.begin(), b.end());
  }
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  ASSERT_EQ(parser.ParseArr(Frame(Payload(Imei, 2, 3, body)), out), PACKET_D);
  ASSERT_EQ(out.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i].Rec.ID.view(), "356173061234567");
    EXPECT_EQ(out[i].Rec.Event, i + 1);
    EXPECT_EQ(out[i].Rec.Io(i + 1), static_cast<std::uint64_t>(i + 1));
    EXPECT_GT(out[i].Rec.RecTime, 40000.0);
    int flags = 0;
    for (int k = 1; k <= MaxElement; ++k) flags += out[i].Rec.Fl(k);
    EXPECT_EQ(flags, 1) << "no element may leak from the previous record";
  }
}

TEST(ParseArrAvl, RecordRunningPastThePayloadEndsTheFrame) {
  AvlRecord a;
  a.event = 9;
  ByteVec body = a.Encode();
  AvlRecord b;
  b.io[3] = {{5, 5}, {6, 6}};
  const ByteVec second = b.Encode();
  body.insert(body.end(), second.begin(), second.end() - 1);
  struct Case { std::uint8_t nrec; std::size_t records; };
  for (const Case c : {Case{1, 1}, Case{2, 1}, Case{200, 1}}) {
    TParserKrestel parser(DefaultContext(), nullptr, Disk());
    std::vector<TNTMobile> out;
    EXPECT_EQ(parser.ParseArr(Frame(Payload(Imei, 2, c.nrec, body)), out), PACKET_D);
    ASSERT_EQ(out.size(), c.records) << int(c.nrec);
    EXPECT_EQ(out[0].Rec.Event, 9);
  }
}

TEST(ParseArrAvl, ConfiguredEventsGoToTheFuelStore) {
  ParserContext context;
  context.dbEvents = ParseDBEvents("150");
  AvlRecord fuelRec;
  fuelRec.event = 150;
  fuelRec.time = 86400;
  fuelRec.lat = 555'000'000;
  fuelRec.lon = 375'000'000;
  fuelRec.speed = 61;
  fuelRec.io[0] = {{78, 0xAB}};
  fuelRec.io[2] = {{79, 0xFFFFFFFF}};                       // low 32 bits, signed: -1
  fuelRec.io[3] = {{91, 0x1'0000'0005ull}, {92, 0x7FFFFFFF}};  // high bits dropped
  AvlRecord other;
  other.event = 151;
  AvlRecord bare;
  bare.event = 150;
  const ByteVec body = Concat({fuelRec.Encode(), other.Encode(), bare.Encode()});

  FakeTaskStore store;
  TParserKrestel parser(context, &store, Disk());
  std::vector<TNTMobile> out;
  ASSERT_EQ(parser.ParseArr(Frame(Payload(Imei, 2, 3, body)), out), PACKET_D);
  ASSERT_EQ(out.size(), 3u);
  ASSERT_EQ(store.fuel.size(), 2u);
  const FuelEvent& e = store.fuel[0];
  EXPECT_EQ(e.ID, "356173061234567");
  EXPECT_EQ(e.ev, 150);
  EXPECT_EQ(e.utc, 25570.0);
  EXPECT_EQ(e.Lat, 55.5);
  EXPECT_EQ(e.Lon, 37.5);
  EXPECT_EQ(e.speed, 61.0);
  EXPECT_EQ(e.keyid, std::string(22, '0') + "AB");
  EXPECT_EQ(e.fuel, -1);
  EXPECT_EQ(e.fs1, 5);
  EXPECT_EQ(e.fs2, 0x7FFFFFFF);
  // Absent elements give zeros.
  EXPECT_EQ(store.fuel[1].keyid, std::string(24, '0'));
  EXPECT_EQ(store.fuel[1].fuel, 0);
}

TEST(ParseArrAvl, StoreFailurePassesAndKeepsTheRecordsBefore) {
  AvlRecord a;
  a.event = 150;
  const ByteVec body = Concat({a.Encode(), a.Encode(), a.Encode()});
  FakeTaskStore store;
  store.failAfter = 1;
  TParserKrestel parser(DefaultContext(), &store, Disk());
  std::vector<TNTMobile> out;
  EXPECT_THROW(parser.ParseArr(Frame(Payload(Imei, 2, 3, body)), out), std::runtime_error);
  // The second record was appended before its hand-off failed.
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(store.fuel.size(), 1u);
}

TEST(MakeKeyID, PadsWithPairsOfZeros) {
  struct Case { std::uint64_t k; const char* text; };
  for (const Case& c : {Case{0, "000000000000000000000000"},
                        Case{0xAB, "0000000000000000000000AB"},
                        Case{0x5, "000000000000000000000005"},
                        Case{0x123, "0000000000000000000000123"},  // odd digit count ends at 25
                        Case{0xFFFFFFFFFFFFFFFFull, "00000000FFFFFFFFFFFFFFFF"}})
    EXPECT_EQ(TParserKrestel::MakeKeyID(c.k), c.text) << c.k;
}

}  // namespace
}  // namespace telvaro
