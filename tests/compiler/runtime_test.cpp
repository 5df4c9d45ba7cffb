// The compiler's runtime (libr3kgcc.a) and libm.a of the MIPS build, called
// on r3krun against the host's IEEE and integer arithmetic and C library,
// bit for bit: every combination of edge operands, then seeded random ones.
//
// R3K_RT_CASES random cases per routine (default 300), R3K_RT_SEED the seed.
// A longer run:
//   R3K_RT_CASES=100000 build/tests/compiler_tests --gtest_filter='CompilerRuntime.*'
// A failure prints the routine, its operands, both results and the seed.
//
// NaNs: the runtime has MIPS legacy NaNs (the R3000's, and Debian's mips
// port's): quiet when the top fraction bit is CLEAR, the opposite of the
// host.  A NaN result is held to these rules, not to the host's bits: made
// from operands that are no NaN (0/0, inf-inf, 0*inf) it is exactly the
// default NaN 0x7fbfffff / 0x7ff7ffff_ffffffff; from one quiet NaN operand,
// that operand unchanged, sign and payload; otherwise any quiet NaN
// (exponent all ones, top fraction bit clear, fraction not 0).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "r3k/machine.h"
#include "support/guest_calls.h"
#include "support/random.h"

// The host's own runtime gives the complex reference.
extern "C" __complex__ double __muldc3(double, double, double, double);
extern "C" __complex__ double __divdc3(double, double, double, double);
extern "C" __complex__ float __mulsc3(float, float, float, float);
extern "C" __complex__ float __divsc3(float, float, float, float);

namespace r3k::test {
namespace {

// Operand and result types.  A Shift is a count 0..63, an Exp a powi
// exponent, an Out a pointer to a 64-bit result the routine stores (read
// back as the last result).
enum class T { F, D, I, U, L, UL, Shift, Exp, Out };
struct Shift {
  int32_t n;
};
struct Exp {
  int32_t n;
};
using Vals = std::vector<uint64_t>;  // a float or double as its bits

bool wide(T t) { return t == T::D || t == T::L || t == T::UL || t == T::Out; }
bool is_float(T t) { return t == T::F || t == T::D; }
uint64_t narrow(uint64_t v, T t) { return wide(t) ? v : v & 0xffffffffu; }

template <class V>
constexpr T type_of = std::is_same_v<V, float>      ? T::F
                      : std::is_same_v<V, double>   ? T::D
                      : std::is_same_v<V, int32_t>  ? T::I
                      : std::is_same_v<V, uint32_t> ? T::U
                      : std::is_same_v<V, int64_t>  ? T::L
                      : std::is_same_v<V, Shift>    ? T::Shift
                      : std::is_same_v<V, Exp>      ? T::Exp
                                                    : T::UL;
template <class V>
V val(uint64_t b) {
  if constexpr (std::is_same_v<V, float>) return std::bit_cast<float>(static_cast<uint32_t>(b));
  else if constexpr (std::is_same_v<V, double>) return std::bit_cast<double>(b);
  else if constexpr (std::is_same_v<V, Shift> || std::is_same_v<V, Exp>) return V{static_cast<int32_t>(b)};
  else return static_cast<V>(b);
}
template <class V>
uint64_t raw(V v) {
  if constexpr (std::is_same_v<V, float>) return std::bit_cast<uint32_t>(v);
  else if constexpr (std::is_same_v<V, double>) return std::bit_cast<uint64_t>(v);
  else return static_cast<uint64_t>(v);
}

struct FloatFormat {
  uint64_t exp, frac, quiet_clear, default_nan;
  int frac_bits;
};
constexpr FloatFormat kF{0x7f800000, 0x007fffff, 0x00400000, 0x7fbfffff, 23};
constexpr FloatFormat kD{0x7ff0000000000000, 0x000fffffffffffff, 0x0008000000000000, 0x7ff7ffffffffffff, 52};
const FloatFormat& fmt(T t) { return t == T::F ? kF : kD; }
bool is_nan(uint64_t b, T t) { return is_float(t) && (b & fmt(t).exp) == fmt(t).exp && (b & fmt(t).frac); }
bool mips_quiet(uint64_t b, T t) { return is_nan(b, t) && !(b & fmt(t).quiet_clear); }

// C leaves a conversion out of range undefined; the runtime saturates, a
// NaN counting as an infinity of its sign.
template <class I>
I fix(double x) {
  using L = std::numeric_limits<I>;
  if (std::isnan(x)) x = std::signbit(x) ? -INFINITY : INFINITY;
  if (x <= static_cast<double>(L::min())) return L::min();
  if (x >= std::ldexp(1.0, L::digits)) return L::max();
  return static_cast<I>(x);
}

// The comparison routines answer in an int of which GCC looks at the sign
// only: the host gives the truth, this says what the guest's int means.
using Sign = bool (*)(int32_t);
bool zero(int32_t r) { return r == 0; }
bool nonzero(int32_t r) { return r != 0; }
bool negative(int32_t r) { return r < 0; }
bool not_positive(int32_t r) { return r <= 0; }
bool positive(int32_t r) { return r > 0; }
bool not_negative(int32_t r) { return r >= 0; }

// How a NaN result is judged: by the rules above; as any quiet NaN; as any
// NaN; or bit for bit like every other result.
enum class Nan { Mips, AnyQuiet, Any, Exact };

struct Routine {
  std::string name;
  std::vector<T> ret, args;
  // The host's results; none where C defines none (division by zero, an
  // overflow under -ftrapv, clz of 0): such operands are drawn again.
  std::function<Vals(const Vals&)> host;
  Sign cmp = nullptr;
  Nan nan = Nan::Mips;

