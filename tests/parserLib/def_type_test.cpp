// Types of the compiler: base type layout, declarations, buffer and iterator
// types, the operator typing rules with their failures, initializer checks.
#include "def_type.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "def_expression.h"
#include "parser_data.h"
#include "velk_typing.h"

namespace {

class DefTypeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    p = env->program;
    parser_createTree(env, 400000);
    env->pctx->exitOnError = false;
    // The tree comes with its base types once the driver declares them there.
    if (p->infoProg->n_type == 0) parser_initBaseTypes(env);
  }
  void TearDown() override { parser_freeAll(env); }

  AST* node(u32 op, u64 value = 0, AST* left = nullptr, AST* right = nullptr) {
    return AST_makeNodeVal(p, op, static_cast<u32>(value), static_cast<u32>(value >> 32), left,
                           right, 7);
  }
  AST* integer(u64 v) { return node(INTEGER_OP, v); }
  AST* negated(u64 v) { return node(NEG_OP, TypeSInt, integer(v)); }
  AST* floatLiteral(const char* spelling) {
    return defExpr_makeFloatLiteralNode(env, spelling, 7);
  }
  // A read of a global of the given type (only its type matters here).
  AST* var(u32 typeId) { return node(GLOBAL_VARIABLE_OP, typeId, node(INDEX_NODE, 0)); }
  AST* binary(u32 op, AST* l, AST* r) { return node(op, NO_ID, l, r); }
  AST* list(std::initializer_list<AST*> elements) {
    AST* head = nullptr;
    for (AST* e : elements) {
      if (head == nullptr) {
        head = AST_makeList1(p, e, 7);
      } else {
        AST_addListLast(p, head, e, 7);
      }
    }
    return head;
  }
  u32 sym(const char* name) { return defExpr_lookupOrAddSymbol(env, name); }
  AST* symNode(const char* name) { return node(SYM, sym(name)); }

  u32 structType(const char* name, std::initializer_list<std::pair<const char*, u32>> fields) {
    AST* fieldList = nullptr;
    for (auto [fieldName, fieldType] : fields) {
      AST* f = defType_makeField(env, fieldType, symNode(fieldName));
      fieldList = fieldList == nullptr ? AST_makeList1(p, f, 7) : AST_addListLast(p, fieldList, f, 7);
    }
    return defType_declare(env, sym(name), TypeStructure, false, fieldList, 7)->value.id.type;
  }

  // Runs fn and returns its standard output.
  std::string output(const std::function<void()>& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
  }

  // fn must report exactly one error with this status, ending with message.
  void expectFailure(int status, const std::string& message, const std::function<void()>& fn) {
    env->pctx->status = 0;
    std::string out = output(fn);
    EXPECT_EQ(env->pctx->status, status) << out;
    size_t error = out.find("[ERROR]");
    ASSERT_NE(error, std::string::npos) << out;
    ASSERT_GE(out.size(), message.size()) << out;
    EXPECT_EQ(out.substr(out.size() - message.size()), message) << out;
    EXPECT_EQ(out.find("[ERROR]", error + 1), std::string::npos) << "more than one report: " << out;
  }

  u32 evaluateQuietly(AST* e) {
    u32 t = NO_ID;
    std::string out = output([&] { t = defType_evaluate(env, e); });
    EXPECT_EQ(out, "");
    return t;
  }

  std::string name(u32 typeId) { return Type_getName(p, typeId); }

  ParserEnv* env = nullptr;
  program* p = nullptr;
};

