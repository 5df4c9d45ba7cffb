// Every input kept in fuzz/corpus/ (seeds and past crashes) rerun through
// the fuzz harness by the ordinary build, so the plain and sanitizer test
// runs catch a regression without libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../../fuzz/harness.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus(const std::string& target) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(fs::path(R3K_SOURCE_DIR) / "fuzz" / "corpus" / target))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> bytes_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename Harness>
void replay(const std::string& target, Harness harness, size_t at_least) {
  const auto files = corpus(target);
  EXPECT_GE(files.size(), at_least) << "fuzz/corpus/" << target << " lost its seeds";
  for (const fs::path& f : files) {
    const auto b = bytes_of(f);
    EXPECT_EQ(harness(b.data(), b.size()), "") << f;
  }
}

TEST(FuzzCorpus, ElfLoaderInputsAreRefusedOrRun) { replay("elf_loader", r3kfuzz::elf_loader, 5); }

TEST(FuzzCorpus, CpuKernelInputsEndInFaultsOrExits) { replay("cpu_kernel", r3kfuzz::cpu_kernel, 20); }

}  // namespace
