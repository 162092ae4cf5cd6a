// Skipping a case that this machine lacks the tools or rights to run.
#ifndef TESTS_SKIP_H
#define TESTS_SKIP_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

// Whether the tests run in CI, which installs every tool and runs as root:
// there, a case that cannot run is a guard gone missing.
inline bool inCI() {
  const char *const ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0' && std::string_view(ci) != "false";
}

// Skips a case that needs `what`, or fails it in CI. A skip that is meant
// wherever it happens, such as under a sanitizer, is a plain GTEST_SKIP.
#define SKIP_WITHOUT(what)                                                     \
  do {                                                                         \
    if (inCI())                                                                \
      GTEST_FAIL() << "CI must run this case, but this machine lacks "         \
                   << (what);                                                  \
    GTEST_SKIP() << "needs " << (what);                                        \
  } while (false)

#endif
