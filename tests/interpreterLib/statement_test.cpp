// Statements, local declarations, value copies and user calls on loaded
// images: loop control through blocks and named blocks, default values of
// locals (channels included), scalar widths in copies,
// IN/OUT binding, the value stack seen by a function called from an
// expression, time accounts of named blocks, exit/assert, and runaway
// recursion stopped cleanly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expression.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "process.h"
#include "statement.h"
#include "velk_locals.h"

namespace {

constexpr u64 kMs = 1000000000;

struct Log {
  std::vector<std::string> asserts;
  std::vector<std::string> assertFiles;
  std::vector<size_t> assertLines;
  std::vector<std::pair<size_t, int>> exits;
  std::vector<u32> changedIds;
};
Log logged;

void logAssert(InterpEnv*, bool, const char* file, size_t line, const char*, const char* text) {
  logged.asserts.emplace_back(text);
  logged.assertFiles.emplace_back(file);
  logged.assertLines.push_back(line);
}
void logExit(InterpEnv*, size_t line, int code) { logged.exits.emplace_back(line, code); }
u32 logChange(InterpEnv*, u32 varId, u32, TaggedValue) {
  logged.changedIds.push_back(varId);
  return 0;
}

class StatementTest : public ::testing::Test {
 protected:
  void SetUp() override { logged = Log{}; }
  void TearDown() override {
    if (env != nullptr) interp_stop(env);
  }

  void load() {
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_exit(env, logExit);
  }
  AST* loaded(AST* builderNode) { return AST_fromId(env->program, AST_id(b.p, builderNode)); }
  DataCell& globalCell(u32 varId, u32 cell = 0) {
    return env->program->globalVariableTable[varId].value[cell];
  }
  void call(u32 function) { interp_callFunction(env, function, nullptr); }

