// Whole-program checks on real source text: every failure of the checks with
// its status, exact message, file, line and location detail; the warnings
// that let compilation go on; instance resolution and allocation; and inputs
// long or deep enough to catch a recursive or quadratic walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "compile_program.h"
#include "def_builtins.h"
#include "def_expression.h"
#include "def_process.h"
#include "parser_check.h"
#include "parser_data.h"
#include "parser_error.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

class ParserCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velk_check_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    mainPath = dir + "/main.velk";
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  // Parses main (after the system library and the other files written next
  // to it) and runs the checks; keeps what was printed.
  void compile(const std::string& main, const Files& others = {}) {
    for (const auto& [name, text] : others) std::ofstream(dir + "/" + name) << text;
    std::ofstream(mainPath) << main;
    compilation = std::make_unique<InProcessCompilation>(mainPath);
    env = compilation->env;
    parsed = compilation->parsed;
    checked = compilation->checked;
    out = compilation->out;
    status = compilation->status;
  }

  std::string at(int line, const std::string& detail = "") const {
    return mainPath + ": Line " + std::to_string(line) + ": " + (detail.empty() ? "" : detail + ": ");
  }

  std::unique_ptr<InProcessCompilation> compilation;
  ParserEnv* env = nullptr;
  std::string dir;
  std::string mainPath;
  std::string out;
  int parsed = -1;
  int checked = -1;
  int status = 0;
};

struct FailureCase {
  const char* name;
  const char* source;
  int status;
  int line;
  const char* detail;  // third location detail, "" for none
  const char* message;
};

