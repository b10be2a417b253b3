// The grammar on source text: top-level declarations and their order in the
// external definition list, the node shapes the grammar builds itself, the
// binding and grouping of operators, string mode, and the failures of the
// grammar with their statuses and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "def_builtins.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "grammar_support.h"
#include "lexer_support.h"
#include "parser_data.h"

namespace {

class GrammarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    parser_createTree(env, 400000);
    p = env->program;
    if (p->infoProg->n_type == 0) parser_initBaseTypes(env);
    parser_initBuiltinCalls(env);
    defStmt_initPostSymbols(env);
    env->pctx->exitOnError = false;
    std::strcpy(env->pctx->fileName, "g.velk");
    // What processes need of the system library.
    processStateDecl = declareNode("Process_State", TypeEnum, nullptr);
    AST* fields = AST_makeList1(p, defType_makeField(env, TypeTime, sym("period")), 1);
    AST_addListLast(p, fields, defType_makeField(env, TypeBoolean, sym("continue")), 1);
    u32 instance = declare("Process_Instance", TypeStructure, fields);
    u32 queue = defType_declareBuffer(env, QUEUE_BUFFER, instance, 8);
    declare("System", TypeStructure,
            AST_makeList1(p, defType_makeField(env, queue, sym("processes")), 1));
    baseDefinitions = definitions().size();
  }
  void TearDown() override { parser_freeAll(env); }

  AST* declareNode(const char* name, u32 kind, AST* fields) {
    u32 symbol = defExpr_lookupOrAddSymbol(env, name);
    return defType_declare(env, symbol, kind, false, fields, 1);
  }
  u32 declare(const char* name, u32 kind, AST* fields) {
    return declareNode(name, kind, fields)->value.id.type;
  }
  AST* sym(const char* name) { return defExpr_makeSymbol(env, name, 1); }

  // Parses text (a file's content, or "$ ..." for string mode); keeps the
  // printed diagnostics.
  int parse(const std::string& text) {
    testing::internal::CaptureStdout();
    int result = lexer_parseString(env, text.c_str());
    output = testing::internal::GetCapturedStdout();
    return result;
  }
  // String mode: the node of "$ text", nullptr when the parse failed.
  AST* parseString(const std::string& text) {
    if (parse("$ " + text) != 0) return nullptr;
    return grammar_stringResult(env);
  }

  std::vector<AST*> definitions() {
    std::vector<AST*> nodes;
    for (AST* cell = AST_left(p, p->root); cell != nullptr; cell = AST_right(p, cell))
      nodes.push_back(AST_left(p, cell));
    return nodes;
  }
  // Operation codes of the declarations the parse added at top level.
  std::vector<u32> newDefinitionOps() {
    std::vector<u32> ops;
    std::vector<AST*> all = definitions();
    for (size_t i = baseDefinitions; i < all.size(); ++i) ops.push_back(all[i]->op);
    return ops;
  }
  AST* left(AST* n) { return AST_left(p, n); }
  AST* right(AST* n) { return AST_right(p, n); }
  AST* nth(AST* list, u32 i) { return AST_getListNth(p, list, i); }
  u32 size(AST* list) { return AST_listSize(p, list); }

  ParserEnv* env = nullptr;
  program* p = nullptr;
  std::string output;
  size_t baseDefinitions = 0;
  AST* processStateDecl = nullptr;
};

TEST_F(GrammarTest, EmptyFileHasNoDeclarations) {
  EXPECT_EQ(0, parse(""));
  EXPECT_EQ(0, parse("/* only a comment */\n"));
  EXPECT_TRUE(newDefinitionOps().empty());
  EXPECT_EQ(0, env->pctx->status);
}

