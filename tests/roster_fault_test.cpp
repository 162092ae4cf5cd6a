// End-to-end tests of faults and extremes: I/O errors part-way through, a
// reader that goes away, and rosters far larger than those kept as data.
#include "run_roster.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

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
  const std::string trace = readFile(log);
  std::size_t reads = 0;
  for (std::size_t at = 0; (at = trace.find("read(", at)) != std::string::npos;
       ++at)
    ++reads;
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
  const std::string table = readFile(Data / "sample.out");
  std::size_t end = 0;
  for (int line = 0; line < 5; ++line)
    end = table.find('\n', end) + 1;
  EXPECT_EQ(cut.out, table.substr(0, end));
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