// One program per failure; the message must be the only error printed.
const FailureCase kFailures[] = {
    {"DuplicateInFile", "var uint8 : f = 1;\nf() { }\n", 122, 2, "",
     "function definition name \"f\" already used for variable declaration at MAIN:1\n"},
    {"TwoDefinitions", "f() { }\n\nf() { }\n", 122, 3, "",
     "function definition name \"f\" already used for function definition at MAIN:1\n"},
    {"PrototypeAfterDefinition", "f() { }\nf();\n", 126, 2, "",
     "\"f\" function prototype placed after its function definition at line 1 (a prototype must "
     "be placed before its associated definition)\n"},
    {"ProcessPrototypeAfterDefinition", "processdef P() { state A { } }\nprocessdef P();\n", 126, 2,
     "",
     "\"P\" process prototype placed after its process definition at line 1 (a prototype must be "
     "placed before its associated definition)\n"},
    {"NativePrint", "print() { }\n", 199, 1, "",
     "function definition uses the name \"print\" already used for a native function\n"},
    {"NativeTime", "\ntime() { }\n", 199, 2, "",
     "function definition uses the name \"time\" already used for a native function\n"},
    {"TransitionToUnknownState", "processdef P() {\n  state A { }\n  on (true) to B;\n}\n", 139, 3,
     "P", "transition to non-existing state \"B\"\n"},
    {"DuplicateState",
     "processdef P() {\n  state A { }\n  on (true) to A;\n  state A { }\n}\n", 165, 4, "P",
     "state \"A\" has the same name as a previous state from line 2\n"},
    {"UnknownGlobalDefinition", "\nprocess Q : q();\n", 144, 2, "",
     "unknown process definition for process instance \"q\"\n"},
    {"InstanceMissingOutParameter",
     "processdef P(in uint8 : a, out uint8 : b) { state A { } }\nvar uint8 : x = 0;\n"
     "process P : p(x);\n",
     114, 3, "", "Parameter mismatch for \"p\" instance of \"P\" (2 parameter(s) expected, but 1 found)\n"},
    {"InstanceTooManyParameters", "processdef P() { state A { } }\nprocess P : p(1);\n", 114, 2, "",
     "Parameter mismatch for \"p\" instance of \"P\" (0 parameter(s) expected, but 1 found)\n"},
    {"InstanceParameterType", "processdef P(in uint8 : a) { state A { } }\nprocess P : p(true);\n",
     115, 2, "",
     "Parameter type mismatch for \"p\" instance of \"P\" (parameter \"a\" expected type \"uint8\", "
     "but \"bool\" found)\n"},
    {"InstanceOutNotWritable", "processdef P(out uint8 : a) { state A { } }\nprocess P : p(3);\n", 116,
     2, "", "OUT parameter must be a mutable data accessor\n"},
    {"UnknownSubProcessDefinition", "processdef P() {\n  process Z : z;\n  state A { }\n}\n", 144, 2,
     "", "unknown process definition \"Z\" for process instance \"z\"\n"},
    {"FunctionPrototypeMismatch", "f(in uint8 : a);\nf(in uint16 : a) { }\n", 123, 1, "",
     "function prototype \"f\" doesn't match its definition signature at line 2\n"},
    // A definition is known by its header line, not by the line its body ends on.
    {"MultiLineDefinitionThenPrototype", "f() {\n  var uint8 : x;\n}\nf();\n", 126, 4, "",
     "\"f\" function prototype placed after its function definition at line 1 (a prototype must "
     "be placed before its associated definition)\n"},
    {"ProcessPrototypeMismatch",
     "processdef P(in uint8 : a);\nprocessdef P(in uint16 : a) { state A { } }\n", 131, 1, "",
     "process prototype \"P\" doesn't match its definition signature at line 2\n"},
    {"ProcessPrototypeWithoutDefinition", "processdef P(in uint8 : a);\n", 100, 1, "",
     "process prototype \"P\" without process definition\n"},
    {"BreakInIfInState",
     "processdef P() {\n  state A {\n    if (true) {\n      break;\n    }\n  }\n}\n", 46, 4, "",
     "break statement outside loop scope\n"},
    {"ContinueAfterLoop", "f() {\n  while (true) { continue; }\n  continue;\n}\n", 46, 3, "",
     "continue statement outside loop scope\n"},
    {"BreakInTransition",
     "processdef P() {\n  state A { }\n  on (true) { break; } to A;\n}\n", 46, 3, "",
     "break statement outside loop scope\n"},
    {"UnknownEnumerator", "enum E { X, Y };\nf() {\n  var E : e = E.Z;\n}\n", 132, 3, "",
     "unknown enum \"Z\" for \"E\" type\n"},
    {"DuplicateField", "struct S {\n  uint8 : a;\n  uint16 : a;\n};\n", 164, 3, "",
     "field \"a\" has the same name as a previous field at line 2 in \"S\" structure type "
     "declaration\n"},
    {"DuplicateEnumerator", "enum E { X, Y, X };\n", 166, 1, "",
     "name \"X\" is used more than one in \"E\" enumeration type declaration\n"},
    {"IfCondition", "f() {\n  var uint8 : x = 1;\n  if (x) { }\n}\n", 168, 3, "f",
     "parameter of \"if\" control flow statement expects type \"bool\", but \"uint8\" found\n"},
    {"WhileCondition",
     "processdef P() {\n  state A {\n    var uint8 : x = 1;\n    while (x) { }\n  }\n}\n", 168, 4,
     "P", "parameter of \"while\" control flow statement expects type \"bool\", but \"uint8\" found\n"},
    {"ForCondition", "f() {\n  var uint8 : x;\n  for (x = 0; x + 1; x = x + 1) { }\n}\n", 168, 3, "f",
     "second parameter of \"for\" control flow statement expects type \"bool\", but \"uint8\" "
     "found\n"},
    {"DivisionByZero", "f() {\n  var int32 : x;\n  x = 1 / 0;\n}\n", 111, 3, "",
     "division by zero in expression\n"},
    {"ModuloZero", "f() {\n  var uint8 : x;\n  x = 7 mod 0;\n}\n", 111, 3, "",
     "modulo zero in expression\n"},
    {"MinimumDividedByMinusOne",
     "f() {\n  var int64 : x;\n  x = (-9223372036854775807 - 1) / -1;\n}\n", 111, 3, "",
     "first divided by negative one in expression\n"},
    // Local constants are read from their declarations once their scope is closed.
    {"DivisionByLocalConstant", "f() {\n  const uint8 : z = 0;\n  var uint8 : x;\n  x = 5 / z;\n}\n",
     111, 4, "", "division by zero in expression\n"},
    {"ModuloByLocalConstantElement",
     "processdef P() {\n  const uint8 : t[2] = {1, 0};\n  state A {\n    var uint8 : x;\n"
     "    x = 3 mod t[1];\n  }\n}\n",
     111, 5, "", "modulo zero in expression\n"},
    {"MinimumModuloMinusOne",
     "f() {\n  var int64 : x;\n  x = (-9223372036854775807 - 1) mod -1;\n}\n", 111, 3, "",
     "first modulo negative one in expression\n"},
};

