// End-to-end tests of faults and extremes: I/O errors part-way through, a
// roster that changes while it is read, a reader that goes away, rosters far
// larger than those kept as data, and little memory. Suites name what their
// tests need: Strace, ptrace; Huge and AddressSpace, many megabytes or a
// small address space.
#include "app/roster_file.h"
#include "roster/read_csv.h"
#include "support/expected_table.h"
#include "support/generate_roster.h"
#include "support/run.h"
#include "tests/traced.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

static const fs::path Data = E2E_DATA_DIR;

// The lines of `table` up to the end of its frame and `rows` rows.
static std::string firstRows(const std::string &table, std::size_t rows) {
  std::size_t end = 0;
  for (std::size_t line = 0; line < 3 + rows; ++line)
    end = table.find('\n', end) + 1;
  return table.substr(0, end);
}

// A roster of 2000 invented employees in a directory of its own, what
// roster prints of it when nothing disturbs it, and the reads that takes.
struct Undisturbed {
  explicit Undisturbed(const std::string &name)
      : dir(scratchDir(name)), input(dir / RosterFile),
        log(dir.string() + ".strace") {
    generateRoster(input, 2000);
    roster = readFile(input);
    table = Strace::run(dir, "trace=read", input, log).out;
    reads = Strace::readsIn(log).size();
  }
  fs::path dir;
  fs::path input;
  fs::path log;
  std::string roster;
  std::string table;
  std::size_t reads = 0;
};

// The table of the lines of `quiet.roster` that the reads in its log brought
// in whole.
static std::string linesReadWhole(const Undisturbed &quiet) {
  std::size_t bytes = 0;
  for (const long read : Strace::readsIn(quiet.log))
    bytes += static_cast<std::size_t>(std::max(0L, read));
  const std::string &roster = quiet.roster;
  const auto lineFeeds = std::count(
      roster.begin(),
      roster.begin() + std::ptrdiff_t(std::min(bytes, roster.size())), '\n');
  return firstRows(quiet.table,
                   lineFeeds == 0 ? 0 : std::size_t(lineFeeds) - 1);
}

// What a disturbed run prints: the whole table, the rows of the lines read
// whole, the table of the roster as the disturbance left it, or rows not
// checked; its message and status; and how many readings it made.
enum class Rows { Whole, ReadWhole, AsLeft, Unchecked };
struct Expected {
  Rows rows;
  std::string err;
  int status;
  std::size_t readings;
};
using Disturbances =
    std::vector<std::tuple<const char *, std::function<Outcome()>, Expected>>;

// Restores `quiet`'s roster before each disturbance, and checks each run.
static void expectEach(const Undisturbed &quiet,
                       const Disturbances &disturbances) {
  for (const auto &[what, disturbed, expected] : disturbances) {
    std::ofstream(quiet.input, std::ios::binary) << quiet.roster;
    const Outcome outcome = disturbed();
    if (expected.rows == Rows::Whole) {
      EXPECT_EQ(outcome.out, quiet.table) << what;
    } else if (expected.rows == Rows::ReadWhole) {
      EXPECT_EQ(outcome.out, linesReadWhole(quiet)) << what;
    } else if (expected.rows == Rows::AsLeft) {
      EXPECT_EQ(outcome.out, runInDir(quiet.dir, {RosterExe}).out) << what;
    }
    EXPECT_EQ(outcome.err, expected.err) << what;
    EXPECT_EQ(outcome.status, expected.status) << what;
    EXPECT_EQ(Strace::readingsIn(quiet.log), expected.readings) << what;
  }
}

static const std::string ReadError = "Error: Could not read the file!\n";
static const std::string Changed =
    "Error: The file changed while it was read!\n";

