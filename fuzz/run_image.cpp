// The image and interpreter targets: load an image file with the
// interpreter library and, when the reader accepts it, initialise and run it
// under a step limit. Program errors (exit, failed assert statements,
// invalid operations, resource limits) are the program's business; a failed
// internal check is a fault in a compiled program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"
#include "interp_api.h"
#include "scheduler.h"

namespace {

// Whether a failed internal check is a fault: it is for an image the compiler
// wrote; for arbitrary bytes the checks are the defence that reports an
// inconsistent image and abandons the run, so only what gets past them
// (a sanitizer report, a crash, a hang) counts.
bool gStrictChecks = true;

void runAssert(InterpEnv*, bool condition, const char* file, size_t line, const char* function,
               const char* text) {
  if (condition || !gStrictChecks) return;
  // A failed assert statement of the program comes without a function name.
  if (function == nullptr || *function == '\0') return;
  // Running out of value stack or local tables is the program's recursion.
  if (text != nullptr && std::strstr(text, "overflow") != nullptr) return;
  // A random bound the result type cannot take (a negative bound of an
  // unsigned draw) is reported by this check of the generator, by design.
  if (std::strcmp(function, "integerBound") == 0) return;
  std::fprintf(stderr, "%s:%zu: %s: Assertion '%s' failed\n", file, line, function, text);
  std::abort();
}

void runExit(InterpEnv*, size_t, int) {}
int runPrint(InterpEnv*, int character) { return character; }

void runImage(const std::string& path, bool strictChecks) {
  gStrictChecks = strictChecks;
  InterpEnv* env = interp_create();
  env_on_assert(env, runAssert);
  env_on_exit(env, runExit);
  env_on_print(env, runPrint);
  env->ctx->stepLimit = velkfuzz::kStepLimit;
  if (interp_load(env, path.c_str()) == 0) {
    interp_init(env);
    for (int k = 0; k < velkfuzz::kMaxActivations; k++) {
      if (interp_next_hit(env) == kNoPendingActivation) break;
      interp_step(env);
      if (env->ctx->stepCount > env->ctx->stepLimit) break;
    }
  }
  interp_stop(env);
}

}  // namespace

int velkFuzz_image(const uint8_t* data, size_t size) {
  velkfuzz::setUp();
  const std::string path = velkfuzz::scratchPath("image.ast");
  if (velkfuzz::writeFile(path, data, size)) runImage(path, false);
  return 0;
}

int velkFuzz_interp(const uint8_t* data, size_t size) {
  const std::string path = velkfuzz::scratchPath("compiled.ast");
  if (velkfuzz::compileSource(std::string(reinterpret_cast<const char*>(data), size),
                              path.c_str()))
    runImage(path, true);
  return 0;
}
