// Opening the roster file, reading it again while it changes, and the
// messages that loading ends with.
#include "roster/read_csv.h"
#include "roster/read_roster.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <thread>
#include <utility>

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

// Whether a reading must be followed by another: it saw a change, or it
// awaits confirmation and its bytes are not those of the reading before,
// whose digest is `before` where that one held still.
static bool unsettled(const Reading &reading,
                      const std::optional<StreamDigest> &before) {
  return reading.status == LoadStatus::FileChanged ||
         (reading.status == LoadStatus::Loaded && reading.awaitsConfirmation &&
          !(before && sameDigest(*before, reading.digest)));
}

// Reads the file opened as `fd` from `path`, and again after each reading
// that saw a change or awaits confirmation, until one stands. Where no
// further reading can be had, the last is taken for changed.
static Reading readUntilItStands(const std::string &path, int &fd) {
  std::optional<ReadingPlan> plan = planReading(fd, ::statx);
  Reading reading;
  if (!plan) {
    reading.status = LoadStatus::ReadFailed;
    return reading;
  }
  reading = readRoster(fd, *plan, path);
  std::optional<StreamDigest> before;
  for (std::size_t reread = 0; unsettled(reading, before); ++reread) {
    before = reading.status == LoadStatus::Loaded
                 ? std::optional<StreamDigest>(reading.digest)
                 : std::nullopt;
    std::optional<ReadingPlan> next;
    if (reread < WaitsBeforeRereading.size()) {
      std::this_thread::sleep_for(WaitsBeforeRereading[reread]);
      next = readyAgain(path, fd, *plan);
    }
    if (!next || !next->regular) {
      // Its last line, without a line feed, may be one that a save cut.
      if (reading.status == LoadStatus::Loaded && !reading.employees.empty())
        reading.employees.pop_back();
      reading.status = LoadStatus::FileChanged;
      break;
    }
    plan = next;
    // Freed, not only cleared, so that memory stays that of one roster.
    reading.employees = std::vector<Employee>();
    reading = readRoster(fd, *plan, path);
  }
  return reading;
}

std::vector<Employee> readCSV(const std::string &path, LoadStatus &status) {
  std::vector<Employee> employees;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = LoadStatus::NotOpened;
  } else {
    Reading reading = readUntilItStands(path, fd);
    close(fd);
    employees = std::move(reading.employees);
    status = reading.status;
  }
  std::cerr << loadMessage(status);
  return employees;
}
