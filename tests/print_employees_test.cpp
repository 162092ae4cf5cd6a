// Unit tests of the table layout: the frame and the cell rule.
#include "report/print_employees.h"
#include "tests/failing_streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>
#include <utility>

static const std::string Separator = std::string(129, '=') + "\n";
static const std::string Frame =
    Separator +
    "Idx     IC         Name                                Phone           "
    "BirthDate       HiredDate       Email                               \n" +
    Separator;

static std::string print(const std::vector<Employee> &employees) {
  std::ostringstream out;
  printEmployees(employees, out);
  return out.str();
}

TEST(PrintEmployees, FramesAnEmptyRoster) { EXPECT_EQ(print({}), Frame); }

TEST(PrintEmployees, FillsCellsWithSpacesAndKeepsOverlongCellsWhole) {
  const std::string name36(36, 'n');
  const std::string email40 = std::string(28, 'e') + "@example.com";
  const std::pair<Employee, std::string> cases[] = {
      {{0, "", "", "", "", "", ""}, "0" + std::string(138, ' ')},
      {{7, "Ann Lee", "ann@example.com", "S1234567A", "+65 9123 4567",
        "2020-01-02", "1990-03-04"},
       "7       S1234567A  Ann Lee                             +65 9123 4567   "
       "1990-03-04      2020-01-02      ann@example.com                     "},
      {{2147483647, name36, email40, "S1234567890", "0123456789abcdef", "h",
        "b"},
       "2147483647S1234567890" + name36 +
           "0123456789abcdefb               h  "
           "             " +
           email40},
      {{1, "Jos\xC3\xA9", "", "S1\r", "", "", ""},
       "1       S1\r" + std::string(8, ' ') + "Jos\xC3\xA9" +
           std::string(31 + 16 * 3 + 36, ' ')},
      {{3, std::string(50, 'x'), "", "", "", "", ""},
       "3" + std::string(7 + 11, ' ') + std::string(50, 'x') +
           std::string(16 * 3 + 36, ' ')},
  };
  for (const auto &[employee, row] : cases)
    EXPECT_EQ(print({employee}), Frame + row + "\n") << row;
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
