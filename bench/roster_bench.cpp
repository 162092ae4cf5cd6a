//===- roster_bench: how fast roster prints big rosters -------------------===//
//
// Generates synthetic rosters, checks that the references print exactly the
// bytes roster prints, then times roster against them, output into a pipe:
//   - the floor: the finished report written back one write(2) per line, the
//     least any tool that flushes every line can do;
//   - roster.awk: the same table from awk, flushing every line.
//
//   roster_bench generate N       a roster of N employees on standard output
//   roster_bench floor FILE       FILE on standard output, one write(2) a line
//   roster_bench run [--large] [--runs K] [--dir DIR]
//                                 the table for 10k, 100k, 1M (and 3M) records,
//                                 then roster's instructions per record
//   roster_bench callgrind [N]    roster's instructions per record on a roster
//                                 of N employees (100,000), under callgrind
//
// The rosters are generated in a directory of their own under TMPDIR, removed
// at the end; with --dir DIR they are kept in DIR.
//
//===----------------------------------------------------------------------===//

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

// splitmix64: the same numbers on every platform, unlike <random>'s
// distributions.
static std::uint64_t nextRandom(std::uint64_t &state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15U);
  z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9U;
  z = (z ^ (z >> 27U)) * 0x94D049BB133111EBU;
  return z ^ (z >> 31U);
}

static constexpr std::array<std::string_view, 16> FirstNames = {
    "Aisha", "Benjamin", "Chloe",  "Daniel",    "Elena",   "Farid",
    "Grace", "Hiroshi",  "Isabel", "Jun Wei",   "Kavitha", "Liam",
    "Mei",   "Nikhil",   "Olivia", "Alexandria"};
static constexpr std::array<std::string_view, 16> LastNames = {
    "Abdullah", "Bennett", "Chua", "Davidson",      "Edwards", "Fernandes",
    "Goh",      "Iyer",    "Kaur", "Krishnamurthy", "Lim",     "Menon",
    "Ong",      "Tan",     "Wong", "Zulkifli"};

static std::string mailbox(std::string_view name) {
  std::string box;
  for (const char c : name)
    if (c != ' ')
      box += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return box;
}

