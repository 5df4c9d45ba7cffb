// The gdb remote-protocol layer against a fake target: framing, each
// command with good and hostile arguments, session states, bounded memory
// under floods, and real gdb-multiarch sessions over TCP.
#include "r3k/gdb_stub.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <random>
#include <set>
#include <thread>

#include "r3k/elf.h"
#include "support/subprocess.h"

namespace r3k::gdb {
namespace {

constexpr uint32_t kText = 0x400000, kData = 0x401000;

// A read-only text and a data page (or a loaded program), no FPU, CP0
// read-only.  Runs nothing: resume() is noted and next_stop() makes up
// where a run ends.
struct FakeTarget : DebugTarget {
  uint32_t regs[kRegCount] = {};
  AddressSpace mem{4096};
  std::set<std::pair<BreakKind, uint32_t>> breaks;
  std::set<uint32_t> hit;
  std::deque<std::optional<StopEvent>> script;  // stops to report in turn; nullopt: made up
  Resume last{};
  std::string log;

  explicit FakeTarget(const ElfImage* image = nullptr) {
    regs[kRegSp] = 0x7fff0000, regs[kRegLo] = 0xdeadbeef, regs[kRegPc] = image ? image->entry() : kText;
    mem.map(0x7ffef000, 2 * kPageSize, kProtRead | kProtWrite);
    if (image) {
      image->load_into(mem);
    } else {
      regs[kRegRa] = 0x400010;
      mem.map(kText, kPageSize, kProtRead | kProtExec);
      mem.map(kData, kPageSize, kProtRead | kProtWrite);
      mem.poke(kText, "\x24\x02\x00\x07", 4);
    }
  }
  uint32_t thread_id() const override { return 2; }
  RegAccess read_register(int r, uint32_t& v) override {
    v = regs[r];
    return r >= kRegF0 ? RegAccess::Unavailable : RegAccess::Ok;
  }
  RegAccess write_register(int r, uint32_t v) override {
    if (r >= kRegF0) return RegAccess::Unavailable;
    if ((r == 0 || r == kRegStatus || r == kRegBadVaddr || r == kRegCause) && v != regs[r]) return RegAccess::Refused;
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
    note("Z" + std::to_string(int(k)) + ":" + std::to_string(addr));
    return (mem.prot(addr) & kProtExec) && breaks.insert({k, addr}).first != breaks.end();
  }
  bool remove_breakpoint(BreakKind k, uint32_t addr) override {
    note("z" + std::to_string(int(k)) + ":" + std::to_string(addr));
    return breaks.erase({k, addr}) || true;
  }
  void resume(const Resume& how) override {
    last = how;
    note((how.step ? "step" : "cont") + (how.signal ? ":" + std::to_string(how.signal) : ""));
  }
  void interrupt() override { note("interrupt"); }
  void kill() override { note("kill"); }
  void detach() override { note("detach"); }
  void note(const std::string& what) { log += what + " "; }

  // The scripted stop, else: a signal kills, a step moves one word, a
  // run goes to the first breakpoint not hit yet, or exits with 3.
  StopEvent next_stop() {
    std::optional<StopEvent> e;
    if (!script.empty()) e = script.front(), script.pop_front();
    if (e) return *e;
    if (last.signal) return StopEvent::killed(last.signal);
    uint32_t& pc = regs[kRegPc];
    if (last.step) return pc += 4, StopEvent::signalled(kSIGTRAP);
    for (const auto& [kind, addr] : breaks)
      if (addr != pc && hit.insert(addr).second)
        return pc = addr,
               StopEvent::signalled(kSIGTRAP, kind == BreakKind::Software ? StopEvent::Hit::SoftwareBreakpoint
                                                                          : StopEvent::Hit::HardwareBreakpoint);
    return StopEvent::exited(3);
  }
};

// A packet as gdb sends it (no runs), and the stub's output read back as
// acks and "[payload]"s, independently of its framing: checksums checked,
// runs expanded.
std::string packet(std::string_view payload) { return frame(payload, false); }

std::string render(std::string_view out) {
  std::string r;
  for (size_t i = 0; i < out.size(); ++i) {
    const size_t end = out.find('#', i);
    if (out[i] != '$' || end + 3 > out.size()) {
      r += out[i] == '$' ? "<cut>" : std::string(1, out[i]);
      continue;
    }
    std::string p;
    uint8_t sum = 0;
    for (size_t k = i + 1; k < end; ++k) {
      sum = static_cast<uint8_t>(sum + out[k]);
      if (out[k] != '*' || p.empty() || k + 1 == end) p += out[k];
      else sum = static_cast<uint8_t>(sum + out[++k]), p.append(static_cast<size_t>(out[k] - 29), p.back());
    }
    r += "[" + (std::stoul(std::string(out.substr(end + 1, 2)), nullptr, 16) == sum ? p : "<checksum>") + "]";
    i = end + 2;
  }
  return r;
}

struct Session {
  FakeTarget target;
  Stub stub{target, StopEvent::signalled(kSIGTRAP)};

