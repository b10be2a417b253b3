// Sources far larger or deeper than people write: each ends in a diagnostic
// and an exit status of its own, never in a crash or an internal assertion.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "compile_program.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;

std::string repeat(const std::string& text, int times) {
  std::string out;
  out.reserve(text.size() * static_cast<size_t>(times));
  for (int k = 0; k < times; k++) out += text;
  return out;
}

// Compiles one generated source with velk_parser in a scratch directory.
class Limits : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velk_limits_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  ProgramRun compile(const std::string& source) {
    return compileProgram(dir_, "deep", source);
  }
  // A statement g = <expression> in init, the operands one per line.
  static std::string assignment(const std::string& expression) {
    return "var uint32 : g = 0;\nvar bool : b = false;\ninit() {\n" + expression + ";\n}\n";
  }

  fs::path dir_;
};

TEST_F(Limits, DeepNestingEndsInADiagnostic) {
  const int n = 100000;
  const std::string sources[] = {
      assignment("g = " + repeat("(\n", n) + "1" + repeat(")\n", n)),
      assignment("g = " + repeat("abs(\n", n) + "1" + repeat(")\n", n)),
      assignment("g = " + repeat("-\n", n) + "1"),
      assignment(repeat("{\n", n) + repeat("}\n", n)),
      assignment(repeat("if (true) {\n", n) + "g = 1;\n" + repeat("}\n", n)),
      "var uint32 : a[1] = " + repeat("{\n", n) + "1" + repeat("}\n", n) + ";\n",
  };
  for (const std::string& source : sources) {
    ProgramRun r = compile(source);
    EXPECT_EQ(r.status, 45) << source.substr(0, 80);  // 301: the grammar's stack is exhausted
    EXPECT_EQ(r.out.rfind("[ERROR] deep.velk: Line ", 0), 0u) << r.out.substr(0, 300);
    EXPECT_EQ(r.out.find("Assertion"), std::string::npos) << r.out.substr(0, 300);
  }
}

TEST_F(Limits, ThousandsOfInstancesEndInADiagnostic) {
  std::string instances = "processdef P() {\n  state S { }\n}\n";
  for (int k = 0; k < 5000; k++) instances += "process P : p" + std::to_string(k) + "[10 ms]();\n";
  ProgramRun r = compile(instances);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("too many global process instances"), std::string::npos)
      << r.out.substr(0, 300);
}

}  // namespace
