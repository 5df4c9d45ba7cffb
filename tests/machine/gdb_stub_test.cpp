// The gdb remote-protocol layer against a fake target: framing, each
// command with good and hostile arguments, the session states, bounded
// memory under floods, and one real gdb-multiarch session over TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <random>
#include <set>
#include <thread>

#include "r3k/elf.h"
#include "r3k/gdb_stub.h"
#include "support/subprocess.h"

namespace r3k::gdb {
namespace {

constexpr uint32_t kText = 0x400000, kData = 0x401000;

// Text (read-only) and data pages, a few registers, FPU absent, CP0
// read-only.  Runs nothing itself: resume() is recorded and next_stop()
// makes up where a run would end.
struct FakeTarget : DebugTarget {
  uint32_t regs[kRegCount] = {};
  AddressSpace mem{4096};
  std::set<std::pair<BreakKind, uint32_t>> breaks;
  std::deque<std::optional<StopEvent>> script;  // stops to report, in turn; nullopt: made up
  Resume last{};
  std::set<uint32_t> hit;
  std::string log;

  // With an image: its segments, a stack page and pc at its entry.
  explicit FakeTarget(const ElfImage* image = nullptr) {
    regs[kRegSp] = 0x7fff0000;
    regs[kRegRa] = image ? 0 : 0x400010;
    regs[kRegLo] = 0xdeadbeef;
    regs[kRegPc] = image ? image->entry() : kText;
    mem.map(0x7ffef000, 2 * kPageSize, kProtRead | kProtWrite);
    if (image) {
      image->load_into(mem);
      return;
    }
    mem.map(kText, kPageSize, kProtRead | kProtExec);
    mem.map(kData, kPageSize, kProtRead | kProtWrite);
    for (uint32_t i = 0; i < 8; ++i) mem.poke(kText + 4 * i, "\x24\x02\x00\x07", 4);
  }
  uint32_t thread_id() const override { return 2; }
  RegAccess read_register(int r, uint32_t& v) override {
    if (r >= kRegF0) return RegAccess::Unavailable;
    v = regs[r];
    return RegAccess::Ok;
  }
  RegAccess write_register(int r, uint32_t v) override {
    if (r >= kRegF0) return RegAccess::Unavailable;
    const bool fixed = r == 0 || r == kRegStatus || r == kRegBadVaddr || r == kRegCause;
    if (fixed && v != regs[r]) return RegAccess::Refused;  // its own value back is fine (G)
    regs[r] = v;
    return RegAccess::Ok;
  }
  uint32_t read_memory(uint32_t addr, uint8_t* dst, uint32_t len) override {
    uint32_t n = 0;
    while (n < len && (mem.prot(addr + n) & kProtRead)) ++n;
    return mem.peek(addr, dst, n) ? n : 0;
  }
  bool write_memory(uint32_t addr, const uint8_t* src, uint32_t len) override { return mem.copy_out(addr, src, len); }
  bool insert_breakpoint(BreakKind k, uint32_t addr) override {
    log += "Z" + std::to_string(int(k)) + ":" + std::to_string(addr) + " ";
    return (mem.prot(addr) & kProtExec) && breaks.insert({k, addr}).first != breaks.end();
  }
  bool remove_breakpoint(BreakKind k, uint32_t addr) override {
    log += "z" + std::to_string(int(k)) + ":" + std::to_string(addr) + " ";
    breaks.erase({k, addr});
    return true;
  }
  void resume(const Resume& how) override {
    last = how;
    log += (how.step ? "step" : "cont") + std::string(how.signal ? ":" + std::to_string(how.signal) : "") + " ";
  }
  void interrupt() override { log += "interrupt "; }
  void kill() override { log += "kill "; }
  void detach() override { log += "detach "; }

