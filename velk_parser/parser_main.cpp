// velk_parser: compiles a VELK source file (after the system library) into an
// AST image file. The first error in the source ends the process with that
// error's status; the sequence below maps the remaining outcomes to 0 or 1.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ast.h"
#include "ast_writer.h"
#include "def_variable.h"
#include "parser_data.h"
#include "parser_error.h"
#include "parser_options.h"
#include "parser_path.h"

// Under the address sanitizer everything is freed, so that its leak check
// still proves that every table has an owner.
#if defined(__SANITIZE_ADDRESS__)
#define VELK_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELK_LEAK_CHECKED 1
#endif
#endif
#ifndef VELK_LEAK_CHECKED
#define VELK_LEAK_CHECKED 0
#endif

namespace {

void applyOptions(ParserEnv* env, const ParserCommandLine& options) {
  for (const std::string& include : options.includes) {
    path_add_include_path(env->pctx->includePath, include.c_str());
  }
  if (options.werror) parser_warningAsError();
  if (options.quiet) verbose = false;
  env->pctx->sourceFileName = options.sourceFile;
}

int parseError() {
  std::printf("Parse error ! %s\n", std::strerror(errno));
  return 1;
}

int compile(ParserEnv* env, const ParserCommandLine& options) {
  parser_createTree(env, options.memory);
  parser_installInterpreterCallbacks(env);
  env->pctx->exitOnError = true;
  {
    // The tree grows by millions of nodes on large sources: zeroing their
    // pages on the second core takes that cost off the parse.
    AST_BackgroundPrefault prefault(env->program);
    if (parser_parseFileWithEnvironment(env, options.sourceFile) != 0) return parseError();
  }
  if (parser_check(env) != 0) return parseError();
  GlobalAndStaticVariables_init(env);
  if (verbose) std::fputs("Parse success !\n", stdout);
  int stored = parser_storeProgram(env, options.outputFile);
  if (stored != 0) {
    std::printf("Storage error! %s\n", std::strerror(stored));
    return 1;
  }
  if (verbose) std::printf("AST generated in file \"%s\"\n", options.outputFile);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ParserEnv* env = parser_initTables();
  ParserCommandLine options;
  int code = parser_scanCommandLine(argc, argv, options);
  if (code < 0) {
    applyOptions(env, options);
    code = compile(env, options);
  }
  std::fflush(stdout);
#if VELK_LEAK_CHECKED
  parser_freeAll(env);
#else
  // The system takes back the whole address space at once: freeing the
  // tables of a large program one by one first would only add time.
  (void)env;
#endif
  return code;
}
