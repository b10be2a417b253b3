// What the fuzz targets share: turning internal assertions into aborts, the
// scratch files of this process, and compiling a source the way velk_parser
// does, but with errors returned instead of ending the process.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ast_writer.h"
#include "def_variable.h"
#include "harness.h"
#include "parser_data.h"
#include "parser_error.h"
#include "parser_path.h"
#include "velk_assert.h"

namespace velkfuzz {
namespace {

[[noreturn]] void reportAndAbort(const char* file, size_t line, const char* function,
                                 const char* text) {
  std::fprintf(stderr, "%s:%zu: %s: Assertion '%s' failed\n", file, line, function, text);
  std::abort();
}

void assertHandler(const char* file, int line, const char* function, const char* text) {
  reportAndAbort(file, static_cast<size_t>(line), function, text);
}

// Constant evaluation inside the compiler: any failed check is a fault.
void compileAssert(InterpEnv*, bool condition, const char* file, size_t line,
                   const char* function, const char* text) {
  if (!condition) reportAndAbort(file, line, function, text);
}

// The compiler's own handler ends the process; a library user goes on.
void compileExit(InterpEnv*, size_t, int) {}

std::string packageDirectory() {
  if (const char* pkg = std::getenv("VELK_FUZZ_PKG_DIR")) return pkg;
  return VELK_FUZZ_DEFAULT_PKG_DIR;
}

}  // namespace

void setUp() {
  static bool done = false;
  if (done) return;
  done = true;
  verbose = false;
  velk_setAssertHandler(assertHandler);
}

std::string scratchPath(const char* role) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return dir + "/velk_fuzz_" + std::to_string(getpid()) + "_" + role;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

bool compileSource(const std::string& source, const char* imagePath) {
  setUp();
  const std::string sourcePath = scratchPath("source.velk");
  if (!writeFile(sourcePath, reinterpret_cast<const uint8_t*>(source.data()), source.size()))
    return false;
  ParserEnv* env = parser_initTables();
  path_add_include_path(env->pctx->includePath, packageDirectory().c_str());
  env->pctx->sourceFileName = sourcePath;
  parser_createTree(env, kDefaultAstCapacity);
  parser_installInterpreterCallbacks(env);
  // Replace the handlers that end the process with ones that let the
  // harness go on (errors) or abort (internal faults).
  env->ienv->ctx->exit_callback = compileExit;
  env->ienv->ctx->assert_callback = compileAssert;
  velk_setAssertHandler(assertHandler);
  env->pctx->exitOnError = false;
  bool accepted = parser_parseFileWithEnvironment(env, sourcePath.c_str()) == 0 &&
                  parser_check(env) == 0;
  if (accepted && imagePath != nullptr) {
    GlobalAndStaticVariables_init(env);
    accepted = env->pctx->status == 0 && parser_storeProgram(env, imagePath) == 0;
  }
  parser_freeAll(env);
  return accepted;
}

}  // namespace velkfuzz

int velkFuzz_compile(const uint8_t* data, size_t size) {
  velkfuzz::compileSource(std::string(reinterpret_cast<const char*>(data), size), nullptr);
  return 0;
}

VelkFuzzBody velkFuzz_find(const std::string& name) {
  if (name == "compile" || name == "tokens") return velkFuzz_compile;
  if (name == "image") return velkFuzz_image;
  if (name == "interp") return velkFuzz_interp;
  if (name == "sim") return velkFuzz_sim;
  if (name == "sched") return velkFuzz_sched;
  return nullptr;
}
