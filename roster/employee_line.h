// The rules that make one line of the roster file an Employee: text alone,
// no system call.
#ifndef ROSTER_EMPLOYEE_LINE_H
#define ROSTER_EMPLOYEE_LINE_H

#include "roster/employee.h"

#include <cstdint>
#include <string_view>

// The record of `line`, a line without its line feed, numbered `idx`: every
// comma separates, quotes included; column 0 is dropped, columns 1 to 6 fill
// the fields, missing ones stay empty, and BirthDate is trimmed of spaces,
// tabs, carriage returns and line feeds.
Employee toEmployee(std::string_view line, std::int32_t idx);

#endif
