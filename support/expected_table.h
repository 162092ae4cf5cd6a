// The table roster must print, laid out apart from the printer, with the
// stream's own field width, for the tests and the fuzzer to compare with.
#ifndef SUPPORT_EXPECTED_TABLE_H
#define SUPPORT_EXPECTED_TABLE_H

#include "report/print_employees.h"

#include <iomanip>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// One line of the table: `cells` from the left, and empty cells for any
// columns after them, each filled with spaces to its column's width.
inline std::string expectedRow(const std::vector<std::string_view> &cells) {
  std::ostringstream row;
  row << std::left;
  for (std::size_t column = 0; column < Columns.size(); ++column)
    row << std::setw(static_cast<int>(Columns[column].width))
        << (column < cells.size() ? cells[column] : "");
  row << '\n';
  return row.str();
}

// The frame and heading, then a row for each of `employees`.
inline std::string expectedTable(const std::vector<Employee> &employees) {
  std::vector<std::string_view> headings(Columns.size());
  for (std::size_t column = 0; column < Columns.size(); ++column)
    headings[column] = Columns[column].heading;
  const std::string separator = std::string(SeparatorWidth, '=') + '\n';
  std::string table = separator + expectedRow(headings) + separator;
  for (const Employee &e : employees)
    table += expectedRow({std::to_string(e.idx), e.ic, e.name, e.phone,
                          e.birthDate, e.hiredDate, e.email});
  return table;
}

#endif
