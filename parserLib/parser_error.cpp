#include "parser_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

bool warningsAsErrors = false;
bool verbose = true;

namespace {

void recordStatus(ParserEnv* env, int status) {
  env->pctx->status = status;
  if (env->pctx->exitOnError) {
    std::fflush(stdout);
    std::exit(status);
  }
}

void vreport(const char* tag, const char* fileName, size_t line, const char* thirdDetail,
             const char* format, va_list args) {
  std::fputs(tag, stdout);
  displayDetails(fileName, line, thirdDetail);
  std::vprintf(format, args);
  std::fflush(stdout);
}

}  // namespace

void displayDetails(const char* fileName, size_t line, const char* thirdDetail) {
  if (fileName != nullptr) std::printf(" %s:", fileName);
  if (line != 0) std::printf(" Line %zu:", line);
  if (thirdDetail != nullptr) std::printf(" %s:", thirdDetail);
  std::fputs(" ", stdout);
}

void parser_failure(ParserEnv* env, int status, const char* fileName, size_t line,
                    const char* thirdDetail, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport("[ERROR]", fileName, line, thirdDetail, format, args);
  va_end(args);
  recordStatus(env, status);
}

void parser_recordFailure(ParserEnv* env, int status, const char* fileName, size_t line,
                          const char* thirdDetail, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport("[ERROR]", fileName, line, thirdDetail, format, args);
  va_end(args);
  env->pctx->status = status;
}

void parser_warning(ParserEnv* env, int status, const char* fileName, size_t line,
                    const char* thirdDetail, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport("[WARNING]", fileName, line, thirdDetail, format, args);
  va_end(args);
  if (warningsAsErrors) recordStatus(env, status == 0 ? 1 : status);
}

void parser_warningDeprecated(ParserEnv* env, const char* fileName, size_t line,
                              const char* thirdDetail, const char* token,
                              const char* replacement) {
  std::fputs("[WARNING]", stdout);
  displayDetails(fileName, line, thirdDetail);
  std::printf("\"%s\" is deprecated", token);
  if (replacement != nullptr) std::printf(", please use \"%s\" instead", replacement);
  std::fputs("\n", stdout);
  std::fflush(stdout);
  if (warningsAsErrors) {
    env->pctx->status = 1;
    std::exit(1);
  }
}

void parser_warningAsError() { warningsAsErrors = true; }

void parser_operationError(ParserEnv* env, const char* message) {
  parser_failure(env, 111, env->pctx->fileName, parser_lineno(env), nullptr, "%s in expression\n",
                 message);
}

size_t parser_lineno(const ParserEnv* env) {
  const ParserContext* pctx = env->pctx;
  if (pctx->parsing) return pctx->lineno;
  if (pctx->checkedNode == NO_ID || pctx->checkedNode >= env->program->infoProg->n_AST) return 0;
  return AST_lineFromId(env->program, pctx->checkedNode);
}