// About 97 bytes a line, like a real export; one employee in ten has a
// double-barrelled name long enough to overflow the Name or Email column.
static void generate(std::size_t count, std::ostream &out) {
  std::uint64_t state = 2026;
  const auto pick = [&state](std::size_t n) {
    return static_cast<std::size_t>(nextRandom(state) % n);
  };
  out << "No,Name,Email,IC,Phone,HiredDate,BirthDate\n";
  std::array<char, 96> numbers{};
  for (std::size_t i = 1; i <= count; ++i) {
    const std::string_view first = FirstNames[pick(FirstNames.size())];
    std::string last(LastNames[pick(LastNames.size())]);
    if (pick(10) == 0)
      last += "-" + std::string(LastNames[pick(LastNames.size())]) +
              " van der " + std::string(LastNames[pick(LastNames.size())]);
    std::snprintf(numbers.data(), numbers.size(),
                  "S%07zu%c,+65 9%03zu %04zu,20%02zu-%02zu-%02zu,"
                  "19%02zu-%02zu-%02zu",
                  pick(10'000'000), static_cast<char>('A' + pick(26)),
                  pick(1000), pick(10'000), pick(26), 1 + pick(12),
                  1 + pick(28), 60 + pick(40), 1 + pick(12), 1 + pick(28));
    out << i << ',' << first << ' ' << last << ',' << mailbox(first) << '.'
        << mailbox(last) << "@example.com," << numbers.data() << '\n';
  }
}

static int floorCopy(const char *path) {
  std::ifstream file(path, std::ios::binary);
  std::string text(fs::file_size(path), '\0');
  if (!file.read(text.data(), static_cast<std::streamsize>(text.size())))
    return 1;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size() - 1);
    std::string_view line = rest.substr(0, end + 1);
    rest.remove_prefix(line.size());
    while (!line.empty()) {
      const ssize_t written = write(1, line.data(), line.size());
      if (written < 0)
        return 1;
      line.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  return 0;
}

namespace {
struct Sample {
  double wall = 0;
  double user = 0;
  double sys = 0;
  double peakMiB = 0;
};

struct Program {
  std::string name;
  std::vector<std::string> command;
};
} // namespace

static double seconds(const timeval &time) {
  return static_cast<double>(time.tv_sec) +
         static_cast<double>(time.tv_usec) / 1e6;
}

// Runs `command` in `dir` with its output into a pipe that is read as fast
// as it fills, handing each piece read to `consume`. This process stays
// small: a child's peak resident set counts what it shared before exec.
static Sample runPiped(const std::vector<std::string> &command,
                       const fs::path &dir,
                       const std::function<void(std::string_view)> &consume) {
  std::array<int, 2> pipeFds{};
  if (pipe(pipeFds.data()) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    argv.reserve(command.size() + 1);
    for (const std::string &word : command)
      argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    if (dup2(pipeFds[1], 1) < 0 || chdir(dir.c_str()) != 0)
      _exit(126);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::vector<char> chunk(1 << 20);
  for (;;) {
    const ssize_t got = read(pipeFds[0], chunk.data(), chunk.size());
    if (got <= 0)
      break;
    consume({chunk.data(), static_cast<std::size_t>(got)});
  }
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const std::chrono::duration<double> wall =
      std::chrono::steady_clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << command[0] << " failed in " << dir << '\n';
    std::exit(2);
  }
  return {wall.count(), seconds(usage.ru_utime), seconds(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) / 1024};
}

static double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Writes a roster of `records` generated employees into `dir`.
static fs::path generateInto(const fs::path &dir, std::size_t records) {
  fs::create_directories(dir);
  fs::path roster = dir / "sample-50-recs.csv";
  std::ofstream file(roster, std::ios::binary);
  generate(records, file);
  return roster;
}

// What roster executes per record under callgrind, start-up included: unlike
// seconds, a count that does not swing from run to run.
static double instructionsPerRecord(std::size_t records, const fs::path &dir) {
  const fs::path profile = dir / "callgrind.out";
  runPiped({"valgrind", "--tool=callgrind", "--quiet",
            "--callgrind-out-file=" + profile.string(), ROSTER_EXE},
           dir, [](std::string_view) {});
  std::ifstream file(profile);
  for (std::string line; std::getline(file, line);)
    if (line.rfind("totals: ", 0) == 0)
      return std::stod(line.substr(8)) / static_cast<double>(records);
  std::cerr << "no totals in " << profile << '\n';
  std::exit(2);
}

static void printInstructionsPerRecord(std::size_t records,
                                       const fs::path &dir) {
  std::printf("%zu records: %.0f instructions per record under callgrind\n",
              records, instructionsPerRecord(records, dir));
}

static void benchmark(std::size_t records, int runs, const fs::path &dir,
                      const std::string &self) {
  const fs::path roster = generateInto(dir, records);
  const fs::path report = dir / "report.txt";
  const std::vector<Program> programs = {
      {"roster", {ROSTER_EXE}},
      {"floor", {self, "floor", report.string()}},
      {"awk", {"env", "LC_ALL=C", "awk", "-f", ROSTER_AWK, roster.string()}}};
  {
    std::ofstream file(report, std::ios::binary);
    runPiped(programs[0].command, dir, [&file](std::string_view piece) {
      file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    });
  }
  for (const Program &program : programs) {
    std::ifstream expected(report, std::ios::binary);
    bool same = true;
    std::string wanted;
    runPiped(program.command, dir, [&](std::string_view piece) {
      wanted.resize(piece.size());
      expected.read(wanted.data(), static_cast<std::streamsize>(piece.size()));
      same = same && expected && piece == wanted;
    });
    if (!same || expected.peek() != std::char_traits<char>::eof()) {
      std::cerr << program.name << " differs from roster on " << roster << '\n';
      std::exit(1);
    }
  }

  // Interleaved, so that a slow spell of the machine hits every program.
  std::vector<std::vector<Sample>> samples(programs.size());
  for (int run = 0; run < runs; ++run)
    for (std::size_t p = 0; p < programs.size(); ++p)
      samples[p].push_back(
          runPiped(programs[p].command, dir, [](std::string_view) {}));

  std::vector<Sample> medians;
  for (const std::vector<Sample> &runsOf : samples) {
    const auto each = [&runsOf](double Sample::*field) {
      std::vector<double> values;
      values.reserve(runsOf.size());
      for (const Sample &sample : runsOf)
        values.push_back(sample.*field);
      return median(values);
    };
    medians.push_back({each(&Sample::wall), each(&Sample::user),
                       each(&Sample::sys), each(&Sample::peakMiB)});
  }
  const double inputMiB =
      static_cast<double>(fs::file_size(roster)) / (1 << 20);
  for (std::size_t p = 0; p < programs.size(); ++p) {
    const Sample &m = medians[p];
    std::printf("%9zu  %-7s %7.3f %7.3f %7.3f %9.1f %6.2f %12.0f %8.2f %7.2f\n",
                records, programs[p].name.c_str(), m.wall, m.user, m.sys,
                m.peakMiB, m.peakMiB / inputMiB,
                static_cast<double>(records) / m.wall, m.wall / medians[1].wall,
                m.wall / medians[2].wall);
  }
  std::fflush(stdout);
}

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "generate") {
    std::ios::sync_with_stdio(false);
    generate(std::stoul(args[1]), std::cout);
    return std::cout.flush() ? 0 : 1;
  }
  if (args.size() == 2 && args[0] == "floor")
    return floorCopy(args[1].c_str());
  const bool callgrind = !args.empty() && args[0] == "callgrind";
  if (args.empty() || (args[0] != "run" && !callgrind)) {
    std::cerr << "usage: roster_bench generate N | floor FILE |"
                 " run [--large] [--runs K] [--dir DIR] | callgrind [N]\n";
    return 2;
  }

  constexpr std::size_t ProfiledRecords = 100'000;
  std::vector<std::size_t> sizes = {10'000, ProfiledRecords, 1'000'000};
  int runs = 5;
  fs::path dir;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--large")
      sizes.push_back(3'000'000);
    else if (args[i] == "--runs" && i + 1 < args.size())
      runs = std::max(1, std::stoi(args[++i]));
    else if (args[i] == "--dir" && i + 1 < args.size())
      dir = args[++i];
  }
  const bool keep = !dir.empty();
  if (!keep) {
    std::string name = fs::temp_directory_path() / "roster-bench-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
      std::perror(name.c_str());
      return 2;
    }
    dir = name;
  }

  if (callgrind) {
    const std::size_t records =
        args.size() == 2 ? std::stoul(args[1]) : ProfiledRecords;
    generateInto(dir, records);
    printInstructionsPerRecord(records, dir);
  } else {
    const std::string self = fs::read_symlink("/proc/self/exe");
    std::printf("median of %d runs, output into a pipe; peak is the maximum "
                "resident set\n",
                runs);
    std::printf("%9s  %-7s %7s %7s %7s %9s %6s %12s %8s %7s\n", "records",
                "program", "wall s", "user s", "sys s", "peak MiB", "/input",
                "records/s", "x floor", "x awk");
    for (const std::size_t records : sizes)
      benchmark(records, runs, dir / std::to_string(records), self);
    if (std::system("valgrind --version >/dev/null 2>&1") == 0)
      printInstructionsPerRecord(ProfiledRecords,
                                 dir / std::to_string(ProfiledRecords));
  }
  if (!keep)
    fs::remove_all(dir);
  return 0;
}
