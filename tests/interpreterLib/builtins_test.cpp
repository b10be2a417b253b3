// Builtin call codes on loaded images: variadic max/min, abs, float
// mathematics, type bounds, as/cast, time and sleep, the default random
// source through the call codes, channel writes offered to the change hook
// of a global channel, iterator fields, exit/assert/syncIO, the board I/O
// refusal and an unknown code.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "buffers.h"
#include "expression.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_call.h"
#include "statement.h"

namespace {

struct Change {
  u32 varId;
  u32 mode;
  u32 typeId;
  DataCell cell;
};

struct Log {
  std::vector<std::string> asserts;
  std::vector<size_t> assertLines;
  std::vector<std::pair<size_t, int>> exits;
  std::vector<Change> changes;
  std::vector<u32> invalidOps;
  u32 verdict = 0;  // what the change hook answers
  std::vector<u64> delays;
  int syncs = 0;
  std::string printed;
};
Log logs;

void logAssert(InterpEnv*, bool, const char*, size_t line, const char*, const char* text) {
  logs.asserts.emplace_back(text);
  logs.assertLines.push_back(line);
}
void logExit(InterpEnv*, size_t line, int code) { logs.exits.emplace_back(line, code); }
u32 logChange(InterpEnv*, u32 varId, u32 mode, TaggedValue value) {
  logs.changes.push_back({varId, mode, value.typeId, *value.value});
  return logs.verdict;
}
TaggedValue logInvalidOp(InterpEnv*, AST*, u32 code) {
  logs.invalidOps.push_back(code);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}
void logDelay(InterpEnv*, u64 ps) { logs.delays.push_back(ps); }
void logSync(InterpEnv*) { ++logs.syncs; }
int collect(InterpEnv*, int c) {
  logs.printed.push_back(static_cast<char>(c));
  return c;
}

DataCell bitsOf(float f) {
  u32 bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}
DataCell bitsOf(double d) {
  u64 bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

constexpr u64 kMs = 1000000000;

class BuiltinTest : public ::testing::Test {
 protected:
  void SetUp() override { logs = Log{}; }
  void TearDown() override {
    if (env != nullptr) interp_stop(env);
  }

  void load() {
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_exit(env, logExit);
    env_on_syncio(env, logSync);
    env_on_print(env, collect);
  }
  AST* loaded(AST* node) { return AST_fromId(env->program, AST_id(b.p, node)); }
  // Evaluates an expression; an abandoned run gives a value of type NO_ID.
  TaggedValue eval(AST* node) {
    return interp_guard(env, TaggedValue{nullptr, NO_ID, NO_ID},
                        [&] { return expr_execute(env, loaded(node)); });
  }
  void run(AST* statement) {
    interp_guard(env, 0u, [&] { return statement_execute(env, loaded(statement)); });
  }

  AST* typed(u32 typeId, u64 cell) { return b.cast(typeId, b.integer(cell)); }
  AST* typeName(u32 typeId) { return b.node(TYPE_OP, TypeType, b.index(typeId)); }
  AST* method(u32 code, u32 resultType, std::vector<AST*> arguments) {
    return b.call(code, resultType, nullptr, nullptr,
                  arguments.empty() ? nullptr : b.list(arguments));
  }
  AST* onObject(u32 code, u32 resultType, AST* object, std::vector<AST*> arguments = {}) {
    return b.call(code, resultType, object, nullptr,
                  arguments.empty() ? nullptr : b.list(arguments));
  }
  DataCell globalCell(u32 varId, u32 cell = 0) {
    return env->program->globalVariableTable[varId].value[cell];
  }

  struct Row {
    const char* what;
    AST* call;
    u32 typeId;
    DataCell cell;
  };
  void expectRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      const TaggedValue v = eval(row.call);
      EXPECT_EQ(v.typeId, row.typeId);
      ASSERT_NE(v.value, nullptr);
      EXPECT_EQ(*v.value, row.cell);
      env->ctx->stackCount = 0;
    }
    EXPECT_TRUE(logs.asserts.empty());
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
};

TEST_F(BuiltinTest, VariadicMaxMin) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Row> rows = {
      {"uint8.max",
       method(kCallUInt8Max, TypeUInt8, {b.integer(3), b.integer(9), b.integer(9), b.integer(1)}),
       TypeUInt8, 9},
      {"uint8.min", method(kCallUInt8Min, TypeUInt8, {b.integer(3), b.integer(9), b.integer(1)}),
       TypeUInt8, 1},
      {"int8.min", method(kCallSInt8Min, TypeSInt8, {typed(TypeSInt8, 0xFF), b.integer(5)}),
       TypeSInt8, 0xFF},
      {"int8.max",
       method(kCallSInt8Max, TypeSInt8, {typed(TypeSInt8, 0xFB), typed(TypeSInt8, 0xFF)}),
       TypeSInt8, 0xFF},
      {"int64.min", method(kCallSInt64Min, TypeSInt64, {b.integer(2), typed(TypeSInt64, ~u64{0})}),
       TypeSInt64, ~u64{0}},
      {"uint64.max",
       method(kCallUInt64Max, TypeUInt64, {b.integer(1), b.integer(~u64{0}), b.integer(7)}),
       TypeUInt64, ~u64{0}},
      {"time64.min",
       method(kCallTimeMin, TypeTime,
              {b.timeLiteral(MS_LITERAL_OP, 5), b.timeLiteral(US_LITERAL_OP, 7)}),
       TypeTime, 7000000},
      {"float32.max", method(kCallF32Max, TypeF32, {b.f32(2.5f), b.f32(-1.5f), b.f32(3.25f)}),
       TypeF32, bitsOf(3.25f)},
      // Only a strictly better argument replaces the first: NaN stays.
      {"float32.min NaN", method(kCallF32Min, TypeF32, {b.f32(nan), b.f32(1.0f)}), TypeF32,
       bitsOf(nan)},
      {"float64.min", method(kCallF64Min, TypeF64, {b.f64(2.0), b.f64(-8.5)}), TypeF64,
       bitsOf(-8.5)},
      {"single argument", method(kCallUInt16Max, TypeUInt16, {b.integer(4)}), TypeUInt16, 4},
      // Arguments take the method's type first, with saturation.
      {"saturated", method(kCallUInt8Max, TypeUInt8, {b.integer(300), b.integer(5)}), TypeUInt8,
       255},
  };
  load();
  expectRows(rows);
}

