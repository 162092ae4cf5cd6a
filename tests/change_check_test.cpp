// Unit tests of the change checks: a reading whose passes differ in any
// byte, a status that shows a change or stands in for one that statx
// refuses, a file that grows, and an overlay's layers. Rosters reach the reader
// through a real file descriptor, and the checks through stand-ins for read(2)
// and statx(2).
#include "roster/overlay_layers.h"
#include "roster/read_csv.h"
#include "roster/stream_digest.h"
#include "support/memory_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// A byte that readFlipping changes, and the bits it flips.
struct Flip {
  std::size_t at;
  char bits;
};

// The bytes that readFlipping changes, in file order: ReadFunction is a plain
// function pointer, so they reach it here.
static std::vector<Flip> flips;

// read(2), but each byte of `flips` comes back with its bits flipped, and the
// read that brings one ends with it: a reading pass that differs from the
// counting pass in those bytes alone.
static ssize_t readFlipping(int fd, void *buffer, std::size_t count) {
  const auto at = static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR));
  const auto next = std::find_if(flips.begin(), flips.end(),
                                 [at](const Flip &f) { return f.at >= at; });
  if (next != flips.end())
    count = std::min(count, next->at + 1 - at);
  const ssize_t got = read(fd, buffer, count);
  if (got > 0 && next != flips.end() &&
      at + static_cast<std::size_t>(got) == next->at + 1) {
    char &byte = static_cast<char *>(buffer)[next->at - at];
    byte = static_cast<char>(byte ^ next->bits);
  }
  return got;
}

// Whichever byte differs, in any lane of a stripe or in the partial stripe
// at the end, and wherever the reads are cut, the two passes differ. So they
// do for two changes to one lane that a digest of rotations and exclusive-ors
// alone would cancel: a word, and the same lane's word a stripe later changed
// by the first change rotated left by 5.
TEST(ChangeCheck, ReadingThatDiffersInAnyByteIsAChange) {
  std::string roster = "No,Name,Email\n";
  while (roster.size() < 3 * StreamDigest::StripeBytes)
    roster += "1,Ann Lee,ann@example.com\n";
  ASSERT_NE(roster.size() % StreamDigest::StripeBytes, 0U);
  std::vector<std::vector<Flip>> cases;
  for (std::size_t at = 0; at < roster.size(); ++at)
    cases.push_back({{at, 0x01}});
  for (std::size_t word = 0; word < StreamDigest::StripeBytes; word += 8)
    cases.push_back({{word, 0x01}, {word + StreamDigest::StripeBytes, 0x20}});
  for (const std::vector<Flip> &flipped : cases) {
    flips = flipped;
    LoadStatus status{};
    readRosterFrom(roster, status, readFlipping);
    EXPECT_EQ(status, LoadStatus::FileChanged)
        << flipped.front().at << " and " << flipped.size() - 1 << " more";
  }
}

// The modification times that statxStamping gives the file: as reading
// begins, and after.
static std::array<statx_timestamp, 2> stampedTimes{};
static int statxCalls = 0;

// statx(2), but the file's mtime is the first of stampedTimes at the first
// call, and the second at every later one.
static int statxStamping(int dirfd, const char *path, int flags,
                         unsigned int mask, struct statx *status) {
  const int result = ::statx(dirfd, path, flags, mask, status);
  status->stx_mtime = stampedTimes[std::min(statxCalls++, 1)];
  return result;
}

// A time that kept its seconds and lost its nanoseconds, as overlayfs shows
// one copied up to a layer that keeps whole seconds, is the same time; any
// other difference is a change, a new second of 0 ns (touch -d, cp -p, tar)
// included.
TEST(ChangeCheck, AnMtimeThatLostOnlyItsNanosecondsIsNoChange) {
  using Time = statx_timestamp;
  constexpr Time Began{1000, 608717276, 0};
  constexpr auto Same = LoadStatus::Loaded;
  constexpr auto Changed = LoadStatus::FileChanged;
  const std::tuple<const char *, Time, Time, LoadStatus> cases[] = {
      {"same", Began, Began, Same},
      {"copied up", Began, {1000, 0, 0}, Same},
      {"whole seconds", {1000, 0, 0}, {1000, 0, 0}, Same},
      {"other nanoseconds", Began, {1000, 608717277, 0}, Changed},
      {"nanoseconds gained", {1000, 0, 0}, Began, Changed},
      {"next second, 0 ns", Began, {1001, 0, 0}, Changed},
      {"second before", Began, {999, 608717276, 0}, Changed},
  };
  for (const auto &[what, before, after, expected] : cases) {
    stampedTimes = {before, after};
    statxCalls = 0;
    LoadStatus status{};
    EXPECT_EQ(
        readRosterFrom("h\n1,a\n", status, ::read, MaxRecords, statxStamping)
            .size(),
        1U)
        << what;
    EXPECT_EQ(status, expected) << what;
  }
}

