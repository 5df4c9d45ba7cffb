// Calls into the real MIPS build of the library: the libcore guest loaded
// on a fresh machine, with helpers for the strings, buffers and recorded
// sink runs the library tests need.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/machine.h"
#include "support/guest_calls.h"

namespace r3k::test {

struct SinkRun {
  uint32_t arg = 0;  // the client data the sink was handed
  std::string text;
  bool operator==(const SinkRun&) const = default;
};

// One argument word for a guest call; a string argument is pushed into
// guest memory and passed by address.
struct Arg {
  Arg(uint32_t w) : word(w) {}
  Arg(int32_t w) : word(static_cast<uint32_t>(w)) {}
  Arg(std::nullptr_t) {}
  Arg(const char* s) : str(s) {}
  Arg(std::string s) : str(std::move(s)) {}
  uint32_t word = 0;
  std::optional<std::string> str;
};

class LibCore {
 public:
  explicit LibCore(Options options = {}) : m_(std::make_unique<TestMachine>(std::move(options))) {
    m_->load_file(R3K_GUEST_DIR "/libcore", {"libcore"});
  }

  TestMachine& machine() { return *m_; }

  uint32_t sym(std::string_view name) {
    auto a = m_->symbol(name);
    if (!a) throw std::invalid_argument("libcore guest lacks " + std::string(name));
    return *a;
  }

  // Any bytes, NUL added; the address in guest memory.
  uint32_t str(std::string_view s) { return m_->push_string(s); }
  uint32_t bytes(std::string_view s) { return m_->push_bytes({reinterpret_cast<const uint8_t*>(s.data()), s.size()}); }
  uint32_t words(const std::vector<uint32_t>& w) {
    std::string b;
    for (uint32_t x : w)
      for (int i = 24; i >= 0; i -= 8) b += static_cast<char>(x >> i);
    return bytes(b);
  }
  std::vector<uint32_t> words_of(const std::vector<Arg>& args) {
    std::vector<uint32_t> w;
    for (const Arg& a : args) w.push_back(a.str ? str(*a.str) : a.word);
    return w;
  }
  std::string read(uint32_t addr, uint32_t len) {
    auto v = m_->read(addr, len);
    return {v.begin(), v.end()};
  }
  void write(uint32_t addr, std::string_view s) {
    m_->write_bytes(addr, {reinterpret_cast<const uint8_t*>(s.data()), s.size()});
  }

  // A call that must come back normally; its v0.
  uint32_t call(std::string_view fn, std::vector<uint32_t> args) {
    CallResult r = m_->call(fn, std::move(args));
    if (!r.returned) {
      ADD_FAILURE() << fn << " did not return: "
                    << (r.fault ? r.fault->describe() : "exited with " + std::to_string(r.status));
    }
    return r.v0;
  }

  // First address past the guest's writable data: the page there is
  // unmapped, so a string written to end right before it makes any read
  // past the string's last byte fault.
  uint32_t unmapped_after_data() {
    uint32_t end = 0;
    for (const Segment& s : m_->image().segments())
      if (s.prot & kProtWrite) end = std::max(end, s.vaddr + s.memsz);
    return (end + kPageSize - 1) & ~(kPageSize - 1);
  }
  // Writes the bytes (no NUL added) so that their last one is the last
  // mapped byte; returns their address.
  uint32_t at_edge(std::string_view s) {
    uint32_t at = unmapped_after_data() - static_cast<uint32_t>(s.size());
    if (at < sym("_end")) throw std::logic_error("no room for the bytes between _end and the next page");
    write(at, s);
    return at;
  }

  // __vprintf with the recording sink: the runs it handed over.
  std::vector<SinkRun> record(std::string_view fmt, std::vector<uint32_t> args, int32_t* ret = nullptr,
                              uint32_t client = 0x5eed0001) {
    args.insert(args.begin(), {client, str(fmt)});
    auto n = static_cast<int32_t>(call("rec_vprintf", std::move(args)));
    if (ret) *ret = n;
    return recorded();
  }
  std::vector<SinkRun> recorded() {
    if (m_->read32(sym("rec_overflow"))) ADD_FAILURE() << "recording buffer overflowed";
    uint32_t used = m_->read32(sym("rec_used"));
    std::string buf = used ? read(sym("rec_buf"), used) : std::string();
    std::vector<SinkRun> runs;
    auto word = [&](size_t at) {
      uint32_t w = 0;
      for (size_t i = 0; i < 4; ++i) w = w << 8 | static_cast<uint8_t>(buf.at(at + i));
      return w;
    };
    for (size_t at = 0; at < buf.size();) {
      SinkRun r{word(at), {}};
      uint32_t n = word(at + 4);
      r.text = buf.substr(at + 8, n);
      runs.push_back(r);
      at += 8 + ((n + 3) & ~3u);
    }
    return runs;
  }

 private:
  std::unique_ptr<TestMachine> m_;
};

}  // namespace r3k::test