// Reading stops part-way, and is not begun again: a read fails, or meets the
// end before the file's size. The rows are those of the lines read whole. A
// file rewritten during every reading is read again a bounded number of
// times, and reported. One emptied while it is read, as a writer that saves
// in place empties it first, gives the empty table only where the next
// reading finds it empty too.
TEST_F(Strace, ReadingStoppedPartWayPrintsTheLinesReadWhole) {
  const Undisturbed quiet("StoppedPartWay");
  ASSERT_GT(quiet.reads, 2U);
  const auto injected = [&](const std::string &injection) {
    return [&, injection] {
      return run(quiet.dir, injection, quiet.input, quiet.log);
    };
  };
  bool moved = false;
  const auto overwriteInTurn = [&] {
    moved = !moved;
    std::fstream(quiet.input, std::ios::binary | std::ios::in | std::ios::out)
        << (moved ? firstMovedToEnd(quiet.roster) : quiet.roster);
  };
  const std::size_t readings = WaitsBeforeRereading.size() + 1;
  expectEach(quiet, {{"read error",
                      injected("inject=read:error=EIO:when=" +
                               std::to_string(quiet.reads - 1) + "+"),
                      {Rows::ReadWhole, ReadError, 1, 1}},
                     {"early end",
                      injected("inject=read:retval=0:when=2"),
                      {Rows::ReadWhole, ReadError, 1, 1}},
                     {"emptied",
                      [&] {
                        return changedWhileRead(quiet.dir, 2, [&] {
                          fs::resize_file(quiet.input, 0);
                        });
                      },
                      {Rows::AsLeft, "", 0, 3}},
                     {"overwritten during every reading",
                      [&] {
                        return changedWhileRead(quiet.dir, 2, overwriteInTurn,
                                                "read", quiet.reads);
                      },
                      {Rows::Unchecked, Changed, 1, readings}}});
}

// The file is cut short, extended, or rewritten to its size while it is
// read, once: the next reading holds still and gives the table of the file
// as the change left it; cut inside a line, it stands once a third reading
// agrees. A store through a shared mapping is seen only by the
// comparison of the two passes.
TEST_F(Strace, FileChangedOnceGivesTheTableOfTheNextReading) {
  const Undisturbed quiet("ChangedOnce");
  const fs::path &input = quiet.input;
  const std::string &original = quiet.roster;
  const std::string moved = firstMovedToEnd(original);
  const fs::path movedFile = quiet.dir.string() + ".moved";
  std::ofstream(movedFile, std::ios::binary) << moved;
  const auto cutShort = [&] { fs::resize_file(input, 5000); };
  const auto addHalfALine = [&] {
    std::ofstream(input, std::ios::binary | std::ios::app) << "5001,Half Li";
  };
  const auto appendLines = [&] {
    std::ofstream(input, std::ios::binary | std::ios::app)
        << original.substr(original.find('\n') + 1);
  };
  const auto overwriteInPlace = [&] {
    std::fstream(input, std::ios::binary | std::ios::in | std::ios::out)
        << moved;
  };
  const auto rewriteAsCpDoes = [&] {
    fs::copy_file(movedFile, input, fs::copy_options::overwrite_existing);
  };
  const auto truncateAndRestore = [&] {
    fs::resize_file(input, 0);
    std::ofstream(input, std::ios::binary | std::ios::app) << original;
  };
  const auto changedAtRead = [&](std::size_t nth, auto change) {
    return
        [&, nth, change] { return changedWhileRead(quiet.dir, nth, change); };
  };
  const auto storedThroughAMap = [&] {
    char *const map = mapDirtied(input, original.size());
    if (map == nullptr)
      return Outcome{"", "mmap failed", -1, 0, 0, 0, 0};
    Outcome outcome = changedWhileRead(
        quiet.dir, 2, [&] { std::copy(moved.begin(), moved.end(), map); });
    munmap(map, original.size());
    return outcome;
  };
  const Expected next{Rows::AsLeft, "", 0, 2};
  const Expected confirmed{Rows::AsLeft, "", 0, 3};
  expectEach(
      quiet,
      {{"cut short", changedAtRead(2, cutShort), confirmed},
       {"half a line added", changedAtRead(quiet.reads, addHalfALine),
        confirmed},
       {"lines appended", changedAtRead(1, appendLines), next},
       {"overwritten in place", changedAtRead(2, overwriteInPlace), next},
       {"rewritten as cp does", changedAtRead(2, rewriteAsCpDoes), next},
       {"truncated and restored", changedAtRead(2, truncateAndRestore), next},
       {"stored through a shared mapping", storedThroughAMap, next}});
}

