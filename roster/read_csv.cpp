// Reading the roster file line by line into Employee records.
#include "roster/read_csv.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iostream>

static constexpr std::string_view Blanks = " \t\n\r";

std::string trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(Blanks);
  if (first == std::string_view::npos)
    return {};
  const std::size_t last = text.find_last_not_of(Blanks);
  return std::string(text.substr(first, last - first + 1));
}

// Column 0 and the six after it. Every comma separates, quotes included;
// columns missing from a short line stay empty and surplus ones are ignored.
static std::array<std::string_view, 7> splitColumns(std::string_view line) {
  std::array<std::string_view, 7> columns{};
  for (std::string_view &column : columns) {
    const std::size_t comma = line.find(',');
    column = line.substr(0, comma);
    if (comma == std::string_view::npos)
      break;
    line.remove_prefix(comma + 1);
  }
  return columns;
}

static Employee toEmployee(std::string_view line, std::int32_t idx) {
  const std::array<std::string_view, 7> columns = splitColumns(line);
  return Employee{idx,
                  std::string(columns[1]),
                  std::string(columns[2]),
                  std::string(columns[3]),
                  std::string(columns[4]),
                  std::string(columns[5]),
                  trim(columns[6])};
}

std::vector<Employee> readCSV(std::istream &in, LoadStatus &status,
                              std::size_t maxRecords) {
  maxRecords = std::min(maxRecords, MaxRecords);
  std::vector<Employee> employees;
  std::string line;
  std::getline(in, line); // the heading line, skipped unread
  while (std::getline(in, line)) {
    if (employees.size() == maxRecords) {
      status = LoadStatus::TooManyRecords;
      return employees;
    }
    // The count so far numbers the record, so idx can never overflow.
    const auto idx = static_cast<std::int32_t>(employees.size());
    employees.push_back(toEmployee(line, idx));
  }
  // A read error ends getline like the end of the file, but leaves badbit.
  status = in.bad() ? LoadStatus::ReadFailed : LoadStatus::Loaded;
  return employees;
}

std::vector<Employee> readCSV(const std::string &path, LoadStatus &status) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "Error: Could not open the file!\n";
    status = LoadStatus::NotOpened;
    return {};
  }
  std::vector<Employee> employees = readCSV(file, status);
  file.close();
  if (status == LoadStatus::ReadFailed)
    std::cerr << "Error: Could not read the file!\n";
  else if (status == LoadStatus::TooManyRecords)
    std::cerr << "Error: Too many records in the file!\n";
  return employees;
}
