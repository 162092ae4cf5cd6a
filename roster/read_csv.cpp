// Reading the roster file line by line into Employee records.
#include "roster/read_csv.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
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

// The line feeds among the next `bytes` bytes of `in`, which is then rewound.
// A read error ends the count; the parsing pass meets it again and reports it.
static std::size_t countLineFeeds(std::istream &in, std::uintmax_t bytes) {
  std::size_t lineFeeds = 0;
  std::array<char, 1 << 16> chunk{};
  while (bytes > 0) {
    in.read(chunk.data(), static_cast<std::streamsize>(
                              std::min<std::uintmax_t>(bytes, chunk.size())));
    const auto got = static_cast<std::size_t>(in.gcount());
    lineFeeds += std::count(chunk.data(), chunk.data() + got, '\n');
    bytes -= got;
    if (!in)
      break;
  }
  in.clear();
  if (!in.seekg(0))
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
                              std::size_t expectedRecords,
                              std::size_t maxRecords) {
  maxRecords = std::min(maxRecords, MaxRecords);
  std::vector<Employee> employees;
  employees.reserve(std::min(expectedRecords, maxRecords));
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
  // Counting the lines of a regular file first, a quick pass over pages the
  // kernel now caches, sizes the roster once: growing it by doubling would
  // copy every record again and, while copying, hold two rosters at once.
  // A pipe or a device has no size to count up to, and is read once.
  std::error_code notRegular;
  const std::uintmax_t size = std::filesystem::file_size(path, notRegular);
  const std::size_t lines = notRegular ? 0 : countLineFeeds(file, size) + 1;
  std::vector<Employee> employees = readCSV(file, status, lines);
  file.close();
  if (status == LoadStatus::ReadFailed)
    std::cerr << "Error: Could not read the file!\n";
  else if (status == LoadStatus::TooManyRecords)
    std::cerr << "Error: Too many records in the file!\n";
  return employees;
}