// A change of metadata alone is no change: the table is the whole file, from
// one reading, and the status 0.
TEST_F(Strace, MetadataAloneIsNoChange) {
  const Undisturbed quiet("Metadata");
  const auto changedAtRead = [&](auto change) {
    return [&, change] { return changedWhileRead(quiet.dir, 2, change); };
  };
  const Expected wholeTable{Rows::Whole, "", 0, 1};
  expectEach(quiet,
             {{"permissions changed", changedAtRead([&] {
                 fs::permissions(quiet.input, fs::perms::owner_read |
                                                  fs::perms::owner_write);
               }),
               wholeTable},
              {"access time set", changedAtRead([&] {
                 const std::array<timespec, 2> times = {
                     {{0, UTIME_NOW}, {0, UTIME_OMIT}}};
                 utimensat(AT_FDCWD, quiet.input.c_str(), times.data(), 0);
               }),
               wholeTable}});
}

// A roster found empty, or ending inside a line, may be a save in place
// caught between two writes: it stands once the next reading finds the
// same bytes. Where the file cannot be rewound for that reading, it is
// taken for changed, without the line that a save may have cut.
TEST_F(Strace, RosterThatMayBeHalfSavedStandsOnceReadAgain) {
  const fs::path dir = scratchDir("HalfSaved");
  const fs::path log = dir.string() + ".strace";
  const std::string ragged = readFile(Data / "ragged.out");
  const std::tuple<const char *, const char *, std::string, std::string, int,
                   std::size_t>
      cases[] = {
          {"empty", "trace=statx", readFile(Data / "empty.out"), "", 0, 2},
          {"ragged", "inject=lseek:error=EIO", firstRows(ragged, 8), Changed, 1,
           1},
      };
  for (const auto &[roster, calls, out, err, status, readings] : cases) {
    fs::copy_file(Data / (std::string(roster) + ".csv"), dir / RosterFile,
                  fs::copy_options::overwrite_existing);
    const Outcome outcome = run(dir, calls, dir / RosterFile, log);
    EXPECT_EQ(outcome.out, out) << roster << ", " << calls;
    EXPECT_EQ(outcome.err, err) << roster << ", " << calls;
    EXPECT_EQ(outcome.status, status) << roster << ", " << calls;
    EXPECT_EQ(readingsIn(log), readings) << roster << ", " << calls;
  }
}

