// Rosters held in memory, handed to the reader through a real file
// descriptor, for the unit tests and the fuzzer.
#ifndef SUPPORT_MEMORY_FILE_H
#define SUPPORT_MEMORY_FILE_H

#include "roster/read_roster.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// read(2), but the last byte of the file cannot be read, as on a bad sector:
// reads stop short of it, and the read that would bring it fails.
inline ssize_t readFailingAtLastByte(int fd, void *buffer, std::size_t count) {
  struct stat info {};
  const off_t at = lseek(fd, 0, SEEK_CUR);
  if (fstat(fd, &info) != 0 || at + 1 >= info.st_size) {
    errno = EIO;
    return -1;
  }
  return read(fd, buffer,
              std::min(count, static_cast<std::size_t>(info.st_size - 1 - at)));
}

// read(2), but in short pieces whose lengths come from the bytes: each ends
// after 1 to 8 bytes, as its first byte says, or before a line feed, so that
// after a piece that ends in a line, the next begins with the line feed.
inline ssize_t readInPieces(int fd, void *buffer, std::size_t count) {
  const off_t at = lseek(fd, 0, SEEK_CUR);
  char *const bytes = static_cast<char *>(buffer);
  const ssize_t got = pread(fd, bytes, std::min<std::size_t>(count, 8), at);
  if (got <= 0)
    return got;
  auto length =
      static_cast<std::size_t>(1 + static_cast<unsigned char>(bytes[0]) % 8);
  const void *lineFeed =
      std::memchr(bytes + 1, '\n', static_cast<std::size_t>(got) - 1);
  if (lineFeed != nullptr)
    length = std::min(length, static_cast<std::size_t>(
                                  static_cast<const char *>(lineFeed) - bytes));
  length = std::min(length, static_cast<std::size_t>(got));
  lseek(fd, at + static_cast<off_t>(length), SEEK_SET);
  return static_cast<ssize_t>(length);
}

// What readRoster makes of a regular file in memory that holds `bytes`, as
// it plans to read it, or, with `onCachingMount`, as it would on a caching
// mount.
inline std::vector<Employee> readRosterFrom(std::string_view bytes,
                                            LoadStatus &status,
                                            ReadFunction readSome = ::read,
                                            std::size_t maxRecords = MaxRecords,
                                            StatxFunction statusOf = ::statx,
                                            bool onCachingMount = false) {
  const int fd = memfd_create("roster", MFD_CLOEXEC);
  if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), 0) !=
                    static_cast<ssize_t>(bytes.size())) {
    std::perror("memory file");
    std::abort();
  }
  std::vector<Employee> employees;
  std::optional<ReadingPlan> plan = planReading(fd, statusOf);
  status = LoadStatus::ReadFailed;
  if (plan) {
    plan->caching = plan->caching || onCachingMount;
    Reading reading = readRoster(fd, *plan, "", readSome, maxRecords, statusOf);
    employees = std::move(reading.employees);
    status = reading.status;
  }
  close(fd);
  return employees;
}

#endif
