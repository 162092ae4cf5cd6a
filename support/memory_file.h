// Rosters held in memory behind a real file descriptor, for the unit tests
// and the fuzzer to hand to the reader.
#ifndef SUPPORT_MEMORY_FILE_H
#define SUPPORT_MEMORY_FILE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// A regular file in memory that holds `bytes`, open for reading at its
// start; the caller closes it.
inline int memoryFile(std::string_view bytes) {
  const int fd = memfd_create("roster", MFD_CLOEXEC);
  if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), 0) !=
                    static_cast<ssize_t>(bytes.size())) {
    std::perror("memory file");
    std::abort();
  }
  return fd;
}

// read(2), but the end of the file is an I/O error: a file that fails after
// its last byte.
inline ssize_t readFailingAtEnd(int fd, void *buffer, std::size_t count) {
  const ssize_t got = read(fd, buffer, count);
  if (got == 0)
    errno = EIO;
  return got == 0 ? -1 : got;
}

#endif
