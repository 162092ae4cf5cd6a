// Running the built roster in a scratch directory, as a user's shell would.
#include "run_roster.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {
// The test process's own directory under TMPDIR, made on first use and
// removed with everything in it when the process ends.
struct ScratchRoot {
  fs::path path;
  ScratchRoot() {
    std::string name = fs::temp_directory_path() / "roster-test-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
      std::perror(name.c_str());
      std::abort();
    }
    path = name;
  }
  ScratchRoot(const ScratchRoot &) = delete;
  ScratchRoot &operator=(const ScratchRoot &) = delete;
  ~ScratchRoot() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};
} // namespace

fs::path scratchDir(const std::string &name) {
  static const ScratchRoot root;
  fs::path dir = root.path / name;
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
