//===- roster: print the employee roster as a table -----------------------===//
//
// Loads the roster file of the current directory and prints it as a
// fixed-width table on standard output, showing a terminal only what it can
// draw. Arguments are ignored; roster(1) gives the messages and statuses.
//
//===----------------------------------------------------------------------===//

#include "app/roster_file.h"
#include "report/print_employees.h"
#include "roster/read_csv.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

static int loadAndPrint() {
  const std::string path = RosterFile;
  LoadStatus status = LoadStatus::Loaded;
  const std::vector<Employee> employees = readCSV(path, status);
  // What a file or a pipe gets is the roster's bytes; what a terminal gets,
  // what it can draw.
  const RowBytes rowBytes =
      isatty(STDOUT_FILENO) != 0 ? RowBytes::SafeForTerminal : RowBytes::AsHeld;
  printEmployees(employees, std::cout, rowBytes);
  if (std::cout.fail()) {
    std::cerr << "Error: Could not write the report!\n";
    return EXIT_FAILURE;
  }
  return linesLeftOut(status) ? EXIT_FAILURE : EXIT_SUCCESS;
}

// Ends the run when memory runs out, wherever that happens: with the message
// and status 1, as GNU tools do, rather than an abort and a core dump. It
// needs no memory of its own, as throwing std::bad_alloc would, so it works
// however little is left. Rows already written stay; a roster still loading
// has printed none.
[[noreturn]] static void outOfMemory() {
  constexpr std::string_view Message = "Error: Out of memory!\n";
  [[maybe_unused]] const ssize_t written =
      write(STDERR_FILENO, Message.data(), Message.size());
  _exit(EXIT_FAILURE);
}

int main() {
  std::set_new_handler(outOfMemory);
  // Unhooked from C stdio, libstdc++'s standard streams write through file
  // buffers of their own, which retry a write(2) that a signal interrupted and
  // go on after a partial one; stdio reports the first as a failure and drops
  // what it held. The standard leaves this to the library.
  std::ios_base::sync_with_stdio(false);
  return loadAndPrint();
}
