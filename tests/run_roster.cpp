// Running the built roster in a scratch directory, as a user's shell would.
#include "run_roster.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

fs::path scratchDir(const std::string &name) {
  fs::path dir = fs::path(testing::TempDir()) / ("roster-" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string readFile(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A file beside `dir`, out of sight of the command run in it.
static fs::path besideDir(const fs::path &dir, const char *extension) {
  return dir.parent_path() / (dir.filename().string() + extension);
}

fs::path stdoutFile(const fs::path &dir) { return besideDir(dir, ".out"); }

// In the forked child: wires up the standard streams and execs; never returns.
[[noreturn]] static void execInDir(const fs::path &dir,
                                   const std::vector<std::string> &command,
                                   Stdout stdoutTo, int pipeEnd,
                                   const fs::path &errPath) {
  // Like a shell, run the command with SIGPIPE at its default disposition.
  std::signal(SIGPIPE, SIG_DFL);
  int outFd = pipeEnd;
  if (stdoutTo == Stdout::File)
    outFd = open(stdoutFile(dir).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  else if (stdoutTo == Stdout::DevFull)
    outFd = open("/dev/full", O_WRONLY);
  const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (outFd < 0 || errFd < 0 || dup2(errFd, 2) < 0 || chdir(dir.c_str()) < 0)
    _exit(125);
  if (stdoutTo == Stdout::Closed ? close(1) < 0 : dup2(outFd, 1) < 0)
    _exit(125);
  // The command gets its standard streams and no other descriptor of ours.
  for (const int fd : {outFd, errFd, pipeEnd})
    if (fd > 2)
      close(fd);
  std::vector<char *> argv;
  argv.reserve(command.size() + 1);
  for (const std::string &word : command)
    argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

Outcome runInDir(const fs::path &dir, const std::vector<std::string> &command,
                 Stdout stdoutTo, std::size_t readLimit) {
  const fs::path errPath = besideDir(dir, ".err");
  std::array<int, 2> pipeFds{};
  if (pipe(pipeFds.data()) != 0)
    return {"", "pipe failed", -1};
  const pid_t pid = fork();
  if (pid < 0)
    return {"", "fork failed", -1};
  if (pid == 0) {
    close(pipeFds[0]);
    execInDir(dir, command, stdoutTo, pipeFds[1], errPath);
  }
  close(pipeFds[1]);
  std::string out;
  std::array<char, 1 << 16> chunk{};
  while (out.size() < readLimit) {
    const ssize_t got = read(pipeFds[0], chunk.data(),
                             std::min(chunk.size(), readLimit - out.size()));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    out.append(chunk.data(), static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  const int status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (stdoutTo == Stdout::File)
    out = readFile(stdoutFile(dir));
  return {out, readFile(errPath), status};
}
