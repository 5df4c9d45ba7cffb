#include "r3k/trace.h"

#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <utility>

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

std::string sdec64(uint32_t hi, uint32_t lo) { return std::to_string(static_cast<int64_t>(uint64_t{hi} << 32 | lo)); }

uint32_t word_at(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (size_t i = at; i < at + 4 && i < bytes.size(); ++i) v = v << 8 | static_cast<unsigned char>(bytes[i]);
  return v;
}

// Names for the bits set, joined by "|", the rest in hex.
std::string flag_names(uint32_t v, std::initializer_list<std::pair<uint32_t, const char*>> names) {
  std::string s;
  for (const auto& [bit, name] : names) {
    if (!(v & bit)) continue;
    s += (s.empty() ? "" : "|") + std::string(name);
    v &= ~bit;
  }
  if (v != 0 || s.empty()) s += (s.empty() ? "" : "|") + hex(v);
  return s;
}

std::string open_flags(uint32_t v) {
  static constexpr const char* kModes[] = {"O_RDONLY", "O_WRONLY", "O_RDWR", "O_ACCMODE"};
  std::string s = kModes[v & kO_ACCMODE];
  const uint32_t rest = v & ~kO_ACCMODE;
  if (rest != 0)
    s += "|" +
         flag_names(rest, {{kO_CREAT, "O_CREAT"}, {kO_EXCL, "O_EXCL"}, {kO_TRUNC, "O_TRUNC"}, {kO_APPEND, "O_APPEND"}});
  return s;
}

std::string octal(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%#o", v);
  return buf;
}

std::string named(uint32_t v, std::initializer_list<const char*> names) {
  return v < names.size() ? names.begin()[v] : sdec(v);
}

// Whether a buffer argument's item holds less than the call moved; and
// whether it could not be read at all (a buffer shown as its address).
bool buffer_cut(const SyscallEvent& e, const ArgSpec& arg, const std::string& bytes) {
  const uint32_t moved = arg.kind == ArgKind::InBuf ? e.args[arg.word + 1] : static_cast<uint32_t>(e.v0);
  return moved > bytes.size();
}

// One argument of a known call.  item: the event's memory item it shows
// (advanced past the ones it used).
std::string argument(const SyscallEvent& e, const CallSignature& s, uint8_t i, size_t& item, uint32_t strsize) {
  const ArgSpec arg = s.args[i];
  const uint32_t w = arg.word < 4 ? e.args[arg.word] : 0;
  const bool memory = is_memory_arg(arg.kind);
  const size_t at = item;
  if (memory && arg.kind != ArgKind::Argv) ++item;
  const bool missing = memory && (e.missing >> std::min<size_t>(at, 31) & 1);
  const bool cut = memory && (e.cut >> std::min<size_t>(at, 31) & 1);
  const std::string& bytes = memory && at <= e.more.size() ? e.item(at) : e.data;
  switch (arg.kind) {
    case ArgKind::Int: return sdec(w);
    case ArgKind::UInt: return std::to_string(w);
    case ArgKind::Hex: return hex(w);
    case ArgKind::Ptr: return pointer(w);
    case ArgKind::Path: return missing ? pointer(w) : quote_bytes(bytes, strsize, cut);
    case ArgKind::InBuf:
    case ArgKind::OutBuf: {
      if (arg.kind == ArgKind::OutBuf && (e.failed || missing)) return pointer(w);
      const bool more = buffer_cut(e, arg, bytes);
      return bytes.empty() && more ? pointer(w) : quote_bytes(bytes, strsize, more);
    }
    case ArgKind::Argv: {
      if (at < 32 && (e.missing >> at & 1)) return pointer(w);
      std::string v = "[";
      for (size_t k = at; k < 1 + e.more.size(); ++k) v += (k == at ? "" : ", ") + quote_bytes(e.item(k), strsize);
      return v + "]";
    }
    case ArgKind::OpenFlags: return open_flags(w);
    case ArgKind::Mode: return octal(w);
    case ArgKind::WaitOptions: return w == 0 ? "0" : flag_names(w, {{kWNOHANG, "WNOHANG"}});
    case ArgKind::Off64: return sdec64(w, e.args[arg.word + 1]);
    case ArgKind::Whence: return missing ? "?" : named(word_at(bytes, 0), {"SEEK_SET", "SEEK_CUR", "SEEK_END"});
    case ArgKind::StatOut: {
      if (missing) return pointer(w);
      GuestStat st;
      st.f_st_size = static_cast<int64_t>(uint64_t{word_at(bytes, 8)} << 32 | word_at(bytes, 12));
      st.f_st_mode = word_at(bytes, 44);
      return describe_stat(st);
    }
    case ArgKind::PipeOut:
      return missing ? pointer(w) : "[" + sdec(word_at(bytes, 0)) + ", " + sdec(word_at(bytes, 4)) + "]";
    case ArgKind::TimeOut: return missing ? pointer(w) : "[" + sdec64(word_at(bytes, 0), word_at(bytes, 4)) + "]";
    case ArgKind::NsecOut: return missing ? pointer(w) : "[" + std::to_string(word_at(bytes, 0)) + "]";
    case ArgKind::RebootCode: return named(w, {"RB_REBOOT", "RB_HALT", "RB_POWEROFF"});
  }
  return hex(w);
}