TEST_F(GrammarTest, TopLevelDeclarationsAreAppendedInOrder) {
  ASSERT_EQ(0, parse("var uint8: a;\n"
                     "const uint16: b = 2;\n"
                     "var uint8: c[3] = {1, 2, 3};\n"
                     "var queue<uint8>: q[4];\n"
                     "struct S { uint8: f; uint8: g[2]; stack<int32>: s[2]; bool: continue; };\n"
                     "enum E { A, B, };\n"
                     "f(in uint8: x, out uint8: y);\n"
                     "f(in uint8: x, out uint8: y) { y = x; }\n"
                     "n: { }\n"
                     "@ time: wcet { }\n"));
  EXPECT_EQ(0, env->pctx->status) << output;
  std::vector<u32> expected = {VARIABLE_DECL_OP,     CONSTANT_DECL_OP,   VARIABLE_BUFFER_DECL_OP,
                               VARIABLE_BUFFER_DECL_OP, TYPE_DECLARATION, TYPE_DECLARATION,
                               FUNCTION_PROTOTYPE,   FUNCTION_DECLARATION, NAMED_BLOCK};
  std::vector<u32> ops = newDefinitionOps();
  ASSERT_GE(ops.size(), expected.size() + 1);
  ops.resize(expected.size());
  EXPECT_EQ(expected, ops);
  // The enumeration keeps both enumerators despite the trailing comma.
  AST* enumDecl = definitions()[baseDefinitions + 5];
  EXPECT_EQ(2u, size(right(enumDecl)));
}

TEST_F(GrammarTest, HeaderLineIsTheLineOfTheDeclarationName) {
  ASSERT_EQ(0, parse("\n\nstruct\nS {\n uint8: f;\n};\n"));
  AST* decl = definitions()[baseDefinitions];
  EXPECT_EQ(3u, AST_line(p, decl));
}

TEST_F(GrammarTest, BlockShapeAndLocalScope) {
  ASSERT_EQ(0, parse("f() { var uint8: x; const uint8: k = 1; x = k; x = x; }\n")) << output;
  AST* function = definitions()[baseDefinitions];
  ASSERT_EQ(FUNCTION_DECLARATION, function->op);
  // The locals are gone once the block ends: x is unknown at top level.
  AST* block = right(function);
  ASSERT_EQ(BLOCK, block->op);
  EXPECT_EQ(2u, size(left(block)));
  EXPECT_EQ(VARIABLE_DECL_OP, nth(left(block), 0)->op);
  EXPECT_EQ(CONSTANT_DECL_OP, nth(left(block), 1)->op);
  EXPECT_EQ(2u, size(right(block)));
  EXPECT_EQ(ASSIGN_OP, nth(right(block), 0)->op);
  EXPECT_EQ(nullptr, parseString("x"));
}

TEST_F(GrammarTest, ControlStatementShapes) {
  ASSERT_EQ(0, parse("var bool: c;\nvar uint8: i;\nvar uint8: a[4];\n"));
  AST* ifNode = parseString("if (c) { } else if (c) { } else { }");
  ASSERT_NE(nullptr, ifNode) << output;
  ASSERT_EQ(IF_OP, ifNode->op);
  EXPECT_EQ(GLOBAL_VARIABLE_OP, left(ifNode)->op);
  EXPECT_EQ(2u, size(right(ifNode)));
  EXPECT_EQ(BLOCK, nth(right(ifNode), 0)->op);
  EXPECT_EQ(IF_OP, nth(right(ifNode), 1)->op);
  AST* lone = parseString("if (c) { }");
  ASSERT_NE(nullptr, lone);
  EXPECT_EQ(nullptr, nth(right(lone), 1));  // an absent else part

  AST* whileNode = parseString("while (c) { break; continue; }");
  ASSERT_NE(nullptr, whileNode);
  EXPECT_EQ(WHILE_OP, whileNode->op);
  AST* body = right(whileNode);
  ASSERT_EQ(BLOCK, body->op);
  EXPECT_EQ(BREAK_OP, nth(right(body), 0)->op);
  EXPECT_EQ(CONTINUE_OP, nth(right(body), 1)->op);

  AST* forNode = parseString("for (i = 0; i < 4; i = i + 1) { }");
  ASSERT_NE(nullptr, forNode) << output;
  EXPECT_EQ(FOR_OP, forNode->op);
  EXPECT_EQ(3u, size(left(forNode)));
  EXPECT_EQ(ASSIGN_OP, nth(left(forNode), 0)->op);
  EXPECT_EQ(ASSIGN_OP, nth(left(forNode), 2)->op);
  EXPECT_EQ(BLOCK, right(forNode)->op);

  AST* loop = parseString("loop over a with it { }");
  ASSERT_NE(nullptr, loop) << output;
  EXPECT_EQ(LOOP_OVER_OP, loop->op);
  EXPECT_EQ(BLOCK, right(loop)->op);
  // The iterator's scope ends with the loop.
  EXPECT_EQ(nullptr, parseString("it"));
}

