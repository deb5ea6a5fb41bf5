// Answers to commands (frame kind 6): parameter and entity values, file transfers in
// both directions, identification answers and the small status answers.

#include "protocol/DownloadFiles.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

/// Payload offsets of a received file block's fields after the terminal's echo.
constexpr std::size_t BlockOffsetAt = 24;
constexpr std::size_t BlockLengthAt = 28;
constexpr std::size_t BlockStatusAt = 30;
constexpr std::size_t BlockDataAt = 31;

/// True when `n` bytes from `pos` lie inside `arr`.
bool Has(Bytes arr, std::size_t pos, std::size_t n) noexcept {
  return pos <= arr.size() && n <= arr.size() - pos;
}

std::uint64_t BE(Bytes arr, std::size_t pos, std::size_t width) noexcept {
  return LoadBE(arr.data() + pos, width);
}

bool IsValueSize(std::size_t s) noexcept { return s == 1 || s == 2 || s == 4 || s == 8; }

/// The bytes as single-byte text (kept unchanged), without characters up to 0x20 at either end.
std::string_view TrimmedText(Bytes arr, std::size_t pos, std::size_t len) noexcept {
  return TrimControl({reinterpret_cast<const char*>(arr.data() + pos), len});
}

/// The non-zero bytes of a field, in order.
void AppendNonZero(std::string& out, Bytes arr, std::size_t pos, std::size_t len) {
  for (std::size_t i = pos; i < pos + len; ++i)
    if (arr[i] != 0) out.push_back(static_cast<char>(arr[i]));
}

}  // namespace