  // A run: the scripted stop, else a step of one word, else the first
  // breakpoint not hit before, else an exit with 3.  A signal kills.
  StopEvent next_stop() {
    if (!script.empty()) {
      const std::optional<StopEvent> e = script.front();
      script.pop_front();
      if (e) return *e;
    }
    if (last.signal) return StopEvent::killed(last.signal);
    uint32_t& pc = regs[kRegPc];
    if (last.step) return pc += 4, StopEvent::signalled(kSigTrap);
    for (const auto& [kind, addr] : breaks)
      if (addr != pc && hit.insert(addr).second)
        return pc = addr, StopEvent::signalled(kSigTrap, kind == BreakKind::Software
                                                              ? StopEvent::Hit::SoftwareBreakpoint
                                                              : StopEvent::Hit::HardwareBreakpoint);
    return StopEvent::exited(3);
  }
};

// The debugger's side: a packet as gdb frames it, and the payloads of a
// reply read back independently of the stub's own framing (checksums
// checked, run-length encoding expanded).
std::string packet(std::string_view payload) {
  uint8_t sum = 0;
  for (char c : payload) sum = static_cast<uint8_t>(sum + c);
  char cs[3];
  std::snprintf(cs, sizeof cs, "%02x", sum);
  return "$" + std::string(payload) + "#" + cs;
}

std::vector<std::string> payloads(std::string_view out) {
  std::vector<std::string> r;
  for (size_t at = out.find('$'); at != std::string_view::npos; at = out.find('$', at + 1)) {
    const size_t end = out.find('#', at);
    if (end == std::string_view::npos || end + 3 > out.size()) return r.push_back("<cut>"), r;
    std::string p;
    uint8_t sum = 0;
    for (size_t i = at + 1; i < end; ++i) {
      sum = static_cast<uint8_t>(sum + out[i]);
      if (out[i] == '*' && !p.empty() && i + 1 < end) {
        sum = static_cast<uint8_t>(sum + out[++i]);
        p.append(static_cast<size_t>(out[i] - 29), p.back());
      } else {
        p += out[i];
      }
    }
    r.push_back(std::stoul(std::string(out.substr(end + 1, 2)), nullptr, 16) == sum ? p : "<checksum>");
  }
  return r;
}

struct Session {
  FakeTarget target;
  Stub stub{target, StopEvent::signalled(kSigTrap)};

