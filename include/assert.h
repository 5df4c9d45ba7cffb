/* No include guard: NDEBUG may change between inclusions. */
#include <sys/cdefs.h>

__BEGIN_DECLS
/* Reports "Assertion failed: EXPR (FILE line N)" on descriptor 2 and
 * ends the process with status 255. */
__dead void __bad_assert(const char *file, int line, const char *expr);
__END_DECLS

#undef assert
#ifdef NDEBUG
#define assert(expr) ((void)0)
#else
#define assert(expr) ((expr) ? (void)0 : __bad_assert(__FILE__, __LINE__, #expr))
#endif
