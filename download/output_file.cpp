#include "download/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <algorithm>
#include <cerrno>

#include "download/film_logic.h"

namespace download {
namespace {
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr std::uint64_t kWritebackStep = 8 * 1024 * 1024;
}  // namespace

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const QString& folder, const QString& fileName, bool keep) {
  close();
  const auto refuse = [this] {
    close();
    return false;
  };
  written_ = 0;
  buffer_.clear();
  finalName_ = QFile::encodeName(fileName);
  workName_ = QFile::encodeName(fileName + kWorkSuffix);
  // Names are resolved inside this folder only (the names carry no '/').
  dirFd_ = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0 || finalName_.contains('/') || workName_.contains('/')) return refuse();
  struct stat st {};
  if (::fstatat(dirFd_, finalName_.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode))
    return refuse();
  // O_NOFOLLOW: a planted link is refused; O_NONBLOCK: a FIFO cannot hang the open.
  fd_ = ::openat(dirFd_, workName_.constData(),
                 O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd_ < 0) return refuse();
  // Only a plain file nobody else is writing; it is emptied only once it is ours.
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd_, LOCK_EX | LOCK_NB) != 0 ||
      (!keep && ::ftruncate(fd_, 0) != 0) || ::lseek(fd_, 0, SEEK_END) < 0) {
    ::close(fd_);  // before close() would flush into it
    fd_ = -1;
    return refuse();
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  if (keep) written_ = static_cast<std::uint64_t>(st.st_size);
  writebackFrom_ = written_;
  buffer_.reserve(kBufferSize);
  return true;
}

QByteArray OutputFile::readAt(std::uint64_t offset, std::size_t n) const {
  QByteArray out(qsizetype(n), '\0');
  std::size_t done = 0;
  while (fd_ >= 0 && done < n) {
    const ssize_t got = ::pread(fd_, out.data() + done, n - done, off_t(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += std::size_t(got);
  }
  out.truncate(qsizetype(done));
  return out;
}

bool OutputFile::commit() {
  if (fd_ < 0 || !flush() || ::fsync(fd_) != 0) return false;
  // The work file must still be the one written: not removed, not replaced.
  struct stat mine {
  }, named{};
  if (::fstat(fd_, &mine) != 0 ||
      ::fstatat(dirFd_, workName_.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      mine.st_dev != named.st_dev || mine.st_ino != named.st_ino)
    return false;
  if (::renameat(dirFd_, workName_.constData(), dirFd_, finalName_.constData()) != 0) return false;
  ::fsync(dirFd_);  // the new name itself on the disk
  return close();
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
  // Start the disk writing now, in the background, so that the sync at the end of the
  // film finds little left to do.
  if (written_ - writebackFrom_ >= kWritebackStep) {
    ::sync_file_range(fd_, off_t(writebackFrom_), off_t(written_ - writebackFrom_),
                      SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = written_;
  }
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
  writebackFrom_ = std::min(writebackFrom_, offset);
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool OutputFile::close() {
  bool ok = true;
  if (fd_ >= 0) {
    ok = flush();
    ok = ::close(fd_) == 0 && ok;  // releases the lock
    fd_ = -1;
  }
  if (dirFd_ >= 0) ::close(dirFd_);
  dirFd_ = -1;
  buffer_.clear();
  return ok;
}

}  // namespace download
