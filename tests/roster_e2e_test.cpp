// End-to-end tests: the built roster, run in a scratch directory, must write
// exactly the expected bytes to both streams and exit with the expected status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
enum class Input { File, Missing, Directory };

struct Case {
  const char *name;
  Input input;
  const char *csv;         // copied in as sample-50-recs.csv
  const char *expectedOut; // nullptr: standard output goes to /dev/full
  const char *expectedErr;
  int status;
  std::vector<std::string> args;
};

// Names the case in test listings, instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

struct Outcome {
  std::string out;
  std::string err;
  int status; // the exit status, or 128 plus the signal that ended it
};
} // namespace

static std::string readFile(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

static Outcome runRoster(const fs::path &dir, bool toDevFull,
                         const std::vector<std::string> &args) {
  const fs::path out = dir / "stdout", err = dir / "stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    const int outFd = toDevFull ? open("/dev/full", O_WRONLY)
                                : open(out.c_str(), O_WRONLY | O_CREAT, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char *> argv{const_cast<char *>("roster")};
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 ||
        chdir(dir.c_str()) < 0)
      _exit(125);
    execv(ROSTER_EXE, argv.data());
    _exit(126);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  const int status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return {readFile(out), readFile(err), status};
}

class RosterRun : public testing::TestWithParam<Case> {};

TEST_P(RosterRun, WritesExactlyTheExpectedBytes) {
  const Case &c = GetParam();
  const fs::path data = E2E_DATA_DIR;
  const fs::path dir =
      fs::path(testing::TempDir()) / ("roster-" + std::string(c.name));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path input = dir / "sample-50-recs.csv";
  if (c.input == Input::File)
    fs::copy_file(data / c.csv, input);
  else if (c.input == Input::Directory)
    fs::create_directory(input);

  const Outcome outcome = runRoster(dir, c.expectedOut == nullptr, c.args);
  if (c.expectedOut != nullptr) {
    ASSERT_TRUE(fs::exists(data / c.expectedOut));
    EXPECT_EQ(outcome.out, readFile(data / c.expectedOut));
  }
  EXPECT_EQ(outcome.err, c.expectedErr);
  EXPECT_EQ(outcome.status, c.status);
  fs::remove_all(dir);
}

static const Case Cases[] = {
    {"Sample", Input::File, "sample.csv", "sample.out", "", 0, {}},
    {"ArgumentsIgnored",
     Input::File,
     "sample.csv",
     "sample.out",
     "",
     0,
     {"crlf.csv", "--help"}},
    {"Missing",
     Input::Missing,
     nullptr,
     "frame.out",
     "Error: Could not open the file!\n",
     0,
     {}},
    {"Empty", Input::File, "empty.csv", "frame.out", "", 0, {}},
    {"HeadingOnly", Input::File, "heading-only.csv", "frame.out", "", 0, {}},
    {"CrLf", Input::File, "crlf.csv", "crlf.out", "", 0, {}},
    {"Ragged", Input::File, "ragged.csv", "ragged.out", "", 0, {}},
    {"Overlong", Input::File, "overlong.csv", "overlong.out", "", 0, {}},
    {"Blanks", Input::File, "blanks.csv", "blanks.out", "", 0, {}},
    {"Bytes", Input::File, "bytes.csv", "bytes.out", "", 0, {}},
    {"Directory",
     Input::Directory,
     nullptr,
     "frame.out",
     "Error: Could not read the file!\n",
     1,
     {}},
    {"FullDisk",
     Input::File,
     "sample.csv",
     nullptr,
     "Error: Could not write the report!\n",
     1,
     {}},
};

INSTANTIATE_TEST_SUITE_P(Roster, RosterRun, testing::ValuesIn(Cases),
                         [](const auto &info) { return info.param.name; });
