// End-to-end tests: the built roster must write exactly the expected bytes to
// both streams and exit as expected. Every roster NAME.csv in e2e/ with a
// NAME.out beside it is a case, printed into a pipe, and one with a NAME.tty
// beside it is printed on a terminal too; the table below holds the rest.
#include "app/roster_file.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static const fs::path Data = E2E_DATA_DIR;

TEST(RosterFilePairs, EachRosterPrintsItsOutFile) {
  std::vector<fs::path> rosters;
  for (const fs::directory_entry &entry : fs::directory_iterator(Data))
    if (entry.path().extension() == ".csv" &&
        fs::exists(fs::path(entry.path()).replace_extension(".out")))
      rosters.push_back(entry.path());
  std::sort(rosters.begin(), rosters.end());
  ASSERT_FALSE(rosters.empty());
  for (const fs::path &roster : rosters) {
    const std::string name = roster.stem().string();
    const fs::path dir = scratchDir("e2e-" + name);
    fs::copy_file(roster, dir / RosterFile);
    const Outcome outcome = runInDir(dir, {RosterExe});
    EXPECT_EQ(outcome.out, readFile(fs::path(roster).replace_extension(".out")))
        << name;
    EXPECT_EQ(outcome.err, "") << name;
    EXPECT_EQ(outcome.status, 0) << name;
    const fs::path tty = fs::path(roster).replace_extension(".tty");
    if (fs::exists(tty)) {
      const Outcome shown = runInDir(dir, {RosterExe}, Stdout::Terminal);
      EXPECT_EQ(shown.out, readFile(tty)) << name << " on a terminal";
      EXPECT_EQ(shown.status, 0) << name << " on a terminal";
    }
  }
}

namespace {
enum class Input { Sample, Missing, Directory };

struct Case {
  const char *name;
  Input input;
  Stdout stdoutTo;
  const char *expectedOut; // compared when standard output is the pipe
  const char *expectedErr;
  int status;
  bool withArguments; // a roster's name and an option, which it ignores
};

// Names the case in test listings, instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
} // namespace

class RosterRun : public testing::TestWithParam<Case> {};

TEST_P(RosterRun, WritesExactlyTheExpectedBytes) {
  const Case &c = GetParam();
  const fs::path dir = scratchDir(c.name);
  const fs::path input = dir / RosterFile;
  if (c.input == Input::Sample)
    fs::copy_file(Data / "sample.csv", input);
  else if (c.input == Input::Directory)
    fs::create_directory(input);

  std::vector<std::string> command{RosterExe};
  if (c.withArguments)
    command.insert(command.end(), {"crlf.csv", "--help"});
  const Outcome outcome = runInDir(dir, command, c.stdoutTo);
  if (c.stdoutTo == Stdout::Pipe) {
    EXPECT_EQ(outcome.out, readFile(Data / c.expectedOut));
  }
  EXPECT_EQ(outcome.err, c.expectedErr);
  EXPECT_EQ(outcome.status, c.status);
}

static const auto caseName = [](const auto &info) { return info.param.name; };
static const char *const WriteError = "Error: Could not write the report!\n";

static const Case Cases[] = {
    {"ArgumentsIgnored", Input::Sample, Stdout::Pipe, "sample.out", "", 0,
     true},
    {"Missing", Input::Missing, Stdout::Pipe, "empty.out",
     "Error: Could not open the file!\n", 0, false},
    {"Directory", Input::Directory, Stdout::Pipe, "empty.out",
     "Error: Could not read the file!\n", 1, false},
    {"FullDisk", Input::Sample, Stdout::DevFull, nullptr, WriteError, 1, false},
};
INSTANTIATE_TEST_SUITE_P(Roster, RosterRun, testing::ValuesIn(Cases), caseName);

// Under valgrind, a closed standard output receives valgrind's own log.
INSTANTIATE_TEST_SUITE_P(ClosedStdout, RosterRun,
                         testing::Values(Case{"StdoutClosed", Input::Sample,
                                              Stdout::Closed, nullptr,
                                              WriteError, 1, false}),
                         caseName);
