// The install tree works the way a user meets it: install, compile a
// program of one's own with the drivers, the specs file or the CMake
// toolchain file, run it on r3krun.  The tree may be copied, moved or
// installed under DESTDIR.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
};

// Runs a shell command, capturing its standard output and exit status.
Result sh(const std::string& cmd) {
  Result r{-1, {}};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int w = pclose(p);
  r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
  return r;
}

// Whether text begins with pattern, each '#' in it standing for one or
// more lower-case hexadecimal digits (the addresses in a fault's report).
bool begins(std::string_view text, std::string_view pattern) {
  size_t t = 0;
  for (const char c : pattern) {
    if (c != '#') {
      if (t == text.size() || text[t++] != c) return false;
      continue;
    }
    const size_t from = t;
    while (t < text.size() && std::isxdigit(static_cast<unsigned char>(text[t])) && !std::isupper(text[t])) ++t;
    if (t == from) return false;
  }
  return true;
}

// A path as one shell word (paths here may hold spaces).
std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// ---- programs a user writes ----------------------------------------------

struct Source {
  const char* name;
  const char* text;
};

// Inline assembly that reads a register right after loading it, and an
// assembly file in the assembler's default reorder mode with a load-delay
// and a HI/LO spacing to fill: correct only if the assembler knows it is
// assembling for MIPS-I.
const Source kInlineAsm = {"asm_main.c", R"(#include <stdio.h>
int mul_loaded(const int *p, int k);
static int load_plus_one(const int *p) {
  int r;
  __asm__ volatile("lw %0, 0(%1)\n\taddiu %0, %0, 1" : "=r"(r) : "r"(p));
  return r;
}
int main(void) {
  static int v = 41;
  printf("%d %d\n", load_plus_one(&v), mul_loaded(&v, 3));
  return 0;
}
)"};
const Source kReorderAsm = {"mul_loaded.S", R"(	.text
	.globl	mul_loaded
	.ent	mul_loaded
mul_loaded:
	lw	$v0, 0($a0)
	addu	$v0, $v0, $v0
	mult	$v0, $a1
	mflo	$v0
	mult	$v0, $a1
	mflo	$v0
	jr	$ra
	.end	mul_loaded
)"};

const Source kHelloC = {"hello.c", R"(#include <stdio.h>
#include <string.h>
int main(int argc, char **argv) { printf("hello %s %d\n", argv[1], (int)strlen(argv[1])); return 7; }
)"};

// Calls the compiler makes itself: memcpy for a struct copy, 64-bit and
// soft-float arithmetic and conversions.
const Source kCompilerCalls = {"runtime.c", R"(#include <stdio.h>
struct big { char b[300]; };
__attribute__((noinline)) int sum(const struct big *p) {
  int s = 0; for (int i = 0; i < 300; ++i) s += p->b[i]; return s; }
int main(int argc, char **argv) {
  struct big a = {{0}}, c; a.b[argc] = (char)argc; c = a; a.b[0] = 5;
  long long n = 1234567890123LL * argc; double x = (double)n / 7.0;
  float y = (float)(x / 1e6) * 0.5f; unsigned long long u = (unsigned long long)x;
  printf("%d %d %d %d\n", (int)(n / 1000000), (int)(n % 1000), (int)y, (int)(u >> 20));
  return sum(&a) + sum(&c) + (x > 3.5e11);
}
)"};

const Source kHelloCxx = {"hello.cpp", R"(#include <stdio.h>
#include <err.h>
struct Greeter { int n; Greeter() : n(3) {} int twice() const { return 2 * n; } };
int main() { Greeter g; printf("%d\n", g.twice()); warnx("to stderr"); return g.n; }
)"};

// Every way of asking for a constructor, priorities across kinds, the
// arguments a hosted system passes, and a global object constructed
// before main.  Order as the cross C library gives it: priorities first,
// then .init_array in link order, a hand-made .ctors table last to first.
const Source kConstructors = {"ctors.cpp", R"(#include <cstdio>
static int order[16], n;
static void note(int v) { order[n++] = v; }
struct Global { int v; explicit Global(int x) : v(x) { note(x); } ~Global() { note(-1); } };
Global second(2);
__attribute__((constructor(300))) static void c300() { note(300); }
__attribute__((constructor(101))) static void c101() { note(101); }
__attribute__((constructor)) static void plain() { note(1); }
static void a() { note(10); }
static void b() { note(11); }
static void (*ctors[])() __attribute__((section(".ctors"), used)) = {a, b};
static int argc_seen;
__attribute__((constructor)) static void with_args(int argc, char **argv) { argc_seen = argc * 10 + (argv[1][0] - '0'); }
int main(int argc, char **) {
  std::printf("%d %d:", argc, argc_seen);
  for (int k = 0; k < n; ++k) std::printf(" %d", order[k]);
  std::printf("\n");
  return second.v;
}
)"};

// What C++ leans on: virtual destructors (operator delete), placement new,
// a static local, every C++ spelling of the C headers.
const Source kCxxSupport = {"support.cpp", R"(#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
struct Shape { virtual ~Shape() {} virtual int sides() const = 0; };
struct Square : Shape { int sides() const override { return 4; } };
struct Pad { char c; int i; };
static int calls() { static int count = 0; return ++count; }
static int sum(int n, ...) { std::va_list ap; va_start(ap, n); int s = 0; while (n--) s += va_arg(ap, int); va_end(ap); return s; }
int main(int argc, char **argv) {
  alignas(Square) unsigned char room[sizeof(Square)];
  Shape *s = new (room) Square;
  calls();
  std::uint8_t u = std::uint8_t(UCHAR_MAX);
  std::size_t len = std::strlen(argv[0]);
  assert(len > 0);
  std::printf("%d %d %d %d %d %s\n", s->sides(), calls(), int(u), sum(3, 1, 2, 3), errno, std::strerror(EBADF));
  s->~Shape();
  if (argc > 5) std::exit(EXIT_FAILURE);
  return offsetof(Pad, i);
}
)"};

