// Opening the roster file, reading it again while it changes, and the
// messages that loading ends with.
#include "roster/read_csv.h"
#include "roster/read_roster.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <thread>

std::string_view loadMessage(LoadStatus status) {
  switch (status) {
  case LoadStatus::Loaded:
    break;
  case LoadStatus::NotOpened:
    return "Error: Could not open the file!\n";
  case LoadStatus::ReadFailed:
    return "Error: Could not read the file!\n";
  case LoadStatus::FileChanged:
    return "Error: The file changed while it was read!\n";
  case LoadStatus::TooManyRecords:
    return "Error: Too many records in the file!\n";
  }
  return {};
}

// Reads the opened file, and again from its start after each reading that
// saw it change, keeping the first that held still or else the last. The
// opened file is the one a writer that saves in place changes, and it
// cannot turn into a FIFO or a directory meanwhile, as the name can.
static std::vector<Employee> readHeldStill(int fd, LoadStatus &status) {
  std::vector<Employee> employees = readRoster(fd, status);
  for (const std::chrono::milliseconds wait : WaitsBeforeRereading) {
    if (status != LoadStatus::FileChanged)
      break;
    std::this_thread::sleep_for(wait);
    if (lseek(fd, 0, SEEK_SET) != 0)
      break;
    // Freed, not only cleared, so that memory stays that of one roster.
    employees = std::vector<Employee>();
    employees = readRoster(fd, status);
  }
  return employees;
}

std::vector<Employee> readCSV(const std::string &path, LoadStatus &status) {
  std::vector<Employee> employees;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = LoadStatus::NotOpened;
  } else {
    employees = readHeldStill(fd, status);
    close(fd);
  }
  std::cerr << loadMessage(status);
  return employees;
}
