#include "connections/TerminalConnection.h"

#include <exception>

#include "records/Text.h"

namespace telvaro {

TerminalConnection::TerminalConnection(const ConnectionEnv& env, std::string peer)
    : env_(env), peer_(std::move(peer)) {}

TerminalConnection::~TerminalConnection() { LetGo(); }

bool TerminalConnection::Parse(Bytes message) {
  const double limitDays = std::chrono::duration<double>(env_.identifyLimit).count() / 86400.0;
  if (IdentificationSentAt() != 0 && NowLocal() - parser_->IdentSentAt > limitDays) return false;
  TParserKrestel& parser = Parser();
  Batch& batch = held_.emplace_back();
  batch.records.swap(spare_);
  try {
    batch.code = parser.ParseArr(message, batch.records);
  } catch (...) {
    DropNewest();
    throw;
  }
  if (batch.records.empty()) {
    DropNewest();
    return false;
  }

  const std::string_view id = batch.records.front().Rec.ID.view();
  if (id != identity_) {
    identity_.assign(id);
    // Checked whenever the identity changes, so a terminal cannot switch to a
    // black-listed ID after its first message.
    if (env_.parser.IDInBlackList(identity_)) {
      Log(DisplayText(identity_) + ": Black listed. Connection refused");
      DropNewest();
      return false;
    }
    HoldIdentity();
  }
  heldRecords_ += batch.records.size();
  if (Identifying() && batch.code == PACKET_HANDSHAKE) {
    Log("Handshake from " + DisplayText(identity_));
    parser.IdentifyRequest(identity_);
  }
  return true;
}

std::optional<TCmd> TerminalConnection::FetchCommand() {
  const TNTMobile& first = held_.back().records.front();
  try {
    if (claimed_) CommandNotWritten();  // a fetch the caller never concluded
    commandFor_.assign(first.Rec.ID.view());
    claimed_ = env_.claims && env_.claims->TryClaim(commandFor_);
    if (!OwnsTasks()) {
      // Another connection of the terminal has a command in flight. This connection's
      // own replies (to a handshake, say) still go: they are not the store's, and a
      // terminal must not wait for them on a connection it has left.
      return Parser().PendingCommand();
    }
    std::optional<TCmd> cmd = Parser().GetCommandIfExist(first);
    if (!cmd) Unclaim();
    return cmd;
  } catch (const std::exception& e) {
    // What the store may have handed out before it failed goes back.
    if (claimed_) CommandNotWritten();
    Log(std::string("Exception in getting command for device ") + e.what());
    return std::nullopt;
  }
}

void TerminalConnection::CommandWritten(const TCmd& cmd) {
  try {
    Parser().DelCommand();
    // Also after a batch led by an upload position: DelTask spares file blocks, and a
    // plain command written during an upload must not be written twice.
    if (env_.store && OwnsTasks()) env_.store->DelTask(commandFor_);
    Unclaim();
    const int count = Parser().CommandsCount(cmd.Rec.UID.view());
    Log("Command for " + DisplayText(cmd.Rec.UID.view()) + " sent. Commands in queue  " + std::to_string(count));
    SendToUserMessage(evCommandSent, count, commandFor_);
  } catch (const std::exception& e) {
    CommandFailed(cmd, e.what());
  }
}

void TerminalConnection::CommandFailed(const TCmd& cmd, std::string_view error) {
  CommandNotWritten();
  Log("Exception when sending a command to " + DisplayText(cmd.Rec.UID.view()) + " " + std::string(error));
}

void TerminalConnection::CommandNotWritten() noexcept {
  // Untaken, a task from the store cannot be taken for a written one by the DelTask
  // after the next write (a handshake reply on the terminal's next connection, say).
  if (env_.store && OwnsTasks()) env_.store->ReleaseTaken(commandFor_);
  Unclaim();
}

bool TerminalConnection::OwnsTasks() const noexcept { return claimed_ || !env_.claims; }

void TerminalConnection::Unclaim() noexcept {
  if (!claimed_) return;
  env_.claims->Unclaim(commandFor_);
  claimed_ = false;
}

bool TerminalConnection::Route() {
  bool accepted = true, toDB = false, toClients = false;
  for (const Batch& batch : held_) {
    accepted = RouteBatch(batch, toDB, toClients);
    if (!accepted) break;
  }
  // One wake-up per call: the consumers drain their whole queue on each, and a signal
  // per record would only switch threads for nothing.
  if (toDB) SetNamedEvent(DBEventName);
  if (toClients && env_.toSend) SetNamedEvent(ClientsEventName);
  if (toClients && env_.toStream) SetNamedEvent(StreamEventName);
  ClearHeld();
  return accepted;
}

bool TerminalConnection::RouteBatch(const Batch& batch, bool& toDB, bool& toClients) {
  for (const TNTMobile& m : batch.records) {
    const std::int32_t ev = m.Rec.Event;
    if (ev == evAuthorized) {
      Log(DisplayText(m.Rec.ID.view()) + ": Authorization OK");
      continue;
    }
    if (ev == evWrongDevice) {
      Log(DisplayText(m.Rec.ID.view()) + ": Wrong device. Connection refused");
      return false;
    }
    if (ev == evFileRecvEnd) {
      Log(DisplayText(m.Rec.ID.view()) + ": File received OK");
    } else if (ev == evTextAnswer) {
      Log(DisplayText(m.Rec.ID.view()) + ": Answer is " + DisplayText(m.Rec.ParamString.view()) + ";ID=" +
          std::to_string(m.Rec.EventValue));
    }
    if (env_.toDatabase && batch.code == PACKET_D) {
      try {
        // Past the limit the oldest records go; the database writer reports how many.
        env_.mobiles->AddBounded(m, env_.queueLimit);
        toDB = true;
      } catch (const std::exception& e) {
        Log(std::string("Error writing to DB ") + e.what());
      }
    }
    Log(m.Print(env_.render));
    try {
      if (env_.toSend) env_.toSend->Add(m);
      if (env_.toStream) {
        // Past its limit the stream queue drops its oldest; the publisher reports how many.
        TNTMobile marked = m;
        marked.dataFrame = batch.code == PACKET_D;
        env_.toStream->AddBounded(std::move(marked), env_.streamQueueLimit);
      }
      toClients = true;
    } catch (const std::exception&) {
      // A record the data channel cannot take is skipped; the others still go.
    }
  }
  return true;
}

void TerminalConnection::End() {
  LetGo();
  Log("Thread ended with " + peer_);
  try {
    SendToUserMessage(evDisconnect, 0, identity_);
  } catch (const std::exception&) {
    // Only an allocation can fail here; the connection ends all the same.
  }
  ClearHeld();
}

TParserKrestel& TerminalConnection::Parser() {
  if (!parser_) parser_ = std::make_unique<TParserKrestel>(env_.parser, env_.store, *env_.files);
  return *parser_;
}

void TerminalConnection::ReleaseIdle() noexcept {
  if (!held_.empty()) return;
  held_.shrink_to_fit();
  std::vector<TNTMobile>().swap(spare_);
  if (parser_ && parser_->Commands.empty()) std::vector<TCmd>().swap(parser_->Commands);
}

void TerminalConnection::DropNewest() noexcept {
  spare_ = std::move(held_.back().records);
  spare_.clear();
  held_.pop_back();
}

void TerminalConnection::ClearHeld() noexcept {
  if (!held_.empty()) {
    spare_ = std::move(held_.front().records);
    spare_.clear();
  }
  held_.clear();
  heldRecords_ = 0;
}

bool TerminalConnection::Identifying() const noexcept { return env_.parser.keys != nullptr; }

void TerminalConnection::HoldIdentity() {
  if (!env_.store) return;
  ReleaseHeld();
  heldId_ = identity_;
  env_.store->Hold(heldId_);
}

void TerminalConnection::LetGo() noexcept {
  if (claimed_) CommandNotWritten();
  ReleaseHeld();
}

void TerminalConnection::ReleaseHeld() noexcept {
  if (heldId_.empty()) return;
  env_.store->Release(heldId_);
  heldId_.clear();
}

void TerminalConnection::SendToUserMessage(std::int32_t code, std::int32_t value, std::string_view devId) {
  TNTMobile m;
  m.Rec.Event = code;
  m.Rec.EventValue = value;
  m.Rec.ID.assign(devId);
  if (env_.toSend) {
    env_.toSend->Add(m);
    SetNamedEvent(ClientsEventName);
  }
  if (env_.toStream) {
    env_.toStream->AddBounded(m, env_.streamQueueLimit);
    SetNamedEvent(StreamEventName);
  }
}

}  // namespace telvaro
