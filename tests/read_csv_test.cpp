// Unit tests of the reader: the heading, the splitting of lines into
// records, the trimming of the last column, reads cut anywhere, read errors
// and the record limit. Rosters reach it through a real file descriptor.
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
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace std::string_literals;

using Fields = std::array<std::string, 6>;

static Fields fieldsOf(const Employee &e) {
  return {e.name, e.email, e.ic, e.phone, e.hiredDate, e.birthDate};
}

// The fields of the one record that `line` makes, after a heading.
static Fields fieldsOfLine(const std::string &line) {
  LoadStatus status{};
  const std::vector<Employee> employees =
      readRosterFrom("heading\n" + line + "\n", status);
  if (employees.size() != 1)
    return {"not one record"};
  return fieldsOf(employees[0]);
}

TEST(ReadCSV, SplitsEveryCommaAndTrimsOnlyTheLastColumn) {
  const std::pair<std::string, Fields> cases[] = {
      {"1,Ann Lee,ann@example.com,S1234567A,+65 9123 "
       "4567,2020-01-02,1990-03-04",
       {"Ann Lee", "ann@example.com", "S1234567A", "+65 9123 4567",
        "2020-01-02", "1990-03-04"}},
      {"", {}},
      {"no comma", {}},
      {"\r", {}},
      {"1,Ann", {"Ann"}},
      {"1,Ann,", {"Ann"}},
      {",,,,,,", {}},
      {"1,,b,c", {"", "b", "c"}},
      {"1,Ann,a@example.com,S1\r", {"Ann", "a@example.com", "S1\r"}},
      {"1, Ann , a ,S1 ,\t+65,2020 , \t1990 \r",
       {" Ann ", " a ", "S1 ", "\t+65", "2020 ", "1990"}},
      {"1,\"Lee, Ann\",x", {"\"Lee", " Ann\"", "x"}},
      {"1,a,b,c,d,e,f,g,h", {"a", "b", "c", "d", "e", "f"}},
      {"1,a\0b,c,d,e,f, \0 "s, {"a\0b"s, "c", "d", "e", "f", "\0"s}},
  };
  for (const auto &[line, fields] : cases)
    EXPECT_EQ(fieldsOfLine(line), fields) << testing::PrintToString(line);
}

// Spaces, tabs and carriage returns go from both ends of BirthDate; a line
// feed cannot reach it, as it ends the line.
TEST(ReadCSV, TrimsOnlyBlanksFromTheEndsOfBirthDate) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {" \t\r \r", ""},
      {"1990-01-02", "1990-01-02"},
      {" \t1990-01-02\r", "1990-01-02"},
      {" 19 \t 90 ", "19 \t 90"},
      {"\v1990\f", "\v1990\f"},
      {"\xC2\xA0"
       "1990\xC2\xA0",
       "\xC2\xA0"
       "1990\xC2\xA0"},
      {" \0x\0 "s, "\0x\0"s},
  };
  for (const auto &[text, trimmed] : cases)
    EXPECT_EQ(fieldsOfLine(",,,,,," + text)[5], trimmed)
        << testing::PrintToString(text);
}

TEST(ReadCSV, SkipsTheHeadingAndNumbersEveryFurtherLine) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},         {"heading", 0},        {"heading\n", 0},
      {"\n", 0},       {"h\n\n", 1},          {"h\na\n\nb", 3},
      {"h\na\n\n", 2}, {"h\r\na\r\n\r\n", 2}, {"1,x\n2,y\n", 1},
  };
  for (const auto &[text, count] : cases) {
    LoadStatus status{};
    const std::vector<Employee> employees = readRosterFrom(text, status);
    EXPECT_EQ(status, LoadStatus::Loaded);
    ASSERT_EQ(employees.size(), count) << testing::PrintToString(text);
    for (std::size_t i = 0; i < count; ++i)
      EXPECT_EQ(employees[i].idx, static_cast<std::int32_t>(i));
  }
}

