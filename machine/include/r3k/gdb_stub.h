// The GDB remote serial protocol for one guest process: packet framing
// (bytes in, packets and acknowledgements out) and the commands on top of
// it, over a DebugTarget that the machine implements.  No sockets, threads
// or clocks here: the caller moves the bytes and runs the CPU, so every
// exchange can be replayed byte for byte.  machine/debug/README.md says
// what a target must do.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "r3k/regs.h"
#include "r3k/signals.h"

namespace r3k::gdb {

// Register numbers as gdb's 32-bit MIPS layout has them; the target
// description declares the same numbers, so g/G/p/P and the description
// always agree.
enum Reg : int {
  kRegSp = regs::sp,
  kRegRa = regs::ra,
  kRegStatus = 32,  // CP0 status
  kRegLo = 33,
  kRegHi = 34,
  kRegBadVaddr = 35,  // CP0 bad virtual address
  kRegCause = 36,     // CP0 cause
  kRegPc = 37,
  kRegF0 = 38,  // f0..f31: the FPU gdb insists on; an R3000 without one says Unavailable
  kRegFcsr = 70,
  kRegFir = 71,
  kRegCount = 72,
};

// Signals are the machine's (r3k/signals.h); the protocol speaks gdb's
// own numbering, and the stub translates.

enum class RegAccess : uint8_t {
  Ok,
  Unavailable,  // the machine has no such register: reads show as unavailable, writes fail
  Refused,      // exists but may not be written (reads never return this)
};

enum class BreakKind : uint8_t { Software, Hardware };

// Why the process is not running.
struct StopEvent {
  enum class Kind : uint8_t { Signal, Exited, Killed };
  enum class Hit : uint8_t { None, SoftwareBreakpoint, HardwareBreakpoint };
  Kind kind = Kind::Signal;
  int signal = kSIGTRAP;  // Signal and Killed, machine numbering
  uint32_t status = 0;    // Exited: the exit status word (the protocol carries its low 8 bits)
  Hit hit = Hit::None;    // Signal: the stop is at an inserted breakpoint of this kind

  static StopEvent signalled(int signal, Hit hit = Hit::None) { return {Kind::Signal, signal, 0, hit}; }
  static StopEvent exited(uint32_t status) { return {Kind::Exited, 0, status, Hit::None}; }
  static StopEvent killed(int signal) { return {Kind::Killed, signal, 0, Hit::None}; }
};

struct Resume {
  bool step = false;  // one instruction; a branch or jump together with its delay slot
  int signal = 0;     // machine numbering; non-zero: deliver it (the process has no handlers)
};

// What the debugged process must offer.  Called only while it is stopped,
// except interrupt(), which comes while it runs.
class DebugTarget {
 public:
  virtual ~DebugTarget() = default;
  virtual uint32_t thread_id() const = 0;  // the process's pid, never 0
  virtual RegAccess read_register(int reg, uint32_t& value) = 0;
  virtual RegAccess write_register(int reg, uint32_t value) = 0;
  // Copies the readable prefix of [addr, addr + len) and returns its
  // length (0: nothing readable); a debugger reads what the guest may not.
  // The range never wraps and len is never 0.
  virtual uint32_t read_memory(uint32_t addr, uint8_t* dst, uint32_t len) = 0;
  // All or nothing; code written this way must run as written.
  virtual bool write_memory(uint32_t addr, const uint8_t* src, uint32_t len) = 0;
  // addr is word-aligned.  Inserting one twice, or removing one that is
  // not there, succeeds.
  virtual bool insert_breakpoint(BreakKind kind, uint32_t addr) = 0;
  virtual bool remove_breakpoint(BreakKind kind, uint32_t addr) = 0;
  // Starts the process; it runs until the caller reports Stub::stopped().
  virtual void resume(const Resume& how) = 0;
  // While it runs: stop soon (between instructions) and report kSIGINT.
  virtual void interrupt() = 0;
  // The debugger ends the session: end the process, or drop every
  // breakpoint and let it run on without a debugger.
  virtual void kill() = 0;
  virtual void detach() = 0;
};

// Packet framing, one byte at a time.  Between packets: '+' and '-'
// acknowledgements, the interrupt byte 0x03, and anything else, which is
// skipped.  A packet is '$' payload '#' and two hex checksum digits (the
// sum of the payload bytes modulo 256); a '$' before the '#' starts over.
// Payloads longer than the limit are not stored (checksummed all the
// same), so memory stays bounded whatever comes.
class Framer {
 public:
  enum class Event : uint8_t { None, Packet, Ack, Nak, Interrupt, BadChecksum, TooLong };
  explicit Framer(uint32_t max_payload) : max_(max_payload) {}
  Event feed(char c);
  bool idle() const { return state_ == State::Idle; }
  const std::string& payload() const { return payload_; }  // of the last Packet