// The freestanding C++ headers: a braced list in a range for, structured
// bindings of array and pair, <=> on a defaulted class, the bit counts
// (calls of the compiler runtime), limits with MIPS legacy NaNs, traits
// checked at compile time; C++20 parts behind a version test.
const Source kFreestandingCxx = {"freestanding.cpp", R"(#include <array>
#include <bit>
#include <cctype>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
struct Base { virtual ~Base() {} };
struct Derived : Base { int f(int v) const { return v + 1; } };
struct Point {
  int x, y;
#if __cplusplus > 201703L
  auto operator<=>(const Point &) const = default;
#endif
};
static_assert(std::is_base_of_v<Base, Derived> && std::is_convertible_v<Derived *, Base *> && !std::is_convertible_v<Base *, Derived *>);
static_assert(std::is_same_v<std::common_type_t<char, short, unsigned>, unsigned> && std::is_same_v<std::decay_t<const int (&)[3]>, const int *>);
static_assert(std::is_same_v<std::invoke_result_t<int (Derived::*)(int) const, Derived &, int>, int> && std::is_invocable_r_v<long, int (*)(int), char>);
static_assert(std::is_trivially_copyable_v<Point> && !std::is_trivially_destructible_v<Base> && std::is_nothrow_swappable_v<int>);
static_assert(std::is_same_v<std::make_unsigned_t<const long>, const unsigned long> && std::is_same_v<std::make_index_sequence<3>, std::index_sequence<0, 1, 2>>);
static_assert(std::numeric_limits<long long>::digits10 == 18 && std::numeric_limits<double>::is_iec559 && std::numeric_limits<char>::is_signed);
static int sum(std::initializer_list<int> l) {
  int s = 0;
  for (int v : l) s += v;
  return s;
}
int main(int argc, char **) {
  int total = 0;
  for (int x : {1, 2, 3}) total += x;
  std::printf("%d %d %d\n", total, sum({}), sum({4, 5, 6, 7}));
  std::array<int, 4> a{{3, 1, 4, 1}};
  auto [p, q, r, s] = a;
  std::array<int, 4> b = a;
  std::swap(b[0], b[3]);
  std::printf("%d %d %d %d %d %d\n", p + q + r + s, int(a.size()), a.at(2), b.front(), int(a == b), int(b < a));
  std::pair<int, const char *> pr = std::make_pair(argc, "two");
  auto [n, str] = pr;
  int old = std::exchange(n, 9);
  std::printf("%d %s %d %d\n", old, str, n, std::get<0>(pr));
  std::printf("%d %d %u %x %x\n", std::numeric_limits<int>::max(), std::numeric_limits<signed char>::min(),
              std::numeric_limits<unsigned short>::max(), std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN()),
              std::bit_cast<std::uint32_t>(std::numeric_limits<float>::denorm_min()));
  std::uint32_t w = 0xf0u * unsigned(argc);
  std::uint64_t big = std::uint64_t(argc) << 40;
  std::printf("%d %d %d %d %x %x %d\n", std::popcount(w), std::countl_zero(w), std::countr_zero(w), std::bit_width(w),
              std::rotl(w, 28), std::bit_ceil(w + 1), int(std::has_single_bit(w)));
  std::printf("%d %d %d %d\n", std::countl_zero(big), std::countr_zero(big), std::popcount(~big), int(std::endian::native == std::endian::big));
  std::byte by{0x5a};
  by ^= std::byte{0xff};
  alignas(int) unsigned char room[sizeof(int)];
  int *ip = std::launder(new (room) int(argc * 7));
  std::printf("%x %d %c %d\n", std::to_integer<int>(by), *ip, std::toupper('q'), int(std::sqrt(std::float_t(49 * argc))));
#if __cplusplus > 201703L
  Point p1{1, 2}, p2{1, 3};
  auto c = p1 <=> p2;
  auto arr = std::to_array({5, 6, 7});
  std::printf("%d %d %d %d %d\n", int(c < 0), int(p1 == p1), int(std::is_gt(2 <=> 1)), arr.back(), int(std::cmp_less(-1, 0u)));
#endif
  return int(b[0]);
}
)"};

// <ctype.h> on a string, <math.h> from -lm, bit for bit as the host's C
// library answers, and the classification macros.
const Source kCtypeMath = {"ctype_math.c", R"(#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
static void bits(double x) {
  unsigned long long b;
  memcpy(&b, &x, sizeof b);
  printf(" %x%08x", (unsigned)(b >> 32), (unsigned)b);
}
int main(int argc, char **argv) {
  const char *s = argv[1];
  int n = 0, i = 0;
  while (isspace((unsigned char)s[i])) ++i;
  while (isdigit((unsigned char)s[i])) n = n * 10 + (s[i++] - '0');
  printf("%d %c %c %d %d %d\n", n, toupper((unsigned char)s[i]), tolower('Q'), isxdigit('f') != 0, isalpha(0xe9),
         ispunct(EOF));
  double two = argc, third = 1.0 / (3 * argc);
  bits(sqrt(two));
  bits(floor(-2.5 * two + third));
  bits(ceil(third));
  bits(fmod(1e300, third));
  bits(round(-0.5 * two + 0.5));
  bits(fabs(-two) + trunc(-third));
  printf(" %x\n", (unsigned)(sqrtf((float)two) * 1e6f));
  printf("%d %d %d %d %d\n", isnan(NAN * two) != 0, isinf(-HUGE_VAL) != 0, signbit(-0.0 * two) != 0,
         isfinite(two / 0.0) != 0, fpclassify(third * 1e-320) == FP_SUBNORMAL);
  return 0;
}
)"};

// Library objects declared by hand, as older code does, both ways; small
// objects are where -G 8 code looks for them.
const Source kObjectsConst = {"objects.c", R"(#include <stdio.h>
extern const int sys_nerr;
extern int errno;
extern char **__argv;
int nerr_plain(void);
int main(int argc, char **argv) {
  printf("%d %d %d %s\n", sys_nerr, nerr_plain(), errno, __argv == argv ? "same" : "other");
  return argc;
}
)"};
const Source kObjectsPlain = {"nerr.c", "extern int sys_nerr;\nint nerr_plain(void) { return sys_nerr; }\n"};

// The values the kernel calls exchange, from the installed headers: plain
// macros (usable in #if), struct stat's layout, the wait-status macros.
constexpr const char* kInterfaceText = R"(#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if !defined(O_CREAT) || SEEK_END != 2 || S_IFMT != 0170000
#error not plain macros
#endif
int main(void) {
  printf("%d %d %d %d %d %d\n", O_WRONLY | O_CREAT | O_TRUNC, O_RDWR | O_EXCL | O_APPEND, O_ACCMODE, SEEK_SET,
         SEEK_CUR, SEEK_END);
  printf("%d %d %d %d %d\n", (int)sizeof(struct stat), (int)offsetof(struct stat, st_size),
         (int)offsetof(struct stat, st_mode), (int)offsetof(struct stat, st_rdev), (int)sizeof(off_t));
  printf("%o %d %d %d %d %o\n", S_IFDIR | S_IRWXU, S_ISDIR(S_IFDIR | 0755), S_ISREG(S_IFDIR), S_ISFIFO(S_IFIFO),
         S_ISCHR(S_IFCHR | 0620), S_IFLNK | S_IRUSR | S_IWGRP | S_IXOTH);
  printf("%d %d %d %d %d %d\n", WIFEXITED(0x300), WEXITSTATUS(0x300), WIFSIGNALED(11), WTERMSIG(11),
         WIFEXITED(11), WNOHANG);
  printf("%d %d %d %d %d %d %d %d %d\n", RB_REBOOT, RB_HALT, RB_POWEROFF, PIPE_BUF, OPEN_MAX, PATH_MAX, NAME_MAX,
         ARG_MAX, SYMLOOP_MAX);
  return 0;
}
)";
const Source kInterfaceC = {"interface.c", kInterfaceText};
const Source kInterfaceCxx = {"interface.cpp", kInterfaceText};
constexpr const char* kInterfaceOut =
    "21 42 3 0 1 2\n64 8 44 60 8\n40700 1 0 1 1 120421\n1 3 1 11 0 1\n0 1 2 4096 64 1024 255 65536 32\n";

