// Unit tests of the reader: the heading, the splitting of lines into
// records, the trimming of the last column, reads cut anywhere, read errors
// and the record limit. Rosters reach it through a real file descriptor.
#include "roster/read_csv.h"
#include "support/memory_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;

using Fields = std::array<std::string, 6>;

static Fields fieldsOf(const Employee &e) {
  return {e.name, e.email, e.ic, e.phone, e.hiredDate, e.birthDate};
}

// The fields of the one record that `line` makes, after a heading.
static Fields fieldsOfLine(const std::string &line) {
  LoadStatus status{};
  const std::vector<Employee> employees =
      readRosterFrom("heading\n" + line + "\n", status);
  if (employees.size() != 1)
    return {"not one record"};
  return fieldsOf(employees[0]);
}

TEST(ReadCSV, SplitsEveryCommaAndTrimsOnlyTheLastColumn) {
  const std::pair<std::string, Fields> cases[] = {
      {"1,Ann Lee,ann@example.com,S1234567A,+65 9123 "
       "4567,2020-01-02,1990-03-04",
       {"Ann Lee", "ann@example.com", "S1234567A", "+65 9123 4567",
        "2020-01-02", "1990-03-04"}},
      {"", {}},
      {"no comma", {}},
      {"\r", {}},
      {"1,Ann", {"Ann"}},
      {"1,Ann,", {"Ann"}},
      {",,,,,,", {}},
      {"1,,b,c", {"", "b", "c"}},
      {"1,Ann,a@example.com,S1\r", {"Ann", "a@example.com", "S1\r"}},
      {"1, Ann , a ,S1 ,\t+65,2020 , \t1990 \r",
       {" Ann ", " a ", "S1 ", "\t+65", "2020 ", "1990"}},
      {"1,\"Lee, Ann\",x", {"\"Lee", " Ann\"", "x"}},
      {"1,a,b,c,d,e,f,g,h", {"a", "b", "c", "d", "e", "f"}},
      {"1,a\0b,c,d,e,f, \0 "s, {"a\0b"s, "c", "d", "e", "f", "\0"s}},
  };
  for (const auto &[line, fields] : cases)
    EXPECT_EQ(fieldsOfLine(line), fields) << testing::PrintToString(line);
}

// Spaces, tabs and carriage returns go from both ends of BirthDate; a line
// feed cannot reach it, as it ends the line.
TEST(ReadCSV, TrimsOnlyBlanksFromTheEndsOfBirthDate) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {" \t\r \r", ""},
      {"1990-01-02", "1990-01-02"},
      {" \t1990-01-02\r", "1990-01-02"},
      {" 19 \t 90 ", "19 \t 90"},
      {"\v1990\f", "\v1990\f"},
      {"\xC2\xA0"
       "1990\xC2\xA0",
       "\xC2\xA0"
       "1990\xC2\xA0"},
      {" \0x\0 "s, "\0x\0"s},
  };
  for (const auto &[text, trimmed] : cases)
    EXPECT_EQ(fieldsOfLine(",,,,,," + text)[5], trimmed)
        << testing::PrintToString(text);
}

TEST(ReadCSV, SkipsTheHeadingAndNumbersEveryFurtherLine) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},         {"heading", 0},        {"heading\n", 0},
      {"\n", 0},       {"h\n\n", 1},          {"h\na\n\nb", 3},
      {"h\na\n\n", 2}, {"h\r\na\r\n\r\n", 2}, {"1,x\n2,y\n", 1},
  };
  for (const auto &[text, count] : cases) {
    LoadStatus status{};
    const std::vector<Employee> employees = readRosterFrom(text, status);
    EXPECT_EQ(status, LoadStatus::Loaded);
    ASSERT_EQ(employees.size(), count) << testing::PrintToString(text);
    for (std::size_t i = 0; i < count; ++i)
      EXPECT_EQ(employees[i].idx, static_cast<std::int32_t>(i));
  }
}

// Reads of 1 to 8 bytes, each line feed beginning a read after a partial
// line, give the records of one big read: a heading across reads, lines and
// blank lines, all numbered.
TEST(ReadCSV, ReadsCutAnywhereGiveTheSameRecords) {
  constexpr std::size_t BlankLines = 20'000;
  const std::string roster =
      "No,Name,Email,IC\n1,Ann Lee,ann@example.com,S1,+65,2020, 1990\r\n" +
      std::string(BlankLines, '\n') +
      "2,Ben\n3,\"Lee, Ann\",x\n,,,,,,\t\n4,last";
  LoadStatus status{};
  const std::vector<Employee> whole = readRosterFrom(roster, status);
  ASSERT_EQ(whole.size(), BlankLines + 5);
  const std::vector<Employee> cut =
      readRosterFrom(roster, status, readInPieces);
  EXPECT_EQ(status, LoadStatus::Loaded);
  ASSERT_EQ(cut.size(), whole.size());
  for (std::size_t i = 0; i < cut.size(); ++i) {
    ASSERT_EQ(cut[i].idx, static_cast<std::int32_t>(i));
    ASSERT_EQ(fieldsOf(cut[i]), fieldsOf(whole[i])) << i;
  }
}

// The byte after `text` cannot be read.
TEST(ReadCSV, KeepsTheWholeLinesReadBeforeAReadError) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0}, {"h\n", 0}, {"h\n1,a\n2,b\n", 2}, {"h\n1,a\n2,b\n3,partial", 2}};
  for (const auto &[text, count] : cases) {
    LoadStatus status{};
    EXPECT_EQ(readRosterFrom(text + "\n", status, readFailingAtLastByte).size(),
              count)
        << text;
    EXPECT_EQ(status, LoadStatus::ReadFailed) << text;
  }
}

TEST(ReadCSV, StopsAtTheRecordLimitOnlyWhenALineIsLeftOver) {
  LoadStatus status{};
  EXPECT_EQ(readRosterFrom("h\na\nb\n", status, ::read, 2).size(), 2U);
  EXPECT_EQ(status, LoadStatus::Loaded);
  EXPECT_EQ(readRosterFrom("h\na\nb\n\n", status, ::read, 2).size(), 2U);
  EXPECT_EQ(status, LoadStatus::TooManyRecords);
  EXPECT_EQ(loadMessage(status), "Error: Too many records in the file!\n");
}
