// Reading the roster from an opened file, in passes over its bytes, with
// the seams that the tests and the fuzzer use.
#ifndef ROSTER_READ_ROSTER_H
#define ROSTER_READ_ROSTER_H

#include "roster/change_check.h"
#include "roster/employee.h"
#include "roster/load_status.h"
#include "roster/stream_digest.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// Where the bytes come from: read(2), or a stand-in with its contract.
using ReadFunction = ssize_t (*)(int fd, void *buffer, std::size_t count);

// As many records as a 32-bit idx can number.
inline constexpr std::size_t MaxRecords =
    std::size_t{std::numeric_limits<std::int32_t>::max()} + 1;

// One reading of the roster: its records, how it ended, and what the next
// reading is compared with.
struct Reading {
  std::vector<Employee> employees;
  LoadStatus status = LoadStatus::Loaded;
  StreamDigest digest; // of the bytes of a regular file
  // A regular file that held still, read to the size it had, and found
  // empty or ending inside a line: what a save in place shows between its
  // writes. It stands only where the next reading finds the same bytes.
  bool awaitsConfirmation = false;
};

// Reads the roster from `fd` through `readSome`, from where its offset
// stands, as `plan` says, skipping the heading line: to its end, or, for a
// regular file whose size is its length, to the size the plan took from
// `statusOf`. On a caching mount, the counting pass reads the file that
// `name` holds, so that the passes differ if it is not the one opened.
// Stops early, with the records of the lines read whole, on a read error,
// when a regular file changes while it is read, or when a data line would
// be number `maxRecords` (at most MaxRecords). Writes nothing.
Reading readRoster(int fd, const ReadingPlan &plan, const std::string &name,
                   ReadFunction readSome = ::read,
                   std::size_t maxRecords = MaxRecords,
                   StatxFunction statusOf = ::statx);

#endif
