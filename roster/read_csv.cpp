// Reading the roster file line by line into Employee records.
#include "roster/read_csv.h"
#include "roster/read_roster.h"
#include "roster/stream_digest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <limits>

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

// Whether the file system filled in all of `fields` of `status`. A field it
// left out is neither compared nor trusted.
static bool filled(const struct statx &status, unsigned int fields) {
  return (status.stx_mask & fields) == fields;
}

// The status of the opened file as fstat gives it, in the form of statx.
static bool statusFromFstat(int fd, struct statx &status) {
  struct stat info {};
  if (fstat(fd, &info) != 0)
    return false;
  status.stx_mask = STATX_BASIC_STATS;
  status.stx_dev_major = major(info.st_dev);
  status.stx_mode = static_cast<std::uint16_t>(info.st_mode);
  status.stx_size = static_cast<std::uint64_t>(info.st_size);
  status.stx_blocks = static_cast<std::uint64_t>(info.st_blocks);
  status.stx_mtime.tv_sec = info.st_mtim.tv_sec;
  status.stx_mtime.tv_nsec = static_cast<std::uint32_t>(info.st_mtim.tv_nsec);
  return true;
}

// The status of the opened file, taken the same way as reading starts and as
// it ends. A caching mount (FUSE, NFS, SMB) is made to ask its server, not a
// cache of attributes that may be a second old, which would show neither a
// write between the two nor pages of two versions in one table. fstat stands
// in where statx cannot force that: on kernels before 4.11 (whose ENOSYS
// glibc meets with a fallback of its own, which refuses the flag with
// EINVAL), and under seccomp filters that answer EPERM. A block count left
// out is taken from fstat, so that the comparison of the two passes is not
// silently switched off.
static bool freshStatus(int fd, StatxFunction statusOf, struct statx &status) {
  status = {};
  if (statusOf(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS,
               &status) != 0)
    return (errno == ENOSYS || errno == EINVAL || errno == EPERM) &&
           statusFromFstat(fd, status);
  if (!filled(status, STATX_BLOCKS)) {
    struct statx fromFstat {};
    if (!statusFromFstat(fd, fromFstat))
      return false;
    status.stx_blocks = fromFstat.stx_blocks;
    status.stx_mask |= STATX_BLOCKS;
  }
  return true;
}

// Whether the modification time at the end, `after`, is the time the file
// had as reading began, `before`. It is when the two are equal, and also when
// `after` keeps the seconds of `before` and has lost its nanoseconds: that is
// how overlayfs shows a change of metadata alone (chmod, touch -a, ln), which
// copies the file up, where its upper layer keeps whole seconds (ext4 with
// 128-byte inodes, for one) and its lower layer does not. A write that sets
// a time of whole seconds on purpose (touch -d, cp -p, tar) within the second
// of the time before is therefore not seen here. The size still sees it if it
// changes the length, and the two passes if it changes bytes that one of
// them read before it and the other after; it goes unseen only on a stored
// file without blocks, whose passes are not compared, when the length stays.
static bool sameModificationTime(const statx_timestamp &before,
                                 const statx_timestamp &after) {
  return after.tv_sec == before.tv_sec &&
         (after.tv_nsec == before.tv_nsec || after.tv_nsec == 0);
}

// Whether the size of a regular file is its length, to count the bytes read
// against. A file system that stores a file's bytes allocates blocks for
// them; one that makes them up as they are read (procfs, sysfs, debugfs,
// configfs) allocates none, and the size it reports is a placeholder: 0 in
// /proc, 4096 in /sys. The few stored files without blocks (all holes, or a
// few bytes kept in the inode) lose the check for an early end and the
// comparison of the two passes: a write to one still shows in its size or
// its mtime.
static bool sizeIsLength(const struct statx &status) {
  return filled(status, STATX_SIZE | STATX_BLOCKS) && status.stx_blocks > 0;
}

// The file systems whose cached pages on this machine may be older than the
// file, by the magic number statfs(2) gives them (the kernel's own; older
// kernel headers lack some). Another machine, or the server behind the mount,
// can change the file there without this machine's cache hearing of it, and
// the status shows nothing of a change that leaves size and mtime alone, as
// stores through a shared mapping do:
//  - FUSE: the server may change the file by any route, a store into the
//    file it serves among them; the kernel keeps the pages it fetched until
//    it sees a new size or mtime.
//  - NFS: cached pages are checked against the file's attributes alone, at
//    open and when those time out.
//  - SMB (CIFS and SMB2): pages are cached under a lease, which a change made
//    on the server's own disk does not break.
//  - 9p: in its caching modes, pages are kept with no check at all.
// Ceph, AFS, GFS2 and OCFS2 are not listed: they take a client's cached pages
// back before another client writes.
static constexpr std::uint32_t StaleCacheFileSystems[] = {
    0x65735546, // FUSE
    0x6969,     // NFS
    0xFF534D42, // CIFS
    0xFE534D42, // SMB2
    0x01021997, // 9p
};

// Whether each pass over the opened regular file must fetch its bytes afresh
// (see StaleCacheFileSystems). A file on a block device of this machine,
// FUSE's fuseblk among them, is kept in this machine's cache alone, which is
// the file: its file system is not asked, so that ext4 or xfs pay no system
// call for this. Where the file system cannot be told, the pages are fetched.
static bool cachedPagesMayBeStale(int fd, const struct statx &status) {
  if (status.stx_dev_major != 0)
    return false;
  struct statfs fileSystem {};
  if (fstatfs(fd, &fileSystem) != 0)
    return true;
  const auto type = static_cast<std::uint32_t>(fileSystem.f_type);
  return std::find(std::begin(StaleCacheFileSystems),
                   std::end(StaleCacheFileSystems),
                   type) != std::end(StaleCacheFileSystems);
}