class ParserCheckFailureTest : public ParserCheckTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ParserCheckFailureTest, ReportsStatusMessageAndLocation) {
  const FailureCase& c = GetParam();
  compile(c.source);
  ASSERT_EQ(parsed, 0) << out;
  EXPECT_EQ(checked, 22);
  EXPECT_EQ(status, c.status);
  std::string message = c.message;
  if (auto main = message.find("MAIN"); main != std::string::npos) message.replace(main, 4, mainPath);
  // The only error, after the wrap warnings a program may also get.
  EXPECT_NE(out.find("[ERROR] " + at(c.line, c.detail) + message), std::string::npos) << out;
  EXPECT_EQ(out.find("[ERROR]"), out.rfind("[ERROR]")) << out;
}

INSTANTIATE_TEST_SUITE_P(Failures, ParserCheckFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParserCheckTest, DuplicateAcrossFilesNamesTheOtherFileAndLine) {
  compile("include \"other.velk\"\ng() { }\n", {{"other.velk", "\nvar uint8 : g = 1;\n"}});
  EXPECT_EQ(status, 122);
  EXPECT_EQ(out, "[ERROR] " + at(2) +
                     "function definition name \"g\" already used for variable declaration at "
                     "other.velk:2\n");
}

// Declarations are taken in program order with nested includes in place:
// the name met first is the one the later declaration conflicts with, even
// when it sits two includes deep and its includer goes on after it.
TEST_F(ParserCheckTest, NestedIncludesKeepProgramOrder) {
  compile("include \"a.velk\"\nvar uint8 : c = 1;\nconst uint8 : b = 3;\n",
          {{"a.velk", "var uint8 : a = 1;\ninclude \"b.velk\"\nvar uint8 : a2 = 1;\n"},
           {"b.velk", "\n\nvar uint8 : b = 2;\n"}});
  EXPECT_EQ(status, 122);
  EXPECT_EQ(out, "[ERROR] " + at(3) +
                     "constant definition name \"b\" already used for variable declaration at "
                     "b.velk:3\n");
  compile("include \"a.velk\"\nvar uint8 : a2 = 1;\n",
          {{"a.velk", "include \"b.velk\"\nvar uint8 : a2 = 1;\n"}, {"b.velk", "var uint8 : b = 2;\n"}});
  EXPECT_EQ(status, 122);
  EXPECT_EQ(out, "[ERROR] " + at(2) +
                     "variable declaration name \"a2\" already used for variable declaration at "
                     "a.velk:2\n");
}

TEST_F(ParserCheckTest, MainFileDuplicateComesBeforeThoseOfEarlierIncludes) {
  // Each file is checked on its own first, the main file first, even though
  // the included file's duplicate comes first in the program.
  compile("include \"other.velk\"\nvar uint8 : y = 1;\nvar uint16 : y = 2;\n",
          {{"other.velk", "var uint8 : x = 1;\nvar uint8 : x = 2;\n"}});
  EXPECT_EQ(status, 122);
  EXPECT_EQ(out, "[ERROR] " + at(3) +
                     "variable declaration name \"y\" already used for variable declaration at " +
                     mainPath + ":2\n");
}

TEST_F(ParserCheckTest, ErrorInIncludedFileNamesThatFile) {
  compile("include \"other.velk\"\n", {{"other.velk", "f() {\n  break;\n}\n"}});
  EXPECT_EQ(status, 46);
  EXPECT_EQ(out, "[ERROR] other.velk: Line 2: break statement outside loop scope\n");
}

