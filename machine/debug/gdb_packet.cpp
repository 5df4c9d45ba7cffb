#include "debug/hex.h"
#include "r3k/gdb_stub.h"

namespace r3k::gdb {

Framer::Event Framer::feed(char c) {
  switch (state_) {
    case State::Idle:
      switch (c) {
        case '$':
          payload_.clear();
          sum_ = 0;
          too_long_ = false;
          state_ = State::Payload;
          return Event::None;
        case '+': return Event::Ack;
        case '-': return Event::Nak;
        case '\x03': return Event::Interrupt;
        default: return Event::None;  // noise between packets
      }
    case State::Payload:
      if (c == '#') {
        state_ = State::Check1;
      } else if (c == '$') {  // the packet before was cut short: this one replaces it
        payload_.clear();
        sum_ = 0;
        too_long_ = false;
      } else {
        sum_ = static_cast<uint8_t>(sum_ + static_cast<uint8_t>(c));
        if (payload_.size() < max_) payload_ += c;
        else too_long_ = true;
      }
      return Event::None;
    case State::Check1: {
      const int d = hex_digit(c);
      bad_digit_ = d < 0;
      check_ = static_cast<uint8_t>((d < 0 ? 0 : d) << 4);
      state_ = State::Check2;
      return Event::None;
    }
    case State::Check2: {
      const int d = hex_digit(c);
      state_ = State::Idle;
      if (bad_digit_ || d < 0 || (check_ | d) != sum_) return Event::BadChecksum;
      return too_long_ ? Event::TooLong : Event::Packet;
    }
  }
  return Event::None;
}

namespace {

// Bytes that frame a packet or mark an escape or a run: never run-length
// encoded, escaped in binary data.
bool special(char c) { return c == '$' || c == '#' || c == '}' || c == '*'; }

}  // namespace

std::string frame(std::string_view payload, bool compress) {
  std::string out = "$";
  for (size_t i = 0; i < payload.size();) {
    const char c = payload[i];
    size_t run = 1;
    while (i + run < payload.size() && payload[i + run] == c && run < 98) ++run;
    // "c*N" stands for c and N - 29 more of it; N must be printable and
    // neither '#' nor '$' (6 or 7 repeats), and it only pays from 3 repeats.
    size_t repeats = run - 1;
    if (repeats == 6 || repeats == 7) repeats = 5;
    out += c;
    if (compress && repeats >= 3 && !special(c)) {
      out += '*';
      out += static_cast<char>(repeats + 29);
      i += 1 + repeats;
    } else {
      ++i;
    }
  }
  uint8_t sum = 0;
  for (size_t i = 1; i < out.size(); ++i) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(out[i]));
  out += '#';
  out += hex2(sum);
  return out;
}

std::string escape_binary(std::string_view data) {
  std::string out;
  out.reserve(data.size());
  for (char c : data) {
    if (special(c)) {
      out += '}';
      out += static_cast<char>(c ^ 0x20);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace r3k::gdb
