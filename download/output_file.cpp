#include "download/output_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <QFile>
#include <cerrno>

namespace download {
namespace {
constexpr std::size_t kBufferSize = 256 * 1024;
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const QString& path) {
  close();
  const QByteArray native = QFile::encodeName(path);
  fd_ = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  written_ = 0;
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  return fd_ >= 0;
}

bool OutputFile::write(const char* data, std::size_t size) {
  if (fd_ < 0) return false;
  if (buffer_.size() + size > kBufferSize && !flush()) return false;
  buffer_.insert(buffer_.end(), data, data + size);
  return true;
}

bool OutputFile::flush() {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Keep what did not reach the disk out of the count; the caller reports it.
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
      written_ += done;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  written_ += done;
  buffer_.clear();
  return true;
}

bool OutputFile::truncate(std::uint64_t offset) {
  if (fd_ < 0 || offset > size()) return false;
  if (offset >= written_) {
    buffer_.resize(static_cast<std::size_t>(offset - written_));
    return true;
  }
  buffer_.clear();
  if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) return false;
  written_ = offset;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool OutputFile::close() {
  if (fd_ < 0) return true;
  const bool flushed = flush();
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  buffer_.clear();
  return flushed && closed;
}

}  // namespace download