TEST_F(ParserCheckTest, AcceptedPairsAndPrototypeFirst) {
  compile(
      "f(in uint8 : a);\n"
      "f(in uint8 : a) { }\n"
      "processdef P(in uint8 : a);\n"
      "processdef P(in uint8 : a) { state A { } }\n"
      "process P : p(1);\n");
  EXPECT_EQ(checked, 0) << out;
  EXPECT_EQ(out, "");
}

TEST_F(ParserCheckTest, PrototypeWithoutDefinitionIsAWarning) {
  compile("f(in uint8 : a);\n");
  EXPECT_EQ(checked, 0);
  EXPECT_EQ(out, "[WARNING] " + at(1) + "function prototype \"f\" without function definition\n");
}

TEST_F(ParserCheckTest, PrototypeWithoutDefinitionFailsWithWarningsAsErrors) {
  warningsAsErrors = true;
  compile("f(in uint8 : a);\n");
  warningsAsErrors = false;
  EXPECT_EQ(checked, 22);
  EXPECT_EQ(status, 99);
}

TEST_F(ParserCheckTest, UnreachableStatesAreWarnings) {
  // B only reaches itself; the initial state A is never reported.
  compile(
      "processdef P() {\n"
      "  state A { }\n"
      "  on (true) to A;\n"
      "  state B { }\n"
      "  on (true) to B;\n"
      "  state C { }\n"
      "}\n"
      "processdef Q() {\n"
      "  state X { }\n"
      "  on (true) to Y;\n"
      "  state Y { }\n"
      "}\n");
  EXPECT_EQ(checked, 0);
  EXPECT_EQ(out, "[WARNING] " + at(4, "P") + "state \"B\" is unreachable\n[WARNING] " + at(6, "P") +
                     "state \"C\" is unreachable\n");
}

TEST_F(ParserCheckTest, WrapIsAWarningAndCompilationGoesOn) {
  compile("f() {\n  var uint64 : x;\n  x = 1 - 2;\n}\nf2() {\n  var int8 : y;\n  y = 1 << 7;\n}\n");
  EXPECT_EQ(checked, 0);
  EXPECT_EQ(out, "[WARNING] " + at(3) + "wrap in expression\n[WARNING] " + at(7) +
                     "overflow in expression\n");
}

// The range test of a product is exact, also where it does not fit in
// 128 signed bits (two large unsigned 64-bit operands).
TEST_F(ParserCheckTest, ProductsAreTestedExactly) {
  compile(
      "f() {\n  var uint64 : u;\n  var int64 : s;\n"
      "  u = 18446744073709551614 * 16226291907074551597;\n"
      "  u = 4294967296 * 4294967295;\n"
      "  u = 4294967296 * 4294967296;\n"
      "  s = (-9223372036854775807 - 1) * (-9223372036854775807 - 1);\n"
      "  s = -3037000499 * 3037000499;\n}\n");
  EXPECT_EQ(checked, 0) << out;
  EXPECT_EQ(out, "[WARNING] " + at(4) + "wrap in expression\n[WARNING] " + at(6) +
                     "wrap in expression\n[WARNING] " + at(7) + "overflow in expression\n");
}

// Local constants, those of closed scopes included, take part in the checks
// with their values: here in initializers, assignments and a function body.
TEST_F(ParserCheckTest, LocalConstantsAreCheckedWithTheirValues) {
  compile(
      "g(in uint8 : a, out uint8 : r) {\n  const uint8 : k = 200;\n  r = a + k;\n  r = k + k;\n}\n"
      "init() {\n  const uint8 : c = 100;\n  const uint8 : d = c + c + c;\n"
      "  var uint8 : v = c - 101;\n  v = c + 1;\n}\n");
  EXPECT_EQ(checked, 0) << out;
  EXPECT_EQ(out, "[WARNING] " + at(4) + "wrap in expression\n[WARNING] " + at(8) +
                     "wrap in expression\n[WARNING] " + at(9) + "wrap in expression\n");
}

