// Answers to commands (frame kind 6): parameter and entity values, file transfers in
// both directions, identification answers and the small status answers.
//
// Each kind's wire fields are read in one go through a ByteReader: an answer that runs
// past the payload is refused before anything of it is decoded. How far the read
// position then moves is fixed per kind and often stops short of the answer's end (the
// next answer is read from there): terminals rely on these positions.

#include "protocol/DownloadFiles.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

/// Payload offset of a received file block's own fields, after the terminal's echo.
constexpr std::size_t BlockFieldsAt = 24;
/// Payload offset of a received file block's data.
constexpr std::size_t BlockDataAt = 31;

bool IsValueSize(std::size_t s) noexcept { return s == 1 || s == 2 || s == 4 || s == 8; }

/// The bytes as single-byte text (kept unchanged), without characters up to 0x20 at either end.
std::string_view TrimmedText(Bytes b) noexcept { return TrimControl(AsText(b)); }

/// The non-zero bytes of a field, in order.
void AppendNonZero(std::string& out, Bytes b) {
  for (const std::uint8_t c : b)
    if (c != 0) out.push_back(static_cast<char>(c));
}

/// Kind, number and value size: the head of parameter and entity answers.
struct ValueHead {
  std::uint8_t kind;
  std::uint16_t number;
  std::uint8_t size;
};

struct BalanceAnswer {
  Gap<1> kind;
  std::int32_t amount;
  Chunk<3> currency;
};

struct KeysAnswer {
  Gap<1> kind;
  Gap<1> count;
  Gap<24> firstKeys;  // three keys that are not kept
  std::uint64_t lastKey;
};

struct CellAnswer {
  Gap<1> kind;
  Chunk<2> cell, lac;
};

struct VersionAnswer {
  Gap<1> kind;
  Gap<11> reserved;
  Chunk<20> cpu;
  Chunk<16> gsm, gnss;
  Chunk<20> protocol;
};

/// Answers of a kind byte and two one-byte values.
struct TwoBytes {
  Gap<1> kind;
  std::uint8_t first, second;
};

struct DriverIdAnswer {
  Gap<1> kind;
  Chunk<16> id;
};

struct FileBlockHead {
  Gap<1> kind;
  std::uint8_t ftype;
  std::int32_t fsize;
  std::uint32_t nBeg, nEnd;
};

struct FileBlockFields {
  std::uint32_t offset;
  std::uint16_t length;
  std::uint8_t status;
};

struct UploadPositionAnswer {
  Gap<1> kind;
  Gap<1> ftype;
  std::uint32_t offset;
};

}  // namespace

