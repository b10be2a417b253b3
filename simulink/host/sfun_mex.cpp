// The engine's MEX calls inside a real host: block errors as MexError, the
// block's prints through the host's mexPrintf, and C stdout redirected to the
// host's console while the engine runs.
#define VELK_SFUN_MEX_IMPLEMENTATION
#include "sfun_mex.h"

#include <mex.h>

#include <sys/types.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

bool printEnabled = true;

// The process's stdout while SfunMexConsole has replaced it.
std::FILE* hostStdout = nullptr;

std::string formatText(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

// The host's mexPrintf, called with the process's own stdout in place: a host
// that itself prints through C stdio must not land back in the redirection.
// NUL bytes are dropped (a console shows nothing for them, and they would end
// a "%s" argument); long texts go in pieces, as the precision is an int.
void printOnHost(const char* data, size_t size) {
  constexpr size_t kPiece = size_t{1} << 20;
  std::FILE* redirected = nullptr;
  if (hostStdout != nullptr) {
    redirected = stdout;
    stdout = hostStdout;
  }
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    const bool nul = i < size && data[i] == '\0';
    if (i < size && !nul && i - start < kPiece) continue;
    if (i > start) mexPrintf("%.*s", static_cast<int>(i - start), data + start);
    start = nul ? i + 1 : i;
  }
  if (redirected != nullptr) stdout = redirected;
}

}  // namespace

void sfunMex_errMsgIdAndTxt(const char* identifier, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatText(format, args);
  va_end(args);
  throw MexError{identifier == nullptr ? "" : identifier, std::move(message)};
}

int sfunMex_printf(const char* format, ...) {
  if (!printEnabled) return 0;
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  // Whatever the program printed before this line comes first.
  std::fflush(stdout);
  printOnHost(text.data(), text.size());
  return static_cast<int>(text.size());
}

void mexHost_setPrintEnabled(bool enabled) { printEnabled = enabled; }
bool mexHost_isPrintEnabled() { return printEnabled; }

void sfunMex_raise(const char* identifier, const char* message) {
  mexErrMsgIdAndTxt(identifier, "%s", message);
  // The host's call does not return; should one ever do so, the failure still
  // must not pass for success.
  std::abort();
}

void sfunMex_print(const char* text) {
  std::fflush(stdout);
  printOnHost(text, std::char_traits<char>::length(text));
}

#ifdef __GLIBC__

namespace {

ssize_t writeToHost(void* /*cookie*/, const char* data, size_t size) {
  printOnHost(data, size);
  return static_cast<ssize_t>(size);
}

}  // namespace

SfunMexConsole::SfunMexConsole() {
  if (hostStdout != nullptr) return;  // already redirected
  cookie_io_functions_t io{};
  io.write = writeToHost;
  std::FILE* console = fopencookie(nullptr, "w", io);
  if (console == nullptr) return;
  std::fflush(stdout);
  saved_ = stdout;
  hostStdout = stdout;
  stdout = console;
}

SfunMexConsole::~SfunMexConsole() {
  if (saved_ == nullptr) return;
  std::FILE* console = stdout;
  std::fflush(console);
  stdout = saved_;
  hostStdout = nullptr;
  std::fclose(console);
}

#else

SfunMexConsole::SfunMexConsole() = default;
SfunMexConsole::~SfunMexConsole() = default;

#endif
