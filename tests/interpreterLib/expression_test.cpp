// Expression evaluation on loaded images: short-circuit evaluation, literals
// and time scaling, operator dispatch and its internal checks, saturating
// conversions, type bounds, the read and change hooks of globals and array
// indexing.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "expression.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"

namespace {

struct HookLog {
  std::vector<std::string> asserts;
  int exits = 0;
  int reads = 0;
  u32 changeResult = 0;
  struct Change {
    u32 varId;
    u32 mode;
    u32 typeId;
    DataCell cell;
  };
  std::vector<Change> changes;
};
HookLog hooks;

void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  hooks.asserts.emplace_back(text);
}
void logExit(InterpEnv*, size_t, int) { ++hooks.exits; }
u32 countRead(InterpEnv*, u32) {
  ++hooks.reads;
  return 0;
}
u32 logChange(InterpEnv*, u32 varId, u32 mode, TaggedValue value) {
  hooks.changes.push_back({varId, mode, value.typeId, *value.value});
  return hooks.changeResult;
}

DataCell cellOf(TaggedValue value) { return *value.value; }

class ExprTest : public ::testing::Test {
 protected:
  void SetUp() override { hooks = HookLog{}; }
  void TearDown() override {
    if (env != nullptr) interp_stop(env);
  }

  // Writes and loads the image built so far; the evaluated nodes are the
  // loaded copies of the builder's nodes.
  void load() {
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_exit(env, logExit);
  }
  TaggedValue eval(AST* builderNode) {
    return expr_execute(env, AST_fromId(env->program, AST_id(b.p, builderNode)));
  }
  DataCell& globalCell(u32 varId) { return *env->program->globalVariableTable[varId].value; }

  ImageBuilder b;
  InterpEnv* env = nullptr;
};

// `false and f()` and `true or f()` must not call f, which sets a global.
TEST_F(ExprTest, AndOrShortCircuit) {
  const u32 called = b.global("called", TypeBoolean);
  AST* body = b.block(nullptr, b.list({b.assign(b.globalRef(called), b.boolean(true)),
                                       b.assign(b.localRef(0), b.boolean(true))}));
  const u32 f = b.function("f", b.list({b.param(OUT_PARAM, TypeBoolean, "r")}), body);
  auto callF = [&] { return b.callFunction(f, nullptr, TypeBoolean, 0); };
  AST* falseAnd = b.binary(AND_OP, TypeBoolean, b.boolean(false), callF());
  AST* trueOr = b.binary(OR_OP, TypeBoolean, b.boolean(true), callF());
  AST* trueAnd = b.binary(AND_OP, TypeBoolean, b.boolean(true), callF());
  load();

  TaggedValue v = eval(falseAnd);
  EXPECT_EQ(v.typeId, u32{TypeBoolean});
  EXPECT_EQ(cellOf(v), 0u);
  EXPECT_EQ(cellOf(eval(trueOr)), 1u);
  EXPECT_EQ(globalCell(called), 0u);
  // The right side does run when it decides the result.
  EXPECT_EQ(cellOf(eval(trueAnd)), 1u);
  EXPECT_EQ(globalCell(called), 1u);
}

TEST_F(ExprTest, LiteralsAndTimeScaling) {
  const u32 color = b.enumType("Color", {"red", "green"});
  const u32 string = b.constantData({5, 2, 'a', 'b', 0});
  struct Row {
    AST* node;
    u32 typeId;
    DataCell cell;
  };
  const std::vector<Row> rows = {
      {b.integer(~u64{0}), TypeInt, ~u64{0}},
      {b.boolean(true), TypeBoolean, 1},
      {b.timeLiteral(NS_LITERAL_OP, 3), TypeTime, 3000},
      {b.timeLiteral(US_LITERAL_OP, 3), TypeTime, 3000000},
      {b.timeLiteral(MS_LITERAL_OP, 3), TypeTime, 3000000000},
      {b.timeLiteral(S_LITERAL_OP, 2), TypeTime, 2000000000000},
      // A count too large for the unit wraps like time64 arithmetic.
      {b.timeLiteral(S_LITERAL_OP, 18446745), TypeTime, u64{18446745} * 1000000000000u},
      // A duration expression: the count comes from the left child.
      {b.node(MS_LITERAL_OP, ~u64{0}, b.cast(TypeUInt32, b.integer(5))), TypeTime, 5000000000},
      {b.node(FREQUENCY_OP, 333333333333), TypeTime, 333333333333},
      {b.node(ENUM_VALUE_OP, color, b.sym("green")), color, b.symbol("green")},
  };
  AST* text = b.node(STRING_OP, string);
  AST* f32 = b.f32(-1.5f);
  load();

  for (size_t i = 0; i < rows.size(); ++i) {
    TaggedValue v = eval(rows[i].node);
    EXPECT_EQ(v.typeId, rows[i].typeId) << "row " << i;
    EXPECT_EQ(cellOf(v), rows[i].cell) << "row " << i;
    EXPECT_EQ(v.globalId, NO_ID) << "row " << i;
  }
  TaggedValue s = eval(text);
  EXPECT_EQ(s.typeId, u32{TypeString});
  EXPECT_EQ(s.value, env->program->constantDataTable + string);
  float f;
  std::memcpy(&f, eval(f32).value, sizeof f);
  EXPECT_EQ(f, -1.5f);
  EXPECT_EQ(expr_execute(env, nullptr).typeId, u32{TypeVoid});
}