TEST_F(BuiltinTest, AbsAndMathematics) {
  const std::vector<Row> rows = {
      {"uint8.abs(-128)", method(kCallUInt8Abs, TypeUInt8, {typed(TypeSInt8, 0x80)}), TypeUInt8,
       128},
      {"uint16.abs(5)", method(kCallUInt16Abs, TypeUInt16, {typed(TypeSInt16, 5)}), TypeUInt16, 5},
      {"uint32.abs(-7)", method(kCallUInt32Abs, TypeUInt32, {typed(TypeSInt32, 0xFFFFFFF9)}),
       TypeUInt32, 7},
      {"uint64.abs(int64.FIRST)",
       method(kCallUInt64Abs, TypeUInt64, {typed(TypeSInt64, u64{1} << 63)}), TypeUInt64,
       u64{1} << 63},
      {"float32.cos", method(kCallF32Cos, TypeF32, {b.f32(0.0f)}), TypeF32, bitsOf(1.0f)},
      {"float32.sin", method(kCallF32Sin, TypeF32, {b.f32(0.0f)}), TypeF32, bitsOf(0.0f)},
      {"float32.atan", method(kCallF32Atan, TypeF32, {b.f32(1.0f)}), TypeF32,
       bitsOf(std::atan(1.0f))},
      {"float32.sqrt", method(kCallF32Sqrt, TypeF32, {b.f32(2.0f)}), TypeF32,
       bitsOf(std::sqrt(2.0f))},
      {"float32.pow", method(kCallF32Pow, TypeF32, {b.f32(2.0f), b.f32(10.0f)}), TypeF32,
       bitsOf(1024.0f)},
      {"float32.abs", method(kCallF32Abs, TypeF32, {b.f32(-3.5f)}), TypeF32, bitsOf(3.5f)},
      {"float32.log", method(kCallF32Log, TypeF32, {b.f32(1.0f)}), TypeF32, bitsOf(0.0f)},
      {"float64.cos", method(kCallF64Cos, TypeF64, {b.f64(0.0)}), TypeF64, bitsOf(1.0)},
      {"float64.sin", method(kCallF64Sin, TypeF64, {b.f64(1.0)}), TypeF64, bitsOf(std::sin(1.0))},
      {"float64.atan", method(kCallF64Atan, TypeF64, {b.f64(1.0)}), TypeF64,
       bitsOf(std::atan(1.0))},
      {"float64.sqrt", method(kCallF64Sqrt, TypeF64, {b.f64(9.0)}), TypeF64, bitsOf(3.0)},
      {"float64.pow", method(kCallF64Pow, TypeF64, {b.f64(2.0), b.f64(-1.0)}), TypeF64,
       bitsOf(0.5)},
      {"float64.abs", method(kCallF64Abs, TypeF64, {b.f64(-0.25)}), TypeF64, bitsOf(0.25)},
      {"float64.log", method(kCallF64Log, TypeF64, {b.f64(M_E)}), TypeF64, bitsOf(std::log(M_E))},
  };
  AST* wrongType = method(kCallF32Sqrt, TypeF32, {b.integer(4)});
  load();
  expectRows(rows);
  EXPECT_EQ(eval(wrongType).typeId, NO_ID);
  ASSERT_EQ(logs.asserts.size(), 1u);
  EXPECT_EQ(logs.asserts[0], "val.typeId == TypeF32");
}

