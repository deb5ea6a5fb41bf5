#include "tests/tasks/TaskDbFixture.h"

namespace telvaro {
namespace {

using testing::Engine;
using testing::TaskDb;

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return EncodeDateTime({.year = y, .month = mo, .day = d, .hour = h, .minute = mi, .second = s});
}

class FuelReport : public TaskDb {
 protected:
  void AddAt(TDateTime utc, std::string id = "imei") {
    FuelEvent e;
    e.ID = std::move(id);
    e.ev = 150;
    e.utc = utc;
    dm_.AddFuelEvent(e);
  }

  /// The `cnt` cells of a report, in order.
  static std::vector<int> Counters(const std::string& report) {
    std::vector<int> out;
    for (std::size_t at = report.find("<tr><td>"); at != std::string::npos;
         at = report.find("<tr><td>", at + 1))
      out.push_back(std::stoi(report.substr(at + 8)));
    return out;
  }
};

TEST_P(FuelReport, RowTextFollowsTheRegionalSettings) {
  dm_.AddFuelEvent({.ID = "352093081234567",
                    .ev = 255,
                    .utc = At(2024, 3, 5, 14, 7, 9),
                    .Lat = 55.751244,
                    .Lon = -37.6,
                    .speed = 42,
                    .keyid = "<A&B>\"'",
                    .fuel = -5,
                    .fs1 = 0,
                    .fs2 = 2147483647});
  dm_.AddFuelEvent({.ID = "x",
                    .ev = 0,
                    .utc = At(2024, 3, 6),
                    .Lat = 0.1 + 0.2,
                    .Lon = 0,
                    .speed = 1e-7,
                    .keyid = "",
                    .fuel = 0,
                    .fs1 = 0,
                    .fs2 = 0});

  struct Case {
    char sep;
    const char* date;
    const char* time;
    const char* request;
    const char* rows;
  };
  const Case cases[] = {
      {'.', "dd.mm.yyyy", "hh:nn:ss", "REPORT*01.03.2024*06.03.2024*",
       "<tr><td>1</td><td>352093081234567</td><td>05.03.2024 14:07:09</td><td>255</td><td>55.751244"
       "</td><td>-37.6</td><td>42</td><td>&lt;A&amp;B&gt;&quot;&#39;</td><td>-5</td><td>0</td><td>"
       "2147483647</td></tr>\r\n"
       "<tr><td>2</td><td>x</td><td>06.03.2024</td><td>0</td><td>0.3</td><td>0</td><td>1E-07</td>"
       "<td></td><td>0</td><td>0</td><td>0</td></tr>\r\n"},
      {',', "yyyy-mm-dd", "hh:nn", "*2024-03-01*2024-03-06*tail",
       "<tr><td>1</td><td>352093081234567</td><td>2024-03-05 14:07</td><td>255</td><td>55,751244"
       "</td><td>-37,6</td><td>42</td><td>&lt;A&amp;B&gt;&quot;&#39;</td><td>-5</td><td>0</td><td>"
       "2147483647</td></tr>\r\n"
       "<tr><td>2</td><td>x</td><td>2024-03-06</td><td>0</td><td>0,3</td><td>0</td><td>1E-07</td>"
       "<td></td><td>0</td><td>0</td><td>0</td></tr>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    Reopen({.format = {.shortDateFormat = c.date, .longTimeFormat = c.time, .decimalSeparator = c.sep}});
    EXPECT_EQ(dm_.GetFuelReport(c.request), c.rows);
  }
}

TEST_P(FuelReport, BothBoundsAreIncludedAtMidnight) {
  AddAt(At(2024, 1, 9, 23, 59, 59));  // 1
  AddAt(At(2024, 1, 10));             // 2
  AddAt(At(2024, 1, 10, 0, 0, 1));    // 3
  AddAt(At(2024, 1, 11));             // 4
  AddAt(At(2024, 1, 11, 0, 0, 1));    // 5

  EXPECT_EQ(Counters(dm_.GetFuelReport("REPORT*10.01.2024*10.01.2024*")), std::vector<int>{2});
  EXPECT_EQ(Counters(dm_.GetFuelReport("REPORT*10.01.2024*11.01.2024*")), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(Counters(dm_.GetFuelReport("REPORT*01.01.2024*31.12.2024*")), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(dm_.GetFuelReport("REPORT*11.01.2024*10.01.2024*"), "");
  EXPECT_EQ(dm_.GetFuelReport("REPORT*01.02.2024*28.02.2024*"), "");
}

TEST_P(FuelReport, NullColumnsGiveEmptyCells) {
  {
    Table t(*this);
    t->Exec(Postgres() ? "INSERT INTO Fuels (utcdate) VALUES ('2024-01-08')" : "INSERT INTO Fuels (utcdate) VALUES (45299.0)");
  }
  EXPECT_EQ(dm_.GetFuelReport("REPORT*08.01.2024*08.01.2024*"),
            "<tr><td>1</td><td></td><td>08.01.2024</td><td></td><td></td><td></td><td></td>"
            "<td></td><td></td><td></td><td></td></tr>\r\n");
}

TEST_P(FuelReport, MissingOrInvalidDatesAreRejected) {
  AddAt(At(2024, 1, 10));
  for (const char* request : {"", "REPORT", "REPORT*10.01.2024", "REPORT*10.01.2024*10.01.2024",
                              "REPORT**10.01.2024*", "REPORT*31.02.2024*01.03.2024*",
                              "REPORT*10.01.2024*tomorrow*", "REPORT*2024-01-10*2024-01-11*"}) {
    SCOPED_TRACE(request);
    EXPECT_THROW(dm_.GetFuelReport(request), std::invalid_argument);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, FuelReport, ::testing::Values(Engine::Sqlite, Engine::Postgres), testing::EngineName);

}  // namespace
}  // namespace telvaro
