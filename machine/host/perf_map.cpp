#include "host/perf_map.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace r3k {
namespace {

// Machines of one process share its one map: the first empties it (a file
// left by an earlier process of the same id), the others add to it.
std::mutex g_mutex;
bool g_opened = false;

}  // namespace

std::string PerfMap::path_for(long pid) { return "/tmp/perf-" + std::to_string(pid) + ".map"; }

PerfMap::PerfMap() {
  const std::string path = path_for(long(getpid()));
  std::lock_guard lock(g_mutex);
  file_ = std::fopen(path.c_str(), g_opened ? "ae" : "we");
  if (!file_) throw std::invalid_argument("--perf-map: cannot open " + path + ": " + std::strerror(errno));
  g_opened = true;
}

PerfMap::~PerfMap() {
  if (file_) std::fclose(file_);
}

void PerfMap::guest_code(const void* code, size_t size, uint32_t guest_pc, bool exits) {
  std::string name = namer_ ? namer_(guest_pc) : std::string();
  if (name.empty()) {
    char pc[16];
    std::snprintf(pc, sizeof pc, "0x%08x", guest_pc);
    name = pc;
  }
  line(code, size, "guest:" + name + (exits ? " (exits)" : ""));
}

void PerfMap::shared_code(const void* code, size_t size, std::string_view job) {
  line(code, size, "r3k:" + std::string(job));
}

// Flushed at once: perf may read the map while the program still runs,
// and a run may end by a signal.
void PerfMap::line(const void* code, size_t size, const std::string& name) {
  if (size == 0) return;
  std::lock_guard lock(g_mutex);
  std::fprintf(file_, "%lx %zx %s\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(code)), size,
               name.c_str());
  std::fflush(file_);
}

}  // namespace r3k
