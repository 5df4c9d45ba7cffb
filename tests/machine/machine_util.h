// Shared helpers for the r3krun tests: guest paths, machines with a guest
// loaded.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "r3k/machine.h"
#include "support/guest_calls.h"

namespace mtest {

inline std::string guest(const std::string& name) { return std::string(R3K_GUEST_DIR) + "/" + name; }

// argv[0] is the guest's path, as r3krun passes it.
inline std::unique_ptr<r3k::TestMachine> load(const std::string& name, std::vector<std::string> args = {},
                                              r3k::Options options = {}) {
  auto m = std::make_unique<r3k::TestMachine>(std::move(options));
  args.insert(args.begin(), guest(name));
  m->load_file(guest(name), args);
  return m;
}

// Kernel calls of one kind, in order.
inline std::vector<r3k::SyscallEvent> calls(const r3k::Machine& m, const std::string& name) {
  std::vector<r3k::SyscallEvent> out;
  for (const auto& e : m.events())
    if (e.name == name) out.push_back(e);
  return out;
}

// A directory of its own under the host's temporary directory, removed
// with everything in it at the end: the only place tests let a guest's
// file calls reach.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "r3k-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string str() const { return path.string(); }
};

}  // namespace mtest