TEST_F(ExprTest, OperatorsPushTheOperatorTypeAndComparisonsBool) {
  AST* sum = b.binary(PLUS_OP, TypeUInt8, b.cast(TypeUInt8, b.integer(200)),
                      b.cast(TypeUInt8, b.integer(100)));
  AST* negative = b.unary(NEG_OP, TypeSInt8, b.cast(TypeSInt8, b.integer(1)));
  AST* less = b.binary(LT_OP, TypeSInt8, negative, b.cast(TypeSInt8, b.integer(1)));
  AST* divide = b.binary(DIV_OP, TypeUInt32, b.cast(TypeUInt32, b.integer(7)),
                         b.cast(TypeUInt32, b.integer(0)));
  load();

  TaggedValue v = eval(sum);
  EXPECT_EQ(v.typeId, u32{TypeUInt8});
  EXPECT_EQ(cellOf(v), 44u);
  EXPECT_EQ(cellOf(eval(negative)), 0xFFu);
  v = eval(less);
  EXPECT_EQ(v.typeId, u32{TypeBoolean});
  EXPECT_EQ(cellOf(v), 1u);
  // The library's default invalid-operation callback returns; 0 is yielded.
  EXPECT_EQ(cellOf(eval(divide)), 0u);
}

TEST_F(ExprTest, MalformedOperatorNodesAreInternalErrors) {
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
  };
  load();
  env->ctx->localVarsIndexes.base.processStaticVariables = NO_ID;  // no activation running
  for (const Row& row : rows) {
    hooks.asserts.clear();
    EXPECT_THROW(eval(row.node), InterpAbort) << row.text;
    EXPECT_EQ(hooks.asserts, std::vector<std::string>{row.text});
  }
}

TEST_F(ExprTest, StatementNodeInAnExpressionAbortsTheRun) {
  AST* loop = b.whileStatement(b.boolean(false), nullptr);
  load();
  testing::internal::CaptureStdout();
  EXPECT_THROW(eval(loop), InterpAbort);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unknown operator/statement (75)\n");
  EXPECT_EQ(hooks.exits, 1);
}

TEST_F(ExprTest, ConversionsSaturate) {
  struct Row {
    u32 from;
    DataCell cell;
    u32 to;
    DataCell expected;
  };
  auto f32 = [](float f) {
    u32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return DataCell{bits};
  };
  auto f64 = [](double d) {
    DataCell bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
  };
  const Row rows[] = {
      {TypeInt, 300, TypeUInt8, 255},
      {TypeSInt8, 0xFB, TypeUInt16, 0},  // -5
      {TypeSInt8, 0xFF, TypeTime, 0},
      {TypeSInt32, static_cast<u32>(-70000), TypeSInt16, 0x8000},
      {TypeSInt32, 70000, TypeSInt16, 0x7FFF},
      {TypeUInt64, ~u64{0}, TypeSInt64, 0x7FFFFFFFFFFFFFFF},
      {TypeSInt16, 0xFFFE, TypeSInt64, ~u64{0} - 1},  // in range: -2 kept
      {TypeUInt16, 1000, TypeUInt8, 255},
      {TypeF64, f64(-3.9), TypeSInt8, 0xFD},
      {TypeF32, f32(1e10f), TypeUInt32, 0xFFFFFFFF},
      {TypeBoolean, 1, TypeUInt8, 1},
      {TypeInt, 5, TypeBoolean, 1},
      {TypeF64, f64(-0.0), TypeBoolean, 0},
      {TypeSInt8, 0xFF, TypeF32, f32(-1.0f)},
      {TypeUInt64, ~u64{0}, TypeF64, f64(18446744073709551615.0)},
      {TypeF64, f64(0.1), TypeF32, f32(0.1f)},
  };
  load();
  for (const Row& row : rows) {
    TaggedValue source = interpStack_pushSingleAnyValue(env, row.from, row.cell);
    TaggedValue v = expr_conversion(env, row.to, source);
    EXPECT_EQ(v.typeId, row.to);
    EXPECT_EQ(cellOf(v), row.expected) << row.from << " -> " << row.to << " of " << row.cell;
  }
}

