// What no program reaches. Images the compiler does not write: formats held
// in label strings, call codes without a prototype, operator table entries the
// evaluator bypasses, malformed nodes and damaged channel cells (each internal
// check stops the run with its report instead of reading or writing out of
// place; the host call returns). And the helpers only hosts and tools call:
// typed value-stack pushes, channel index cells.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "buffers.h"
#include "expression.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_call.h"
#include "interp_stack.h"
#include "operators.h"
#include "statement.h"
#include "velk_locals.h"

namespace {

struct Log {
  std::vector<std::string> asserts;
  int exits = 0;
  std::string printed;
};
Log logged;

int collect(InterpEnv*, int c) {
  logged.printed += static_cast<char>(c);
  return c;
}

void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  logged.asserts.emplace_back(text);
}
void logExit(InterpEnv*, size_t, int) { ++logged.exits; }

class ImageLevelTest : public ::testing::Test {
 protected:
  void SetUp() override { logged = Log{}; }
  void TearDown() override {
    if (env != nullptr) interp_stop(env);
  }

  void load() {
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_exit(env, logExit);
    env_on_print(env, collect);
  }
  AST* loaded(AST* node) { return AST_fromId(env->program, AST_id(b.p, node)); }
  // Runs body as an entry point does; true when the run was abandoned.
  bool aborted(const std::function<void()>& body) {
    return interp_guard(env, true, [&] {
      body();
      return false;
    });
  }
  bool abortedEval(AST* node) { return aborted([&] { expr_execute(env, loaded(node)); }); }
  // The single internal check reported since the last call.
  std::vector<std::string> reported() {
    std::vector<std::string> texts;
    texts.swap(logged.asserts);
    return texts;
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
};

TEST_F(ImageLevelTest, MalformedExpressionNodes) {
  struct Row {
    AST* node;
    const char* text;
  };
  const std::vector<Row> rows = {
      {b.binary(PLUS_OP, TypeFP, b.integer(1), b.integer(2)),
       "env->ctx->execute_operator[operatorTypeId] != NULL"},
      {b.binary(PLUS_OP, TypePrimitive, b.integer(1), b.integer(2)),
       "operatorTypeId < TypePrimitive"},
      {b.binary(NEG_OP, TypeInt, b.integer(1), b.integer(2)),
       "AST_right(env->program, astp) == NULL"},
      {b.globalRef(999), "AST_getVarId(astp) < env->program->infoProg->n_globalVariables"},
      {b.constantRef(5), "AST_getVarId(astp) < env->program->infoProg->n_globalConstants"},
      {b.node(STRING_OP, 1000000), "index < env->program->infoProg->size_constantData"},
      {b.staticRef(0),
       "AST_getVarId(astp) < env->program->infoProg->n_processStaticVariables - "
       "env->ctx->localVarsIndexes.base.processStaticVariables"},
      {b.node(TYPE_OP, 0, b.index(TypeInt)), "TYPE_OP should not be evaluated"},
      {b.call(kCallF32Sqrt, TypeF32, nullptr, nullptr, b.list({b.integer(4)})),
       "val.typeId == TypeF32"},
      {b.call(kCallCodeCount, TypeStmt, nullptr, nullptr, nullptr), "!\"impossible case\""},
  };
  AST* loop = b.whileStatement(b.boolean(false), nullptr);
  // The board's I/O functions have no prototype in an off-line compiler.
  AST* boardIO = b.call(kCallBoardIO0, TypeUInt32, nullptr, nullptr, nullptr);
  load();
  env->ctx->localVarsIndexes.base.processStaticVariables = NO_ID;  // no activation running
  for (const Row& row : rows) {
    EXPECT_TRUE(abortedEval(row.node)) << row.text;
    EXPECT_EQ(reported(), std::vector<std::string>{row.text});
    EXPECT_EQ(env->ctx->stackCount, 0u);
  }
  testing::internal::CaptureStdout();
  EXPECT_TRUE(abortedEval(loop));
  abortedEval(boardIO);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "unknown operator/statement (75)\n"
            "Forbidden use of special FRDMK64F function (IO.measure_c10_c11, IO.pulse_out_c10, "
            "IO.pulse_in_c11, etc) methods in off-line context.");
  EXPECT_EQ(logged.exits, 2);
}

