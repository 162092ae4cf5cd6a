// Loading the roster from its CSV file.
#ifndef ROSTER_READ_CSV_H
#define ROSTER_READ_CSV_H

#include "roster/employee.h"

#include <string>
#include <string_view>
#include <vector>

// How loading ended.
enum class LoadStatus {
  Loaded,
  NotOpened,
  ReadFailed,
  FileChanged, // written to while it was read
  TooManyRecords
};

// Whether loading left lines of an opened file out of the roster, which fails
// the run; a file that could not be opened has no lines to leave out.
inline constexpr bool linesLeftOut(LoadStatus status) {
  return status != LoadStatus::Loaded && status != LoadStatus::NotOpened;
}

// The line that readCSV writes on standard error when loading ends with
// `status`, or nothing.
std::string_view loadMessage(LoadStatus status);

// Loads the roster file at `path`, skipping its heading line, and writes on
// standard error why it could not be opened or read in full, or that it
// changed while it was read.
std::vector<Employee> readCSV(const std::string &path, LoadStatus &status);

#endif
