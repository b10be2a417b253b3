// Expressions of the compiler: symbols, literals, operation nodes, chained
// comparisons, field access, expected-type matching, constness, compile-time
// evaluation and assignment, each with its exact diagnostics.
#include "def_expression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ast.h"
#include "call_codes.h"
#include "def_builtins.h"
#include "def_type.h"
#include "interp_stack.h"
#include "parser_data.h"

namespace {

constexpr u32 kLine = 3;

class DefExpressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    parser_createTree(env, 100000);
    env->pctx->exitOnError = false;
    if (env->program->infoProg->n_type == 0) parser_initBaseTypes(env);
    std::strcpy(env->pctx->fileName, "t.velk");
    env->pctx->lineno = kLine;
    p = env->program;
  }
  void TearDown() override { parser_freeAll(env); }

  AST* node(u32 op, u64 value = 0, AST* left = nullptr, AST* right = nullptr) {
    return AST_makeNodeVal(p, op, static_cast<u32>(value), static_cast<u32>(value >> 32), left,
                           right, kLine);
  }
  AST* integer(u64 value) { return node(INTEGER_OP, value); }
  // A read of a local variable of the given type (left: its index).
  AST* typedRead(u32 typeId, u32 op = LOCAL_VAR) { return node(op, typeId, integer(0)); }
  AST* left(const AST* n) { return AST_left(p, n); }
  AST* right(const AST* n) { return AST_right(p, n); }
  std::string error(const std::string& message) { return "[ERROR] t.velk: Line 3: " + message; }
  std::string warning(const std::string& message) {
    return "[WARNING] t.velk: Line 3: " + message;
  }

  ParserEnv* env = nullptr;
  program* p = nullptr;
};

// --- symbols -----------------------------------------------------------------

TEST_F(DefExpressionTest, SameIdentifierSharesOneSymNode) {
  AST* first = defExpr_makeSymbol(env, "speed", kLine);
  AST* again = defExpr_makeSymbol(env, "speed", kLine + 1);
  AST* other = defExpr_makeSymbol(env, "other", kLine);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  EXPECT_EQ(first->op, SYM);
  EXPECT_STREQ(Symbol_getName(env, first->value.id.id), "speed");
  EXPECT_EQ(defExpr_reference_symbol(env, first->value.id.id), first);
}

TEST_F(DefExpressionTest, SymbolLookupGivesTheFirstIdAndGrowsTablesExactly) {
  EXPECT_EQ(defExpr_lookupForSymbol(env, "nowhere"), NO_ID);
  const u32 id = defExpr_AddSymbol(env, "twice");
  const u32 duplicate = defExpr_AddSymbol(env, "twice");
  EXPECT_NE(id, duplicate);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "twice"), id);
  EXPECT_EQ(defExpr_lookupOrAddSymbol(env, "twice"), id);
  EXPECT_EQ(defExpr_addSymbol(env, "twice"), id);
  for (int i = 0; i < 300; ++i) defExpr_addSymbol(env, ("s" + std::to_string(i)).c_str());
  EXPECT_EQ(env->pctx->capacity.symbols, p->infoProg->n_symbols);
  EXPECT_EQ(env->pctx->capacity.symbolStorage, p->infoProg->symbolStorageSize);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "s299"), p->infoProg->n_symbols - 1);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "float32"), TypeF32);  // base type names come first
}

TEST_F(DefExpressionTest, FirstSymNodeIsFoundWhoeverMadeIt) {
  const u32 symbol = defExpr_addSymbol(env, "made_elsewhere");
  EXPECT_EQ(defExpr_reference_symbol(env, symbol), nullptr);
  AST* elsewhere = node(SYM, symbol);
  node(SYM, symbol);
  EXPECT_EQ(defExpr_reference_symbol(env, symbol), elsewhere);
  EXPECT_EQ(defExpr_makeSymbol(env, "made_elsewhere", kLine), elsewhere);
}

TEST_F(DefExpressionTest, DroppedNodesLeaveTheSymNodeIndex) {
  const u32 kept = AST_get_tree_size(p);
  AST* temporary = defExpr_makeSymbol(env, "temporary", kLine);
  const u32 symbol = temporary->value.id.id;
  AST_set_tree_size(p, kept);
  EXPECT_EQ(defExpr_reference_symbol(env, symbol), nullptr);
  AST* again = defExpr_makeSymbol(env, "temporary", kLine);
  EXPECT_EQ(AST_id(p, again), kept);
  EXPECT_EQ(defExpr_reference_symbol(env, symbol), again);
}

