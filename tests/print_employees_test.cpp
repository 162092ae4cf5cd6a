// Unit tests of the table layout: the frame, the cell rule, write errors, and
// what a terminal is shown.
#include "report/print_employees.h"
#include "support/drawable.h"
#include "support/expected_table.h"
#include "support/failing_stream.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

static std::string print(const std::vector<Employee> &employees,
                         RowBytes rowBytes = RowBytes::AsHeld) {
  std::ostringstream out;
  printEmployees(employees, out, rowBytes);
  return out.str();
}

TEST(PrintEmployees, FramesAnEmptyRoster) {
  EXPECT_EQ(print({}), readFile(std::string(E2E_DATA_DIR) + "/empty.out"));
}

// Texts as wide as their columns run into the next; wider ones push the
// rest of the row right. Widths count bytes, a CR and UTF-8 included.
TEST(PrintEmployees, FillsCellsWithSpacesAndKeepsOverlongCellsWhole) {
  const auto full = [](std::size_t column, char c) {
    return std::string(Columns[column].width, c);
  };
  const Employee cases[] = {
      {0, "", "", "", "", "", ""},
      {7, "Ann Lee", "ann@example.com", "S1234567A", "+65 9123 4567",
       "2020-01-02", "1990-03-04"},
      {2147483647, full(2, 'n'), full(6, 'e') + "@example.com", full(1, '1'),
       full(3, '6'), "h", "b"},
      {1, "Jos\xC3\xA9", "", "S1\r", "", "", ""},
      {3, full(2, 'x') + "overlong", "", "", "", "", ""},
  };
  for (const Employee &employee : cases)
    EXPECT_EQ(print({employee}), expectedTable({employee})) << employee.name;
}

TEST(PrintEmployees, StopsAtTheFirstLineThatCannotBeWritten) {
  const std::vector<Employee> employees(5, Employee{0, "", "", "", "", "", ""});
  for (std::size_t goodLines = 0; goodLines < 6; ++goodLines) {
    FailingSyncBuf buf(goodLines);
    std::ostream out(&buf);
    printEmployees(employees, out);
    EXPECT_TRUE(out.bad());
    const std::string written = buf.str();
    EXPECT_EQ(static_cast<std::size_t>(
                  std::count(written.begin(), written.end(), '\n')),
              goodLines + 1);
  }
}

// Every sequence of one to four bytes whose first byte is one of Unicode's
// boundaries of well-formed UTF-8 and whose others are boundaries of a
// continuation byte: so each range of each byte is tried at its first and
// last value and one past either end. A terminal is shown what it would draw
// of each, and '?' for each other byte.
TEST(PrintEmployees, ShowsATerminalOnlyWhatItWouldDraw) {
  constexpr unsigned char Leads[] = {
      0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xDF,
      0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  constexpr unsigned char Continuations[] = {0x7F, 0x80, 0x8F, 0x90,
                                             0x9F, 0xA0, 0xBF, 0xC0};
  std::vector<std::string> sequences;
  std::vector<std::string> ofLength; // those of the length made last
  for (const unsigned char lead : Leads)
    ofLength.emplace_back(1, static_cast<char>(lead));
  for (std::size_t length = 1; length <= 4; ++length) {
    sequences.insert(sequences.end(), ofLength.begin(), ofLength.end());
    std::vector<std::string> longer;
    for (const std::string &sequence : ofLength)
      for (const unsigned char next : Continuations)
        longer.push_back(sequence + static_cast<char>(next));
    ofLength = std::move(longer);
  }
  std::vector<Employee> employees;
  employees.reserve(sequences.size());
  for (const std::string &sequence : sequences)
    employees.push_back({0, sequence, "", "", "", "", ""});
  EXPECT_EQ(print(employees, RowBytes::SafeForTerminal),
            drawable(print(employees)));
}
