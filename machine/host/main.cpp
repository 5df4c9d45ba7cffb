// r3krun: runs a MIPS-I program on the stand-in machine.
#include "r3k/cli.h"

int main(int argc, char** argv) { return r3k::run_command_line(argc, argv); }