// Called while the object is abstract: reported, status 255.
const Source kPureVirtual = {"pure.cpp", R"(struct Base;
void call(Base *);
struct Base { Base() { call(this); } virtual int f() = 0; virtual ~Base() {} };
void call(Base *b) { b->f(); }
struct Derived : Base { int f() override { return 1; } };
int main() { Derived d; return d.f(); }
)"};

// A fault's report names the callers, from the frame tables with -g and
// from prologues and return addresses without: a 64-bit division by zero
// two calls deep (the compiler runtime's check), and leaf functions, one
// called through a pointer.
const Source kDivide = {"divide.c", R"(#include <stdio.h>
__attribute__((noinline)) long long ratio(long long a, long long b) { return a / b + 1; }
__attribute__((noinline)) long long average(long long sum, int n) { return ratio(sum, n) * 3; }
int main(int argc, char **argv) { printf("start\n"); return (int)average(1000000000000LL * argc, argc - 1); }
)"};
const Source kLeaf = {"leaf.c", R"(__attribute__((noinline)) int get(const int *p) { return *p; }
int (*volatile through)(const int *) = get;
int main(int argc, char **argv) { return argc > 1 ? through(0) + 2 : get((const int *)(argc - 1)) + 1; }
)"};
// A specs file of one's own, named beside the drivers' (given with
// -specs= when among a program's sources), and a program that shows it
// took effect.
const Source kMineSpecs = {"mine.specs", "*cc1:\n+ -DMINE=7\n"};
const Source kMineC = {"mine.c", "#include <stdio.h>\nint main(void) { printf(\"mine %d\\n\", MINE); return 0; }\n"};

// Hazards the assembler leaves in inline assembly because it was told to:
// a load-delay under .set noreorder and under .set mips2 (whose loads
// interlock), a HI/LO one under .set noreorder.  The link fails naming
// the function, unless the scan is turned off.
const Source kNoreorder = {"noreorder.c", R"(__attribute__((noinline)) int twice(const int *p) {
  int r;
  __asm__ volatile(".set noreorder\n\tlw %0, 0(%1)\n\taddu %0, %0, %0\n\t.set reorder" : "=r"(r) : "r"(p));
  return r;
}
int main(void) { static int v = 21; return twice(&v); }
)"};
const Source kMips2 = {"mips2.c", R"(__attribute__((noinline)) int bump(const int *p) {
  int r;
  __asm__ volatile(".set push\n\t.set mips2\n\tlw %0, 0(%1)\n\taddu %0, %0, %0\n\t.set pop" : "=r"(r) : "r"(p));
  return r + 1;
}
__attribute__((noinline)) int product(int a, int b) {
  int r;
  __asm__ volatile(".set noreorder\n\tmflo %0\n\tmult %1, %2\n\tmflo %0\n\t.set reorder" : "=r"(r) : "r"(a), "r"(b));
  return r;
}
int main(int argc, char **argv) { static int v = 2; return bump(&v) + product(argc, 6); }
)"};
const Source kDsp = {"dsp.c", R"(int main(void) {
  int r;
  __asm__(".set push\n\t.set dsp\n\taddu.qb %0, %1, %2\n\t.set pop" : "=r"(r) : "r"(1), "r"(2));
  return r;
}
)"};

const Source kNew = {"heap.cpp", "struct A { int x; };\nint main() { A *a = new A; return a->x; }\n"};
const Source kMalloc = {"malloc.c",
                        "#include <stddef.h>\nvoid *malloc(size_t);\nint main(void) { return malloc(4) != 0; }\n"};
const Source kAtexit = {"atexit.c",
                        "void f(void) {}\nint atexit(void (*)(void));\nint main(void) { return atexit(f); }\n"};

#define R3K_FREESTANDING_OUT \
  "6 0 22\n9 4 4 1 0 1\n1 two 9 1\n2147483647 -128 65535 7fbfffff 1\n4 24 4 8 f 100 0\n23 40 63 1\na5 7 Q 7\n"
const char* const kFreestandingOut17 = R3K_FREESTANDING_OUT;
const char* const kFreestandingOut20 = R3K_FREESTANDING_OUT "1 1 1 7 1\n";
#undef R3K_FREESTANDING_OUT
const char* const kCtypeMathOut =
    "42 X q 1 0 0\n 3ff6a09e667f3bcd c014000000000000 3ff0000000000000 3f1d6717e43c8800 bff0000000000000 "
    "4000000000000000 159445\n1 1 1 0 1\n";

// How a program is compiled and linked, against an install tree.
enum class Driver {
  Cc,          // PREFIX/bin/r3k-cc
  Cxx,         // PREFIX/bin/r3k-c++
  CcLink,      // a symbolic link to r3k-cc elsewhere
  GccSpecs,    // mips-linux-gnu-gcc -specs=PREFIX/mips/lib/r3k.specs
  GxxSpecs,    // mips-linux-gnu-g++ --specs=..., the long form
  GccRelSpecs  // -specs= a path relative to the working directory
};

struct Program {
  const char* what;
  Driver driver;
  std::vector<Source> sources;
  const char* flags;  // TREE stands for the tree's path
  const char* args;
  // Standard output then standard error, the program's path written as
  // PROG (for a status of 128 or more, how they begin, with '#' for
  // each address); or, for status -1, text the failed build must print.
  const char* out;
  int status;
};