TEST_F(DefTypeTest, BaseTypeLayout) {
  struct Expected {
    const char* name;
    u32 base, size, storage, kind;
  };
  // Primitives fill one cell; Named_Block and State carry their time account;
  // the string type is an unsized channel of uint8.
  const Expected expected[] = {
      {"Natural", 0, 0, 1, 0},          {"Signed_Integer", 1, 0, 1, 0},
      {"uint8", 2, 0, 1, 0},            {"int8", 3, 0, 1, 0},
      {"uint16", 4, 0, 1, 0},           {"int16", 5, 0, 1, 0},
      {"uint32", 6, 0, 1, 0},           {"int32", 7, 0, 1, 0},
      {"uint64", 8, 0, 1, 0},           {"int64", 9, 0, 1, 0},
      {"time64", 10, 0, 1, 0},          {"bool", 11, 0, 1, 0},
      {"Float", 12, 0, 1, 0},           {"float32", 13, 0, 1, 0},
      {"float64", 14, 0, 1, 0},         {"Primitive", 15, 0, 0, 0},
      {"Statement", 16, 0, 0, 0},       {"Named_Block", 21, 3, 3, 0},
      {"State", 21, 3, 3, 0},           {"Iterator", 19, 0, 0, 0},
      {"Type", 20, 0, 0, 0},            {"Structure", 21, 0, 0, 0},
      {"Enumeration", 21, 0, 0, 0},     {"<void>", 23, 0, 0, 0},
      {"Any", 24, 0, 0, 0},             {"<input/output>", 25, 0, 0, 0},
      {"uint8[]", 2, NO_ID, 0, 5},      {"Array", 27, 0, 0, 0},
      {"<sized array>", 28, 0, 0, 0},   {"<unsized array>", 29, 0, 0, 0},
      {"Channel", 30, 0, 0, 0},         {"<sized channel>", 31, 0, 0, 0},
      {"<unsized channel>", 32, 0, 0, 0}, {"<base>", 33, 0, 0, 0},
  };
  ASSERT_GE(p->infoProg->n_type, u32{FIRST_USER_TYPE});
  for (u32 id = 0; id < FIRST_USER_TYPE; ++id) {
    SCOPED_TRACE(id);
    const TypeDefinition& t = p->typeTable[id];
    const Expected& e = expected[id];
    EXPECT_EQ(name(id), e.name);
    EXPECT_EQ(t.baseType, e.base);
    EXPECT_EQ(t.size, e.size);
    EXPECT_EQ(t.storageSize, e.storage);
    EXPECT_EQ(t.bufferType, e.kind);
    EXPECT_EQ(t.fields == NO_ID, e.size != 3);
  }
  for (u32 id : {u32{TypeNamedBlock}, u32{TypeState}}) {
    AST* fields = AST_fromId(p, p->typeTable[id].fields);
    const char* names[] = {"execution_time", "wcet", "bcet"};
    ASSERT_EQ(AST_listSize(p, fields), 3u);
    for (u32 i = 0; i < 3; ++i) {
      AST* f = AST_getListNth(p, fields, i);
      EXPECT_EQ(f->op, u32{FIELD_STATEMENT});
      EXPECT_EQ(f->value.id.type, u32{TypeTime});
      EXPECT_STREQ(Symbol_getName(p, AST_left(p, f)->value.id.id), names[i]);
    }
  }
  // The first external definitions: one TYPE_DECLARATION per base type, in id order.
  AST* cell = AST_left(p, p->root);
  for (u32 id = 0; id < FIRST_USER_TYPE; ++id, cell = AST_right(p, cell)) {
    ASSERT_NE(cell, nullptr);
    AST* declaration = AST_left(p, cell);
    EXPECT_EQ(declaration->op, u32{TYPE_DECLARATION});
    EXPECT_EQ(declaration->value.id.type, id);
    EXPECT_EQ(AST_left(p, declaration)->value.id.id, p->dbg->typeSymbolId[id]);
  }
  EXPECT_EQ(defType_lookup(env, sym("float32")), u32{TypeF32});
  EXPECT_EQ(defType_lookup(env, sym("no_such_type")), NO_ID);
}

TEST_F(DefTypeTest, StructuresAndEnumerations) {
  u32 q = defType_getBuffer(env, QUEUE_BUFFER, TypeUInt8, integer(4));
  u32 s = structType("Pair", {{"a", TypeUInt8}, {"q", q}, {"t", TypeTime}});
  EXPECT_EQ(p->typeTable[s].baseType, u32{TypeStructure});
  EXPECT_EQ(p->typeTable[s].size, 3u);
  EXPECT_EQ(p->typeTable[s].storageSize, 1u + 7u + 1u);
  EXPECT_EQ(defType_lookup(env, sym("Pair")), s);

  // Enumerators given as names become FIELD_STATEMENT nodes of the type.
  AST* declaration = defType_declare(env, sym("Color"), TypeEnum, false,
                                     list({symNode("red"), symNode("green")}), 3);
  u32 color = declaration->value.id.type;
  EXPECT_EQ(AST_line(p, declaration), 3u);
  EXPECT_EQ(p->typeTable[color].storageSize, 1u);
  EXPECT_TRUE(defType_isEnumType(env, color));
  EXPECT_FALSE(defType_isEnumType(env, TypeEnum));
  defType_add_enum(env, color, symNode("blue"));
  defType_add_enum(env, color, symNode("red"));  // already there
  AST* fields = AST_fromId(p, p->typeTable[color].fields);
  ASSERT_EQ(AST_listSize(p, fields), 3u);
  for (u32 i = 0; i < 3; ++i) {
    EXPECT_EQ(AST_getListNth(p, fields, i)->op, u32{FIELD_STATEMENT});
    EXPECT_EQ(AST_getListNth(p, fields, i)->value.id.type, color);
  }
  EXPECT_STREQ(Symbol_getName(p, AST_left(p, AST_getListNth(p, fields, 2))->value.id.id), "blue");

  // An enumeration without enumerators gets its first one.
  u32 empty = defType_declare(env, sym("Empty"), TypeEnum, false, nullptr, 1)->value.id.type;
  defType_add_enum(env, empty, symNode("only"));
  defType_add_enum(env, empty, symNode("only"));
  EXPECT_EQ(AST_listSize(p, AST_fromId(p, p->typeTable[empty].fields)), 1u);

  AST* typeNode = node(TYPE_OP, TypeType, node(INDEX_NODE, color));
  AST* value = defType_makeEnumFieldCall(env, typeNode, sym("green"));
  EXPECT_EQ(value->op, u32{ENUM_VALUE_OP});
  EXPECT_EQ(value->value.id.type, color);
  EXPECT_EQ(AST_left(p, value)->op, u32{SYM});
  EXPECT_EQ(AST_left(p, value)->value.id.id, sym("green"));
  EXPECT_EQ(AST_right(p, value), typeNode);
  EXPECT_EQ(evaluateQuietly(value), color);
}

