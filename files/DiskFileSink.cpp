#include "files/DiskFileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace telvaro {
namespace {

[[noreturn]] void ThrowErrno(const char* what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path);
}

/// An open file descriptor, closed with its owner.
class FileHandle {
 public:
  FileHandle(const std::string& path, int flags) : path_(path) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd_ < 0) ThrowErrno("cannot open", path);
  }
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  void WriteAll(Bytes data, std::uint64_t offset, bool positioned) {
    while (!data.empty()) {
      const ssize_t n = positioned ? ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset))
                                   : ::write(fd_, data.data(), data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowErrno("cannot write", path_);
      }
      data = data.subspan(static_cast<std::size_t>(n));
      offset += static_cast<std::uint64_t>(n);
    }
  }

  /// Closes now, so that an error of the close is reported.
  void Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) ThrowErrno("cannot close", path_);
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::uint64_t DiskFileSink::WriteAt(const std::string& path, std::uint64_t offset, Bytes data) {
  FileHandle f(path, O_WRONLY | O_CREAT);
  f.WriteAll(data, offset, true);
  f.Close();
  return offset + data.size();
}

void DiskFileSink::AppendLine(const std::string& path, std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  FileHandle f(path, O_WRONLY | O_CREAT | O_APPEND);
  f.WriteAll(AsBytes(text), 0, false);
  f.Close();
}

}  // namespace telvaro