// --- string and label literals ---------------------------------------------------

TEST_F(DefExpressionTest, StringIsStoredAsUint8ArrayConstantWithEscapesKept) {
  AST* first = defExpr_makeStr(env, "ab\\n", kLine);
  AST* second = defExpr_makeStr(env, "", kLine);
  ASSERT_EQ(first->op, STRING_OP);
  const DataCell* cells = p->constantDataTable + first->value.id.id;
  const std::vector<DataCell> expected{6, 2, 'a', 'b', '\\', 'n', 0};
  EXPECT_EQ(std::vector<DataCell>(cells, cells + 7), expected);
  EXPECT_EQ(second->value.id.id, first->value.id.id + 7);
  EXPECT_EQ(p->constantDataTable[second->value.id.id], 2u);
  EXPECT_EQ(p->infoProg->size_constantData, first->value.id.id + 10);
  EXPECT_EQ(defType_evaluate(env, first), TypeString);
}

TEST_F(DefExpressionTest, GrowingConstantDataRebasesGlobalConstants) {
  const u32 first = defExpr_reserveConstantData(env, 1);
  p->constantDataTable[first] = 42;
  p->globalConstantTable[0] = TaggedValue{p->constantDataTable + first, TypeUInt8, NO_ID};
  p->infoProg->n_globalConstants = 1;
  defExpr_makeStr(env, std::string(5000, 'x').c_str(), kLine);
  EXPECT_EQ(p->globalConstantTable[0].value, p->constantDataTable + first);
  EXPECT_EQ(*p->globalConstantTable[0].value, 42u);
}

TEST_F(DefExpressionTest, LabelStringsAreInterned) {
  AST* a = defExpr_makeLabelStr(env, "file.velk", kLine);
  AST* b = defExpr_makeLabelStr(env, "file.velk", kLine);
  AST* c = defExpr_makeLabelStr(env, "other", kLine);
  EXPECT_EQ(a->op, LABEL_STRING_OP);
  EXPECT_EQ(a->value.id.string, b->value.id.string);
  EXPECT_NE(a->value.id.string, c->value.id.string);
  EXPECT_STREQ(p->stringTable + p->stringTableIndex[c->value.id.string], "other");
}

// --- time literals -------------------------------------------------------------

struct TimeCase {
  const char* text;
  std::vector<std::pair<u32, u64>> groups;  // (node, count) in order
  std::string warnings;
};

TEST_F(DefExpressionTest, TimeLiteralGroupsAreSummedAndUnitOrderIsChecked) {
  const std::string w1 = "[WARNING] t.velk: Line 3: the time literal n°";
  const std::vector<TimeCase> cases = {
      {"1 s 500 ms", {{S_LITERAL_OP, 1}, {MS_LITERAL_OP, 500}}, ""},
      {"1s500ms", {{S_LITERAL_OP, 1}, {MS_LITERAL_OP, 500}}, ""},
      {"500 ms 1 s",
       {{MS_LITERAL_OP, 500}, {S_LITERAL_OP, 1}},
       w1 + "2 in time literal expression has the same or an higher time unit (s) than the "
            "previous one (ms)\n"},
      {"1 ms 1 ms",
       {{MS_LITERAL_OP, 1}, {MS_LITERAL_OP, 1}},
       w1 + "2 in time literal expression has the same or an higher time unit (ms) than the "
            "previous one (ms)\n"},
      // After a warning the earlier unit stays the reference.
      {"5 ms 1 s 2 us 3 us",
       {{MS_LITERAL_OP, 5}, {S_LITERAL_OP, 1}, {US_LITERAL_OP, 2}, {US_LITERAL_OP, 3}},
       w1 + "2 in time literal expression has the same or an higher time unit (s) than the "
            "previous one (ms)\n" +
           w1 + "4 in time literal expression has the same or an higher time unit (us) than the "
                "previous one (us)\n"},
      {"7 ps", {{FREQUENCY_OP, 7}}, ""},
      {"8 ns\t", {{NS_LITERAL_OP, 8}}, ""},
      {"9 \xC2\xB5s", {{US_LITERAL_OP, 9}}, ""},
      // The largest time64, in one group or in several.
      {"18446744073709551615 ps", {{FREQUENCY_OP, ~0ull}}, ""},
      {"18446744 s 73709551615 ps", {{S_LITERAL_OP, 18446744}, {FREQUENCY_OP, 73709551615ull}}, ""},
  };
  for (const TimeCase& c : cases) {
    SCOPED_TRACE(c.text);
    testing::internal::CaptureStdout();
    AST* sum = defExpr_makeTimeLiteral(env, c.text, kLine);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.warnings);
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(defType_evaluate(env, sum), TypeTime);
    // The sum leans left: PLUS(PLUS(g1, g2), g3).
    std::vector<AST*> groups;
    AST* cursor = sum;
    while (cursor->op == PLUS_OP) {
      EXPECT_EQ(cursor->value.id.type, TypeTime);
      groups.insert(groups.begin(), right(cursor));
      cursor = left(cursor);
    }
    groups.insert(groups.begin(), cursor);
    ASSERT_EQ(groups.size(), c.groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
      EXPECT_EQ(groups[i]->op, c.groups[i].first);
      EXPECT_EQ(groups[i]->value.uinteger, c.groups[i].second);
    }
  }
}

