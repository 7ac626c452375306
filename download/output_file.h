// Buffered writer of the output file: one system call per buffer, not per 64-byte read.
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

  // Creates or empties the file. False when it cannot be created.
  bool create(const QString& path);
  bool write(const char* data, std::size_t size);
  bool flush();
  // Drops everything after offset (a slice that failed half way).
  bool truncate(std::uint64_t offset);
  bool close();
  bool isOpen() const { return fd_ >= 0; }
  std::uint64_t size() const { return written_ + buffer_.size(); }
  std::uint64_t onDisk() const { return written_; }  // the part that reached the file

 private:
  int fd_ = -1;
  std::uint64_t written_ = 0;
  std::vector<char> buffer_;
};

}  // namespace download
