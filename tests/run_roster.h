// Running the built roster in a scratch directory, as a user's shell would.
#ifndef TESTS_RUN_ROSTER_H
#define TESTS_RUN_ROSTER_H

#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

// Where the run's standard output goes: a pipe the test reads, a file beside
// `dir` (named "<dir>.out"), /dev/full, or nowhere.
enum class Stdout { Pipe, File, DevFull, Closed };

std::filesystem::path stdoutFile(const std::filesystem::path &dir);

struct Outcome {
  std::string out; // what was read from the pipe or the file
  std::string err;
  int status; // the exit status, or 128 plus the signal that ended the run
};

// An empty directory of its own for the test called `name`.
std::filesystem::path scratchDir(const std::string &name);

std::string readFile(const std::filesystem::path &path);

// Runs `command` in `dir`; its first word is looked up in PATH, and
// RosterExe stands for the built roster. With Stdout::Pipe, closes the pipe
// after `readLimit` bytes, as a reader that goes away would.
Outcome
runInDir(const std::filesystem::path &dir,
         const std::vector<std::string> &command,
         Stdout stdoutTo = Stdout::Pipe,
         std::size_t readLimit = std::numeric_limits<std::size_t>::max());

inline const std::string RosterExe = ROSTER_EXE;

#endif
