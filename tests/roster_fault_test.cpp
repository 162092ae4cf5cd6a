// End-to-end tests of faults and extremes: I/O errors part-way through, a
// reader that goes away, and rosters far larger than those kept as data.
#include "run_roster.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
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

// A read that fails, and one that meets the end before the file's size.
TEST(RosterFaults, ReadErrorOrEarlyEndPrintsTheLinesReadWhole) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = withRoster("ReadError", 5000);
  const fs::path input = dir / "sample-50-recs.csv";
  const fs::path log = dir.parent_path() / "ReadError.strace";
  // A clean run gives the whole table and the reads it takes.
  const Outcome whole =
      runInDir(dir, underStrace("trace=read", input, log.string()));
  ASSERT_EQ(whole.status, 0);
  const std::size_t reads = readsIn(readFile(log));
  ASSERT_GT(reads, 2U);

  // The last read that returns data fails, and the one after it; or the
  // second read finds the end.
  for (const std::string &injection :
       {"read:error=EIO:when=" + std::to_string(reads - 1) + "+",
        std::string("read:retval=0:when=2")}) {
    const Outcome cut =
        runInDir(dir, underStrace("inject=" + injection, input, "/dev/null"));
    EXPECT_EQ(cut.err, "Error: Could not read the file!\n") << injection;
    EXPECT_EQ(cut.status, 1) << injection;
    // A line cut short would print a row that the whole table lacks.
    const auto rows = std::count(cut.out.begin(), cut.out.end(), '\n') - 3;
    EXPECT_GT(rows, 0) << injection;
    EXPECT_LT(rows, 5000) << injection;
    EXPECT_EQ(whole.out.compare(0, cut.out.size(), cut.out), 0) << injection;
    EXPECT_EQ(cut.out.back(), '\n') << injection;
  }
}

// Asking the opened file for its state fails as reading starts, then as it
// ends: a read error either way, never a change.
TEST(RosterFaults, FailedFstatIsAReadError) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = scratchDir("FstatFails");
  fs::copy_file(Data / "sample.csv", dir / "sample-50-recs.csv");
  const std::pair<const char *, std::string> cases[] = {
      {"1", readFile(Data / "frame.out")},
      {"2", readFile(Data / "sample.out")}};
  for (const auto &[when, out] : cases) {
    const Outcome outcome = runInDir(
        dir, underStrace(std::string("inject=%fstat:error=EIO:when=") + when,
                         dir / "sample-50-recs.csv", "/dev/null"));
    EXPECT_EQ(outcome.out, out) << when;
    EXPECT_EQ(outcome.err, "Error: Could not read the file!\n") << when;
    EXPECT_EQ(outcome.status, 1) << when;
  }
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

// Rewrites that leave the size as it was: only the file's times show them.
TEST(RosterFaults, FileRewrittenToItsSizeWhileReadIsReportedAsChanged) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = withRoster("Rewritten", 5000);
  const fs::path input = dir / "sample-50-recs.csv";
  const std::string original = readFile(input);
  // The same lines in reverse order: the same size, other line breaks.
  const std::size_t heading = original.find('\n') + 1;
  std::vector<std::string> lines;
  for (std::size_t at = heading; at < original.size();) {
    const std::size_t end = original.find('\n', at) + 1;
    lines.push_back(original.substr(at, end - at));
    at = end;
  }
  std::string reordered = original.substr(0, heading);
  for (auto line = lines.rbegin(); line != lines.rend(); ++line)
    reordered += *line;

  const auto rewriteAsCpDoes = [&] {
    std::ofstream file(input, std::ios::binary | std::ios::trunc);
    for (std::size_t at = 0; at < reordered.size(); at += 1 << 16)
      file.write(reordered.data() + at,
                 static_cast<std::streamsize>(
                     std::min<std::size_t>(1 << 16, reordered.size() - at)))
          .flush();
  };
  const std::pair<const char *, std::function<void()>> rewrites[] = {
      {"overwritten in place",
       [&] {
         std::fstream(input, std::ios::binary | std::ios::in | std::ios::out)
             << reordered;
       }},
      {"rewritten as cp does", rewriteAsCpDoes},
      {"truncated and restored",
       [&] {
         fs::resize_file(input, 0);
         std::ofstream(input, std::ios::binary | std::ios::app) << original;
       }},
  };
  const fs::path log = dir.parent_path() / "Rewritten.strace";
  for (const auto &[how, rewrite] : rewrites) {
    std::ofstream(input, std::ios::binary | std::ios::trunc) << original;
    const Outcome outcome = changedWhileRead(dir, log, 2, rewrite);
    EXPECT_EQ(outcome.err, "Error: The file changed while it was read!\n")
        << how;
    EXPECT_EQ(outcome.status, 1) << how;
  }
}

