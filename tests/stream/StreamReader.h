#pragma once
// Reads back what a JetStream stream holds, message by message, for the checks of the
// stream tests.

#include <nats/nats.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace telvaro::test {

struct StoredMessage {
  std::string subject;
  std::string id;  ///< its Nats-Msg-Id
  std::vector<std::uint8_t> data;
};

class StreamReader {
 public:
  explicit StreamReader(const std::string& url) {
    if (natsConnection_ConnectTo(&nc_, url.c_str()) != NATS_OK ||
        natsConnection_JetStream(&js_, nc_, nullptr) != NATS_OK)
      throw std::runtime_error("could not connect to " + url);
  }
  ~StreamReader() {
    jsCtx_Destroy(js_);
    natsConnection_Destroy(nc_);
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  /// The stream's configuration and state, or null when it does not exist; destroy it.
  jsStreamInfo* Info(const std::string& stream) {
    jsStreamInfo* si = nullptr;
    return js_GetStreamInfo(&si, js_, stream.c_str(), nullptr, nullptr) == NATS_OK ? si : nullptr;
  }

  /// How many messages the stream holds.
  std::uint64_t Count(const std::string& stream) {
    jsStreamInfo* si = Info(stream);
    const std::uint64_t n = si ? si->State.Msgs : 0;
    jsStreamInfo_Destroy(si);
    return n;
  }

  /// A consumer's records delivered and not acknowledged, and records not yet delivered;
  /// {-1, 0} when the consumer does not exist.
  std::pair<std::int64_t, std::uint64_t> ConsumerState(const std::string& stream, const std::string& consumer) {
    jsConsumerInfo* ci = nullptr;
    if (js_GetConsumerInfo(&ci, js_, stream.c_str(), consumer.c_str(), nullptr, nullptr) != NATS_OK) return {-1, 0};
    const std::pair<std::int64_t, std::uint64_t> state{ci->NumAckPending, ci->NumPending};
    jsConsumerInfo_Destroy(ci);
    return state;
  }

  /// Every message the stream holds, oldest first.
  std::vector<StoredMessage> All(const std::string& stream) {
    jsStreamInfo* si = Info(stream);
    if (!si) return {};
    const std::uint64_t first = si->State.FirstSeq, last = si->State.LastSeq;
    jsStreamInfo_Destroy(si);
    std::vector<StoredMessage> out;
    for (std::uint64_t seq = first; seq <= last && seq > 0; ++seq) {
      natsMsg* m = nullptr;
      if (js_GetMsg(&m, js_, stream.c_str(), seq, nullptr, nullptr) != NATS_OK) continue;
      StoredMessage s;
      s.subject = natsMsg_GetSubject(m);
      const char* id = nullptr;
      if (natsMsgHeader_Get(m, "Nats-Msg-Id", &id) == NATS_OK && id) s.id = id;
      const auto* p = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(m));
      s.data.assign(p, p + natsMsg_GetDataLength(m));
      natsMsg_Destroy(m);
      out.push_back(std::move(s));
    }
    return out;
  }

 private:
  natsConnection* nc_ = nullptr;
  jsCtx* js_ = nullptr;
};

}  // namespace telvaro::test