bool TParserKrestel::ParseANSWER(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::size_t p = currpos;
  if (!Has(arr, p, 1)) return false;
  TRecNTMobile& r = mobile.Rec;
  const std::uint8_t kind = arr[p];
  switch (kind) {
    case 0x02:
    case 0x04:
      return ParameterAnswer(currpos, arr, mobile);

    case 0x03: {
      if (!Has(arr, p, 4)) return false;
      r.Event = evEntityAnswer;
      r.Entity = static_cast<std::int32_t>(BE(arr, p + 1, 2));
      const std::size_t size = arr[p + 3];
      if (IsValueSize(size)) {
        if (!Has(arr, p + 4, size)) return false;
        r.EntityValue = BE(arr, p + 4, size);
      }
      currpos = p + 3;
      return true;
    }

    case 0x05:
      return FileBlock(currpos, arr, mobile);

    case 0x06:
      return UploadPosition(currpos, arr, mobile);

    case 0x07:
      if (!Has(arr, p, 8)) return false;
      r.Event = evBalance;
      r.Balance = static_cast<float>(static_cast<std::int32_t>(BE(arr, p + 1, 4)));
      r.ParamString.assign({reinterpret_cast<const char*>(arr.data() + p + 5), 3});
      currpos = p + 5;
      return true;

    case 0x08:
      // Four key values; only the last is kept, without its presence flag.
      if (!Has(arr, p, 34)) return false;
      r.Event = evKeys;
      r.Io(78) = BE(arr, p + 26, 8);
      currpos = p + 33;
      return true;

    case 0x09:
      if (!Has(arr, p, 5)) return false;
      r.Event = evCellID;
      r.CellID.assign({reinterpret_cast<const char*>(arr.data() + p + 1), 2});
      r.LAC.assign({reinterpret_cast<const char*>(arr.data() + p + 3), 2});
      currpos = p + 3;
      return true;

    case 0x0C: {
      if (!Has(arr, p, 84)) return false;
      r.Event = evAskVer;
      std::string s = "CPU:";
      AppendNonZero(s, arr, p + 12, 20);
      s += " GSM:";
      AppendNonZero(s, arr, p + 32, 16);
      s += " GNSS:";
      AppendNonZero(s, arr, p + 48, 16);
      s += " PROT:";
      AppendNonZero(s, arr, p + 64, 20);
      r.ParamString.assign(s);
      currpos = p + 83;
      return true;
    }

    case 0x0E: {
      if (!Has(arr, p, 3)) return false;
      r.Event = evOutputsSet;
      // Each output keeps its bit's value (0, 1, 2, 4 ... 128), not 0 or 1.
      const std::uint8_t mask = arr[p + 1];
      for (int k = 1; k <= 8; ++k) r.Io(30 + k) = mask & (1u << (k - 1));
      r.ResultOp = arr[p + 2] != 0;
      currpos = p + 1;
      return true;
    }

    case 0x0F:
      if (!Has(arr, p, 3)) return false;
      r.Event = evPermitCSD;
      r.Param = arr[p + 1];
      r.Restart = arr[p + 2] != 0;
      currpos = p + 2;
      return true;

    case 0x10:
    case 0x11:
      if (!Has(arr, p, 3)) return false;
      r.Event = kind == 0x10 ? evEngBlock : evAccel;
      r.ResultOp = arr[p + 1] != 0;
      r.Restart = arr[p + 2] != 0;
      currpos = p + 2;
      return true;

    case 0xA3:
      if (!Has(arr, p, 3)) return false;
      r.Event = evWPStateAnswer;
      r.EventValue = arr[p + 1];
      r.ParamValue = arr[p + 2];
      currpos = p + 1;
      return true;

    case 0xA8:
      if (!Has(arr, p, 17)) return false;
      r.Event = evDrvIDAnswer;
      r.ParamString.assign(TrimmedText(arr, p + 1, 16));
      currpos = p + 1;
      return true;

    case 0xAA:
      if (!Has(arr, p, 2)) return false;
      r.Event = evDrvStAnswer;
      r.ParamValue = arr[p + 1];
      currpos = p + 1;
      return true;

    case 0xAB: {
      if (!Has(arr, p, 2)) return false;
      r.Event = evTextAnswer;
      const std::uint8_t sub = arr[p + 1];
      r.Param = sub;
      std::size_t flagAt = p + 2;
      switch (sub) {
        case 1: {
          if (!Has(arr, p + 2, 1)) return false;
          const std::size_t len = arr[p + 2];
          if (!Has(arr, p + 3, len)) return false;
          r.ParamString.assign(TrimmedText(arr, p + 3, len));
          flagAt = p + 3 + len;
          break;
        }
        case 2: r.ParamString.assign("\xC4\xE0"); break;      // "Yes" in Windows-1251
        case 3: r.ParamString.assign("\xCD\xE5\xF2"); break;  // "No" in Windows-1251
        case 4: r.ParamString.assign("OK"); break;
        default: break;
      }
      if (!Has(arr, flagAt, 1)) return false;
      if (arr[flagAt] == 1) {
        if (!Has(arr, flagAt + 1, 1)) return false;
        r.EventValue = arr[flagAt + 1];
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
  if (!Has(arr, p, 4)) return false;
  TRecNTMobile& r = mobile.Rec;
  const bool isChange = arr[p] == 0x04;
  r.Event = isChange ? evParamSetAnswer : evParamAnswer;
  const auto param = static_cast<std::uint16_t>(BE(arr, p + 1, 2));
  r.Param = param;
  const std::size_t len = arr[p + 3];

  if (param & 0x8000) {
    // Identification answer: the text comes last character first, enciphered with
    // the key row the parameter names.
    if (!Has(arr, p + 4, len)) return false;
    const int k = Get_Key(param);
    const std::string text = Crypt_Decrypt(GetReverseString(len, p + 4, arr), Key);
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

  if (TNTMobile::IsString(param)) {
    if (!Has(arr, p + 4, len)) return false;
    r.ParamString.assign(TrimmedText(arr, p + 4, len));
    if (isChange) {
      if (!Has(arr, p + 4 + len, 2)) return false;
      r.Restart = arr[p + 4 + len] == 1;
      r.ResultOp = arr[p + 5 + len] == 1;
      currpos = p + 4 + len;
    } else {
      currpos = p + 3;
    }
    return true;
  }

  // A numeric value of 1, 2, 4 or 8 bytes; another size stores nothing.
  if (IsValueSize(len)) {
    if (!Has(arr, p + 4, len)) return false;
    r.ParamValue = BE(arr, p + 4, len);
  }
  currpos = p + 3;
  return true;
}

bool TParserKrestel::FileBlock(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::size_t p = currpos;
  // The type, size and range follow the kind byte; the block's own fields sit at fixed
  // payload offsets.
  if (!Has(arr, p, 14) || !Has(arr, BlockOffsetAt, BlockDataAt - BlockOffsetAt)) return false;
  const std::uint8_t ftype = arr[p + 1];
  const auto fsize = static_cast<std::int32_t>(BE(arr, p + 2, 4));
  const auto nBeg = static_cast<std::uint32_t>(BE(arr, p + 6, 4));
  const auto nEnd = static_cast<std::uint32_t>(BE(arr, p + 10, 4));
  const auto offset = static_cast<std::uint32_t>(BE(arr, BlockOffsetAt, 4));
  const std::size_t length = BE(arr, BlockLengthAt, 2);
  const std::uint8_t status = arr[BlockStatusAt];
  if (!Has(arr, BlockDataAt, length)) return false;

  TRecNTMobile& r = mobile.Rec;
  const std::string_view id = r.ID.view();
  const std::string path = MakeFileName(context_.downloadDir, id, ftype);
  r.Event = evFileRecvPos;
  r.EventValue = static_cast<std::int32_t>(offset);
  r.ParamString.assign(path);
  currpos = BlockDataAt;
  if (status == 0) {
    r.Event = evFileRecvErr;
    return true;
  }
  if (status == 2) r.Event = evFileRecvEnd;

  if (static_cast<std::int64_t>(fsize) > static_cast<std::int64_t>(offset)) {
    const std::uint64_t end = files_.WriteAt(path, offset, arr.subspan(BlockDataAt, length));
    const TCmd answer = MakeFilePosAnswer(id, ftype, nBeg, nEnd, static_cast<std::uint32_t>(end), fsize);
    if (store_) store_->AddTask(id, static_cast<std::int32_t>(end), -1, -1, answer.WireBytes());
  } else {
    // A block at or past the end writes nothing, but the file is still created.
    files_.WriteAt(path, offset, {});
  }
  return true;
}

bool TParserKrestel::UploadPosition(std::size_t& currpos, Bytes arr, TNTMobile& mobile) {
  const std::size_t p = currpos;
  if (!Has(arr, p, 6)) return false;
  TRecNTMobile& r = mobile.Rec;
  const std::string_view id = r.ID.view();
  r.Event = evFilePos;
  const auto offset = static_cast<std::uint32_t>(BE(arr, p + 2, 4));
  if (store_) store_->DelOldTaskBlocksOffset(id, static_cast<std::int32_t>(offset));
  r.ParamValue = offset;
  if ((store_ ? store_->CountFileCommandsFor(id) : 0) == 0) r.Event = evFileEnd;
  currpos = p + 2;
  return true;
}

}  // namespace telvaro