// A literal time64 cannot hold fails with status 185, naming the unit of the
// group that takes the sum past the largest time64 and that unit's largest count.
TEST_F(DefExpressionTest, TimeLiteralBeyondTime64Fails) {
  auto tooBig = [](const std::string& unit, const std::string& max) {
    return "too big " + unit + " unit duration value (max for " + unit + " unit is " + max + ")\n";
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"18446745 s", tooBig("second", "18446744")},
      {"18446744074 ms", tooBig("millisecond", "18446744073")},
      {"18446744073710 us", tooBig("microsecond", "18446744073709")},
      {"18446744073710 \xC2\xB5s", tooBig("microsecond", "18446744073709")},
      {"99999999999999999999 ns", tooBig("nanosecond", "18446744073709551")},
      // Beyond 64 bits before any scaling.
      {"18446744073709551616 ps", tooBig("picosecond", "18446744073709551615")},
      {"99999999999999999999999 s", tooBig("second", "18446744")},
      // Each group fits, the sum does not.
      {"18446744 s 74 ms", tooBig("millisecond", "18446744073")},
      {"18446744 s 73709551616 ps", tooBig("picosecond", "18446744073709551615")},
      {"10000000 s 10000000 s", tooBig("second", "18446744")},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    env->pctx->status = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(defExpr_makeTimeLiteral(env, text, kLine), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    // A repeated unit also warns; the failure is the last line.
    EXPECT_EQ(out.substr(out.find("[ERROR]") == std::string::npos ? 0 : out.find("[ERROR]")),
              error(message));
    EXPECT_EQ(env->pctx->status, 185);
  }
}

// --- frequency literals ------------------------------------------------------------

TEST_F(DefExpressionTest, FrequencyIsAPeriodInPicosecondsRoundedToNearest) {
  const std::vector<std::pair<const char*, u64>> cases = {
      {"1 Hz", 1000000000000ull},
      {"3Hz", 333333333333ull},
      {"1.5 Hz", 666666666667ull},
      {"1000000000000 Hz", 1ull},
      {"0.00000005421010862427523 Hz", 18446744073709549568ull},
  };
  for (const auto& [text, period] : cases) {
    SCOPED_TRACE(text);
    AST* literal = defExpr_makeFrequencyLiteral(env, text, kLine);
    ASSERT_NE(literal, nullptr);
    EXPECT_EQ(literal->op, FREQUENCY_OP);
    EXPECT_EQ(literal->value.uinteger, period);
    EXPECT_EQ(defType_evaluate(env, literal), TypeTime);
  }
}

TEST_F(DefExpressionTest, FrequencyOutsideItsRangeFails) {
  const std::string range =
      "hertz frequency out of range (5.421010862427523e-08 to 1e+12 only)\n";
  const std::vector<std::tuple<const char*, int, std::string>> cases = {
      {"0 Hz", 177, "a hertz frequency must be strictly greater than 0\n"},
      {"0.0Hz", 177, "a hertz frequency must be strictly greater than 0\n"},
      {"2000000000000 Hz", 183, range},
      {"0.00000005 Hz", 183, range},
  };
  for (const auto& [text, status, message] : cases) {
    SCOPED_TRACE(text);
    env->pctx->status = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(defExpr_makeFrequencyLiteral(env, text, kLine), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), error(message));
    EXPECT_EQ(env->pctx->status, status);
  }
}

