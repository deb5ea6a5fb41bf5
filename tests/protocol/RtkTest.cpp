#include <gtest/gtest.h>

#include <fstream>

#include "DecoderFixtures.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

constexpr std::uint64_t Imei = 356173061234567ull;
const std::string Id = "356173061234567";

void PutLE(ByteVec& v, std::uint64_t x, int width) {
  for (int i = 0; i < width; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

struct Rtk {
  std::int32_t tt = 0;
  std::uint32_t lat = 0, lon = 0, alt = 0;
  std::uint16_t spd = 0, dir = 0;
  std::uint8_t state = 0;
  std::uint32_t rms = 0;

  ByteVec Encode() const {
    ByteVec v;
    PutLE(v, static_cast<std::uint32_t>(tt), 4);
    PutLE(v, lat, 4);
    PutLE(v, lon, 4);
    PutLE(v, alt, 4);
    PutLE(v, spd, 2);
    PutLE(v, dir, 2);
    v.push_back(state);
    PutLE(v, rms, 4);
    v.insert(v.end(), {0xEE, 0xEE, 0xEE});
    return v;
  }
};

const Rtk Known{1'700'000'000, 557'512'345, 376'184'567, 15'634, 1'234, 35'999, 4, 123'456};
const char* const KnownLine =
    "RTK:TT=14.11.2023 22:13:20 | LAT=55.7512345000 | LON=37.6184567000 | ALT=156.3400000 | "
    "SPD=12.3400000 | DIR=359.99000 | STATE=4 | RMS=123456";

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(RtkLine, ExactText) {
  struct Case { Rtk rec; const char* line; };
  const Case cases[] = {
      {Known, KnownLine},
      {Rtk{0, 10'000'000, 0, 0, 0, 0, 0, 0},
       "RTK:TT=01.01.1970 00:00:00 | LAT=1.0000000000 | LON=0.0000000000 | ALT=0.0000000 | "
       "SPD=0.0000000 | DIR=0.00000 | STATE=0 | RMS=0"},
      // Signed time; the largest unsigned values; rounding to the significant digits.
      {Rtk{-1, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFFFF, 255, 0xFFFFFFFF},
       "RTK:TT=31.12.1969 23:59:59 | LAT=429.4967295000 | LON=429.4967295000 | ALT=42949672.9500000 | "
       "SPD=655.3500000 | DIR=655.35000 | STATE=255 | RMS=4294967295"},
  };
  for (const Case& c : cases) {
    const ByteVec bytes = c.rec.Encode();
    EXPECT_EQ(TParserKrestel::RtkLine(bytes, '.'), c.line);
  }
  EXPECT_EQ(TParserKrestel::RtkLine(Rtk{0, 10'000'000, 0, 150, 0, 0, 0, 0}.Encode(), ','),
            "RTK:TT=01.01.1970 00:00:00 | LAT=1,0000000000 | LON=0,0000000000 | ALT=1,5000000 | "
            "SPD=0,0000000 | DIR=0,00000 | STATE=0 | RMS=0");
}

class RtkFrames : public ::testing::Test {
 protected:
  std::vector<TNTMobile> Parse(std::uint8_t nrec, const ByteVec& records) {
    TParserKrestel parser(context, nullptr, Disk());
    std::vector<TNTMobile> out;
    EXPECT_EQ(parser.ParseArr(Frame(Payload(Imei, 9, nrec, Concat({ByteVec{0x77}, records}))), out), PACKET_D);
    return out;
  }

  TempDir dir;
  ParserContext context = Context(dir.withSlash());
  const std::string path = dir.withSlash() + Id + "_RTK.rtk";
};

TEST_F(RtkFrames, EachRecordAppendsALineAndTheFrameGivesOneRecord) {
  auto out = Parse(3, Concat({Known.Encode(), Rtk{}.Encode(), Known.Encode()}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, evRTK);
  EXPECT_EQ(out[0].Rec.ID.view(), Id);
  EXPECT_EQ(out[0].Rec.ParamString.view(), path);
  ASSERT_EQ(Lines(path).size(), 3u);
  EXPECT_EQ(Lines(path)[0], KnownLine);

  // A second frame appends to the same file.
  out = Parse(1, Known.Encode());
  ASSERT_EQ(out.size(), 1u);
  const auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], KnownLine);
}

TEST_F(RtkFrames, NoRecordsWritesNothing) {
  const auto out = Parse(0, {});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, 0);
  EXPECT_TRUE(out[0].Rec.ParamString.empty());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(RtkFrames, RecordRunningPastThePayloadIsNotWritten) {
  ByteVec records = Concat({Known.Encode(), Known.Encode()});
  records.resize(28 + 24);  // the second record lacks a byte it reads
  const auto out = Parse(2, records);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, evRTK);
  EXPECT_EQ(Lines(path).size(), 1u);

  // Only the three unread bytes missing: the record is whole enough to write.
  records.resize(28 + 25);
  Parse(2, records);
  EXPECT_EQ(Lines(path).size(), 3u);
}

TEST_F(RtkFrames, FileErrorPasses) {
  context.downloadDir = dir.withSlash() + "missing/";
  TParserKrestel parser(context, nullptr, Disk());
  std::vector<TNTMobile> out;
  EXPECT_THROW(parser.ParseArr(Frame(Payload(Imei, 9, 1, Concat({ByteVec{0}, Known.Encode()}))), out),
               std::system_error);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace telvaro