  Routine compare(Sign c) && { return cmp = c, std::move(*this); }
  Routine nans(Nan n) && { return nan = n, std::move(*this); }
};

// A routine from a host lambda over typed operands; a lambda returning an
// optional has no result where it returns none.
template <class R, class... A, class Fn>
Routine fn(std::string name, Fn op) {
  return {name, {type_of<R>}, {type_of<A>...}, [op](const Vals& a) {
            return [&]<size_t... I>(std::index_sequence<I...>) {
              auto r = op(val<A>(a[I])...);
              if constexpr (std::is_same_v<decltype(r), std::optional<R>>) return r ? Vals{raw<R>(*r)} : Vals{};
              else return Vals{raw<R>(static_cast<R>(r))};
            }
            (std::index_sequence_for<A...>{});
          }};
}

template <class Fp>
std::vector<Routine> float_routines(const std::string& m) {
  auto name = [&](const char* op, const char* n) { return "__" + std::string(op) + m + n; };
  return {
      fn<Fp, Fp, Fp>(name("add", "3"), [](Fp x, Fp y) { return x + y; }),
      fn<Fp, Fp, Fp>(name("sub", "3"), [](Fp x, Fp y) { return x - y; }),
      fn<Fp, Fp, Fp>(name("mul", "3"), [](Fp x, Fp y) { return x * y; }),
      fn<Fp, Fp, Fp>(name("div", "3"), [](Fp x, Fp y) { return x / y; }),
      fn<Fp, Fp>(name("neg", "2"), [](Fp x) { return -x; }).nans(Nan::Exact),  // a sign flip, even of a NaN
      fn<int32_t, Fp, Fp>(name("eq", "2"), [](Fp x, Fp y) { return x == y; }).compare(zero),
      fn<int32_t, Fp, Fp>(name("ne", "2"), [](Fp x, Fp y) { return x != y; }).compare(nonzero),
      fn<int32_t, Fp, Fp>(name("lt", "2"), [](Fp x, Fp y) { return x < y; }).compare(negative),
      fn<int32_t, Fp, Fp>(name("le", "2"), [](Fp x, Fp y) { return x <= y; }).compare(not_positive),
      fn<int32_t, Fp, Fp>(name("gt", "2"), [](Fp x, Fp y) { return x > y; }).compare(positive),
      fn<int32_t, Fp, Fp>(name("ge", "2"), [](Fp x, Fp y) { return x >= y; }).compare(not_negative),
      fn<int32_t, Fp, Fp>(name("unord", "2"), [](Fp x, Fp y) { return std::isunordered(x, y); }).compare(nonzero),
      fn<int32_t, Fp>(name("fix", "si"), [](Fp x) { return fix<int32_t>(x); }),
      fn<uint32_t, Fp>(name("fixuns", "si"), [](Fp x) { return fix<uint32_t>(x); }),
      fn<int64_t, Fp>(name("fix", "di"), [](Fp x) { return fix<int64_t>(x); }),
      fn<uint64_t, Fp>(name("fixuns", "di"), [](Fp x) { return fix<uint64_t>(x); }),
      fn<Fp, int32_t>("__floatsi" + m, [](int32_t x) { return Fp(x); }),
      fn<Fp, uint32_t>("__floatunsi" + m, [](uint32_t x) { return Fp(x); }),
      fn<Fp, int64_t>("__floatdi" + m, [](int64_t x) { return Fp(x); }),
      fn<Fp, uint64_t>("__floatundi" + m, [](uint64_t x) { return Fp(x); }),
      fn<Fp, Fp, Exp>(name("powi", "2"),
                      [](Fp x, Exp e) {
                        if constexpr (std::is_same_v<Fp, float>) return __builtin_powif(x, e.n);
                        else return __builtin_powi(x, e.n);
                      })
          .nans(Nan::Any),  // x to the 1st is x itself, a signalling NaN too
  };
}

// libm.a, against the host's C library: sqrt correctly rounded, the
// others exact; fabs and copysign change only the sign bit, of NaNs too.
template <class Fp>
std::vector<Routine> math_routines(const std::string& f) {
  return {
      fn<Fp, Fp>("sqrt" + f, [](Fp x) { return std::sqrt(x); }),
      fn<Fp, Fp>("fabs" + f, [](Fp x) { return std::fabs(x); }).nans(Nan::Exact),
      fn<Fp, Fp, Fp>("copysign" + f, [](Fp x, Fp y) { return std::copysign(x, y); }).nans(Nan::Exact),
      fn<Fp, Fp>("floor" + f, [](Fp x) { return std::floor(x); }),
      fn<Fp, Fp>("ceil" + f, [](Fp x) { return std::ceil(x); }),
      fn<Fp, Fp>("trunc" + f, [](Fp x) { return std::trunc(x); }),
      fn<Fp, Fp>("round" + f, [](Fp x) { return std::round(x); }),
      fn<Fp, Fp, Fp>("fmod" + f, [](Fp x, Fp y) { return std::fmod(x, y); }),
  };
}

template <class Fp, class Fn>
Routine complex_routine(const char* name, Fn host) {
  constexpr T t = type_of<Fp>;
  return Routine{name,
                 {t, t},
                 {t, t, t, t},
                 [host](const Vals& a) {
                   const auto z = host(val<Fp>(a[0]), val<Fp>(a[1]), val<Fp>(a[2]), val<Fp>(a[3]));
                   return Vals{raw<Fp>(__real__ z), raw<Fp>(__imag__ z)};
                 }}
      .nans(Nan::AnyQuiet);  // the infinity recovery builds NaNs of its own
}

template <class I, class Op>
std::optional<I> trapv(I x, I y, Op op) {
  I r;
  if (op(x, y, &r)) return std::nullopt;
  return r;
}
auto add = [](auto x, auto y, auto* r) { return __builtin_add_overflow(x, y, r); };
auto sub = [](auto x, auto y, auto* r) { return __builtin_sub_overflow(x, y, r); };
auto mul = [](auto x, auto y, auto* r) { return __builtin_mul_overflow(x, y, r); };

template <class I>
std::optional<I> wrap_div(I x, I y, bool rem) {
  if (y == 0) return std::nullopt;
  if (std::is_signed_v<I> && y == I(-1)) return rem ? I(0) : I(I(0) - static_cast<std::make_unsigned_t<I>>(x));
  return rem ? x % y : x / y;
}

// __udivmoddi4 and __divmoddi4: the quotient, the remainder through a pointer.
template <class I>
Routine divmod(const char* name) {
  constexpr T t = type_of<I>;
  return Routine{name, {t}, {t, t, T::Out}, [](const Vals& a) {
                   const auto q = wrap_div(val<I>(a[0]), val<I>(a[1]), false);
                   return q ? Vals{raw(*q), raw(*wrap_div(val<I>(a[0]), val<I>(a[1]), true))} : Vals{};
                 }};
}

const std::vector<Routine>& routines() {
  using I = int32_t;
  using U = uint32_t;
  using L = int64_t;
  using UL = uint64_t;
  static const std::vector<Routine> all = [] {
    std::vector<Routine> v = float_routines<double>("df");
    for (Routine& r : float_routines<float>("sf")) v.push_back(std::move(r));
    std::vector<Routine> more = {
        fn<double, float>("__extendsfdf2", [](float x) { return double(x); }),
        fn<float, double>("__truncdfsf2", [](double x) { return float(x); }),
        complex_routine<double>("__muldc3", __muldc3),
        complex_routine<double>("__divdc3", __divdc3),
        complex_routine<float>("__mulsc3", __mulsc3),
        complex_routine<float>("__divsc3", __divsc3),
        fn<L, L, L>("__divdi3", [](L x, L y) { return wrap_div(x, y, false); }),
        fn<L, L, L>("__moddi3", [](L x, L y) { return wrap_div(x, y, true); }),
        fn<UL, UL, UL>("__udivdi3", [](UL x, UL y) { return wrap_div(x, y, false); }),
        fn<UL, UL, UL>("__umoddi3", [](UL x, UL y) { return wrap_div(x, y, true); }),
        divmod<UL>("__udivmoddi4"),
        divmod<L>("__divmoddi4"),
        fn<UL, UL, UL>("__muldi3", [](UL x, UL y) { return x * y; }),
        fn<UL, UL>("__negdi2", [](UL x) { return 0 - x; }),
        fn<UL, UL, Shift>("__ashldi3", [](UL x, Shift s) { return x << s.n; }),
        fn<L, L, Shift>("__ashrdi3", [](L x, Shift s) { return x >> s.n; }),
        fn<UL, UL, Shift>("__lshrdi3", [](UL x, Shift s) { return x >> s.n; }),
        fn<I, L, L>("__cmpdi2", [](L x, L y) { return x < y    ? 0
                                                      : x == y ? 1
                                                               : 2; }),
        fn<I, UL, UL>("__ucmpdi2", [](UL x, UL y) { return x < y    ? 0
                                                           : x == y ? 1
                                                                    : 2; }),
        fn<I, U>("__clzsi2", [](U x) { return x ? std::optional<I>(__builtin_clz(x)) : std::nullopt; }),
        fn<I, UL>("__clzdi2", [](UL x) { return x ? std::optional<I>(__builtin_clzll(x)) : std::nullopt; }),
        fn<I, U>("__ctzsi2", [](U x) { return x ? std::optional<I>(__builtin_ctz(x)) : std::nullopt; }),
        fn<I, UL>("__ctzdi2", [](UL x) { return x ? std::optional<I>(__builtin_ctzll(x)) : std::nullopt; }),
        fn<I, I>("__ffssi2", [](I x) { return __builtin_ffs(x); }),
        fn<I, L>("__ffsdi2", [](L x) { return __builtin_ffsll(x); }),
        fn<I, I>("__clrsbsi2", [](I x) { return __builtin_clrsb(x); }),
        fn<I, L>("__clrsbdi2", [](L x) { return __builtin_clrsbll(x); }),
        fn<I, U>("__popcountsi2", [](U x) { return __builtin_popcount(x); }),
        fn<I, UL>("__popcountdi2", [](UL x) { return __builtin_popcountll(x); }),
        fn<I, U>("__paritysi2", [](U x) { return __builtin_parity(x); }),
        fn<I, UL>("__paritydi2", [](UL x) { return __builtin_parityll(x); }),
        fn<U, U>("__bswapsi2", [](U x) { return __builtin_bswap32(x); }),
        fn<UL, UL>("__bswapdi2", [](UL x) { return __builtin_bswap64(x); }),
        fn<I, I, I>("__addvsi3", [](I x, I y) { return trapv(x, y, add); }),
        fn<L, L, L>("__addvdi3", [](L x, L y) { return trapv(x, y, add); }),
        fn<I, I, I>("__subvsi3", [](I x, I y) { return trapv(x, y, sub); }),
        fn<L, L, L>("__subvdi3", [](L x, L y) { return trapv(x, y, sub); }),
        fn<I, I, I>("__mulvsi3", [](I x, I y) { return trapv(x, y, mul); }),
        fn<L, L, L>("__mulvdi3", [](L x, L y) { return trapv(x, y, mul); }),
        fn<I, I>("__negvsi2", [](I x) { return trapv(I(0), x, sub); }),
        fn<L, L>("__negvdi2", [](L x) { return trapv(L(0), x, sub); }),
        fn<I, I>("__absvsi2", [](I x) { return x < 0 ? trapv(I(0), x, sub) : x; }),
        fn<L, L>("__absvdi2", [](L x) { return x < 0 ? trapv(L(0), x, sub) : x; }),
    };
    for (Routine& r : more) v.push_back(std::move(r));
    for (Routine& r : math_routines<double>("")) v.push_back(std::move(r));
    for (Routine& r : math_routines<float>("f")) v.push_back(std::move(r));
    return v;
  }();
  return all;
}

// Edge operands of each type.
const Vals& edges(T t) {
  static const Vals f = {0,          0x80000000, 1,          0x007fffff, 0x00800000, 0x3f800000, 0xbf800000,
                         0x3f800001, 0x3fc00000, 0x3f000000, 0x40000000, 0x7f7fffff, 0x7f800000, 0xff800000,
                         0x7fbfffff, 0x7f800001, 0xffa00000, 0x7fc00000, 0x4f000000, 0xcf000000, 0x4effffff,
                         0x4f800000, 0x5f000000, 0xdf000000, 0x5f800000, 0x4b800000, 0x4b800001, 0x33800000};
  // Zeros, denormals, 1 and 1+ulp (times 1.5: a tie), the largest finite,
  // infinities; NaNs: the MIPS default, quiet with a small payload, quiet
  // negative, signalling (the host's quiet one); bounds of the integers.
  static const Vals d = {0,
                         1ull << 63,
                         1,
                         0x000fffffffffffff,
                         0x0010000000000000,
                         0x3ff0000000000000,
                         0xbff0000000000000,
                         0x3ff0000000000001,
                         0x3ff8000000000000,
                         0x3fe0000000000000,
                         0x4000000000000000,
                         0x7fefffffffffffff,
                         0x7ff0000000000000,
                         0xfff0000000000000,
                         0x7ff7ffffffffffff,
                         0x7ff0000000000001,
                         0xfff4000000000000,
                         0x7ff8000000000000,
                         0x41e0000000000000,
                         0xc1e0000000000000,
                         0x41dfffffffc00000,
                         0xc1e0000000200000,
                         0x41f0000000000000,
                         0x43e0000000000000,
                         0xc3e0000000000000,
                         0x43f0000000000000,
                         0x4340000000000000,
                         0x4340000000000001,
                         0x3ca0000000000000};
  static const Vals i = {0,      1,       2,          3,          0x7f,       0x80,       0xff,       0x7fff,   0x8000,
                         0xffff, 0x10000, 0x7fffffff, 0x80000000, 0x80000001, 0xfffffffe, 0xffffffff, 0x1000001};
  // 0x1000001000000001 to float is a tie only when rounded to double first.
  static const Vals l = {0,
                         1,
                         2,
                         3,
                         0x7fffffff,
                         0x80000000,
                         0xffffffff,
                         0x100000000,
                         0x100000001,
                         0x1ffffffff,
                         0xffffffff00000000,
                         0x7fffffffffffffff,
                         0x8000000000000000,
                         0x8000000000000001,
                         0xfffffffffffffffe,
                         0xffffffffffffffff,
                         0x20000000000001,
                         0x1000001000000001,
                         0x8000010000000001,
                         0xfffffffeffffffff};
  static const Vals shift = {0, 1, 31, 32, 33, 63};
  static const Vals exp = {0, 1, 2, 3, 0xffffffff, 0xfffffffe, 31, 0xffffffe1, 1100, 0x80000000, 0x7fffffff};
  static const Vals out = {0};
  switch (t) {
    case T::F: return f;
    case T::D: return d;
    case T::I:
    case T::U: return i;
    case T::L:
    case T::UL: return l;
    case T::Shift: return shift;
    case T::Exp: return exp;
    case T::Out: break;
  }
  return out;
}

uint64_t random_float(Rng& r, T t, const uint64_t* near) {
  const FloatFormat& m = fmt(t);
  const uint64_t sign = m.exp << 1 & ~(m.exp | m.frac) & (t == T::D ? ~0ull : 0xffffffffull);
  const int max_exp = static_cast<int>(m.exp >> m.frac_bits);
  int e;
  if (near) {  // close to the first operand: cancellation, half an ulp of it (ties)
    if (r.chance(15)) return *near ^ (r.chance(50) ? sign : 0);
    const int e0 = static_cast<int>((*near & m.exp) >> m.frac_bits);
    e = r.chance(30) ? e0 - m.frac_bits - 1 : e0 + static_cast<int>(r.below(121)) - 60;
  } else {  // around 1 half the time, else anywhere, denormals and infinity included
    e = r.chance(50) ? max_exp / 2 + static_cast<int>(r.below(81)) - 40 : static_cast<int>(r.below(max_exp + 1));
  }
  e = std::clamp(e, 0, max_exp);
  // Low fraction bits cleared at random: short significands round exactly
  // or to ties more often.
  const uint64_t frac = r.next() & m.frac & ~((1ull << r.below(m.frac_bits + 1)) - 1);
  return (r.chance(50) ? sign : 0) | static_cast<uint64_t>(e) << m.frac_bits | frac;
}

uint64_t random_operand(Rng& r, T t, const Vals& so_far) {
  const Vals& e = edges(t);
  if (t == T::Out || r.chance(25)) return e[r.below(static_cast<uint32_t>(e.size()))];
  switch (t) {
    case T::F:
    case T::D:
      if (r.chance(20)) return narrow(r.next(), wide(t) ? T::UL : T::U);
      return random_float(r, t, !so_far.empty() && r.chance(40) ? &so_far[0] : nullptr);
    case T::Shift: return r.below(64);
    case T::Exp: return static_cast<uint32_t>(static_cast<int32_t>(r.below(81)) - 40);
    default: {
      uint64_t v = r.chance(60) ? r.next() >> r.below(64) : r.next();
      if (r.chance(30)) v = 0 - v;
      return narrow(v, t);
    }
  }
}

class Guest {
 public:
  Guest() {
    m_.load_file(R3K_GUEST_DIR "/compiler_rt", {"compiler_rt"});
    out_ = m_.push_bytes(std::vector<uint8_t>(8));
  }