TEST_F(BuiltinTest, TypeBoundsAndConversions) {
  struct Bound {
    u32 type;
    DataCell first;
    DataCell last;
  };
  const std::vector<Bound> bounds = {
      {TypeUInt8, 0, 0xFF},
      {TypeSInt8, 0x80, 0x7F},
      {TypeUInt16, 0, 0xFFFF},
      {TypeSInt16, 0x8000, 0x7FFF},
      {TypeUInt32, 0, 0xFFFFFFFF},
      {TypeSInt32, 0x80000000, 0x7FFFFFFF},
      {TypeUInt64, 0, ~u64{0}},
      {TypeSInt64, u64{1} << 63, ~u64{0} >> 1},
      {TypeTime, 0, ~u64{0}},
      {TypeF32, bitsOf(-FLT_MAX), bitsOf(FLT_MAX)},
      {TypeF64, bitsOf(-DBL_MAX), bitsOf(DBL_MAX)},
  };
  std::vector<Row> rows;
  u32 code = kCallUInt8First;
  for (const Bound& bound : bounds) {
    rows.push_back({"FIRST", method(code++, bound.type, {}), bound.type, bound.first});
    rows.push_back({"LAST", method(code++, bound.type, {}), bound.type, bound.last});
  }
  ASSERT_EQ(code, u32{kCallF64Last} + 1);
  // as converts with saturation; cast copies the cell by the assignment rules.
  rows.push_back({"int8.as(300)", method(kCallAs, TypeSInt8, {b.integer(300)}), TypeSInt8, 0x7F});
  rows.push_back({"int8.as(-3.9)", method(kCallAs, TypeSInt8, {b.f32(-3.9f)}), TypeSInt8, 0xFD});
  rows.push_back(
      {"float32.as(3)", method(kCallAs, TypeF32, {b.integer(3)}), TypeF32, bitsOf(3.0f)});
  rows.push_back({"bool.as(2)", method(kCallAs, TypeBoolean, {b.integer(2)}), TypeBoolean, 1});
  rows.push_back(
      {"uint8.cast(300)", method(kCallCast, TypeUInt8, {b.integer(300)}), TypeUInt8, 44});
  load();
  expectRows(rows);
}

