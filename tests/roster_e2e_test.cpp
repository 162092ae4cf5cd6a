// End-to-end tests: the built roster, run on the rosters kept in e2e/, must
// write exactly the expected bytes to both streams and exit as expected.
#include "run_roster.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {
enum class Input { File, Missing, Directory };

struct Case {
  const char *name;
  Input input;
  const char *csv; // copied in as sample-50-recs.csv
  Stdout stdoutTo;
  const char *expectedOut; // compared when standard output is the pipe
  const char *expectedErr;
  int status;
  std::vector<std::string> args;
};

// Names the case in test listings, instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
} // namespace

class RosterRun : public testing::TestWithParam<Case> {};

TEST_P(RosterRun, WritesExactlyTheExpectedBytes) {
  const Case &c = GetParam();
  const fs::path data = E2E_DATA_DIR;
  const fs::path dir = scratchDir(c.name);
  const fs::path input = dir / "sample-50-recs.csv";
  if (c.input == Input::File)
    fs::copy_file(data / c.csv, input);
  else if (c.input == Input::Directory)
    fs::create_directory(input);

  std::vector<std::string> command{RosterExe};
  command.insert(command.end(), c.args.begin(), c.args.end());
  const Outcome outcome = runInDir(dir, command, c.stdoutTo);
  if (c.stdoutTo == Stdout::Pipe) {
    ASSERT_TRUE(fs::exists(data / c.expectedOut));
    EXPECT_EQ(outcome.out, readFile(data / c.expectedOut));
  }
  EXPECT_EQ(outcome.err, c.expectedErr);
  EXPECT_EQ(outcome.status, c.status);
}

static const Case Cases[] = {
    {"Sample",
     Input::File,
     "sample.csv",
     Stdout::Pipe,
     "sample.out",
     "",
     0,
     {}},
    {"ArgumentsIgnored",
     Input::File,
     "sample.csv",
     Stdout::Pipe,
     "sample.out",
     "",
     0,
     {"crlf.csv", "--help"}},
    {"Missing",
     Input::Missing,
     nullptr,
     Stdout::Pipe,
     "frame.out",
     "Error: Could not open the file!\n",
     0,
     {}},
    {"Empty", Input::File, "empty.csv", Stdout::Pipe, "frame.out", "", 0, {}},
    {"HeadingOnly",
     Input::File,
     "heading-only.csv",
     Stdout::Pipe,
     "frame.out",
     "",
     0,
     {}},
    {"CrLf", Input::File, "crlf.csv", Stdout::Pipe, "crlf.out", "", 0, {}},
    {"Ragged",
     Input::File,
     "ragged.csv",
     Stdout::Pipe,
     "ragged.out",
     "",
     0,
     {}},
    {"Overlong",
     Input::File,
     "overlong.csv",
     Stdout::Pipe,
     "overlong.out",
     "",
     0,
     {}},
    {"Blanks",
     Input::File,
     "blanks.csv",
     Stdout::Pipe,
     "blanks.out",
     "",
     0,
     {}},
    {"Bytes", Input::File, "bytes.csv", Stdout::Pipe, "bytes.out", "", 0, {}},
    {"Directory",
     Input::Directory,
     nullptr,
     Stdout::Pipe,
     "frame.out",
     "Error: Could not read the file!\n",
     1,
     {}},
    {"FullDisk",
     Input::File,
     "sample.csv",
     Stdout::DevFull,
     nullptr,
     "Error: Could not write the report!\n",
     1,
     {}},
    {"StdoutClosed",
     Input::File,
     "sample.csv",
     Stdout::Closed,
     nullptr,
     "Error: Could not write the report!\n",
     1,
     {}},
};

INSTANTIATE_TEST_SUITE_P(Roster, RosterRun, testing::ValuesIn(Cases),
                         [](const auto &info) { return info.param.name; });
