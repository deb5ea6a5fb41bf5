#include "pipes/PipeFraming.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "base/ByteOrder.h"

namespace telvaro {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TPipeMsgBlock MakeControlPacket(std::uint32_t code) noexcept {
  TPipeMsgBlock b{};
  StoreLE<std::uint32_t>(b.data(), ControlPacketSize);
  StoreLE<std::uint32_t>(b.data() + 4, MB_MAGIC);
  StoreLE<std::uint32_t>(b.data() + 8, code);
  StoreLE<std::uint32_t>(b.data() + 12, MB_MAGIC);
  return b;
}

std::optional<std::uint32_t> ControlCode(PipeBytes msg) noexcept {
  if (msg.size() != ControlPacketSize) return std::nullopt;
  if (LoadLE<std::uint32_t>(msg.data()) != ControlPacketSize ||
      LoadLE<std::uint32_t>(msg.data() + 4) != MB_MAGIC || LoadLE<std::uint32_t>(msg.data() + 12) != MB_MAGIC)
    return std::nullopt;
  return LoadLE<std::uint32_t>(msg.data() + 8);
}

std::vector<std::vector<std::uint8_t>> FrameMessage(PipeBytes msg) {
  std::vector<std::vector<std::uint8_t>> out;
  if (msg.size() <= MAX_BUFFER) {
    out.emplace_back(msg.begin(), msg.end());
    return out;
  }
  out.reserve(msg.size() / MAX_BUFFER + 3);
  const auto start = MakeControlPacket(MB_START);
  out.emplace_back(start.begin(), start.end());
  for (std::size_t at = 0; at < msg.size(); at += MAX_BUFFER) {
    const auto piece = msg.subspan(at, std::min(MAX_BUFFER, msg.size() - at));
    out.emplace_back(piece.begin(), piece.end());
  }
  const auto end = MakeControlPacket(MB_END);
  out.emplace_back(end.begin(), end.end());
  return out;
}

TPipeStream::TPipeStream(TPipeStream&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      fileSize_(std::exchange(other.fileSize_, 0)),
      pos_(std::exchange(other.pos_, 0)),
      mem_(std::move(other.mem_)) {}

TPipeStream& TPipeStream::operator=(TPipeStream&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    fileSize_ = std::exchange(other.fileSize_, 0);
    pos_ = std::exchange(other.pos_, 0);
    mem_ = std::move(other.mem_);
  }
  return *this;
}

TPipeStream::~TPipeStream() {
  if (fd_ >= 0) ::close(fd_);
}

TPipeStream TPipeStream::Temporary(const std::string& dir, const char* prefix) {
  TPipeStream s;
  if (dir.empty()) return s;
  std::string name = dir;
  if (name.back() != '/') name += '/';
  name += prefix;
  name += "XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return s;
  // Unlinked at once: the file lives exactly as long as its descriptor.
  ::unlink(name.c_str());
  s.fd_ = fd;
  return s;
}

std::size_t TPipeStream::Read(std::span<std::uint8_t> out) {
  const std::uint64_t size = Size();
  if (pos_ >= size || out.empty()) return 0;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size - pos_));
  if (!IsFile()) {
    std::memcpy(out.data(), mem_.data() + pos_, want);
    pos_ += want;
    return want;
  }
  std::size_t done = 0;
  while (done < want) {
    const ssize_t n = ::pread(fd_, out.data() + done, want - done, static_cast<off_t>(pos_ + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("reading a pipe message");
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  pos_ += done;
  return done;
}

void TPipeStream::Append(PipeBytes data) {
  if (!IsFile()) {
    mem_.insert(mem_.end(), data.begin(), data.end());
    return;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(fileSize_ + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("storing a pipe message");
    }
    done += static_cast<std::size_t>(n);
  }
  fileSize_ += done;
}

std::vector<std::uint8_t> TPipeStream::ReadRest() {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(Size() > pos_ ? Size() - pos_ : 0));
  out.resize(Read(out));
  return out;
}

bool TMessageAssembler::Fits(std::uint64_t size) const noexcept {
  return size == ControlPacketSize || Adds(size);
}

bool TMessageAssembler::Fits(PipeBytes msg) const noexcept {
  return ControlCode(msg).has_value() || Adds(msg.size());
}

bool TMessageAssembler::Adds(std::uint64_t size) const noexcept {
  const std::uint64_t before = multi_ ? assembled_ : 0;
  return size <= limit_ && before <= limit_ - size;
}

std::optional<TPipeStream> TMessageAssembler::Feed(std::vector<std::uint8_t>&& msg) {
  if (!Fits(msg)) {
    Discard();
    return std::nullopt;
  }
  if (const auto code = ControlCode(msg)) {
    if (*code == MB_START) {
      multi_ = TPipeStream::Temporary(tempDir_);
      assembled_ = 0;
      failed_ = false;
    } else if (*code == MB_END && multi_) {
      std::optional<TPipeStream> done;
      if (!failed_) {
        done = std::move(*multi_);
        done->Seek(0);
      }
      multi_.reset();
      return done;
    } else {
      multi_.reset();
    }
    return std::nullopt;
  }
  if (!multi_) return TPipeStream(std::move(msg));
  assembled_ += msg.size();
  if (!failed_) {
    try {
      multi_->Append(msg);
    } catch (const std::system_error&) {
      // Keep consuming the pieces so that none of them is taken for a message of its own.
      failed_ = true;
    }
  }
  return std::nullopt;
}

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

}  // namespace telvaro
