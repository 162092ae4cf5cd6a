// Invented rosters of any size, for the tests and the benchmark.
#ifndef SUPPORT_GENERATE_ROSTER_H
#define SUPPORT_GENERATE_ROSTER_H

#include <cstddef>
#include <filesystem>

// Writes a heading and `count` invented employees to `path`, about 95 bytes
// a line, like a real export; one employee in ten has a double-barrelled
// name long enough to overflow the Name or Email column. The same bytes on
// every run and platform.
void generateRoster(const std::filesystem::path &path, std::size_t count);

#endif