TEST_F(DefTypeTest, ChannelFieldIsRejected) {
  u32 channel = defType_getBuffer(env, CHANNEL_BUFFER, TypeUInt8, integer(4));
  expectFailure(125, "abstract buffer type \"channel\" not allowed in structure declaration\n",
                [&] { EXPECT_EQ(defType_makeField(env, channel, symNode("c")), nullptr); });
  AST* field = defType_makeField(env, TypeUInt16, symNode("d"));
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->value.id.type, u32{TypeUInt16});
  EXPECT_EQ(AST_left(p, field)->value.id.id, sym("d"));
}

TEST_F(DefTypeTest, BufferTypesAreNamedAsWrittenAndReused) {
  struct Case {
    u32 kind;
    u32 element;
    u64 size;
    const char* name;
    u32 storage;
  };
  const Case cases[] = {
      {ARRAY_BUFFER, TypeUInt8, 3, "uint8[3]", 3},
      {ARRAY_BUFFER, TypeUInt8, 4294967295u, "uint8[]", 0},
      {QUEUE_BUFFER, TypeUInt8, 4, "queue<uint8>[4]", 7},
      {STACK_BUFFER, TypeSInt32, 2, "stack<int32>[2]", 5},
      {CHANNEL_BUFFER, TypeSInt32, 4294967295u, "channel<int32>", 0},
      {CHANNEL_BUFFER, TypeUInt8, 8, "channel<uint8>[8]", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    u32 id = defType_getBuffer(env, c.kind, c.element, integer(c.size));
    ASSERT_NE(id, NO_ID);
    EXPECT_GE(id, u32{FIRST_USER_TYPE});
    EXPECT_EQ(name(id), c.name);
    EXPECT_EQ(p->typeTable[id].storageSize, c.storage);
    EXPECT_EQ(p->typeTable[id].baseType, c.element);
    EXPECT_EQ(p->typeTable[id].size, c.size == 4294967295u ? NO_ID : static_cast<u32>(c.size));
    u32 count = p->infoProg->n_type;
    EXPECT_EQ(defType_getBuffer(env, c.kind, c.element, integer(c.size)), id);
    EXPECT_EQ(p->infoProg->n_type, count);
  }
  // The unsized uint8 channel is the string type itself.
  EXPECT_EQ(defType_getBuffer(env, CHANNEL_BUFFER, TypeUInt8, integer(4294967295u)),
            u32{TypeString});
  // A constant expression as size, and an array of structures.
  u32 s = structType("Three", {{"a", TypeUInt8}, {"b", TypeUInt8}, {"c", TypeUInt8}});
  u32 id = defType_getBuffer(env, ARRAY_BUFFER, s, node(PLUS_OP, TypeInt, integer(2), integer(3)));
  EXPECT_EQ(name(id), "Three[5]");
  EXPECT_EQ(p->typeTable[id].storageSize, 15u);
  EXPECT_EQ(defType_searchBuffer(env, ARRAY_BUFFER, s, 5), id);
  EXPECT_EQ(defType_searchBuffer(env, ARRAY_BUFFER, s, 6), NO_ID);
}

TEST_F(DefTypeTest, BufferSizeFailures) {
  expectFailure(127, "buffer size must be greater than zero\n",
                [&] { EXPECT_EQ(defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(0)), NO_ID); });
  expectFailure(149, "array size can not exceed uint32.LAST (4294967295)\n", [&] {
    EXPECT_EQ(defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(4294967296u)), NO_ID);
  });
  expectFailure(128,
                "wrong type \"Signed_Integer\" as array size (positive integer expected)\n",
                [&] { defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, negated(1)); });
  expectFailure(128, "wrong type \"bool\" as array size (positive integer expected)\n", [&] {
    defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, AST_makeBooleanNode(p, true, 7));
  });
  expectFailure(128, "wrong type \"float32\" as array size (positive integer expected)\n",
                [&] { defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, node(F32_LITERAL_OP, 0)); });
  expectFailure(158, "array size must be a constant expression\n",
                [&] { defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, var(TypeUInt32)); });
  // A size whose cells do not fit in 32 bits cannot be laid out.
  u32 big = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt64, integer(3000000000u));
  expectFailure(149, "array size can not exceed uint32.LAST (4294967295)\n",
                [&] { defType_getBuffer(env, ARRAY_BUFFER, big, integer(2)); });
}