TEST_F(GrammarTest, LineMacroIsAnIntegerOfTheScannerLine) {
  AST* first = parseString("__LINE__");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(INTEGER_OP, first->op);
  EXPECT_EQ(1u, first->value.uinteger);
  AST* third = parseString("\n\n__LINE__");
  ASSERT_NE(nullptr, third);
  EXPECT_EQ(3u, third->value.uinteger);
}

TEST_F(GrammarTest, BindingAndAssociativity) {
  ASSERT_EQ(0, parse("var uint32: a;\nvar uint32: b;\nvar uint32: c;\nvar bool: t;\n"
                     "var int32: s;\n"));
  struct Case {
    const char* text;
    u32 top;
    u32 leftOp;   // 0: do not check
    u32 rightOp;  // 0: do not check
  };
  const Case cases[] = {
      {"a + b * c", PLUS_OP, GLOBAL_VARIABLE_OP, MUL_OP},
      {"a - b - c", MINUS_OP, MINUS_OP, GLOBAL_VARIABLE_OP},
      {"a * b mod c", MOD_OP, MUL_OP, GLOBAL_VARIABLE_OP},
      {"a << b + c", BIT_LSHIFT_OP, GLOBAL_VARIABLE_OP, PLUS_OP},
      {"a | b ^ c", BIT_OR_OP, GLOBAL_VARIABLE_OP, BIT_XOR_OP},
      {"a ^ b & c", BIT_XOR_OP, GLOBAL_VARIABLE_OP, BIT_AND_OP},
      {"t or t and t", OR_OP, GLOBAL_VARIABLE_OP, AND_OP},
      {"a < b + c", LT_OP, GLOBAL_VARIABLE_OP, PLUS_OP},
      {"a + b == c", CEQ_OP, PLUS_OP, GLOBAL_VARIABLE_OP},
      {"a >= b", CGE_OP, 0, 0},
      {"a <= b", CLE_OP, 0, 0},
      {"a != b", CNE_OP, 0, 0},
      {"-s * s", MUL_OP, NEG_OP, GLOBAL_VARIABLE_OP},
      {"not t and t", AND_OP, NOT_OP, GLOBAL_VARIABLE_OP},
      {"~a & b", BIT_AND_OP, BIT_NOT_OP, GLOBAL_VARIABLE_OP},
      {"(a < b) == t", CEQ_OP, LT_OP, GLOBAL_VARIABLE_OP},
  };
  for (const Case& c : cases) {
    AST* n = parseString(c.text);
    ASSERT_NE(nullptr, n) << c.text << "\n" << output;
    EXPECT_EQ(c.top, n->op) << c.text;
    if (c.leftOp != 0) {
      EXPECT_EQ(c.leftOp, left(n)->op) << c.text;
    }
    if (c.rightOp != 0) {
      EXPECT_EQ(c.rightOp, right(n)->op) << c.text;
    }
  }
}

TEST_F(GrammarTest, ChainedComparisonsGoThroughTheChainRoutines) {
  ASSERT_EQ(0, parse("var uint32: a;\nvar uint32: b;\nvar uint32: c;\nvar bool: t;\n"));
  // Two operands: a plain comparison; three: one chain node that is not a
  // comparison of a comparison.
  AST* plain = parseString("(a < b) < c");
  AST* chain = parseString("a < b < c");
  ASSERT_NE(nullptr, chain) << output;
  EXPECT_NE(LT_OP, chain->op);
  AST* equalities = parseString("a == b == c");
  ASSERT_NE(nullptr, equalities) << output;
  EXPECT_NE(CEQ_OP, equalities->op);
  // (a < b) < c compares a bool with an integer: whatever the typing says,
  // the grammar built two plain comparisons.
  if (plain != nullptr) {
    EXPECT_EQ(LT_OP, plain->op);
    EXPECT_EQ(LT_OP, left(plain)->op);
  }
  // a & b == c groups as a & (b == c); a & b == c == a is not a chain.
  AST* masked = parseString("t & a == b");
  if (masked != nullptr) {
    EXPECT_EQ(CEQ_OP, right(masked)->op);
  }
  EXPECT_EQ(1, parse("$ t & a == b == c"));
}

