#include "compile_program.h"

#include <gtest/gtest.h>

#include <fstream>

#include "parser_data.h"

ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name) {
  return runProgram(VELK_PARSER_BIN, {"velk_parser", "-q", name + ".velk", name + ".ast"},
                    {std::string("VELK_PKG_PATH=") + VELK_SOURCE_DIR}, dir.string());
}

ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name,
                          const std::string& source) {
  std::ofstream(dir / (name + ".velk")) << source;
  return compileProgram(dir, name);
}

InProcessCompilation::InProcessCompilation(const std::string& path) : env(parser_initTables()) {
  parser_createTree(env, 400000);
  parser_installInterpreterCallbacks(env);
  env->pctx->exitOnError = false;
  env->pctx->includePath = VELK_SOURCE_DIR;
  testing::internal::CaptureStdout();
  parsed = parser_parseFileWithEnvironment(env, path.c_str());
  if (parsed == 0) checked = parser_check(env);
  out = testing::internal::GetCapturedStdout();
  status = env->pctx->status;
}

InProcessCompilation::~InProcessCompilation() { parser_freeAll(env); }