  // Feeds everything, draining the output whenever the stub pauses.
  std::string send(std::string_view bytes) {
    std::string out;
    for (size_t spins = 0; !bytes.empty() && spins < 1000000; ++spins) {
      bytes.remove_prefix(stub.receive(bytes));
      const std::string o = stub.take_output();
      EXPECT_LE(o.size(), 3 * size_t{stub.packet_size()}) << "unbounded";
      out += o;
      if (stub.state() == Stub::State::Running && !bytes.empty()) stub.stopped(target.next_stop());
    }
    EXPECT_TRUE(bytes.empty()) << "stuck";
    return out;
  }
  // One command's only reply; "<none>" when there is none.
  std::string ask(std::string_view payload) {
    const auto r = payloads(send(packet(payload)));
    return r.empty() ? "<none>" : r.size() == 1 ? r[0] : "<several>";
  }
};

TEST(GdbFraming, EventsFromHostileStreams) {
  struct Case {
    std::string in;
    std::string events;  // P(payload) A N I C(bad checksum) L(too long)
    uint64_t skipped;
  } cases[] = {
      {"$g#67+-\x03", "P(g)ANI", 0},
      {"junk\r\n$?#3F", "P(?)", 6},                          // garbage skipped, capital checksum digits
      {"$g#68$g#6z$g#z7", "CCC", 0},                          // wrong sum, non-hex digits
      {"$gg$g#67", "P(g)", 3},                                // a '$' restarts a cut packet
      {"$#00$X}\x03#d8", "P()P(X}\x03)", 0},                  // 0x03 inside a packet is data
      {"$0123456789#0d$01234567#9c$012345678#a5", "LP(01234567)C", 0},  // limit 8; a long bad one is bad
      {std::string(100000, 'x') + "$", "", 100000},
  };
  for (const Case& c : cases) {
    Framer f(8);
    std::string events;
    for (char ch : c.in) {
      switch (f.feed(ch)) {
        case Framer::Event::Packet: events += "P(" + f.payload() + ")"; break;
        case Framer::Event::Ack: events += "A"; break;
        case Framer::Event::Nak: events += "N"; break;
        case Framer::Event::Interrupt: events += "I"; break;
        case Framer::Event::BadChecksum: events += "C"; break;
        case Framer::Event::TooLong: events += "L"; break;
        case Framer::Event::None: break;
      }
      ASSERT_LE(f.payload().size(), 8u);
    }
    EXPECT_EQ(events, c.events) << c.in.substr(0, 40);
    EXPECT_EQ(f.skipped(), c.skipped) << c.in.substr(0, 40);
  }
}

TEST(GdbFraming, RunLengthEncodingRoundTripsAndOnlyShortens) {
  EXPECT_EQ(frame("OK", true), "$OK#9a");
  EXPECT_EQ(frame("0000", true), "$0* #7a");
  EXPECT_EQ(frame("}}}}****", true), "$}}}}****#" + packet("}}}}****").substr(10));  // never compressed
  EXPECT_EQ(escape_binary(std::string("a#$}*\x03", 6)), std::string("a}\x03}\x04}]}\x0a\x03", 10));
  std::mt19937 rng(9);
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    while (s.size() < 300) s.append(rng() % 120, "0x7f ~"[rng() % 6]);
    const std::string f = frame(s, true);
    ASSERT_EQ(payloads(f), std::vector<std::string>{s}) << s;
    ASSERT_LE(f.size(), frame(s, false).size());
  }
}

TEST(GdbCommands, RepliesAndTargetCalls) {
  const std::string regs = "00000000" + std::string(28 * 8, '0') + "7fff0000" + "00000000" + "00400010" +
                           "00000000" + "deadbeef" + std::string(3 * 8, '0') + "00400000" + std::string(34 * 8, 'x');
  const std::string text_word = "24020007";
  struct Case {
    std::string request, reply, log;
  } cases[] = {
      {"?", "T05thread:2;1d:7fff0000;1f:00400010;25:00400000;", ""},
      {"g", regs, ""},
      {"gx", "E16", ""},
      {"p25", "00400000", ""},
      {"p26", "xxxxxxxx", ""},
      {"p48", "E16", ""},
      {"p", "E16", ""},
      {"p100000025", "E16", ""},
      {"P25=00400100", "OK", ""},
      {"P20=00000001", "E01", ""},
      {"P26=3f800000", "E01", ""},
      {"P25=004001", "E16", ""},
      {"P25=0040010g", "E16", ""},
      {"P25", "E16", ""},
      {"G" + regs.substr(0, 37 * 8) + std::string(35 * 8, '0'), "OK", ""},
      {"G" + std::string(33 * 8, '1'), "E01", ""},
      {"G" + std::string(73 * 8, '0'), "E16", ""},
      {"G0000000", "E16", ""},
      {"G0000000z", "E16", ""},
      {"m400000,4", text_word, ""},
      {"m401ffe,4", "0000", ""},                              // the readable prefix
      {"m500000,4", "E0e", ""},
      {"m400000,0", "", ""},
      {"mfffffffe,4", "E22", ""},
      {"m100000000,1", "E16", ""},
      {"m400000", "E16", ""},
      {"m,4", "E16", ""},
      {"m400000,-1", "E16", ""},
      {"m400000,g", "E16", ""},
      {"m400000,100000", std::string("<size>"), ""},          // capped to half a packet
      {"M401000,2:abcd", "OK", ""},
      {"M401000,2:abc", "E16", ""},
      {"M401000,2:abcdef", "E16", ""},
      {"M401000,2:zzzz", "E16", ""},
      {"M401000,2", "E16", ""},
      {"M400000,2:abcd", "E0e", ""},                          // text is read-only
      {"Mfffffffe,4:00000000", "E22", ""},
      {"X401000,0:", "OK", ""},
      {"X401000,3:}\x03}]z", "OK", ""},
      {"X401000,1:}", "E16", ""},                             // escape with nothing after it
      {"X401000,2:a", "E16", ""},
      {"Z0,400010,4", "OK", "Z0:4194320 "},
      {"z1,400010,4", "OK", "z1:4194320 "},
      {"Z0,500000,4", "E01", "Z0:5242880 "},
      {"Z2,401000,4", "", ""},
      {"Z0,400011,4", "E16", ""},
      {"Z0,400010,2", "E16", ""},
      {"Z0,400010", "E16", ""},
      {"Z00,400010,4", "E16", ""},
      {"Z0,400010,4;X2,0a", "E16", ""},
      {"c", "<none>", "cont "},
      {"c400100", "<none>", "cont "},
      {"s", "<none>", "step "},
      {"C0b", "<none>", "cont:11 "},
      {"S1e;400100", "<none>", "step:16 "},                  // gdb's USR1 is the machine's 16
      {"C0b;", "E16", ""},
      {"Cff", "E16", ""},
      {"C", "E16", ""},
      {"cxyz", "E16", ""},
      {"vCont?", "vCont;c;C;s;S", ""},
      {"vCont;c", "<none>", "cont "},
      {"vCont;s:2;c", "<none>", "step "},
      {"vCont;s:3;C0a:-1", "<none>", "cont:10 "},
      {"vCont;s:3", "E16", ""},
      {"vCont;t", "E16", ""},
      {"vCont;", "E16", ""},
      {"vCont;cc", "E16", ""},
      {"vCont;Cxx", "E16", ""},
      {"Hg2", "OK", ""},
      {"Hc-1", "OK", ""},
      {"Hg0", "OK", ""},
      {"Hg3", "E03", ""},
      {"Hx2", "E16", ""},
      {"H", "E16", ""},
      {"T2", "OK", ""},
      {"T-1", "E03", ""},
      {"qC", "QC2", ""},
      {"qfThreadInfo", "m2", ""},
      {"qsThreadInfo", "l", ""},
      {"qAttached:2", "0", ""},
      {"qSymbol::", "OK", ""},
      {"qOffsets", "", ""},
      {"qSupported:multiprocess+;swbreak+", "PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+", ""},
      {"qXfer:features:read:target.xml:0,10", "m<?xml version=\"1", ""},
      {"qXfer:features:read:target.xml:ffff,10", "E16", ""},
      {"qXfer:features:read:other.xml:0,10", "E00", ""},
      {"qXfer:features:read:target.xml:0", "E00", ""},
      {"qXfer:exec-file:read::0,10", "", ""},
      {"vMustReplyEmpty", "", ""},
      {"", "", ""},
      {"!", "", ""},
      {"D", "OK", "detach "},
      {"D;2", "OK", "detach "},
      {"Dx", "E16", ""},
      {"k", "<none>", "kill "},
  };
  for (const Case& c : cases) {
    Session s;
    std::string reply = s.ask(c.request);
    if (c.reply == "<size>") reply = reply.size() == s.stub.packet_size() ? "<size>" : reply;
    EXPECT_EQ(reply, c.reply) << c.request;
    EXPECT_EQ(s.target.log, c.log) << c.request;
  }
  Session s;  // effects of the accepted writes
  s.ask("P25=00400100");
  s.ask("M401000,2:abcd");
  s.ask("X401002,3:}\x03}]z");
  EXPECT_EQ(s.ask("m401000,6"), "abcd237d7a00");
  EXPECT_EQ(s.target.regs[kRegPc], 0x400100u);
  s.ask("C0b;400200");
  EXPECT_EQ(s.target.regs[kRegPc], 0x400200u);
}

TEST(GdbCommands, WholeTargetDescriptionReadInPieces) {
  Session s;
  std::string xml;
  char range[32];
  for (std::string r; xml.size() < 100000 && r.rfind("l", 0) != 0; xml += r.substr(1)) {
    std::snprintf(range, sizeof range, "%zx,7b", xml.size());
    r = s.ask(std::string("qXfer:features:read:target.xml:") + range);
  }
  ASSERT_NE(xml.find("</target>"), std::string::npos);
  for (const char* must : {"<architecture>mips</architecture>", "org.gnu.gdb.mips.cpu", "org.gnu.gdb.mips.cp0",
                           "org.gnu.gdb.mips.fpu", "name=\"pc\" bitsize=\"32\" regnum=\"37\"", "name=\"fir\""})
    EXPECT_NE(xml.find(must), std::string::npos) << must;
}

// Acknowledgements and replies as "+[payload]", "-", ...
std::string render(std::string_view out) {
  std::string r;
  const auto p = payloads(out);
  size_t k = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] != '$') {
      r += out[i];
      continue;
    }
    r += "[" + (k < p.size() ? p[k++] : "?") + "]";
    i = std::min(out.find('#', i) + 2, out.size());
  }
  return r;
}