// --- float literals ------------------------------------------------------------------

TEST_F(DefExpressionTest, FloatLiteralKeepsItsSpellingUntilGivenAWidth) {
  AST* narrow = defExpr_makeFloatLiteralNode(env, "1.5", kLine);
  AST* wide = defExpr_makeFloatLiteralNode(env, "0.1", kLine);
  EXPECT_EQ(narrow->op, FLOAT_OP);
  EXPECT_EQ(defType_evaluate(env, narrow), TypeFP);
  EXPECT_STREQ(env->pctx->numericsBuffer.data() + env->pctx->numericsIndex.back(), "0.1");
  defExpr_evalAsFloat(env, TypeF32, narrow);
  defExpr_evalAsFloat(env, TypeF64, wide);
  EXPECT_EQ(narrow->op, F32_LITERAL_OP);
  EXPECT_EQ(narrow->value.f32, 1.5f);
  EXPECT_EQ(wide->op, F64_LITERAL_OP);
  EXPECT_EQ(wide->value.f64, 0.1);
}

TEST_F(DefExpressionTest, FloatLiteralBeyondTheWidthWarns) {
  AST* literal = defExpr_makeFloatLiteralNode(env, "1e40", kLine);
  AST* variable = typedRead(TypeF32);
  testing::internal::CaptureStdout();
  u32 leftType = NO_ID, rightType = NO_ID, result = NO_ID;
  EXPECT_TRUE(defExpr_areCompatibleExps(env, variable, literal, LT_OP, &leftType, &rightType,
                                        &result));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            warning("floating point literal \"1e40\" exceeds float32 range\n"));
  EXPECT_EQ(result, TypeF32);
  EXPECT_EQ(rightType, TypeF32);
  EXPECT_EQ(literal->op, F32_LITERAL_OP);
  // The same spelling fits a float64 silently.
  AST* wide = defExpr_makeFloatLiteralNode(env, "1e40", kLine);
  testing::internal::CaptureStdout();
  defExpr_evalAsFloat(env, TypeF64, wide);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DefExpressionTest, WidthReachesOperatorsAndNegations) {
  AST* negated = defExpr_makeArithmeticOp(env, NEG_OP, defExpr_makeFloatLiteralNode(env, "1.5", kLine),
                                          nullptr);
  ASSERT_NE(negated, nullptr);
  EXPECT_EQ(negated->value.id.type, TypeFP);
  AST* sum = defExpr_makeArithmeticOp(env, PLUS_OP, negated,
                                      defExpr_makeFloatLiteralNode(env, "2.0", kLine));
  ASSERT_NE(sum, nullptr);
  u32 expressionType = NO_ID, matched = NO_ID;
  EXPECT_TRUE(defExpr_matchExpectedType(env, TypeF64, sum, &expressionType, &matched));
  EXPECT_EQ(expressionType, TypeFP);
  EXPECT_EQ(matched, TypeF64);
  EXPECT_EQ(sum->value.id.type, TypeF64);
  EXPECT_EQ(negated->value.id.type, TypeF64);
  EXPECT_EQ(left(negated)->op, F64_LITERAL_OP);
  EXPECT_EQ(right(sum)->op, F64_LITERAL_OP);
  const u32 mark = interpStack_mark(env->ienv);
  TaggedValue value = defExpr_execAndStack(nullptr, env, sum);
  ASSERT_EQ(value.typeId, TypeF64);
  EXPECT_EQ(*reinterpret_cast<double*>(value.value), 0.5);
  interpStack_release(env->ienv, mark);
}

// --- operations and chains ---------------------------------------------------------

TEST_F(DefExpressionTest, ArithmeticNodeCarriesItsOperatorType) {
  AST* sum = defExpr_makeArithmeticOp(env, PLUS_OP, integer(1), typedRead(TypeUInt16));
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum->op, PLUS_OP);
  EXPECT_EQ(sum->value.id.type, TypeUInt16);
  AST* negated = defExpr_makeArithmeticOp(env, NEG_OP, integer(1), nullptr);
  ASSERT_NE(negated, nullptr);
  EXPECT_EQ(negated->value.id.type, TypeSInt);
  EXPECT_EQ(right(negated), nullptr);
}