  // Feeds everything, draining the output whenever the stub pauses and
  // stopping the target whenever it runs.
  std::string send(std::string_view bytes) {
    std::string out;
    for (size_t spins = 0; (!bytes.empty() || stub.has_held()) && spins < 1000000; ++spins) {
      bytes.remove_prefix(stub.receive(bytes));
      const std::string o = stub.take_output();
      EXPECT_LE(o.size(), 3 * size_t{stub.packet_size()}) << "unbounded";
      out += o;
      if (stub.state() == Stub::State::Running && (!bytes.empty() || stub.has_held())) stub.stopped(target.next_stop());
    }
    EXPECT_TRUE(bytes.empty() && !stub.has_held()) << "stuck";
    return out;
  }
  std::string ask(std::string_view payload) {  // the reply without the ack
    const std::string r = render(send(packet(payload)));
    return r.substr(r.starts_with('+'));
  }
};

TEST(GdbFraming, LongPacketsAreNotKeptAndRunLengthEncodingOnlyShortens) {
  Framer f(8);
  for (char c : "$" + std::string(100000, 'x') + "#00") ASSERT_LE((f.feed(c), f.payload().size()), 8u);
  EXPECT_EQ(frame("0000", true), "$0* #7a");
  EXPECT_EQ(frame("}}}}****", true), "$}}}}****#9c");  // markers never compressed
  EXPECT_EQ(escape_binary(std::string("a#$}*\x03", 6)), "a}\x03}\x04}]}\x0a\x03");
  std::mt19937 rng(9);
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    while (s.size() < 300) s.append(rng() % 120, "0x7f ~"[rng() % 6]);
    ASSERT_EQ(render(frame(s, true)), "[" + s + "]");
    ASSERT_LE(frame(s, true).size(), frame(s, false).size());
  }
}

TEST(GdbCommands, RepliesAndTargetCalls) {
  const std::string regs = std::string(29 * 8, '0') + "7fff000000000000004000100000000" + "0deadbeef" +
                           std::string(3 * 8, '0') + "00400000" + std::string(34 * 8, 'x');
  struct Case {
    std::string request, reply, log = "";
  } cases[] = {
      {"?", "[T05thread:2;1d:7fff0000;1f:00400010;25:00400000;]"},
      {"g", "[" + regs + "]"},
      {"gx", "[E16]"},
      {"p25", "[00400000]"},
      {"p26", "[xxxxxxxx]"},
      {"p48", "[E16]"},
      {"p", "[E16]"},
      {"p100000025", "[E16]"},
      {"P25=00400100", "[OK]"},
      {"P20=00000001", "[E01]"},
      {"P26=3f800000", "[E01]"},
      {"P25=004001", "[E16]"},
      {"P25=0040010g", "[E16]"},
      {"P25", "[E16]"},
      {"G" + regs.substr(0, 37 * 8), "[OK]"},
      {"G" + std::string(33 * 8, '1'), "[E01]"},
      {"G" + std::string(73 * 8, '0'), "[E16]"},
      {"G0000000", "[E16]"},
      {"G0000000z", "[E16]"},
      {"m400000,4", "[24020007]"},
      {"m401ffe,4", "[0000]"},
      {"m500000,4", "[E0e]"},
      {"m400000,0", "[]"},
      {"mfffffffe,4", "[E22]"},
      {"m100000000,1", "[E16]"},
      {"m400000", "[E16]"},
      {"m,4", "[E16]"},
      {"m400000,-1", "[E16]"},
      {"m400000,g", "[E16]"},
      {"m400000,100000", "[" + std::string(16 * 1024, '0').replace(0, 8, "24020007") + "]"},  // half a packet
      {"M401000,2:abcd", "[OK]"},
      {"M401000,2:abc", "[E16]"},
      {"M401000,2:abcdef", "[E16]"},
      {"M401000,2:zzzz", "[E16]"},
      {"M401000,2", "[E16]"},
      {"M400000,2:abcd", "[E0e]"},
      {"Mfffffffe,4:00000000", "[E22]"},
      {"X401000,0:", "[OK]"},
      {"X401000,3:}\x03}]z", "[OK]"},
      {"X401000,1:}", "[E16]"},
      {"X401000,2:a", "[E16]"},
      {"Z0,400010,4", "[OK]", "Z0:4194320 "},
      {"z1,400010,4", "[OK]", "z1:4194320 "},
      {"Z0,500000,4", "[E01]", "Z0:5242880 "},
      {"Z2,401000,4", "[]"},
      {"Z0,400011,4", "[E16]"},
      {"Z0,400010,2", "[E16]"},
      {"Z0,400010", "[E16]"},
      {"Z00,400010,4", "[E16]"},
      {"Z0,400010,4;X2,0a", "[E16]"},
      {"c", "", "cont "},
      {"c400100", "", "cont "},
      {"s", "", "step "},
      {"C0b", "", "cont:11 "},
      {"S1e;400100", "", "step:16 "},
      {"C0b;", "[E16]"},
      {"Cff", "[E16]"},
      {"C", "[E16]"},
      {"cxyz", "[E16]"},
      {"vCont?", "[vCont;c;C;s;S]"},
      {"vCont;c", "", "cont "},
      {"vCont;s:2;c", "", "step "},
      {"vCont;s:3;C0a:-1", "", "cont:10 "},
      {"vCont;s:3", "[E16]"},
      {"vCont;t", "[E16]"},
      {"vCont;", "[E16]"},
      {"vCont;cc", "[E16]"},
      {"vCont;Cxx", "[E16]"},
      {"Hg2", "[OK]"},
      {"Hc-1", "[OK]"},
      {"Hg0", "[OK]"},
      {"Hg3", "[E03]"},
      {"Hx2", "[E16]"},
      {"H", "[E16]"},
      {"T2", "[OK]"},
      {"T-1", "[E03]"},
      {"qC", "[QC2]"},
      {"qfThreadInfo", "[m2]"},
      {"qsThreadInfo", "[l]"},
      {"qAttached:2", "[0]"},
      {"qSymbol::", "[OK]"},
      {"qOffsets", "[]"},
      {"vMustReplyEmpty", "[]"},
      {"", "[]"},
      {"!", "[]"},
      {"qSupported:multiprocess+;swbreak+",
       "[PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+]"},
      {"qXfer:features:read:target.xml:0,10", "[m<?xml version=\"1]"},
      {"qXfer:features:read:target.xml:ffff,1", "[E16]"},
      {"qXfer:features:read:target.xml:ab0,ffff", "[l\n</target>\n]"},
      {"qXfer:features:read:other.xml:0,10", "[E00]"},
      {"qXfer:features:read:target.xml:0", "[E00]"},
      {"qXfer:exec-file:read::0,10", "[]"},
      {"D", "[OK]", "detach "},
      {"D;2", "[OK]", "detach "},
      {"Dx", "[E16]"},
      {"k", "", "kill "},
  };
  for (const Case& c : cases) {
    Session s;
    std::string reply = s.ask(c.request);
    if (c.request.ends_with(",ffff")) reply = "[l" + reply.substr(reply.size() - 12);  // the end of the description
    EXPECT_EQ(reply, c.reply) << c.request;
    EXPECT_EQ(s.target.log, c.log) << c.request;
  }
  Session s;  // what the accepted writes did
  s.ask("M401000,2:abcd"), s.ask("X401002,3:}\x03}]z");
  EXPECT_EQ(s.ask("m401000,6"), "[abcd237d7a00]");
  s.ask("C0b;400200");
  EXPECT_EQ(s.target.regs[kRegPc], 0x400200u);
}

TEST(GdbSession, AcksStatesAndStopReplies) {
  using E = StopEvent;
  struct Step {
    std::string in;
    std::optional<StopEvent> stop;  // reported after the input
    std::string out;
  };
  const std::string T = "thread:2;1d:7fff0000;1f:00400010;25:00400000;]";
  const std::string supported = "+[PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+]";
  struct Case {
    std::vector<Step> steps;
    std::string log;
    Stub::State end;
  } cases[] = {
      {{{packet("qC"), {}, "+[QC2]"}, {"-", {}, "[QC2]"}, {"$qC#00", {}, "-"}}, "", Stub::State::Stopped},
      {{{packet("QStartNoAckMode"), {}, "+[OK]"}, {"+" + packet("qC"), {}, "[QC2]"}, {"$qC#00-", {}, "[E16]"}},
       "",
       Stub::State::Stopped},
      {{{packet(std::string(0x4001, 'm')), {}, "+[E07]"},
        {"$qC#b5$qC#6z$qC#z4", {}, "---"},
        {"junk\r\n$qC#B4$Xq$qC#b4", {}, "+[QC2]+[QC2]"},  // garbage skipped; a '$' restarts a cut packet
        {packet("X401000,1:\x03") + "+\x03",
         {},
         "+[OK]"}},  // 0x03 in a packet is data; out of one while stopped, nothing
       "",
       Stub::State::Stopped},
      {{{packet("c"), E::exited(0x107), "+[W07]"},
        {packet("g") + packet("?"), {}, "+[E03]+[W07]"},
        {packet("qfThreadInfo") + packet("k") + packet("g"), {}, "+[l]+"}},
       "cont ",
       Stub::State::Closed},
      {{{packet("C1e"), E::killed(16), "+[X1e]"}}, "cont:16 ", Stub::State::Exited},  // gdb's USR1 30, the machine's 16
      {{{packet("c"), E::signalled(kSIGBUS), "+[T0a" + T}, {packet("s"), E::signalled(kSIGFPE), "+[T08" + T}},
       "cont step ",
       Stub::State::Stopped},
      {{{packet("c"), E::signalled(kSIGTRAP, E::Hit::SoftwareBreakpoint), "+[T05" + T},
        {packet("qSupported:swbreak+;hwbreak+"), {}, supported},
        {packet("c"), E::signalled(kSIGTRAP, E::Hit::SoftwareBreakpoint), "+[T05swbreak:;" + T},
        {packet("c"), E::signalled(kSIGTRAP, E::Hit::HardwareBreakpoint), "+[T05hwbreak:;" + T}},
       "cont cont cont ",
       Stub::State::Stopped},
      {{{packet("c") + "\x03\x03", E::signalled(kSIGINT), "+[T02" + T}}, "cont interrupt ", Stub::State::Stopped},
      {{{packet("c") + packet("qC"), {}, "++"}, {"", E::signalled(kSIGTRAP), "[T05" + T}, {"", {}, "[QC2]"}},
       "cont ",
       Stub::State::Stopped},  // a packet while running waits for the stop
      // ... and what follows it is still read: an interrupt, a packet
      // resuming again, one with a bad checksum (answered without acks).
      {{{packet("c") + packet("qC") + "\x03" + packet("s") + packet("?"), {}, "++++"},
        {"", E::signalled(kSIGINT), "[T02" + T},
        {"", {}, "[QC2]"},
        {"", E::signalled(kSIGTRAP), "[T05" + T},
        {packet("QStartNoAckMode") + packet("c") + "$qC#00" + packet("qC"), {}, "[T05" + T + "+[OK]"},
        {"", E::signalled(kSIGTRAP), "[T05" + T},
        {"", {}, "[E16][QC2]"}},
       "cont interrupt step cont ",
       Stub::State::Stopped},
      {{{packet("qC"), E::exited(1), "+[QC2]"}}, "", Stub::State::Stopped},  // a stop while stopped
      {{{packet("D") + packet("g"), {}, "+[OK]"}}, "detach ", Stub::State::Closed},
  };
  for (const Case& c : cases) {
    FakeTarget target;
    Stub stub(target, E::signalled(kSIGTRAP));
    std::string pending;
    for (const Step& step : c.steps) {
      pending += step.in;
      pending.erase(0, stub.receive(pending));
      if (step.stop) stub.stopped(*step.stop);
      EXPECT_EQ(render(stub.take_output()), step.out) << c.log << step.in;
    }
    EXPECT_EQ(target.log, c.log);
    EXPECT_EQ(stub.state(), c.end) << c.log;
  }
}

TEST(GdbSession, FloodsAndGarbageStayBounded) {
  Session s;  // send() checks the output never passes three packets between drains
  std::string flood;
  for (int i = 0; i < 300; ++i) flood += packet("m400000,2000") + "-";
  const std::string r = render(s.send(flood));
  EXPECT_EQ(std::count(r.begin(), r.end(), '['), 600);
  EXPECT_EQ(s.send(std::string(1 << 20, 'z') + "$" + std::string((1 << 20) + 1, 'q')), "");
  EXPECT_EQ(render(s.send("#00" + packet("qC"))), "-+[QC2]");
  // While running, packets are held up to a bound, then left unread.
  Session running;
  running.send(packet("c"));
  std::string held;
  for (int i = 0; i < 100; ++i) held += packet("m400000,2000");
  const size_t took = running.stub.receive(held);
  EXPECT_EQ(took, Stub::kMaxHeld * packet("m400000,2000").size());
  EXPECT_EQ(running.stub.take_output(), std::string(Stub::kMaxHeld, '+'));
  EXPECT_EQ(running.stub.receive(held.substr(took)), 0u);

  // Mutated commands, mostly with sound checksums so that they reach the
  // commands; the target stops wherever it is resumed.
  const char* seeds[] = {"g",
                         "G00000000",
                         "p25",
                         "P25=00400000",
                         "m400000,10",
                         "M401000,2:abcd",
                         "X401000,2:}]z",
                         "Z0,400010,4",
                         "z0,400010,4",
                         "c",
                         "s400004",
                         "C0b;400000",
                         "vCont;s:2;c",
                         "Hg2",
                         "T2",
                         "qSupported:swbreak+",
                         "qXfer:features:read:target.xml:0,ffff",
                         "?",
                         "QStartNoAckMode"};
  std::mt19937 rng(3);
  std::string in;
  for (int i = 0; i < 20000; ++i) {
    std::string p = seeds[rng() % std::size(seeds)];
    for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
      const size_t at = rng() % (p.size() + 1);
      if (rng() % 2) p.erase(at, rng() % 10);
      else p.insert(at, std::string(1 + rng() % (rng() % 100 ? 9 : 40000), ",:;}#$*\x03-0fx"[rng() % 13]));
    }
    if (p.starts_with('k') || p.starts_with('D')) p.clear();  // the session goes on
    in += rng() % 10 ? packet(p) : "$" + p + "#" + std::to_string(rng() % 100);
  }
  s.target.script.assign(20000, StopEvent::signalled(kSIGTRAP));  // alive throughout
  s.send(in);
  if (s.stub.state() == Stub::State::Running) s.stub.stopped(StopEvent::signalled(kSIGTRAP));
  s.send("#00");  // ends whatever packet the last one left open
  EXPECT_EQ(s.ask("qC"), "[QC2]");
}