TEST_F(DefTypeTest, IteratorTypes) {
  u32 array = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(3));
  EXPECT_EQ(defType_searchIterator(env, array), NO_ID);
  u32 it = defType_declareIterator(env, array);
  EXPECT_EQ(name(it), "iterator<uint8[3]>");
  EXPECT_EQ(p->typeTable[it].baseType, array);
  EXPECT_EQ(p->typeTable[it].storageSize, 3u);
  EXPECT_EQ(p->typeTable[it].size, 0u);
  EXPECT_EQ(p->typeTable[it].bufferType, u32{NONE_BUFFER});
  EXPECT_TRUE(defType_isIterator(env, it));
  EXPECT_FALSE(defType_isIterator(env, array));
  EXPECT_EQ(defType_searchIterator(env, array), it);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "iterator<uint8[3]>"), p->dbg->typeSymbolId[it]);
}

TEST_F(DefTypeTest, ResultantTypes) {
  const u32 N = TypeInt, S = TypeSInt, U8 = TypeUInt8, I8 = TypeSInt8, U16 = TypeUInt16,
            U64 = TypeUInt64, I64 = TypeSInt64, T = TypeTime, B = TypeBoolean, F = TypeFP,
            F32 = TypeF32, F64 = TypeF64, X = NO_ID;
  struct Case {
    u32 op, left, right, result;
  };
  const Case cases[] = {
      {PLUS_OP, U8, U8, U8},     {PLUS_OP, N, U16, U16},   {PLUS_OP, U16, N, U16},
      {PLUS_OP, S, I8, I8},      {PLUS_OP, I64, S, I64},   {PLUS_OP, S, U16, X},
      {PLUS_OP, U8, U16, X},     {PLUS_OP, U8, I8, X},     {PLUS_OP, N, S, S},
      {PLUS_OP, T, T, T},        {PLUS_OP, T, U64, X},     {PLUS_OP, B, B, B},
      {PLUS_OP, F, F32, F32},    {PLUS_OP, F64, F, F64},   {PLUS_OP, F32, F64, X},
      {PLUS_OP, F, F, F},        {DIV_OP, T, T, U64},      {DIV_OP, T, U64, T},
      {DIV_OP, T, N, T},         {DIV_OP, T, U8, X},       {DIV_OP, U64, T, X},
      {MUL_OP, T, T, X},         {MUL_OP, T, N, T},        {MUL_OP, U64, T, T},
      {MUL_OP, S, T, X},         {MOD_OP, T, T, T},        {PLUS_OP, X, U8, X},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(defType_resultantType(env, c.op, c.left, c.right), c.result)
        << "op " << c.op << " " << c.left << " " << c.right;
  }
}

TEST_F(DefTypeTest, OperationOperatorType) {
  u32 color = defType_declare(env, sym("Color"), TypeEnum, false, nullptr, 1)->value.id.type;
  EXPECT_EQ(defType_deduceOperationOperatorType(env, NEG_OP, integer(1), nullptr), u32{TypeSInt});
  EXPECT_EQ(defType_deduceOperationOperatorType(env, NOT_OP, var(TypeBoolean), nullptr),
            u32{TypeBoolean});
  EXPECT_EQ(defType_deduceOperationOperatorType(env, PLUS_OP, var(TypeUInt8), integer(1)),
            u32{TypeUInt8});
  EXPECT_EQ(defType_deduceOperationOperatorType(env, BIT_LSHIFT_OP, var(TypeSInt8),
                                                var(TypeUInt32)),
            u32{TypeSInt8});
  EXPECT_EQ(defType_deduceOperationOperatorType(env, CEQ_OP, var(color), var(color)),
            u32{TypeUInt32});
  EXPECT_EQ(defType_deduceOperationOperatorType(env, PLUS_OP, var(TypeUInt8), var(color)), NO_ID);
}

