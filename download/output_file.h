// The output file of a film, written through a work file beside it: a buffered writer
// (one system call per buffer, not per 64-byte read) into "<name>.part", which takes the
// final name in one step only once the film is complete.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace download {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the work file of fileName in folder and locks it for as long as it is open;
  // it starts empty unless keep is set (then writing goes on at its end). Never follows a
  // symbolic link and never leaves the folder. False (touching nothing) when it cannot
  // be created, is not a plain file, another download holds it, or a folder stands under
  // the final name.
  bool create(const QString& folder, const QString& fileName, bool keep = false);
  // Up to n bytes of what reached the file, from offset.
  QByteArray readAt(std::uint64_t offset, std::size_t n) const;
  bool write(const char* data, std::size_t size);
  bool flush();
  // Drops everything after offset (a slice that failed half way).
  bool truncate(std::uint64_t offset);
  // Puts the complete film on the disk, checks that the work file is still the one
  // written, and renames it over the final name (replacing a file there). Then closed.
  bool commit();
  // Closes the work file, which keeps what it holds.
  bool close();
  bool isOpen() const { return fd_ >= 0; }
  std::uint64_t size() const { return written_ + buffer_.size(); }
  std::uint64_t onDisk() const { return written_; }  // the part that reached the file

 private:
  int dirFd_ = -1;
  int fd_ = -1;
  QByteArray finalName_;
  QByteArray workName_;
  std::uint64_t written_ = 0;
  std::uint64_t writebackFrom_ = 0;  // disk writing was started for the bytes before this
  std::vector<char> buffer_;
};

}  // namespace download