// Faults injected around the sample: asking the opened roster for its state
// fails as reading starts or as it ends, never taken for a change, or finds
// no statx in the kernel, or a seccomp filter that forbids it; the counting
// pass fails, after which the reading pass gets every line; a write fails
// part-way; a signal interrupts a write or a read of either pass.
TEST_F(Strace, InjectedFaultsGiveTheirMessagesAndWholeLines) {
  const fs::path dir = scratchDir("Injected");
  fs::copy_file(Data / "sample.csv", dir / RosterFile);
  const std::string sample = readFile(Data / "sample.out");
  const std::string readError = "Error: Could not read the file!\n";
  const std::string writeError = "Error: Could not write the report!\n";
  struct Case {
    const char *injection;
    fs::path on;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"%fstat:error=EIO:when=1", dir / RosterFile,
       readFile(Data / "empty.out"), readError, 1},
      {"%fstat:error=EIO:when=2", dir / RosterFile, sample, readError, 1},
      {"statx:error=ENOSYS", dir / RosterFile, sample, "", 0},
      {"statx:error=EPERM", dir / RosterFile, sample, "", 0},
      {"pread64:error=EIO:when=1", dir / RosterFile, sample, readError, 1},
      // The frame and two rows get through.
      {"write:error=ENOSPC:when=6", stdoutFile(dir), firstRows(sample, 2),
       writeError, 1},
      {"write:error=EINTR:when=5", stdoutFile(dir), sample, "", 0},
      {"read:error=EINTR:when=1", dir / RosterFile, sample, "", 0},
      {"pread64:error=EINTR:when=1", dir / RosterFile, sample, "", 0},
  };
  for (const Case &c : cases) {
    const Outcome outcome = run(dir, std::string("inject=") + c.injection, c.on,
                                "/dev/null", Stdout::File);
    EXPECT_EQ(outcome.out, c.out) << c.injection;
    EXPECT_EQ(outcome.err, c.err) << c.injection;
    EXPECT_EQ(outcome.status, c.status) << c.injection;
  }
}

// Files whose size is no guide to their length, and which nothing changes,
// are read to their end: a kernel file gives the table of its bytes copied
// into a regular file, unless the bytes depend on who reads them.
TEST(Faults, PipesAndKernelFilesAreNeverTakenForChanged) {
  const fs::path dir = scratchDir("SpecialFiles");
  const fs::path input = dir / RosterFile;
  ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
  const Outcome fromPipe = runInDir(
      dir,
      {"sh", "-c",
       R"({ head -n 20 "$1"; sleep 0.2; tail -n +21 "$1"; } >"$2" & exec "$0")",
       RosterExe, (Data / "sample.csv").string(), RosterFile});
  EXPECT_EQ(fromPipe.out, readFile(Data / "sample.out"));
  EXPECT_EQ(fromPipe.err, "");
  EXPECT_EQ(fromPipe.status, 0);

  // Their sizes are 0 in /proc and 4096 in /sys.
  const fs::path copy = scratchDir("SpecialFilesCopied");
  for (const auto &[kernelFile, sameForEveryReader] :
       {std::pair{"/proc/filesystems", true},
        {"/proc/self/status", false},
        {"/proc/cpuinfo", false},
        {"/proc/self/maps", false},
        {"/sys/kernel/mm/transparent_hugepage/enabled", true},
        {"/sys/devices/system/cpu/online", true}}) {
    if (!fs::exists(kernelFile))
      continue;
    fs::remove(input);
    fs::create_symlink(kernelFile, input);
    const Outcome outcome = runInDir(dir, {RosterExe});
    EXPECT_EQ(outcome.err, "") << kernelFile;
    EXPECT_EQ(outcome.status, 0) << kernelFile;
    if (sameForEveryReader) {
      std::ifstream file(kernelFile, std::ios::binary);
      std::ofstream(copy / RosterFile, std::ios::binary) << file.rdbuf();
      EXPECT_EQ(outcome.out, runInDir(copy, {RosterExe}).out) << kernelFile;
    }
  }
}

// With its address space capped at every 50 KB from 5,000 to 16,000 KB,
// around what the loader and the C++ runtime need, roster prints the whole
// table, or says that memory ran out and exits 1 with whole rows or none, or
// cannot be started at all (127): it never aborts.
TEST(AddressSpace, AnyCapGivesTheTableOrTheMessageNeverAnAbort) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run in a small address space";
#endif
  const fs::path dir = scratchDir("AddressSpace");
  fs::copy_file(Data / "sample.csv", dir / RosterFile);
  const std::string table = readFile(Data / "sample.out");
  for (int kb = 5000; kb <= 16000; kb += 50) {
    const Outcome outcome =
        runInDir(dir, {"sh", "-c",
                       "ulimit -v " + std::to_string(kb) + R"( && exec "$0")",
                       RosterExe});
    const bool wholeLines =
        table.compare(0, outcome.out.size(), outcome.out) == 0 &&
        (outcome.out.empty() || outcome.out.back() == '\n');
    switch (outcome.status) {
    case 0:
      EXPECT_TRUE(outcome.out == table && outcome.err.empty()) << kb << " KB";
      break;
    case 1:
      EXPECT_TRUE(outcome.err == "Error: Out of memory!\n" && wholeLines)
          << kb << " KB: " << outcome.err;
      break;
    default:
      EXPECT_EQ(outcome.status, 127) << kb << " KB: " << outcome.err;
    }
  }
}