const std::vector<Program>& programs() {
  static const std::vector<Program> all = {
      {"C", Driver::Cc, {kHelloC}, "-O2", "world", "hello world 5\n", 7},
      {"C++", Driver::Cxx, {kHelloCxx}, "-Os", "", "6\nPROG: to stderr\n", 3},
      {"C through the specs file", Driver::GccSpecs, {kHelloC}, "-O2", "specs", "hello specs 5\n", 7},
      {"C++ through --specs=", Driver::GxxSpecs, {kHelloCxx}, "-O1", "", "6\nPROG: to stderr\n", 3},
      {"-specs= relative", Driver::GccRelSpecs, {kHelloC}, "", "rel", "hello rel 3\n", 7},
      {"driver through a symbolic link", Driver::CcLink, {kHelloC}, "-O2", "ln", "hello ln 2\n", 7},
      {"flags the driver overrides",
       Driver::Cc,
       {kHelloC},
       "-O2 -march=mips32r2 -mfpxx -mhard-float -fPIC -pie",
       "x",
       "hello x 1\n",
       7},
      {"ISA and ABI flags the specs file drops",
       Driver::GccSpecs,
       {kHelloC},
       "-O2 -mnan=2008 -mabs=2008 -EL -mips32r6 -mabi=64 -mgp64 -mlong64 -modd-spreg -mcompact-branches=always "
       "-mdouble-float -mflip-mips16",
       "isa",
       "hello isa 3\n",
       7},
      {"a specs file of one's own", Driver::Cc, {kMineSpecs, kMineC}, "-O2", "", "mine 7\n", 0},
      {"one's own specs file after r3k.specs", Driver::GccSpecs, {kMineSpecs, kMineC}, "-O2", "", "mine 7\n", 0},
      {"r3k.specs named again",
       Driver::Cxx,
       {kHelloCxx},
       "-specs=TREE/mips/lib/r3k.specs",
       "",
       "6\nPROG: to stderr\n",
       3},
      {"-mdsp refused",
       Driver::Cc,
       {kDsp},
       "-mdsp",
       "",
       "error: -mdsp asks for instructions the R3000 (MIPS-I) does not have",
       -1},
      {"DSP instruction in asm", Driver::Cc, {kDsp}, "", "", "r3kscan: PROG: .text: reserved instruction at pc 0x", -1},
      // Addresses vary with the library; the install tests compare them with r3krun's.
      {"load-delay hazard under .set noreorder",
       Driver::Cc,
       {kNoreorder},
       "-O2",
       "",
       " in twice+0x4: addu v0,v0,v0 reads v0 loaded by the previous instruction\n"
       "r3k-cc: PROG would fault on the R3000 where shown above; removed",
       -1},
      {"load-delay hazard under .set mips2",
       Driver::CcLink,
       {kMips2},
       "-O2",
       "",
       " in bump+0x4: addu v0,v0,v0 reads v0 loaded by the previous instruction\nr3kscan: PROG: .text: hi/lo hazard",
       -1},
      {"HI/LO hazard under .set noreorder",
       Driver::CcLink,
       {kMips2},
       "-O2",
       "",
       " in product+0x4: mult a0,a1 writes HI/LO within two instructions of mfhi/mflo\ncc: PROG would fault",
       -1},
      {"hazard scan turned off",
       Driver::Cc,
       {kNoreorder},
       "-O2 --no-r3kscan",
       "",
       "r3krun: pid 2 killed by SIGILL: load-delay hazard at pc 0x",
       128 + 4},
      {"compiler runtime -Os", Driver::Cc, {kCompilerCalls}, "-Os", "w", "2469135 246 176366 336393\n", 10},
      {"compiler runtime -O2", Driver::GccSpecs, {kCompilerCalls}, "-O2", "w", "2469135 246 176366 336393\n", 10},
      {"asm -O0", Driver::Cc, {kInlineAsm, kReorderAsm}, "-O0", "", "42 738\n", 0},
      {"asm -O1", Driver::Cc, {kInlineAsm, kReorderAsm}, "-O1", "", "42 738\n", 0},
      {"asm -O2", Driver::Cc, {kInlineAsm, kReorderAsm}, "-O2", "", "42 738\n", 0},
      {"asm -O3", Driver::GccSpecs, {kInlineAsm, kReorderAsm}, "-O3", "", "42 738\n", 0},
      {"asm -Os", Driver::Cc, {kInlineAsm, kReorderAsm}, "-Os", "", "42 738\n", 0},
      {"asm -g", Driver::Cc, {kInlineAsm, kReorderAsm}, "-g", "", "42 738\n", 0},
      {"asm -O2 -g", Driver::GccSpecs, {kInlineAsm, kReorderAsm}, "-O2 -g", "", "42 738\n", 0},
      {"constructors -O0", Driver::Cxx, {kConstructors}, "-O0", "7", "2 27: 101 300 1 2 11 10\n", 2},
      {"constructors -O2", Driver::GxxSpecs, {kConstructors}, "-O2", "7", "2 27: 101 300 1 2 11 10\n", 2},
      {"C++ support", Driver::Cxx, {kCxxSupport}, "-O2", "", "4 2 255 6 0 Bad file number\n", 4},
      {"objects declared by hand", Driver::Cc, {kObjectsConst, kObjectsPlain}, "-O2", "a b", "27 27 0 same\n", 3},
      {"kernel interface headers, C", Driver::Cc, {kInterfaceC}, "-O2", "", kInterfaceOut, 0},
      {"kernel interface headers, C++", Driver::Cxx, {kInterfaceCxx}, "-O0", "", kInterfaceOut, 0},
      {"pure virtual call", Driver::Cxx, {kPureVirtual}, "-O0", "", "PROG: pure virtual function called from 0x", 255},
      {"64-bit division by zero -O2",
       Driver::Cc,
       {kDivide},
       "-O2",
       "",
       "start\nr3krun: pid 2 killed by SIGTRAP: break at pc 0x# in __divdi3+0x#: break 0x7 (integer division by zero) "
       "(called from ratio+0x# <- average+0x# <- main+0x# <- ? __start+0x#)\n",
       133},
      {"64-bit division by zero -O0 -g",
       Driver::Cc,
       {kDivide},
       "-O0 -g",
       "",
       "start\nr3krun: pid 2 killed by SIGTRAP: break at pc 0x# in __divdi3+0x#: break 0x7 (integer division by zero) "
       "(called from ratio+0x# <- average+0x# <- main+0x# <- __start+0x#)\n",
       133},
      {"fault in a leaf -O2",
       Driver::Cc,
       {kLeaf},
       "-O2",
       "",
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc 0x# in get: lw v0,0(a0) (null pointer) "
       "(called from main+0x# <- ? __start+0x#)\n",
       139},
      {"fault in a leaf called through a pointer -O1",
       Driver::Cc,
       {kLeaf},
       "-O1",
       "x",
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc 0x# in get: lw v0,0(a0) (null pointer) "
       "(called from ? main+0x# <- ? __start+0x#)\n",
       139},
      {"C++20 headers -O0", Driver::Cxx, {kFreestandingCxx}, "-std=c++20 -O0", "", kFreestandingOut20, 1},
      {"C++20 headers -O2", Driver::GxxSpecs, {kFreestandingCxx}, "-std=c++20 -O2", "", kFreestandingOut20, 1},
      {"C++17 headers -O2", Driver::Cxx, {kFreestandingCxx}, "-std=c++17 -O2", "", kFreestandingOut17, 1},
      {"ctype and -lm -O0", Driver::Cc, {kCtypeMath}, "-O0 -lm", "' 42x'", kCtypeMathOut, 0},
      {"ctype and -lm -O2", Driver::GccSpecs, {kCtypeMath}, "-O2 -lm", "' 42x'", kCtypeMathOut, 0},
      {"operator new", Driver::Cxx, {kNew}, "", "", "undefined reference to `operator new(unsigned int)'", -1},
      {"malloc", Driver::Cc, {kMalloc}, "", "", "undefined reference to `malloc'", -1},
      {"atexit", Driver::Cc, {kAtexit}, "", "", "undefined reference to `atexit'", -1},
  };
  return all;
}

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = fs::temp_directory_path() / ("r3k-install-" + std::to_string(getpid()));
    fs::remove_all(prefix_);
    install_ = sh("cmake --install '" R3K_BINARY_DIR "' --prefix " + q(prefix_) + " 2>&1");
  }
  static void TearDownTestSuite() { fs::remove_all(prefix_); }

  static std::string specs() { return (prefix_ / "mips/lib/r3k.specs").string(); }

  // Whether the tests run with the machine interpreting only.
  static bool interpreting() {
    const char* jit = std::getenv("R3K_TEST_JIT");
    return jit && std::strcmp(jit, "off") == 0;
  }
  // r3krun of the tree, interpreting only when the tests run that way,
  // with a budget (it has none of its own) so a runaway program ends.
  static std::string run(const fs::path& tree, const fs::path& exe, const std::string& args) {
    return q(tree / "bin/r3krun") + " --max-insns 20e9" + (interpreting() ? " --no-jit " : " ") + q(exe) + " " + args;
  }

  // Builds and runs the rows of programs() (all, or the first four) with
  // the tree at `tree`; sources and programs go to `work`.
  static void build_and_run(const fs::path& tree, const fs::path& work, bool all_rows) {
    const fs::path link = work / "links/cc";
    fs::create_directories(link.parent_path());
    fs::remove(link);
    fs::create_symlink(tree / "bin/r3k-cc", link);
    for (const Program& p : programs()) {
      if (!all_rows && &p - programs().data() >= 4) break;  // C and C++, drivers and specs
      SCOPED_TRACE(p.what);
      const fs::path dir = work / std::to_string(&p - programs().data());
      std::string files;
      for (const Source& s : p.sources) {
        write_file(dir / s.name, s.text);
        files += (fs::path(s.name).extension() == ".specs" ? " -specs=" : " ") + q(dir / s.name);
      }
      std::string flags = p.flags;
      for (size_t at; (at = flags.find("TREE")) != std::string::npos;) flags.replace(at, 4, q(tree));
      const fs::path exe = dir / "prog";
      std::string cc;
      switch (p.driver) {
        case Driver::Cc: cc = q(tree / "bin/r3k-cc"); break;
        case Driver::Cxx: cc = q(tree / "bin/r3k-c++"); break;
        case Driver::CcLink: cc = q(link); break;
        case Driver::GccSpecs: cc = "mips-linux-gnu-gcc -specs=" + q(tree / "mips/lib/r3k.specs"); break;
        case Driver::GxxSpecs: cc = "mips-linux-gnu-g++ --specs=" + q(tree / "mips/lib/r3k.specs"); break;
        case Driver::GccRelSpecs:
          cc = "cd " + q(tree.parent_path()) +
               " && mips-linux-gnu-gcc -specs=" + q(tree.filename() / "mips/lib/r3k.specs");
          break;
      }
      fs::remove(exe);
      // Flags after the sources, where a library (-lm) must be.
      Result built = sh(cc + files + " " + flags + " -o " + q(exe) + " 2>&1");
      if (p.status == -1) {
        EXPECT_NE(built.status, 0);
        EXPECT_FALSE(fs::exists(exe));
        replace_all(built.out, exe.string(), "PROG");
        EXPECT_NE(built.out.find(p.out), std::string::npos) << built.out;
        continue;
      }
      EXPECT_EQ(built.status, 0) << built.out;
      if (built.status != 0) continue;
      const Result r = sh(run(tree, exe, p.args) + " 2>&1");
      std::string out = r.out;
      replace_all(out, exe.string(), "PROG");
      if (p.status >= 128) EXPECT_TRUE(begins(out, p.out)) << out << "\nexpected\n" << p.out;
      else EXPECT_EQ(out, p.out);
      EXPECT_EQ(r.status, p.status);
    }
  }

  static fs::path prefix_;
  static Result install_;
};
fs::path Installed::prefix_;
Result Installed::install_;

