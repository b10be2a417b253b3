#include "velk_assert.h"

#include <cstdio>
#include <cstdlib>

namespace {

void defaultAssertHandler(const char* file, int line, const char* function, const char* text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s:%d: %s: Assertion '%s' failed\n", file, line, function, text);
}

AssertHandler gHandler = defaultAssertHandler;

}  // namespace

AssertHandler velk_setAssertHandler(AssertHandler handler) {
  AssertHandler previous = gHandler;
  gHandler = handler != nullptr ? handler : defaultAssertHandler;
  return previous;
}

void velk_assertFail(const char* file, int line, const char* function, const char* text) {
  gHandler(file, line, function, text);
  std::fflush(stdout);
  std::abort();
}

int velk_formatAssertion(char* buffer, unsigned long size, const char* file, int line,
                         const char* function, const char* text) {
  return std::snprintf(buffer, size, "%s:%d: %s: Assertion '%s' failed", file, line, function,
                       text);
}