// One connection on lfd: the stub over the target, stopped at once
// wherever it is resumed.
void serve(int lfd, FakeTarget& target) {
  pollfd p{lfd, POLLIN, 0};
  const int fd = poll(&p, 1, 30000) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  const timeval limit{30, 0};
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return;
  Stub stub(target, StopEvent::signalled(kSIGTRAP));
  std::string in, out;
  char buf[4096];
  for (ssize_t n = 1; n > 0 && stub.state() != Stub::State::Closed;) {
    in.erase(0, stub.receive(in));
    if (stub.state() == Stub::State::Running) stub.stopped(target.next_stop());
    out = stub.take_output();
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) break;
    if (in.empty() && !stub.has_held() && stub.state() != Stub::State::Closed)
      in.append(buf, std::max<ssize_t>(n = read(fd, buf, sizeof buf), 0));
  }
  close(fd);
}

// gdb-multiarch in batch mode on prog, connected to 127.0.0.1:port, running
// commands: all it said, on both streams (it puts some messages on each).
std::string gdb_batch(const std::string& prog, int port, const std::vector<std::string>& commands) {
  std::vector<std::string> args = {"gdb-multiarch",
                                   "-nx",
                                   "-batch",
                                   "-ex",
                                   "set confirm off",
                                   "-ex",
                                   "file " + prog,
                                   "-ex",
                                   "target remote 127.0.0.1:" + std::to_string(port)};
  for (const auto& cmd : commands) args.insert(args.end(), {"-ex", cmd});
  const test::Ran r = test::run(args, test::within(90));
  return r.out + r.err;
}

