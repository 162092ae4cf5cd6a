//===- roster_bench: how fast roster prints big rosters -------------------===//
//
// Times roster against the references on invented rosters, with the output
// into a pipe, and counts its instructions per record under callgrind. The
// method, the usage and the figures are in bench/README.md.
//
//===----------------------------------------------------------------------===//

#include "app/roster_file.h"
#include "support/generate_roster.h"
#include "support/run.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

static constexpr std::size_t ProfiledRecords = 100'000;

// The floor: `path` on standard output, one write(2) a line.
static int writeBackByLine(const fs::path &path) {
  const std::string text = readFile(path);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n') + 1);
    if (line.empty())
      line = rest;
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

[[noreturn]] static void fail(const std::string &message) {
  std::cerr << "roster_bench: " << message << '\n';
  std::exit(2);
}

static Outcome runOrFail(const std::vector<std::string> &command,
                         const fs::path &dir, const OutputSink &sink) {
  Outcome outcome = runInDir(dir, command, Stdout::Pipe, std::size_t(-1), sink);
  if (outcome.status != 0)
    fail(command[0] + " failed in " + dir.string() + ": " + outcome.err);
  return outcome;
}

// The median of one figure of `outcomes`.
static double median(const std::vector<Outcome> &outcomes,
                     double Outcome::*figure) {
  std::vector<double> values(outcomes.size());
  std::transform(outcomes.begin(), outcomes.end(), values.begin(),
                 [figure](const Outcome &outcome) { return outcome.*figure; });
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// What roster executes per record under callgrind, start-up included: unlike
// seconds, a count that does not swing from run to run.
static void printInstructionsPerRecord(const fs::path &dir,
                                       std::size_t records) {
  const fs::path profile = dir / "callgrind.out";
  runOrFail({"valgrind", "--tool=callgrind", "--quiet",
             "--callgrind-out-file=" + profile.string(), RosterExe},
            dir, [](std::string_view) {});
  std::ifstream file(profile);
  for (std::string line; std::getline(file, line);)
    if (line.rfind("totals: ", 0) == 0) {
      std::printf("%zu records: %.0f instructions per record under callgrind\n",
                  records, std::stod(line.substr(8)) / double(records));
      return;
    }
  fail("no totals in " + profile.string());
}

struct Program {
  const char *name;
  std::vector<std::string> command;
};

static void benchmark(const fs::path &dir, std::size_t records, int runs) {
  fs::create_directories(dir);
  generateRoster(dir / RosterFile, records);
  const fs::path report = dir / "report.txt";
  std::vector<Program> programs = {
      {"roster", {RosterExe}},
      {"floor", {fs::read_symlink("/proc/self/exe"), "floor", report}}};
  for (const char *awk : {"mawk", "gawk"})
    if (std::system(
            ("command -v " + std::string(awk) + " >/dev/null").c_str()) == 0)
      programs.push_back(
          {awk, {"env", "LC_ALL=C", awk, "-f", ROSTER_AWK, dir / RosterFile}});
  {
    std::ofstream file(report, std::ios::binary);
    runOrFail(programs[0].command, dir, [&file](std::string_view piece) {
      file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    });
  }
  for (const Program &program : programs) {
    std::ifstream expected(report, std::ios::binary);
    bool same = true;
    std::string wanted;
    runOrFail(program.command, dir, [&](std::string_view piece) {
      wanted.resize(piece.size());
      expected.read(wanted.data(), static_cast<std::streamsize>(piece.size()));
      same = same && expected && piece == wanted;
    });
    if (!same || expected.peek() != std::ifstream::traits_type::eof())
      fail(std::string(program.name) + " differs from roster in " +
           dir.string());
  }

  // Interleaved, so that a slow spell of the machine hits every program.
  std::vector<std::vector<Outcome>> outcomes(programs.size());
  for (int run = 0; run < runs; ++run)
    for (std::size_t p = 0; p < programs.size(); ++p)
      outcomes[p].push_back(
          runOrFail(programs[p].command, dir, [](std::string_view) {}));
  std::vector<Outcome> medians;
  medians.reserve(outcomes.size());
  for (const std::vector<Outcome> &of : outcomes)
    medians.push_back({"", "", 0, median(of, &Outcome::wallSeconds),
                       median(of, &Outcome::userSeconds),
                       median(of, &Outcome::systemSeconds),
                       median(of, &Outcome::peakMiB)});
  const double inputMiB = double(fs::file_size(dir / RosterFile)) / (1 << 20);
  for (std::size_t p = 0; p < programs.size(); ++p) {
    const Outcome &m = medians[p];
    std::printf("%9zu  %-7s %7.3f %7.3f %7.3f %9.1f %6.2f %12.0f %8.2f\n",
                records, programs[p].name, m.wallSeconds, m.userSeconds,
                m.systemSeconds, m.peakMiB, m.peakMiB / inputMiB,
                double(records) / m.wallSeconds,
                m.wallSeconds / medians[1].wallSeconds);
  }
  std::fflush(stdout);
}

static int usage() {
  std::cerr << "usage: roster_bench run [--large] [--runs K] [--dir DIR]\n"
               "       roster_bench callgrind [N]\n";
  return 2;
}

// A whole number from 1 up, or 0 if `word` is none.
static std::size_t wholeNumber(const std::string &word) {
  const bool digits = !word.empty() && word.size() < 10 &&
                      std::all_of(word.begin(), word.end(),
                                  [](char c) { return c >= '0' && c <= '9'; });
  return digits ? std::stoul(word) : 0;
}

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "floor")
    return writeBackByLine(args[1]);
  if (!args.empty() && args[0] == "callgrind" && args.size() <= 2) {
    const std::size_t records =
        args.size() == 2 ? wholeNumber(args[1]) : ProfiledRecords;
    if (records == 0)
      return usage();
    const fs::path dir = scratchDir("callgrind");
    generateRoster(dir / RosterFile, records);
    printInstructionsPerRecord(dir, records);
    return 0;
  }
  if (args.empty() || args[0] != "run")
    return usage();

  std::vector<std::size_t> sizes = {10'000, ProfiledRecords, 1'000'000};
  std::size_t runs = 5;
  fs::path dir = scratchDir("run");
  for (std::size_t i = 1; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--large")
      sizes.push_back(3'000'000);
    else if (args[i] == "--runs" && hasValue && wholeNumber(args[i + 1]) > 0)
      runs = wholeNumber(args[++i]);
    else if (args[i] == "--dir" && hasValue)
      dir = args[++i];
    else
      return usage();
  }
  std::printf("median of %zu runs, output into a pipe; peak is the maximum "
              "resident set\n",
              runs);
  std::printf("%9s  %-7s %7s %7s %7s %9s %6s %12s %8s\n", "records", "program",
              "wall s", "user s", "sys s", "peak MiB", "/input", "records/s",
              "x floor");
  for (const std::size_t records : sizes)
    benchmark(dir / std::to_string(records), records, static_cast<int>(runs));
  if (std::system("valgrind --version >/dev/null 2>&1") == 0)
    printInstructionsPerRecord(dir / std::to_string(ProfiledRecords),
                               ProfiledRecords);
  return 0;
}