  // o32: a 64-bit operand in an even-aligned pair of words, high word
  // first; results from v0, v1, a0, a1 in that order.
  CallResult call(const Routine& r, const Vals& a, Vals& results) {
    std::vector<uint32_t> words;
    for (size_t i = 0; i < a.size(); ++i) {
      if (r.args[i] == T::Out) {
        words.push_back(out_);
      } else if (wide(r.args[i])) {
        if (words.size() % 2) words.push_back(0);
        words.push_back(static_cast<uint32_t>(a[i] >> 32));
        words.push_back(static_cast<uint32_t>(a[i]));
      } else {
        words.push_back(static_cast<uint32_t>(a[i]));
      }
    }
    // Each call's frame goes below the sp the last one left: put it back,
    // or a long run would use up the stack.
    const uint32_t sp = m_.regs().gpr[r3k::regs::sp];
    CallResult c = m_.call(r.name, words);
    const uint32_t regs[] = {c.v0, c.v1, m_.regs().gpr[r3k::regs::a0], m_.regs().gpr[r3k::regs::a1]};
    m_.regs().gpr[r3k::regs::sp] = sp;
    size_t at = 0;
    results.clear();
    for (T t : r.ret) {
      uint64_t v = regs[at++];
      if (wide(t)) v = v << 32 | regs[at++];
      results.push_back(v);
    }
    if (!r.args.empty() && r.args.back() == T::Out)
      results.push_back(uint64_t{m_.read32(out_)} << 32 | m_.read32(out_ + 4));
    return c;
  }
  TestMachine& machine() { return m_; }
  uint32_t out() const { return out_; }

