// An independent model of the library's formatting engine, written from
// its description: for a format and the 32-bit argument words it gives the
// exact runs handed to the sink, hence the text and the return value.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace r3k::test {

enum class ArgKind { Int, String };  // what one consumed argument word is

// Resolves an 's' argument word to the guest string it points to
// (nullopt for a null pointer).
using StringAt = std::function<std::optional<std::string>(uint32_t)>;

struct PrintfModel {
  std::vector<std::string> runs;  // every sink call, in order
  std::vector<ArgKind> kinds;     // one per argument word consumed
  int32_t emitted = 0;

  std::string text() const {
    std::string s;
    for (const auto& r : runs) s += r;
    return s;
  }

  // Formats fmt.  With args empty it only records the argument kinds (all
  // conversions then see the word 0), so that callers can pick arguments
  // that fit the format before formatting it for real.
  static PrintfModel run(std::string_view fmt, const std::vector<uint32_t>& args = {}, const StringAt& string_at = {}) {
    PrintfModel m;
    size_t next = 0;
    auto take = [&](ArgKind k) {
      m.kinds.push_back(k);
      return next < args.size() ? args[next++] : 0u;
    };
    auto emit = [&](std::string s) {
      m.emitted += static_cast<int32_t>(s.size());
      m.runs.push_back(std::move(s));
    };

    bool in_dir = false, left = false, hash = false;
    char pad = ' ';
    int32_t width = 0;
    auto grow = [&](int digit) {  // the library saturates instead of wrapping
      int64_t w = int64_t{width} * 10 + digit;
      width = w > INT_MAX ? INT_MAX : static_cast<int32_t>(w);
    };
    for (char raw : fmt) {
      if (raw == '\0') break;
      auto ch = static_cast<int8_t>(raw);  // format bytes are signed
      if (!in_dir) {
        if (ch == '%') in_dir = true;
        else emit(std::string(1, raw));
        continue;
      }
      switch (ch) {
        case '#': hash = true; continue;
        case '-': left = true; continue;
        case 'l':
        case 'q': continue;
        case '0':
          if (width <= 0) pad = '0';
          else grow(0);
          continue;
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': grow(ch - '0'); continue;
        default: break;
      }
      std::string sign, prefix, body;
      auto digits = [](uint32_t v, unsigned radix) {
        std::string d;
        do {
          d.insert(d.begin(), "0123456789abcdef"[v % radix]);
          v /= radix;
        } while (v);
        return d;
      };
      switch (ch) {
        case 'd': {
          auto v = static_cast<int32_t>(take(ArgKind::Int));
          if (v < 0) sign = "-";
          body = digits(v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v), 10);
          break;
        }
        case 'u': body = digits(take(ArgKind::Int), 10); break;
        case 'o':
          body = digits(take(ArgKind::Int), 8);
          if (hash) prefix = "0";
          break;
        case 'x':
          body = digits(take(ArgKind::Int), 16);
          if (hash) prefix = "0x";
          break;
        case 'p':
          body = digits(take(ArgKind::Int), 16);
          prefix = "0x";
          break;
        case 's': {
          uint32_t p = take(ArgKind::String);
          auto s = string_at ? string_at(p) : std::optional<std::string>{};
          body = s ? *s : "(null)";
          break;
        }
        case 'c': {
          char c = static_cast<char>(take(ArgKind::Int) & 0xff);
          if (c) body = std::string(1, c);
          break;
        }
        default: body = std::string(1, raw); break;
      }
      int64_t content = static_cast<int64_t>(sign.size() + prefix.size() + body.size());
      int64_t fill = content < width ? width - content : 0;
      auto fill_runs = [&] {
        for (int64_t i = 0; i < fill; ++i) emit(std::string(1, pad));
      };
      if (!left && pad == ' ') fill_runs();
      emit(sign);
      emit(prefix);
      if (!left && pad == '0') fill_runs();
      emit(body);
      if (left) fill_runs();
      in_dir = left = hash = false;
      pad = ' ';
      width = 0;
    }
    return m;
  }
};

}  // namespace r3k::test
