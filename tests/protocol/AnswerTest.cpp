#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "DecoderFixtures.h"
#include "protocol/DownloadFiles.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

constexpr std::uint64_t Imei = 356173061234567ull;
const std::string Id = "356173061234567";

ByteVec Text(std::string_view s) { return ByteVec(s.begin(), s.end()); }

ByteVec Version() {
  ByteVec v{0x0C};
  v.resize(84, 0);
  const std::string cpu = "1.2.3", gsm = "G1", gnss = "N2", prot = "P3";
  std::copy(cpu.begin(), cpu.end(), v.begin() + 12);
  std::copy(gsm.begin(), gsm.end(), v.begin() + 33);  // zero bytes anywhere are left out
  std::copy(gnss.begin(), gnss.end(), v.begin() + 48);
  std::copy(prot.begin(), prot.end(), v.begin() + 64);
  return v;
}

ByteVec Keys() {
  ByteVec v{0x08, 0};
  for (int i = 0; i < 3; ++i) PutBE(v, 0x0101010101010101ull * (i + 1), 8);
  PutBE(v, 0x1122334455667788ull, 8);
  return v;
}

struct AnswerCase {
  const char* name;
  ByteVec bytes;     ///< exactly the bytes the answer needs
  std::int32_t event;
  std::size_t endPos;
  std::function<void(const TRecNTMobile&)> check;
  friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
};

class AnswerTable : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTable, DecodesFieldsAndLeavesThePosition) {
  const AnswerCase& c = GetParam();
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  TNTMobile m;
  m.Rec.ID.assign(Id);
  std::size_t pos = 0;
  const ByteVec exact(c.bytes);
  ASSERT_TRUE(parser.ParseANSWER(pos, exact, m));
  EXPECT_EQ(m.Rec.Event, c.event);
  EXPECT_EQ(pos, c.endPos);
  if (c.check) c.check(m.Rec);
}

