#include "common/fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fail_and_wait(int status, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  // The message must be on the console before the wait begins.
  std::fflush(stdout);
  (void)std::getchar();
  std::exit(status);
}
