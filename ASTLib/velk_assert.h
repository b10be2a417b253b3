// Internal consistency checks. A failed check reports
// "<file>:<line>: <function>: Assertion '<text>' failed" through the installed
// handler; hosts (the compiler, the interpreter) install their own.
#pragma once

using AssertHandler = void (*)(const char* file, int line, const char* function,
                               const char* text);

// Installs a handler (null restores the default) and returns the previous one.
// The default prints the message and a newline on standard error and aborts.
AssertHandler velk_setAssertHandler(AssertHandler handler);

// Reports a failed check through the current handler. When the handler
// returns, the process is aborted: a broken invariant cannot be continued from.
[[noreturn]] void velk_assertFail(const char* file, int line, const char* function,
                                  const char* text);

// Formats the assertion message (without a newline) into buffer.
int velk_formatAssertion(char* buffer, unsigned long size, const char* file, int line,
                         const char* function, const char* text);

#define VELK_ASSERT_TEXT(cond, text)                                 \
  do {                                                               \
    if (!(cond)) velk_assertFail(__FILE__, __LINE__, __func__, text); \
  } while (0)
#define VELK_ASSERT(cond) VELK_ASSERT_TEXT(cond, #cond)