TEST_F(DefExpressionTest, EqualityChainSharesTheMiddleOperand) {
  AST* a = integer(1);
  AST* b = integer(2);
  AST* c = integer(3);
  AST* chain = defExpr_makeLogicalOp(env, CNE_OP, a, b);
  AST* longer = defExpr_makeMultipleEqualityExpression(env, CNE_OP, chain, c);
  ASSERT_NE(longer, nullptr);
  EXPECT_EQ(longer->op, AND_OP);
  EXPECT_EQ(left(longer), chain);
  AST* link = right(longer);
  EXPECT_EQ(link->op, CNE_OP);
  EXPECT_EQ(left(link), b);
  EXPECT_EQ(right(link), c);
  EXPECT_EQ(link->value.id.type, TypeInt);
  // A fourth operand compares with the third.
  AST* d = integer(4);
  AST* longest = defExpr_makeMultipleEqualityExpression(env, CNE_OP, longer, d);
  ASSERT_NE(longest, nullptr);
  EXPECT_EQ(left(longest), longer);
  EXPECT_EQ(left(right(longest)), c);
}

TEST_F(DefExpressionTest, EqualityChainMustKeepItsOperator) {
  AST* chain = defExpr_makeLogicalOp(env, CEQ_OP, integer(1), integer(2));
  testing::internal::CaptureStdout();
  EXPECT_EQ(defExpr_makeMultipleEqualityExpression(env, CNE_OP, chain, integer(3)), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            error("Multiple (in)equality expression must use the same operator (== or !=)\n"));
  EXPECT_EQ(env->pctx->status, 98);
}

TEST_F(DefExpressionTest, RelationalChainWarnsOnMixedDirections) {
  const std::string towardsLess =
      warning("'>' and '>=' should not be used in a '<' and '<=' multiple comparison expression\n");
  const std::string towardsGreater =
      warning("'<' and '<=' should not be used in a '>' and '>=' multiple comparison expression\n");
  const std::vector<std::tuple<u32, u32, std::string>> cases = {
      {LT_OP, CLE_OP, ""},          {CGE_OP, GT_OP, ""},
      {LT_OP, GT_OP, towardsGreater}, {CLE_OP, CGE_OP, towardsGreater},
      {GT_OP, LT_OP, towardsLess},    {CGE_OP, CLE_OP, towardsLess},
  };
  for (const auto& [first, second, expected] : cases) {
    SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second));
    AST* b = integer(2);
    AST* chain = defExpr_makeLogicalOp(env, first, integer(1), b);
    testing::internal::CaptureStdout();
    AST* result = defExpr_makeMultipleRelationalExpression(env, second, chain, integer(3));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->op, AND_OP);
    EXPECT_EQ(right(result)->op, second);
    EXPECT_EQ(left(right(result)), b);
  }
}

// --- field access ---------------------------------------------------------------------

class FieldAccessTest : public DefExpressionTest {
 protected:
  void SetUp() override {
    DefExpressionTest::SetUp();
    AST* a = defType_makeField(env, TypeUInt8, defExpr_makeSymbol(env, "a", kLine));
    AST* b = defType_makeField(env, TypeF64, defExpr_makeSymbol(env, "b", kLine));
    AST* decl = defType_declare(env, defExpr_addSymbol(env, "Pair"), TypeStructure, false,
                                AST_makeList2(p, a, b, kLine), kLine);
    pair = decl->value.id.type;
  }
  u32 pair = NO_ID;
};

TEST_F(FieldAccessTest, StructureFieldIsACallAtItsOffset) {
  AST* object = typedRead(pair);
  AST* call = defExpr_makeFieldCall(env, object, defExpr_makeSymbol(env, "b", kLine));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->op, CALL_OP);
  EXPECT_EQ(call->value.id.type, TypeF64);
  AST* code = left(call);
  ASSERT_EQ(code->op, INDEX_NODE);
  EXPECT_EQ(code->value.id.id, 4u);
  EXPECT_EQ(left(code), object);
  EXPECT_EQ(right(code)->op, INTEGER_OP);
  EXPECT_EQ(right(code)->value.uinteger, 1u);
  EXPECT_EQ(right(call), nullptr);
}

TEST_F(FieldAccessTest, UnknownStructureFieldFails) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(defExpr_makeFieldCall(env, typedRead(pair), defExpr_makeSymbol(env, "zz", kLine)),
            nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            error("Field \"zz\" do not exist in structure \"Pair\"\n"));
  EXPECT_EQ(env->pctx->status, 161);
}

