#include "r3k/trace.h"

#include <cstdio>
#include <iterator>

#include "r3k/abi.h"

namespace r3k {
namespace {

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

std::string sdec(uint32_t v) { return std::to_string(static_cast<int32_t>(v)); }

std::string pointer(uint32_t v) { return v == 0 ? "NULL" : hex(v); }

std::string arguments(const SyscallEvent& e, uint32_t strsize) {
  switch (static_cast<Sys>(e.number)) {
    case Sys::_exit: return sdec(e.args[0]);
    case Sys::fork:
    case Sys::getpid:
    case Sys::getppid: return "";
    case Sys::waitpid: return sdec(e.args[0]) + ", " + pointer(e.args[1]) + ", " + sdec(e.args[2]);
    case Sys::write: {
      const bool shown = !e.data.empty() || e.args[2] == 0;
      const std::string buf = shown ? quote_bytes(e.data, strsize, e.args[2] > e.data.size()) : pointer(e.args[1]);
      return sdec(e.args[0]) + ", " + buf + ", " + std::to_string(e.args[2]);
    }
    default: return hex(e.args[0]) + ", " + hex(e.args[1]) + ", " + hex(e.args[2]) + ", " + hex(e.args[3]);
  }
}

std::string error_text(int32_t number) {
  std::string_view name = error_name(number);
  return std::string(name.empty() ? std::to_string(number) : std::string(name)) + " (" +
         std::string(error_message(number)) + ")";
}

}  // namespace

std::string signal_name(int signal) {
  // MIPS Linux numbering, as fault_signal() uses; a debugger may deliver any.
  static constexpr const char* kNames[] = {
      nullptr,   "SIGHUP",  "SIGINT",  "SIGQUIT", "SIGILL",    "SIGTRAP", "SIGABRT", "SIGEMT",
      "SIGFPE",  "SIGKILL", "SIGBUS",  "SIGSEGV", "SIGSYS",    "SIGPIPE", "SIGALRM", "SIGTERM",
      "SIGUSR1", "SIGUSR2", "SIGCHLD", "SIGPWR",  "SIGWINCH",  "SIGURG",  "SIGIO",   "SIGSTOP",
      "SIGTSTP", "SIGCONT", "SIGTTIN", "SIGTTOU", "SIGVTALRM", "SIGPROF", "SIGXCPU", "SIGXFSZ"};
  if (signal > 0 && signal < static_cast<int>(std::size(kNames))) return kNames[signal];
  return "SIG" + std::to_string(signal);
}

std::string quote_bytes(std::string_view bytes, uint32_t max, bool more_follow) {
  std::string out = "\"";
  const size_t n = bytes.size() < max ? bytes.size() : max;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\f': out += "\\f"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\v': out += "\\v"; continue;
    }
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    // Shortest octal, unless a digit follows that would read as part of it.
    const bool digit_next = i + 1 < n && bytes[i + 1] >= '0' && bytes[i + 1] <= '7';
    char buf[8];
    std::snprintf(buf, sizeof buf, digit_next ? "\\%03o" : "\\%o", c);
    out += buf;
  }
  out += '"';
  if (n < bytes.size() || more_follow) out += "...";
  return out;
}

std::unique_ptr<TraceWriter> TraceWriter::make(TraceFormat format, uint32_t strsize) {
  if (format == TraceFormat::Tsv) return std::make_unique<TsvWriter>();
  return std::make_unique<StraceWriter>(strsize);
}

// ---- strace-like lines ----------------------------------------------------

std::string StraceWriter::call(const SyscallEvent& e) const {
  std::string line = "[pid " + std::to_string(e.pid) + "] " + e.name + "(" + arguments(e, strsize_) + ") = ";
  if (!e.returned) line += "?";
  else if (e.failed) line += "-1 " + error_text(e.v0);
  else line += std::to_string(e.v0);
  if (e.injected) line += " (INJECTED)";
  return line;
}

std::string StraceWriter::exited(uint32_t pid, int32_t status) const {
  return "[pid " + std::to_string(pid) + "] +++ exited with " + std::to_string(status) + " +++";
}

std::string StraceWriter::signalled(uint32_t pid, int signal, std::string_view why) const {
  return "[pid " + std::to_string(pid) + "] +++ killed by " + signal_name(signal) + " (" + std::string(why) + ") +++";
}

std::string StraceWriter::killed(uint32_t pid, const Fault& fault, std::string_view why) const {
  return signalled(pid, fault_signal(fault.kind), why);
}

// ---- tab-separated lines ----------------------------------------------------

std::string TsvWriter::call(const SyscallEvent& e) const {
  static const char digits[] = "0123456789abcdef";
  std::string line = std::to_string(e.pid) + '\t' + std::to_string(e.number) + '\t' + e.name;
  for (uint32_t a : e.args) line += '\t' + hex8(a);
  if (e.returned) line += std::string("\t") + (e.failed ? "1" : "0") + '\t' + std::to_string(e.v0) + '\t' + hex8(e.v1);
  else line += "\t-\t-\t-";
  line += '\t';
  for (unsigned char c : e.data) {
    line += digits[c >> 4];
    line += digits[c & 15];
  }
  if (e.args[2] > e.data.size() && e.number == static_cast<uint32_t>(Sys::write) && !e.data.empty()) line += "...";
  line += e.injected ? "\t1" : "\t0";
  return line;
}

std::string TsvWriter::exited(uint32_t pid, int32_t status) const {
  return std::to_string(pid) + "\texit\t" + std::to_string(status);
}

namespace {
std::string tsv_kill(uint32_t pid, int sig, const std::string& pc, const std::string& addr, std::string_view why) {
  return std::to_string(pid) + "\tkilled\t" + std::to_string(sig) + '\t' + signal_name(sig) + '\t' + pc + '\t' + addr +
         '\t' + std::string(why);
}
}  // namespace

std::string TsvWriter::killed(uint32_t pid, const Fault& f, std::string_view why) const {
  return tsv_kill(pid, fault_signal(f.kind), hex8(f.pc), hex8(f.addr), why);
}

std::string TsvWriter::signalled(uint32_t pid, int signal, std::string_view why) const {
  return tsv_kill(pid, signal, "-", "-", why);
}

}  // namespace r3k
