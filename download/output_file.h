// The output file of a film, written through a work file beside it: a buffered writer
// (one system call per buffer, not per 64-byte read) into "<name>.part", which takes the
// final name in one step only once the film is complete.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

namespace download {

// What a work file carries to prove that this program made it for this film: an
// extended attribute, so that it goes with the file (renamed, removed, copied by the
// user) and nobody can plant it beside a file that is not theirs.
struct WorkMark {
  QByteArray key;  // the film: identifier, final name, slice addresses (see workKey)
  int slice = 0;   // the slice under way when it was written; the slice count: complete
  std::uint64_t sliceStart = 0;
  // The file's bytes below this were on the disk before the mark was written; what lies
  // beyond may be anything a crash or a full disk left (zeros among them).
  std::uint64_t length = 0;
  struct Slice {
    int index = 0;
    std::uint64_t total = 0;  // 0: not told
    QByteArray validator;     // ETag, or Last-Modified; empty: none
  };
  std::vector<Slice> slices;  // what is known of slices 0, slice - 1 and slice

  const Slice* find(int index) const;
  QByteArray encode() const;
  static std::optional<WorkMark> decode(const QByteArray& bytes);
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  enum class Opened { Fresh, Kept, Refused, Busy };
  // Opens the work file of fileName in folder and locks it for as long as it is open.
  // Kept: a plain file of the user's with one link and a mark of this key (in *mark);
  // writing goes on at its end. Anything else of the user's under the work name is
  // removed (never written through) and a fresh file is made. Refused (touching
  // nothing) when the folder cannot be written to, the name holds something of another
  // user's or a folder, or a folder stands under the final name; Busy (touching nothing)
  // when another download holds it. Never follows a symbolic link and never leaves the
  // folder.
  Opened open(const QString& folder, const QString& fileName, const QByteArray& key,
              WorkMark* mark = nullptr);
  // Drops the work file (never truncated in place) and starts a fresh, empty one.
  bool startOver();
  // Puts the mark on the file. Its length is always what the disk is known to hold
  // (setMark keeps it so: a later sync raises it, a truncation lowers it).
  bool setMark(const WorkMark& mark);
  // Puts what was written on the disk now (waiting for it); the mark's length follows.
  bool sync();
  // What the disk is known to hold: the length of the last finished sync.
  std::uint64_t durable() const { return durable_; }
  // Up to n bytes of what reached the file, from offset.
  QByteArray readAt(std::uint64_t offset, std::size_t n) const;
  bool write(const char* data, std::size_t size);
  bool flush();
  // Drops everything after offset (a slice that failed half way).
  bool truncate(std::uint64_t offset);
  // Puts the complete film on the disk, checks that the work file is still the one
  // written, and renames it over the final name (replacing a file there). Then closed.
  // The mark stays on the work file until the rename has succeeded.
  bool commit();
  // Closes the work file, which keeps what it holds.
  bool close();
  bool isOpen() const { return fd_ >= 0; }
  std::uint64_t size() const { return written_ + buffer_.size(); }
  std::uint64_t onDisk() const { return written_; }  // the part that reached the file

 private:
  bool createFresh();
  bool stillNamed() const;  // the work name still leads to the file written
  bool writeMark();
  // Syncs run beside the download, so the window never waits for the disk; one at a time.
  void startSync();
  bool finishSync(bool wait);  // true when a sync ended (durable_ then counts it)

  int dirFd_ = -1;
  int fd_ = -1;
  QByteArray finalName_;
  QByteArray workName_;
  QByteArray key_;
  std::uint64_t written_ = 0;
  std::uint64_t writebackFrom_ = 0;  // disk writing was started for the bytes before this
  std::vector<char> buffer_;
  std::uint64_t durable_ = 0;
  std::optional<WorkMark> mark_;  // what the file carries
  std::thread syncer_;
  std::uint64_t syncing_ = 0;  // the length the running sync puts on the disk
  std::atomic<bool> syncEnded_{false};
  std::atomic<bool> syncOk_{false};
};

// The key of a film's work file: the final name tells apart two films whose work names
// had to be shortened alike.
QByteArray workKey(const QString& identifier, const QString& fileName, const QStringList& urls);

}  // namespace download