TEST_F(BuiltinTest, TimeAndSleep) {
  AST* now = method(kCallTime, TypeTime, {});
  AST* sleep5 = method(kCallSleep, TypeStmt, {b.timeLiteral(MS_LITERAL_OP, 5)});
  AST* sleep2 = method(kCallSleep, TypeStmt, {b.timeLiteral(MS_LITERAL_OP, 2)});
  load();
  const u64 start = *eval(now).value;
  run(sleep5);
  EXPECT_EQ(env->ctx->currentTime, start + 5 * kMs);
  EXPECT_EQ(*eval(now).value, start + 5 * kMs);
  // Time passes only through the delay callback: a host's sees the step.
  env_on_delay(env, logDelay);
  run(sleep2);
  EXPECT_EQ(logs.delays, std::vector<u64>{2 * kMs});
  EXPECT_EQ(env->ctx->currentTime, start + 5 * kMs);
  EXPECT_TRUE(logs.asserts.empty());
}

// The library's default source draws 0: uniform draws give their lower bound,
// choices their first element.
TEST_F(BuiltinTest, DefaultRandomSource) {
  const u32 color = b.enumType("Color", {"red", "green"});
  const u32 red = b.symbol("red");
  const u32 array = b.global("array", b.bufferType(ARRAY_BUFFER, TypeSInt32, 3), {4, 5, 6});
  // Queue of 3: in at slot 2, out at slot 1, holding 8.
  const u32 queue =
      b.global("queue", b.bufferType(QUEUE_BUFFER, TypeSInt32, 3), {4, 3, 0, 8, 0, 0});
  const std::vector<Row> rows = {
      {"uint8 [10, 20]", method(kCallUInt8RandUniform, TypeUInt8, {b.integer(10), b.integer(20)}),
       TypeUInt8, 10},
      {"uint8 [20, 10]", method(kCallUInt8RandUniform, TypeUInt8, {b.integer(20), b.integer(10)}),
       TypeUInt8, 20},
      {"int8 [-5, 5]",
       method(kCallSInt8RandUniform, TypeSInt8, {typed(TypeSInt8, 0xFB), typed(TypeSInt8, 5)}),
       TypeSInt8, 0xFB},
      {"int64",
       method(kCallSInt64RandUniform, TypeSInt64, {typed(TypeSInt64, ~u64{0}), b.integer(1)}),
       TypeSInt64, ~u64{0}},
      {"time64",
       method(kCallTimeRandUniform, TypeTime,
              {b.timeLiteral(MS_LITERAL_OP, 1), b.timeLiteral(MS_LITERAL_OP, 2)}),
       TypeTime, kMs},
      {"rand_uniform", method(kCallRandUniform, TypeUInt32, {b.integer(3), b.integer(9)}),
       TypeUInt32, 3},
      {"float32", method(kCallF32RandUniform, TypeF32, {b.f32(1.5f), b.f32(2.5f)}), TypeF32,
       bitsOf(1.5f)},
      {"float64", method(kCallF64RandUniform, TypeF64, {b.f64(-1.0), b.f64(1.0)}), TypeF64,
       bitsOf(-1.0)},
      {"bool", method(kCallBoolRandUniform, TypeBoolean, {}), TypeBoolean, 0},
      {"seed(7)", method(kCallSeedValue, TypeUInt32, {b.integer(7)}), TypeUInt32, 7},
      {"choice_uniform(Color)", method(kCallChoiceUniformType, color, {typeName(color)}), color,
       red},
      {"Color.choice_uniform()", onObject(kCallEnumChoiceUniform, color, typeName(color)), color,
       red},
      {"array.choice_uniform()", onObject(kCallArrayChoiceUniform, TypeSInt32, b.globalRef(array)),
       TypeSInt32, 4},
      {"choice_uniform(queue)", method(kCallChoiceUniformChannel, TypeSInt32, {b.globalRef(queue)}),
       TypeSInt32, 8},
  };
  load();
  expectRows(rows);
}