TEST_F(FieldAccessTest, TypeNameObjectsGiveEnumeratorsOrBuiltinFields) {
  AST* decl = defType_declare(env, defExpr_addSymbol(env, "Color"), TypeEnum, false,
                              AST_makeList1(p, defExpr_makeSymbol(env, "RED", kLine), kLine), kLine);
  const u32 color = decl->value.id.type;
  AST* colorType = node(TYPE_OP, TypeType, node(INDEX_NODE, color));
  AST* red = defExpr_makeFieldCall(env, colorType, defExpr_makeSymbol(env, "RED", kLine));
  ASSERT_NE(red, nullptr);
  EXPECT_EQ(red->op, ENUM_VALUE_OP);
  EXPECT_EQ(red->value.id.type, color);
  EXPECT_EQ(right(red), colorType);

  parser_initBuiltinCalls(env);
  AST* byteType = node(TYPE_OP, TypeType, node(INDEX_NODE, TypeUInt8));
  AST* last = defExpr_makeFieldCall(env, byteType, defExpr_makeSymbol(env, "LAST", kLine));
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->op, CALL_OP);
  EXPECT_EQ(last->value.id.type, TypeUInt8);
  const u32 mark = interpStack_mark(env->ienv);
  TaggedValue value = defExpr_execAndStack(nullptr, env, last);
  ASSERT_EQ(value.typeId, TypeUInt8);
  EXPECT_EQ(*value.value & 0xFF, 255u);
  interpStack_release(env->ienv, mark);
}

// --- expected types and negation --------------------------------------------------------

TEST_F(DefExpressionTest, ExpectedTypeMatching) {
  struct Case {
    u32 expected;
    AST* expression;
    bool accepted;
    u32 matched;
  };
  const u32 bytes = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt8, 4);
  const u32 anyBytes = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt8, NO_ID);
  const u32 words = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt16, 4);
  const std::vector<Case> cases = {
      {TypeUInt8, integer(7), true, TypeUInt8},
      {TypeUInt8, typedRead(TypeUInt16), false, NO_ID},
      {TypeSInt32, defExpr_makeArithmeticOp(env, NEG_OP, integer(1), nullptr), true, TypeSInt32},
      {TypeUInt32, defExpr_makeArithmeticOp(env, NEG_OP, integer(1), nullptr), false, NO_ID},
      {TypeTime, typedRead(TypeTime), true, TypeTime},
      {TypeF32, defExpr_makeFloatLiteralNode(env, "2.5", kLine), true, TypeF32},
      {TypeF32, typedRead(TypeF64), false, NO_ID},
      {TypePrimitive, node(BOOLEAN_OP, 1), true, TypeBoolean},
      {TypePrimitive, typedRead(bytes), false, NO_ID},
      {TypeAny, typedRead(bytes), true, bytes},
      {TypeArray, typedRead(bytes), true, bytes},
      {TypeSizedArray, typedRead(anyBytes), false, NO_ID},
      {TypeUnsizedArray, typedRead(anyBytes), true, anyBytes},
      {anyBytes, typedRead(bytes), true, bytes},
      {anyBytes, typedRead(words), false, NO_ID},
      {TypeString, defExpr_makeStr(env, "hi", kLine), true, TypeString},
      {TypeChannel, defExpr_makeStr(env, "hi", kLine), true, TypeString},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    u32 matched = 12345;
    EXPECT_EQ(defExpr_matchExpectedType(env, cases[i].expected, cases[i].expression, nullptr,
                                        &matched),
              cases[i].accepted);
    EXPECT_EQ(matched, cases[i].matched);
  }
}

TEST_F(DefExpressionTest, UntypedFloatMatchedAgainstAnyFailsWith142) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(defExpr_matchExpectedType(
      env, TypeAny, defExpr_makeFloatLiteralNode(env, "1.0", kLine), nullptr, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            error("cannot evaluate literal floating point expression type (is it float32 or "
                  "float64 ?)\nPlease enforce float type using <float type>.as()\n"));
  EXPECT_EQ(env->pctx->status, 142);
}

