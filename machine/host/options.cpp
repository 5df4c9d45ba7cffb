#include "r3k/options.h"

#include <charconv>

#include "r3k/abi.h"
#include "r3k/memory.h"

namespace r3k {
namespace {

std::optional<uint64_t> parse_digits(std::string_view text, int base = 10) {
  uint64_t v = 0;
  if (text.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return v;
}

bool mul(uint64_t& v, uint64_t by) { return !__builtin_mul_overflow(v, by, &v); }

}  // namespace

std::optional<int64_t> parse_integer(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  std::optional<uint64_t> mag;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) mag = parse_digits(text.substr(2), 16);
  else mag = parse_digits(text);
  // Wide enough for any 32-bit word, signed or not.
  if (!mag || *mag > 0xffffffffull) return std::nullopt;
  return negative ? -static_cast<int64_t>(*mag) : static_cast<int64_t>(*mag);
}

std::optional<int32_t> parse_error(std::string_view text) {
  if (auto n = error_number(text)) return n;
  auto v = parse_integer(text);
  if (!v || *v < INT32_MIN || *v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*v);
}

std::optional<uint64_t> parse_count(std::string_view text) {
  uint64_t scale = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K': scale = 1000; break;
      case 'm':
      case 'M': scale = 1000000; break;
      case 'g':
      case 'G': scale = 1000000000; break;
    }
    if (scale != 1) text.remove_suffix(1);
  }
  uint64_t exponent = 0;
  if (auto e = text.find_first_of("eE"); e != std::string_view::npos) {
    auto x = parse_digits(text.substr(e + 1));
    if (!x || *x > 19) return std::nullopt;
    exponent = *x;
    text = text.substr(0, e);
  }
  auto v = parse_digits(text);
  if (!v) return std::nullopt;
  for (uint64_t i = 0; i < exponent; ++i)
    if (!mul(*v, 10)) return std::nullopt;
  if (!mul(*v, scale)) return std::nullopt;
  return v;
}

std::optional<uint64_t> parse_size(std::string_view text) {
  uint64_t unit = 1u << 20;  // a bare number is MiB
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K': unit = 1u << 10; break;
      case 'm':
      case 'M': unit = 1u << 20; break;
      case 'g':
      case 'G': unit = 1u << 30; break;
      case 'p': unit = kPageSize; break;
      default: unit = 0;
    }
    if (unit == 0) unit = 1u << 20;
    else text.remove_suffix(1);
  }
  auto v = parse_digits(text);
  if (!v || *v == 0 || !mul(*v, unit)) return std::nullopt;
  return v;
}

std::optional<uint32_t> parse_memory_pages(std::string_view text) {
  const auto bytes = parse_size(text);
  if (!bytes) return std::nullopt;
  const uint64_t n = (*bytes + kPageSize - 1) / kPageSize;
  if (n > (uint64_t{kUserEnd} >> kPageBits)) return std::nullopt;  // all of user space at most
  return static_cast<uint32_t>(n);
}

std::optional<CallRule> parse_call_rule(std::string_view text, bool value_is_error, std::string* why) {
  auto bad = [&](const std::string& reason) -> std::optional<CallRule> {
    if (why) *why = "bad rule '" + std::string(text) + "': " + reason;
    return std::nullopt;
  };
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) return bad("expected CALL[@PID][:N[+]]=VALUE");
  std::string_view lhs = text.substr(0, eq), rhs = text.substr(eq + 1);
  CallRule rule;

  if (const auto colon = lhs.find(':'); colon != std::string_view::npos) {
    std::string_view n = lhs.substr(colon + 1);
    lhs = lhs.substr(0, colon);
    if (!n.empty() && n.back() == '+') {
      rule.and_later = true;
      n.remove_suffix(1);
    }
    auto v = parse_digits(n);
    if (!v || *v == 0) return bad("the call count must be a number from 1");
    rule.nth = *v;
  }
  if (const auto at = lhs.find('@'); at != std::string_view::npos) {
    auto v = parse_digits(lhs.substr(at + 1));
    if (!v || *v > UINT32_MAX) return bad("bad process id");
    rule.pid = static_cast<uint32_t>(*v);
    lhs = lhs.substr(0, at);
  }
  if (auto n = syscall_number(lhs)) {
    rule.call = *n;
  } else if (auto v = parse_digits(lhs); v && *v <= UINT32_MAX) {
    rule.call = static_cast<uint32_t>(*v);
  } else {
    return bad("unknown call '" + std::string(lhs) + "'");
  }

  if (value_is_error) {
    auto e = parse_error(rhs);
    if (!e) return bad("unknown error '" + std::string(rhs) + "'");
    rule.value = *e;
  } else {
    auto v = parse_integer(rhs);
    if (!v) return bad("bad value '" + std::string(rhs) + "'");
    rule.value = static_cast<int32_t>(static_cast<uint32_t>(*v));
  }
  return rule;
}

}  // namespace r3k