TEST_F(DefTypeTest, InferenceOfAcceptedOperations) {
  u32 color = defType_declare(env, sym("Color"), TypeEnum, false, nullptr, 1)->value.id.type;
  struct Case {
    const char* what;
    AST* expression;
    u32 type;
  };
  const Case cases[] = {
      {"uint16 + 1", binary(PLUS_OP, var(TypeUInt16), integer(1)), TypeUInt16},
      {"t / 2", binary(DIV_OP, var(TypeTime), integer(2)), TypeTime},
      {"t / t", binary(DIV_OP, var(TypeTime), var(TypeTime)), TypeUInt64},
      {"f32 < f32", binary(LT_OP, var(TypeF32), var(TypeF32)), TypeBoolean},
      {"1.5 < f64", binary(LT_OP, floatLiteral("1.5"), var(TypeF64)), TypeBoolean},
      {"enum == enum", binary(CEQ_OP, var(color), var(color)), TypeBoolean},
      {"t % t", binary(MOD_OP, var(TypeTime), var(TypeTime)), TypeTime},
      {"b and b", binary(AND_OP, var(TypeBoolean), var(TypeBoolean)), TypeBoolean},
      {"not b", node(NOT_OP, TypeBoolean, var(TypeBoolean)), TypeBoolean},
      {"~u8", node(BIT_NOT_OP, TypeUInt8, var(TypeUInt8)), TypeUInt8},
      {"u16 & 3", binary(BIT_AND_OP, var(TypeUInt16), integer(3)), TypeUInt16},
      {"i8 << 2", binary(BIT_LSHIFT_OP, var(TypeSInt8), integer(2)), TypeSInt8},
      {"-u8", node(NEG_OP, TypeSInt8, var(TypeUInt8)), TypeSInt8},
      {"-1", negated(1), TypeSInt},
      {"1.5 + 2.5", binary(PLUS_OP, floatLiteral("1.5"), floatLiteral("2.5")), TypeFP},
      {"string", defExpr_makeStr(env, "ab", 7), TypeString},
      {"time", node(MS_LITERAL_OP, 5), TypeTime},
      {"frequency", node(FREQUENCY_OP, 5), TypeTime},
      {"bool", AST_makeBooleanNode(p, false, 7), TypeBoolean},
      {"f64 literal", node(F64_LITERAL_OP, 0), TypeF64},
      {"cast", node(CAST_OP, TypeUInt16, var(TypeUInt8)), TypeUInt16},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluateQuietly(c.expression), c.type) << c.what;
  }
  // Indexing an array gives its element type.
  u32 array = defType_getBuffer(env, ARRAY_BUFFER, TypeSInt16, integer(3));
  EXPECT_EQ(evaluateQuietly(binary(ARRAY_INDEX_OP, var(array), integer(0))), u32{TypeSInt16});
  // A braced single value has the type of its element, with a warning.
  std::string out = output([&] {
    EXPECT_EQ(defType_evaluate(env, list({var(TypeUInt32)})), u32{TypeUInt32});
  });
  EXPECT_NE(out.find("[WARNING]"), std::string::npos);
  EXPECT_NE(out.find("braces around initializer\n"), std::string::npos);
  // A braced untyped float literal takes the width of the variable.
  AST* literal = floatLiteral("0.25");
  output([&] { EXPECT_NE(defType_checkInitializer(env, list({literal}), TypeF32), nullptr); });
  EXPECT_EQ(literal->op, u32{F32_LITERAL_OP});
  // An initializer has the type recorded on its right child.
  AST* init = node(INITIALIZER_OP, NO_ID, integer(1), node(TYPE_OP, NO_ID));
  ASSERT_EQ(defType_checkInitializer(env, init, TypeUInt8), init);
  EXPECT_EQ(evaluateQuietly(init), u32{TypeUInt8});
}