std::string arguments(const SyscallEvent& e, uint32_t strsize) {
  const CallSignature* s = call_signature(e.number);
  if (s == nullptr) return hex(e.args[0]) + ", " + hex(e.args[1]) + ", " + hex(e.args[2]) + ", " + hex(e.args[3]);
  std::string out;
  size_t item = 0;
  for (uint8_t i = 0; i < s->count; ++i) {
    // open's mode means something only when it creates the file.
    if (s->args[i].kind == ArgKind::Mode && i > 0 && s->args[i - 1].kind == ArgKind::OpenFlags &&
        !(e.args[s->args[i - 1].word] & kO_CREAT))
      continue;
    out += (i == 0 ? "" : ", ") + argument(e, *s, i, item, strsize);
  }
  return out;
}

std::string result(const SyscallEvent& e) {
  const CallSignature* s = call_signature(e.number);
  const RetKind ret = s ? s->ret : RetKind::Dec;
  if (ret == RetKind::Hex) return hex(static_cast<uint32_t>(e.v0));
  if (ret == RetKind::Dec64) return sdec64(static_cast<uint32_t>(e.v0), e.v1);
  return std::to_string(e.v0);
}

// "EIO (I/O error)"; with the reason behind it "EIO (I/O error: EACCES)".
std::string error_text(int32_t number, std::string_view why) {
  std::string_view name = error_name(number);
  return std::string(name.empty() ? std::to_string(number) : std::string(name)) + " (" +
         std::string(error_message(number)) + (why.empty() ? "" : ": " + std::string(why)) + ")";
}

}  // namespace

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
  else if (e.failed) line += "-1 " + error_text(e.v0, e.why);
  else line += result(e);
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
  // Field 11: the memory items in hex, separated by commas; "..." after
  // one that holds only the first bytes of what the call moved.
  line += '\t';
  const CallSignature* s = call_signature(e.number);
  size_t k = 0;
  for (uint8_t i = 0; s != nullptr && i < s->count; ++i) {
    const ArgSpec arg = s->args[i];
    if (!is_memory_arg(arg.kind)) continue;
    for (; k < 1 + e.more.size(); ++k) {
      const std::string& bytes = e.item(k);
      if (k > 0) line += ',';
      for (unsigned char c : bytes) {
        line += digits[c >> 4];
        line += digits[c & 15];
      }
      const bool buffer = arg.kind == ArgKind::InBuf || arg.kind == ArgKind::OutBuf;
      if (!bytes.empty() && (buffer ? buffer_cut(e, arg, bytes) : k < 32 && (e.cut >> k & 1))) line += "...";
      if (arg.kind != ArgKind::Argv) {
        ++k;
        break;
      }
    }
  }
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
