/* Guest for the debugger sessions and the fault reports, built with -g -O0
   (and the compiler's division check) as README.md tells users to build
   a program they debug.  argv[1] picks what it does:
     (none)  a hot loop, then report(scale(...)): prints "result N", exits N
     fault   a null pointer load in deref()
     div     a 32-bit division by zero in divide()
     div64   a 64-bit division by zero (the compiler runtime's check)
     ro      a store to a read-only page in poke()
     stack   recursion until the stack runs out
     jump    a call through a pointer to data
     spin    calls tick() for ever
     fork    parent and child print letters through mark(), interleaved */
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
  int total = 0;
  for (int i = 0; i < 100000; ++i) total += i & 7;
  const int value = scale(total % 37, pick(argc));
  return report(value);
}
