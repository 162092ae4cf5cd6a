// Loading the roster from its CSV file.
#ifndef ROSTER_READ_CSV_H
#define ROSTER_READ_CSV_H

#include "roster/employee.h"
#include "roster/load_status.h"

#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// The waits before reading a file again, one for each reading after the
// first. They grow, so that a writer that saves in place is done by the next
// reading more often than not, and add up to well under a second.
inline constexpr std::array<std::chrono::milliseconds, 4> WaitsBeforeRereading =
    {std::chrono::milliseconds(1), std::chrono::milliseconds(4),
     std::chrono::milliseconds(16), std::chrono::milliseconds(64)};

// The line that readCSV writes on standard error when loading ends with
// `status`, or nothing.
std::string_view loadMessage(LoadStatus status);

// Loads the roster file at `path`, skipping its heading line, reading it
// again until a reading stands, and writes on standard error why it could not
// be opened or read in full, or that no reading stood.
std::vector<Employee> readCSV(const std::string &path, LoadStatus &status);

#endif
