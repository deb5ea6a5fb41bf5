#pragma once
// The producer side of the database queue `Mobiles`: what a connection calls for each
// record of a data frame when a central database is configured.

#include "connections/NamedEvent.h"
#include "connections/RecordQueue.h"
#include "records/UNTMobile.h"
#include "shell/Settings.h"

namespace telvaro {

/// Queues a copy of `m` for the database writer, dropping the oldest records past
/// `settings.QueueLimit` (the writer logs the drops), and signals the event "DB".
inline void AddToDBQueue(RecordQueue& mobiles, const TNTMobile& m, const TSettings& settings = Settings) {
  mobiles.AddBounded(m, static_cast<std::size_t>(settings.QueueLimit));
  SetNamedEvent(DBEventName);
}

}  // namespace telvaro
