// velk_parser: compiles a VELK source file (after the system library) into an
// AST image file. The first error in the source ends the process with that
// error's status; the sequence below maps the remaining outcomes to 0 or 1.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ast_writer.h"
#include "def_variable.h"
#include "parser_data.h"
#include "parser_error.h"
#include "parser_options.h"
#include "parser_path.h"

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
  if (parser_parseFileWithEnvironment(env, options.sourceFile) != 0) return parseError();
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
  parser_freeAll(env);
  return code;
}