TEST_F(DefExpressionTest, NegationTypes) {
  const std::vector<std::pair<u32, u32>> cases = {
      {TypeInt, TypeSInt},       {TypeSInt, TypeSInt},     {TypeUInt8, TypeSInt8},
      {TypeUInt16, TypeSInt16},  {TypeUInt32, TypeSInt32}, {TypeUInt64, TypeSInt64},
      {TypeSInt8, TypeSInt8},    {TypeSInt64, TypeSInt64}, {TypeFP, TypeFP},
      {TypeF32, TypeF32},        {TypeF64, TypeF64},       {TypeBoolean, NO_ID},
      {TypeTime, NO_ID},         {TypeString, NO_ID},
  };
  for (const auto& [type, opposite] : cases) {
    SCOPED_TRACE(type);
    u32 found = 0, negated = 0;
    EXPECT_EQ(defExpr_canBeItsOpposite(env, typedRead(type), &found, &negated), opposite != NO_ID);
    EXPECT_EQ(found, type);
    EXPECT_EQ(negated, opposite);
  }
}

// --- constness and compile-time execution -------------------------------------------------

TEST_F(DefExpressionTest, Constness) {
  EXPECT_TRUE(defExpr_isConst(env, nullptr));
  EXPECT_TRUE(defExpr_isConst(env, defExpr_makeArithmeticOp(env, PLUS_OP, integer(1), integer(2))));
  EXPECT_TRUE(defExpr_isConst(env, typedRead(TypeUInt8, GLOBAL_CONSTANT_OP)));
  EXPECT_FALSE(defExpr_isConst(env, typedRead(TypeUInt8, GLOBAL_VARIABLE_OP)));
  EXPECT_FALSE(defExpr_isConst(env, node(PLUS_OP, TypeInt, integer(1), node(IN_PARAM))));
  EXPECT_FALSE(defExpr_isConst(env, node(OUT_PARAM)));
  // The right child of a transition body is not looked at.
  EXPECT_TRUE(defExpr_isConst(env, node(TRANSITION_BODY, 0, integer(1), node(IN_PARAM))));
  EXPECT_FALSE(defExpr_isConst(env, node(TRANSITION_BODY, 0, node(IN_PARAM), integer(1))));
}

TEST_F(DefExpressionTest, AccessRights) {
  AST* constant = typedRead(TypeUInt8, GLOBAL_CONSTANT_OP);
  AST* variable = typedRead(TypeUInt8, GLOBAL_VARIABLE_OP);
  EXPECT_EQ(defExpr_getAccessRights(env, constant), kAccessReadOnly);
  EXPECT_EQ(defExpr_getAccessRights(env, variable), kAccessReadWrite);
  EXPECT_TRUE(defExpr_isReadable(env, constant));
  EXPECT_FALSE(defExpr_isWritable(env, constant));
  EXPECT_TRUE(defExpr_isWritable(env, variable));
  const u32 iterator = defType_declareIterator(env, TypeUInt8);
  EXPECT_EQ(defExpr_getAccessRights(env, typedRead(iterator)), kAccessNone);
}

TEST_F(DefExpressionTest, ExecutesConstantsOnTheInterpreterAndLeavesTheStackToTheCaller) {
  AST* product = defExpr_makeArithmeticOp(
      env, MUL_OP, defExpr_makeArithmeticOp(env, PLUS_OP, integer(2), integer(3)), integer(7));
  ASSERT_NE(product, nullptr);
  const u32 mark = interpStack_mark(env->ienv);
  TaggedValue slot{};
  TaggedValue value = defExpr_execAndStack(&slot, env, product);
  ASSERT_EQ(value.typeId, TypeInt);
  EXPECT_EQ(*value.value, 35u);
  EXPECT_EQ(slot.value, value.value);
  EXPECT_GT(interpStack_mark(env->ienv), mark);
  interpStack_release(env->ienv, mark);
  EXPECT_EQ(interpStack_mark(env->ienv), mark);
  TaggedValue time = defExpr_execAndStack(nullptr, env, defExpr_makeTimeLiteral(env, "1 s 5 ms", kLine));
  ASSERT_EQ(time.typeId, TypeTime);
  EXPECT_EQ(*time.value, 1005000000000u);
  interpStack_release(env->ienv, mark);
}