// Starts r3krun --gdb 0 with args; returns the port it waits on (0: it
// never said).
int start_r3krun(test::Started& r3krun, std::vector<std::string> args) {
  args.insert(args.begin(), {R3K_RUN_BINARY, "--gdb", "0"});
  r3krun = test::start(args, test::within(120));
  const std::string waiting = "r3krun: waiting for gdb on 127.0.0.1:";
  if (!test::read_until(r3krun, [&](const test::Ran& r) { return r.err.find('\n') != std::string::npos; }) ||
      r3krun.ran.err.rfind(waiting, 0) != 0)
    return 0;
  return std::atoi(r3krun.ran.err.c_str() + waiting.size());
}

// Each of expect in said, in this order; and no warning from gdb.
void expect_in_order(const std::string& said, const std::vector<std::string>& expect, const std::string& context) {
  size_t at = 0;
  for (const auto& e : expect)
    ASSERT_NE(at = said.find(e, at), std::string::npos) << e << "\n--- gdb:\n" << said << "\n--- " << context;
  EXPECT_EQ(said.find("warning"), std::string::npos) << said;
}

TEST(GdbMultiarch, BatchSessionsAgainstTheFakeTarget) {
  const std::string prog = std::string(R3K_PROGRAM_DIR) + "/tallowin";
  const ElfImage image = ElfImage::read_file(prog);
  struct Case {
    std::vector<std::string> commands;
    std::deque<std::optional<StopEvent>> stops;
    std::vector<std::string> expect;  // in this order in gdb's output
  } cases[] = {
      {{"break main", "continue", "set $v0 = 0x1234", "print/x $v0", "set {int}&errno = 42", "print {int}&errno",
        "stepi", "info registers", "continue", "backtrace", "continue"},
       {std::nullopt, std::nullopt, StopEvent::signalled(kSIGBUS)},  // the third run faults
       {"in __start ()", "Breakpoint 1 at", "Breakpoint 1, ", "in main", "= 0x1234", "= 42", "in getpid", "zero",
        "status", "cause", "Program received signal SIGBUS, Bus error.", "#0 ", "getpid",
        "Program terminated with signal SIGBUS"}},
      {{"hbreak main", "continue", "continue"},
       {},
       {"Hardware assisted breakpoint 1 at", "Breakpoint 1, ", "exited with code 03"}},
      {{"stepi", "detach"}, {StopEvent::signalled(kSIGFPE)}, {"Program received signal SIGFPE", "detached"}},
  };
  for (const Case& c : cases) {
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) | listen(lfd, 1) |
                  getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len),
              0);
    FakeTarget target(&image);
    target.script = c.stops;
    std::thread server(serve, lfd, std::ref(target));
    const std::string said = gdb_batch(prog, ntohs(addr.sin_port), c.commands);
    server.join();
    close(lfd);
    expect_in_order(said, c.expect, "target: " + target.log);
  }
}