// Runs roster in `dir` with no more than 32 MiB of address space.
static Outcome runInLittleMemory(const fs::path &dir) {
  return runInDir(dir,
                  {"sh", "-c", "ulimit -v 32768 && exec \"$0\"", RosterExe});
}

// The heading is skipped as it is read, however long: 128 MiB of holes fit
// in a quarter of that. A data line is held whole, and one larger than
// memory is reported as such, not mistaken for a read error.
TEST(Huge, HeadingCostsNoMemoryButALineIsHeldWhole) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run in a small address space";
#endif
  const fs::path dir = scratchDir("LittleMemory");
  const fs::path input = dir / RosterFile;
  std::ofstream(input, std::ios::binary).flush();
  fs::resize_file(input, std::uintmax_t{128} << 20U);
  std::ofstream(input, std::ios::binary | std::ios::app) << "\n\n";
  const Outcome heading = runInLittleMemory(dir);
  EXPECT_EQ(heading.out, readFile(Data / "empty.out") + expectedRow({"0"}));
  EXPECT_EQ(heading.err, "");
  EXPECT_EQ(heading.status, 0);

  std::ofstream(input, std::ios::binary)
      << "heading\n0," << std::string(64 << 20, 'x') << '\n';
  const Outcome line = runInLittleMemory(dir);
  EXPECT_EQ(line.out, "");
  EXPECT_EQ(line.err, "Error: Out of memory!\n");
  EXPECT_EQ(line.status, 1);
}

// A roster read twice, as one without a last line feed is, has its first
// reading's records freed before the second begins: memory peaks at that of
// one roster.
TEST(Huge, ReadingAgainHoldsOneRosterAtATime) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer holds freed memory in quarantine";
#endif
  const fs::path dir = scratchDir("ReadTwice");
  generateRoster(dir / RosterFile, 100000);
  const auto peakMiB = [&] {
    return runInDir(dir, {RosterExe}, Stdout::Pipe,
                    std::numeric_limits<std::size_t>::max(),
                    [](std::string_view) {})
        .peakMiB;
  };
  const double once = peakMiB();
  std::ofstream(dir / RosterFile, std::ios::binary | std::ios::app) << "0,Li";
  EXPECT_LT(peakMiB(), 1.2 * once);
}

TEST(Huge, ReaderThatGoesAwayEndsTheRunBySigpipe) {
  const fs::path dir = scratchDir("ReaderGone");
  generateRoster(dir / RosterFile, 100000);
  const Outcome outcome = runInDir(dir, {RosterExe}, Stdout::Pipe, 4096);
  EXPECT_EQ(outcome.status, 128 + SIGPIPE);
  EXPECT_EQ(outcome.err, "");
}

// 128 times the read buffer: it grows, the line is kept whole.
TEST(Huge, EightMegabyteLineIsPrintedWhole) {
  const fs::path dir = scratchDir("HugeLine");
  const std::string name(8 << 20, 'x');
  std::ofstream(dir / RosterFile, std::ios::binary)
      << "heading\n0," << name << '\n';
  const Outcome outcome = runInDir(dir, {RosterExe});
  // Compared as a boolean: a failure must not print 50 MB.
  EXPECT_TRUE(outcome.out ==
              readFile(Data / "empty.out") + expectedRow({"0", "", name}));
  EXPECT_EQ(outcome.status, 0);
}
