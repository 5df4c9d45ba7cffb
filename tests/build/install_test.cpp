// The install tree works the way a user meets it: install, compile a
// program of one's own with the specs file, run it on r3krun.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = fs::temp_directory_path() / ("r3k-install-" + std::to_string(getpid()));
    fs::remove_all(prefix_);
    install_ = sh("cmake --install '" R3K_BINARY_DIR "' --prefix '" + prefix_.string() + "' 2>&1");
  }
  static void TearDownTestSuite() { fs::remove_all(prefix_); }

  static fs::path write(const std::string& name, const std::string& text) {
    const fs::path path = prefix_ / "src" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path;
  }
  static std::string specs() { return (prefix_ / "mips/lib/r3k.specs").string(); }
  static std::string run(const fs::path& exe) { return (prefix_ / "bin/r3krun").string() + " " + exe.string(); }

  static fs::path prefix_;
  static Result install_;
};
fs::path Installed::prefix_;
Result Installed::install_;

TEST_F(Installed, HasTheDesignedLayout) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  for (const char* rel : {"bin/r3krun", "mips/bin/quendle", "mips/bin/tallowin", "mips/bin/marrowick",
                          "mips/include/stdio.h", "mips/include/unistd.h", "mips/include/err.h",
                          "mips/include/r3k/syscalls.def", "mips/lib/libr3k.a", "mips/lib/libr3kgcc.a",
                          "mips/share/doc/libr3kgcc/COPYING.RUNTIME", "mips/lib/r3k.ld",
                          "mips/lib/r3k.specs"})
    EXPECT_TRUE(fs::exists(prefix_ / rel)) << rel;
  // The specs file names the prefix it was installed to, not the build tree.
  std::ifstream in(specs());
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find((prefix_ / "mips/lib").string()), std::string::npos);
  EXPECT_EQ(text.find(R3K_BINARY_DIR), std::string::npos);
}

TEST_F(Installed, UserProgramsBuildWithTheSpecsFileAndRun) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  struct Case {
    const char* compiler;
    const char* file;
    const char* source;
    const char* extra_flags;  // what a user might pass out of habit
    const char* expected_out;
    int expected_status;
  };
  const Case cases[] = {
      {"mips-linux-gnu-gcc", "hello.c",
       "#include <stdio.h>\n#include <string.h>\n"
       "int main(int argc, char **argv) { printf(\"hello %s %d\\n\", argv[1], (int)strlen(argv[1])); return 7; }\n",
       "-O2", "hello world 5\n", 7},
      {"mips-linux-gnu-gcc", "pic.c",
       "#include <stdio.h>\nint main(void) { printf(\"x\\n\"); return 0; }\n",
       "-O2 -march=mips32r2 -fPIC -pie", "x\n", 0},
      // Calls the compiler makes itself: memcpy for a struct copy, 64-bit
      // and soft-float arithmetic and conversions.
      {"mips-linux-gnu-gcc", "runtime.c",
       "#include <stdio.h>\n"
       "struct big { char b[300]; };\n"
       "__attribute__((noinline)) int sum(const struct big *p) {\n"
       "  int s = 0; for (int i = 0; i < 300; ++i) s += p->b[i]; return s; }\n"
       "int main(int argc, char **argv) {\n"
       "  struct big a = {{0}}, c; a.b[argc] = (char)argc; c = a; a.b[0] = 5;\n"
       "  long long n = 1234567890123LL * argc; double x = (double)n / 7.0;\n"
       "  float y = (float)(x / 1e6) * 0.5f; unsigned long long u = (unsigned long long)x;\n"
       "  printf(\"%d %d %d %d\\n\", (int)(n / 1000000), (int)(n % 1000), (int)y, (int)(u >> 20));\n"
       "  return sum(&a) + sum(&c) + (x > 3.5e11);\n}\n",
       "-Os", "2469135 246 176366 336393\n", 10},
      {"mips-linux-gnu-g++", "hello.cpp",
       "#include <stdio.h>\n#include <err.h>\n"
       "struct Greeter { int n; Greeter() : n(3) {} int twice() const { return 2 * n; } };\n"
       "int main() { Greeter g; printf(\"%d\\n\", g.twice()); warnx(\"to stderr\"); return g.n; }\n",
       "-Os", "6\n", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path src = write(c.file, c.source);
    const fs::path exe = prefix_ / "src" / fs::path(c.file).stem();
    const Result cc = sh(std::string(c.compiler) + " -specs=" + specs() + " " + c.extra_flags + " " +
                         src.string() + " -o " + exe.string() + " 2>&1");
    ASSERT_EQ(cc.status, 0) << cc.out;
    const Result r = sh(run(exe) + " world 2>/dev/null");
    EXPECT_EQ(r.out, c.expected_out);
    EXPECT_EQ(r.status, c.expected_status);
  }
}

TEST_F(Installed, NothingOfTheCrossCLibraryCanBeLinked) {
  ASSERT_EQ(install_.status, 0) << install_.out;
  const fs::path src = write("heap.c", "#include <stddef.h>\nvoid *malloc(size_t);\nint main(void) { return malloc(4) != 0; }\n");
  const Result cc = sh("mips-linux-gnu-gcc -specs=" + specs() + " " + src.string() + " -o " +
                       (prefix_ / "src/heap").string() + " 2>&1");
  EXPECT_NE(cc.status, 0);
  EXPECT_NE(cc.out.find("malloc"), std::string::npos) << cc.out;
  const Result lc = sh("mips-linux-gnu-gcc -specs=" + specs() + " " + src.string() + " -o " +
                       (prefix_ / "src/heap").string() + " -lc 2>&1");
  EXPECT_NE(lc.status, 0) << "the cross C library was found";
}

}  // namespace