TEST_F(DefExpressionTest, WhatCannotBeComputedNowIsNotEvaluated) {
  const std::vector<AST*> refused = {
      typedRead(TypeUInt8, GLOBAL_VARIABLE_OP),
      typedRead(TypeUInt8, STATIC_VARIABLE_OP),
      defExpr_makeFloatLiteralNode(env, "1.0", kLine),
      // A call of function 0, which has no body.
      node(CALL_OP, TypeUInt8, node(INDEX_NODE, kCallFunctionRightCurrying, nullptr, node(INDEX_NODE, 0)), nullptr),
      // print is never run at compile time.
      node(CALL_OP, TypeStmt, node(INDEX_NODE, kCallPrint), nullptr),
  };
  for (size_t i = 0; i < refused.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(defExpr_canExecAtCompileTime(env, refused[i]));
    const u32 mark = interpStack_mark(env->ienv);
    TaggedValue value = defExpr_execAndStack(nullptr, env, refused[i]);
    EXPECT_EQ(value.typeId, NO_ID);
    EXPECT_EQ(value.value, nullptr);
    EXPECT_EQ(interpStack_mark(env->ienv), mark);
  }
}

// A function whose body is given: is a call of it computed at compile time?
class CompileTimeCallTest : public DefExpressionTest {
 protected:
  u32 function(AST* body) {
    const u32 id = p->infoProg->n_functions++;
    p->functionTable[id] = FunctionDefinition{NO_ID, body == nullptr ? NO_ID : AST_id(p, body)};
    return id;
  }
  AST* call(u32 functionId) {
    return node(CALL_OP, TypeUInt8, node(INDEX_NODE, kCallFunctionCustom, nullptr, node(INDEX_NODE, functionId)));
  }
};

TEST_F(CompileTimeCallTest, OnlyBodiesThatStayLocalAndTerminateRun) {
  const u32 pure = function(node(ASSIGN_OP, 0, typedRead(TypeUInt8), integer(1)));
  const u32 writesGlobal =
      function(node(ASSIGN_OP, 0, typedRead(TypeUInt8, GLOBAL_VARIABLE_OP), integer(1)));
  const u32 loops = function(node(WHILE_OP, 0, node(BOOLEAN_OP, 1), nullptr));
  const u32 prints = function(node(CALL_OP, TypeStmt, node(INDEX_NODE, kCallPrint)));
  const u32 notYetDefined = function(nullptr);
  const u32 selfCalling = function(nullptr);
  p->functionTable[selfCalling].body = AST_id(p, call(selfCalling));
  const u32 callsPure = function(call(pure));
  EXPECT_TRUE(defExpr_canExecAtCompileTime(env, call(pure)));
  EXPECT_TRUE(defExpr_canExecAtCompileTime(env, call(callsPure)));
  for (u32 refused : {writesGlobal, loops, prints, notYetDefined, selfCalling}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(defExpr_canExecAtCompileTime(env, call(refused)));
  }
  // Once defined, a function is examined again.
  p->functionTable[notYetDefined].body = AST_id(p, integer(1));
  EXPECT_TRUE(defExpr_canExecAtCompileTime(env, call(notYetDefined)));
}

// --- assignment -------------------------------------------------------------------------------

TEST_F(DefExpressionTest, AssignmentBuildsTheNode) {
  AST* target = typedRead(TypeUInt8, GLOBAL_VARIABLE_OP);
  AST* value = integer(3);
  AST* assignment = defExpr_makeAssignment(env, target, value);
  ASSERT_NE(assignment, nullptr);
  EXPECT_EQ(assignment->op, ASSIGN_OP);
  EXPECT_EQ(left(assignment), target);
  EXPECT_EQ(right(assignment), value);
}

TEST_F(DefExpressionTest, AssignmentFailures) {
  const u32 bytes = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt8, 4);
  const std::vector<std::tuple<AST*, AST*, int, std::string>> cases = {
      {typedRead(TypeUInt8, GLOBAL_CONSTANT_OP), integer(1), 153,
       "assignment left symbol is read-only mode\n"},
      {typedRead(bytes, GLOBAL_VARIABLE_OP), integer(1), 159,
       "entire assignment on buffer forbidden\n"},
      {typedRead(TypeUInt8, GLOBAL_VARIABLE_OP), node(BOOLEAN_OP, 1), 160,
       "affected value is not correct type (\"uint8\" expected, but \"bool\" found)\n"},
  };
  for (const auto& [target, value, status, message] : cases) {
    SCOPED_TRACE(status);
    env->pctx->status = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(defExpr_makeAssignment(env, target, value), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), error(message));
    EXPECT_EQ(env->pctx->status, status);
  }
}

}  // namespace
