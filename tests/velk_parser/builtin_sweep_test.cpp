// Every builtin prototype, compiled and run: programs/builtins/every_prototype
// calls each function, method and field signature once (its output is checked
// by the program corpus), and here its image must hold a call of every builtin
// code, so that no prototype-table entry is left out of the sweep.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "ast.h"
#include "call_codes.h"
#include "interp_api.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

// The board's I/O codes: no prototype makes them, the interpreter refuses them.
bool isBoardIO(u32 code) { return code >= kCallBoardIO0 && code <= kCallBoardIO3; }

TEST(BuiltinSweep, TheSweepProgramCallsEveryBuiltinCode) {
  const fs::path source = fs::path(VELK_SOURCE_DIR) / "tests/programs/builtins/every_prototype.velk";
  const fs::path image =
      fs::temp_directory_path() / ("velk_sweep_" + std::to_string(getpid()) + ".ast");
  const ProgramRun compiled =
      runProgram(VELK_PARSER_BIN, {"velk_parser", "-q", source.string(), image.string()},
                 {std::string("VELK_PKG_PATH=") + VELK_SOURCE_DIR});
  ASSERT_EQ(compiled.status, 0) << compiled.out;

  InterpEnv* env = interp_create();
  ASSERT_EQ(interp_load(env, image.c_str()), 0u);
  fs::remove(image);
  std::set<u32> called;
  const program* p = env->program;
  for (u32 id = 0; id < p->infoProg->n_AST; ++id) {
    const AST* node = &p->RAMprogram[id];
    if (node->op == CALL_OP) called.insert(AST_getCallCode(p, node));
  }
  interp_stop(env);

  for (u32 code = kFirstBuiltinCallCode; code < kCallCodeCount; ++code) {
    if (isBoardIO(code)) continue;
    EXPECT_TRUE(called.count(code) == 1) << "no call of builtin code " << code;
  }
}

}  // namespace
