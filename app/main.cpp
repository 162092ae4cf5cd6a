//===- roster: print the employee roster as a table -----------------------===//
//
// Loads the employees listed in the roster file of the current directory
// and prints them as a fixed-width table on standard output.
// Arguments are ignored. Exits 1 when the file could be opened but not read
// in full, when it changed while it was read, or when the table could not be
// written; 0 otherwise, including when the file is missing.
//
//===----------------------------------------------------------------------===//

#include "app/roster_file.h"
#include "report/print_employees.h"
#include "roster/read_csv.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main() {
  // Unhooked from C stdio, the standard streams write with write(2) at once,
  // retrying a write that a signal interrupted and going on after a partial
  // one; stdio reports the first as a failure and drops what it held.
  std::ios_base::sync_with_stdio(false);
  const std::string path = RosterFile;
  LoadStatus status = LoadStatus::Loaded;
  const std::vector<Employee> employees = readCSV(path, status);
  printEmployees(employees, std::cout);
  if (std::cout.fail()) {
    std::cerr << "Error: Could not write the report!\n";
    return EXIT_FAILURE;
  }
  const bool cutShort = status == LoadStatus::ReadFailed ||
                        status == LoadStatus::FileChanged ||
                        status == LoadStatus::TooManyRecords;
  return cutShort ? EXIT_FAILURE : EXIT_SUCCESS;
}
