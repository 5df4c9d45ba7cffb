// r3krun --gdb: the first process of a machine under a debugger on a
// connection, through the protocol layer (gdb_stub.h).
#pragma once

#include "r3k/gdb_connection.h"
#include "r3k/machine.h"

namespace r3k {

// Serves the debugger on conn from the first process's first instruction
// until it kills, detaches or goes away (a lost connection kills the
// processes, as quitting gdb would).  Every other process runs whenever the
// first one does and stops with it.  Afterwards machine.run() finishes the
// run: the rest of a detached program, the children of one that exited.
void serve_debugger(Machine& machine, gdb::Connection& conn);

}  // namespace r3k
