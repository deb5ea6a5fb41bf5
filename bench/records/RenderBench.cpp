#include <benchmark/benchmark.h>

#include "records/Events.h"
#include "records/Text.h"
#include "records/TerminalRecord.h"

namespace telvaro {
namespace {

TNTMobile Position() {
  TNTMobile m;
  m.Rec.ID.assign("356307042441013");
  m.Rec.Io(105) = 123456;
  m.Rec.GNSS.UTC = EncodeDateTime({2015, 3, 7, 14, 5, 9, 0});
  m.Rec.GNSS.Lat = 55.755812;
  m.Rec.GNSS.Lon = 37.617345;
  m.Rec.GNSS.Speed = 61;
  m.Rec.GNSS.Valid = 1;
  m.Rec.GNSS.Sat = 12;
  m.Rec.GNSS.GNSS = 3;
  m.Rec.GNSS.Alt = 152;
  m.Rec.GNSS.Az = 271;
  m.Rec.Event = 7;
  return m;
}

// The log line of a position record with a named event: the line every AVL record gets.
void BM_PrintPosition(benchmark::State& state) {
  Events[7] = "Тревога кнопка";
  const TNTMobile m = Position();
  const RenderOptions options;
  for (auto _ : state) benchmark::DoNotOptimize(m.Print(options));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintPosition);

void BM_DisplayTextCyrillic(benchmark::State& state) {
  const std::string text(200, '\xC0');
  for (auto _ : state) benchmark::DoNotOptimize(DisplayText(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DisplayTextCyrillic);

}  // namespace
}  // namespace telvaro
