// The "C" locale's character classes, without a table: each class is one
// or two ranges of ASCII, tested with an unsigned subtraction so that EOF
// and bytes 128..255 fall outside every range.
#include <ctype.h>

namespace {
constexpr bool in(int c, int first, int count) {
  return static_cast<unsigned>(c) - static_cast<unsigned>(first) < static_cast<unsigned>(count);
}
// Setting bit 5 makes an upper-case letter lower case and leaves a lower-case one.
constexpr bool letter(int c) { return in(c | 0x20, 'a', 26); }
constexpr bool digit(int c) { return in(c, '0', 10); }
constexpr bool graph(int c) { return in(c, '!', '~' - '!' + 1); }
}  // namespace

int isalnum(int c) { return letter(c) || digit(c); }
int isalpha(int c) { return letter(c); }
int isblank(int c) { return c == ' ' || c == '\t'; }
int iscntrl(int c) { return in(c, 0, ' ') || c == 0x7f; }
int isdigit(int c) { return digit(c); }
int isgraph(int c) { return graph(c); }
int islower(int c) { return in(c, 'a', 26); }
int isprint(int c) { return in(c, ' ', '~' - ' ' + 1); }
int ispunct(int c) { return graph(c) && !letter(c) && !digit(c); }
// Space, then \t \n \v \f \r.
int isspace(int c) { return c == ' ' || in(c, '\t', 5); }
int isupper(int c) { return in(c, 'A', 26); }
int isxdigit(int c) { return digit(c) || in(c | 0x20, 'a', 6); }
int tolower(int c) { return in(c, 'A', 26) ? c + ('a' - 'A') : c; }
int toupper(int c) { return in(c, 'a', 26) ? c - ('a' - 'A') : c; }
