#include "protocol/TerminalParser.h"

#include <algorithm>
#include <stdexcept>

namespace telvaro {
namespace {

constexpr std::uint8_t Signature[4] = {0xCC, 0xCC, 0xCC, 0xCC};

TNTMobile NewRecord(std::string_view id, std::int32_t event = 0) {
  TNTMobile m;
  m.Rec.ID.assign(id.substr(0, 15));
  m.Rec.Event = event;
  return m;
}

}  // namespace

long TParserKrestel::FindSignature(Bytes arr) noexcept {
  if (arr.size() < 4) return -1;
  const auto it = std::search(arr.begin(), arr.end(), std::begin(Signature), std::end(Signature));
  return it == arr.end() ? -1 : static_cast<long>(it - arr.begin());
}

long TParserKrestel::ArrHasHandshake(Bytes arr) noexcept {
  for (std::size_t i = 0; i + 18 < arr.size(); ++i)
    if (arr[i] == 0x00 && arr[i + 1] == 0x12 && arr[i + 18] == '.') return static_cast<long>(i);
  return -1;
}

int TParserKrestel::ParseArr(Bytes arr, std::vector<TNTMobile>& mobiles) {
  if (arr.size() <= 16) return BAD_PACKET;

  long startpos = FindSignature(arr);
  // A message that starts with a frame is a frame, whatever its payload holds; only
  // otherwise does a handshake anywhere take precedence.
  const long hs = startpos == 0 ? -1 : ArrHasHandshake(arr);
  if (hs >= 0) {
    TNTMobile m = NewRecord(GetString(arr, 2, 15), evHandshake);
    TCmd reply;
    reply.Rec.UID.assign(m.Rec.ID.view());
    reply.Rec.CMD.assign("OK");
    Commands.push_back(std::move(reply));
    mobiles.push_back(m);
    Version = GetString(arr, 17, 3);
    return PACKET_HANDSHAKE;
  }
  if (startpos < 0) return BAD_PACKET;

  ByteReader frame(arr, static_cast<std::size_t>(startpos) + 4);
  std::uint16_t psize = 0, crca = 0;
  Bytes payload;
  if (!frame.Read(psize) || !frame.Take(psize, payload) || !frame.Read(crca)) return PACKET_D;
  if (crca == 0 || CRC16(payload) != crca) return PACKET_D;
  // The payload head: IMEI, frame kind, item count.
  std::uint64_t imeiRaw = 0;
  std::uint8_t codec = 0, nrec = 0;
  if (!ByteReader(payload).Read(imeiRaw, codec, nrec)) return PACKET_D;

  const std::string& imei = ImeiText(imeiRaw);
  switch (codec) {
    case CodecAVL: {
      // One clock reading stamps every record of the frame; each record starts as a
      // copy of this one and is decoded in place.
      const TNTMobile blank = NewRecord(imei);
      // Room for every record the payload can hold, growing geometrically so that a
      // list kept across frames is not reallocated at each one.
      const std::size_t needed = mobiles.size() + std::min<std::size_t>(nrec, payload.size() / AvlRecordMinSize);
      if (mobiles.capacity() < needed) mobiles.reserve(std::max(needed, 2 * mobiles.capacity()));
      std::size_t pos = PayloadHeadSize;
      for (int i = 0; i < nrec; ++i) {
        mobiles.push_back(blank);
        if (!ParseAVL(pos, payload, mobiles.back())) {
          mobiles.pop_back();
          break;
        }
        if (IsForDB(static_cast<std::uint8_t>(mobiles.back().Rec.Event))) AddFuelEvent(mobiles.back());
      }
      return PACKET_D;
    }
    case CodecPing: {
      // Built in place: a keep-alive is all record and no payload.
      TNTMobile& m = mobiles.emplace_back();
      m.Rec.ID.assign(std::string_view(imei).substr(0, 15));
      m.Rec.Event = evPing;
      return PACKET_LIVE;
    }
    case CodecAnswer: {
      std::size_t pos = PayloadHeadSize;
      for (int i = 0; i < nrec; ++i) {
        TNTMobile m = NewRecord(imei);
        if (!ParseANSWER(pos, payload, m)) break;
        mobiles.push_back(m);
      }
      return PACKET_D;
    }
    case CodecRTK: {
      // One record announces the whole batch, also when it holds no RTK record.
      TNTMobile m = NewRecord(imei);
      std::size_t pos = PayloadHeadSize + 1;
      for (int i = 0; i < nrec; ++i)
        if (!ParseRTK(pos, payload, m)) break;
      mobiles.push_back(m);
      return PACKET_D;
    }
    default:
      return PACKET_D;
  }
}

const std::string& TParserKrestel::ImeiText(std::uint64_t imei) {
  if (imeiText_.empty() || imei != imeiRaw_) {
    imeiRaw_ = imei;
    // Eight bytes of two's complement, written in decimal.
    imeiText_ = std::to_string(static_cast<std::int64_t>(imei));
  }
  return imeiText_;
}

TCmd TParserKrestel::MakeCommand(std::string_view id, Bytes arrCmd) {
  const std::size_t psize = arrCmd.size() + PayloadHeadSize;
  if (psize > 0xFFFF) throw std::length_error("command too long for one frame");
  std::string frame;
  frame.reserve(psize + FrameOverhead);
  frame.append(4, static_cast<char>(FrameSignatureByte));
  AppendBE(frame, psize, 2);
  frame.append(8, '\0');
  frame.push_back(static_cast<char>(CodecCommand));
  frame.push_back(1);
  frame.append(reinterpret_cast<const char*>(arrCmd.data()), arrCmd.size());
  AppendBE(frame, CRC16(AsBytes(std::string_view(frame).substr(6, psize))), 2);

  TCmd cmd;
  cmd.Rec.UID.assign(id);
  if ((!arrCmd.empty() && arrCmd[0] == 6) || frame.size() > 255) cmd.Fpart = std::move(frame);
  else cmd.Rec.CMD.assign(frame);
  return cmd;
}

void TParserKrestel::GetVersion(std::string_view id) {
  const std::uint8_t cmd[] = {0x0C};
  Commands.push_back(MakeCommand(id, cmd));
}

TCmd TParserKrestel::MakeFilePosAnswer(std::string_view id, std::uint8_t ftype, std::uint32_t aBeg,
                                       std::uint32_t aEnd, std::uint32_t offset, std::int64_t) {
  std::string body;
  body.push_back(0x05);
  body.push_back(static_cast<char>(ftype));
  AppendBE(body, aBeg, 4);
  AppendBE(body, aEnd, 4);
  AppendBE(body, offset, 4);
  return MakeCommand(id, AsBytes(body));
}

void TParserKrestel::IdentifyRequest(std::string_view id) {
  std::string cmd(1, '\x02');
  AppendBE(cmd, Make_Param(Key), 2);
  Commands.push_back(MakeCommand(id, AsBytes(cmd)));
  IdentSentAt = NowLocal();
}

std::string TParserKrestel::Crypt_Decrypt(std::string_view s, int key) const {
  return context_.keys ? telvaro::Crypt_Decrypt(*context_.keys, s, key) : std::string();
}

}  // namespace telvaro
