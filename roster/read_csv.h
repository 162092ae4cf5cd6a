// Loading the roster from its CSV file.
#ifndef ROSTER_READ_CSV_H
#define ROSTER_READ_CSV_H

#include "roster/employee.h"
#include "roster/load_status.h"

#include <string>
#include <string_view>
#include <vector>

// The line that readCSV writes on standard error when loading ends with
// `status`, or nothing.
std::string_view loadMessage(LoadStatus status);

// Loads the roster file at `path`, skipping its heading line, and writes on
// standard error why it could not be opened or read in full, or that it
// changed while it was read.
std::vector<Employee> readCSV(const std::string &path, LoadStatus &status);

#endif