TEST(GdbSession, AcksStatesAndStopReplies) {
  using E = StopEvent;
  using H = StopEvent::Hit;
  struct Step {
    std::string in;
    std::optional<StopEvent> stop;  // reported after the input
    std::string out;
  };
  const std::string T = "thread:2;1d:7fff0000;1f:00400010;25:00400000;";
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string log;
    Stub::State end;
  } cases[] = {
      {"nak resends, bad sum naks", {{packet("qC"), {}, "+[QC2]"}, {"-", {}, "[QC2]"}, {"$qC#00", {}, "-"}}, "",
       Stub::State::Stopped},
      {"no-ack mode",
       {{packet("QStartNoAckMode"), {}, "+[OK]"}, {"+" + packet("qC"), {}, "[QC2]"}, {"$qC#00-", {}, "[E16]"}},
       "", Stub::State::Stopped},
      {"too long", {{packet(std::string(0x4001, 'm')), {}, "+[E07]"}}, "", Stub::State::Stopped},
      {"exit", {{packet("c"), E::exited(0x107), "+[W07]"}, {packet("g") + packet("?"), {}, "+[E03]+[W07]"},
                {packet("qfThreadInfo") + packet("k") + packet("g"), {}, "+[l]+"}},
       "cont ", Stub::State::Closed},
      {"killed, machine signal 16 is gdb's 30", {{packet("C1e"), E::killed(16), "+[X1e]"}}, "cont:16 ",
       Stub::State::Exited},
      {"bus error and fpe", {{packet("c"), E::signalled(kSigBus), "+[T0a" + T + "]"},
                             {packet("s"), E::signalled(kSigFpe), "+[T08" + T + "]"}},
       "cont step ", Stub::State::Stopped},
      {"breakpoint kinds once asked for",
       {{packet("c"), E::signalled(kSigTrap, H::SoftwareBreakpoint), "+[T05" + T + "]"},
        {packet("qSupported:swbreak+;hwbreak+"), {}, "+[PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+]"},
        {packet("c"), E::signalled(kSigTrap, H::SoftwareBreakpoint), "+[T05swbreak:;" + T + "]"},
        {packet("c"), E::signalled(kSigTrap, H::HardwareBreakpoint), "+[T05hwbreak:;" + T + "]"}},
       "cont cont cont ", Stub::State::Stopped},
      {"interrupt once while running", {{"\x03", {}, ""}, {packet("c") + "\x03\x03", E::signalled(kSigInt), "+[T02" + T + "]"}},
       "cont interrupt ", Stub::State::Stopped},
      {"packet while running waits for the stop",
       {{packet("c") + packet("qC"), {}, "+"}, {"", E::signalled(kSigTrap), "[T05" + T + "]"}, {"", {}, "+[QC2]"}},
       "cont ", Stub::State::Stopped},
      {"stop not asked for is ignored", {{packet("qC"), E::exited(1), "+[QC2]"}}, "", Stub::State::Stopped},
      {"detach closes, the rest is dropped", {{packet("D") + packet("g"), {}, "+[OK]"}}, "detach ", Stub::State::Closed},
  };
  for (const Case& c : cases) {
    FakeTarget target;
    Stub stub(target, E::signalled(kSigTrap));
    std::string pending;
    for (const Step& step : c.steps) {
      pending += step.in;
      pending.erase(0, stub.receive(pending));
      if (step.stop) stub.stopped(*step.stop);
      EXPECT_EQ(render(stub.take_output()), step.out) << c.name << ": " << step.in;
    }
    EXPECT_EQ(target.log, c.log) << c.name;
    EXPECT_EQ(stub.state(), c.end) << c.name;
  }
}

