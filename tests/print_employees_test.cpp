// Unit tests of the table layout: the frame, the cell rule, write errors.
#include "report/print_employees.h"
#include "support/expected_table.h"
#include "support/failing_stream.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>

static std::string print(const std::vector<Employee> &employees) {
  std::ostringstream out;
  printEmployees(employees, out);
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
