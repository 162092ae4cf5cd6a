// Reading the roster file line by line into Employee records.
#include "roster/read_csv.h"
#include "roster/read_roster.h"
#include "roster/stream_digest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>

static_assert(sizeof(off_t) == 8,
              "a roster over 2 GiB needs 64-bit file offsets");

// Enough for a read(2) to bring hundreds of lines.
static constexpr std::size_t ChunkSize = std::size_t{1} << 16U;

static bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// `text` without its blanks at either end, viewed in place.
static std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
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
                  std::string(trim(columns[6]))};
}

// Asks for huge pages under a large roster: with 4 KiB pages, the kernel
// takes a page fault for every twenty records as they are first written. It
// is only advice, skipped where the system has no such advice, and a refusal
// changes nothing.
static void adviseHugePages([[maybe_unused]] void *data,
                            [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t PageSize = 4096;
  if (bytes < (std::size_t{2} << 20U))
    return;
  const std::size_t misalignment =
      reinterpret_cast<std::uintptr_t>(data) % PageSize;
  const std::size_t skip = misalignment == 0 ? 0 : PageSize - misalignment;
  (void)madvise(static_cast<char *>(data) + skip, bytes - skip, MADV_HUGEPAGE);
#endif
}

static std::size_t lineFeedsIn(std::string_view bytes) {
  std::size_t count = 0;
  for (std::size_t at = bytes.find('\n'); at != std::string_view::npos;
       at = bytes.find('\n', at + 1))
    ++count;
  return count;
}

// What the counting pass found in the first `size` bytes of a regular file:
// its line feeds, and the digest of the bytes it read. Those are all `size`
// of them unless a read error ended the pass; the reading pass meets the
// error again and reports it.
struct FirstPass {
  std::size_t lineFeeds = 0;
  StreamDigest digest;
};

// Reads the file without moving its offset.
static FirstPass countingPass(int fd, off_t size) {
  std::array<char, ChunkSize> chunk{};
  FirstPass pass;
  for (off_t at = 0; at < size;) {
    const ssize_t got = pread(fd, chunk.data(),
                              static_cast<std::size_t>(std::min(
                                  static_cast<off_t>(chunk.size()), size - at)),
                              at);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    const std::string_view bytes(chunk.data(), static_cast<std::size_t>(got));
    pass.lineFeeds += lineFeedsIn(bytes);
    foldBytes(pass.digest, bytes);
    at += got;
  }
  return pass;
}

static bool sameTime(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the size of a regular file is its length, to count the bytes read
// against. A file system that stores a file's bytes allocates blocks for
// them; one that makes them up as they are read (procfs, sysfs, debugfs,
// configfs) allocates none, and the size it reports is a placeholder: 0 in
// /proc, 4096 in /sys. The few stored files without blocks (all holes, or a
// few bytes kept in the inode) lose only the check for an early end: their
// times still show every change.
static bool sizeIsLength(const struct stat &info) { return info.st_blocks > 0; }

// How the reading of a regular file that met its end went, given the digests
// of what the counting pass and the reading pass read.
//
// A write that changes the size or a time shows in the status: writing,
// truncating, renaming over the file, changing its permissions or links, and
// copying it up on overlayfs all do. Some writes leave the status as it was:
// stores through a shared mapping into pages already dirty, the rest of a
// write(2) that had begun, and had set the times, before reading began. Those
// show as a difference between the passes. The counting pass ends before the
// reading pass begins, so a table that the file never held, some of it read
// before a change and the rest after, has a byte that the counting pass read
// before that change and the reading pass after it: the digests differ unless
// the writer put the same bytes back. A writer stalled for the whole read is
// not seen, and needs not be: the table is then the file as it stood.
//
// Of the status checks, ctime alone sees a change of permissions or links,
// or a rewrite whose mtime was put back. The size and the count of the bytes
// read see a change of length within the same tick of the file system's
// clock as the last change before reading began, which leaves both times as
// they were. On Linux every change of mtime moves ctime too, so no case sees
// mtime alone; it stays for file systems that report times of their own.
static LoadStatus endOfRegularFile(int fd, const struct stat &before,
                                   const StreamDigest &counted,
                                   const StreamDigest &read) {
  struct stat after {};
  if (fstat(fd, &after) != 0)
    return LoadStatus::ReadFailed;
  if (after.st_size != before.st_size ||
      !sameTime(after.st_mtim, before.st_mtim) ||
      !sameTime(after.st_ctim, before.st_ctim))
    return LoadStatus::FileChanged;
  if (!sizeIsLength(after))
    return LoadStatus::Loaded;
  const auto size = static_cast<std::uint64_t>(after.st_size);
  if (read.bytes > size)
    return LoadStatus::FileChanged;
  if (read.bytes < size || counted.bytes < size)
    return LoadStatus::ReadFailed;
  return sameDigest(counted, read) ? LoadStatus::Loaded
                                   : LoadStatus::FileChanged;
}

std::vector<Employee> readRoster(int fd, LoadStatus &status,
                                 ReadFunction readSome,
                                 std::size_t maxRecords) {
  // Everything is planned from the opened file, never from its path, which
  // may name another file by now.
  struct stat before {};
  if (fstat(fd, &before) != 0) {
    status = LoadStatus::ReadFailed;
    return {};
  }
  // Counting the lines of a regular file first, a quick pass over pages the
  // kernel now caches, sizes the roster once: growing it by doubling would
  // copy every record again and, while copying, hold two rosters at once. A
  // pipe or a device is read once, and has no state to check at its end.
  const bool regular = S_ISREG(before.st_mode);
  maxRecords = std::min(maxRecords, MaxRecords);
  std::vector<Employee> employees;
  FirstPass counted;
  if (regular) {
    counted = countingPass(fd, before.st_size);
    employees.reserve(std::min(counted.lineFeeds + 1, maxRecords));
  }
  adviseHugePages(employees.data(), employees.capacity() * sizeof(Employee));

  status = LoadStatus::Loaded;
  bool heading = true; // the first line is read, not kept
  // Adds the record of a data line; false when it would be one too many.
  const auto take = [&](std::string_view line) {
    if (heading) {
      heading = false;
    } else if (employees.size() == maxRecords) {
      status = LoadStatus::TooManyRecords;
      return false;
    } else {
      // The count so far numbers the record, so idx can never overflow.
      const auto idx = static_cast<std::int32_t>(employees.size());
      employees.push_back(toEmployee(line, idx));
    }
    return true;
  };

  // Lines are cut out of the buffer in place; only a data line longer than
  // the buffer makes it grow.
  std::string buffer(ChunkSize, '\0');
  std::size_t unfinished = 0; // bytes of a line begun but not ended, in front
  StreamDigest read;          // of the bytes of a regular file, as they come
  for (;;) {
    if (unfinished == buffer.size())
      buffer.resize(2 * buffer.size());
    ssize_t got = 0;
    do
      got =
          readSome(fd, buffer.data() + unfinished, buffer.size() - unfinished);
    while (got < 0 && errno == EINTR);
    if (got <= 0) {
      if (got < 0)
        status = LoadStatus::ReadFailed;
      else if (regular)
        status = endOfRegularFile(fd, before, counted.digest, read);
      break;
    }
    const std::string_view bytes(buffer.data(),
                                 unfinished + static_cast<std::size_t>(got));
    if (regular)
      foldBytes(read, bytes.substr(unfinished));
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\n', unfinished);
         end != std::string_view::npos; end = bytes.find('\n', start)) {
      if (!take(bytes.substr(start, end - start)))
        return employees;
      start = end + 1;
    }
    // Until its line feed, the heading is dropped as it comes, so that its
    // length costs no memory.
    unfinished = heading ? 0 : bytes.size() - start;
    std::memmove(buffer.data(), buffer.data() + start, unfinished);
  }
  // A last line without a line feed still counts, but not one that a read
  // error or a change of the file broke off.
  if (status == LoadStatus::Loaded && unfinished > 0)
    take({buffer.data(), unfinished});
  return employees;
}

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

std::vector<Employee> readCSV(const std::string &path, LoadStatus &status) {
  std::vector<Employee> employees;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = LoadStatus::NotOpened;
  } else {
    employees = readRoster(fd, status);
    close(fd);
  }
  std::cerr << loadMessage(status);
  return employees;
}