// More local constants than half the interpreter's local constant table: each
// is computed from the previous one while parsing and again by the checks.
TEST_F(ParserCheckTest, ManyLocalConstantsAreAllEvaluated) {
  std::string body = "f() {\n  const uint8 : c0 = 1;\n";
  for (int i = 1; i < 2000; ++i) {
    body += "  const uint8 : c" + std::to_string(i) + " = c" + std::to_string(i - 1) + " + 1;\n";
  }
  compile(body + "}\n");
  EXPECT_EQ(checked, 0);
  // c255 = c254 + 1 is the first to leave uint8, then every 256th.
  std::string expected;
  for (int i = 255; i < 2000; i += 256) expected += "[WARNING] " + at(i + 2) + "wrap in expression\n";
  EXPECT_EQ(out, expected);
}

TEST_F(ParserCheckTest, InRangeConstantsAreQuiet) {
  compile(
      "const int32 : k = 1 << 30;\n"
      "f() {\n  var int8 : x;\n  x = -128;\n  x = 127 - 1 + 1;\n  x = 12 / 5 mod 2;\n}\n");
  EXPECT_EQ(checked, 0) << out;
  EXPECT_EQ(out, "");
}

TEST_F(ParserCheckTest, SubProcessDefinedLaterIsResolvedAndAllocated) {
  // The calls of r are not checked against R, which comes later.
  compile(
      "processdef P() {\n  process R : r;\n  static var uint8 : s = 1;\n  state A { r(1, 2); }\n}\n"
      "processdef R() {\n  static var uint8 : t = 2;\n  state B { }\n}\n"
      "process P : p();\n");
  ASSERT_EQ(checked, 0) << out;
  program* p = env->program;
  EXPECT_EQ(p->infoProg->n_processInstances, 2u);
  EXPECT_EQ(p->processInstanceTable[1].definition,
            defProc_lookupDefinition(env, defExpr_lookupForSymbol(env, "R")));
  EXPECT_EQ(p->processGlobalInstanceTable[0].firstInstance, 0u);
}

TEST_F(ParserCheckTest, TooManyGlobalInstances) {
  std::string source = "processdef P() { state A { } }\n";
  for (int i = 0; i <= 1024; ++i) source += "process P : p" + std::to_string(i) + "();\n";
  compile(source);
  EXPECT_EQ(status, 212);
  EXPECT_NE(out.find("[ERROR] " + at(1026) + "too many global process instances (at most 1024)\n"),
            std::string::npos)
      << out.substr(0, 300);
}

TEST_F(ParserCheckTest, InitFunctionIsRecorded) {
  compile("g() { }\ninit() { }\n");
  ASSERT_EQ(checked, 0);
  EXPECT_EQ(env->program->infoProg->initFunction,
            defFunc_lookup(env, defExpr_lookupForSymbol(env, "init")));
  EXPECT_NE(env->program->infoProg->initFunction, NO_ID);
}

TEST_F(ParserCheckTest, NoInitFunction) {
  compile("g() { }\n");
  ASSERT_EQ(checked, 0);
  EXPECT_EQ(env->program->infoProg->initFunction, NO_ID);
}

TEST_F(ParserCheckTest, LongConstantChainIsLinearAndShallow) {
  // Far longer than the interpreter would evaluate recursively.
  std::string sum = "1";
  for (int i = 0; i < 20000; ++i) sum += "\n + 1";
  compile("f() {\n  var uint64 : x;\n  x = " + sum + ";\n  x = x + " + sum + ";\n}\n");
  EXPECT_EQ(checked, 0) << out.substr(0, 300);
  EXPECT_EQ(out, "");
}