TEST_F(Installed, HasTheDesignedLayoutWithNoAbsolutePathInside) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  for (const char* rel : {"bin/r3krun",
                          "bin/r3kscan",
                          "bin/r3k-cc",
                          "bin/r3k-c++",
                          "mips/bin/quendle",
                          "mips/bin/tallowin",
                          "mips/bin/marrowick",
                          "mips/include/stdio.h",
                          "mips/include/unistd.h",
                          "mips/include/err.h",
                          "mips/include/cstdio",
                          "mips/include/new",
                          "mips/include/r3k/syscalls.def",
                          "mips/include/fcntl.h",
                          "mips/include/sys/stat.h",
                          "mips/include/r3k/values/stat.h",
                          "mips/include/r3k/values.def",
                          "mips/lib/libr3k.a",
                          "mips/lib/libr3kgcc.a",
                          "mips/share/doc/libr3kgcc/COPYING.RUNTIME",
                          "mips/lib/r3k.ld",
                          "mips/lib/r3k.specs",
                          "mips/lib/r3k.specs.d",
                          "mips/lib/r3k-toolchain.cmake",
                          "mips/share/r3k-kit/runall",
                          "mips/share/r3k-kit/procs",
                          "mips/share/r3k-kit/names",
                          "mips/share/r3k-kit/README.md"})
    EXPECT_TRUE(fs::exists(prefix_ / rel)) << rel;
  for (const char* rel : {"mips/include/type_traits", "mips/include/ctype.h", "mips/include/math.h", "mips/lib/libm.a",
                          "mips/lib/libstdc++.a", "mips/lib/r3k-cxx.o"})
    EXPECT_TRUE(fs::exists(prefix_ / rel)) << rel;
  // The README's links to docs/ hold in the installed copy too.
  for (const char* rel :
       {"share/doc/r3k/README.md", "share/doc/r3k/docs/toolchain.md", "share/doc/r3k/docs/r3krun.md",
        "share/doc/r3k/docs/testing.md", "share/doc/r3k/docs/benchmarks.md", "share/doc/r3k/docs/kernel-interface.md"})
    EXPECT_TRUE(fs::exists(prefix_ / rel)) << rel;
  // What finds the tree: none of it may name where it was installed from or to.
  for (const char* rel :
       {"bin/r3k-cc", "bin/r3k-c++", "mips/lib/r3k.specs", "mips/lib/r3k-toolchain.cmake", "mips/lib/libstdc++.a"}) {
    const std::string text = read_file(prefix_ / rel);
    EXPECT_FALSE(text.empty()) << rel;
    for (const std::string& path : {prefix_.string(), std::string(R3K_BINARY_DIR), std::string(R3K_SOURCE_DIR)})
      EXPECT_EQ(text.find(path), std::string::npos) << rel << " names " << path;
  }
}

