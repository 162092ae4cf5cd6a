// Formatting roster rows, one flushed line at a time.
#include "report/print_employees.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
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

// The well-formed UTF-8 sequences, as Unicode lists them (Table 3-7), with
// what a terminal acts on rather than draws set apart: the C0 controls, DEL
// and the C1 controls. Each gives the first and last value of each byte;
// printable ASCII, the commonest, comes first.
struct Utf8Sequences {
  std::size_t length;
  std::array<std::array<unsigned char, 2>, 4> bytes;
  bool drawn;
};
static constexpr Utf8Sequences Utf8[] = {
    {1, {{{0x20, 0x7E}}}, true},
    {1, {{{0x00, 0x1F}}}, false},
    {1, {{{0x7F, 0x7F}}}, false},
    {2, {{{0xC2, 0xC2}, {0x80, 0x9F}}}, false},
    {2, {{{0xC2, 0xC2}, {0xA0, 0xBF}}}, true},
    {2, {{{0xC3, 0xDF}, {0x80, 0xBF}}}, true},
    {3, {{{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}}, true},
    {3, {{{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}}, true},
    {3, {{{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}}, true},
    {3, {{{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}}, true},
    {4, {{{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}}, true},
    {4, {{{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}}, true},
    {4, {{{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}}, true},
};

static bool beginsWith(std::string_view text, const Utf8Sequences &sequences) {
  if (text.size() < sequences.length)
    return false;
  for (std::size_t at = 0; at < sequences.length; ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < sequences.bytes[at][0] || byte > sequences.bytes[at][1])
      return false;
  }
  return true;
}

// A formatted row as a terminal should get it: every byte that the terminal
// would act on rather than draw, or that is part of no well-formed UTF-8
// sequence, written as '?'. The row is decoded whole, as the terminal sees
// it, since a sequence may run from one cell into the next. The line feed
// that ends it stays.
static std::string safeForTerminal(std::string_view row) {
  std::string shown(row);
  const std::string_view values = row.substr(0, row.size() - 1);
  for (std::size_t at = 0; at < values.size();) {
    const std::string_view rest = values.substr(at);
    const auto *const sequence =
        std::find_if(std::begin(Utf8), std::end(Utf8),
                     [rest](const auto &s) { return beginsWith(rest, s); });
    const bool wellFormed = sequence != std::end(Utf8);
    const std::size_t length = wellFormed ? sequence->length : 1;
    if (!wellFormed || !sequence->drawn)
      std::fill_n(shown.begin() + static_cast<std::ptrdiff_t>(at), length, '?');
    at += length;
  }
  return shown;
}

// Writes a whole line and flushes it; false once the output has failed.
static bool writeLine(std::ostream &out, std::string_view line) {
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  return !out.flush().fail();
}

void printEmployees(const std::vector<Employee> &employees, std::ostream &out,
                    RowBytes rowBytes) {
  const std::string separator = std::string(SeparatorWidth, '=') + '\n';
  std::string row;
  if (!writeLine(out, separator) ||
      !writeLine(out, formatRow(row, headings())) || !writeLine(out, separator))
    return;

  Digits digits{};
  std::string shown;
  for (const Employee &employee : employees) {
    const Cells cells = {formatIdx(employee.idx, digits),
                         employee.ic,
                         employee.name,
                         employee.phone,
                         employee.birthDate,
                         employee.hiredDate,
                         employee.email};
    std::string_view line = formatRow(row, cells);
    if (rowBytes == RowBytes::SafeForTerminal)
      line = shown = safeForTerminal(line);
    if (!writeLine(out, line))
      return;
  }
}
