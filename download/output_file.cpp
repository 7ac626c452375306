#include "download/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <csignal>

#include "download/film_logic.h"

namespace download {
namespace {
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr std::uint64_t kWritebackStep = 8 * 1024 * 1024;
// A sync (a journal commit) costs more than the writing it waits for: one per 32 MiB.
constexpr std::uint64_t kSyncStep = 32 * 1024 * 1024;

const char kMarkName[] = "user.zelvo.work";
constexpr std::size_t kMarkLimit = 4096;  // what every file system with attributes takes
constexpr qsizetype kValidatorLimit = 512;

std::optional<WorkMark> readMark(int fd) {
  char bytes[kMarkLimit];
  const ssize_t n = ::fgetxattr(fd, kMarkName, bytes, sizeof bytes);
  if (n <= 0) return std::nullopt;
  return WorkMark::decode(QByteArray(bytes, qsizetype(n)));
}

bool number(const QByteArray& digits, std::uint64_t limit, std::uint64_t& out) {
  bool ok = false;
  out = digits.toULongLong(&ok);
  return ok && digits.size() <= 18 && out <= limit;
}

}  // namespace

const WorkMark::Slice* WorkMark::find(int index) const {
  for (const Slice& s : slices)
    if (s.index == index) return &s;
  return nullptr;
}

QByteArray WorkMark::encode() const {
  QByteArray out = "zelvo-work 2\nkey " + key.toHex() + "\nat " + QByteArray::number(slice) + ' ' +
                   QByteArray::number(qulonglong(sliceStart)) + "\nlen " +
                   QByteArray::number(qulonglong(length)) + '\n';
  for (const Slice& s : slices) {
    const QByteArray v = s.validator.left(kValidatorLimit).toHex();
    out += "s " + QByteArray::number(s.index) + ' ' + QByteArray::number(qulonglong(s.total)) +
           ' ' + (v.isEmpty() ? QByteArray("-") : v) + '\n';
  }
  return out;
}

std::optional<WorkMark> WorkMark::decode(const QByteArray& bytes) {
  constexpr std::uint64_t kMaxIndex = 1u << 30;
  const QList<QByteArray> lines = bytes.split('\n');
  WorkMark m;
  // A mark of the first kind vouches for no length: never continued.
  if (lines.size() < 5 || lines[0] != "zelvo-work 2" || !lines[1].startsWith("key ") ||
      !lines[3].startsWith("len ") || !number(lines[3].mid(4), UINT64_MAX, m.length))
    return {};
  m.key = QByteArray::fromHex(lines[1].mid(4));
  const QList<QByteArray> at = lines[2].split(' ');
  std::uint64_t slice = 0;
  if (at.size() != 3 || at[0] != "at" || !number(at[1], kMaxIndex, slice) ||
      !number(at[2], UINT64_MAX, m.sliceStart))
    return {};
  m.slice = int(slice);
  for (qsizetype i = 4; i < lines.size() && !lines[i].isEmpty(); ++i) {
    const QList<QByteArray> f = lines[i].split(' ');
    Slice s;
    std::uint64_t index = 0;
    if (f.size() != 4 || f[0] != "s" || !number(f[1], kMaxIndex, index) ||
        !number(f[2], UINT64_MAX, s.total))
      return {};
    s.index = int(index);
    if (f[3] != "-") s.validator = QByteArray::fromHex(f[3]);
    m.slices.push_back(s);
  }
  return m;
}

QByteArray workKey(const QString& identifier, const QString& fileName, const QStringList& urls) {
  QCryptographicHash h(QCryptographicHash::Sha256);
  h.addData(identifier.toUtf8() + '\0' + fileName.toUtf8() + '\0');
  for (const QString& url : urls) h.addData(url.toUtf8() + '\n');
  return h.result();
}

OutputFile::~OutputFile() { close(); }

OutputFile::Opened OutputFile::open(const QString& folder, const QString& fileName,
                                    const QByteArray& key, WorkMark* mark) {
  // A file size limit must end in a write error, not in the end of the program.
  static const bool sizeSignalIgnored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
  (void)sizeSignalIgnored;
  close();
  const auto refuse = [this] {
    close();
    return Opened::Refused;
  };
  written_ = durable_ = syncing_ = 0;
  mark_.reset();
  buffer_.clear();
  key_ = key;
  finalName_ = QFile::encodeName(fileName);
  workName_ = QFile::encodeName(workFileName(fileName));
  // Names are resolved inside this folder only (the names carry no '/').
  dirFd_ = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0 || finalName_.contains('/') || workName_.contains('/')) return refuse();
  struct stat st {};
  if (::fstatat(dirFd_, finalName_.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode))
    return refuse();
  // Without the right to add and rename names here, nothing is worth fetching.
  if (::faccessat(dirFd_, ".", W_OK | X_OK, AT_EACCESS) != 0) return refuse();
  if (::fstatat(dirFd_, workName_.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT && createFresh() ? Opened::Fresh : refuse();
  if (st.st_uid != ::geteuid() || S_ISDIR(st.st_mode)) return refuse();
  if (S_ISREG(st.st_mode)) {
    // O_NONBLOCK: a FIFO put there meanwhile cannot hang the open.
    fd_ = ::openat(dirFd_, workName_.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat mine {};
    const bool same = fd_ >= 0 && ::fstat(fd_, &mine) == 0 && mine.st_ino == st.st_ino &&
                      mine.st_dev == st.st_dev;
    if (!same || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const bool held = same && errno == EWOULDBLOCK;  // another download writes it
      if (fd_ >= 0) ::close(fd_);  // before close() would flush into it
      fd_ = -1;
      refuse();
      return held ? Opened::Busy : Opened::Refused;
    }
    const std::optional<WorkMark> found = readMark(fd_);
    if (!key.isEmpty() && mine.st_nlink == 1 && found && found->key == key &&
        ::lseek(fd_, 0, SEEK_END) >= 0) {
      ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
      written_ = writebackFrom_ = std::uint64_t(mine.st_size);
      durable_ = syncing_ = std::min(written_, found->length);
      mark_ = found;
      // A file shorter than the mark's length: the mark never vouches for what comes there.
      if (durable_ < found->length) writeMark();
      buffer_.reserve(kBufferSize);
      if (mark) *mark = *found;
      return Opened::Kept;
    }
  }
  // Not this film's work file: its name goes (still locked, when it is a file), and
  // whatever else the name led to stays as it was.
  const bool removed = ::unlinkat(dirFd_, workName_.constData(), 0) == 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return removed && createFresh() ? Opened::Fresh : refuse();
}

bool OutputFile::createFresh() {
  fd_ = ::openat(dirFd_, workName_.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0644);
  if (fd_ < 0) return false;
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  written_ = writebackFrom_ = durable_ = syncing_ = 0;
  mark_.reset();
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  // Without attributes the file works all the same; it just cannot be continued later.
  if (!key_.isEmpty()) setMark(WorkMark{});
  return true;
}

bool OutputFile::startOver() {
  if (fd_ < 0) return false;
  finishSync(true);
  buffer_.clear();
  if (stillNamed()) ::unlinkat(dirFd_, workName_.constData(), 0);
  ::close(fd_);
  fd_ = -1;
  return createFresh();
}

bool OutputFile::setMark(const WorkMark& mark) {
  if (fd_ < 0) return false;
  mark_ = mark;
  return writeMark();
}

bool OutputFile::writeMark() {
  mark_->key = key_;
  mark_->length = std::min(durable_, written_);
  const QByteArray bytes = mark_->encode();
  // Where the file system refuses it, the film still downloads; it just cannot be
  // continued (an older mark that no longer fits the file is never trusted).
  if (std::size_t(bytes.size()) > kMarkLimit ||
      ::fsetxattr(fd_, kMarkName, bytes.constData(), std::size_t(bytes.size()), 0) != 0)
    ::fremovexattr(fd_, kMarkName);
  return true;
}

bool OutputFile::sync() {
  if (fd_ < 0 || !flush()) return false;
  finishSync(true);
  if (::fdatasync(fd_) != 0) return false;
  durable_ = written_;
  return !mark_ || writeMark();
}

void OutputFile::startSync() {
  if (syncer_.joinable()) return;
  syncing_ = written_;
  syncEnded_ = false;
  const int fd = fd_;
  syncer_ = std::thread([this, fd] {
    syncOk_ = ::fdatasync(fd) == 0;
    syncEnded_ = true;
  });
}

bool OutputFile::finishSync(bool wait) {
  if (!syncer_.joinable() || (!wait && !syncEnded_)) return false;
  syncer_.join();
  if (syncOk_) durable_ = std::max(durable_, std::min(syncing_, written_));
  return true;
}

bool OutputFile::stillNamed() const {
  struct stat mine {
  }, named{};
  return ::fstat(fd_, &mine) == 0 &&
         ::fstatat(dirFd_, workName_.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         mine.st_dev == named.st_dev && mine.st_ino == named.st_ino && mine.st_nlink == 1;
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
  if (fd_ < 0 || !flush()) return false;
  finishSync(true);
  if (::fsync(fd_) != 0) return false;
  durable_ = written_;
  // The work file must still be the one written: not removed, replaced or linked.
  if (!stillNamed()) return false;
  if (::renameat(dirFd_, workName_.constData(), dirFd_, finalName_.constData()) != 0) return false;
  ::fremovexattr(fd_, kMarkName);  // a complete film is no work file
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
  // A sync that ended raises the length the mark vouches for.
  if (finishSync(false) && mark_) writeMark();
  // Start the disk writing now, in the background, so that the sync at the end of the
  // film finds little left to do; now and then a sync, so that the mark can vouch for more.
  if (written_ - writebackFrom_ >= kWritebackStep) {
    ::sync_file_range(fd_, off_t(writebackFrom_), off_t(written_ - writebackFrom_),
                      SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = written_;
  }
  if (written_ - std::max(durable_, syncing_) >= kSyncStep && !syncer_.joinable()) startSync();
  return true;
}

bool OutputFile::truncate(std::uint64_t offset) {
  if (fd_ < 0 || offset > size()) return false;
  if (offset >= written_) {
    buffer_.resize(static_cast<std::size_t>(offset - written_));
    return true;
  }
  buffer_.clear();
  finishSync(true);
  // The mark never vouches for bytes past the cut, nor for the ones written there next.
  syncing_ = std::min(syncing_, offset);
  if (durable_ > offset) {
    durable_ = offset;
    if (mark_) writeMark();
  }
  if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) return false;
  written_ = offset;
  writebackFrom_ = std::min(writebackFrom_, offset);
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool OutputFile::close() {
  bool ok = true;
  if (fd_ >= 0) {
    ok = flush();
    finishSync(true);
    ok = ::close(fd_) == 0 && ok;  // releases the lock
    fd_ = -1;
  }
  if (dirFd_ >= 0) ::close(dirFd_);
  dirFd_ = -1;
  buffer_.clear();
  return ok;
}

}  // namespace download