// The same gdb against r3krun --gdb, the real target: a program built
// with -g -O0, with generated code and interpreted.
TEST(GdbMultiarch, SessionsAgainstR3krun) {
  const std::string prog = std::string(R3K_GUEST_DIR) + "/debugme";
  // Interrupts the first continue half a second in, as Ctrl-C would.
  const std::string ctrl_c =
      "python exec(\"import os, signal, threading\\ndef once(e):\\n  gdb.events.cont.disconnect(once)\\n"
      "  threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()\\ngdb.events.cont.connect(once)\")";
  struct Case {
    std::vector<std::string> args;  // r3krun's options, then the program's arguments
    std::vector<std::string> commands;
    std::vector<std::string> expect;  // in this order in gdb's output
    int code;                         // r3krun's exit status
    std::optional<std::string> out;   // its standard output; none: as the same run without gdb
    std::string err;                  // in its standard error
  } cases[] = {
      // A breakpoint after a hot loop, a backtrace with arguments, a
      // variable changed: the output and the exit status follow.
      {{},
       {"break report", "continue", "backtrace", "set var value = 42", "continue"},
       {"Breakpoint 1, report (value=340)", "#0  report (value=340)", "#1  ", "in main (argc=1",
        "[Inferior 1 (Remote target) exited with code 052]"},
       42,
       "result 42\n",
       ""},
      // Stepping through a branch, a return and a call, each with its
      // delay slot; the registers; detach runs the program on to its end.
      {{},
       {"break pick", "continue", "next", "next", "step", "finish", "step", "step", "info registers", "detach"},
       {"Breakpoint 1, pick (x=1)", "return 20;", "}", "scale (value=17, factor=20)", "in main (argc=1",
        "Value returned is $1 = 340", "return report(value);", "report (value=340)",
        "status       lo       hi badvaddr    cause       pc", "00000003 00000154", "detached"},
       84,
       "result 340\n",
       ""},
      // A fault is a signal at the faulting instruction with a backtrace;
      // passed on, it ends the process as without gdb.
      {{"fault"},
       {"continue", "backtrace", "info registers", "continue"},
       {"Program received signal SIGSEGV, Segmentation fault.", "deref (p=0x0)", "#1  ", "main (argc=2", "cause",
        "Program terminated with signal SIGSEGV"},
       139,
       "",
       "in deref+0x"},
      // Ctrl-C of an endless loop; a breakpoint in it (running as generated
      // code); code written by gdb runs as written; a signal delivered ends it.
      {{"spin"},
       {ctrl_c, "continue", "break tick", "continue", "x/i $pc+8", "set {int}($pc+8) = 0", "set var sink = -1",
        "continue", "print sink", "signal SIGUSR1"},
       {"Program received signal SIGINT, Interrupt.", "Breakpoint 1, tick (n=", "sw\tv0,",
        "Breakpoint 1, tick (n=", "= -1", "Program terminated with signal SIGUSR1"},
       144,
       "",
       "r3krun: pid 2 killed by SIGUSR1: signal from the debugger\n"},
      // Stops and resumes of the parent change nothing in the interleaving;
      // its memory written by gdb is its own, not the child's.
      {{"--quantum", "40", "--seed", "3", prog, "fork"},
       {"break mark", "continue", "set var child_mark = 'x'", "delete", "break mark if c == 0",
        "break putchar if $a0 == 0", "continue"},
       {"Breakpoint 1, mark (c=80 'P')", "Breakpoint 2 at", "Breakpoint 3 at", "exited normally"},
       0,
       std::nullopt,
       ""},
      // A fault in a branch delay slot stops at the branch, BD in the cause:
      // once fixed, the branch is taken when resumed without the signal ...
      {{"slot"},
       {"handle SIGSEGV nopass", "continue", "x/i $pc", "print/x $cause", "set $a0 = &sink", "continue"},
       {"Program received signal SIGSEGV", "<slot_load>:\tb\t", "= 0x80000008", "exited normally"},
       0,
       "",
       ""},
      // ... or detached.
      {{"slot"},
       {"continue", "set $a0 = &sink", "detach"},
       {"Program received signal SIGSEGV", "in slot_load", "detached"},
       0,
       "",
       ""},
      // gdb quits with the process alive: killed.
      {{},
       {"hbreak scale", "continue", "print factor"},
       {"Hardware assisted breakpoint 1 at", "Breakpoint 1, scale (value=17, factor=20)", "= 20"},
       137,
       "",
       "r3krun: pid 2 killed by SIGKILL: from the debugger\n"},
  };
  for (const bool no_jit : {false, true}) {
    for (const Case& c : cases) {
      // Options first; the program before its arguments unless the case
      // placed it.
      std::vector<std::string> args = c.args;
      if (std::find(args.begin(), args.end(), prog) == args.end()) args.insert(args.begin(), prog);
      if (no_jit) args.insert(args.begin(), "--no-jit");
      test::Started r3krun;
      const int port = start_r3krun(r3krun, args);
      ASSERT_NE(port, 0) << r3krun.ran.err;
      const std::string said = gdb_batch(prog, port, c.commands);
      const test::Ran r = test::finish(r3krun);
      const std::string context =
          c.commands.front() + (no_jit ? " (--no-jit)" : "") + "\n--- r3krun:\n" + r.out + r.err;
      expect_in_order(said, c.expect, context);
      EXPECT_EQ(r.code, c.code) << context;
      EXPECT_EQ(r.out, c.out ? *c.out : test::r3krun(args).out) << context;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << context;
    }
  }
}