bool TParserKrestel::ParseANSWER(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::size_t p = currpos;
  // The kind is looked at first; every answer then reads it again with its fields.
  std::uint8_t kind = 0;
  if (!ByteReader(arr, p).Read(kind)) return false;
  ByteReader in(arr, p);
  TRecNTMobile& r = mobile.Rec;
  switch (kind) {
    case 0x02:
    case 0x04:
      return ParameterAnswer(currpos, arr, mobile);

    case 0x03: {
      ValueHead h;
      if (!in.Read(h.kind, h.number, h.size)) return false;
      r.Event = evEntityAnswer;
      r.Entity = h.number;
      if (IsValueSize(h.size)) {
        std::uint64_t value = 0;
        if (!in.ReadBE(h.size, value)) return false;
        r.EntityValue = value;
      }
      currpos = p + 3;
      return true;
    }

    case 0x05:
      return FileBlock(currpos, arr, mobile);

    case 0x06:
      return UploadPosition(currpos, arr, mobile);

    case 0x07: {
      BalanceAnswer a;
      if (!in.Read(a.kind, a.amount, a.currency)) return false;
      r.Event = evBalance;
      r.Balance = static_cast<float>(a.amount);
      r.ParamString.assign(AsText(a.currency.bytes));
      currpos = p + 5;
      return true;
    }

    case 0x08: {
      // Four key values; only the last is kept, without its presence flag.
      KeysAnswer a;
      if (!in.Read(a.kind, a.count, a.firstKeys, a.lastKey)) return false;
      r.Event = evKeys;
      r.Io(ElemKeyID) = a.lastKey;
      currpos = p + 33;
      return true;
    }

    case 0x09: {
      CellAnswer a;
      if (!in.Read(a.kind, a.cell, a.lac)) return false;
      r.Event = evCellID;
      r.CellID.assign(AsText(a.cell.bytes));
      r.LAC.assign(AsText(a.lac.bytes));
      currpos = p + 3;
      return true;
    }

    case 0x0C: {
      VersionAnswer a;
      if (!in.Read(a.kind, a.reserved, a.cpu, a.gsm, a.gnss, a.protocol)) return false;
      r.Event = evAskVer;
      std::string s = "CPU:";
      AppendNonZero(s, a.cpu.bytes);
      s += " GSM:";
      AppendNonZero(s, a.gsm.bytes);
      s += " GNSS:";
      AppendNonZero(s, a.gnss.bytes);
      s += " PROT:";
      AppendNonZero(s, a.protocol.bytes);
      r.ParamString.assign(s);
      currpos = p + 83;
      return true;
    }

    case 0x0E: {
      TwoBytes a;  // output mask, result
      if (!in.Read(a.kind, a.first, a.second)) return false;
      r.Event = evOutputsSet;
      // Each output keeps its bit's value (0, 1, 2, 4 ... 128), not 0 or 1.
      for (int k = 1; k <= 8; ++k) r.Io(30 + k) = a.first & (1u << (k - 1));
      r.ResultOp = a.second != 0;
      currpos = p + 1;
      return true;
    }

    case 0x0F: {
      TwoBytes a;  // time, restart
      if (!in.Read(a.kind, a.first, a.second)) return false;
      r.Event = evPermitCSD;
      r.Param = a.first;
      r.Restart = a.second != 0;
      currpos = p + 2;
      return true;
    }

    case 0x10:
    case 0x11: {
      TwoBytes a;  // result, status
      if (!in.Read(a.kind, a.first, a.second)) return false;
      r.Event = kind == 0x10 ? evEngBlock : evAccel;
      r.ResultOp = a.first != 0;
      r.Restart = a.second != 0;
      currpos = p + 2;
      return true;
    }

    case 0xA3: {
      TwoBytes a;  // end point, state
      if (!in.Read(a.kind, a.first, a.second)) return false;
      r.Event = evWPStateAnswer;
      r.EventValue = a.first;
      r.ParamValue = a.second;
      currpos = p + 1;
      return true;
    }

    case 0xA8: {
      DriverIdAnswer a;
      if (!in.Read(a.kind, a.id)) return false;
      r.Event = evDrvIDAnswer;
      r.ParamString.assign(TrimmedText(a.id.bytes));
      currpos = p + 1;
      return true;
    }

    case 0xAA: {
      Gap<1> head;
      std::uint8_t state = 0;
      if (!in.Read(head, state)) return false;
      r.Event = evDrvStAnswer;
      r.ParamValue = state;
      currpos = p + 1;
      return true;
    }

    case 0xAB: {
      // Sub-kind, for sub-kind 1 a counted text, then a flag and, when the flag is 1,
      // the value.
      Gap<1> head;
      std::uint8_t sub = 0;
      if (!in.Read(head, sub)) return false;
      r.Event = evTextAnswer;
      r.Param = sub;
      switch (sub) {
        case 1: {
          std::uint8_t len = 0;
          Bytes text;
          if (!in.Read(len) || !in.Take(len, text)) return false;
          r.ParamString.assign(TrimmedText(text));
          break;
        }
        case 2: r.ParamString.assign("\xC4\xE0"); break;      // "Yes" in Windows-1251
        case 3: r.ParamString.assign("\xCD\xE5\xF2"); break;  // "No" in Windows-1251
        case 4: r.ParamString.assign("OK"); break;
        default: break;
      }
      const std::size_t flagAt = in.Pos();
      std::uint8_t flag = 0;
      if (!in.Read(flag)) return false;
      if (flag == 1) {
        std::uint8_t value = 0;
        if (!in.Read(value)) return false;
        r.EventValue = value;
      }
      currpos = flagAt;
      return true;
    }

    default:
      // Unknown kinds give a record without an event; the position stays.
      return true;
  }
}

