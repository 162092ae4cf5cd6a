// Reading the roster file line by line into Employee records.
#include "roster/read_csv.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
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

// The number of line feeds from the position of a seekable stream to its
// end, where it is then rewound to; 0 when it cannot be rewound.
static std::size_t countLineFeeds(std::istream &in) {
  const std::istream::pos_type start = in.tellg();
  if (start == std::istream::pos_type(-1))
    return 0;
  std::size_t lineFeeds = 0;
  std::array<char, 1 << 16> chunk{};
  while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0)
    lineFeeds += std::count(chunk.data(), chunk.data() + in.gcount(), '\n');
  // A read error met here is met again, and reported, by the parsing pass.
  in.clear();
  if (!in.seekg(start))
    in.setstate(std::ios::badbit); // no way back: fail rather than lose lines
  return lineFeeds;
}

// Asks for huge pages under a large roster: with 4 KiB pages, the kernel
// takes a page fault for every twenty records as they are first written. It
// is only advice, so a refusal changes nothing.
static void adviseHugePages(void *data, std::size_t bytes) {
  constexpr std::size_t PageSize = 4096;
  if (bytes < (std::size_t{2} << 20U))
    return;
  const std::size_t misalignment =
      reinterpret_cast<std::uintptr_t>(data) % PageSize;
  const std::size_t skip = misalignment == 0 ? 0 : PageSize - misalignment;
  (void)madvise(static_cast<char *>(data) + skip, bytes - skip, MADV_HUGEPAGE);
}

std::vector<Employee> readCSV(std::istream &in, LoadStatus &status,
                              std::size_t maxRecords) {
  maxRecords = std::min(maxRecords, MaxRecords);
  std::vector<Employee> employees;
  // Counting the lines first, a quick pass over a file the page cache now
  // holds, sizes the roster once: growing it by doubling would copy every
  // record again and, while copying, hold two rosters at once.
  employees.reserve(std::min(countLineFeeds(in) + 1, maxRecords));
  adviseHugePages(employees.data(), employees.capacity() * sizeof(Employee));
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