struct FailureCase {
  const char* name;
  const char* text;
  int status;
  const char* message;
};

class GrammarFailureTest : public GrammarTest,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(GrammarFailureTest, ReportsStatusAndMessage) {
  const FailureCase& c = GetParam();
  parse(std::string("var uint8: x;\nvar time64: t;\n") + c.text);
  EXPECT_EQ(c.status, env->pctx->status) << output;
  EXPECT_NE(std::string::npos, output.find(c.message)) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarFailureTest,
    ::testing::Values(
        FailureCase{"UnknownType", "var foo: y;\n", 184, "type \"foo\" do not exist\n"},
        FailureCase{"ConstWithoutInit", "const uint8: k;\n", 121,
                    "constant \"k\" declaration needs an initialization\n"},
        FailureCase{"ConstArrayWithoutInit", "const uint8: k[2];\n", 121,
                    "constant \"k\" declaration needs an initialization\n"},
        FailureCase{"ConstChannel", "const queue<uint8>: q[2] = {1};\n", 124,
                    "constant channel not allowed\n"},
        FailureCase{"ChannelWithoutSize", "var queue<uint8>: q;\n", 180,
                    "channel size not specified\n"},
        FailureCase{"InitializedChannelWithoutSize", "var stack<uint8>: q = {1};\n", 180,
                    "channel size not specified\n"},
        FailureCase{"FieldWithoutSize", "struct S { channel<uint8>: c; };\n", 180,
                    "channel size not specified\n"},
        FailureCase{"StaticInBlock", "f() { static var uint8: s; }\n", 191,
                    "static declaration not allowed in this scope"},
        FailureCase{"FrequencyInExpression", "f() { t = 10 Hz + 1; }\n", 222,
                    "Frequency cannot be used in conventional expression\n"},
        FailureCase{"AssignmentWithoutSemicolon", "f() { x = 1 }\n", 50,
                    "expect ';' after assignment\n"},
        FailureCase{"CallWithoutSemicolon", "f() { println() }\n", 50,
                    "expect ';' after statement\n"},
        FailureCase{"EmptyEnumeration", "enum E { };\n", 301,
                    "syntax error before \"}\" in this line:\nenum E { };\n"},
        FailureCase{"EmptyStructure", "struct S { };\n", 301, "syntax error before \"}\""},
        FailureCase{"TwoTrailingCommas", "enum E { A,, };\n", 301, "syntax error before \",\""},
        FailureCase{"ProcessWithoutState", "processdef P() { }\n", 301,
                    "syntax error before \"}\""},
        FailureCase{"LoneHz", "var time64: u = Hz;\n", 301, "syntax error before \"Hz\""},
        FailureCase{"ReturnlessFunctionResult", "f(): uint8;\n", 301, "syntax error before \":\""},
        FailureCase{"StateNameInOperation", "f() { x = 1 + state S0; }\n", 170,
                    "state name \"S0\" used as a value in an expression\n"},
        FailureCase{"StateNameAssigned", "f() { x = state S0; }\n", 170,
                    "state name \"S0\" used as a value in an expression\n"},
        FailureCase{"StateNameNegated", "f() { x = -state S0; }\n", 170,
                    "state name \"S0\" used as a value in an expression\n"},
        FailureCase{"DurationBeyondTime64", "f() { t = (18446744074) ms; }\n", 185,
                    "too big millisecond unit duration value (max for millisecond unit is "
                    "18446744073)\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(GrammarTest, FrequencyLiteralsInInitializersAndTimings) {
  EXPECT_EQ(0, parse("var time64: t = 10 Hz;\nvar time64: u[2] = {10 Hz, 1 ms};\n"
                     "f() { t = 50 Hz; }\n"));
  EXPECT_EQ(0, env->pctx->status) << output;
}

TEST_F(GrammarTest, SyntaxErrorStopsTheParse) {
  EXPECT_EQ(1, parse("var uint8: a;\nvar uint8 b;\n"));
  EXPECT_EQ(301, env->pctx->status);
  EXPECT_NE(std::string::npos, output.find("syntax error before \"b\" in this line:\nvar uint8 b;\n"))
      << output;
}

TEST_F(GrammarTest, DeepNestingExhaustsTheParserStack) {
  std::string text = "$ " + std::string(12000, '(') + "1" + std::string(12000, ')');
  EXPECT_EQ(2, parse(text));
  EXPECT_EQ(301, env->pctx->status);
  EXPECT_NE(std::string::npos, output.find("memory exhausted before")) << output.substr(0, 200);
}

TEST_F(GrammarTest, StringModeTakesAStatementOrAnExpression) {
  ASSERT_EQ(0, parse("var uint8: x;\n"));
  AST* expression = parseString("x + 1");
  ASSERT_NE(nullptr, expression);
  EXPECT_EQ(PLUS_OP, expression->op);
  AST* assignment = parseString("x = 2;");
  ASSERT_NE(nullptr, assignment);
  EXPECT_EQ(ASSIGN_OP, assignment->op);
  // A call without ';' is the expression form, with ';' the statement.
  AST* call = parseString("println()");
  ASSERT_NE(nullptr, call) << output;
  EXPECT_EQ(CALL_OP, call->op);
  EXPECT_EQ(0, env->pctx->status);
  EXPECT_NE(nullptr, parseString("println();"));
  // An assignment without ';' is still the statement missing its ';'.
  parse("$ x = 3");
  EXPECT_EQ(50, env->pctx->status);
}

TEST_F(GrammarTest, ProcessDefinitionStatesAndGlobalInstance) {
  ASSERT_EQ(0, parse("processdef P(in uint8: n) {\n"
                     "  process Q: q;\n"
                     "  static var uint8: s;\n"
                     "  var uint8: x;\n"
                     "  common { x = n; }\n"
                     "  state A { x = 1; }\n"
                     "    on (x == 1) to B;\n"
                     "  state B { }\n"
                     "    after (10 ms) { x = 0; } to A;\n"
                     "    after (1 s) if (x == 0) to A;\n"
                     "  finally { }\n"
                     "}\n"
                     "processdef Q() { state Z { } }\n"
                     "process P: p[10 ms][true](3);\n"
                     "process Q: q1[50 Hz, 1 ms]();\n"
                     "process Q: q2();\n"));
  EXPECT_EQ(0, env->pctx->status) << output;
  std::vector<u32> ops = newDefinitionOps();
  EXPECT_EQ(2, std::count(ops.begin(), ops.end(), PROCESS_DECLARATION)) << output;
  EXPECT_EQ(3, std::count(ops.begin(), ops.end(), PROCESS_INSTANCE_NODE)) << output;
  // The state names joined Process_State, in the order they were read.
  AST* enumerators = AST_fromId(p, p->typeTable[processStateDecl->value.id.type].fields);
  ASSERT_EQ(3u, size(enumerators));
  std::vector<std::string> names;
  for (u32 i = 0; i < 3; ++i) {
    AST* e = nth(enumerators, i);
    if (e->op == FIELD_STATEMENT) e = left(e);
    names.push_back(Symbol_getName(p, e->value.id.id));
  }
  EXPECT_EQ((std::vector<std::string>{"A", "B", "Z"}), names);
}

TEST_F(GrammarTest, LongStatementListsParse) {
  std::string text = "var uint32: x;\nf() {\n";
  for (int i = 0; i < 20000; ++i) text += "x = x + 1;\n";
  text += "}\n";
  ASSERT_EQ(0, parse(text));
  EXPECT_EQ(0, env->pctx->status);
  AST* function = definitions().back();
  ASSERT_EQ(FUNCTION_DECLARATION, function->op);
}

}  // namespace