TEST(GdbSession, FloodsAndGarbageStayBounded) {
  Session s;  // Session::send checks the output never exceeds three packets between drains
  std::string flood;
  for (int i = 0; i < 300; ++i) flood += packet("m400000,2000") + "-";
  EXPECT_EQ(payloads(s.send(flood)).size(), 600u);
  EXPECT_EQ(s.send(std::string(1 << 20, 'z') + "$" + std::string((1 << 20) + 1, 'q')), "");
  EXPECT_EQ(render(s.send("#00" + packet("qC"))), "-+[QC2]");

  // Mutated commands, mostly with sound checksums so that they reach the
  // command layer; the fake target keeps running and stopping.
  const char* seeds[] = {"g", "G00000000", "p25", "P25=00400000", "m400000,10", "M401000,2:abcd", "X401000,2:}]z",
                         "Z0,400010,4", "z0,400010,4", "c", "s400004", "C0b;400000", "vCont;s:2;c", "vCont?", "Hg2",
                         "T2", "qSupported:swbreak+", "qXfer:features:read:target.xml:0,ffff", "?", "qC",
                         "QStartNoAckMode", "qfThreadInfo"};
  std::mt19937 rng(3);
  std::string in;
  for (int i = 0; i < 20000; ++i) {
    std::string p = seeds[rng() % std::size(seeds)];
    for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
      const size_t at = rng() % (p.size() + 1);
      switch (rng() % 5) {
        case 0: p.insert(at, 1, ",:;}#$*\x03-0fx"[rng() % 13]); break;
        case 1: p.erase(at, 1); break;
        case 2: p.insert(at, rng() % 2 ? "ffffffff" : "100000000"); break;
        case 3: p = p.substr(0, at); break;
        case 4: p.insert(at, std::string(rng() % (rng() % 100 ? 100 : 40000), 'a')); break;  // now and then too long
      }
    }
    in += rng() % 10 ? packet(p) : "$" + p + "#" + std::to_string(rng() % 100);
  }
  s.target.script.assign(20000, StopEvent::signalled(kSigTrap));  // alive throughout
  s.send(in);
  if (s.stub.state() == Stub::State::Running) s.stub.stopped(StopEvent::signalled(kSigTrap));
  s.send("#00");  // ends whatever packet the last one left open
  EXPECT_EQ(s.ask("qC"), "QC2");
}