// push and insert_sorted on a global channel first offer the value, typed as
// the element, to the channel's change hook (mode 1); a non-zero answer
// keeps it out. A local channel has no hook.
TEST_F(BuiltinTest, ChannelWritesGoThroughTheChangeHook) {
  const u32 queueType = b.bufferType(QUEUE_BUFFER, TypeUInt8, 3);
  const u32 q = b.global("q", queueType);
  const u32 localCount = b.global("localCount", TypeUInt32);
  AST* push300 = onObject(kCallChannelPush, TypeStmt, b.globalRef(q), {b.integer(300)});
  AST* insert7 = onObject(kCallChannelInsertSorted, TypeStmt, b.globalRef(q), {b.integer(7)});
  AST* insert2 = onObject(kCallChannelInsertSorted, TypeStmt, b.globalRef(q), {b.integer(2)});
  const u32 local = b.function(
      "local", nullptr,
      b.block(b.list({b.varDecl(queueType, "lq")}),
              b.list({onObject(kCallChannelPush, TypeStmt, b.localRef(0), {b.integer(1)}),
                      b.assign(b.globalRef(localCount),
                               onObject(kCallChannelCount, TypeUInt32, b.localRef(0)))})));
  load();
  env_on_variable_change(env, q, logChange);
  const TaggedValue queue{env->program->globalVariableTable[q].value, queueType, q};

  logs.verdict = 1;
  run(push300);
  ASSERT_EQ(logs.changes.size(), 1u);
  EXPECT_EQ(logs.changes[0].varId, q);
  EXPECT_EQ(logs.changes[0].mode, 1u);
  EXPECT_EQ(logs.changes[0].typeId, u32{TypeUInt8});
  EXPECT_EQ(logs.changes[0].cell, 300u & 0xFF);
  EXPECT_EQ(channel_getCount(env, queue), 0u);

  logs.verdict = 0;
  run(push300);
  run(insert7);
  run(insert2);
  EXPECT_EQ(logs.changes.size(), 4u);
  ASSERT_EQ(channel_getCount(env, queue), 3u);
  std::vector<DataCell> held;
  for (u32 i = 0; i < 3; ++i) held.push_back(*buffer_getIndexValue(env, queue, i).value);
  EXPECT_EQ(held, (std::vector<DataCell>{2, 7, 44}));

  // Full: the write is refused before the hook hears of it.
  interpreter_on_invalid_op(env, logInvalidOp);
  run(push300);
  run(insert2);
  EXPECT_EQ(logs.changes.size(), 4u);
  EXPECT_EQ(logs.invalidOps, (std::vector<u32>{INVALID_OP_QUEUE_FULL, INVALID_OP_QUEUE_FULL}));
  EXPECT_EQ(channel_getCount(env, queue), 3u);

  interp_callFunction(env, local, nullptr);
  EXPECT_EQ(globalCell(localCount), 1u);
  EXPECT_EQ(logs.changes.size(), 4u);
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(BuiltinTest, ChannelAndIteratorFieldsThroughCallCodes) {
  const u32 queueType = b.bufferType(QUEUE_BUFFER, TypeSInt32, 2);
  const u32 q = b.global("q", queueType);
  const u32 array = b.global("array", b.bufferType(ARRAY_BUFFER, TypeSInt32, 3), {4, 5, 6});
  auto on = [&](u32 code, u32 type, std::vector<AST*> arguments = {}) {
    return onObject(code, type, b.globalRef(q), std::move(arguments));
  };
  AST* fill = b.block(nullptr, b.list({on(kCallChannelPush, TypeStmt, {b.integer(1)}),
                                       on(kCallChannelPush, TypeStmt, {b.integer(2)})}));
  const std::vector<Row> rows = {
      {"max_size", on(kCallChannelMaxSize, TypeUInt32), TypeUInt32, 2},
      {"count", on(kCallChannelCount, TypeUInt32), TypeUInt32, 2},
      {"is_full", on(kCallChannelIsFull, TypeBoolean), TypeBoolean, 1},
      {"not_full", on(kCallChannelNotFull, TypeBoolean), TypeBoolean, 0},
      {"is_empty", on(kCallChannelIsEmpty, TypeBoolean), TypeBoolean, 0},
      {"not_empty", on(kCallChannelNotEmpty, TypeBoolean), TypeBoolean, 1},
      {"peek", on(kCallChannelPeek, TypeSInt32), TypeSInt32, 1},
      {"last_peek", on(kCallChannelLastPeek, TypeSInt32), TypeSInt32, 2},
      {"pop", on(kCallChannelPop, TypeSInt32), TypeSInt32, 1},
      {"array max_size", onObject(kCallArrayMaxSize, TypeUInt32, b.globalRef(array)), TypeUInt32,
       3},
  };
  AST* clear = on(kCallChannelClear, TypeStmt);
  AST* count = on(kCallChannelCount, TypeUInt32);
  // loop over the array printing index, current and is_last of `it` (local 0).
  const u32 iterType = b.declareType("iterator<int32>", TypeSInt32, 0, 3, NONE_BUFFER, nullptr);
  AST* fields = b.call(kCallPrintArgs, TypeStmt, nullptr, nullptr,
                       b.list({b.node(LABEL_STRING_OP, b.labelString("%u:%d%b,")),
                               onObject(kCallIteratorIndex, TypeUInt32, b.localRef(0)),
                               onObject(kCallIteratorCurrent, TypeSInt32, b.localRef(0)),
                               onObject(kCallIteratorIsLast, TypeBoolean, b.localRef(0))}));
  auto loop = [&](AST* buffer, AST* body) {
    AST* iterator = b.node(ITERATOR_DECL_OP, iterType, b.sym("it"), buffer);
    return b.node(LOOP_OVER_OP, 0, iterator, b.block(nullptr, b.list({body})));
  };
  AST* walkArray = loop(b.globalRef(array), fields);
  AST* removeAll =
      loop(b.globalRef(q), onObject(kCallIteratorRemoveCurrent, TypeStmt, b.localRef(0)));
  load();
  run(fill);
  expectRows(rows);
  run(clear);
  EXPECT_EQ(*eval(count).value, 0u);
  run(walkArray);
  EXPECT_EQ(logs.printed, "0:4false,1:5false,2:6true,");
  run(fill);
  run(removeAll);
  EXPECT_EQ(*eval(count).value, 0u);
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(BuiltinTest, HostCalls) {
  AST* exitCall = method(kCallExit, TypeStmt, {b.integer(300), b.integer(12)});
  AST* assertHolds = method(kCallAssert, TypeStmt,
                            {b.boolean(true), b.node(LABEL_STRING_OP, b.labelString("main.velk")),
                             b.integer(7), b.node(LABEL_STRING_OP, b.labelString("x == 1"))});
  AST* assertFails = method(kCallAssert, TypeStmt,
                            {b.boolean(false), b.node(LABEL_STRING_OP, b.labelString("main.velk")),
                             b.integer(7), b.node(LABEL_STRING_OP, b.labelString("x == 1"))});
  AST* sync = method(kCallSyncIO, TypeStmt, {});
  load();
  run(exitCall);
  EXPECT_EQ(logs.exits, (std::vector<std::pair<size_t, int>>{{12, 300 % 256}}));
  run(assertHolds);
  EXPECT_TRUE(logs.asserts.empty());
  run(assertFails);
  EXPECT_EQ(logs.asserts, std::vector<std::string>{"x == 1"});
  EXPECT_EQ(logs.assertLines, std::vector<size_t>{7});
  run(sync);
  EXPECT_EQ(logs.syncs, 1);
}

TEST_F(BuiltinTest, BoardIOIsRefusedOffLine) {
  std::vector<AST*> calls;
  for (u32 code = kCallBoardIO0; code <= kCallBoardIO3; ++code) {
    calls.push_back(method(code, code == kCallBoardIO0 ? TypeUInt32 : TypeStmt, {}));
  }
  load();
  for (AST* call : calls) {
    logs.exits.clear();
    testing::internal::CaptureStdout();
    eval(call);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Forbidden use of special FRDMK64F function (IO.measure_c10_c11, IO.pulse_out_c10, "
              "IO.pulse_in_c11, etc) methods in off-line context.");
    EXPECT_EQ(logs.exits, (std::vector<std::pair<size_t, int>>{{0, 1}}));
  }
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(BuiltinTest, UnknownCodeIsAnInternalError) {
  AST* unknown = method(kCallCodeCount, TypeStmt, {});
  load();
  EXPECT_EQ(eval(unknown).typeId, NO_ID);
  EXPECT_EQ(logs.asserts, std::vector<std::string>{"!\"impossible case\""});
  EXPECT_EQ(env->ctx->stackCount, 0u);
}

}  // namespace