// Drops this machine's cached pages of the file, so that the pass that
// follows fetches each byte from the server as it reads it. Dropping asks
// nothing of how the reads are made; O_DIRECT, which would also fetch
// afresh, does: a FUSE server that passes reads through to a local file
// system hands it our unaligned buffers, which it may refuse. Pages that a
// program on this machine holds mapped, or has written and not yet sent,
// stay: those it wrote are newer than the server's.
static void fetchAfresh(int fd) {
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

// How the reading of a regular file went, once it met its end or the size
// it had as reading began, given the digests of what the counting pass and
// the reading pass read.
//
// A write shows in the size, in the mtime, or as a difference between the
// passes. Writing and truncating move the mtime, and a caching mount is asked
// for a fresh status, so that it shows them too. Some writes leave the status
// as it was: stores through a shared mapping into pages already dirty, the
// rest of a write(2) that had begun, and had set the mtime, before reading
// began, and, where times tick in whole seconds, a write within the same
// second as the one before reading began, which only the size sees, and only
// if the length changes. Those show as a difference between the passes. The
// counting pass ends before the reading pass begins, and each reads the file
// itself: a local file system's cached pages are the file, and a caching
// mount's are dropped before each pass. So a table that the file never held,
// some of it read before a change and the rest after, has a byte that the
// counting pass read before that change and the reading pass after it: the
// digests differ unless the writer put the same bytes back. A writer stalled
// for the whole read is not seen, and needs not be: the table is then the
// file as it stood.
//
// Metadata alone is not a change. A change of permissions, links or access
// time, or another file renamed over the path, leaves the bytes of the
// opened file as they were, and the table is the file as it was opened, so
// ctime, which every one of those moves, is not compared. All it would add
// is a same-size rewrite with its mtime put back, where the passes are not
// compared or may agree on cached pages: on a stored file without blocks, or
// on a caching mount whose pages another program here holds mapped. That is
// rare and deliberate; the false alarms of a backup tool or a chmod running
// beside roster were common.
static LoadStatus endOfRegularFile(int fd, StatxFunction statusOf,
                                   const struct statx &before,
                                   const StreamDigest &counted,
                                   const StreamDigest &read) {
  struct statx after {};
  if (!freshStatus(fd, statusOf, after))
    return LoadStatus::ReadFailed;
  if ((filled(after, STATX_SIZE) && after.stx_size != before.stx_size) ||
      (filled(before, STATX_MTIME) && filled(after, STATX_MTIME) &&
       !sameModificationTime(before.stx_mtime, after.stx_mtime)))
    return LoadStatus::FileChanged;
  if (!sizeIsLength(after))
    return LoadStatus::Loaded;
  const std::uint64_t size = after.stx_size;
  if (read.bytes > size)
    return LoadStatus::FileChanged;
  if (read.bytes < size || counted.bytes < size)
    return LoadStatus::ReadFailed;
  return sameDigest(counted, read) ? LoadStatus::Loaded
                                   : LoadStatus::FileChanged;
}

std::vector<Employee> readRoster(int fd, LoadStatus &status,
                                 ReadFunction readSome, std::size_t maxRecords,
                                 StatxFunction statusOf) {
  // Everything is planned from the opened file, never from its path, which
  // may name another file by now.
  struct statx before {};
  if (!freshStatus(fd, statusOf, before)) {
    status = LoadStatus::ReadFailed;
    return {};
  }
  // Counting the lines of a regular file first, a quick pass over pages the
  // kernel now caches, sizes the roster once: growing it by doubling would
  // copy every record again and, while copying, hold two rosters at once. A
  // pipe or a device is read once, and has no state to check at its end.
  const bool regular =
      filled(before, STATX_TYPE | STATX_SIZE) && S_ISREG(before.stx_mode);
  const bool fetchEachPass = regular && cachedPagesMayBeStale(fd, before);
  maxRecords = std::min(maxRecords, MaxRecords);
  std::vector<Employee> employees;
  FirstPass counted;
  if (regular) {
    if (fetchEachPass)
      fetchAfresh(fd);
    counted = countingPass(fd, static_cast<off_t>(before.stx_size));
    employees.reserve(std::min(counted.lineFeeds + 1, maxRecords));
    if (fetchEachPass)
      fetchAfresh(fd);
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
  // Of a regular file whose size is its length, no byte past the size it had
  // as reading began is read: a file that grows is a change all the same, and
  // memory stays bounded by the file that was opened, however much is
  // appended meanwhile. Other files are read to their end.
  std::uint64_t bytesLeft = regular && sizeIsLength(before)
                                ? before.stx_size
                                : std::numeric_limits<std::uint64_t>::max();
  for (;;) {
    ssize_t got = 0; // the end, unless a read brings more
    if (bytesLeft > 0) {
      if (unfinished == buffer.size())
        buffer.resize(2 * buffer.size());
      const auto room = static_cast<std::size_t>(
          std::min<std::uint64_t>(buffer.size() - unfinished, bytesLeft));
      do
        got = readSome(fd, buffer.data() + unfinished, room);
      while (got < 0 && errno == EINTR);
    }
    if (got <= 0) {
      if (got < 0)
        status = LoadStatus::ReadFailed;
      else if (regular)
        status = endOfRegularFile(fd, statusOf, before, counted.digest, read);
      break;
    }
    bytesLeft -= static_cast<std::uint64_t>(got);
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