// Serves one connection on lfd: the stub over the fake target, which
// stops at once wherever it is resumed.
void serve(int lfd, FakeTarget& target) {
  pollfd p{lfd, POLLIN, 0};
  if (poll(&p, 1, 30000) != 1) return;
  const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  const timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  Stub stub(target, StopEvent::signalled(kSigTrap));
  std::string in;
  char buf[4096];
  while (true) {
    const std::string out = stub.take_output();
    if (!out.empty() && write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) break;
    if (stub.state() == Stub::State::Closed) break;
    if (stub.state() == Stub::State::Running) {
      stub.stopped(target.next_stop());
      continue;
    }
    if (in.empty()) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      in.assign(buf, static_cast<size_t>(n));
    }
    in.erase(0, stub.receive(in));
  }
  close(fd);
}

TEST(GdbMultiarch, BatchSessionsAgainstTheFakeTarget) {
  const std::string prog = std::string(R3K_PROGRAM_DIR) + "/tallowin";
  const ElfImage image = ElfImage::read_file(prog);
  struct Case {
    std::vector<std::string> commands;
    std::deque<std::optional<StopEvent>> stops;
    std::vector<std::string> expect;  // in this order in gdb's output
  } cases[] = {
      {{"info registers pc", "break main", "continue", "set $v0 = 0x1234", "print/x $v0", "set {int}&errno = 42",
        "print {int}&errno", "stepi", "info registers", "continue", "backtrace", "continue"},
       {std::nullopt, std::nullopt, StopEvent::signalled(kSigBus)},  // the third run
       {"in __start ()", "Breakpoint 1 at", "Breakpoint 1, ", "in main", "= 0x1234", "= 42", "in getpid", "zero",
        "status", "cause", "Program received signal SIGBUS, Bus error.", "#0 ", "getpid",
        "Program terminated with signal SIGBUS"}},
      {{"hbreak main", "continue", "continue"}, {}, {"Hardware assisted breakpoint 1 at", "Breakpoint 1, ", "exited with code 03"}},
      {{"stepi", "detach"}, {StopEvent::signalled(kSigFpe)}, {"Program received signal SIGFPE", "detached"}},
  };
  for (const Case& c : cases) {
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    FakeTarget target(&image);
    target.script = c.stops;
    std::thread server(serve, lfd, std::ref(target));
    std::vector<std::string> args = {"gdb-multiarch", "-nx", "-batch", "-ex", "set confirm off", "-ex", "file " + prog,
                                     "-ex", "target remote 127.0.0.1:" + std::to_string(ntohs(addr.sin_port))};
    for (const auto& cmd : c.commands) args.insert(args.end(), {"-ex", cmd});
    const r3k::test::Ran r = r3k::test::run(args, r3k::test::within(60));
    server.join();
    close(lfd);
    const std::string said = r.out + r.err;  // gdb puts some of its messages on each
    size_t at = 0;
    for (const auto& e : c.expect) {
      at = said.find(e, at);
      ASSERT_NE(at, std::string::npos) << e << "\n--- gdb said:\n" << said << "\n--- target: " << target.log;
    }
    EXPECT_EQ(said.find("warning"), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace r3k::gdb
