#include "records/TerminalRecord.h"

#include <cstring>

namespace telvaro {

TNTMobile::TNTMobile() noexcept {
  std::memset(&Rec, 0, sizeof Rec);
  Rec.RecTime = NowLocal();
}

bool TNTMobile::IsString(int code) noexcept {
  switch (code) {
    case 101: case 151: case 200: case 201: case 238: case 242: case 293:
    case 340: case 341: case 345: case 411:
      return true;
    default:
      return (code >= 211 && code <= 213) || (code >= 231 && code <= 235) ||
             (code >= 245 && code <= 247) || (code >= 261 && code <= 264) ||
             (code >= 271 && code <= 274);
  }
}

}  // namespace telvaro