TEST_P(AnswerTable, EveryShorterAnswerIsRefused) {
  const AnswerCase& c = GetParam();
  for (std::size_t n = 0; n < c.bytes.size(); ++n) {
    TParserKrestel parser(DefaultContext(), nullptr, Disk());
    TNTMobile m;
    m.Rec.ID.assign(Id);
    std::size_t pos = 0;
    const ByteVec cut(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n));
    EXPECT_FALSE(parser.ParseANSWER(pos, cut, m)) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AnswerTable,
    ::testing::Values(
        AnswerCase{"param_two_bytes", {0x02, 0x00, 0x05, 0x02, 0x01, 0x2C}, 1000, 3,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Param, 5);
                     EXPECT_EQ(r.ParamValue, 300u);
                   }},
        AnswerCase{"param_eight_bytes", {0x02, 0x00, 0x05, 0x08, 0, 0, 0, 1, 0, 0, 0, 2}, 1000, 3,
                   [](const TRecNTMobile& r) { EXPECT_EQ(r.ParamValue, (1ull << 32) + 2); }},
        AnswerCase{"param_odd_size_stores_nothing", {0x02, 0x00, 0x05, 0x03}, 1000, 3,
                   [](const TRecNTMobile& r) { EXPECT_EQ(r.ParamValue, 0u); }},
        AnswerCase{"param_change_numeric_has_no_status", {0x04, 0x7F, 0xFF, 0x01, 0x07}, 1002, 3,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Param, 0x7FFF);
                     EXPECT_EQ(r.ParamValue, 7u);
                   }},
        AnswerCase{"string_param", {0x02, 0x00, 101, 0x05, ' ', 'A', 'B', 'C', 0x00}, 1000, 3,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.ParamString.view(), "ABC");
                     EXPECT_FALSE(r.Restart);
                   }},
        AnswerCase{"string_param_change", {0x04, 0x00, 101, 0x03, 'A', 'B', 'C', 1, 0}, 1002, 7,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Param, 101);
                     EXPECT_EQ(r.ParamString.view(), "ABC");
                     EXPECT_TRUE(r.Restart);
                     EXPECT_FALSE(r.ResultOp);
                   }},
        AnswerCase{"string_param_change_flags_equal_one", {0x04, 0x01, 0x9B, 0x01, 0xC0, 2, 3}, 1002, 5,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Param, 411);
                     EXPECT_EQ(r.ParamString.view(), "\xC0");  // Windows-1251 kept as it is
                     EXPECT_FALSE(r.Restart);                  // only 1 counts
                     EXPECT_FALSE(r.ResultOp);
                   }},
        AnswerCase{"string_param_change_empty", {0x04, 0x00, 101, 0x00, 0, 1}, 1002, 4,
                   [](const TRecNTMobile& r) {
                     EXPECT_TRUE(r.ParamString.empty());
                     EXPECT_FALSE(r.Restart);
                     EXPECT_TRUE(r.ResultOp);
                   }},
        AnswerCase{"entity", {0x03, 0x00, 0x0A, 0x04, 0, 0, 1, 0}, 1001, 3,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Entity, 10);
                     EXPECT_EQ(r.EntityValue, 256u);
                   }},
        AnswerCase{"balance", {0x07, 0xFF, 0xFF, 0xFF, 0xF6, 'R', 0xD3, 'B'}, 1003, 5,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Balance, -10.0f);
                     EXPECT_EQ(r.ParamString.view(), "R\xD3" "B");
                   }},
        AnswerCase{"keys", Keys(), 1004, 33,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Io(78), 0x1122334455667788u);
                     EXPECT_FALSE(r.Fl(78));
                   }},
        AnswerCase{"cell", {0x09, 'A', 'B', 'C', 'D'}, 1005, 3,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.CellID.view(), "AB");
                     EXPECT_EQ(r.LAC.view(), "CD");
                   }},
        AnswerCase{"version", Version(), 1018, 83,
                   [](const TRecNTMobile& r) { EXPECT_EQ(r.ParamString.view(), "CPU:1.2.3 GSM:G1 GNSS:N2 PROT:P3"); }},
        AnswerCase{"outputs", {0x0E, 0xA5, 0x01}, 1006, 1,
                   [](const TRecNTMobile& r) {
                     const std::uint64_t expected[8] = {1, 0, 4, 0, 0, 32, 0, 128};
                     for (int k = 1; k <= 8; ++k) {
                       EXPECT_EQ(r.Io(30 + k), expected[k - 1]) << k;
                       EXPECT_FALSE(r.Fl(30 + k));
                     }
                     EXPECT_TRUE(r.ResultOp);
                   }},
        AnswerCase{"permit_csd", {0x0F, 0x05, 0x02}, 1008, 2,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Param, 5);
                     EXPECT_TRUE(r.Restart);
                   }},
        AnswerCase{"engine_block", {0x10, 0x01, 0x00}, 1007, 2,
                   [](const TRecNTMobile& r) {
                     EXPECT_TRUE(r.ResultOp);
                     EXPECT_FALSE(r.Restart);
                   }},
        AnswerCase{"accel", {0x11, 0x00, 0x03}, 1009, 2,
                   [](const TRecNTMobile& r) {
                     EXPECT_FALSE(r.ResultOp);
                     EXPECT_TRUE(r.Restart);
                   }},
        AnswerCase{"waypoint_state", {0xA3, 0x03, 0x07}, 1025, 1,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.EventValue, 3);
                     EXPECT_EQ(r.ParamValue, 7u);
                   }},
        AnswerCase{"driver_id", Concat({{0xA8}, Text("  DRV\xC9" "123"), ByteVec(7, 0)}), 1023, 1,
                   [](const TRecNTMobile& r) { EXPECT_EQ(r.ParamString.view(), "DRV\xC9" "123"); }},
        AnswerCase{"driver_state", {0xAA, 0x05}, 1024, 1,
                   [](const TRecNTMobile& r) { EXPECT_EQ(r.ParamValue, 5u); }},
        AnswerCase{"text_no_with_value", {0xAB, 3, 1, 7}, 1022, 2,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.Param, 3);
                     EXPECT_EQ(r.ParamString.view(), "\xCD\xE5\xF2");
                     EXPECT_EQ(r.EventValue, 7);
                   }},
        AnswerCase{"text_yes", {0xAB, 2, 0}, 1022, 2,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.ParamString.view(), "\xC4\xE0");
                     EXPECT_EQ(r.EventValue, 0);
                   }},
        AnswerCase{"text_ok", {0xAB, 4, 2}, 1022, 2,
                   [](const TRecNTMobile& r) { EXPECT_EQ(r.ParamString.view(), "OK"); }},
        AnswerCase{"text_own", {0xAB, 1, 4, ' ', 'h', 0xE9, '\n', 1, 9}, 1022, 7,
                   [](const TRecNTMobile& r) {
                     EXPECT_EQ(r.ParamString.view(), "h\xE9");
                     EXPECT_EQ(r.EventValue, 9);
                   }},
        AnswerCase{"text_unknown_subkind", {0xAB, 9, 0}, 1022, 2,
                   [](const TRecNTMobile& r) { EXPECT_TRUE(r.ParamString.empty()); }},
        AnswerCase{"unknown_kind", {0x55}, 0, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseArrAnswers, AnswersShareOneReadPosition) {
  // The CSD answer leaves the position on its status byte, which is read as the kind
  // of the next answer.
  const ByteVec body{0x0F, 0x05, 0x10, 0x01, 0x01};
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  ASSERT_EQ(parser.ParseArr(Frame(Payload(Imei, 6, 2, body)), out), PACKET_D);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Rec.Event, evPermitCSD);
  EXPECT_TRUE(out[0].Rec.Restart);
  EXPECT_EQ(out[1].Rec.Event, evEngBlock);
  EXPECT_TRUE(out[1].Rec.ResultOp);
  EXPECT_EQ(out[1].Rec.ID.view(), Id);
}

