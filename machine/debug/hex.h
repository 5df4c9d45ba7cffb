// Hex text as the remote protocol writes numbers and bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace r3k::gdb {

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline constexpr char kHexDigits[] = "0123456789abcdef";

inline std::string hex2(uint32_t v) { return {kHexDigits[(v >> 4) & 15], kHexDigits[v & 15]}; }

// Eight digits, most significant first: a register in the target's
// (big-endian) byte order.
inline std::string hex8(uint32_t v) {
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = kHexDigits[v & 15];
  return s;
}

// As few digits as the value needs.
inline std::string hex(uint32_t v) {
  std::string s = hex8(v);
  const size_t first = s.find_first_not_of('0');
  return first == std::string::npos ? "0" : s.substr(first);
}

// All of s, at least one digit, value within 32 bits (leading zeros may
// make it long).
inline bool parse_hex(std::string_view s, uint32_t& value) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint64_t>(d);
    if (v > 0xffffffffu) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

// Pairs of digits to bytes; false on an odd count or a non-digit.
inline bool decode_hex(std::string_view s, std::string& out) {
  if (s.size() % 2 != 0) return false;
  out.clear();
  out.reserve(s.size() / 2);
  for (size_t i = 0; i < s.size(); i += 2) {
    const int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

inline std::string encode_hex(const uint8_t* bytes, size_t n) {
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) s += hex2(bytes[i]);
  return s;
}

}  // namespace r3k::gdb