// statx(2) refused: by a kernel before 4.11 (ENOSYS, or EINVAL from glibc's
// stand-in for it), by a seccomp filter (EPERM), or for a fault (EIO).
template <int Error>
static int statxRefused(int /*dirfd*/, const char * /*path*/, int /*flags*/,
                        unsigned int /*mask*/, struct statx * /*status*/) {
  errno = Error;
  return -1;
}

// statx(2), but without the block count, as a file system may leave it out.
static int statxWithoutBlocks(int dirfd, const char *path, int flags,
                              unsigned int mask, struct statx *status) {
  const int result = ::statx(dirfd, path, flags, mask, status);
  status->stx_mask &= ~STATX_BLOCKS;
  status->stx_blocks = 0;
  return result;
}

// Sets the mtime of the file, leaving its access time as it is.
static void setModificationTime(int fd, const timespec &mtime) {
  const timespec times[] = {{0, UTIME_OMIT}, mtime};
  EXPECT_EQ(futimens(fd, times), 0);
}

// read(2), but as the reading pass begins, the file's first byte is
// rewritten and its mtime put back: a change that only the two passes show.
static ssize_t readAfterARewrite(int fd, void *buffer, std::size_t count) {
  char first = 0;
  struct stat info {};
  if (lseek(fd, 0, SEEK_CUR) == 0 && pread(fd, &first, 1, 0) == 1 &&
      fstat(fd, &info) == 0) {
    first ^= 1;
    EXPECT_EQ(pwrite(fd, &first, 1, 0), 1);
    setModificationTime(fd, info.st_mtim);
  }
  return read(fd, buffer, count);
}

// read(2), but the read that reaches the end of the file moves its mtime a
// second on, as a write behind the reading would: a change that only the
// mtime shows.
static ssize_t readThenTouched(int fd, void *buffer, std::size_t count) {
  const ssize_t got = read(fd, buffer, count);
  struct stat info {};
  if (got > 0 && fstat(fd, &info) == 0 &&
      lseek(fd, 0, SEEK_CUR) == info.st_size)
    setModificationTime(fd, {info.st_mtim.tv_sec + 1, info.st_mtim.tv_nsec});
  return got;
}

// read(2), but the file grows by a line feed and a line once the first read
// is made, as a writer appending would.
static ssize_t readThenGrown(int fd, void *buffer, std::size_t count) {
  const ssize_t got = read(fd, buffer, count);
  struct stat info {};
  if (got > 0 && fstat(fd, &info) == 0 && lseek(fd, 0, SEEK_CUR) == got) {
    EXPECT_EQ(pwrite(fd, "\n3,c\n", 5, info.st_size), 5);
  }
  return got;
}

// read(2), but the file ends two bytes before its size.
static ssize_t readEndingEarly(int fd, void *buffer, std::size_t count) {
  struct stat info {};
  const off_t at = lseek(fd, 0, SEEK_CUR);
  if (fstat(fd, &info) != 0 || at + 2 >= info.st_size)
    return 0;
  return read(fd, buffer,
              std::min(count, static_cast<std::size_t>(info.st_size - 2 - at)));
}

// statx(2), but reporting no blocks, as many FUSE servers do.
static int statxNoBlocks(int dirfd, const char *path, int flags,
                         unsigned int mask, struct statx *status) {
  const int result = ::statx(dirfd, path, flags, mask, status);
  status->stx_blocks = 0;
  return result;
}

// statx(2), but with the size the file had before its last line was added,
// as a server may answer from a status it cached.
static int statxStaleSize(int dirfd, const char *path, int flags,
                          unsigned int mask, struct statx *status) {
  const int result = ::statx(dirfd, path, flags, mask, status);
  status->stx_size -= 3;
  return result;
}

