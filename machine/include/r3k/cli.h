// r3krun's command line: r3krun [options] PROGRAM [ARGS...]
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "r3k/options.h"

namespace r3k {

// A command line r3krun cannot act on; what() is one line.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Command {
  Options options;
  std::vector<std::string> argv;  // PROGRAM as given, then its arguments
  bool help = false;              // --help: usage printed, nothing to run
};

// Options end at the program name; everything after it is the guest's.
// Throws UsageError; prints the usage on --help.
Command parse_command_line(int argc, const char* const* argv);

// The whole of r3krun; returns its exit status (README: exit statuses).
int run_command_line(int argc, const char* const* argv);

}  // namespace r3k
