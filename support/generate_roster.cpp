// Invented rosters of any size, for the tests and the benchmark.
#include "support/generate_roster.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

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

void generateRoster(const std::filesystem::path &path, std::size_t count) {
  std::ofstream out(path, std::ios::binary);
  std::uint64_t state = 2026;
  const auto pick = [&state](std::size_t n) {
    return static_cast<std::size_t>(nextRandom(state) % n);
  };
  out << "No,Name,Email,IC,Phone,HiredDate,BirthDate\n";
  std::array<char, 96> numbers{};
  for (std::size_t i = 1; i <= count; ++i) {
    const std::string_view first = FirstNames[pick(FirstNames.size())];
    std::string last(LastNames[pick(LastNames.size())]);
    // Drawn in order: a chain of calls and a braced list are evaluated left
    // to right, unlike the operands of + and the arguments of a call, whose
    // order differs from compiler to compiler.
    if (pick(10) == 0)
      last.append("-")
          .append(LastNames[pick(LastNames.size())])
          .append(" van der ")
          .append(LastNames[pick(LastNames.size())]);
    const std::array<std::size_t, 10> drawn = {
        pick(10'000'000), pick(26), pick(1000), pick(10'000), pick(26),
        pick(12),         pick(28), pick(40),   pick(12),     pick(28)};
    std::snprintf(numbers.data(), numbers.size(),
                  "S%07zu%c,+65 9%03zu %04zu,20%02zu-%02zu-%02zu,"
                  "19%02zu-%02zu-%02zu",
                  drawn[0], static_cast<char>('A' + drawn[1]), drawn[2],
                  drawn[3], drawn[4], 1 + drawn[5], 1 + drawn[6], 60 + drawn[7],
                  1 + drawn[8], 1 + drawn[9]);
    out << i << ',' << first << ' ' << last << ',' << mailbox(first) << '.'
        << mailbox(last) << "@example.com," << numbers.data() << '\n';
  }
}
