#include "r3k/gdb_stub.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "debug/hex.h"

namespace r3k::gdb {
namespace {

// Error replies carry the errno-style number gdb prints.
constexpr std::string_view kErrRefused = "E01";   // the target would not do it
constexpr std::string_view kErrNoThread = "E03";  // no such thread, or the process has ended
constexpr std::string_view kErrTooLong = "E07";   // a packet past the advertised size
constexpr std::string_view kErrMemory = "E0e";    // memory not accessible
constexpr std::string_view kErrInvalid = "E16";   // malformed packet or argument
constexpr std::string_view kErrRange = "E22";     // an address range past 32 bits

// The registers gdb's MIPS support insists on, numbered as its default
// layout: without the CP0 and FPU features it rejects the description.
std::string make_target_xml() {
  auto reg = [](const std::string& name, int num, const char* extra = "") {
    return "<reg name=\"" + name + "\" bitsize=\"32\" regnum=\"" + std::to_string(num) + "\"" + extra + "/>\n";
  };
  std::string x =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n<target version=\"1.0\">\n"
      "<architecture>mips</architecture>\n<feature name=\"org.gnu.gdb.mips.cpu\">\n";
  for (int i = 0; i < int{kGprCount}; ++i) x += reg("r" + std::to_string(i), i);
  x += reg("lo", kRegLo) + reg("hi", kRegHi) + reg("pc", kRegPc) + "</feature>\n";
  x += "<feature name=\"org.gnu.gdb.mips.cp0\">\n" + reg("status", kRegStatus) + reg("badvaddr", kRegBadVaddr) +
       reg("cause", kRegCause) + "</feature>\n<feature name=\"org.gnu.gdb.mips.fpu\">\n";
  for (int i = 0; i < 32; ++i) x += reg("f" + std::to_string(i), kRegF0 + i, " type=\"ieee_single\"");
  x += reg("fcsr", kRegFcsr, " group=\"float\"") + reg("fir", kRegFir, " group=\"float\"");
  return x + "</feature>\n</target>\n";
}

const std::string& target_xml() {
  static const std::string xml = make_target_xml();
  return xml;
}

// Splits s at the first sep; false if there is none.
bool split(std::string_view s, char sep, std::string_view& head, std::string_view& tail) {
  const size_t at = s.find(sep);
  if (at == std::string_view::npos) return false;
  head = s.substr(0, at);
  tail = s.substr(at + 1);
  return true;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// "ADDR,LEN" with a range that stays within 32 bits.
enum class Range : uint8_t { Ok, Invalid, Wraps };
Range parse_range(std::string_view s, uint32_t& addr, uint32_t& len) {
  std::string_view a, l;
  if (!split(s, ',', a, l) || !parse_hex(a, addr) || !parse_hex(l, len)) return Range::Invalid;
  return uint64_t{addr} + len > (uint64_t{1} << 32) ? Range::Wraps : Range::Ok;
}

std::string_view range_error(Range r) { return r == Range::Wraps ? kErrRange : kErrInvalid; }

// X data: '}' escapes the next byte (xor 0x20); one at the very end
// escapes nothing and makes the packet malformed.
bool unescape_binary(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '}') {
      out += s[i];
    } else if (++i < s.size()) {
      out += static_cast<char>(s[i] ^ 0x20);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

Stub::Stub(DebugTarget& target, const StopEvent& first, StubConfig config)
    : target_(target),
      config_{std::max<uint32_t>(config.packet_size, 1024)},
      framer_(config_.packet_size),
      state_(first.kind == StopEvent::Kind::Signal ? State::Stopped : State::Exited),
      last_(first) {}

size_t Stub::receive(std::string_view bytes) {
  take_held();
  // What is held goes first: nothing new while some waits for output room.
  if (!held_.empty() && state_ != State::Running) return state_ == State::Closed ? bytes.size() : 0;
  size_t i = 0;
  for (; i < bytes.size(); ++i) {
    if (state_ == State::Closed) return bytes.size();
    if (out_.size() >= 2 * size_t{config_.packet_size}) break;
    if (state_ == State::Running && framer_.idle() && bytes[i] == '$' && held_full()) break;
    handle(framer_.feed(bytes[i]));
  }
  return i;
}

bool Stub::held_full() const { return held_.size() >= kMaxHeld || held_bytes_ >= 2 * size_t{config_.packet_size}; }

// While running, what would be answered waits for the stop: the stop
// reply comes first, as the debugger expects in all-stop.
void Stub::answer(std::string_view payload, bool dispatch_it) {
  if (state_ != State::Running) return dispatch_it ? dispatch(payload) : reply(payload);
  held_.push_back({std::string(payload), dispatch_it});
  held_bytes_ += payload.size();
}

void Stub::take_held() {
  while (!held_.empty() && (state_ == State::Stopped || state_ == State::Exited) &&
         out_.size() < 2 * size_t{config_.packet_size}) {
    Held h = std::move(held_.front());
    held_.pop_front();
    held_bytes_ -= h.text.size();
    if (h.dispatch) dispatch(h.text);
    else reply(h.text);
  }
  if (state_ == State::Closed) held_.clear(), held_bytes_ = 0;
}

void Stub::handle(Framer::Event event) {
  switch (event) {
    case Framer::Event::None:
    case Framer::Event::Ack: return;
    case Framer::Event::Packet:
      if (!no_ack_) out_ += '+';  // also while running: it arrived, no need to resend
      answer(framer_.payload(), true);
      return;
    case Framer::Event::BadChecksum:
      // Without acknowledgements nobody would resend it: answer instead
      // of leaving the debugger waiting.
      if (no_ack_) answer(kErrInvalid, false);
      else out_ += '-';
      return;
    case Framer::Event::TooLong:
      if (!no_ack_) out_ += '+';  // arrived intact; resending would not help
      answer(kErrTooLong, false);
      return;
    case Framer::Event::Nak:
      if (!no_ack_) out_ += last_packet_;
      return;
    case Framer::Event::Interrupt:
      if (state_ == State::Running && !interrupt_sent_) {
        interrupt_sent_ = true;
        target_.interrupt();
      }
      return;
  }
}

void Stub::reply(std::string_view payload, bool binary) {
  last_packet_ = frame(payload, !binary);
  out_ += last_packet_;
}

std::string Stub::take_output() {
  std::string out;
  out.swap(out_);
  return out;
}

void Stub::stopped(const StopEvent& event) {
  if (state_ != State::Running) return;
  last_ = event;
  state_ = event.kind == StopEvent::Kind::Signal ? State::Stopped : State::Exited;
  reply(stop_reply(event));
}

std::string Stub::stop_reply(const StopEvent& e) {
  switch (e.kind) {
    case StopEvent::Kind::Exited: return "W" + hex2(e.status & 0xff);
    case StopEvent::Kind::Killed: return "X" + hex2(static_cast<uint32_t>(to_gdb_signal(e.signal)));
    case StopEvent::Kind::Signal: break;
  }
  std::string r = "T" + hex2(static_cast<uint32_t>(to_gdb_signal(e.signal)));
  if (e.hit == StopEvent::Hit::SoftwareBreakpoint && report_swbreak_) r += "swbreak:;";
  if (e.hit == StopEvent::Hit::HardwareBreakpoint && report_hwbreak_) r += "hwbreak:;";
  r += "thread:" + hex(target_.thread_id()) + ";";
  // What the first unwinding step needs, saving a register round trip.
  for (int reg : {kRegSp, kRegRa, kRegPc}) {
    uint32_t v = 0;
    if (target_.read_register(reg, v) == RegAccess::Ok) r += hex2(static_cast<uint32_t>(reg)) + ":" + hex8(v) + ";";
  }
  return r;
}

void Stub::dispatch(std::string_view p) {
  if (p.empty()) return reply("");
  const char cmd = p[0];
  const std::string_view args = p.substr(1);
  // Commands that need the process itself.
  const bool needs_process =
      std::string_view("gGpPmMXZzcCsSHT").find(cmd) != std::string_view::npos || starts_with(p, "vCont;");
  if (state_ == State::Exited && needs_process) return reply(kErrNoThread);
  switch (cmd) {
    case '?': return reply(stop_reply(last_));
    case 'g': return reply(args.empty() ? read_registers() : std::string(kErrInvalid));
    case 'G': return reply(write_registers(args));
    case 'p': return reply(read_register(args));
    case 'P': return reply(write_register(args));
    case 'm': return reply(read_memory(args));
    case 'M': return reply(write_memory(args, false));
    case 'X': return reply(write_memory(args, true));
    case 'Z': return reply(breakpoint(args, true));
    case 'z': return reply(breakpoint(args, false));
    case 'c':
    case 's':
    case 'C':
    case 'S': {
      const std::string error = resume_packet(args, cmd == 's' || cmd == 'S', cmd == 'C' || cmd == 'S');
      if (!error.empty()) reply(error);
      return;
    }
    case 'H': return reply(select_thread(args));
    case 'T': return reply(our_thread(args, false) ? "OK" : std::string(kErrNoThread));
    case 'k':
      if (state_ != State::Exited) target_.kill();
      state_ = State::Closed;  // gdb expects no answer
      return;
    case 'D':
      if (!args.empty() && args[0] != ';') return reply(kErrInvalid);
      if (state_ != State::Exited) target_.detach();
      reply("OK");
      state_ = State::Closed;
      return;
    case 'q': return reply(query(p), starts_with(p, "qXfer:"));
    case 'Q':
      if (p == "QStartNoAckMode") {
        reply("OK");  // still acknowledged: the mode starts after this answer
        no_ack_ = true;
        return;
      }
      return reply("");
    case 'v':
      if (p == "vCont?") return reply("vCont;c;C;s;S");
      if (starts_with(p, "vCont;")) {
        const std::string error = vcont(p.substr(6));
        if (!error.empty()) reply(error);
        return;
      }
      return reply("");  // vMustReplyEmpty and everything not offered
    default: return reply("");
  }
}

std::string Stub::read_registers() {
  std::string r;
  r.reserve(kRegCount * 8);
  for (int reg = 0; reg < kRegCount; ++reg) {
    uint32_t v = 0;
    r += target_.read_register(reg, v) == RegAccess::Ok ? hex8(v) : "xxxxxxxx";
  }
  return r;
}

std::string Stub::write_registers(std::string_view hex_regs) {
  if (hex_regs.empty() || hex_regs.size() % 8 != 0 || hex_regs.size() > kRegCount * 8) return std::string(kErrInvalid);
  std::vector<uint32_t> values(hex_regs.size() / 8);
  for (size_t i = 0; i < values.size(); ++i)
    if (!parse_hex(hex_regs.substr(8 * i, 8), values[i])) return std::string(kErrInvalid);
  // Registers the machine lacks come back as whatever gdb holds for them:
  // skipped, not refused.
  bool refused = false;
  for (size_t i = 0; i < values.size(); ++i)
    refused |= target_.write_register(static_cast<int>(i), values[i]) == RegAccess::Refused;
  return refused ? std::string(kErrRefused) : "OK";
}

std::string Stub::read_register(std::string_view args) {
  uint32_t reg = 0;
  if (!parse_hex(args, reg) || reg >= kRegCount) return std::string(kErrInvalid);
  uint32_t v = 0;
  return target_.read_register(static_cast<int>(reg), v) == RegAccess::Ok ? hex8(v) : "xxxxxxxx";
}

std::string Stub::write_register(std::string_view args) {
  std::string_view r, v;
  uint32_t reg = 0, value = 0;
  if (!split(args, '=', r, v) || !parse_hex(r, reg) || reg >= kRegCount || v.size() != 8 || !parse_hex(v, value))
    return std::string(kErrInvalid);
  return target_.write_register(static_cast<int>(reg), value) == RegAccess::Ok ? "OK" : std::string(kErrRefused);
}

std::string Stub::read_memory(std::string_view args) {
  uint32_t addr = 0, len = 0;
  if (const Range r = parse_range(args, addr, len); r != Range::Ok) return std::string(range_error(r));
  if (len == 0) return "";
  // A shorter answer is a partial read, which gdb continues itself.
  len = std::min(len, config_.packet_size / 2);
  std::vector<uint8_t> buf(len);
  const uint32_t got = std::min(target_.read_memory(addr, buf.data(), len), len);
  return got == 0 ? std::string(kErrMemory) : encode_hex(buf.data(), got);
}

std::string Stub::write_memory(std::string_view args, bool binary) {
  std::string_view range, data;
  uint32_t addr = 0, len = 0;
  if (!split(args, ':', range, data)) return std::string(kErrInvalid);
  if (const Range r = parse_range(range, addr, len); r != Range::Ok) return std::string(range_error(r));
  std::string bytes;
  if (!(binary ? unescape_binary(data, bytes) : decode_hex(data, bytes)) || bytes.size() != len)
    return std::string(kErrInvalid);
  if (len == 0) return "OK";  // gdb's probe for X
  return target_.write_memory(addr, reinterpret_cast<const uint8_t*>(bytes.data()), len) ? "OK"
                                                                                         : std::string(kErrMemory);
}

std::string Stub::breakpoint(std::string_view args, bool insert) {
  std::string_view type, rest;
  if (!split(args, ',', type, rest) || type.size() != 1) return std::string(kErrInvalid);
  if (type != "0" && type != "1") return "";  // watchpoints are not offered
  uint32_t addr = 0, kind = 0;
  if (parse_range(rest, addr, kind) == Range::Invalid || kind != 4 || addr % 4 != 0) return std::string(kErrInvalid);
  const BreakKind k = type == "0" ? BreakKind::Software : BreakKind::Hardware;
  const bool ok = insert ? target_.insert_breakpoint(k, addr) : target_.remove_breakpoint(k, addr);
  return ok ? "OK" : std::string(kErrRefused);
}

// c [ADDR], s [ADDR], C SIG[;ADDR], S SIG[;ADDR].  Empty when resumed.
std::string Stub::resume_packet(std::string_view args, bool step, bool with_signal) {
  uint32_t signal = 0, addr = 0;
  std::string_view sig = args, where;
  if (with_signal) {
    if (!split(args, ';', sig, where)) where = {};
    if (!parse_hex(sig, signal)) return std::string(kErrInvalid);
  } else {
    where = args;
  }
  const bool has_addr = !where.empty() || (with_signal && args.find(';') != std::string_view::npos);
  if (has_addr && !parse_hex(where, addr)) return std::string(kErrInvalid);
  if (signal != 0 && from_gdb_signal(static_cast<int>(signal)) == 0) return std::string(kErrInvalid);
  if (has_addr && target_.write_register(kRegPc, addr) != RegAccess::Ok) return std::string(kErrRefused);
  resume(step, static_cast<int>(signal));
  return "";
}

// The leftmost action that applies to our thread wins.  Empty when resumed.
std::string Stub::vcont(std::string_view actions) {
  while (true) {
    std::string_view action = actions, rest, thread;
    const bool more = split(actions, ';', action, rest);
    std::string_view what = action;
    const bool has_thread = split(action, ':', what, thread);
    if (what.empty()) return std::string(kErrInvalid);
    const char op = what[0];
    uint32_t signal = 0;
    if (op == 'c' || op == 's') {
      if (what.size() != 1) return std::string(kErrInvalid);
    } else if (op == 'C' || op == 'S') {
      if (!parse_hex(what.substr(1), signal) || from_gdb_signal(static_cast<int>(signal)) == 0)
        return std::string(kErrInvalid);
    } else {
      return std::string(kErrInvalid);  // t and r are not offered in all-stop
    }
    if (!has_thread || our_thread(thread, true)) {
      resume(op == 's' || op == 'S', static_cast<int>(signal));
      return "";
    }
    if (!more) return std::string(kErrInvalid);
    actions = rest;
  }
}

void Stub::resume(bool step, int gdb_signal) {
  state_ = State::Running;
  interrupt_sent_ = false;
  target_.resume({step, gdb_signal == 0 ? 0 : from_gdb_signal(gdb_signal)});
}

bool Stub::our_thread(std::string_view id, bool allow_all) const {
  if (id == "0" || (allow_all && id == "-1")) return true;
  uint32_t tid = 0;
  return parse_hex(id, tid) && tid == target_.thread_id();
}

std::string Stub::select_thread(std::string_view args) {
  if (args.size() < 2 || (args[0] != 'g' && args[0] != 'c')) return std::string(kErrInvalid);
  return our_thread(args.substr(1), true) ? "OK" : std::string(kErrNoThread);
}

std::string Stub::query(std::string_view p) {
  const bool alive = state_ != State::Exited;
  if (p == "qSupported" || starts_with(p, "qSupported:")) return supported(p.substr(std::min<size_t>(p.size(), 11)));
  if (starts_with(p, "qXfer:features:read:")) return features(p.substr(20));
  if (p == "qC") return "QC" + hex(target_.thread_id());
  if (p == "qfThreadInfo") return alive ? "m" + hex(target_.thread_id()) : "l";
  if (p == "qsThreadInfo") return "l";
  if (p == "qAttached" || starts_with(p, "qAttached:")) return "0";  // started here: quitting gdb kills it
  if (starts_with(p, "qSymbol:")) return "OK";                       // no symbols wanted
  return "";
}

std::string Stub::supported(std::string_view args) {
  while (!args.empty()) {
    std::string_view feature = args, rest;
    if (!split(args, ';', feature, rest)) rest = {};
    if (feature == "swbreak+") report_swbreak_ = true;
    if (feature == "hwbreak+") report_hwbreak_ = true;
    args = rest;
  }
  return "PacketSize=" + hex(config_.packet_size) + ";qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+";
}

// ANNEX:OFFSET,LENGTH of the target description.
std::string Stub::features(std::string_view args) {
  const size_t colon = args.rfind(':');
  uint32_t offset = 0, len = 0;
  if (colon == std::string_view::npos || parse_range(args.substr(colon + 1), offset, len) == Range::Invalid)
    return "E00";
  if (args.substr(0, colon) != "target.xml") return "E00";
  const std::string& xml = target_xml();
  if (offset > xml.size()) return std::string(kErrInvalid);
  // Escaping may double the chunk; keep the reply within a packet.
  const size_t n = std::min<size_t>({len, xml.size() - offset, (config_.packet_size - 1) / 2});
  const std::string chunk = escape_binary(std::string_view(xml).substr(offset, n));
  return (offset + n < xml.size() ? "m" : "l") + chunk;
}

}  // namespace r3k::gdb
