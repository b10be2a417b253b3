// Test host for the program corpus: loads a compiled image with the
// interpreter library and runs it for a given simulated time. What the
// program prints goes to stdout; so do the scheduler's trace lines (the
// library writes them itself), the program's exit and failed assertions, and
// the run-time errors it reports through the invalid-operation hook. The
// clock is the library's simulated one, so runs are reproducible.
//
// Usage: velk_test_host <image> <seconds>   (seconds may carry a fraction: 0.05)
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "interp_api.h"

namespace {

// Kept reachable so that an exit() from a callback leaks nothing.
InterpEnv* gEnv = nullptr;

int hostPrint(InterpEnv*, int character) {
  std::putchar(character);
  return character;
}

// A program's exit() ends the run like the compiler's runner does: the code
// becomes the host's exit status.
void hostExit(InterpEnv*, size_t line, int code) {
  std::printf("[exit %d at line %zu]\n", code, line);
  std::fflush(stdout);
  std::exit(code);
}

void hostAssert(InterpEnv*, bool condition, const char* file, size_t line, const char*,
                const char* text) {
  if (condition) return;
  std::printf("[assert failed %s:%zu: %s]\n", file != nullptr ? file : "", line,
              text != nullptr ? text : "");
}

// The library writes its trace only when some host watches the variables, so
// the host registers a watcher that lets every write through.
u32 hostVariableChange(InterpEnv*, u32, u32, TaggedValue) { return 0; }

TaggedValue hostInvalidOp(InterpEnv* env, AST* node, u32 code) {
  const char* name = interp_invalidOperationName(code, InvalidOpWording::Diagnostic);
  if (name == nullptr) name = "unknown";
  if (node != nullptr) {
    std::printf("[invalid operation: %s at line %u]\n", name, AST_line(env->program, node));
  } else {
    std::printf("[invalid operation: %s]\n", name);
  }
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

// Seconds with an optional fraction of up to 12 digits ("0.05"), so that a
// program can be run for a few activations; converted to picoseconds.
bool parseDuration(const char* text, u64* ps) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long seconds = std::strtoull(text, &end, 10);
  if (errno != 0 || seconds > time_ps_to_s(UINT64_MAX) - 1) return false;
  u64 fraction = 0;
  if (*end == '.') {
    ++end;
    u64 scale = time_s_to_ps(1);
    int digits = 0;
    for (; *end >= '0' && *end <= '9'; ++end, ++digits) {
      if (digits == 12) return false;
      scale /= 10;
      fraction += static_cast<u64>(*end - '0') * scale;
    }
    if (digits == 0) return false;
  }
  if (*end != '\0') return false;
  *ps = time_s_to_ps(seconds) + fraction;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  u64 until = 0;
  if (argc != 3 || !parseDuration(argv[2], &until)) {
    std::fprintf(stderr, "usage: velk_test_host <image> <seconds>\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  gEnv = interp_create();
  env_on_print(gEnv, hostPrint);
  env_on_exit(gEnv, hostExit);
  env_on_assert(gEnv, hostAssert);
  interpreter_on_invalid_op(gEnv, hostInvalidOp);
  u32 status = interp_load(gEnv, argv[1]);
  if (status != 0) {
    std::fprintf(stderr, "velk_test_host: cannot load %s (status %u)\n", argv[1], status);
    interp_stop(gEnv);
    return 1;
  }
  env_on_any_variable_change(gEnv, hostVariableChange);
  interp_init(gEnv);
  interp_run_until(gEnv, until);
  std::fflush(stdout);
  interp_stop(gEnv);
  gEnv = nullptr;
  return 0;
}