// Conversions to or from types that are not primitive.
TEST_F(ImageLevelTest, ConversionsOutsideThePrimitiveTypes) {
  load();
  TaggedValue five = interpStack_pushSingleAnyValue(env, TypeUInt8, 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(*expr_conversion(env, TypeStructure, five).value, 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unsupported type conversion\n");
  EXPECT_TRUE(aborted([&] { expr_conversion(env, TypeSInt, five); }));
  TaggedValue record = interpStack_pushSingleAnyValue(env, TypeStructure, 5);
  EXPECT_TRUE(aborted([&] { expr_conversion(env, TypeUInt8, record); }));
  EXPECT_TRUE(aborted([&] { expr_conversion(env, TypeF64, record); }));
  EXPECT_EQ(reported(), (std::vector<std::string>{"(toTypeId != TypeInt) && (toTypeId != TypeSInt)",
                                                  "kIcrNotPrimType should not happen",
                                                  "kIcrNotPrimType should not happen"}));
}

// A format held in a label string: escapes are decoded as it is printed, a
// trailing backslash is dropped; a label as a %s argument.
TEST_F(ImageLevelTest, LabelStringFormats) {
  auto label = [&](const std::string& text) {
    return b.node(LABEL_STRING_OP, b.labelString(text));
  };
  AST* escapes = b.call(kCallPrint, TypeStmt, nullptr, nullptr, b.list({label("[\\0]x\\")}));
  AST* argument = b.call(kCallPrintArgs, TypeStmt, nullptr, nullptr,
                         b.list({label("%s|"), label("text")}));
  load();
  statement_execute(env, loaded(escapes));
  statement_execute(env, loaded(argument));
  EXPECT_EQ(logged.printed, std::string("[\0]xtext|", 9));
}

// The boolean and float entries of the operator table: the evaluator
// short-circuits and, or and not itself, and refuses what floats lack.
TEST_F(ImageLevelTest, OperatorTableEntriesProgramsDoNotReach) {
  InterpEnv* fresh = interp_create();
  expr_operatorsInit(fresh);
  EXPECT_EQ(fresh->ctx->execute_operator[TypeBoolean], expr_booleanOperator);
  interp_stop(fresh);
  load();
  auto apply = [&](OperatorFunction f, u32 op, DataCell left = 1, DataCell right = 1) {
    AST node{op, 0, {}, NO_ID, NO_ID};
    return f(env, &node, left, right);
  };
  EXPECT_EQ(apply(expr_booleanOperator, AND_OP, 1, 0), 0u);
  EXPECT_EQ(apply(expr_booleanOperator, OR_OP, 0, 1), 1u);
  EXPECT_EQ(apply(expr_booleanOperator, NOT_OP, 0, 0), 1u);
  EXPECT_TRUE(aborted([&] { apply(expr_uInt8Operator, AND_OP); }));
  EXPECT_EQ(reported(), std::vector<std::string>{"false"});
  testing::internal::CaptureStdout();
  apply(expr_booleanOperator, PLUS_OP);
  for (u32 op : {CEQ_OP, CNE_OP, MOD_OP}) apply(expr_f32Operator, op);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "unknown boolean operator\nunknown float operator\nunknown float operator\n"
            "unknown float operator\n");
  EXPECT_EQ(logged.exits, 4);
}

// The index cells of a queue of 3 (four slots): count and fullness from every
// in/out pair; a stack's out cell marks it empty.
TEST_F(ImageLevelTest, ChannelIndexCells) {
  const u32 q = b.global("q", b.bufferType(QUEUE_BUFFER, TypeUInt8, 3));
  const u32 s = b.global("s", b.bufferType(STACK_BUFFER, TypeUInt8, 2));
  load();
  const TaggedValue queue = env->program->globalVariableTable[q];
  const struct {
    u32 in, out, count;
    bool full;
  } rows[] = {{0, 0, 0, false}, {3, 0, 3, true}, {0, 1, 3, true},  {1, 2, 3, true},
              {0, 3, 1, false}, {1, 3, 2, false}, {2, 0, 2, false}, {3, 3, 0, false}};
  for (const auto& r : rows) {
    channel_setInId(env, queue, r.in);
    channel_setOutId(env, queue, r.out);
    EXPECT_EQ(channel_getInId(env, queue), r.in);
    EXPECT_EQ(channel_getOutId(env, queue), r.out);
    EXPECT_EQ(channel_getCount(env, queue), r.count) << r.in << "," << r.out;
    EXPECT_EQ(channel_full(env, queue), r.full) << r.in << "," << r.out;
  }
  const TaggedValue stack = env->program->globalVariableTable[s];
  EXPECT_TRUE(stack_isOutNull(env, stack));
  channel_push(env, stack, interpStack_pushUInt8(env, 1));
  EXPECT_FALSE(stack_isOutNull(env, stack));
  EXPECT_TRUE(logged.asserts.empty());
}

// Typed pushes store the value zero-extended from its width, one cell each.
TEST_F(ImageLevelTest, TypedValueStackPushes) {
  load();
  float f = 1.5f;
  u32 fBits;
  std::memcpy(&fBits, &f, sizeof fBits);
  const struct {
    TaggedValue pushed;
    u32 type;
    DataCell cell;
  } cases[] = {
      {interpStack_pushUInt8(env, 200), TypeUInt8, 200},
      {interpStack_pushSInt8(env, -1), TypeSInt8, 0xFF},
      {interpStack_pushUInt16(env, 65535), TypeUInt16, 0xFFFF},
      {interpStack_pushSInt16(env, -2), TypeSInt16, 0xFFFE},
      {interpStack_pushUInt32(env, 7), TypeUInt32, 7},
      {interpStack_pushSInt32(env, -1), TypeSInt32, 0xFFFFFFFF},
      {interpStack_pushUInt64(env, ~0ull), TypeUInt64, ~0ull},
      {interpStack_pushSInt64(env, -3), TypeSInt64, static_cast<u64>(-3)},
      {interpStack_pushSize(env, 9), TypeUInt32, 9},
      {interpStack_pushF32(env, f), TypeF32, fBits},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    EXPECT_EQ(cases[k].pushed.typeId, cases[k].type) << k;
    EXPECT_EQ(cases[k].pushed.value, env->ctx->stack + k);
    EXPECT_EQ(*cases[k].pushed.value, cases[k].cell) << k;
  }
  TaggedValue local = LocalVariable_declare(env, TypeUInt32);
  EXPECT_EQ(LocalVariable_last(env).value, local.value);
}

// A damaged index cell abandons the run before any slot is touched.
TEST_F(ImageLevelTest, CorruptChannelIndexCells) {
  const u32 pair = b.structType("Pair", {{"x", TypeSInt32}, {"y", TypeSInt32}});
  const u32 q = b.global("q", b.bufferType(QUEUE_BUFFER, pair, 2));
  load();
  const TaggedValue queue = env->program->globalVariableTable[q];
  const struct {
    DataCell in, out;
    const char* text;
  } rows[] = {
      {1, 2, "channel.value->index >= 2"},
      {3, 2, "((channel.value->index - 2) % buffer_getCellSize(env, channel)) == 0"},
      {2 + 3 * 2, 2, "slot <= capacity"},
      {2, 2 + 1000 * 2, "slot <= capacity"},
  };
  for (const auto& r : rows) {
    queue.value[0] = r.in;
    queue.value[1] = r.out;
    EXPECT_TRUE(aborted([&] { channel_pop(env, queue, nullptr); })) << r.text;
    EXPECT_EQ(reported(), std::vector<std::string>{r.text});
  }
}

// loop over and choice_uniform on something that is no buffer.
TEST_F(ImageLevelTest, BufferOperationsOnOtherNodes) {
  const u32 queue3 = b.bufferType(QUEUE_BUFFER, TypeSInt32, 3);
  const u32 iterType = b.declareType("iterator<int32>", TypeSInt32, 0, 3, NONE_BUFFER, nullptr);
  const u32 cq = b.constant("cq", queue3, {2, 2});
  AST* iterator = b.node(ITERATOR_DECL_OP, iterType, b.sym("it"), b.integer(1));
  AST* loop = b.node(LOOP_OVER_OP, 0, iterator, b.block(nullptr, b.list({b.node(BREAK_OP)})));
  const u32 walk = b.function("walk", nullptr, b.block(nullptr, b.list({loop})));
  AST* onInteger = b.integer(3);
  AST* onConstant = b.constantRef(cq);
  load();
  interp_callFunction(env, walk, nullptr);
  EXPECT_EQ(reported(), std::vector<std::string>{"unknown variable kind"});
  EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
  testing::internal::CaptureStdout();
  buffer_choiceUniform(env, loaded(onInteger));
  buffer_choiceUniform(env, loaded(onConstant));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "buffer type not supported by choice_uniform()\n"
            "choice_uniform() called on empty channel\n");
  EXPECT_EQ(logged.exits, 2);
}

}  // namespace