TEST_F(ExprTest, ConversionFailures) {
  load();
  TaggedValue five = interpStack_pushSingleAnyValue(env, TypeUInt8, 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(cellOf(expr_conversion(env, TypeStructure, five)), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unsupported type conversion\n");

  EXPECT_THROW(expr_conversion(env, TypeSInt, five), InterpAbort);
  TaggedValue record = interpStack_pushSingleAnyValue(env, TypeStructure, 5);
  EXPECT_THROW(expr_conversion(env, TypeUInt8, record), InterpAbort);
  EXPECT_THROW(expr_conversion(env, TypeF64, record), InterpAbort);
  EXPECT_EQ(hooks.asserts, (std::vector<std::string>{
                               "(toTypeId != TypeInt) && (toTypeId != TypeSInt)",
                               "kIcrNotPrimType should not happen",
                               "kIcrNotPrimType should not happen"}));
}

TEST_F(ExprTest, TypeBounds) {
  struct Row {
    u32 typeId;
    DataCell min;
    DataCell max;
  };
  const Row rows[] = {
      {TypeUInt8, 0, 255},
      {TypeSInt8, 0x80, 0x7F},
      {TypeSInt16, 0x8000, 0x7FFF},
      {TypeUInt32, 0, 0xFFFFFFFF},
      {TypeSInt32, 0x80000000, 0x7FFFFFFF},
      {TypeSInt64, u64{1} << 63, ~u64{0} >> 1},
      {TypeTime, 0, ~u64{0}},
      {TypeF32, 0xFF7FFFFF, 0x7F7FFFFF},
      {TypeF64, 0xFFEFFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF},
  };
  load();
  for (const Row& row : rows) {
    EXPECT_EQ(cellOf(expr_typeField(env, row.typeId, false)), row.min) << row.typeId;
    TaggedValue max = expr_typeField(env, row.typeId, true);
    EXPECT_EQ(max.typeId, row.typeId);
    EXPECT_EQ(cellOf(max), row.max) << row.typeId;
  }
}

TEST_F(ExprTest, ReadHookCalledOncePerRead) {
  const u32 y = b.global("y", TypeUInt32, {3});
  AST* twice = b.binary(PLUS_OP, TypeUInt32, b.globalRef(y), b.globalRef(y));
  AST* once = b.globalRef(y);
  load();
  env_on_variable_read(env, y, countRead);

  EXPECT_EQ(cellOf(eval(twice)), 6u);
  EXPECT_EQ(hooks.reads, 2);
  // A read costs no copy: the value is the variable's own storage.
  TaggedValue v = eval(once);
  EXPECT_EQ(v.value, &globalCell(y));
  EXPECT_EQ(v.globalId, y);
  EXPECT_EQ(hooks.reads, 3);
}

TEST_F(ExprTest, ChangeHookSeesTheStoredValueAndCanBlockTheWrite) {
  const u32 x = b.global("x", TypeUInt8, {7});
  // An int16 source: the hook must see it as the uint8 that will be stored.
  AST* assignment = b.assign(b.globalRef(x), b.cast(TypeSInt16, b.integer(5)));
  load();
  env_on_variable_change(env, x, logChange);

  hooks.changeResult = 1;
  TaggedValue result = eval(assignment);
  EXPECT_EQ(result.typeId, u32{TypeStmt});
  EXPECT_EQ(globalCell(x), 7u);
  ASSERT_EQ(hooks.changes.size(), 1u);
  EXPECT_EQ(hooks.changes[0].varId, x);
  EXPECT_EQ(hooks.changes[0].mode, 0u);
  EXPECT_EQ(hooks.changes[0].typeId, u32{TypeUInt8});
  EXPECT_EQ(hooks.changes[0].cell, 5u);

  hooks.changeResult = 0;
  eval(assignment);
  EXPECT_EQ(globalCell(x), 5u);
  EXPECT_EQ(hooks.changes.size(), 2u);
}

TEST_F(ExprTest, ArrayIndexing) {
  const u32 array = b.bufferType(ARRAY_BUFFER, TypeSInt32, 4);
  const u32 values = b.global("values", array, {10, 20, 30, 40});
  const u32 minusOne = b.global("minusOne", TypeSInt8, {0xFF});
  AST* third = b.node(ARRAY_INDEX_OP, TypeSInt32, b.globalRef(values),
                      b.cast(TypeUInt8, b.integer(2)));
  AST* negative = b.node(ARRAY_INDEX_OP, TypeSInt32, b.globalRef(values), b.globalRef(minusOne));
  load();

  testing::internal::CaptureStdout();
  TaggedValue v = eval(third);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(v.typeId, u32{TypeSInt32});
  EXPECT_EQ(cellOf(v), 30u);

  testing::internal::CaptureStdout();
  v = eval(negative);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Negative array index\n");
  EXPECT_EQ(hooks.exits, 1);
  // Reported, then the first element stands in.
  EXPECT_EQ(v.value, &globalCell(values));
  EXPECT_EQ(v.globalId, values);
}

}  // namespace