TEST(ParseArrAnswers, AnswerRunningPastThePayloadEndsTheFrame) {
  // A complete answer, then a version answer cut short.
  const ByteVec body{0x0F, 0x05, 0x0C, 0x00};
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  ASSERT_EQ(parser.ParseArr(Frame(Payload(Imei, 6, 3, body)), out), PACKET_D);
  EXPECT_EQ(out.size(), 1u);
}

/// A file block answer at payload offset 10.
ByteVec FileBlock(std::uint8_t ftype, std::int32_t fsize, std::uint32_t offset, const ByteVec& data,
                  std::uint8_t status = 1, std::uint32_t nBeg = 0, std::uint32_t nEnd = 9) {
  ByteVec v{0x05, ftype};
  PutBE(v, static_cast<std::uint32_t>(fsize), 4);
  PutBE(v, nBeg, 4);
  PutBE(v, nEnd, 4);
  PutBE(v, offset, 4);
  PutBE(v, data.size(), 2);
  v.push_back(status);
  v.insert(v.end(), data.begin(), data.end());
  return v;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileTransfer : public ::testing::Test {
 protected:
  std::vector<TNTMobile> Parse(const ByteVec& body, std::uint8_t nrec = 1) {
    std::vector<TNTMobile> out;
    EXPECT_EQ(parser.ParseArr(Frame(Payload(Imei, 6, nrec, body)), out), PACKET_D);
    return out;
  }

  TempDir dir;
  ParserContext context = Context(dir.withSlash());
  FakeTaskStore store;
  TParserKrestel parser{context, &store, Disk()};
};

TEST_F(FileTransfer, BlockIsWrittenAndItsPositionQueued) {
  ByteVec data(100);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  const auto out = Parse(FileBlock(1, 1000, 0, data, 1, 0, 9));
  ASSERT_EQ(out.size(), 1u);
  const std::string path = dir.withSlash() + Id + "_conf.cfg";
  EXPECT_EQ(out[0].Rec.Event, evFileRecvPos);
  EXPECT_EQ(out[0].Rec.EventValue, 0);
  EXPECT_EQ(out[0].Rec.ParamString.view(), path);
  EXPECT_EQ(ReadFile(path), std::string(data.begin(), data.end()));

  ASSERT_EQ(store.tasks.size(), 1u);
  const auto& task = store.tasks[0];
  EXPECT_EQ(task.id, Id);
  EXPECT_EQ(task.offset, 100);
  EXPECT_EQ(task.blkNum, -1);
  EXPECT_EQ(task.blkSize, -1);
  const ByteVec answer{0x05, 0x01, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 100};
  EXPECT_EQ(Text(task.cmd), Frame(Payload(0, 4, 1, answer)));
}

TEST_F(FileTransfer, BlocksLandAtTheirOffsetsInAnyOrder) {
  const ByteVec a(50, 'a'), b(30, 'b');
  const auto last = Parse(FileBlock(12, 80, 50, b, 2));
  Parse(FileBlock(12, 80, 0, a, 1));
  Parse(FileBlock(12, 80, 0, a, 7));  // a repeated block overwrites; unknown status is a block
  EXPECT_EQ(last[0].Rec.Event, evFileRecvEnd);
  EXPECT_EQ(last[0].Rec.EventValue, 50);
  EXPECT_EQ(ReadFile(dir.withSlash() + Id + "_track.ppr"), std::string(50, 'a') + std::string(30, 'b'));
  ASSERT_EQ(store.tasks.size(), 3u);
  EXPECT_EQ(store.tasks[0].offset, 80);
  EXPECT_EQ(store.tasks[1].offset, 50);
}

TEST_F(FileTransfer, BlockAtOrPastTheSizeCreatesTheFileOnly) {
  for (std::uint32_t offset : {1000u, 1001u, 0xFFFFFFF0u}) {
    const auto out = Parse(FileBlock(77, 1000, offset, ByteVec(10, 'x')));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Rec.Event, evFileRecvPos);
  }
  const std::string path = dir.withSlash() + Id + "_.bin";
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  EXPECT_TRUE(store.tasks.empty());
  // A negative size never writes either.
  Parse(FileBlock(77, -5, 0, ByteVec(10, 'x')));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(FileTransfer, ErrorStatusTouchesNoFile) {
  const auto out = Parse(FileBlock(1, 1000, 0, ByteVec(10, 'x'), 0));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, evFileRecvErr);
  EXPECT_EQ(out[0].Rec.ParamString.view(), dir.withSlash() + Id + "_conf.cfg");
  EXPECT_FALSE(std::filesystem::exists(dir.withSlash() + Id + "_conf.cfg"));
  EXPECT_TRUE(store.tasks.empty());
}