TEST_F(ParserCheckTest, DeeplyNestedStatements) {
  std::string body = "x = 1;";
  for (int i = 0; i < 600; ++i) body = "while (x < 2) {\nif (x > 0) {\n" + body + "\n}\n}";
  compile("f() {\n  var uint8 : x = 0;\n" + body + "\n  break;\n}\n");
  const int breakLine = 4 + static_cast<int>(std::count(body.begin(), body.end(), '\n'));
  EXPECT_EQ(status, 46) << out.substr(0, 300);
  EXPECT_EQ(out, "[ERROR] " + at(breakLine) + "break statement outside loop scope\n");
}

// On large programs the order of the operation check is worked out on a
// second thread. The reports must not depend on it: the same warnings and
// error, in the same order and in the same files, whether the program is
// small or padded well past that size with functions that report nothing.
// Globals' initializers are checked when their file's list ends.
TEST_F(ParserCheckTest, LargeProgramsReportOperationsAsSmallOnes) {
  std::string padding;
  for (int i = 0; i < 8000; ++i) {
    padding += "p" + std::to_string(i) + "() {\n  var uint32 : x;\n  x = " + std::to_string(i) +
               " + 1;\n}\n";
  }
  const Files other = {{"other.velk",
                        "const uint8 : o = 200;\nk() {\n  var uint8 : x;\n  x = 200 + o;\n}\n"
                        "const uint8 : o2 = o + o;\n"}};
  const std::string warnings =
      "const uint8 : g = 250;\nconst uint8 : g2 = g + 10;\ninclude \"other.velk\"\n"
      "h() {\n  var int8 : y;\n  y = 1 << 7;\n}\n";
  const std::string expected = "[WARNING] other.velk: Line 4: wrap in expression\n"
                               "[WARNING] other.velk: Line 6: wrap in expression\n"
                               "[WARNING] " + at(6) + "overflow in expression\n"
                               "[WARNING] " + at(2) + "wrap in expression\n";
  for (const std::string& tail : {std::string(), padding}) {
    compile(warnings + tail, other);
    EXPECT_EQ(checked, 0);
    EXPECT_EQ(out, expected) << (tail.empty() ? "small" : "large");
  }
  // A critical error stops the check where it is met: in the included file,
  // or in the main file before its globals' initializers.
  const std::string divide = "z() {\n  var int32 : q;\n  q = 1 / 0;\n}\n";
  for (const std::string& tail : {std::string(), padding}) {
    compile("include \"other.velk\"\n" + tail, {{"other.velk", divide}});
    EXPECT_EQ(status, 111);
    EXPECT_EQ(out, "[ERROR] other.velk: Line 3: division by zero in expression\n");
    compile(warnings + tail + divide, other);
    EXPECT_EQ(status, 111);
    const int line = 8 + static_cast<int>(std::count(tail.begin(), tail.end(), '\n')) + 2;
    EXPECT_EQ(out, expected.substr(0, expected.rfind("[WARNING]")) + "[ERROR] " + at(line) +
                       "division by zero in expression\n");
  }
  // The checks that use the census (here the control-flow condition) report
  // the same as well.
  const Files conditions = {{"other.velk", "c() {\n  var uint8 : x = 1;\n  while (x) { }\n}\n"}};
  compile("include \"other.velk\"\n", conditions);
  EXPECT_EQ(status, 168);
  const std::string small = out;
  compile("include \"other.velk\"\n" + padding, conditions);
  EXPECT_EQ(status, 168);
  EXPECT_EQ(out, small);
}

TEST(ParserCheckNames, DeclarationDescriptionsAndErrorNames) {
  EXPECT_STREQ(op_getGblDeclDesc(IMPLICIT_VARIABLE_DECL), "implicit variable declaration");
  EXPECT_STREQ(op_getGblDeclDesc(STATIC_VARIABLE_BUFFER_DECL_OP), "static variable buffer declaration");
  EXPECT_FALSE(op_isDeclaration(STATIC_VARIABLE_DECL_OP));
  EXPECT_TRUE(op_isDeclaration(IMPLICIT_VARIABLE_DECL));
  EXPECT_STREQ(opErr_getName(OPERR_WRAP), "wrap");
  EXPECT_STREQ(opErr_getName(OPERR_MODULO_MINUS_ONE), "first modulo negative one");
}

}  // namespace
