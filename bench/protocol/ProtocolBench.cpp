// Throughput of the terminal protocol's hot path: checksum, stream framing with
// ParseArr, and AVL decoding.

#include <benchmark/benchmark.h>

#include <cstring>

#include "protocol/StreamFramer.h"
#include "protocol/TerminalParser.h"
#include "tests/protocol/DecoderFixtures.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

constexpr std::uint64_t Imei = 356173061234567ull;

/// A record with 20 I/O elements, five of each width.
AvlRecord TypicalRecord(int i) {
  AvlRecord a;
  a.time = 1'700'000'000u + static_cast<std::uint32_t>(i);
  a.event = 1;
  a.lat = 557'512'345;
  a.lon = 376'184'567;
  a.speed = 60;
  a.sat = 11;
  a.valid = 1;
  for (int g = 0; g < 4; ++g)
    for (int k = 0; k < 5; ++k)
      a.io[g].emplace_back(static_cast<std::uint8_t>(1 + g * 40 + k), 0x0102030405060708ull >> (8 * (7 - (1 << g))));
  return a;
}

ByteVec AvlFrame(int records) {
  ByteVec body;
  for (int i = 0; i < records; ++i) {
    const ByteVec r = TypicalRecord(i).Encode();
    body.insert(body.end(), r.begin(), r.end());
  }
  return Frame(Payload(Imei, 2, static_cast<std::uint8_t>(records), body));
}

void BM_CRC16(benchmark::State& state) {
  ByteVec data(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  for (auto _ : state) benchmark::DoNotOptimize(CRC16(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CRC16)->Arg(1024)->Arg(65536);

/// Feeds a stream of `frame` repeated through the framer in reads of 16 KB and parses
/// every message, as a connection does.
void FrameAndParse(benchmark::State& state, const ByteVec& frame) {
  constexpr std::size_t ReadSize = 16 * 1024;
  ByteVec stream;
  while (stream.size() < 256 * 1024) stream.insert(stream.end(), frame.begin(), frame.end());
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  StreamFramer framer;
  std::vector<TNTMobile> mobiles;
  std::int64_t records = 0;
  for (auto _ : state) {
    for (std::size_t pos = 0; pos < stream.size();) {
      const auto room = framer.Prepare(std::min(ReadSize, stream.size() - pos));
      std::memcpy(room.data(), stream.data() + pos, room.size());
      framer.Commit(room.size());
      pos += room.size();
      Bytes msg;
      while (framer.Next(msg) == StreamFramer::Status::Message) {
        mobiles.clear();
        parser.ParseArr(msg, mobiles);
        records += static_cast<std::int64_t>(mobiles.size());
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

void BM_FrameParse_KeepAlive(benchmark::State& state) { FrameAndParse(state, Frame(Payload(Imei, 5, 0))); }
BENCHMARK(BM_FrameParse_KeepAlive);

/// About 1 KB: eight AVL records of 20 elements.
void BM_FrameParse_1KB_Avl(benchmark::State& state) { FrameAndParse(state, AvlFrame(8)); }
BENCHMARK(BM_FrameParse_1KB_Avl);

/// 1 KB of a kind that decodes nothing: framing and checksum alone.
void BM_FrameParse_1KB_Opaque(benchmark::State& state) {
  FrameAndParse(state, Frame(Payload(Imei, 77, 1, ByteVec(1024 - 18, 0x5A))));
}
BENCHMARK(BM_FrameParse_1KB_Opaque);

/// Frames of 50 AVL records with 20 elements each, through ParseArr, no fuel store.
void BM_AvlDecode_50x20(benchmark::State& state) {
  const ByteVec frame = AvlFrame(50);
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> mobiles;
  for (auto _ : state) {
    mobiles.clear();
    parser.ParseArr(frame, mobiles);
    benchmark::DoNotOptimize(mobiles.data());
  }
  if (mobiles.size() != 50) state.SkipWithError("frame did not decode");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 50);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_AvlDecode_50x20);

}  // namespace
}  // namespace telvaro