bool TParserKrestel::ParameterAnswer(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::size_t p = currpos;
  ByteReader in(arr, p);
  ValueHead h;
  if (!in.Read(h.kind, h.number, h.size)) return false;
  TRecNTMobile& r = mobile.Rec;
  const bool isChange = h.kind == 0x04;
  r.Event = isChange ? evParamSetAnswer : evParamAnswer;
  r.Param = h.number;

  if (h.number & 0x8000) {
    // Identification answer: the text comes last character first, enciphered with
    // the key row the parameter names.
    Bytes sent;
    if (!in.Take(h.size, sent)) return false;
    const int k = Get_Key(h.number);
    const std::string text = Crypt_Decrypt(GetReverseString(sent.size(), 0, sent), Key);
    if (k == Key && text == IdentSignature) {
      r.Event = evAuthorized;
      IsAuthorized = true;
    } else {
      r.Event = evWrongDevice;
      r.EventValue = k;
      IsAuthorized = false;
    }
    IdentSentAt = 0;
    currpos = p + 4;
    return true;
  }

  if (TNTMobile::IsString(h.number)) {
    Bytes text;
    if (!in.Take(h.size, text)) return false;
    r.ParamString.assign(TrimmedText(text));
    if (isChange) {
      std::uint8_t restart = 0, result = 0;
      if (!in.Read(restart, result)) return false;
      r.Restart = restart == 1;
      r.ResultOp = result == 1;
      currpos = p + 4 + h.size;
    } else {
      currpos = p + 3;
    }
    return true;
  }

  // A numeric value of 1, 2, 4 or 8 bytes; another size stores nothing.
  if (IsValueSize(h.size)) {
    std::uint64_t value = 0;
    if (!in.ReadBE(h.size, value)) return false;
    r.ParamValue = value;
  }
  currpos = p + 3;
  return true;
}

bool TParserKrestel::FileBlock(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  // The type, size and range follow the kind byte; the block's own fields sit at fixed
  // payload offsets.
  ByteReader in(arr, currpos);
  ByteReader block(arr, BlockFieldsAt);
  FileBlockHead h;
  FileBlockFields b;
  Bytes data;
  if (!in.Read(h.kind, h.ftype, h.fsize, h.nBeg, h.nEnd) || !block.Read(b.offset, b.length, b.status) ||
      !block.Take(b.length, data))
    return false;

  TRecNTMobile& r = mobile.Rec;
  const std::string_view id = r.ID.view();
  const std::string path = MakeFileName(context_.downloadDir, id, h.ftype);
  r.Event = evFileRecvPos;
  r.EventValue = static_cast<std::int32_t>(b.offset);
  r.ParamString.assign(path);
  currpos = BlockDataAt;
  if (b.status == 0) {
    r.Event = evFileRecvErr;
    return true;
  }
  if (b.status == 2) r.Event = evFileRecvEnd;

  if (static_cast<std::int64_t>(h.fsize) > static_cast<std::int64_t>(b.offset)) {
    const std::uint64_t end = files_.WriteAt(path, b.offset, data);
    const TCmd answer = MakeFilePosAnswer(id, h.ftype, h.nBeg, h.nEnd, static_cast<std::uint32_t>(end), h.fsize);
    if (store_) store_->AddTask(id, static_cast<std::int32_t>(end), -1, -1, answer.WireBytes());
  } else {
    // A block at or past the end writes nothing, but the file is still created.
    files_.WriteAt(path, b.offset, {});
  }
  return true;
}

bool TParserKrestel::UploadPosition(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::size_t p = currpos;
  ByteReader in(arr, p);
  UploadPositionAnswer a;
  if (!in.Read(a.kind, a.ftype, a.offset)) return false;
  TRecNTMobile& r = mobile.Rec;
  const std::string_view id = r.ID.view();
  r.Event = evFilePos;
  if (store_) store_->DelOldTaskBlocksOffset(id, static_cast<std::int32_t>(a.offset));
  r.ParamValue = a.offset;
  if ((store_ ? store_->CountFileCommandsFor(id) : 0) == 0) r.Event = evFileEnd;
  currpos = p + 2;
  return true;
}

}  // namespace telvaro
