//===- roster_fuzz: libFuzzer target for loading and printing a roster ----===//
//
// Feeds arbitrary bytes through readCSV and printEmployees, the code the
// program runs, and aborts when an invariant of the table does not hold:
// also when reading fails half-way through the bytes, or writing half-way
// through the table.
//
//===----------------------------------------------------------------------===//

#include "report/print_employees.h"
#include "roster/read_csv.h"
#include "tests/failing_streams.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

static void check(bool holds) {
  if (!holds)
    std::abort();
}

static std::size_t dataLines(std::string_view file) {
  std::size_t lines = std::count(file.begin(), file.end(), '\n');
  if (!file.empty() && file.back() != '\n')
    ++lines; // a last line without its line feed
  return lines == 0 ? 0 : lines - 1;
}

static bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// How far the cells of `employee` stick out of their columns.
static std::size_t overflow(const Employee &employee) {
  const std::array<std::pair<std::size_t, std::size_t>, 7> cells = {{
      {std::to_string(employee.idx).size(), 8},
      {employee.ic.size(), 11},
      {employee.name.size(), 36},
      {employee.phone.size(), 16},
      {employee.birthDate.size(), 16},
      {employee.hiredDate.size(), 16},
      {employee.email.size(), 36},
  }};
  std::size_t excess = 0;
  for (const auto &[length, width] : cells)
    excess += length > width ? length - width : 0;
  return excess;
}

static bool sameRecord(const Employee &a, const Employee &b) {
  return a.idx == b.idx && a.name == b.name && a.email == b.email &&
         a.ic == b.ic && a.phone == b.phone && a.hiredDate == b.hiredDate &&
         a.birthDate == b.birthDate;
}

// A read error keeps exactly the records of the lines read whole before it.
static void checkReadError(std::string_view file,
                           const std::vector<Employee> &whole) {
  const std::string_view before = file.substr(0, file.size() / 2);
  FailingReadBuf buf{std::string(before)};
  std::istream in(&buf);
  LoadStatus status{};
  const std::vector<Employee> cut = readCSV(in, status);
  check(status == LoadStatus::ReadFailed);
  const auto lineFeeds =
      static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  check(cut.size() == (lineFeeds == 0 ? 0 : lineFeeds - 1));
  check(std::equal(cut.begin(), cut.end(), whole.begin(), sameRecord));
}

// A write error leaves whole lines of the table, and nothing after them.
static void checkWriteError(const std::vector<Employee> &employees,
                            std::string_view table) {
  const std::size_t goodLines = (employees.size() + 3) / 2;
  FailingSyncBuf buf(goodLines);
  std::ostream out(&buf);
  printEmployees(employees, out);
  check(out.bad());
  const std::string written = buf.str();
  check(table.substr(0, written.size()) == written);
  check(static_cast<std::size_t>(
            std::count(written.begin(), written.end(), '\n')) == goodLines + 1);
  check(written.back() == '\n');
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::string file(reinterpret_cast<const char *>(data), size);
  std::istringstream in(file);
  LoadStatus status{};
  const std::vector<Employee> employees = readCSV(in, status);
  check(status == LoadStatus::Loaded);
  check(employees.size() == dataLines(file));

  std::ostringstream out;
  printEmployees(employees, out);
  check(out.good());
  const std::string printed = out.str();
  std::string_view table = printed;
  const std::string separator(129, '=');
  for (std::size_t line = 0; !table.empty(); ++line) {
    const std::size_t end = table.find('\n');
    check(end != std::string_view::npos);
    const std::string_view text = table.substr(0, end);
    table.remove_prefix(end + 1);
    if (line == 0 || line == 2) {
      check(text == separator);
    } else if (line == 1) {
      check(text.size() == 139);
    } else {
      check(line - 3 < employees.size());
      const Employee &employee = employees[line - 3];
      check(employee.idx == static_cast<std::int32_t>(line - 3));
      check(text.size() == 139 + overflow(employee));
      const std::string &birthDate = employee.birthDate;
      check(birthDate.empty() ||
            (!isBlank(birthDate.front()) && !isBlank(birthDate.back())));
    }
    if (table.empty())
      check(line == employees.size() + 2);
  }
  checkReadError(file, employees);
  checkWriteError(employees, printed);
  return 0;
}
