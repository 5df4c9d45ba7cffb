// Shared helpers for the r3krun tests: guest paths, machines with a guest
// loaded.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "r3k/machine.h"

namespace mtest {

inline std::string guest(const std::string& name) { return std::string(R3K_GUEST_DIR) + "/" + name; }

// argv[0] is the guest's path, as r3krun passes it.
inline std::unique_ptr<r3k::Machine> load(const std::string& name, std::vector<std::string> args = {},
                                          r3k::Options options = {}) {
  auto m = std::make_unique<r3k::Machine>(std::move(options));
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

}  // namespace mtest
