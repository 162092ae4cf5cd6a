// Rosters held in memory, handed to the reader through a real file
// descriptor, for the unit tests and the fuzzer.
#ifndef SUPPORT_MEMORY_FILE_H
#define SUPPORT_MEMORY_FILE_H

#include "roster/read_roster.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

// read(2), but the end of the file is an I/O error: a file that fails after
// its last byte.
inline ssize_t readFailingAtEnd(int fd, void *buffer, std::size_t count) {
  const ssize_t got = read(fd, buffer, count);
  if (got == 0)
    errno = EIO;
  return got == 0 ? -1 : got;
}

// What readRoster makes of a regular file in memory that holds `bytes`.
inline std::vector<Employee>
readRosterFrom(std::string_view bytes, LoadStatus &status,
               ReadFunction readSome = ::read,
               std::size_t maxRecords = MaxRecords) {
  const int fd = memfd_create("roster", MFD_CLOEXEC);
  if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), 0) !=
                    static_cast<ssize_t>(bytes.size())) {
    std::perror("memory file");
    std::abort();
  }
  std::vector<Employee> employees =
      readRoster(fd, status, readSome, maxRecords);
  close(fd);
  return employees;
}

#endif
