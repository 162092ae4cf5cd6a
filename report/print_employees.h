// Printing the roster as a fixed-width table.
#ifndef REPORT_PRINT_EMPLOYEES_H
#define REPORT_PRINT_EMPLOYEES_H

#include "roster/employee.h"

#include <iostream>
#include <vector>

// Writes the framed heading and one row per employee to `out`, flushing
// every line. Stops at the first line that cannot be written, leaving the
// failure in the state of `out`.
void printEmployees(const std::vector<Employee> &employees,
                    std::ostream &out = std::cout);

#endif
