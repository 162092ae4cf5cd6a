// Formatting roster rows, one flushed line at a time.
#include "report/print_employees.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

using Cells = std::array<std::string_view, Columns.size()>;

static constexpr Cells headings() {
  Cells cells{};
  for (std::size_t column = 0; column < Columns.size(); ++column)
    cells[column] = Columns[column].heading;
  return cells;
}

// Lays the cells out left-aligned in their columns, filled with spaces. Widths
// count bytes, and an overlong cell is kept whole, pushing the rest right.
// The row is filled with spaces first and the cells copied into it: that
// takes a quarter of the instructions that appending each cell and then its
// fill took.
static std::string_view formatRow(std::string &row, const Cells &cells) {
  std::size_t length = 0;
  for (std::size_t column = 0; column < cells.size(); ++column)
    length += std::max(cells[column].size(), Columns[column].width);
  row.assign(length + 1, ' ');
  row.back() = '\n';
  char *cell = row.data();
  for (std::size_t column = 0; column < cells.size(); ++column) {
    std::copy(cells[column].begin(), cells[column].end(), cell);
    cell += std::max(cells[column].size(), Columns[column].width);
  }
  return row;
}

using Digits = std::array<char, 11>; // room for "-2147483648"

static std::string_view formatIdx(std::int32_t idx, Digits &digits) {
  char *const first = digits.data();
  const char *last = std::to_chars(first, first + digits.size(), idx).ptr;
  return {first, static_cast<std::size_t>(last - first)};
}

// Writes a whole line and flushes it; false once the output has failed.
static bool writeLine(std::ostream &out, std::string_view line) {
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  return !out.flush().fail();
}

void printEmployees(const std::vector<Employee> &employees, std::ostream &out) {
  const std::string separator = std::string(SeparatorWidth, '=') + '\n';
  std::string row;
  if (!writeLine(out, separator) ||
      !writeLine(out, formatRow(row, headings())) || !writeLine(out, separator))
    return;

  Digits digits{};
  for (const Employee &employee : employees) {
    const Cells cells = {formatIdx(employee.idx, digits),
                         employee.ic,
                         employee.name,
                         employee.phone,
                         employee.birthDate,
                         employee.hiredDate,
                         employee.email};
    if (!writeLine(out, formatRow(row, cells)))
      return;
  }
}
