/* A recursive-descent parser: random expressions are written out as text
 * (numbers, variables, unary minus, * / %, + -, comparisons, && ||, ?:,
 * parentheses), parsed into a tree and evaluated for several settings of
 * the variables. */
#include "suite.h"

enum { kText = 4096, kNodes = 2048, kExprs = 700, kSettings = 8, kRounds = 8 };

enum kind { NUM, VAR, NEG, NOT, BIN, COND };

struct expr {
  uint8_t kind, op;
  int32_t value; /* NUM: the number; VAR: its index */
  struct expr *a, *b, *c;
};

static char text[kText];
static uint32_t len;
static struct expr nodes[kNodes];
static uint32_t used;
static const char *at;
static int32_t vars[26];

/* Writing: a random expression of at most depth levels. */
static void put(char ch) {
  if (len < kText - 1) text[len++] = ch;
}

static void put_number(uint32_t v) {
  char digits[10];
  int n = 0;
  do digits[n++] = (char)('0' + v % 10);
  while ((v /= 10) != 0);
  while (n) put(digits[--n]);
}

static void write_expr(int depth) {
  static const char *const ops[] = {"+", "-", "*", "/", "%", "<", "==", "&&", "||", ">=", "!="};
  const uint32_t r = rng_below(depth > 0 ? 10 : 2);
  if (r == 0) return put_number(rng_below(1000));
  if (r == 1) return put((char)('a' + rng_below(26)));
  if (r == 2) {
    put('-');
    return write_expr(depth - 1);
  }
  if (r == 3) {
    put('(');
    write_expr(depth - 1);
    put('?');
    write_expr(depth - 1);
    put(':');
    write_expr(depth - 1);
    return put(')');
  }
  put('(');
  write_expr(depth - 1);
  put(' ');
  for (const char *o = ops[rng_below(11)]; *o; ++o) put(*o);
  put(' ');
  write_expr(depth - 1);
  put(')');
}

/* Parsing. */
static struct expr *make(enum kind k, uint8_t op, struct expr *a, struct expr *b) {
  struct expr *e = &nodes[used < kNodes - 1 ? used++ : used];
  e->kind = (uint8_t)k;
  e->op = op;
  e->a = a;
  e->b = b;
  e->c = 0;
  e->value = 0;
  return e;
}

static void skip(void) {
  while (*at == ' ') ++at;
}

static struct expr *parse_cond(void);

static struct expr *parse_primary(void) {
  skip();
  if (*at == '(') {
    ++at;
    struct expr *e = parse_cond();
    skip();
    if (*at == ')') ++at;
    return e;
  }
  if (*at == '-') {
    ++at;
    return make(NEG, 0, parse_primary(), 0);
  }
  if (*at == '!') {
    ++at;
    return make(NOT, 0, parse_primary(), 0);
  }
  if (*at >= 'a' && *at <= 'z') {
    struct expr *e = make(VAR, 0, 0, 0);
    e->value = *at++ - 'a';
    return e;
  }
  struct expr *e = make(NUM, 0, 0, 0);
  while (*at >= '0' && *at <= '9') e->value = e->value * 10 + (*at++ - '0');
  return e;
}

/* Binary operators by precedence level, lowest first. */
static int level_of(const char *s, uint8_t *op, int *width) {
  *width = s[1] == '=' || s[1] == '&' || s[1] == '|' ? 2 : 1;
  switch (s[0]) {
    case '|': *op = 'o'; return s[1] == '|' ? 0 : -1;
    case '&': *op = 'a'; return s[1] == '&' ? 1 : -1;
    case '=': *op = 'e'; return s[1] == '=' ? 2 : -1;
    case '!': *op = 'n'; return s[1] == '=' ? 2 : -1;
    case '<': *op = s[1] == '=' ? 'l' : '<'; return 3;
    case '>': *op = s[1] == '=' ? 'g' : '>'; return 3;
    case '+':
      *op = '+';
      *width = 1;
      return 4;
    case '-':
      *op = '-';
      *width = 1;
      return 4;
    case '*':
      *op = '*';
      *width = 1;
      return 5;
    case '/':
      *op = '/';
      *width = 1;
      return 5;
    case '%':
      *op = '%';
      *width = 1;
      return 5;
    default: return -1;
  }
}

static struct expr *parse_binary(int level) {
  if (level > 5) return parse_primary();
  struct expr *left = parse_binary(level + 1);
  for (;;) {
    skip();
    uint8_t op = 0;
    int width;
    if (level_of(at, &op, &width) != level) return left;
    at += width;
    left = make(BIN, op, left, parse_binary(level + 1));
  }
}

static struct expr *parse_cond(void) {
  struct expr *c = parse_binary(0);
  skip();
  if (*at != '?') return c;
  ++at;
  struct expr *e = make(COND, 0, c, parse_cond());
  skip();
  if (*at == ':') ++at;
  e->c = parse_cond();
  return e;
}

static int32_t eval(const struct expr *e) {
  switch (e->kind) {
    case NUM: return e->value;
    case VAR: return vars[e->value];
    case NEG: return -eval(e->a);
    case NOT: return !eval(e->a);
    case COND: return eval(e->a) ? eval(e->b) : eval(e->c);
    default: break;
  }
  const int32_t x = eval(e->a);
  if (e->op == 'a') return x && eval(e->b);
  if (e->op == 'o') return x || eval(e->b);
  const int32_t y = eval(e->b);
  switch (e->op) {
    case '+': return (int32_t)((uint32_t)x + (uint32_t)y);
    case '-': return (int32_t)((uint32_t)x - (uint32_t)y);
    case '*': return (int32_t)((uint32_t)x * (uint32_t)y);
    case '/': return y == 0 || (y == -1 && x == INT32_MIN) ? 0 : x / y;
    case '%': return y == 0 || y == -1 ? 0 : x % y;
    case '<': return x < y;
    case '>': return x > y;
    case 'l': return x <= y;
    case 'g': return x >= y;
    case 'e': return x == y;
    case 'n': return x != y;
    default: return 0;
  }
}

int main(void) {
  uint32_t check = 0;
  rng_seed(23);
  for (uint32_t round = 0; round < kRounds; ++round) {
    for (uint32_t n = 0; n < kExprs; ++n) {
      len = 0;
      write_expr(9);
      text[len] = 0;
      used = 0;
      at = text;
      const struct expr *e = parse_cond();
      check = mix(check, used);
      for (uint32_t s = 0; s < kSettings; ++s) {
        for (uint32_t v = 0; v < 26; ++v) vars[v] = (int32_t)(rng() % 2001) - 1000;
        check = mix(check, (uint32_t)eval(e));
      }
    }
  }
  report("parse", check);
  return 0;
}
