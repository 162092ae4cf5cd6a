// Loading the roster from its CSV file, and the trimming of its last column.
#ifndef ROSTER_READ_CSV_H
#define ROSTER_READ_CSV_H

#include "roster/employee.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// How loading ended. Only ReadFailed, FileChanged and TooManyRecords leave
// lines of an opened file out of the roster.
enum class LoadStatus {
  Loaded,
  NotOpened,
  ReadFailed,
  FileChanged, // written to while it was read
  TooManyRecords
};

// As many records as a 32-bit idx can number.
inline constexpr std::size_t MaxRecords =
    std::size_t{std::numeric_limits<std::int32_t>::max()} + 1;

// Returns `text` without its leading and trailing spaces, tabs, line feeds
// and carriage returns.
std::string trim(std::string_view text);

// Reads roster lines from `in` until its end, skipping the heading line.
// Stops early, with the records of the lines read whole so far, on a read
// error or when a data line would be number `maxRecords` (at most
// MaxRecords).
std::vector<Employee> readCSV(std::istream &in, LoadStatus &status,
                              std::size_t maxRecords = MaxRecords);

// Loads the roster file at `path`, telling on standard error why it could
// not be opened or read in full, or that it changed while it was read.
std::vector<Employee> readCSV(const std::string &path, LoadStatus &status);

#endif
