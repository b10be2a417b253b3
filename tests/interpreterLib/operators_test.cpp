// The per-type operator functions, called directly with a bare node: wrap,
// shift, division and comparison rules per width, the invalid-operation codes
// with the values yielded afterwards, and the bool and float operator sets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "operators.h"

namespace {

struct Recorder {
  std::vector<u32> invalidCodes;
  std::vector<std::string> assertTexts;
  int exits = 0;
};
Recorder recorder;

TaggedValue recordInvalidOp(InterpEnv*, AST*, u32 code) {
  recorder.invalidCodes.push_back(code);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}
void recordAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  recorder.assertTexts.emplace_back(text);
}
void recordExit(InterpEnv*, size_t, int) { ++recorder.exits; }

class OperatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder = Recorder{};
    env = interp_create();
    expr_operatorsInit(env);
    env->ctx->invalid_op_callback = recordInvalidOp;
    env->ctx->assert_callback = recordAssert;
    env->ctx->exit_callback = recordExit;
  }
  void TearDown() override { interp_stop(env); }

  DataCell apply(OperatorFunction function, u32 op, DataCell left, DataCell right) {
    AST node{op, 0, {}, NO_ID, NO_ID};
    return function(env, &node, left, right);
  }

  InterpEnv* env = nullptr;
};

DataCell f32Cell(float f) {
  u32 bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}
