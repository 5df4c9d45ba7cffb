// Signals as r3krun numbers them (a MIPS Linux kernel's numbering): the
// one list that fault reports, traces, exit and wait statuses and the
// debugger's stop replies use.  The host's <csignal> names are macros,
// hence the prefix (kSIGSEGV), as the error numbers have it.
#pragma once

#include <string>
#include <string_view>

namespace r3k {

// X(name, number, gdb's number for it: the remote protocol numbers
// signals its own way, the same as this up to SIGTERM).
// clang-format off
#define R3K_SIGNALS(X)                                                                             \
  X(SIGHUP, 1, 1)     X(SIGINT, 2, 2)     X(SIGQUIT, 3, 3)    X(SIGILL, 4, 4)     X(SIGTRAP, 5, 5)  \
  X(SIGABRT, 6, 6)    X(SIGEMT, 7, 7)     X(SIGFPE, 8, 8)     X(SIGKILL, 9, 9)    X(SIGBUS, 10, 10) \
  X(SIGSEGV, 11, 11)  X(SIGSYS, 12, 12)   X(SIGPIPE, 13, 13)  X(SIGALRM, 14, 14)  X(SIGTERM, 15, 15) \
  X(SIGUSR1, 16, 30)  X(SIGUSR2, 17, 31)  X(SIGCHLD, 18, 20)  X(SIGPWR, 19, 32)   X(SIGWINCH, 20, 28) \
  X(SIGURG, 21, 16)   X(SIGIO, 22, 23)    X(SIGSTOP, 23, 17)  X(SIGTSTP, 24, 18)  X(SIGCONT, 25, 19) \
  X(SIGTTIN, 26, 21)  X(SIGTTOU, 27, 22)  X(SIGVTALRM, 28, 26) X(SIGPROF, 29, 27) X(SIGXCPU, 30, 24) \
  X(SIGXFSZ, 31, 25)
// clang-format on

enum Signal : int {
#define R3K_SIGNAL_ENUM(name, number, gdb) k##name = number,
  R3K_SIGNALS(R3K_SIGNAL_ENUM)
#undef R3K_SIGNAL_ENUM
};

struct SignalRow {
  int number;
  std::string_view name;
  int gdb;
};
inline constexpr SignalRow kSignalRows[] = {
#define R3K_SIGNAL_ROW(name, number, gdb) {number, #name, gdb},
    R3K_SIGNALS(R3K_SIGNAL_ROW)
#undef R3K_SIGNAL_ROW
};

// "SIGSEGV" for 11; "SIG<n>" for a number without a name (a debugger may
// deliver any).
inline std::string signal_name(int signal) {
  for (const SignalRow& s : kSignalRows)
    if (s.number == signal) return std::string(s.name);
  return "SIG" + std::to_string(signal);
}

// gdb's number for a signal and back; 0 (no signal) where the other side
// has none.
constexpr int to_gdb_signal(int signal) {
  for (const SignalRow& s : kSignalRows)
    if (s.number == signal) return s.gdb;
  return 0;
}
constexpr int from_gdb_signal(int gdb_signal) {
  for (const SignalRow& s : kSignalRows)
    if (s.gdb == gdb_signal) return s.number;
  return 0;
}

// The status of a process a signal killed, as r3krun exits with it and a
// raw wait status holds it: 128 + the signal.
constexpr int killed_status(int signal) { return 128 + signal; }

}  // namespace r3k