TEST_F(FileTransfer, BlockLongerThanThePayloadIsNotWritten) {
  ByteVec block = FileBlock(1, 1000, 0, ByteVec(10, 'x'));
  block.pop_back();
  EXPECT_TRUE(Parse(block).empty());
  EXPECT_FALSE(std::filesystem::exists(dir.withSlash() + Id + "_conf.cfg"));
}

TEST_F(FileTransfer, FileSystemErrorPassesAndKeepsTheAnswersBefore) {
  context.downloadDir = dir.withSlash() + "missing/";
  // A driver-state answer leaves the position one on, where the block begins; whatever
  // its fields at fixed offsets then read, the file has to be opened.
  const ByteVec body = Concat({ByteVec{0xAA}, FileBlock(1, 1000, 0, ByteVec(4, 'x'))});
  std::vector<TNTMobile> out;
  EXPECT_THROW(parser.ParseArr(Frame(Payload(Imei, 6, 2, body)), out), std::system_error);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, evDrvStAnswer);
  EXPECT_EQ(out[0].Rec.ParamValue, 5u);
}

TEST_F(FileTransfer, UploadAcknowledgementsRetireBlocks) {
  store.AddTask(Id, 0, 1, 1024, "block0");
  store.AddTask(Id, 1024, 2, 1024, "block1");
  store.AddTask(Id, 0, -1, -1, "plain command");
  store.AddTask("999", 0, 1, 1024, "other terminal");

  const ByteVec ack1{0x06, 0x00, 0x00, 0x00, 0x04, 0x00};
  auto out = Parse(ack1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, evFilePos);
  EXPECT_EQ(out[0].Rec.ParamValue, 1024u);
  EXPECT_EQ(store.CountFileCommandsFor(Id), 1);

  const ByteVec ack2{0x06, 0x00, 0x00, 0x00, 0x08, 0x00};
  out = Parse(ack2);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.Event, evFileEnd);
  EXPECT_EQ(out[0].Rec.ParamValue, 2048u);
  EXPECT_EQ(store.CountCommandsFor(Id), 1);   // the plain command stays
  EXPECT_EQ(store.CountFileCommandsFor("999"), 1);
}

TEST(DownloadFiles, NamesByTypeAndRefusesForeignIds) {
  struct Case { std::uint8_t type; const char* name; };
  for (const Case& c : {Case{1, "conf.cfg"}, Case{11, "accel.apr"}, Case{12, "track.ppr"}, Case{13, "raw.rpr"},
                        Case{14, "blackbox.bbx"}, Case{15, "errorlog.txt"}, Case{16, "RTK.rtk"},
                        Case{0, ".bin"}, Case{2, ".bin"}, Case{255, ".bin"}})
    EXPECT_EQ(MakeFileName("/srv/dl/", "123", c.type), std::string("/srv/dl/123_") + c.name) << int(c.type);
  EXPECT_EQ(MakeFileName("/srv/dl/", "-42", 1), "/srv/dl/-42_conf.cfg");
  for (const char* bad : {"", "-", "--1", "../1", "1/2", "12a", " 12", "1-2"})
    EXPECT_THROW(MakeFileName("/srv/dl/", bad, 1), std::invalid_argument) << bad;
}

}  // namespace
}  // namespace telvaro