  // Statement helpers on uint32 globals.
  AST* g(u32 var) { return b.globalRef(var); }
  AST* set(u32 var, u64 value) { return b.assign(g(var), b.integer(value)); }
  AST* increment(u32 var) {
    return b.assign(g(var), b.binary(PLUS_OP, TypeUInt32, g(var), b.integer(1)));
  }
  AST* less(u32 var, u64 bound) { return b.binary(LT_OP, TypeUInt32, g(var), b.integer(bound)); }
  AST* blockOf(std::initializer_list<AST*> statements) {
    return b.block(nullptr, b.list(statements));
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
};

TEST_F(StatementTest, LoopControlThroughBlocks) {
  const u32 i = b.global("i", TypeUInt32);
  const u32 n = b.global("n", TypeUInt32);
  const u32 t = b.global("t", TypeUInt32);
  struct Row {
    const char* what;
    AST* body;
    u64 i, n, t;
  };
  auto whileLoop = [&](AST* inner) {
    return blockOf({set(i, 0), set(n, 0), set(t, 0),
                    b.whileStatement(less(i, 5), blockOf({increment(i), inner, increment(n)}))});
  };
  std::vector<Row> rows = {
      // break in a nested block leaves the loop at once.
      {"break in block", whileLoop(blockOf({b.node(BREAK_OP)})), 1, 0, 0},
      // continue skips the rest and re-evaluates the condition.
      {"continue in block", whileLoop(blockOf({b.node(CONTINUE_OP)})), 5, 0, 0},
      // break in a named block ends only the named block.
      {"break in named block", whileLoop(b.namedBlock("nb", blockOf({b.node(BREAK_OP)}))), 5, 5, 0},
      {"continue in named block", whileLoop(b.namedBlock("nb", blockOf({b.node(CONTINUE_OP)}))), 5,
       5, 0},
      // break inside an if inside the loop.
      {"break in if",
       whileLoop(b.ifStatement(b.binary(CEQ_OP, TypeUInt32, g(i), b.integer(3)),
                               blockOf({b.node(BREAK_OP)}))),
       3, 2, 0},
      // A for whose condition is false at once runs only its init.
      {"for false", blockOf({set(i, 0), set(n, 0), set(t, 0),
                             b.forStatement(set(i, 7), b.boolean(false), set(t, 9),
                                            blockOf({increment(n)}))}),
       7, 0, 0},
      // continue in a for still runs the step.
      {"for continue", blockOf({set(n, 0), set(t, 0),
                                b.forStatement(set(i, 0), less(i, 3), increment(i),
                                               blockOf({increment(t), b.node(CONTINUE_OP),
                                                        increment(n)}))}),
       3, 0, 3},
      {"for break", blockOf({set(n, 0), set(t, 0),
                             b.forStatement(set(i, 0), less(i, 3), increment(i),
                                            blockOf({b.node(BREAK_OP), increment(n)}))}),
       0, 0, 0},
  };
  std::vector<u32> functions;
  for (const Row& row : rows) functions.push_back(b.function(row.what, nullptr, row.body));
  load();
  for (size_t k = 0; k < rows.size(); ++k) {
    SCOPED_TRACE(rows[k].what);
    call(functions[k]);
    EXPECT_EQ(globalCell(i), rows[k].i);
    EXPECT_EQ(globalCell(n), rows[k].n);
    EXPECT_EQ(globalCell(t), rows[k].t);
    EXPECT_EQ(env->ctx->stackCount, 0u);
    EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
  }
  EXPECT_TRUE(logged.asserts.empty());
}

TEST_F(StatementTest, LocalsStartEmptyAndCopyWithoutGlobalId) {
  const u32 queue = b.bufferType(QUEUE_BUFFER, TypeUInt8, 3);
  const u32 stack = b.bufferType(STACK_BUFFER, TypeUInt16, 2);
  const u32 holder = b.structType("Holder", {{"a", TypeUInt32}, {"s", stack}});
  const u32 queues = b.bufferType(ARRAY_BUFFER, queue, 2);
  const u32 source = b.global("source", TypeUInt32, {41});
  const u32 constant = b.constantData({77});
  AST* declarations = b.list({
      b.varDecl(TypeUInt32, "x"),
      b.node(VARIABLE_BUFFER_DECL_OP, queue, b.list({b.sym("q"), b.integer(3)})),
      b.varDecl(holder, "h"),
      b.node(VARIABLE_BUFFER_DECL_OP, queues, b.list({b.sym("qs"), b.integer(2)})),
      b.varDecl(TypeUInt32, "y", b.globalRef(source)),
      b.node(CONSTANT_DECL_OP, TypeUInt32, b.sym("k"),
             b.node(INITIALIZER_OP, constant, b.integer(77))),
  });
  load();
  // Dirty the storage the locals will take, so that defaults must be written.
  std::fill(env->data->localVariableDataTable, env->data->localVariableDataTable + 64, ~DataCell{0});

  variable_declareLocals(env, loaded(declarations));
  ASSERT_EQ(env->ctx->localVarsIndexes.count.variables, 5u);
  EXPECT_EQ(*LocalVariable_reference(env, 0).value, 0u);
  const TaggedValue q = LocalVariable_reference(env, 1);
  EXPECT_EQ(q.value[0], 2u);
  EXPECT_EQ(q.value[1], 2u);
  for (u32 c = 2; c < b.storageOf(queue); ++c) EXPECT_EQ(q.value[c], 0u) << c;
  // A structure holding a stack: the stack's header, every other cell 0.
  const TaggedValue h = LocalVariable_reference(env, 2);
  EXPECT_EQ(h.value[0], 0u);
  EXPECT_EQ(h.value[1], 2u);
  EXPECT_EQ(h.value[2], 1u);
  // An array of queues: each element is an empty queue.
  const TaggedValue qs = LocalVariable_reference(env, 3);
  EXPECT_EQ(qs.value[0], 2u);
  EXPECT_EQ(qs.value[1], 2u);
  EXPECT_EQ(qs.value[b.storageOf(queue)], 2u);
  EXPECT_EQ(qs.value[b.storageOf(queue) + 1], 2u);
  // Initialised from a global, the local is not that global.
  const TaggedValue y = LocalVariable_reference(env, 4);
  EXPECT_EQ(*y.value, 41u);
  EXPECT_EQ(y.globalId, NO_ID);
  EXPECT_NE(y.value, env->program->globalVariableTable[source].value);
  // A local constant reads the constant data.
  ASSERT_EQ(env->ctx->localVarsIndexes.count.constants, 1u);
  EXPECT_EQ(*LocalConstant_reference(env, 0).value, 77u);
  EXPECT_EQ(env->ctx->stackCount, 0u);
}

TEST_F(StatementTest, ValueSetCopiesScalarsByTheirWidth) {
  const u32 color = b.enumType("Color", {"red"});
  load();
  struct Row {
    u32 typeId;
    DataCell expected;
  };
  const DataCell source = 0xF1F2F3F4F5F6F7F8;
  const std::vector<Row> rows = {
      {TypeUInt8, 0xF8},         {TypeSInt8, 0xF8},          {TypeBoolean, 0xF8},
      {TypeUInt16, 0xF7F8},      {TypeSInt16, 0xF7F8},       {TypeUInt32, 0xF5F6F7F8},
      {TypeSInt32, 0xF5F6F7F8},  {TypeF32, 0xF5F6F7F8},      {color, 0xF5F6F7F8},
      {TypeUInt64, source},      {TypeSInt64, source},       {TypeTime, source},
      {TypeF64, source},         {TypeInt, source},
  };
  for (const Row& row : rows) {
    DataCell from = source;
    DataCell to = ~DataCell{0};
    value_set(env, TaggedValue{&to, row.typeId, NO_ID}, TaggedValue{&from, TypeUInt64, NO_ID});
    EXPECT_EQ(to, row.expected) << Type_getName(env, row.typeId);
  }
}

TEST_F(StatementTest, InParameterIsCopiedOutParameterIsShared) {
  const u32 x = b.global("x", TypeUInt32, {1});
  const u32 y = b.global("y", TypeUInt32, {2});
  const u32 seen = b.global("seen", TypeUInt32);
  // f(in a, out r): a = 7; r = 9; seen = a
  AST* body = blockOf({b.assign(b.localRef(0), b.integer(7)), b.assign(b.localRef(1), b.integer(9)),
                       b.assign(g(seen), b.localRef(0))});
  const u32 f = b.function(
      "f", b.list({b.param(IN_PARAM, TypeUInt32, "a"), b.param(OUT_PARAM, TypeUInt32, "r")}), body);
  const u32 main = b.function("main", nullptr, blockOf({b.callFunction(f, b.list({g(x), g(y)}))}));
  // inc(out v): v = v + 1, called with method syntax: the value is the object.
  const u32 inc = b.function(
      "inc", b.list({b.param(OUT_PARAM, TypeUInt32, "v")}),
      blockOf({b.assign(b.localRef(0), b.binary(PLUS_OP, TypeUInt32, b.localRef(0), b.integer(1)))}));
  const u32 viaMethod = b.function(
      "viaMethod", nullptr,
      blockOf({b.assign(g(seen), b.callFunction(inc, b.list({g(x)}), TypeUInt32, 1))}));
  load();
  env_on_variable_change(env, y, logChange);

  call(main);
  EXPECT_EQ(globalCell(x), 1u);
  EXPECT_EQ(globalCell(y), 9u);
  EXPECT_EQ(globalCell(seen), 7u);
  // The OUT parameter is the global itself: its write is traced under it.
  EXPECT_EQ(logged.changedIds, std::vector<u32>{y});

  call(viaMethod);
  EXPECT_EQ(globalCell(x), 2u);
  EXPECT_EQ(globalCell(seen), 2u);
  EXPECT_TRUE(logged.asserts.empty());
}

// A function called from inside an expression runs statements; their
// temporaries must not overwrite the pending left operand of the caller.
TEST_F(StatementTest, CalledFunctionKeepsCallerTemporaries) {
  const u32 x = b.global("x", TypeUInt32, {5});
  const u32 result = b.global("result", TypeUInt32);
  // f(out r): r = 100 + 200; with an extra statement pushing temporaries.
  const u32 f = b.function(
      "f", b.list({b.param(OUT_PARAM, TypeUInt32, "r")}),
      blockOf({b.assign(b.localRef(0), b.binary(PLUS_OP, TypeUInt32, b.integer(100), b.integer(200))),
               b.binary(PLUS_OP, TypeUInt32, b.integer(1000), b.integer(2000))}));
  // result = (x + 1) + f()   (f's omitted OUT parameter is its value)
  AST* sum = b.binary(PLUS_OP, TypeUInt32, b.binary(PLUS_OP, TypeUInt32, g(x), b.integer(1)),
                      b.callFunction(f, nullptr, TypeUInt32, 0));
  const u32 main = b.function("main", nullptr, blockOf({b.assign(g(result), sum)}));
  // The valued call's local is gone after each evaluation: a loop condition
  // calling it 4000 times does not fill the local tables.
  const u32 counter = b.global("counter", TypeUInt32);
  AST* condition = b.binary(LT_OP, TypeUInt32,
                            b.binary(PLUS_OP, TypeUInt32, g(counter), b.callFunction(f, nullptr, TypeUInt32, 0)),
                            b.integer(4300));
  const u32 loop = b.function("loop", nullptr, blockOf({b.whileStatement(condition, blockOf({increment(counter)}))}));
  load();
  call(main);
  EXPECT_EQ(globalCell(result), 306u);
  call(loop);
  EXPECT_EQ(globalCell(counter), 4000u);
  EXPECT_EQ(env->ctx->stackCount, 0u);
  EXPECT_TRUE(logged.asserts.empty());
}

TEST_F(StatementTest, NamedBlockAdvancesClockByItsExecutionTime) {
  const u32 during = b.global("during", TypeTime);
  // nb: { nb.execution_time = 5 ms; break; during = 1 }
  AST* account = b.field(b.localRef(0), TypeTime, 0);
  const u32 f = b.function(
      "f", nullptr,
      b.namedBlock("nb", blockOf({b.assign(account, b.timeLiteral(MS_LITERAL_OP, 5)),
                                  b.node(BREAK_OP), b.assign(g(during), b.integer(1))})));
  load();
  env->ctx->currentTime = 3 * kMs;
  call(f);
  // break ends the named block, which still accounts its time.
  EXPECT_EQ(env->ctx->currentTime, 8 * kMs);
  EXPECT_EQ(globalCell(during), 0u);
}

TEST_F(StatementTest, FieldWriteOfGlobalStructureIsTracedUnderIt) {
  const u32 pair = b.structType("Pair", {{"a", TypeUInt32}, {"b", TypeUInt32}});
  const u32 v = b.global("v", pair);
  const u32 f = b.function("f", nullptr, blockOf({b.assign(b.field(g(v), TypeUInt32, 1), b.integer(6))}));
  load();
  env_on_variable_change(env, v, logChange);
  call(f);
  EXPECT_EQ(globalCell(v, 1), 6u);
  EXPECT_EQ(logged.changedIds, std::vector<u32>{v});
}

TEST_F(StatementTest, ExitAndAssertStatements) {
  const u32 file = b.labelString("main.velk");
  const u32 text = b.labelString("x == 1");
  AST* code = b.integer(300);
  AST* holds = b.boolean(true);
  AST* fails = b.boolean(false);
  load();
  interp_exit(env, 12, loaded(code));
  ASSERT_EQ(logged.exits.size(), 1u);
  EXPECT_EQ(logged.exits[0].first, 12u);
  EXPECT_EQ(logged.exits[0].second, 300 % 256);
  interp_assert(env, 7, loaded(holds), file, text);
  EXPECT_TRUE(logged.asserts.empty());
  interp_assert(env, 7, loaded(fails), file, text);
  ASSERT_EQ(logged.asserts.size(), 1u);
  EXPECT_EQ(logged.asserts[0], "x == 1");
  EXPECT_EQ(logged.assertFiles[0], "main.velk");
  EXPECT_EQ(logged.assertLines[0], 7u);
  EXPECT_EQ(env->ctx->stackCount, 0u);
}

// Runaway recursion is reported and abandoned, whichever limit it reaches
// first; the host call returns with the frame and the value stack as they were.
TEST_F(StatementTest, RunawayRecursionStopsCleanly) {
  const u32 depth = b.global("depth", TypeUInt32);
  auto recursive = [&](const char* name, AST* parameters, AST* argument) {
    const u32 id = b.p->infoProg->n_functions;
    AST* arguments = argument == nullptr ? nullptr : b.list({argument});
    return b.function(name, parameters, blockOf({increment(depth), b.callFunction(id, arguments)}));
  };
  AST* parameter = b.list({b.param(IN_PARAM, TypeUInt32, "n")});
  struct Row {
    const char* what;
    u32 function;
    const char* assertPrefix;  // or null
    const char* output;
  };
  const std::vector<Row> rows = {
      // One local and one data cell per level: the local tables fill.
      {"locals", recursive("locals", parameter, b.localRef(0)), "Local variables", ""},
      // The argument's scalar temporary takes no value stack cell: the local
      // tables fill (the tree walker pushes it; see the next test).
      {"temporaries",
       recursive("temporaries", b.list({b.param(IN_PARAM, TypeUInt32, "n")}),
                 b.binary(PLUS_OP, TypeUInt32, b.localRef(0), b.integer(1))),
       "Local variables", ""},
      // Nothing but native frames: the call nesting guard stops it.
      {"bare", recursive("bare", nullptr, nullptr), nullptr, "Call nesting too deep\n"},
  };
  load();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    logged = Log{};
    globalCell(depth) = 0;
    DataCell zero = 0;
    TaggedValue argument{&zero, TypeUInt32, NO_ID};
    testing::internal::CaptureStdout();
    EXPECT_EQ(interp_callFunction(env, row.function, &argument), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.output);
    if (row.assertPrefix != nullptr) {
      ASSERT_EQ(logged.asserts.size(), 1u);
      EXPECT_EQ(logged.asserts[0].rfind(row.assertPrefix, 0), 0u) << logged.asserts[0];
    } else {
      EXPECT_TRUE(logged.asserts.empty());
      EXPECT_EQ(logged.exits.size(), 1u);
    }
    EXPECT_GT(globalCell(depth), 1000u);
    EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
    EXPECT_EQ(env->ctx->localVarsIndexes.count.variablesData, 0u);
    EXPECT_EQ(env->ctx->stackCount, 0u);
  }
}

// On the tree walker the argument's temporaries stay pushed during the call:
// the value stack fills first.
TEST_F(StatementTest, RunawayRecursionFillsTheValueStackOnTheTreeWalker) {
  const u32 id = b.p->infoProg->n_functions;
  const u32 function = b.function(
      "temporaries", b.list({b.param(IN_PARAM, TypeUInt32, "n")}),
      blockOf({b.callFunction(id, b.list({b.binary(PLUS_OP, TypeUInt32, b.localRef(0),
                                                    b.integer(1))}))}));
  load();
  DataCell zero = 0;
  TaggedValue argument{&zero, TypeUInt32, NO_ID};
  setenv("VELK_ENGINE", "tree", 1);  // read when code first runs
  testing::internal::CaptureStdout();
  EXPECT_EQ(interp_callFunction(env, function, &argument), 0u);
  unsetenv("VELK_ENGINE");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stack overflow\n");
  EXPECT_TRUE(logged.asserts.empty());
  EXPECT_EQ(env->ctx->stackCount, 0u);
  EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
}

}  // namespace