 private:
  enum class State : uint8_t { Idle, Payload, Check1, Check2 };
  uint32_t max_;
  State state_ = State::Idle;
  uint8_t sum_ = 0, check_ = 0;
  bool bad_digit_ = false, too_long_ = false;
  std::string payload_;
};

// "$payload#cs".  With compress, runs of 4 or more equal bytes are
// run-length encoded ("0*'" for eleven '0's) wherever that is shorter;
// binary payloads must not be compressed.
std::string frame(std::string_view payload, bool compress);
// Escapes '#', '$', '}' and '*' in binary reply data ('}' then the byte
// xor 0x20).
std::string escape_binary(std::string_view data);

struct StubConfig {
  uint32_t packet_size = 0x4000;  // advertised; longer packets are refused (at least 1024)
};

// One debugging session in all-stop mode: the process is stopped (taking
// commands) or running (waiting for a stop: the interrupt byte is acted
// on, packets wait for the stop).
class Stub {
 public:
  enum class State : uint8_t {
    Stopped,  // answering commands
    Running,  // resumed; waiting for stopped()
    Exited,   // the process has ended; answering what still makes sense
    Closed,   // the debugger killed or detached: close the connection once the output is sent
  };

  // first: how the process stands when the debugger connects (a process
  // held before its first instruction is signalled(kSIGTRAP)).
  Stub(DebugTarget& target, const StopEvent& first, StubConfig config = {});

  // Takes bytes from the debugger and returns how many it consumed.
  // While running, packets are acknowledged and held, to be answered in
  // order after the stop reply, and the interrupt byte is acted on behind
  // them.  It first answers what it holds once stopped, and stops early,
  // to be called again (with the rest, or nothing), when unsent output
  // reaches two packets (drain take_output() first) or, while running, at
  // the start of a packet when kMaxHeld packets or two packets' worth of
  // bytes are held.  Everything is consumed once Closed.
  size_t receive(std::string_view bytes);
  // Packets held while running that receive() has still to answer: call
  // it (with what is to hand, maybe nothing) before waiting for more.
  bool has_held() const { return !held_.empty(); }
  static constexpr size_t kMaxHeld = 16;
  // The process stopped after a resume: sends the stop reply.  Ignored
  // unless Running.
  void stopped(const StopEvent& event);
  // Bytes for the debugger, in order; empties the buffer.
  std::string take_output();
  bool has_output() const { return !out_.empty(); }

  State state() const { return state_; }
  uint32_t packet_size() const { return config_.packet_size; }

 private:
  void handle(Framer::Event event);
  void answer(std::string_view payload, bool dispatch_it);
  void take_held();
  bool held_full() const;
  void reply(std::string_view payload, bool binary = false);
  void dispatch(std::string_view p);
  std::string stop_reply(const StopEvent& e);
  void resume(bool step, int gdb_signal);
  std::string read_registers();
  std::string write_registers(std::string_view hex);
  std::string read_register(std::string_view args);
  std::string write_register(std::string_view args);
  std::string read_memory(std::string_view args);
  std::string write_memory(std::string_view args, bool binary);
  std::string breakpoint(std::string_view args, bool insert);
  std::string resume_packet(std::string_view args, bool step, bool with_signal);
  std::string vcont(std::string_view actions);
  std::string query(std::string_view p);
  std::string select_thread(std::string_view args);
  std::string features(std::string_view args);
  std::string supported(std::string_view args);
  bool our_thread(std::string_view id, bool allow_all) const;

  DebugTarget& target_;
  StubConfig config_;
  Framer framer_;
  State state_ = State::Stopped;
  StopEvent last_{};
  std::string out_;
  std::string last_packet_;  // framed, for a '-' from the debugger
  bool no_ack_ = false;
  bool report_swbreak_ = false, report_hwbreak_ = false;
  bool interrupt_sent_ = false;
  // Received while running, in order: packets to dispatch, or replies
  // (to a bad checksum without acknowledgements, a packet too long).
  struct Held {
    std::string text;
    bool dispatch = false;
  };
  std::deque<Held> held_;
  size_t held_bytes_ = 0;
};

}  // namespace r3k::gdb