// Where statx is refused for want of it, or leaves the block count out,
// fstat stands in, and a change is still seen, by the bytes or the mtime; a
// fault is a read error. A file that grows is read no further than its size
// as reading began, so the line that growing finishes stays out. On a
// caching mount, whose status may be another version's, the bytes read
// decide: passes of the same length are compared without blocks, and an end
// before the size, or bytes past it, are a change.
TEST(ChangeCheck, StatusAndBytesReadShowAChange) {
  const auto Loaded = LoadStatus::Loaded;
  const auto Changed = LoadStatus::FileChanged;
  const auto Failed = LoadStatus::ReadFailed;
  constexpr bool Caching = true;
  const std::tuple<const char *, StatxFunction, ReadFunction, bool, LoadStatus,
                   std::size_t>
      cases[] = {
          {"ENOSYS", statxRefused<ENOSYS>, ::read, false, Loaded, 2},
          {"EINVAL", statxRefused<EINVAL>, ::read, false, Loaded, 2},
          {"EPERM", statxRefused<EPERM>, ::read, false, Loaded, 2},
          {"ENOSYS, rewritten", statxRefused<ENOSYS>, readAfterARewrite, false,
           Changed, 1},
          {"EINVAL, rewritten", statxRefused<EINVAL>, readAfterARewrite, false,
           Changed, 1},
          {"EPERM, rewritten", statxRefused<EPERM>, readAfterARewrite, false,
           Changed, 1},
          {"ENOSYS, touched", statxRefused<ENOSYS>, readThenTouched, false,
           Changed, 1},
          {"EPERM, touched", statxRefused<EPERM>, readThenTouched, false,
           Changed, 1},
          {"blocks left out", statxWithoutBlocks, ::read, false, Loaded, 2},
          {"blocks left out, rewritten", statxWithoutBlocks, readAfterARewrite,
           false, Changed, 1},
          {"EIO", statxRefused<EIO>, ::read, false, Failed, 0},
          {"grown", ::statx, readThenGrown, false, Changed, 1},
          {"no blocks, rewritten", statxNoBlocks, readAfterARewrite, false,
           Loaded, 2},
          {"no blocks, rewritten, caching", statxNoBlocks, readAfterARewrite,
           Caching, Changed, 1},
          {"no blocks, caching", statxNoBlocks, ::read, Caching, Loaded, 2},
          {"ends early", ::statx, readEndingEarly, false, Failed, 1},
          {"ends early, caching", ::statx, readEndingEarly, Caching, Changed,
           1},
          {"stale size", statxStaleSize, ::read, false, Loaded, 1},
          {"stale size, caching", statxStaleSize, ::read, Caching, Changed, 1},
          {"caching", ::statx, ::read, Caching, Loaded, 2},
      };
  for (const auto &[what, statusOf, readSome, caching, expected, records] :
       cases) {
    LoadStatus status{};
    EXPECT_EQ(readRosterFrom("h\n1,a\n2,b", status, readSome, MaxRecords,
                             statusOf, caching)
                  .size(),
              records)
        << what;
    EXPECT_EQ(status, expected) << what;
  }
}

// An overlay's layers, as mountinfo shows them, with each byte of ",= \t\n\\"
// in octal: in a lowerdir= list, a colon that a backslash escapes is part of
// a name; upperdir= names one directory, with the same escapes; lowerdir+=
// and datadir+= name one each, as they stand. A mount ID is matched whole,
// and one without a line has no layers to tell.
TEST(OverlayLayers, EachOptionIsReadAsTheKernelShowsIt) {
  const std::string mountInfo =
      "123 1 0:50 / /b rw - overlay overlay rw,lowerdir=/other\n"
      "12 1 0:51 / /a rw,relatime shared:1 - overlay overlay "
      "rw,lowerdir=/l\\134:1:/l\\0402,upperdir=/u\\134\\134p,workdir=/w\n"
      "40 1 0:52 / /c rw - overlay none "
      "rw,lowerdir+=/a\\134:b,datadir+=/d,redirect_dir=on\n";
  using Layers = std::vector<std::string>;
  const std::pair<std::uint64_t, std::optional<Layers>> cases[] = {
      {12, Layers{"/l:1", "/l 2", "/u\\p"}},
      {40, Layers{"/a\\:b", "/d"}},
      {4, std::nullopt},
  };
  for (const auto &[mountId, layers] : cases)
    EXPECT_EQ(overlayLayers(mountInfo, mountId), layers) << mountId;
}
