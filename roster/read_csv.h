// Loading the roster from its CSV file.
#ifndef ROSTER_READ_CSV_H
#define ROSTER_READ_CSV_H

#include "roster/employee.h"

#include <string>
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

// Loads the roster file at `path`, skipping its heading line, and tells on
// standard error why it could not be opened or read in full, or that it
// changed while it was read.
std::vector<Employee> readCSV(const std::string &path, LoadStatus &status);

#endif