// Every installed header compiles on its own terms (C++20, C++17; the .h
// ones as C too) without a warning, and all of them together reach no
// header but the tree's and the compiler's own: nothing of the cross C
// library or its C++ library.
TEST_F(Installed, HeadersCompileAndReachNothingOutsideTheTree) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path inc = prefix_ / "mips/include", dir = prefix_ / "headers";
  std::string compiler_inc = sh("mips-linux-gnu-gcc -print-file-name=include").out;
  compiler_inc.erase(compiler_inc.find_last_not_of('\n') + 1);
  std::string cxx, c;
  int headers = 0;
  for (const auto& e : fs::recursive_directory_iterator(inc)) {
    const std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != "" && ext != ".h")) continue;
    const std::string line = "#include <" + fs::relative(e.path(), inc).string() + ">\n";
    cxx += line;
    if (ext == ".h") c += line;
    ++headers;
  }
  EXPECT_GE(headers, 30);
  write_file(dir / "all.cpp", cxx + "int main() { return 0; }\n");
  write_file(dir / "all.c", c + "int main(void) { return 0; }\n");
  struct Case {
    const char* driver;
    const char* flags;
    const char* file;
  };
  for (const Case& k : {Case{"bin/r3k-c++", "-std=c++20", "all.cpp"}, Case{"bin/r3k-c++", "-std=c++17", "all.cpp"},
                        Case{"bin/r3k-cc", "-std=c11", "all.c"}}) {
    SCOPED_TRACE(std::string(k.file) + " " + k.flags);
    const std::string cc = q(prefix_ / k.driver) + " " + k.flags + " " + q(dir / k.file);
    const Result compiled = sh(cc + " -fsyntax-only -Wall -Wextra -Werror 2>&1");
    EXPECT_EQ(compiled.status, 0) << compiled.out;
    const Result deps = sh(cc + " -M 2>&1");
    ASSERT_EQ(deps.status, 0) << deps.out;
    std::istringstream words(deps.out);
    int seen = 0;
    for (std::string w; words >> w;) {
      if (w == "\\" || w.back() == ':' || w == (dir / k.file).string()) continue;
      ++seen;
      EXPECT_TRUE(w.rfind(inc.string() + "/", 0) == 0 || w.rfind(compiler_inc + "/", 0) == 0) << w;
    }
    EXPECT_GE(seen, 10);
  }
}

// Whatever the user asks for, the compiler and the assembler are told
// MIPS-I, soft-float, 32-bit FP registers: the driver's own -mfpxx would
// make the assembler drop the load-delay nops.
TEST_F(Installed, DriversForceMipsOneSoftFloatOnCompilerAndAssembler) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path dir = prefix_ / "flags";
  write_file(dir / "x.c", "int x;\n");
  write_file(dir / "x.cpp", "int x;\n");
  write_file(dir / "x.S", "\tnop\n");
  const std::string asked = " -O2 -g -march=mips32r2 -mfpxx -mhard-float -mllsc -mips16 -fPIC -G 0 -c ";
  for (const char* file : {"x.c", "x.cpp", "x.S"}) {
    const std::string driver = std::string(file) == "x.cpp" ? "bin/r3k-c++" : "bin/r3k-cc";
    const Result r = sh(q(prefix_ / driver) + asked + q(dir / file) + " -o /dev/null -### 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    int tools = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("/cc1") == std::string::npos && line.find("/as ") == std::string::npos) continue;
      SCOPED_TRACE(line);
      ++tools;
      for (const char* want : {"\"-march=mips1\"", " -mfp32 ", " -msoft-float ", "-G 8 "})
        EXPECT_NE(line.find(want), std::string::npos) << want;
      for (const char* never : {"-mfpxx", "mips32r2", "-mhard-float", "-mllsc", "-mips16", "-fPIC", "-G 0"})
        EXPECT_EQ(line.find(never), std::string::npos) << never;
    }
    EXPECT_EQ(tools, 2) << file << ": " << r.out;
  }
}

// The tree copied to a path with a space in it, the original moved away.
TEST_F(Installed, CopiedTreeBuildsAndRunsProgramsWithTheOriginalGone) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path base = prefix_.string() + " copy";
  const fs::path tree = base / "r3k tree";
  fs::remove_all(base);
  fs::create_directories(base);
  fs::copy(prefix_, tree, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  struct MovedAway {
    fs::path from, to;
    ~MovedAway() { fs::rename(to, from); }
  } moved{prefix_, prefix_.string() + "-away"};
  fs::rename(moved.from, moved.to);
  build_and_run(tree, base / "work", true);
  fs::remove_all(base);
}

