#include "protocol/ParserBase.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "protocol/Bytes.h"
#include "base/Settings.h"

namespace telvaro {
namespace {

int RandomKey() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return std::uniform_int_distribution<int>(0, 28)(gen);
}

}  // namespace

TParser::TParser(TaskStore* store) : Key(RandomKey()), store_(store) { GetDBEvents(); }

int TParser::Parse(std::string_view, std::vector<TNTMobile>&) { return BAD_PACKET; }

void TParser::GetDBEvents() {
  DBEvents.clear();
  std::string_view rest = Settings.EventsToDB;
  while (true) {
    const auto comma = rest.find(',');
    // Blanks around a number are not part of it: "150, 151" lists 151, not the 0 of a
    // non-number, which would send every record without an event to the fuel store.
    const std::string_view piece = TrimControl(rest.substr(0, comma));
    if (!piece.empty()) {
      // A piece that is not a number counts as 0; values wrap to their low byte.
      long long v = 0;
      bool ok = true;
      std::size_t i = (piece[0] == '-' || piece[0] == '+') ? 1 : 0;
      if (i == piece.size()) ok = false;
      for (; ok && i < piece.size(); ++i) {
        if (piece[i] < '0' || piece[i] > '9' || v > 1'000'000'000'000LL) ok = false;
        else v = v * 10 + (piece[i] - '0');
      }
      if (ok && piece[0] == '-') v = -v;
      DBEvents.push_back(static_cast<std::uint8_t>(ok ? v : 0));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

bool TParser::IsForDB(std::uint8_t ev) const noexcept {
  return std::find(DBEvents.begin(), DBEvents.end(), ev) != DBEvents.end();
}

bool TParser::IDInBlackList(std::string_view id) {
  const std::string_view key = TrimControl(id);
  return std::any_of(BlackList.begin(), BlackList.end(),
                     [&](const std::string& entry) { return TrimControl(entry) == key; });
}

void TParser::WriteToLog(std::string_view s) {
  const std::string path = Settings.ProgramDir + "log.txt";
  if (std::FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fwrite(s.data(), 1, s.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
  }
}

std::optional<TCmd> TParser::GetCommandIfExist(const TNTMobile& mobile) {
  if (!Commands.empty()) return Commands.front();
  if (mobile.Rec.Event == evHandshake || !store_) return std::nullopt;
  TaskBlock block = store_->GetFirstTaskBlock(mobile.Rec.ID.view());
  if (block.BLK_NUM <= 0) return std::nullopt;
  TCmd cmd;
  if (block.CMD.size() > 255) cmd.Fpart = std::move(block.CMD);
  else cmd.Rec.CMD.assign(block.CMD);
  cmd.Rec.UID.assign(mobile.Rec.ID.view());
  return cmd;
}

void TParser::DelCommand() noexcept {
  if (!Commands.empty()) Commands.pop_front();
}

int TParser::CommandsCount(std::string_view id) {
  const int stored = store_ ? store_->CountCommandsFor(id) : 0;
  return stored + static_cast<int>(Commands.size());
}

}  // namespace telvaro