// Files whose size is no guide to their length, and which nothing changes.
TEST(RosterFaults, PipesAndKernelFilesAreNeverTakenForChanged) {
  const fs::path dir = scratchDir("SpecialFiles");
  const fs::path input = dir / "sample-50-recs.csv";
  ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
  const std::string sample = (Data / "sample.csv").string();
  const Outcome fromPipe = runInDir(
      dir,
      {"sh", "-c",
       R"({ head -n 20 "$1"; sleep 0.2; tail -n +21 "$1"; } >sample-50-recs.csv & exec "$0")",
       RosterExe, sample});
  EXPECT_EQ(fromPipe.out, readFile(Data / "sample.out"));
  EXPECT_EQ(fromPipe.err, "");
  EXPECT_EQ(fromPipe.status, 0);

  // Their sizes are 0 in /proc and 4096 in /sys.
  for (const char *kernelFile :
       {"/proc/self/status", "/proc/cpuinfo", "/proc/self/maps",
        "/sys/kernel/mm/transparent_hugepage/enabled",
        "/sys/devices/system/cpu/online"}) {
    if (!fs::exists(kernelFile))
      continue;
    fs::remove(input);
    fs::create_symlink(kernelFile, input);
    const Outcome outcome = runInDir(dir, {RosterExe});
    EXPECT_EQ(outcome.err, "") << kernelFile;
    EXPECT_EQ(outcome.status, 0) << kernelFile;
  }
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

// A write that fails part-way, and one that a signal interrupts.
TEST(RosterFaults, WriteErrorPartWayLeavesOnlyWholeLines) {
  if (!haveStrace())
    GTEST_SKIP() << "strace is not installed";
  const fs::path dir = scratchDir("WriteError");
  fs::copy_file(Data / "sample.csv", dir / "sample-50-recs.csv");
  const std::string sample = readFile(Data / "sample.out");
  struct Case {
    const char *injection;
    std::string out;
    const char *err;
    int status;
  };
  // The sixth write fails: the frame and two rows get through.
  const Case cases[] = {
      {"write:error=ENOSPC:when=6", firstRows(sample, 2),
       "Error: Could not write the report!\n", 1},
      {"write:error=EINTR:when=5", sample, "", 0},
  };
  for (const Case &c : cases) {
    const Outcome outcome =
        runInDir(dir,
                 underStrace(std::string("inject=") + c.injection,
                             stdoutFile(dir), "/dev/null"),
                 Stdout::File);
    EXPECT_EQ(outcome.out, c.out) << c.injection;
    EXPECT_EQ(outcome.err, c.err) << c.injection;
    EXPECT_EQ(outcome.status, c.status) << c.injection;
  }
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

// The heading is skipped as it is read, however long; a file of holes, whose
// size is its length, is read as any other.
TEST(RosterHuge, GigabyteHeadingIsSkippedInLittleMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run in a small address space";
#endif
  const fs::path dir = scratchDir("HugeHeading");
  const fs::path input = dir / "sample-50-recs.csv";
  std::ofstream(input, std::ios::binary).flush();
  // A gigabyte of holes, a line feed, and the sample's first employee.
  const std::string sample = readFile(Data / "sample.csv");
  const std::size_t firstLine = sample.find('\n') + 1;
  fs::resize_file(input, std::uintmax_t{1} << 30U);
  std::ofstream(input, std::ios::binary | std::ios::app)
      << '\n'
      << sample.substr(firstLine, sample.find('\n', firstLine) + 1 - firstLine);
  const Outcome outcome = runInDir(
      dir, {"sh", "-c", R"(ulimit -v 262144 && exec "$0")", RosterExe});
  EXPECT_EQ(outcome.out, firstRows(readFile(Data / "sample.out"), 1));
  EXPECT_EQ(outcome.err, "");
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
