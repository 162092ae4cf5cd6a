// End-to-end tests of faults and extremes: I/O errors part-way through, a
// reader that goes away, and rosters far larger than those kept as data.
#include "run_roster.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

static const fs::path Data = E2E_DATA_DIR;

// A scratch directory holding a roster of `count` generated employees.
static fs::path withRoster(const std::string &test, std::size_t count) {
  fs::path dir = scratchDir(test);
  std::ofstream file(dir / "sample-50-recs.csv", std::ios::binary);
  file << "No,Name,Email,IC,Phone,HiredDate,BirthDate\n";
  for (std::size_t i = 1; i <= count; ++i)
    file << i << ",Employee Number " << i << ",employee." << i
         << "@example.com,S" << i << ",+65 " << i << ",2020-01-02,1990-03-04\n";
  return dir;
}

// Runs roster under strace, tracing `calls` on `path` only. LeakSanitizer,
// in a sanitizer build, cannot run under ptrace.
static std::vector<std::string> underStrace(const std::string &calls,
                                            const fs::path &path,
                                            const std::string &log) {
  return {"strace", "-o",  log,  "-E",          "ASAN_OPTIONS=detect_leaks=0",
          "-e",     calls, "-P", path.string(), RosterExe};
}

static bool haveStrace() {
  return std::system("strace -V >/dev/null 2>&1") == 0;
}

// How many reads of the roster a strace log shows, the one under way
// included.
static std::size_t readsIn(const std::string &trace) {
  std::size_t reads = 0;
  for (std::size_t at = 0; (at = trace.find("read(", at)) != std::string::npos;
       ++at)
    ++reads;
  return reads;
}

// The lines of `table` up to the end of its frame and `rows` rows.
static std::string firstRows(const std::string &table, std::size_t rows) {
  std::size_t end = 0;
  for (std::size_t line = 0; line < 3 + rows; ++line)
    end = table.find('\n', end) + 1;
  return table.substr(0, end);
}

// Runs roster under strace, logging to `log`, with its `nth` read of the
// roster held up for two seconds, and makes `change` while that read waits.
static Outcome changedWhileRead(const fs::path &dir, const fs::path &log,
                                std::size_t nth,
                                const std::function<void()> &change) {
  fs::remove(log); // a log of an earlier run would set the change off early
  std::atomic<bool> ended = false;
  std::thread changer([&] {
    while (!ended && readsIn(readFile(log)) < nth)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ended)
      change();
  });
  Outcome outcome = runInDir(
      dir, underStrace("inject=read:delay_enter=2s:when=" + std::to_string(nth),
                       dir / "sample-50-recs.csv", log.string()));
  ended = true;
  changer.join();
  return outcome;
}

TEST(RosterFaults, ReadErrorPartWayPrintsTheLinesReadWhole) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = withRoster("ReadError", 5000);
  const fs::path input = dir / "sample-50-recs.csv";
  const fs::path log = dir.parent_path() / "ReadError.strace";
  // A clean run gives the whole table and the reads it takes.
  const Outcome whole =
      runInDir(dir, underStrace("trace=read", input, log.string()));
  ASSERT_EQ(whole.status, 0);

  // The last read that returns data fails, and the one after it.
  const std::size_t reads = readsIn(readFile(log));
  ASSERT_GT(reads, 2U);
  const Outcome cut =
      runInDir(dir, underStrace("inject=read:error=EIO:when=" +
                                    std::to_string(reads - 1) + "+",
                                input, "/dev/null"));
  EXPECT_EQ(cut.err, "Error: Could not read the file!\n");
  EXPECT_EQ(cut.status, 1);
  // A line cut short would print a row that the whole table lacks.
  const auto rows = std::count(cut.out.begin(), cut.out.end(), '\n') - 3;
  EXPECT_GT(rows, 0);
  EXPECT_LT(rows, 5000);
  EXPECT_EQ(whole.out.compare(0, cut.out.size(), cut.out), 0);
  EXPECT_EQ(cut.out.back(), '\n');
}

TEST(RosterFaults, FileCutShortWhileReadPrintsTheLinesReadWhole) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = withRoster("CutShort", 5000);
  const fs::path input = dir / "sample-50-recs.csv";
  const std::string original = readFile(input);
  const Outcome whole = runInDir(dir, {RosterExe});

  // The first read has taken its bytes when the file is cut to 5,000 bytes.
  const fs::path log = dir.parent_path() / "CutShort.strace";
  const Outcome cut =
      changedWhileRead(dir, log, 2, [&] { fs::resize_file(input, 5000); });
  const std::string trace = readFile(log);
  const std::size_t read = trace.find("read(");
  const std::string firstLine =
      trace.substr(read, trace.find('\n', read) - read);
  const std::size_t firstRead =
      std::stoul(firstLine.substr(firstLine.rfind(" = ") + 3));
  ASSERT_LT(firstRead, original.size());
  const auto lineFeeds = static_cast<std::size_t>(std::count(
      original.begin(), original.begin() + std::ptrdiff_t(firstRead), '\n'));
  EXPECT_EQ(cut.out, firstRows(whole.out, lineFeeds - 1));
  EXPECT_EQ(cut.err, "Error: The file changed while it was read!\n");
  EXPECT_EQ(cut.status, 1);
}