TEST_F(Installed, DestdirTreeBuildsAndRunsPrograms) {
  if (interpreting()) GTEST_SKIP() << "tests the tree, not the machine";
  const fs::path destdir = prefix_.string() + "-destdir";
  fs::remove_all(destdir);
  const Result r = sh("DESTDIR=" + q(destdir) + " cmake --install '" R3K_BINARY_DIR "' --prefix /opt/r3k 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  build_and_run(destdir / "opt/r3k", destdir / "work", false);
  fs::remove_all(destdir);
}

// The packages cpack makes of the tree: the .deb unpacked into a scratch
// root (its tree under /usr) and the archive unpacked elsewhere both build
// and run programs, and the .deb asks for the cross compiler its drivers
// call and the libraries r3krun links.
TEST_F(Installed, PackagesBuildAndRunPrograms) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the plain build's packages are the ones checked";
#endif
  if (interpreting()) GTEST_SKIP() << "tests the packages, not the machine";
  const fs::path dir = prefix_.string() + "-packages";
  fs::remove_all(dir);
  const Result made = sh("cpack --config '" R3K_BINARY_DIR "/CPackConfig.cmake' -B " + q(dir) + " 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  fs::path deb, tgz;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == ".deb") deb = e.path();
    if (e.path().string().ends_with(".tar.gz")) tgz = e.path();
  }
  ASSERT_FALSE(deb.empty() || tgz.empty()) << made.out;

  const Result depends = sh("dpkg-deb -f " + q(deb) + " Depends");
  // libdw is linked in where its static archive is installed: the C
  // library is what the host must always bring.
  for (const char* want : {"g++-mips-linux-gnu", "binutils-mips-linux-gnu", "libc6 ("})
    EXPECT_NE(depends.out.find(want), std::string::npos) << want << " in " << depends.out;
  const fs::path root = dir / "root";
  ASSERT_EQ(sh("dpkg-deb -x " + q(deb) + " " + q(root)).status, 0);
  for (const char* rel : {"usr/share/doc/r3k/README.md", "usr/share/doc/r3k/docs/r3krun.md",
                          "usr/mips/share/doc/libr3kgcc/COPYING.RUNTIME", "usr/mips/lib/r3k-toolchain.cmake"})
    EXPECT_TRUE(fs::exists(root / rel)) << rel;
  build_and_run(root / "usr", dir / "deb work", false);

  const fs::path unpacked = dir / "unpacked here";
  fs::create_directories(unpacked);
  ASSERT_EQ(sh("tar -xzf " + q(tgz) + " -C " + q(unpacked)).status, 0);
  const fs::path top = unpacked / tgz.filename().string().substr(0, tgz.filename().string().size() - 7);
  EXPECT_TRUE(fs::exists(top / "share/doc/r3k/README.md"));
  build_and_run(top, dir / "tgz work", false);
  fs::remove_all(dir);
}

// A CMake project of one's own, cross-built through the installed
// toolchain file: a C and a C++ program, tested with add_test and ctest,
// which run them on the tree's r3krun.
TEST_F(Installed, CMakeToolchainFileCrossBuildsAProject) {
  if (interpreting()) GTEST_SKIP() << "tests the tree, not the machine";
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path src = prefix_ / "cmake-project", build = prefix_ / "cmake-build";
  write_file(src / "CMakeLists.txt",
             "cmake_minimum_required(VERSION 3.20)\nproject(mine C CXX)\n"
             "add_executable(hello_c hello.c)\nadd_executable(hello_cxx hello.cpp)\nenable_testing()\n"
             "add_test(NAME cxx COMMAND hello_cxx)\nadd_test(NAME c COMMAND hello_c)\n"
             "set_tests_properties(c PROPERTIES PASS_REGULAR_EXPRESSION \"^c\\n$\")\n");
  write_file(src / "hello.c", "#include <stdio.h>\nint main(void) { printf(\"c\\n\"); return 5; }\n");
  write_file(src / "hello.cpp",
             "#include <cstdio>\nstruct S { int v; S() : v(6) {} };\nS s;\n"
             "int main() { std::printf(\"c++ %d\\n\", s.v); return 0; }\n");
  const Result conf = sh("cmake -G Ninja -S " + q(src) + " -B " + q(build) +
                         " -DCMAKE_TOOLCHAIN_FILE=" + q(prefix_ / "mips/lib/r3k-toolchain.cmake") + " 2>&1");
  ASSERT_EQ(conf.status, 0) << conf.out;
  const Result made = sh("cmake --build " + q(build) + " 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const Result c = sh(run(prefix_, build / "hello_c", ""));
  EXPECT_EQ(c.out, "c\n");
  EXPECT_EQ(c.status, 5);
  const Result cxx = sh(run(prefix_, build / "hello_cxx", ""));
  EXPECT_EQ(cxx.out, "c++ 6\n");
  EXPECT_EQ(cxx.status, 0);
  const Result tested = sh("ctest --test-dir " + q(build) + " --output-on-failure 2>&1");
  EXPECT_EQ(tested.status, 0) << tested.out;
  EXPECT_NE(tested.out.find("100% tests passed, 0 tests failed out of 2"), std::string::npos) << tested.out;
}

TEST_F(Installed, NothingOfTheCrossCLibraryCanBeLinked) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path src = prefix_ / "src/heap.c";
  write_file(src, kMalloc.text);
  const Result lc = sh("mips-linux-gnu-gcc -specs=" + specs() + " " + src.string() + " -o " +
                       (prefix_ / "src/heap").string() + " -lc 2>&1");
  EXPECT_NE(lc.status, 0) << "the cross C library was found";
}

// The hazard check on code a user could write: a hazard planted under
// .set noreorder fails the link with the installed r3kscan's line, unless
// turned off; then r3krun faults where the scan said, and the scan finds
// it in the object, in an archive and in the program, naming the function.
TEST_F(Installed, HazardScanFindsAPlantedHazard) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path dir = prefix_ / "planted";
  write_file(dir / "bad.S",
             "\t.set\tnoreorder\n\t.text\n\t.globl\tmain\n\t.ent\tmain\nmain:\n"
             "\tlw\t$v0, %gp_rel(__argv)($gp)\n\taddu\t$v0, $v0, $v0\n\tjr\t$ra\n\tnop\n\t.end\tmain\n");
  const std::string cc = q(prefix_ / "bin/r3k-cc"), scanner = q(prefix_ / "bin/r3kscan");
  ASSERT_EQ(sh(cc + " -c " + q(dir / "bad.S") + " -o " + q(dir / "bad.o")).status, 0);
  ASSERT_EQ(sh("mips-linux-gnu-ar rc " + q(dir / "libbad.a") + " " + q(dir / "bad.o")).status, 0);
  const Result refused = sh(cc + " " + q(dir / "bad.o") + " -o " + q(dir / "bad") + " 2>&1");
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_FALSE(fs::exists(dir / "bad"));
  EXPECT_EQ(refused.out.rfind("r3kscan: " + (dir / "bad").string() + ": .text: load-delay hazard at pc 0x", 0), 0u)
      << refused.out;
  ASSERT_EQ(sh("R3K_NO_SCAN=1 " + cc + " " + q(dir / "bad.o") + " -o " + q(dir / "bad")).status, 0);

  const Result ran = sh(run(prefix_, dir / "bad", "") + " 2>&1");
  EXPECT_EQ(ran.status, 128 + 4) << ran.out;  // SIGILL
  const size_t pc_at = ran.out.find("at pc 0x");
  ASSERT_NE(pc_at, std::string::npos) << ran.out;
  const std::string pc = ran.out.substr(pc_at, 16);
  EXPECT_EQ(refused.out.find(pc + " in main+0x4: "), refused.out.find("at pc 0x")) << refused.out;

  struct Case {
    fs::path file;
    std::string names, at;
  };
  const Case cases[] = {{dir / "bad.o", (dir / "bad.o").string() + ": .text: ", "at pc 0x00000004"},
                        {dir / "libbad.a", (dir / "libbad.a").string() + "(bad.o): .text: ", "at pc 0x00000004"},
                        {dir / "bad", (dir / "bad").string() + ": .text: ", pc}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Result scan = sh(scanner + " " + q(c.file) + " 2>&1");
    EXPECT_EQ(scan.status, 1);
    EXPECT_EQ(scan.out, "r3kscan: " + c.names + "load-delay hazard " + c.at +
                            " in main+0x4: addu v0,v0,v0 reads v0 loaded by the previous instruction\n");
  }
  const Result clean = sh(scanner + " " + q(prefix_ / "mips/lib") + " " + q(prefix_ / "mips/bin") + " 2>&1");
  EXPECT_EQ(clean.status, 0) << clean.out;
  EXPECT_EQ(clean.out, "");
  const Result help = sh(scanner + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: r3kscan PATH...\n", 0), 0u) << help.out;
}

