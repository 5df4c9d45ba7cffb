// Recurses argv[1] levels (default 1000) with 1 KiB frames and exits with 0: a stack-growth probe.
namespace {
int depth(int n) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(n);
  if (n == 0) return frame[0];
  return depth(n - 1) + frame[0] - static_cast<char>(n);
}
int parse(const char *s) {
  int v = 0;
  while (*s >= '0' && *s <= '9') v = v * 10 + (*s++ - '0');
  return v;
}
}  // namespace

int main(int argc, char **argv) { return depth(argc > 1 ? parse(argv[1]) : 1000); }
