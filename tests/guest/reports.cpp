// Guest for the error-report tests: the host calls the err/warn family by
// symbol; the argument-list forms need a started list, so variadic
// wrappers hand them one.
#include <err.h>
#include <stdarg.h>

extern "C" {

void via_verr(int status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  verr(status, fmt, ap);
}

void via_verrx(int status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  verrx(status, fmt, ap);
}

void via_vwarn(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwarn(fmt, ap);
  va_end(ap);
}

void via_vwarnx(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwarnx(fmt, ap);
  va_end(ap);
}

// Referenced from main so that section garbage collection keeps them.
const void *const keep_linked[] = {(const void *)err,       (const void *)errx,      (const void *)warn,
                                   (const void *)warnx,     (const void *)via_verr,  (const void *)via_verrx,
                                   (const void *)via_vwarn, (const void *)via_vwarnx};
}

int main(int argc, char **) { return ((const void *const volatile *)keep_linked)[argc - 1] == 0; }
