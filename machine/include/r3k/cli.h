// r3krun's command line: r3krun [options] PROGRAM [ARGS...]
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "r3k/gdb_connection.h"
#include "r3k/machine.h"
#include "r3k/options.h"

namespace r3k {

// r3krun's own exit statuses besides kExitBudget (otherwise the guest's
// status & 0xff, or 128 + signal).
inline constexpr int kExitInternal = 70;  // a fault of r3krun itself (sysexits' EX_SOFTWARE)
inline constexpr int kExitUsage = 125;
inline constexpr int kExitNotRunnable = 126;
inline constexpr int kExitCannotOpen = 127;

// A command line r3krun cannot act on; what() is one line.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Command {
  Options options;
  std::vector<std::string> argv;     // PROGRAM as given, then its arguments
  std::string trace_file;            // --trace-file: opened by run_command_line
  std::optional<gdb::Endpoint> gdb;  // --gdb: where to wait for the debugger
  bool help = false;                 // --help or --version: printed, nothing to run
};

// Options end at the program name; everything after it is the guest's.
// Throws UsageError; prints the usage on --help and the version on
// --version.
Command parse_command_line(int argc, const char* const* argv);

// The whole of r3krun; returns its exit status (docs/r3krun.md: exit statuses).
int run_command_line(int argc, const char* const* argv);

}  // namespace r3k
