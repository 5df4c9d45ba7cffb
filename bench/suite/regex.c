/* A backtracking regular-expression engine: patterns (literals, ., [sets]
 * with ranges and negation, * + ? with greedy backtracking, ^ $, groups
 * and |) compiled to a small program of char, set, split and jump
 * instructions, run by a recursive backtracking matcher at every start
 * position of generated log lines. */
#include <string.h>

#include "suite.h"

enum { kProgram = 256, kLines = 600, kLine = 96, kRounds = 6 };

enum opcode { CHAR, ANY, SET, SPLIT, JMP, BOL, EOL, MATCH };

struct insn {
  uint8_t op, ch;
  uint16_t set; /* SET: index into sets */
  int16_t x, y; /* SPLIT: try x first, then y; JMP: x */
};

static struct insn prog[kProgram];
static uint8_t sets[32][32]; /* bitmaps of 256 bits */
static int n_insns, n_sets;
static const char *pat;
static char lines[kLines][kLine];
static uint32_t steps;

static int emit(enum opcode op) {
  prog[n_insns] = (struct insn){(uint8_t)op, 0, 0, 0, 0};
  return n_insns++;
}

static int compile_alt(void);

/* One atom: a literal, ., a set or a group. */
static void compile_atom(void) {
  const char c = *pat++;
  if (c == '.') {
    emit(ANY);
  } else if (c == '^') {
    emit(BOL);
  } else if (c == '$') {
    emit(EOL);
  } else if (c == '(') {
    compile_alt();
    if (*pat == ')') ++pat;
  } else if (c == '[') {
    const int negate = *pat == '^';
    pat += negate;
    uint8_t *bits = sets[n_sets];
    memset(bits, 0, 32);
    while (*pat && *pat != ']') {
      uint8_t lo = (uint8_t)*pat++, hi = lo;
      if (*pat == '-' && pat[1] && pat[1] != ']') hi = (uint8_t)pat[1], pat += 2;
      for (uint32_t ch = lo; ch <= hi; ++ch) bits[ch >> 3] |= (uint8_t)(1 << (ch & 7));
    }
    if (*pat == ']') ++pat;
    if (negate)
      for (int i = 0; i < 32; ++i) bits[i] = (uint8_t)~bits[i];
    prog[emit(SET)].set = (uint16_t)n_sets++;
  } else {
    prog[emit(CHAR)].ch = (uint8_t)(c == '\\' ? *pat++ : c);
  }
}

/* Moves instructions from `at` on one place up, for a split before them. */
static void open_gap(int at) {
  for (int i = n_insns; i > at; --i) {
    prog[i] = prog[i - 1];
    if (prog[i].op == SPLIT || prog[i].op == JMP) {
      if (prog[i].x >= at) ++prog[i].x;
      if (prog[i].op == SPLIT && prog[i].y >= at) ++prog[i].y;
    }
  }
  ++n_insns;
}

static void compile_sequence(void) {
  while (*pat && *pat != '|' && *pat != ')') {
    const int start = n_insns;
    compile_atom();
    const char q = *pat;
    if (q == '*') { /* L: split L+1, out; atom; jmp L */
      ++pat;
      open_gap(start);
      const int j = emit(JMP);
      prog[j].x = (int16_t)start;
      prog[start] = (struct insn){SPLIT, 0, 0, (int16_t)(start + 1), (int16_t)n_insns};
    } else if (q == '+') { /* atom; split start, out */
      ++pat;
      const int s = emit(SPLIT);
      prog[s].x = (int16_t)start;
      prog[s].y = (int16_t)n_insns;
    } else if (q == '?') { /* split start+1, out; atom */
      ++pat;
      open_gap(start);
      prog[start] = (struct insn){SPLIT, 0, 0, (int16_t)(start + 1), (int16_t)n_insns};
    }
  }
}

/* a|b: split a, b; a; jmp out; b */
static int compile_alt(void) {
  const int start = n_insns;
  compile_sequence();
  if (*pat != '|') return start;
  ++pat;
  open_gap(start);
  const int j = emit(JMP);
  const int second = n_insns;
  compile_alt();
  prog[start] = (struct insn){SPLIT, 0, 0, (int16_t)(start + 1), (int16_t)second};
  prog[j].x = (int16_t)n_insns;
  return start;
}

static void compile(const char *pattern) {
  pat = pattern;
  n_insns = n_sets = 0;
  compile_alt();
  emit(MATCH);
}

static int run(int pc, const char *line, const char *s) {
  for (;;) {
    ++steps;
    const struct insn *in = &prog[pc];
    switch (in->op) {
      case CHAR:
        if (*s != (char)in->ch) return 0;
        ++s, ++pc;
        break;
      case ANY:
        if (!*s) return 0;
        ++s, ++pc;
        break;
      case SET:
        if (!*s || !(sets[in->set][(uint8_t)*s >> 3] >> (*s & 7) & 1)) return 0;
        ++s, ++pc;
        break;
      case SPLIT:
        if (run(in->x, line, s)) return 1;
        pc = in->y;
        break;
      case JMP: pc = in->x; break;
      case BOL:
        if (s != line) return 0;
        ++pc;
        break;
      case EOL:
        if (*s) return 0;
        ++pc;
        break;
      default: return 1;
    }
  }
}

static int search(const char *line) {
  for (const char *s = line;; ++s) {
    if (run(0, line, s)) return (int)(s - line) + 1;
    if (!*s) return 0;
  }
}

static void generate(void) {
  static const char *const words[] = {"error",   "warn",   "info", "disk",   "sda1",  "user", "root",
                                      "login",   "failed", "ok",   "port",   "22",    "8080", "192.168.0.1",
                                      "timeout", "=",      "id:",  "0x7f3a", "retry", "--"};
  for (int i = 0; i < kLines; ++i) {
    uint32_t at = 0;
    while (at < kLine - 16) {
      for (const char *w = words[rng_below(20)]; *w; ++w) lines[i][at++] = *w;
      lines[i][at++] = ' ';
    }
    lines[i][at] = 0;
  }
}

int main(void) {
  static const char *const patterns[] = {"error.*disk",
                                         "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+",
                                         "^info",
                                         "(user|root) login (failed|ok)",
                                         "port [0-9]+ timeout",
                                         "id:.*0x[0-9a-f]+.*retry",
                                         "w?a?rn .*22$",
                                         "(ok|failed) (ok|failed)",
                                         "[^ ]+=[^ ]+",
                                         "(e|i)[a-z]*o[a-z]* --",
                                         "sd[a-z][0-9]?",
                                         "t.*t.*t.*x"};
  uint32_t check = 0;
  rng_seed(61);
  for (int round = 0; round < kRounds; ++round) {
    generate();
    for (int p = 0; p < 12; ++p) {
      compile(patterns[p]);
      for (int i = 0; i < kLines; ++i) check = mix(check, (uint32_t)search(lines[i]) + (uint32_t)p);
    }
  }
  check = mix(check, steps);
  report("regex", check);
  return 0;
}
