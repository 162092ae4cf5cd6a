//===- roster_fuzz: libFuzzer target for loading and printing a roster ----===//
//
// Hands arbitrary bytes to the reader through a file descriptor, as the
// program does, prints the roster, and aborts when what must hold for any
// roster does not: every data line is a record, whose fields are its line
// split at each comma; reads cut anywhere give the same records; the table is
// those records in their columns; on a terminal, it is the same table with
// every byte that a terminal would act on rather than draw, or that is not
// well-formed UTF-8, replaced by '?', and nothing such is left; a read that
// fails half-way keeps the records of the lines before it; a write that
// fails half-way leaves whole lines.
//
//===----------------------------------------------------------------------===//

#include "report/print_employees.h"
#include "support/drawable.h"
#include "support/expected_table.h"
#include "support/failing_stream.h"
#include "support/memory_file.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

static void check(bool holds) {
  if (!holds)
    std::abort();
}

// The lines after the heading: a last line without a line feed counts, and a
// line feed at the end starts no line.
static std::vector<std::string> dataLines(const std::string &file) {
  std::istringstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  if (!lines.empty())
    lines.erase(lines.begin());
  return lines;
}

// The record that `line` should make, split with getline at every comma.
static Employee recordOf(const std::string &line, std::int32_t idx) {
  std::istringstream in(line);
  std::array<std::string, 7> columns;
  for (std::string &column : columns)
    if (!std::getline(in, column, ','))
      break;
  std::string &birthDate = columns[6];
  birthDate.erase(0, birthDate.find_first_not_of(" \t\r\n"));
  birthDate.erase(birthDate.find_last_not_of(" \t\r\n") + 1);
  return {idx,        columns[1], columns[2], columns[3],
          columns[4], columns[5], birthDate};
}

static bool sameRecord(const Employee &a, const Employee &b) {
  return a.idx == b.idx && a.name == b.name && a.email == b.email &&
         a.ic == b.ic && a.phone == b.phone && a.hiredDate == b.hiredDate &&
         a.birthDate == b.birthDate;
}

// Reads of 1 to 8 bytes, whose lengths come from the bytes, put line feeds,
// carriage returns, commas and the heading across reads.
static void checkReadsInPieces(std::string_view file,
                               const std::vector<Employee> &whole) {
  LoadStatus status{};
  const std::vector<Employee> cut = readRosterFrom(file, status, readInPieces);
  check(status == LoadStatus::Loaded);
  check(std::equal(cut.begin(), cut.end(), whole.begin(), whole.end(),
                   sameRecord));
}

// A read error keeps exactly the records of the lines read whole before it.
static void checkReadError(std::string_view file,
                           const std::vector<Employee> &whole) {
  const std::string_view before = file.substr(0, file.size() / 2);
  LoadStatus status{};
  // The byte after `before` cannot be read.
  const std::vector<Employee> cut =
      readRosterFrom(std::string(before) + '\n', status, readFailingAtLastByte);
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
  LoadStatus status{};
  const std::vector<Employee> employees = readRosterFrom(file, status);
  check(status == LoadStatus::Loaded);
  const std::vector<std::string> lines = dataLines(file);
  check(employees.size() == lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i)
    check(sameRecord(employees[i],
                     recordOf(lines[i], static_cast<std::int32_t>(i))));

  std::ostringstream out;
  printEmployees(employees, out);
  check(out.good());
  const std::string table = out.str();
  check(table == expectedTable(employees));

  std::ostringstream terminal;
  printEmployees(employees, terminal, RowBytes::SafeForTerminal);
  const std::string shown = terminal.str();
  check(shown == drawable(table));
  check(shown == drawable(shown));

  checkReadsInPieces(file, employees);
  checkReadError(file, employees);
  checkWriteError(employees, table);
  return 0;
}