TEST_F(DefTypeTest, OperatorFailures) {
  struct Case {
    int status;
    const char* message;
    std::function<AST*()> expression;
  };
  const Case cases[] = {
      {112, "only bool type allowed in logical comparison expression (uint8 and bool found)\n",
       [&] { return binary(AND_OP, var(TypeUInt8), var(TypeBoolean)); }},
      {113, "only bool type allowed in logical negation expression (uint8 found)\n",
       [&] { return node(NOT_OP, TypeBoolean, var(TypeUInt8)); }},
      {130, "only same integer types allowed in bitwise operation (uint8 and uint16 found)\n",
       [&] { return binary(BIT_OR_OP, var(TypeUInt8), var(TypeUInt16)); }},
      {130,
       "only integer types and unsigned shift operand allowed in bitwise shift operation (uint8 "
       "and int8 found)\n",
       [&] { return binary(BIT_RSHIFT_OP, var(TypeUInt8), var(TypeSInt8)); }},
      {130, "only integer types allowed in bitwise operation (bool found)\n",
       [&] { return node(BIT_NOT_OP, TypeBoolean, var(TypeBoolean)); }},
      {106,
       "only same integer or time64 or bool or same enum types allowed in equality comparisons "
       "(float32 and float32 found)\n",
       [&] { return binary(CEQ_OP, var(TypeF32), var(TypeF32)); }},
      {103,
       "only same integer or float32 or float64 or time64 types allowed in comparisons (bool and "
       "bool found)\n",
       [&] { return binary(LT_OP, var(TypeBoolean), var(TypeBoolean)); }},
      {142,
       "cannot evaluate literal floating point expression type (is it float32 or float64 ?)\n"
       "Please enforce float type using <float type>.as()\n",
       [&] { return binary(GT_OP, floatLiteral("1.5"), floatLiteral("2.5")); }},
      {110,
       "only same integer or float32 or float64 or time64 types allowed in additions and "
       "subtractions (uint16 and Signed_Integer found)\n",
       [&] { return binary(PLUS_OP, var(TypeUInt16), negated(1)); }},
      {148,
       "only same integer or float32 or float64 type allowed in multiplications or divisions "
       "(uint8 and uint16 found)\n",
       [&] { return binary(MUL_OP, var(TypeUInt8), var(TypeUInt16)); }},
      {196,
       "the only two possible division operations involving time64 are:\n"
       "    time64 / uint64 = time64\n    time64 / time64 = uint64\n",
       [&] { return binary(DIV_OP, integer(2), var(TypeTime)); }},
      {195, "a time64 value can only be multiplied by a uint64 value\n",
       [&] { return binary(MUL_OP, var(TypeTime), var(TypeTime)); }},
      {195, "a time64 value can only be multiplied by a uint64 value\n",
       [&] { return binary(MUL_OP, var(TypeTime), var(TypeUInt32)); }},
      {1101,
       "only integer or time64 types allowed in modulo operations (float32 and float32 found)\n",
       [&] { return binary(MOD_OP, var(TypeF32), var(TypeF32)); }},
      {120,
       "can not generate the opposite of this bool type value (integer or float32 or float64 "
       "type expected)\n",
       [&] { return node(NEG_OP, TypeBoolean, var(TypeBoolean)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    AST* e = c.expression();
    expectFailure(c.status, c.message, [&] { EXPECT_EQ(defType_evaluate(env, e), NO_ID); });
  }
}

TEST_F(DefTypeTest, EqualityFailureIsReportedAtTheComparisonLine) {
  AST* e = AST_makeNodeVal(p, CEQ_OP, 0, 0, var(TypeF64), var(TypeF64), 42);
  std::string out = output([&] { defType_evaluate(env, e); });
  EXPECT_NE(out.find("Line 42:"), std::string::npos) << out;
}

TEST_F(DefTypeTest, FailedOperandsAreNotReportedTwice) {
  AST* inner = binary(PLUS_OP, var(TypeBoolean), var(TypeUInt8));
  AST* outer = binary(PLUS_OP, inner, var(TypeUInt8));
  expectFailure(110,
                "only same integer or float32 or float64 or time64 types allowed in additions and "
                "subtractions (bool and uint8 found)\n",
                [&] { EXPECT_EQ(defType_evaluate(env, outer), NO_ID); });
}

TEST_F(DefTypeTest, LongChainsAreTypedOnce) {
  // Each operator is typed when it is built; typing its parent must not walk
  // the whole chain again (that would be quadratic and as deep as the chain).
  AST* chain = var(TypeUInt32);
  for (int i = 0; i < 100000; ++i) {
    chain = defExpr_makeArithmeticOp(env, PLUS_OP, chain, integer(1));
    ASSERT_NE(chain, nullptr);
  }
  EXPECT_EQ(evaluateQuietly(chain), u32{TypeUInt32});
  EXPECT_EQ(chain->value.id.type, u32{TypeUInt32});
}

TEST_F(DefTypeTest, FieldAccessRightsOfBaseTypes) {
  struct Case {
    u32 type;
    const char* field;
    bool found;
    u32 rights;
  };
  const Case cases[] = {
      {TypeUInt8, "max", true, 1},          {TypeF64, "anything", true, 1},
      {TypeNamedBlock, "wcet", true, 3},    {TypeState, "execution_time", true, 3},
      {TypeState, "bcet", true, 3},         {TypeState, "period", false, 0},
      {TypeStructure, "wcet", false, 0},    {TypeString, "size", false, 0},
  };
  for (const Case& c : cases) {
    u32 rights = 99;
    EXPECT_EQ(defType_getBaseTypeFieldAccessRights(env, c.type, sym(c.field), &rights), c.found)
        << c.type << "." << c.field;
    EXPECT_EQ(rights, c.rights) << c.type << "." << c.field;
  }
}

TEST_F(DefTypeTest, AbstractTypes) {
  u32 color = defType_declare(env, sym("Color"), TypeEnum, false, nullptr, 1)->value.id.type;
  u32 sized = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(3));
  u32 unsized = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(4294967295u));
  u32 queue = defType_getBuffer(env, QUEUE_BUFFER, TypeUInt8, integer(3));
  u32 channel = defType_getBuffer(env, CHANNEL_BUFFER, TypeSInt8, integer(4294967295u));
  struct Case {
    u32 abstract, candidate;
    bool accepted;
  };
  const Case cases[] = {
      {TypePrimitive, TypeF32, true},         {TypePrimitive, color, false},
      {TypeEnum, color, true},                {TypeEnum, TypeUInt8, false},
      {TypeAny, sized, true},                 {TypeAny, TypePrimitive, false},
      {TypeAny, TypeAny, false},              {TypeArray, sized, true},
      {TypeArray, unsized, true},             {TypeArray, queue, false},
      {TypeUnsizedArray, unsized, true},      {TypeUnsizedArray, sized, false},
      {TypeSizedArray, sized, true},          {TypeSizedArray, unsized, false},
      {TypeChannel, queue, true},             {TypeChannel, channel, true},
      {TypeChannel, TypeString, true},        {TypeChannel, sized, false},
      {TypeSizedChannel, queue, true},        {TypeSizedChannel, channel, false},
      {TypeUnsizedChannel, channel, true},    {TypeUnsizedChannel, queue, false},
      {TypeUInt8, TypeUInt8, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(defType_isDerivedType(env, c.abstract, c.candidate), c.accepted)
        << c.abstract << " " << c.candidate;
  }
  EXPECT_TRUE(defType_isUnsizedArray(env, unsized));
  EXPECT_TRUE(defType_isSizedArray(env, sized));
  EXPECT_TRUE(defType_isUnsizedChannel(env, TypeString));
  EXPECT_FALSE(defType_isUnsizedChannel(env, queue));
  EXPECT_FALSE(defType_isChannel(env, NO_ID));
}

TEST_F(DefTypeTest, Classifications) {
  for (u32 t = 0; t < FIRST_USER_TYPE; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(defType_isQuantity(env, t), t <= TypeF64 && t != TypeBoolean);
    EXPECT_EQ(defType_isUnsignedInteger(env, t), t == 2 || t == 4 || t == 6 || t == 8);
    EXPECT_EQ(velk_isSignedInteger(env, t), t == 1 || t == 3 || t == 5 || t == 7 || t == 9);
  }
}

TEST_F(DefTypeTest, FunctionStyleCast) {
  expectFailure(214, "cast function accepts only 1 argument\n", [&] {
    EXPECT_EQ(defType_makeCast(env, TypeUInt8, list({integer(1), integer(2)})), nullptr);
  });
  expectFailure(214, "cast function accepts only 1 argument\n",
                [&] { EXPECT_EQ(defType_makeCast(env, TypeUInt8, nullptr), nullptr); });
  expectFailure(142,
                "cannot evaluate literal floating point expression type (is it float32 or float64 "
                "?)\nPlease enforce float type using <float type>.as()\n",
                [&] { EXPECT_EQ(defType_makeCast(env, TypeUInt8, list({floatLiteral("2.5")})), nullptr); });
  AST* argument = var(TypeUInt32);
  AST* cast = nullptr;
  std::string out = output([&] { cast = defType_makeCast(env, TypeUInt8, list({argument})); });
  EXPECT_NE(out.find("\"uint8()\" is deprecated, please use \"uint8.cast()\" instead"),
            std::string::npos)
      << out;
  ASSERT_NE(cast, nullptr);
  EXPECT_EQ(cast->op, u32{CAST_OP});
  EXPECT_EQ(cast->value.id.type, u32{TypeUInt8});
  EXPECT_EQ(AST_left(p, cast), argument);
}

TEST_F(DefTypeTest, ArrayInitializers) {
  u32 bytes = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(3));
  u32 words = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt16, integer(3));
  EXPECT_NE(defType_checkInitializer(env, defExpr_makeStr(env, "ab", 7), bytes), nullptr);
  env->pctx->status = 0;
  EXPECT_EQ(output([&] { defType_checkInitializer(env, nullptr, bytes); }), "");
  EXPECT_EQ(env->pctx->status, 0) << "no initializer content is accepted for a buffer";
  EXPECT_NE(defType_checkInitializer(env, list({integer(1), integer(2)}), words), nullptr);
  expectFailure(179, "array \"uint8[3]\" initializer needs at most 3 elements but 4 found\n", [&] {
    EXPECT_EQ(defType_checkInitializer(env, defExpr_makeStr(env, "abc", 7), bytes), nullptr);
  });
  expectFailure(179, "string initializer is only valid for uint8 array\n", [&] {
    defType_checkInitializer(env, defExpr_makeStr(env, "a", 7), words);
  });
  expectFailure(179, "array \"uint16[3]\" initializer needs 3 elements but 4 found\n", [&] {
    defType_checkInitializer(env, list({integer(1), integer(2), integer(3), integer(4)}), words);
  });
  expectFailure(179, "wrong initializer type : expected  uint16[3] but uint8[3] found\n",
                [&] { defType_checkInitializer(env, var(bytes), words); });
  expectFailure(133, "wrong initializer type \"bool\" (\"uint16\" type expected)\n", [&] {
    defType_checkInitializer(env, list({integer(1), AST_makeBooleanNode(p, true, 7)}), words);
  });
}

