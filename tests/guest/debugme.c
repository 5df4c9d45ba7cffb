/* Guest for the debugger sessions and the fault reports, built with -g -O0
   (and the compiler's division check) as docs/r3krun.md tells users to build
   a program they debug.  argv[1] picks what it does:
     (none)  a hot loop, then report(scale(...)): prints "result N", exits N
     fault   a null pointer load in deref()
     div     a 32-bit division by zero in divide()
     div64   a 64-bit division by zero (the compiler runtime's check)
     ro      a store to a read-only page in poke()
     stack   recursion until the stack runs out
     jump    a call through a pointer to data
     spin    calls tick() for ever
     fork    parent and child print letters through mark(), interleaved
     slot    a taken branch whose delay slot loads through a null pointer
             (after 100 good runs): exits 0 once the pointer is fixed, 1
             if the branch is lost
     wait    waits for a child that is still running: exits with what
             waitpid returned (the child's pid) */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

const int read_only[4] = {1, 2, 3, 4}; /* past -G 8: in .rodata */
unsigned int not_code[4];
char child_mark = 'c';
volatile int sink;

int scale(int value, int factor) { return value * factor; }

int report(int value) {
  printf("result %d\n", value);
  return value;
}

int deref(const int *p) { return *p; }

int divide(int a, int b) { return a / b; }

void poke(int *p) { *p = 2; }

int recurse(int n) {
  volatile char frame[256];
  frame[0] = (char)n;
  if (sink < 0) return 0;
  return recurse(n + 1) + frame[0];
}

void tick(int n) { sink = n; }

void mark(char c) { putchar(c); }

/* A branch always taken, its delay slot loading through p: returns 0, or
   1 should the branch be lost.  Written out to be sure of the slot. */
int slot_load(const int *p);
__asm__(
    ".text\n.globl slot_load\n.type slot_load, @function\n.ent slot_load\nslot_load:\n"
    ".set push\n.set noreorder\n"
    "  beq $zero, $zero, 1f\n"
    "  lw $t0, 0($a0)\n"
    "  jr $ra\n"
    "  addiu $v0, $zero, 1\n"
    "1:jr $ra\n"
    "  move $v0, $zero\n"
    ".set pop\n.end slot_load\n.size slot_load, . - slot_load\n");

int pick(int x) {
  if (x > 3) return 10;
  return 20;
}

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "";
  if (strcmp(mode, "fault") == 0) return deref((const int *)0);
  if (strcmp(mode, "div") == 0) return divide(argc, argc - 2);
  if (strcmp(mode, "div64") == 0) {
    volatile long long zero = 0;
    return (int)(1000000000000LL / zero);
  }
  if (strcmp(mode, "ro") == 0) poke((int *)read_only);
  if (strcmp(mode, "stack") == 0) return recurse(0);
  if (strcmp(mode, "jump") == 0) ((void (*)(void))not_code)();
  if (strcmp(mode, "spin") == 0)
    for (int i = 0;; ++i) tick(i);
  if (strcmp(mode, "fork") == 0) {
    const pid_t child = fork();
    for (int i = 0; i < 60; ++i) mark(child == 0 ? child_mark : 'P');
    if (child == 0) return 0;
    int status;
    waitpid(child, &status, 0);
    putchar('\n');
    return status;
  }
  if (strcmp(mode, "slot") == 0) {
    int lost = 0;
    for (int i = 0; i < 100; ++i) lost += slot_load(read_only); /* hot: generated code */
    return lost + slot_load((const int *)0);
  }
  if (strcmp(mode, "wait") == 0) {
    const pid_t child = fork();
    if (child == 0) {
      for (int i = 0; i < 100000; ++i) sink = i;
      return 0;
    }
    int status;
    return waitpid(child, &status, 0);
  }
  int total = 0;
  for (int i = 0; i < 100000; ++i) total += i & 7;
  const int value = scale(total % 37, pick(argc));
  return report(value);
}
