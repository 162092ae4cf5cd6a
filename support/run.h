// Running commands, the built roster among them, in a scratch directory, as a
// user's shell would: for the tests and the benchmark.
#ifndef SUPPORT_RUN_H
#define SUPPORT_RUN_H

#include <cstddef>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

inline const std::string RosterExe = ROSTER_EXE;

// Where the run's standard output goes: a pipe this process reads, a
// pseudo-terminal this process reads, in raw mode so that the bytes pass as
// they are, a file beside the run's directory (see stdoutFile), /dev/full,
// or nowhere.
enum class Stdout { Pipe, Terminal, File, DevFull, Closed };

struct Outcome {
  std::string out; // what came through the pipe, unless handed on, or the file
  std::string err;
  int status; // the exit status, or 128 plus the signal that ended the run
  double wallSeconds;
  double userSeconds;
  double systemSeconds;
  double peakMiB; // the maximum resident set
};

// Takes what comes through the pipe, piece by piece, instead of `out`.
using OutputSink = std::function<void(std::string_view)>;

// An empty directory of its own for `name`, in one directory under TMPDIR
// that is removed with everything in it when this process ends.
std::filesystem::path scratchDir(const std::string &name);

std::string readFile(const std::filesystem::path &path);

// The file that Stdout::File writes for a run in `dir`: out of its sight.
std::filesystem::path stdoutFile(const std::filesystem::path &dir);

// Runs `command` in `dir`; its first word is looked up in PATH. With
// Stdout::Pipe or Stdout::Terminal, closes the reading end after `readLimit`
// bytes, as a reader that goes away would, and hands the output to `sink` if
// there is one.
Outcome
runInDir(const std::filesystem::path &dir,
         const std::vector<std::string> &command,
         Stdout stdoutTo = Stdout::Pipe,
         std::size_t readLimit = std::numeric_limits<std::size_t>::max(),
         const OutputSink &sink = {});

#endif
