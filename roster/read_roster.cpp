// Reading an opened roster file: a pass that counts its lines, then a pass
// that cuts them into records.
#include "roster/read_roster.h"
#include "roster/employee_line.h"
#include "roster/stream_digest.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

static_assert(sizeof(off_t) == 8,
              "a roster over 2 GiB needs 64-bit file offsets");

// Enough for a read(2) to bring hundreds of lines.
static constexpr std::size_t ChunkSize = std::size_t{1} << 16U;

// With 4 KiB pages, the kernel takes a page fault for every twenty records
// as they are first written. Only advice: a refusal changes nothing.
static void adviseHugePages([[maybe_unused]] void *data,
                            [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Advice is taken in whole pages.
  constexpr std::size_t PageSize = 4096;
  // Below the size of one huge page there is nothing to gain.
  constexpr std::size_t HugePageSize = std::size_t{2} << 20U;
  if (bytes < HugePageSize)
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

// What the counting pass found in the first `size` bytes of a regular file.
// A read error ends it early; the reading pass meets the error again.
struct CountingPass {
  std::size_t lineFeeds = 0;
  StreamDigest digest;
};

// Reads without moving the file's offset.
static CountingPass countLines(int fd, std::uint64_t size) {
  std::array<char, ChunkSize> chunk{};
  CountingPass pass;
  for (std::uint64_t at = 0; at < size;) {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(chunk.size(), size - at));
    const ssize_t got = pread(fd, chunk.data(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    const std::string_view bytes(chunk.data(), static_cast<std::size_t>(got));
    pass.lineFeeds += lineFeedsIn(bytes);
    foldBytes(pass.digest, bytes);
    at += static_cast<std::uint64_t>(got);
  }
  return pass;
}

// A caching mount's status may answer for the name rather than the opened
// file, so the counting pass reads the file that `name` holds: should that
// be another, the passes differ. Opened without blocking, should the name
// now be a FIFO. A name that cannot be opened tells nothing of a change:
// the opened file is counted, as on a local mount.
static CountingPass countingPass(int fd, const ReadingPlan &plan,
                                 const std::string &name) {
  const int named = plan.caching && !name.empty()
                        ? open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)
                        : -1;
  const int counted = named >= 0 ? named : fd;
  beforePass(counted, plan);
  CountingPass pass = countLines(counted, plan.before.stx_size);
  if (named >= 0)
    close(named);
  return pass;
}

// readSome, but again where a signal interrupted it.
static ssize_t readSomeMore(int fd, ReadFunction readSome, char *into,
                            std::size_t room) {
  ssize_t got = 0;
  do
    got = readSome(fd, into, room);
  while (got < 0 && errno == EINTR);
  return got;
}

// A caching mount's status may be another version's: a byte past the size
// it gave, where a read brings one, is a change.
static bool bytesPastSize(int fd, ReadFunction readSome) {
  char byte = 0;
  return readSomeMore(fd, readSome, &byte, 1) > 0;
}

Reading readRoster(int fd, const ReadingPlan &plan, const std::string &name,
                   ReadFunction readSome, std::size_t maxRecords,
                   StatxFunction statusOf) {
  // Counting first sizes the roster once: growing it by doubling would copy
  // every record again, and hold two rosters while it copies.
  maxRecords = std::min(maxRecords, MaxRecords);
  std::vector<Employee> employees;
  LoadStatus status = LoadStatus::Loaded;
  CountingPass counted;
  if (plan.regular) {
    counted = countingPass(fd, plan, name);
    employees.reserve(std::min(counted.lineFeeds + 1, maxRecords));
    beforePass(fd, plan);
  }
  adviseHugePages(employees.data(), employees.capacity() * sizeof(Employee));

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
  bool lineEnded = false;     // whether the bytes so far end with a line feed
  std::uint64_t bytesLeft = plan.bytesToRead;
  for (;;) {
    ssize_t got = 0; // the end, unless a read brings more
    if (bytesLeft > 0) {
      if (unfinished == buffer.size())
        buffer.resize(2 * buffer.size());
      got = readSomeMore(fd, readSome, buffer.data() + unfinished,
                         static_cast<std::size_t>(std::min<std::uint64_t>(
                             buffer.size() - unfinished, bytesLeft)));
    }
    if (got <= 0) {
      if (got < 0)
        status = LoadStatus::ReadFailed;
      else if (bytesLeft == 0 && plan.caching && bytesPastSize(fd, readSome))
        status = LoadStatus::FileChanged;
      else if (plan.regular)
        status = verdictAtEnd(fd, statusOf, plan, counted.digest, read);
      break;
    }
    bytesLeft -= static_cast<std::uint64_t>(got);
    const std::string_view bytes(buffer.data(),
                                 unfinished + static_cast<std::size_t>(got));
    if (plan.regular)
      foldBytes(read, bytes.substr(unfinished));
    lineEnded = bytes.back() == '\n';
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\n', unfinished);
         end != std::string_view::npos; end = bytes.find('\n', start)) {
      if (!take(bytes.substr(start, end - start)))
        return {std::move(employees), status, read, false};
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
  const bool awaitsConfirmation =
      status == LoadStatus::Loaded && plan.regular &&
      read.bytes == plan.before.stx_size && !lineEnded;
  return {std::move(employees), status, read, awaitsConfirmation};
}