// Reads of 1 to 8 bytes, each line feed beginning a read after a partial
// line, give the records of one big read: a heading across reads, lines and
// blank lines, all numbered.
TEST(ReadCSV, ReadsCutAnywhereGiveTheSameRecords) {
  constexpr std::size_t BlankLines = 20'000;
  const std::string roster =
      "No,Name,Email,IC\n1,Ann Lee,ann@example.com,S1,+65,2020, 1990\r\n" +
      std::string(BlankLines, '\n') +
      "2,Ben\n3,\"Lee, Ann\",x\n,,,,,,\t\n4,last";
  LoadStatus status{};
  const std::vector<Employee> whole = readRosterFrom(roster, status);
  ASSERT_EQ(whole.size(), BlankLines + 5);
  const std::vector<Employee> cut =
      readRosterFrom(roster, status, readInPieces);
  EXPECT_EQ(status, LoadStatus::Loaded);
  ASSERT_EQ(cut.size(), whole.size());
  for (std::size_t i = 0; i < cut.size(); ++i) {
    ASSERT_EQ(cut[i].idx, static_cast<std::int32_t>(i));
    ASSERT_EQ(fieldsOf(cut[i]), fieldsOf(whole[i])) << i;
  }
}

// The byte after `text` cannot be read.
TEST(ReadCSV, KeepsTheWholeLinesReadBeforeAReadError) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0}, {"h\n", 0}, {"h\n1,a\n2,b\n", 2}, {"h\n1,a\n2,b\n3,partial", 2}};
  for (const auto &[text, count] : cases) {
    LoadStatus status{};
    EXPECT_EQ(readRosterFrom(text + "\n", status, readFailingAtLastByte).size(),
              count)
        << text;
    EXPECT_EQ(status, LoadStatus::ReadFailed) << text;
  }
}

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
TEST(ReadCSV, ReadingThatDiffersInAnyByteIsAChange) {
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
TEST(ReadCSV, AnMtimeThatLostOnlyItsNanosecondsIsNoChange) {
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

// Where statx is refused for want of it, or leaves the block count out,
// fstat stands in, and a change is still seen, by the bytes or the mtime; a
// fault is a read error.
TEST(ReadCSV, FstatStandsInForWhatStatxRefuses) {
  const std::tuple<const char *, StatxFunction, ReadFunction, LoadStatus>
      cases[] = {
          {"ENOSYS", statxRefused<ENOSYS>, ::read, LoadStatus::Loaded},
          {"EINVAL", statxRefused<EINVAL>, ::read, LoadStatus::Loaded},
          {"EPERM", statxRefused<EPERM>, ::read, LoadStatus::Loaded},
          {"ENOSYS, rewritten", statxRefused<ENOSYS>, readAfterARewrite,
           LoadStatus::FileChanged},
          {"EINVAL, rewritten", statxRefused<EINVAL>, readAfterARewrite,
           LoadStatus::FileChanged},
          {"EPERM, rewritten", statxRefused<EPERM>, readAfterARewrite,
           LoadStatus::FileChanged},
          {"ENOSYS, touched", statxRefused<ENOSYS>, readThenTouched,
           LoadStatus::FileChanged},
          {"EPERM, touched", statxRefused<EPERM>, readThenTouched,
           LoadStatus::FileChanged},
          {"no blocks", statxWithoutBlocks, ::read, LoadStatus::Loaded},
          {"no blocks, rewritten", statxWithoutBlocks, readAfterARewrite,
           LoadStatus::FileChanged},
          {"EIO", statxRefused<EIO>, ::read, LoadStatus::ReadFailed},
      };
  for (const auto &[what, statusOf, readSome, expected] : cases) {
    LoadStatus status{};
    readRosterFrom("h\n1,a\n", status, readSome, MaxRecords, statusOf);
    EXPECT_EQ(status, expected) << what;
  }
}

TEST(ReadCSV, StopsAtTheRecordLimitOnlyWhenALineIsLeftOver) {
  LoadStatus status{};
  EXPECT_EQ(readRosterFrom("h\na\nb\n", status, ::read, 2).size(), 2U);
  EXPECT_EQ(status, LoadStatus::Loaded);
  EXPECT_EQ(readRosterFrom("h\na\nb\n\n", status, ::read, 2).size(), 2U);
  EXPECT_EQ(status, LoadStatus::TooManyRecords);
  EXPECT_EQ(loadMessage(status), "Error: Too many records in the file!\n");
}