 private:
  TestMachine m_;
  uint32_t out_ = 0;
};

// Empty when the guest's results are right.
std::string misjudged(const Routine& r, const Vals& a, const Vals& want, const Vals& got) {
  if (got.size() != want.size()) return "results missing";
  for (size_t i = 0; i < want.size(); ++i) {
    const T t = i < r.ret.size() ? r.ret[i] : T::UL;
    if (r.cmp) {
      if (r.cmp(static_cast<int32_t>(got[i])) != (want[i] != 0)) return "wrong answer";
    } else if (is_nan(want[i], t) && r.nan != Nan::Exact) {
      if (r.nan == Nan::Any ? !is_nan(got[i], t) : !mips_quiet(got[i], t)) return "not a MIPS quiet NaN";
      std::vector<size_t> nans;
      for (size_t k = 0; k < a.size(); ++k)
        if (is_nan(a[k], r.args[k])) nans.push_back(k);
      if (r.nan == Nan::AnyQuiet) continue;
      if (nans.empty() && got[i] != fmt(t).default_nan) return "not the default NaN";
      if (nans.size() == 1 && r.args[nans[0]] == t && mips_quiet(a[nans[0]], t) && got[i] != a[nans[0]])
        return "the quiet NaN operand not passed on";
    } else if (narrow(got[i], t) != narrow(want[i], t)) {
      return "wrong value";
    }
  }
  return "";
}

std::string hex(const Vals& v) {
  std::ostringstream o;
  o << std::hex;
  for (size_t i = 0; i < v.size(); ++i) o << (i ? ", " : "") << "0x" << v[i];
  return o.str();
}

constexpr uint64_t kDefaultSeed = 0x2026120800000008ull;

TEST(CompilerRuntime, MatchesTheHostOnEdgeAndRandomOperands) {
  const uint64_t seed = env_number("R3K_RT_SEED", kDefaultSeed);
  const uint64_t cases = env_number("R3K_RT_CASES", 300);
  Guest g;
  uint64_t checked = 0;
  for (const Routine& r : routines()) {
    int failures = 0;
    auto check = [&](const Vals& a, const std::string& origin) {
      const Vals want = r.host(a);
      if (want.empty()) return false;
      Vals got;
      const CallResult c = g.call(r, a, got);
      ++checked;
      const std::string bad =
          c.returned ? misjudged(r, a, want, got) : "did not return: " + (c.fault ? c.fault->describe() : "exited");
      if (!bad.empty() && failures++ < 3)
        ADD_FAILURE() << r.name << "(" << hex(a) << "): " << bad << ": got " << hex(got) << ", want " << hex(want)
                      << " (" << origin << ")";
      return true;
    };
    // Every combination of edge operands, where there are not too many.
    size_t combos = 1;
    for (T t : r.args) combos *= edges(t).size();
    if (combos <= 1000)
      for (size_t k = 0; k < combos; ++k) {
        Vals a;
        for (size_t n = k; T t : r.args) a.push_back(edges(t)[n % edges(t).size()]), n /= edges(t).size();
        check(a, "edge operands");
      }
    uint64_t h = seed;  // one stream per routine: FNV-1a of its name
    for (char ch : r.name) h = (h ^ static_cast<uint8_t>(ch)) * 0x100000001b3ull;
    Rng rng{h};
    for (uint64_t k = 0; k < cases; ++k) {
      const std::string origin = "R3K_RT_SEED=" + std::to_string(seed) + ", random case " + std::to_string(k);
      for (int tries = 0; tries < 100; ++tries) {
        Vals a;
        for (T t : r.args) a.push_back(random_operand(rng, t, a));
        if (check(a, origin)) break;
      }
    }
  }
  std::cout << "compiler runtime: " << checked << " calls checked, seed " << seed << std::endl;
}

// What C leaves undefined but the runtime decides: integer division by
// zero stops at the compiler's "break 7", a -ftrapv overflow at "break".
TEST(CompilerRuntime, DivisionByZeroAndTrapvOverflowStopAtABreak) {
  struct Case {
    const char* name;
    std::vector<uint32_t> words;
    uint32_t insn;
  };
  constexpr uint32_t kBreakDivZero = 0x0007000d, kBreak = 0x0000000d;
  const Case cases[] = {
      {"__divdi3", {0, 7, 0, 0}, kBreakDivZero},
      {"__moddi3", {0, 7, 0, 0}, kBreakDivZero},
      {"__udivdi3", {1, 0, 0, 0}, kBreakDivZero},
      {"__umoddi3", {0, 0, 0, 0}, kBreakDivZero},
      {"__udivmoddi4", {0, 7, 0, 0, 0}, kBreakDivZero},
      {"__divmoddi4", {5, 7, 0, 0, 0}, kBreakDivZero},
      {"__addvsi3", {0x7fffffff, 1}, kBreak},
      {"__subvsi3", {0x80000000, 1}, kBreak},
      {"__mulvsi3", {0x10000, 0x10000}, kBreak},
      {"__negvsi2", {0x80000000}, kBreak},
      {"__absvsi2", {0x80000000}, kBreak},
      {"__addvdi3", {0x7fffffff, 0xffffffff, 0, 1}, kBreak},
      {"__subvdi3", {0x80000000, 0, 0, 1}, kBreak},
      {"__mulvdi3", {1, 0, 1, 0}, kBreak},
      {"__negvdi2", {0x80000000, 0}, kBreak},
      {"__absvdi2", {0x80000000, 0}, kBreak},
  };
  for (const Case& c : cases) {
    Guest g;
    std::vector<uint32_t> words = c.words;
    if (words.size() == 5) words[4] = g.out();
    const CallResult r = g.machine().call(c.name, words);
    ASSERT_TRUE(r.fault.has_value()) << c.name << " returned " << r.v0;
    EXPECT_EQ(r.fault->kind, FaultKind::Break) << c.name << ": " << r.fault->describe();
    EXPECT_EQ(r.fault->insn, c.insn) << c.name << ": " << r.fault->describe();
  }
}

}  // namespace
}  // namespace r3k::test
