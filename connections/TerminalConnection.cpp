#include "connections/TerminalConnection.h"

#include <exception>

#include "records/Text.h"

namespace telvaro {

TerminalConnection::TerminalConnection(const ConnectionEnv& env, std::string peer)
    : env_(env), parser_(env.parser, env.store, *env.files), peer_(std::move(peer)) {}

TerminalConnection::~TerminalConnection() { ReleaseHeld(); }

bool TerminalConnection::Parse(Bytes message) {
  batch_.clear();
  if (Identifying() && parser_.IdentSentAt != 0 && NowLocal() - parser_.IdentSentAt > IdentifyLimitDays) return false;
  code_ = parser_.ParseArr(message, batch_);
  if (batch_.empty()) return false;

  const std::string_view id = batch_.front().Rec.ID.view();
  if (id != identity_) {
    identity_.assign(id);
    // Checked whenever the identity changes, so a terminal cannot switch to a
    // black-listed ID after its first message.
    if (env_.parser.IDInBlackList(identity_)) {
      Log(DisplayText(identity_) + ": Black listed. Connection refused");
      batch_.clear();
      return false;
    }
    HoldIdentity();
  }
  if (Identifying() && code_ == PACKET_HANDSHAKE) {
    Log("Handshake from " + DisplayText(identity_));
    parser_.IdentifyRequest(identity_);
  }
  return true;
}

std::optional<TCmd> TerminalConnection::FetchCommand() {
  try {
    return parser_.GetCommandIfExist(batch_.front());
  } catch (const std::exception& e) {
    Log(std::string("Exception in getting command for device ") + e.what());
    return std::nullopt;
  }
}

void TerminalConnection::CommandWritten(const TCmd& cmd) {
  const TNTMobile& first = batch_.front();
  try {
    parser_.DelCommand();
    // Also after a batch led by an upload position: DelTask spares file blocks, and a
    // plain command written during an upload must not be written twice.
    if (env_.store) env_.store->DelTask(first.Rec.ID.view());
    const int count = parser_.CommandsCount(cmd.Rec.UID.view());
    Log("Command for " + DisplayText(cmd.Rec.UID.view()) + " sent. Commands in queue  " + std::to_string(count));
    SendToUserMessage(evCommandSent, count, first.Rec.ID.view());
  } catch (const std::exception& e) {
    CommandFailed(cmd, e.what());
  }
}

void TerminalConnection::CommandFailed(const TCmd& cmd, std::string_view error) {
  Log("Exception when sending a command to " + DisplayText(cmd.Rec.UID.view()) + " " + std::string(error));
}

bool TerminalConnection::Route() {
  bool refused = false, toDB = false, toClients = false;
  for (const TNTMobile& m : batch_) {
    const std::int32_t ev = m.Rec.Event;
    if (ev == evAuthorized) {
      Log(DisplayText(m.Rec.ID.view()) + ": Authorization OK");
      continue;
    }
    if (ev == evWrongDevice) {
      Log(DisplayText(m.Rec.ID.view()) + ": Wrong device. Connection refused");
      refused = true;
      break;
    }
    if (ev == evFileRecvEnd) {
      Log(DisplayText(m.Rec.ID.view()) + ": File received OK");
    } else if (ev == evTextAnswer) {
      Log(DisplayText(m.Rec.ID.view()) + ": Answer is " + DisplayText(m.Rec.ParamString.view()) + ";ID=" +
          std::to_string(m.Rec.EventValue));
    }
    if (env_.toDatabase && code_ == PACKET_D) {
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
      env_.toSend->Add(m);
      toClients = true;
    } catch (const std::exception&) {
      // A record the data channel cannot take is skipped; the others still go.
    }
  }
  // One wake-up per batch: the consumers drain their whole queue on each, and a signal
  // per record would only switch threads for nothing.
  if (toDB) SetNamedEvent(DBEventName);
  if (toClients) SetNamedEvent(ClientsEventName);
  batch_.clear();
  return !refused;
}

void TerminalConnection::End() {
  ReleaseHeld();
  Log("Thread ended with " + peer_);
  try {
    SendToUserMessage(evDisconnect, 0, identity_);
  } catch (const std::exception&) {
    // Only an allocation can fail here; the connection ends all the same.
  }
  batch_.clear();
}

void TerminalConnection::ReleaseIdle() noexcept {
  batch_.clear();
  batch_.shrink_to_fit();
}

bool TerminalConnection::Identifying() const noexcept { return env_.parser.keys != nullptr; }

void TerminalConnection::HoldIdentity() {
  if (!env_.store) return;
  ReleaseHeld();
  held_ = identity_;
  env_.store->Hold(held_);
}

void TerminalConnection::ReleaseHeld() noexcept {
  if (held_.empty()) return;
  env_.store->Release(held_);
  held_.clear();
}

void TerminalConnection::SendToUserMessage(std::int32_t code, std::int32_t value, std::string_view devId) {
  TNTMobile m;
  m.Rec.Event = code;
  m.Rec.EventValue = value;
  m.Rec.ID.assign(devId);
  env_.toSend->Add(m);
  SetNamedEvent(ClientsEventName);
}

}  // namespace telvaro
