// Running commands in a scratch directory, as a user's shell would.
#include "support/run.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <system_error>

namespace fs = std::filesystem;

fs::path scratchDir(const std::string &name) {
  // This process's own directory under TMPDIR, made on first use and removed
  // with everything in it when the process ends.
  static const fs::path root = [] {
    std::string path = fs::temp_directory_path() / "roster-scratch-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
      std::perror(path.c_str());
      std::abort();
    }
    return path;
  }();
  [[maybe_unused]] static const int removedAtExit = std::atexit([] {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  });
  fs::path dir = root / name;
  fs::create_directories(dir);
  return dir;
}

// Read at its size in one go, so that a big file is held once, not twice.
std::string readFile(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::error_code noSize;
  const std::uintmax_t size = fs::file_size(path, noSize);
  std::string text(noSize ? 0 : size, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  return text;
}

// A file beside `dir`, out of sight of the command run in it.
static fs::path besideDir(const fs::path &dir, const char *extension) {
  return dir.parent_path() / (dir.filename().string() + extension);
}

fs::path stdoutFile(const fs::path &dir) { return besideDir(dir, ".out"); }

// A pseudo-terminal, its master end first, in raw mode: its line discipline
// passes the bytes written to it as they are, with no CR added before a LF.
static bool openRawTerminal(std::array<int, 2> &ends) {
  if (openpty(ends.data(), &ends[1], nullptr, nullptr, nullptr) != 0)
    return false;
  termios mode{};
  if (tcgetattr(ends[1], &mode) == 0) {
    cfmakeraw(&mode);
    if (tcsetattr(ends[1], TCSANOW, &mode) == 0)
      return true;
  }
  close(ends[0]);
  close(ends[1]);
  return false;
}

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

static double seconds(const timeval &time) {
  return static_cast<double>(time.tv_sec) +
         static_cast<double>(time.tv_usec) / 1e6;
}

Outcome runInDir(const fs::path &dir, const std::vector<std::string> &command,
                 Stdout stdoutTo, std::size_t readLimit,
                 const OutputSink &sink) {
  const fs::path errPath = besideDir(dir, ".err");
  std::array<int, 2> pipeFds{}; // the end read here, the run's end
  if (stdoutTo == Stdout::Terminal ? !openRawTerminal(pipeFds)
                                   : pipe(pipeFds.data()) != 0)
    return {"", "pipe failed", -1, 0, 0, 0, 0};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0)
    return {"", "fork failed", -1, 0, 0, 0, 0};
  if (pid == 0) {
    close(pipeFds[0]);
    execInDir(dir, command, stdoutTo, pipeFds[1], errPath);
  }
  // Once the run has closed its end, a pipe reads as ended and a terminal's
  // master fails with EIO, after what was written has been read.
  close(pipeFds[1]);
  std::string out;
  std::array<char, 1 << 16> chunk{};
  for (std::size_t taken = 0; taken < readLimit;) {
    const ssize_t got = read(pipeFds[0], chunk.data(),
                             std::min(chunk.size(), readLimit - taken));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    const std::string_view piece(chunk.data(), static_cast<std::size_t>(got));
    if (sink)
      sink(piece);
    else
      out += piece;
    taken += piece.size();
  }
  close(pipeFds[0]);
  int wstatus = 0;
  rusage usage{};
  while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
  const std::chrono::duration<double> wall =
      std::chrono::steady_clock::now() - start;
  const int status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (stdoutTo == Stdout::File)
    out = readFile(stdoutFile(dir));
  return {out,
          readFile(errPath),
          status,
          wall.count(),
          seconds(usage.ru_utime),
          seconds(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) / 1024};
}
