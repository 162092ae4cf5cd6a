// Running roster under strace, to trace its calls on the roster or to hold
// one of them up, or make it fail, at a chosen moment.
#ifndef TESTS_TRACED_H
#define TESTS_TRACED_H

#include "app/roster_file.h"
#include "support/run.h"
#include "tests/skip.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class Strace : public testing::Test {
protected:
  void SetUp() override {
    if (std::system("strace -V >/dev/null 2>&1") != 0)
      SKIP_WITHOUT("strace");
  }

public:
  // Runs roster in `dir` under strace, logging to `log`, with `calls` traced
  // or faults injected on `path` only. LeakSanitizer, in a sanitizer build,
  // cannot run under ptrace.
  static Outcome run(const std::filesystem::path &dir, const std::string &calls,
                     const std::filesystem::path &path,
                     const std::filesystem::path &log = "/dev/null",
                     Stdout stdoutTo = Stdout::Pipe) {
    return runInDir(dir,
                    {"strace", "-o", log.string(), "-E",
                     "ASAN_OPTIONS=detect_leaks=0", "-e", calls, "-P",
                     path.string(), RosterExe},
                    stdoutTo);
  }

  // What each `call` on the roster (read, or pread64, the counting pass's)
  // that a strace log shows returned, the one under way, if any, as 0.
  static std::vector<long> readsIn(const std::filesystem::path &log,
                                   const std::string &call = "read") {
    const std::string trace = readFile(log);
    std::vector<long> reads;
    for (std::size_t at = 0;
         (at = trace.find(call + "(", at)) != std::string::npos; ++at) {
      const std::size_t result = trace.find(" = ", at);
      reads.push_back(std::atol(trace.c_str() + result + 3));
    }
    return reads;
  }

  // How many readings of the roster a strace log of all its calls on it
  // shows: each asks for its status as it begins and, unless a read fails,
  // as it ends.
  static std::size_t readingsIn(const std::filesystem::path &log) {
    return (readsIn(log, "statx").size() + 1) / 2;
  }

  // Runs roster in `dir` with its `nth` `call` on the roster (read, or
  // pread64) held up, and makes `change` while that call waits: the change
  // takes a few milliseconds, the hold is a hundred times that. With
  // `every`, so again at every `every` calls after the `nth`.
  static Outcome changedWhileRead(const std::filesystem::path &dir,
                                  std::size_t nth,
                                  const std::function<void()> &change,
                                  const std::string &call = "read",
                                  std::size_t every = 0) {
    const std::filesystem::path log = dir.string() + ".strace";
    std::filesystem::remove(log); // an earlier log would set the change off
    std::atomic<bool> ended = false;
    std::thread changer([&] {
      for (std::size_t next = nth; !ended; next += every) {
        while (!ended && readsIn(log, call).size() < next)
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!ended)
          change();
        if (every == 0)
          break;
      }
    });
    std::string injection =
        "inject=" + call + ":delay_enter=200ms:when=" + std::to_string(nth);
    if (every > 0)
      injection.append("+").append(std::to_string(every));
    Outcome outcome = run(dir, injection, dir / RosterFile, log);
    ended = true;
    changer.join();
    return outcome;
  }
};

// The first employee of `roster` moved to its end: the same size, other line
// breaks.
inline std::string firstMovedToEnd(const std::string &roster) {
  const std::size_t first = roster.find('\n') + 1;
  const std::size_t second = roster.find('\n', first) + 1;
  return roster.substr(0, first) + roster.substr(second) +
         roster.substr(first, second - first);
}

// The roster at `path` mapped shared, every page of it stored to once, so
// that later stores move neither of its times until the pages are written
// back; null where it cannot be mapped.
inline char *mapDirtied(const std::filesystem::path &path, std::size_t size) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  void *const map =
      mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED)
    return nullptr;
  auto *const bytes = static_cast<volatile char *>(map);
  for (std::size_t at = 0; at < size; at += 4096)
    bytes[at] = bytes[at];
  return static_cast<char *>(map);
}

#endif