// Clients of r3krun --gdb speaking the protocol themselves, with generated
// code and interpreted: each sends its exchanges in turn, waiting for the
// reply each names (after the one before), then goes without a word.
TEST(GdbMultiarch, RawClientsAgainstR3krun) {
  const std::string prog = std::string(R3K_GUEST_DIR) + "/debugme";
  const ElfImage image = ElfImage::read_file(prog);
  char waitpid[16], after_call[16];
  std::snprintf(waitpid, sizeof waitpid, "%x", image.symbol("waitpid").value_or(0));
  std::snprintf(after_call, sizeof after_call, "%08x", image.symbol("__syscall").value_or(0) + 4);
  struct Exchange {
    std::string send;
    std::string reply;  // waited for
    int pause_ms = 0;   // before sending
  };
  const std::string lost = "r3krun: pid 2 killed by SIGKILL: the debugger's connection was lost\n";
  struct Case {
    std::vector<std::string> args;  // r3krun's options, then the program's arguments
    std::vector<Exchange> talk;
    int code;         // r3krun's exit status
    std::string err;  // in its standard error
  } cases[] = {
      // Hostile bytes, an oversized packet, the interrupt byte while running;
      // gone without a word, which kills the program.
      {{"spin"},
       {{"\x01garbage$zz#00" + packet("m0,ffffffff") + "$" + std::string(100000, 'x') + "#00" + packet("?"),
         "$E0e#"},  // page zero is not mapped
        {"", "+$E07#"},
        {"", "+$T05thread:2;"},
        {packet("c"), "+"},
        {"\x03", "$T02thread:2;", 200}},
       137,
       lost},
      // A packet while running is answered after the stop, and an
      // interrupt behind it is seen ...
      {{"--max-insns", "5G", prog, "spin"},
       {{packet("c"), "+"}, {packet("qC") + "\x03", "+$T02thread:2;", 200}, {"", "$QC2#"}},
       137,
       lost},
      // ... and so is a connection dropped behind it, at once, long before
      // the instruction budget.
      {{"--max-insns", "5G", prog, "spin"}, {{packet("c"), "+"}, {packet("qC"), "+", 200}}, 137, lost},
      // A step over a call that blocks (a wait for a child still running)
      // ends when it has returned: v0 written then is what the call returns.
      {{"wait"},
       {{packet(std::string("Z0,") + waitpid + ",4"), "+$OK#"},
        {packet("c"), "+$T05thread:2;"},
        {packet("s"), "+$T05thread:2;"},
        {packet("vCont;s:2"), std::string(";25:") + after_call + ";"},
        {packet("p7"), "+" + frame("00000000", true)},
        {packet("P2=0000002a"), "+$OK#"},
        {packet("c"), "+$W2a#"}},
       42,
       ""},
  };
  for (const bool no_jit : {false, true}) {
    for (const Case& c : cases) {
      std::vector<std::string> args = c.args;
      if (std::find(args.begin(), args.end(), prog) == args.end()) args.insert(args.begin(), prog);
      if (no_jit) args.insert(args.begin(), "--no-jit");
      test::Started r3krun;
      const int port = start_r3krun(r3krun, args);
      ASSERT_NE(port, 0) << r3krun.ran.err;
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<uint16_t>(port));
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
      const timeval limit{30, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::string got;
      size_t at = 0;
      for (const Exchange& e : c.talk) {
        usleep(static_cast<useconds_t>(e.pause_ms) * 1000);
        EXPECT_EQ(write(fd, e.send.data(), e.send.size()), static_cast<ssize_t>(e.send.size()));
        char buf[4096];
        for (ssize_t n = 1; n > 0 && got.find(e.reply, at) == std::string::npos;)
          if ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        if ((at = got.find(e.reply, at)) == std::string::npos) {
          ADD_FAILURE() << e.reply << (no_jit ? " (--no-jit)" : "") << " in:\n" << got;
          break;  // and go: r3krun ends
        }
        at += e.reply.size();
      }
      close(fd);
      const test::Ran r = test::finish(r3krun);
      const std::string context = c.args.back() + (no_jit ? " (--no-jit)" : "") + "\n--- r3krun:\n" + r.err;
      EXPECT_EQ(r.code, c.code) << context;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << context;
    }
  }
}

}  // namespace
}  // namespace r3k::gdb
