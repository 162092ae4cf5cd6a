// Opening the roster file, reading it again while it changes, and the
// messages that loading ends with.
#include "roster/read_csv.h"
#include "roster/read_roster.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <optional>
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

// Readies `fd` for another reading from its start: the opened file, which
// is the one a writer that saves in place changes, and which cannot turn
// into a FIFO or a directory meanwhile, as the name can. On a caching mount
// whose status answers for the name, the opened file may not be readable
// whole any more, so the name is opened afresh, without blocking should it
// now be a FIFO. The plan for the reading, or none.
static std::optional<ReadingPlan> readyAgain(const std::string &path, int &fd,
                                             const ReadingPlan &plan) {
  if (plan.caching) {
    const int reopened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (reopened < 0)
      return std::nullopt;
    close(fd);
    fd = reopened;
  } else if (lseek(fd, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  return planReading(fd, ::statx);
}

// Reads the file opened as `fd` from `path`, and again after each reading
// that saw it change, keeping the first that held still or else the last.
// A name that no longer holds a regular file ends the readings.
static std::vector<Employee> readHeldStill(const std::string &path, int &fd,
                                           LoadStatus &status) {
  std::optional<ReadingPlan> plan = planReading(fd, ::statx);
  if (!plan) {
    status = LoadStatus::ReadFailed;
    return {};
  }
  std::vector<Employee> employees = readRoster(fd, *plan, path, status);
  bool readAgain = false;
  for (const std::chrono::milliseconds wait : WaitsBeforeRereading) {
    // Found empty just after a change, the file is most likely being saved
    // in place, between emptying it and writing it: it is read again too,
    // and taken for empty only if the last reading finds it so.
    const bool emptiedMeanwhile =
        readAgain && status == LoadStatus::Loaded && plan->before.stx_size == 0;
    if (status != LoadStatus::FileChanged && !emptiedMeanwhile)
      break;
    std::this_thread::sleep_for(wait);
    plan = readyAgain(path, fd, *plan);
    if (!plan || !plan->regular)
      break;
    // Freed, not only cleared, so that memory stays that of one roster.
    employees = std::vector<Employee>();
    employees = readRoster(fd, *plan, path, status);
    readAgain = true;
  }
  return employees;
}

std::vector<Employee> readCSV(const std::string &path, LoadStatus &status) {
  std::vector<Employee> employees;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = LoadStatus::NotOpened;
  } else {
    employees = readHeldStill(path, fd, status);
    close(fd);
  }
  std::cerr << loadMessage(status);
  return employees;
}
