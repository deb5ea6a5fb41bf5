#include "protocol/ParserBase.h"

#include <algorithm>
#include <random>

namespace telvaro {
namespace {

int RandomKey() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return std::uniform_int_distribution<int>(0, 28)(gen);
}

}  // namespace

TParser::TParser(const ParserContext& context, TaskStore* store)
    : Key(RandomKey()), DBEvents(context.dbEvents), context_(context), store_(store) {}

bool TParser::IsForDB(std::uint8_t ev) const noexcept {
  return std::find(DBEvents.begin(), DBEvents.end(), ev) != DBEvents.end();
}

std::optional<TCmd> TParser::PendingCommand() const {
  if (Commands.empty()) return std::nullopt;
  return Commands.front();
}

std::optional<TCmd> TParser::GetCommandIfExist(const TNTMobile& mobile) {
  if (std::optional<TCmd> pending = PendingCommand()) return pending;
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
  if (!Commands.empty()) Commands.erase(Commands.begin());
}

int TParser::CommandsCount(std::string_view id) {
  const int stored = store_ ? store_->CountCommandsFor(id) : 0;
  return stored + static_cast<int>(Commands.size());
}

}  // namespace telvaro
