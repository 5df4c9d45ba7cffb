// Loops for ever without a kernel call: only an instruction budget ends it.
int main() {
  for (volatile unsigned i = 0;; ++i) {
  }
}
