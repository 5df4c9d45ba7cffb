/* A state machine switching through jump tables: a lexer of a C-like
 * language (identifiers, keywords, numbers in three bases, strings with
 * escapes, comments, operators) over generated source text, one byte at
 * a time through a switch on the state, then a second switch on each
 * token's kind. */
#include <string.h>

#include "suite.h"

enum { kText = 1 << 16, kRounds = 110 };

enum state {
  START,
  IDENT,
  ZERO,
  DEC,
  HEX,
  OCT,
  STRING,
  ESCAPE,
  SLASH,
  LINE_COMMENT,
  BLOCK_COMMENT,
  BLOCK_STAR,
  OPERATOR,
  OP_SECOND,
  SPACE
};

enum token { T_IDENT, T_KEYWORD, T_NUMBER, T_STRING, T_OP, T_COMMENT, T_BAD, T_KINDS };

static char text[kText];
static uint32_t counts[T_KINDS];
static uint32_t check;

static void generate(void) {
  static const char *const pieces[] = {
      "while",       "if",         "return",     "int",       "x",  "count", "node_next", "0x1f", "017", "42",
      "\"text\\n\"", "\"a\\\"b\"", "/* note */", "// line\n", "+=", "->",    "<=",        "==",   "&&",  "(",
      ")",           "{",          "}",          ";",         "*",  "-",     "!=",        "<<",   "buf", "else"};
  uint32_t at = 0;
  while (at < kText - 32) {
    for (const char *p = pieces[rng_below(30)]; *p; ++p) text[at++] = *p;
    text[at++] = rng_below(8) == 0 ? '\n' : ' ';
  }
  text[at] = 0;
}

static int is_keyword(const char *s, uint32_t n) {
  static const char *const words[] = {"while", "if", "return", "int", "else", "for"};
  for (uint32_t i = 0; i < 6; ++i)
    if (strlen(words[i]) == n && memcmp(words[i], s, n) == 0) return 1;
  return 0;
}

static void emit(enum token t, const char *start, const char *end, uint32_t value) {
  ++counts[t];
  switch (t) {
    case T_IDENT: check = mix(check, (uint32_t)(end - start) * 31 + (uint8_t)start[0]); break;
    case T_KEYWORD: check = mix(check, (uint8_t)start[1]); break;
    case T_NUMBER: check = mix(check, value); break;
    case T_STRING: check += value; break;
    case T_OP: check = (check << 3 | check >> 29) ^ (uint8_t)start[0]; break;
    case T_COMMENT: check ^= (uint32_t)(end - start); break;
    default: check = mix(check, 0xbad); break;
  }
}

static void lex(void) {
  enum state s = START;
  const char *start = text;
  uint32_t value = 0;
  for (const char *p = text;; ++p) {
    const char c = *p;
  again:
    switch (s) {
      case START:
        start = p;
        value = 0;
        if (c == 0) return;
        if ((c >= 'a' && c <= 'z') || c == '_') s = IDENT;
        else if (c == '0') s = ZERO;
        else if (c >= '1' && c <= '9') value = (uint32_t)(c - '0'), s = DEC;
        else if (c == '"') s = STRING;
        else if (c == '/') s = SLASH;
        else if (c == ' ' || c == '\n') s = SPACE;
        else s = OPERATOR;
        break;
      case SPACE:
        if (c != ' ' && c != '\n') {
          s = START;
          goto again;
        }
        break;
      case IDENT:
        if ((c >= 'a' && c <= 'z') || c == '_' || (c >= '0' && c <= '9')) break;
        emit(is_keyword(start, (uint32_t)(p - start)) ? T_KEYWORD : T_IDENT, start, p, 0);
        s = START;
        goto again;
      case ZERO:
        if (c == 'x') s = HEX;
        else if (c >= '0' && c <= '7') value = (uint32_t)(c - '0'), s = OCT;
        else {
          emit(T_NUMBER, start, p, 0);
          s = START;
          goto again;
        }
        break;
      case DEC:
        if (c >= '0' && c <= '9') value = value * 10 + (uint32_t)(c - '0');
        else {
          emit(T_NUMBER, start, p, value);
          s = START;
          goto again;
        }
        break;
      case HEX:
        if (c >= '0' && c <= '9') value = value * 16 + (uint32_t)(c - '0');
        else if (c >= 'a' && c <= 'f') value = value * 16 + (uint32_t)(c - 'a' + 10);
        else {
          emit(T_NUMBER, start, p, value);
          s = START;
          goto again;
        }
        break;
      case OCT:
        if (c >= '0' && c <= '7') value = value * 8 + (uint32_t)(c - '0');
        else {
          emit(T_NUMBER, start, p, value);
          s = START;
          goto again;
        }
        break;
      case STRING:
        if (c == '\\') s = ESCAPE;
        else if (c == '"') emit(T_STRING, start, p + 1, value), s = START;
        else if (c == 0) return emit(T_BAD, start, p, 0);
        else value += (uint8_t)c;
        break;
      case ESCAPE:
        value += c == 'n' ? 10u : (uint8_t)c;
        s = STRING;
        break;
      case SLASH:
        if (c == '/') s = LINE_COMMENT;
        else if (c == '*') s = BLOCK_COMMENT;
        else {
          emit(T_OP, start, p, 0);
          s = START;
          goto again;
        }
        break;
      case LINE_COMMENT:
        if (c == '\n' || c == 0) {
          emit(T_COMMENT, start, p, 0);
          s = START;
          goto again;
        }
        break;
      case BLOCK_COMMENT:
        if (c == '*') s = BLOCK_STAR;
        else if (c == 0) return emit(T_BAD, start, p, 0);
        break;
      case BLOCK_STAR:
        if (c == '/') emit(T_COMMENT, start, p + 1, 0), s = START;
        else if (c != '*') s = BLOCK_COMMENT;
        break;
      case OPERATOR:
        if (c == '=' || c == '>' || c == '&' || c == '<') {
          s = OP_SECOND;
          break;
        }
        emit(T_OP, start, p, 0);
        s = START;
        goto again;
      case OP_SECOND:
        emit(T_OP, start, p, 0);
        s = START;
        goto again;
    }
  }
}

int main(void) {
  rng_seed(37);
  generate();
  for (uint32_t round = 0; round < kRounds; ++round) lex();
  for (uint32_t t = 0; t < T_KINDS; ++t) check = mix(check, counts[t]);
  report("lexer", check);
  return 0;
}