// Paths r3kscan cannot read each get one line, and the scan goes on to
// the next: a symbolic link loop in a directory or named, a FIFO (never
// waited on), a device, a missing file.  The hazard after them is found.
TEST_F(Installed, HazardScanReportsBadPathsAndGoesOn) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path dir = prefix_ / "bad-paths";
  fs::create_directories(dir / "loops");
  fs::create_symlink("loop", dir / "loops/loop");
  fs::create_symlink("nowhere", dir / "loops/dangling");  // not a file: skipped, as in a build directory
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  write_file(dir / "bad.S", "\t.set\tnoreorder\nf:\tlw\t$v0, 0($a0)\n\taddu\t$v0, $v0, $v0\n");
  ASSERT_EQ(sh(q(prefix_ / "bin/r3k-cc") + " -c " + q(dir / "bad.S") + " -o " + q(dir / "loops/bad.o")).status, 0);
  const Result scan = sh("cd " + q(dir) + " && timeout 20 " + q(prefix_ / "bin/r3kscan") +
                         " loops fifo /dev/null missing loops/loop 2>&1");
  EXPECT_EQ(scan.status, 2);
  EXPECT_EQ(scan.out,
            "r3kscan: loops/loop: Too many levels of symbolic links\n"
            "r3kscan: loops/bad.o: .text: load-delay hazard at pc 0x00000004 in f+0x4: addu v0,v0,v0 reads v0 loaded "
            "by the previous instruction\n"
            "r3kscan: fifo: not a regular file or directory\n"
            "r3kscan: /dev/null: not a regular file or directory\n"
            "r3kscan: missing: cannot open: No such file or directory\n"
            "r3kscan: loops/loop: cannot open: Too many levels of symbolic links\n");
}

// Extension flags ask for instructions the R3000 does not have: refused
// with one line naming the flag, whichever driver or step.
TEST_F(Installed, DriversRefuseExtensionFlags) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path src = prefix_ / "ext/x.c";
  write_file(src, "int x;\n");
  for (const char* flag :
       {"-mdsp", "-mdspr2", "-mmsa", "-mmt", "-mvirt", "-mxpa", "-mcrc", "-mginv", "-mips3d", "-mdmx", "-msmartmips",
        "-mmcu", "-meva", "-mloongson-mmi", "-mloongson-ext", "-mloongson-ext2", "-mpaired-single"}) {
    SCOPED_TRACE(flag);
    const Result r = sh(q(prefix_ / "bin/r3k-c++") + " -c " + flag + " " + q(src) + " -o /dev/null 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("mips-linux-gnu-g++: error: ") + flag +
                         " asks for instructions the R3000 (MIPS-I) does not have\n");
  }
  // Turned off again later on the command line: accepted.
  EXPECT_EQ(sh(q(prefix_ / "bin/r3k-cc") + " -c -mdsp -mno-dsp " + q(src) + " -o /dev/null").status, 0);
}

// The generated-program differential, tools/csmith-diff: a few fixed
// csmith seeds agree checksum for checksum at -O0 and -O2 (tools/csmith-diff
// runs many more); and it does catch a difference in output, in exit status
// and a program r3k-cc cannot link, keeping each source, while a program
// whose reference run never ends is skipped.
TEST_F(Installed, GeneratedProgramsAgreeWithTheCrossCLibraryOnQemu) {
  if (interpreting()) GTEST_SKIP() << "compares both modes itself";
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path dir = prefix_ / "csmith", keep = dir / "failed";
  const std::string tool = "'" R3K_SOURCE_DIR "/tools/csmith-diff' --prefix " + q(prefix_) + " --keep " + q(keep);

  const Result seeds = sh(tool + " --opt '-O0 -O2' 3 2 2>&1");
  EXPECT_EQ(seeds.status, 0) << seeds.out;
  EXPECT_NE(
      seeds.out.find("3 programs (seeds 2 to 4) at -O0 -O2: 3 agreed (0 on the same fault), 0 differed, 0 skipped"),
      std::string::npos)
      << seeds.out;

  struct Planted {
    Source source;
    const char* report;  // after "NAME at -O1: ", or nullptr when skipped
  };
  const Planted planted[] = {
      {{"output.c",
        "#include <stdio.h>\nint main(void) {\n#ifdef __mips_soft_float\n  printf(\"soft\\n\");\n"
        "#endif\n  return 0;\n}\n"},
       "r3krun differs from qemu-mips"},
      {{"status.c", "int main(void) {\n#ifdef __mips_soft_float\n  return 3;\n#endif\n  return 0;\n}\n"},
       "r3krun differs from qemu-mips"},
      {{"unlinked.c", "#include <stdio.h>\nint puts(const char *);\nint main(void) { return puts(\"x\") < 0; }\n"},
       "r3k-cc failed"},
      {{"endless.c", "int main(void) { for (volatile int i = 0;; ++i) {} }\n"}, nullptr},
  };
  std::string files;
  for (const Planted& p : planted) {
    write_file(dir / p.source.name, p.source.text);
    files += " " + q(dir / p.source.name);
  }
  const Result caught = sh(tool + " --opt -O1 --timeout 1" + files + " 2>&1");
  EXPECT_EQ(caught.status, 1) << caught.out;
  EXPECT_NE(caught.out.find("4 sources at -O1: 0 agreed (0 on the same fault), 3 differed, 1 skipped"),
            std::string::npos)
      << caught.out;
  for (const Planted& p : planted) {
    SCOPED_TRACE(p.source.name);
    const std::string name = fs::path(p.source.name).stem().string();
    EXPECT_EQ(fs::exists(keep / p.source.name), p.report != nullptr);
    if (!p.report) continue;
    EXPECT_NE(caught.out.find(name + " at -O1: " + p.report + " (kept: " + (keep / p.source.name).string() + ")"),
              std::string::npos)
        << caught.out;
    EXPECT_EQ(read_file(keep / p.source.name), p.source.text);
  }
}

}  // namespace