DataCell f64Cell(double d) {
  DataCell bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

struct Row {
  const char* what;
  OperatorFunction function;
  u32 op;
  DataCell left;
  DataCell right;
  DataCell expected;
};

TEST_F(OperatorTest, IntegerRulesPerWidth) {
  const Row rows[] = {
      // Wrap modulo 2^width, results zero-extended.
      {"uint8 200 + 100", expr_uInt8Operator, PLUS_OP, 200, 100, 44},
      {"int8 -128 - 1", expr_sInt8Operator, MINUS_OP, 0x80, 1, 0x7F},
      {"int8 -1 + 0 stays one byte", expr_sInt8Operator, PLUS_OP, 0xFF, 0, 0xFF},
      {"uint16 65535 * 65535", expr_uInt16Operator, MUL_OP, 0xFFFF, 0xFFFF, 1},
      {"int16 300 * 300", expr_sInt16Operator, MUL_OP, 300, 300, 90000 & 0xFFFF},
      {"int32 -min", expr_sInt32Operator, NEG_OP, 0x80000000, 0, 0x80000000},
      {"int64 -min", expr_sInt64Operator, NEG_OP, 0x8000000000000000, 0, 0x8000000000000000},
      {"uint32 -1", expr_uInt32Operator, NEG_OP, 1, 0, 0xFFFFFFFF},
      {"int64 max + 1", expr_sInt64Operator, PLUS_OP, 0x7FFFFFFFFFFFFFFF, 1, 0x8000000000000000},
      {"operand is the low bits", expr_uInt8Operator, PLUS_OP, 0x1FF, 1, 0},
      {"uint8 ~0", expr_uInt8Operator, BIT_NOT_OP, 0, 0, 0xFF},
      {"int32 ~0", expr_sInt32Operator, BIT_NOT_OP, 0, 0, 0xFFFFFFFF},
      {"uint16 xor", expr_uInt16Operator, BIT_XOR_OP, 0xF0F0, 0xFFFF, 0x0F0F},
      // Shifts: narrow types widen to 32 bits and use the count mod 32.
      {"uint8 1 << 9", expr_uInt8Operator, BIT_LSHIFT_OP, 1, 9, 0},
      {"uint16 1 << 16", expr_uInt16Operator, BIT_LSHIFT_OP, 1, 16, 0},
      {"uint32 1 << 33", expr_uInt32Operator, BIT_LSHIFT_OP, 1, 33, 2},
      {"int32 1 << 32", expr_sInt32Operator, BIT_LSHIFT_OP, 1, 32, 1},
      {"uint64 1 << 65", expr_uInt64Operator, BIT_LSHIFT_OP, 1, 65, 2},
      {"uint64 1 << 33", expr_uInt64Operator, BIT_LSHIFT_OP, 1, 33, u64{1} << 33},
      {"int8 -16 >> 2", expr_sInt8Operator, BIT_RSHIFT_OP, 0xF0, 2, 0xFC},
      {"uint8 240 >> 2", expr_uInt8Operator, BIT_RSHIFT_OP, 240, 2, 60},
      {"int16 min >> 15", expr_sInt16Operator, BIT_RSHIFT_OP, 0x8000, 15, 0xFFFF},
      {"uint16 0x8000 >> 15", expr_uInt16Operator, BIT_RSHIFT_OP, 0x8000, 15, 1},
      {"int64 -1 >> 63", expr_sInt64Operator, BIT_RSHIFT_OP, ~u64{0}, 63, ~u64{0}},
      {"uint64 top >> 63", expr_uInt64Operator, BIT_RSHIFT_OP, u64{1} << 63, 63, 1},
      {"int8 0x40 << 1", expr_sInt8Operator, BIT_LSHIFT_OP, 0x40, 1, 0x80},
      {"int8 count -1 is 31", expr_sInt8Operator, BIT_RSHIFT_OP, 0x80, 0xFF, 0xFF},
      // Truncating division, remainder with the dividend's sign.
      {"int32 -7 / 2", expr_sInt32Operator, DIV_OP, 0xFFFFFFF9, 2, 0xFFFFFFFD},
      {"int32 -7 mod 2", expr_sInt32Operator, MOD_OP, 0xFFFFFFF9, 2, 0xFFFFFFFF},
      {"int32 7 mod -2", expr_sInt32Operator, MOD_OP, 7, 0xFFFFFFFE, 1},
      {"int8 -7 / 2", expr_sInt8Operator, DIV_OP, 0xF9, 2, 0xFD},
      {"uint32 max / 2", expr_uInt32Operator, DIV_OP, 0xFFFFFFFF, 2, 0x7FFFFFFF},
      {"uint8 255 / 255", expr_uInt8Operator, DIV_OP, 0xFF, 0xFF, 1},
      {"uint64 max mod 10", expr_uInt64Operator, MOD_OP, ~u64{0}, 10, 5},
      // Comparisons: signed types compare signed.
      {"int8 -1 < 1", expr_sInt8Operator, LT_OP, 0xFF, 1, 1},
      {"uint8 255 < 1", expr_uInt8Operator, LT_OP, 0xFF, 1, 0},
      {"int64 min < 0", expr_sInt64Operator, LT_OP, u64{1} << 63, 0, 1},
      {"uint64 top > 1", expr_uInt64Operator, GT_OP, u64{1} << 63, 1, 1},
      {"int16 -1 >= -1", expr_sInt16Operator, CGE_OP, 0xFFFF, 0xFFFF, 1},
      {"uint32 1 <= 0", expr_uInt32Operator, CLE_OP, 1, 0, 0},
      {"int32 eq on low bits", expr_sInt32Operator, CEQ_OP, 0x1FFFFFFFF, 0xFFFFFFFF, 1},
      {"uint16 ne", expr_uInt16Operator, CNE_OP, 3, 4, 1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(apply(row.function, row.op, row.left, row.right), row.expected) << row.what;
  }
  EXPECT_TRUE(recorder.invalidCodes.empty());
}

TEST_F(OperatorTest, TableHoldsOneFunctionPerPrimitiveType) {
  const OperatorFunction expected[TypePrimitive] = {
      expr_uInt64Operator, expr_sInt64Operator, expr_uInt8Operator,  expr_sInt8Operator,
      expr_uInt16Operator, expr_sInt16Operator, expr_uInt32Operator, expr_sInt32Operator,
      expr_uInt64Operator, expr_sInt64Operator, expr_uInt64Operator, expr_booleanOperator,
      nullptr,             expr_f32Operator,    expr_f64Operator};
  for (u32 t = 0; t < TypePrimitive; ++t) EXPECT_EQ(env->ctx->execute_operator[t], expected[t]) << t;
}

struct InvalidRow {
  const char* what;
  OperatorFunction function;
  u32 op;
  DataCell left;
  DataCell right;
  u32 code;
  DataCell yielded;
};

TEST_F(OperatorTest, InvalidDivisionsReportAndYieldDefinedValues) {
  const InvalidRow rows[] = {
      {"uint8 5 / 0", expr_uInt8Operator, DIV_OP, 5, 0, INVALID_OP_DIVISION_BY_ZERO, 0},
      {"int32 5 mod 0", expr_sInt32Operator, MOD_OP, 5, 0, INVALID_OP_MODULO_ZERO, 0},
      {"uint64 mod 0", expr_uInt64Operator, MOD_OP, 9, 0, INVALID_OP_MODULO_ZERO, 0},
      {"zero is the low bits", expr_sInt8Operator, DIV_OP, 1, 0x100, INVALID_OP_DIVISION_BY_ZERO, 0},
      {"int8 -128 / -1", expr_sInt8Operator, DIV_OP, 0x80, 0xFF, INVALID_OP_DIVIDED_BY_MINUS_ONE,
       0x80},
      {"int8 -128 mod -1", expr_sInt8Operator, MOD_OP, 0x80, 0xFF, INVALID_OP_MODULO_MINUS_ONE, 0},
      {"int16 min / -1", expr_sInt16Operator, DIV_OP, 0x8000, 0xFFFF,
       INVALID_OP_DIVIDED_BY_MINUS_ONE, 0x8000},
      {"int32 min / -1", expr_sInt32Operator, DIV_OP, 0x80000000, 0xFFFFFFFF,
       INVALID_OP_DIVIDED_BY_MINUS_ONE, 0x80000000},
      {"int64 min / -1", expr_sInt64Operator, DIV_OP, u64{1} << 63, ~u64{0},
       INVALID_OP_DIVIDED_BY_MINUS_ONE, u64{1} << 63},
      {"int64 min mod -1", expr_sInt64Operator, MOD_OP, u64{1} << 63, ~u64{0},
       INVALID_OP_MODULO_MINUS_ONE, 0},
  };
  for (const InvalidRow& row : rows) {
    recorder.invalidCodes.clear();
    EXPECT_EQ(apply(row.function, row.op, row.left, row.right), row.yielded) << row.what;
    EXPECT_EQ(recorder.invalidCodes, std::vector<u32>{row.code}) << row.what;
  }
  // Only the signed minimum is special: -127 / -1 is an ordinary division.
  recorder.invalidCodes.clear();
  EXPECT_EQ(apply(expr_sInt8Operator, DIV_OP, 0x81, 0xFF), 0x7Fu);
  EXPECT_TRUE(recorder.invalidCodes.empty());
}

TEST_F(OperatorTest, IntegerOperatorOutsideItsSetIsAnInternalError) {
  EXPECT_THROW(apply(expr_uInt8Operator, AND_OP, 1, 1), InterpAbort);
  EXPECT_EQ(recorder.assertTexts, std::vector<std::string>{"false"});
}

TEST_F(OperatorTest, BooleanOperators) {
  EXPECT_EQ(apply(expr_booleanOperator, AND_OP, 1, 0), 0u);
  EXPECT_EQ(apply(expr_booleanOperator, AND_OP, 1, 1), 1u);
  EXPECT_EQ(apply(expr_booleanOperator, OR_OP, 0, 1), 1u);
  EXPECT_EQ(apply(expr_booleanOperator, NOT_OP, 0, 0), 1u);
  EXPECT_EQ(apply(expr_booleanOperator, CEQ_OP, 0, 0), 1u);
  EXPECT_EQ(apply(expr_booleanOperator, CNE_OP, 1, 0), 1u);
  // Only the stored byte counts.
  EXPECT_EQ(apply(expr_booleanOperator, CEQ_OP, 0x101, 1), 1u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(apply(expr_booleanOperator, PLUS_OP, 1, 1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unknown boolean operator\n");
  EXPECT_EQ(recorder.exits, 1);
}

TEST_F(OperatorTest, FloatArithmeticAndComparisons) {
  EXPECT_EQ(apply(expr_f32Operator, PLUS_OP, f32Cell(1.5f), f32Cell(2.25f)), f32Cell(3.75f));
  EXPECT_EQ(apply(expr_f32Operator, NEG_OP, f32Cell(2.0f), 0), f32Cell(-2.0f));
  EXPECT_EQ(apply(expr_f32Operator, GT_OP, f32Cell(-1.0f), f32Cell(-2.0f)), 1u);
  EXPECT_EQ(apply(expr_f64Operator, MUL_OP, f64Cell(1.5), f64Cell(-4.0)), f64Cell(-6.0));
  EXPECT_EQ(apply(expr_f64Operator, DIV_OP, f64Cell(1.0), f64Cell(4.0)), f64Cell(0.25));
  EXPECT_EQ(apply(expr_f64Operator, CLE_OP, f64Cell(2.0), f64Cell(2.0)), 1u);
  EXPECT_EQ(apply(expr_f64Operator, LT_OP, f64Cell(2.0), f64Cell(2.0)), 0u);
  EXPECT_TRUE(recorder.invalidCodes.empty());
}

TEST_F(OperatorTest, FloatDivisionByZeroYieldsZero) {
  EXPECT_EQ(apply(expr_f32Operator, DIV_OP, f32Cell(3.0f), f32Cell(0.0f)), f32Cell(0.0f));
  EXPECT_EQ(apply(expr_f64Operator, DIV_OP, f64Cell(3.0), f64Cell(-0.0)), f64Cell(0.0));
  EXPECT_EQ(recorder.invalidCodes, (std::vector<u32>{0, 0}));
}

TEST_F(OperatorTest, FloatEqualityAndModuloAreUnknown) {
  for (u32 op : {CEQ_OP, CNE_OP, MOD_OP}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply(expr_f32Operator, op, f32Cell(1.0f), f32Cell(1.0f)), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unknown float operator\n") << op;
  }
  testing::internal::CaptureStdout();
  apply(expr_f64Operator, CEQ_OP, f64Cell(1.0), f64Cell(1.0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unknown float operator\n");
  EXPECT_EQ(recorder.exits, 4);
}

}  // namespace
