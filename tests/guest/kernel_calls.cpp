// Links every kernel-call stub, errno and __argv, so tests can call each one by name.
#include <errno.h>
#include <r3k/runtime.h>
#include <unistd.h>

namespace {
// The table keeps the linker from discarding stubs nothing else calls.
void (*volatile const stubs[])() = {
#define R3K_SYSCALL(number, name) reinterpret_cast<void (*)()>(name),
#include <r3k/syscalls.def>
#undef R3K_SYSCALL
};
}  // namespace

int main(int argc, char **) { return stubs[argc % 33] != nullptr && errno == 0 && __argv != nullptr ? 0 : 1; }
