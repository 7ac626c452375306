// Preloaded into a stop_child process: every sync of a file to the disk fails, as on a
// disk that reports an I/O error.
#include <cerrno>

extern "C" int fsync(int) {
  errno = EIO;
  return -1;
}

extern "C" int fdatasync(int) {
  errno = EIO;
  return -1;
}