TEST_F(DefTypeTest, ScalarAndStructureInitializers) {
  u32 pair = structType("Pair", {{"a", TypeUInt8}, {"b", TypeBoolean}});
  AST* good = node(INITIALIZER_OP, NO_ID, list({integer(1), AST_makeBooleanNode(p, true, 7)}),
                   node(TYPE_OP, NO_ID));
  EXPECT_EQ(defType_checkInitializer(env, good, pair), good);
  EXPECT_EQ(AST_right(p, good)->value.id.type, pair);
  EXPECT_NE(defType_checkInitializer(env, var(pair), pair), nullptr);
  EXPECT_NE(defType_checkInitializer(env, integer(200), TypeUInt8), nullptr);
  std::string out = output(
      [&] { EXPECT_NE(defType_checkInitializer(env, list({integer(2)}), TypeUInt8), nullptr); });
  EXPECT_NE(out.find("braces around initializer\n"), std::string::npos);

  expectFailure(157, "structure \"Pair\" initializer needs 2 elements but 1 found\n",
                [&] { EXPECT_EQ(defType_checkInitializer(env, list({integer(1)}), pair), nullptr); });
  expectFailure(157, "initializer type mismatch : Pair expected but uint8 found\n",
                [&] { defType_checkInitializer(env, var(TypeUInt8), pair); });
  expectFailure(157, "initializer can not be empty \n",
                [&] { defType_checkInitializer(env, nullptr, TypeUInt8); });
  expectFailure(157, "excess elements in initializer\n",
                [&] { defType_checkInitializer(env, list({integer(1), integer(2)}), TypeUInt8); });
  expectFailure(133, "wrong initializer type \"bool\" (\"uint8\" type expected)\n", [&] {
    defType_checkInitializer(env, AST_makeBooleanNode(p, true, 7), TypeUInt8);
  });
  expectFailure(133, "wrong initializer type \"Signed_Integer\" (\"uint8\" type expected)\n",
                [&] { defType_checkInitializer(env, negated(1), TypeUInt8); });
}

TEST_F(DefTypeTest, IntegerConversionFlags) {
  u64 cell = 300;
  TaggedValue natural{&cell, TypeInt, NO_ID};
  EXPECT_EQ(defType_testIntegerConversion(natural, TypeUInt8), CONV_OVERFLOW);
  EXPECT_EQ(defType_testIntegerConversion(natural, TypeUInt16) & CONV_SAFE_2COMPL,
            defType_testIntegerConversion(natural, TypeUInt16));
  u64 minusOne = static_cast<u64>(-1);
  TaggedValue negative{&minusOne, TypeSInt, NO_ID};
  EXPECT_NE(defType_testIntegerConversion(negative, TypeUInt8) & (CONV_NEG_TO_UNSIGNED), 0u);
  EXPECT_NE(defType_testIntegerConversion(negative, TypeSInt64) & CONV_SAFE_2COMPL, 0u);
  EXPECT_EQ(defType_testIntegerConversion(negative, TypeInt), CONV_NEG_TO_WIDER_UNSIGNED);
  EXPECT_EQ(defType_testIntegerConversion(negative, TypeUInt64), CONV_NEG_TO_WIDER_UNSIGNED);
}

}  // namespace
