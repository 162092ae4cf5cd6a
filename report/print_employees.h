// Printing the roster as a fixed-width table.
#ifndef REPORT_PRINT_EMPLOYEES_H
#define REPORT_PRINT_EMPLOYEES_H

#include "roster/employee.h"

#include <array>
#include <cstddef>
#include <iosfwd>
#include <string_view>
#include <vector>

// A column of the table: its heading and its width in bytes.
struct Column {
  std::string_view heading;
  std::size_t width;
};

// The columns, left to right. A row shows an employee's idx, ic, name,
// phone, birthDate, hiredDate and email in them.
inline constexpr std::array<Column, 7> Columns = {{{"Idx", 8},
                                                   {"IC", 11},
                                                   {"Name", 36},
                                                   {"Phone", 16},
                                                   {"BirthDate", 16},
                                                   {"HiredDate", 16},
                                                   {"Email", 36}}};

// The frame above and below the heading row. It is ten bytes narrower than
// the 139 of a row with no overlong cell; the width is part of the report's
// format, which scripts that read the report match byte for byte.
inline constexpr std::size_t SeparatorWidth = 129;

// How the bytes of the rows reach the output. As held, byte for byte, for a
// file or a pipe, whose readers rely on them. Safe for a terminal, where a
// control byte, C1 control or byte of ill-formed UTF-8 in a value would be
// acted on rather than drawn, and could erase rows or retitle the window:
// each such byte is written as '?', one for one, so rows keep their length.
enum class RowBytes { AsHeld, SafeForTerminal };

// Writes the framed heading and one row per employee to `out`, flushing
// every line. Stops at the first line that cannot be written, leaving the
// failure in the state of `out`.
void printEmployees(const std::vector<Employee> &employees, std::ostream &out,
                    RowBytes rowBytes = RowBytes::AsHeld);

#endif