TEST(RosterFaults, FileExtendedWhileReadLeavesOutTheHalfLine) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = withRoster("Extended", 5000);
  const fs::path input = dir / "sample-50-recs.csv";
  const fs::path log = dir.parent_path() / "Extended.strace";
  const Outcome whole =
      runInDir(dir, underStrace("trace=read", input, log.string()));
  ASSERT_EQ(whole.status, 0);

  // Half a line is appended while the read that would find the end waits.
  const Outcome extended =
      changedWhileRead(dir, log, readsIn(readFile(log)), [&] {
        std::ofstream(input, std::ios::binary | std::ios::app)
            << "5001,Half Li";
      });
  EXPECT_EQ(extended.out, whole.out);
  EXPECT_EQ(extended.err, "Error: The file changed while it was read!\n");
  EXPECT_EQ(extended.status, 1);
}

// Files whose size is no guide to their length, and which nothing changes.
TEST(RosterFaults, PipesAndProcFilesAreNeverTakenForChanged) {
  const fs::path dir = scratchDir("SpecialFiles");
  const fs::path input = dir / "sample-50-recs.csv";
  ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
  const std::string sample = (Data / "sample.csv").string();
  const Outcome fromPipe =
      runInDir(dir, {"sh", "-c", R"(cat "$1" >sample-50-recs.csv & exec "$0")",
                     RosterExe, sample});
  EXPECT_EQ(fromPipe.out, readFile(Data / "sample.out"));
  EXPECT_EQ(fromPipe.err, "");
  EXPECT_EQ(fromPipe.status, 0);

  // /proc files report a size of 0.
  fs::remove(input);
  fs::create_symlink("/proc/cpuinfo", input);
  const std::string cpuinfo = readFile("/proc/cpuinfo");
  const Outcome fromProc = runInDir(dir, {RosterExe});
  EXPECT_EQ(std::count(fromProc.out.begin(), fromProc.out.end(), '\n'),
            std::count(cpuinfo.begin(), cpuinfo.end(), '\n') + 2);
  EXPECT_EQ(fromProc.err, "");
  EXPECT_EQ(fromProc.status, 0);
}

// Running out of memory ends the run abnormally, as it does everywhere
// else, and is not mistaken for a read error.
TEST(RosterFaults, LineLargerThanMemoryEndsTheRunAbnormally) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run in a small address space";
#endif
  const fs::path dir = scratchDir("OutOfMemory");
  std::ofstream(dir / "sample-50-recs.csv", std::ios::binary)
      << "heading\n0," << std::string(64 << 20, 'x') << '\n';
  const Outcome outcome =
      runInDir(dir, {"sh", "-c", R"(ulimit -v 32768 && exec "$0")", RosterExe});
  EXPECT_EQ(outcome.status, 128 + SIGABRT);
  EXPECT_EQ(outcome.err.find("Could not read"), std::string::npos);
}

TEST(RosterFaults, WriteErrorPartWayLeavesOnlyWholeLines) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = scratchDir("WriteError");
  fs::copy_file(Data / "sample.csv", dir / "sample-50-recs.csv");
  // The sixth write fails: the frame and two rows get through.
  const Outcome cut = runInDir(dir,
                               underStrace("inject=write:error=ENOSPC:when=6",
                                           stdoutFile(dir), "/dev/null"),
                               Stdout::File);
  EXPECT_EQ(cut.out, firstRows(readFile(Data / "sample.out"), 2));
  EXPECT_EQ(cut.err, "Error: Could not write the report!\n");
  EXPECT_EQ(cut.status, 1);
}

TEST(RosterFaults, ReaderThatGoesAwayEndsTheRunBySigpipe) {
  const fs::path dir = withRoster("ReaderGone", 100000);
  const Outcome outcome = runInDir(dir, {RosterExe}, Stdout::Pipe, 4096);
  EXPECT_EQ(outcome.status, 128 + SIGPIPE);
  EXPECT_EQ(outcome.err, "");
}

TEST(RosterHuge, FiftyMegabyteLineIsPrintedWhole) {
  const fs::path dir = scratchDir("HugeLine");
  const std::string name(50 << 20, 'x');
  std::ofstream(dir / "sample-50-recs.csv", std::ios::binary)
      << "heading\n0," << name << '\n';
  const Outcome outcome = runInDir(dir, {RosterExe});
  const std::string row =
      "0" + std::string(18, ' ') + name + std::string(84, ' ') + "\n";
  // Compared as a boolean: a failure must not print 50 MB.
  EXPECT_TRUE(outcome.out == readFile(Data / "frame.out") + row);
  EXPECT_EQ(outcome.status, 0);
}

TEST(RosterHuge, FiveMillionBlankLinesAreAllNumbered) {
  constexpr std::size_t Lines = 5'000'000;
  const fs::path dir = scratchDir("BlankLines");
  std::ofstream(dir / "sample-50-recs.csv", std::ios::binary)
      << "heading\n"
      << std::string(Lines, '\n');
  const Outcome outcome = runInDir(dir, {RosterExe});
  EXPECT_EQ(outcome.status, 0);
  const std::string frame = readFile(Data / "frame.out");
  ASSERT_EQ(outcome.out.size(), frame.size() + Lines * 140);
  ASSERT_EQ(outcome.out.compare(0, frame.size(), frame), 0);
  std::string row;
  for (std::size_t i = 0; i < Lines; ++i) {
    row = std::to_string(i);
    row.resize(139, ' ');
    row += '\n';
    ASSERT_EQ(outcome.out.compare(frame.size() + i * 140, 140, row), 0) << i;
  }
}
