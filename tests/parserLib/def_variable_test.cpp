// Scopes, name resolution, declarations and the storage of initial values.
#include "def_variable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "def_builtins.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "lexer_support.h"
#include "parser_data.h"
#include "velk_locals.h"

namespace {

class DefVariable : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    p = env->program;
    parser_createTree(env, 100000);
    if (p->infoProg->n_type == 0) parser_initBaseTypes(env);
    env->pctx->exitOnError = false;
    std::snprintf(env->pctx->fileName, sizeof env->pctx->fileName, "t.velk");
    env->pctx->lineno = 7;
  }
  void TearDown() override { parser_freeAll(env); }

  AST* sym(const char* name) { return defExpr_makeSymbol(env, name, 7); }
  u32 symId(const char* name) { return sym(name)->value.id.id; }
  AST* integer(u64 v) {
    return AST_makeNodeVal(p, INTEGER_OP, static_cast<u32>(v), static_cast<u32>(v >> 32), nullptr,
                           nullptr, 7);
  }
  AST* list(std::vector<AST*> elements) {
    AST* l = nullptr;
    for (AST* e : elements) l = l == nullptr ? AST_makeList1(p, e, 7) : AST_addListLast(p, l, e, 7);
    return l;
  }
  AST* init(AST* content) { return defVar_makeInitializer(env, content); }
  AST* decl(u32 code, u32 type, const char* name, AST* initializer = nullptr) {
    return defVar_makeDefinition(env, code, type, sym(name), initializer);
  }
  AST* global(u32 code, u32 type, const char* name, AST* initializer = nullptr) {
    return defVar_declareGlobal(env, decl(code, type, name, initializer));
  }
  AST* local(u32 code, u32 type, const char* name, AST* initializer = nullptr) {
    return defVar_declareLocal(env, decl(code, type, name, initializer));
  }
  u32 structure(const char* name, std::vector<std::pair<const char*, u32>> fields) {
    std::vector<AST*> nodes;
    for (auto& [field, type] : fields) nodes.push_back(defType_makeField(env, type, sym(field)));
    return defType_declare(env, symId(name), TypeStructure, false, list(nodes), 7)->value.id.type;
  }
  std::vector<DataCell> globalCells(u32 index) {
    const TaggedValue v = p->globalVariableTable[index];
    return std::vector<DataCell>(v.value, v.value + p->typeTable[v.typeId].storageSize);
  }
  std::vector<DataCell> constantCells(u32 index) {
    const TaggedValue v = p->globalConstantTable[index];
    return std::vector<DataCell>(v.value, v.value + p->typeTable[v.typeId].storageSize);
  }
  std::string captured(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
  }

  ParserEnv* env = nullptr;
  program* p = nullptr;
};

// --- Scopes and resolution ------------------------------------------------------

TEST_F(DefVariable, ShadowingWarningsComeInTheirOrder) {
  global(VARIABLE_DECL_OP, TypeUInt8, "n");
  global(CONSTANT_DECL_OP, TypeUInt8, "n", init(integer(1)));
  std::string out = captured([&] {
    local(VARIABLE_DECL_OP, TypeUInt8, "n");
    local(CONSTANT_DECL_OP, TypeUInt8, "n", init(integer(2)));
  });
  EXPECT_EQ(out,
            "[WARNING] t.velk: Line 7: variable \"n\" shadows definition of \"n\" at global scope\n"
            "[WARNING] t.velk: Line 7: constant \"n\" shadows definition of \"n\" at global scope\n"
            "[WARNING] t.velk: Line 7: variable \"n\" already defined in this scope\n"
            "[WARNING] t.velk: Line 7: variable \"n\" shadows definition of \"n\" at global scope\n"
            "[WARNING] t.velk: Line 7: constant \"n\" shadows definition of \"n\" at global scope\n");
  out = captured([&] { local(VARIABLE_DECL_OP, TypeUInt8, "n"); });
  EXPECT_EQ(out,
            "[WARNING] t.velk: Line 7: variable \"n\" already defined in this scope\n"
            "[WARNING] t.velk: Line 7: variable \"n\" shadows definition of \"n\" at global scope\n"
            "[WARNING] t.velk: Line 7: constant \"n\" already defined in this scope\n"
            "[WARNING] t.velk: Line 7: constant \"n\" shadows definition of \"n\" at global scope\n");
  EXPECT_EQ(env->pctx->status, 0);
}

TEST_F(DefVariable, GlobalConstantThenLocalVariableGivesTheConstantWarningOnly) {
  global(CONSTANT_DECL_OP, TypeUInt8, "k", init(integer(1)));
  EXPECT_EQ(captured([&] { local(VARIABLE_DECL_OP, TypeUInt8, "k"); }),
            "[WARNING] t.velk: Line 7: constant \"k\" shadows definition of \"k\" at global scope\n");
}

TEST_F(DefVariable, LocalHidesParameterOfTheSameName) {
  AST* param = AST_makeNodeVal(p, IN_PARAM, TypeUInt8, 0, sym("x"), nullptr, 7);
  defVar_declareLocal(env, param);
  EXPECT_EQ(captured([&] { local(VARIABLE_DECL_OP, TypeUInt16, "x"); }),
            "[WARNING] t.velk: Line 7: variable \"x\" already defined in this scope\n");
  AST* access = defVar_makeAccess(env, sym("x"));
  ASSERT_NE(access, nullptr);
  EXPECT_EQ(access->op, u32{LOCAL_VAR});
  EXPECT_EQ(AST_getVarId(p, access), 1u);
  EXPECT_EQ(access->value.id.type, u32{TypeUInt16});
  EXPECT_EQ(defVar_getLocalAccessRights(env, 0), kAccessReadOnly);
  EXPECT_EQ(defVar_getLocalAccessRights(env, 1), kAccessReadWrite);
}

TEST_F(DefVariable, NameResolutionOrder) {
  structure("T", {{"a", TypeUInt8}});
  AST* g = global(VARIABLE_DECL_OP, TypeUInt32, "v");
  AST* c = global(CONSTANT_DECL_OP, TypeUInt8, "c", init(integer(3)));
  struct Case {
    const char* name;
    u32 op;
    u32 id;
    AST* declaration;
  };
  for (const Case& k : {Case{"v", GLOBAL_VARIABLE_OP, 0, g}, Case{"c", GLOBAL_CONSTANT_OP, 0, c}}) {
    AST* access = defVar_makeAccess(env, sym(k.name));
    ASSERT_NE(access, nullptr) << k.name;
    EXPECT_EQ(access->op, k.op) << k.name;
    EXPECT_EQ(AST_left(p, access)->op, u32{INDEX_NODE});
    EXPECT_EQ(AST_getVarId(p, access), k.id);
    EXPECT_EQ(AST_right(p, access), k.declaration);
  }
  AST* st = nullptr;
  captured([&] { st = defVar_declareStatic(env, decl(VARIABLE_DECL_OP, TypeUInt8, "v")); });
  EXPECT_EQ(defVar_makeAccess(env, sym("v"))->op, u32{STATIC_VARIABLE_OP});
  EXPECT_EQ(AST_right(p, defVar_makeAccess(env, sym("v"))), st);
  captured([&] { local(CONSTANT_DECL_OP, TypeUInt8, "v", init(integer(1))); });
  EXPECT_EQ(defVar_makeAccess(env, sym("v"))->op, u32{LOCAL_CONSTANT_OP});
  captured([&] { local(VARIABLE_DECL_OP, TypeUInt8, "v"); });
  EXPECT_EQ(defVar_makeAccess(env, sym("v"))->op, u32{LOCAL_VAR});

  AST* type = defVar_makeAccess(env, sym("T"));
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->op, u32{TYPE_OP});
  EXPECT_EQ(type->value.id.type, u32{TypeType});
  EXPECT_EQ(AST_getTypeTypeId(p, type), u32{FIRST_USER_TYPE});
  AST* io = defVar_makeAccess(env, sym("IO"));
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->op, u32{IO_OP});
  EXPECT_EQ(io->value.id.type, u32{TypeIO});

  EXPECT_EQ(captured([&] { EXPECT_EQ(defVar_makeAccess(env, sym("nowhere")), nullptr); }),
            "[ERROR] t.velk: Line 7: undefined data identifier \"nowhere\"\n");
  EXPECT_EQ(env->pctx->status, 143);
}

// --- Declarations -------------------------------------------------------------------

TEST_F(DefVariable, NonConstantInitializersAreForLocalVariablesOnly) {
  global(VARIABLE_DECL_OP, TypeUInt8, "a");
  auto readA = [&] { return init(defVar_makeAccess(env, sym("a"))); };
  ASSERT_EQ(readA()->op, u32{GLOBAL_VARIABLE_OP});  // returned unchanged
  EXPECT_NE(local(VARIABLE_DECL_OP, TypeUInt8, "b", readA()), nullptr);
  EXPECT_EQ(env->pctx->status, 0);
  const char* message =
      "[ERROR] t.velk: Line 7: non constant initialization expression allowed for local "
      "variables only\n";
  EXPECT_EQ(captured([&] { EXPECT_EQ(global(VARIABLE_DECL_OP, TypeUInt8, "g", readA()), nullptr); }),
            message);
  EXPECT_EQ(env->pctx->status, 197);
  env->pctx->status = 0;
  EXPECT_EQ(captured([&] { EXPECT_EQ(local(CONSTANT_DECL_OP, TypeUInt8, "k", readA()), nullptr); }),
            message);
  EXPECT_EQ(env->pctx->status, 197);
  env->pctx->status = 0;
  AST* s = decl(VARIABLE_DECL_OP, TypeUInt8, "s", readA());
  EXPECT_EQ(captured([&] { EXPECT_EQ(defVar_declareStatic(env, s), nullptr); }), message);
  EXPECT_EQ(env->pctx->status, 197);
}

TEST_F(DefVariable, BraceListWithAVariableIsRejected) {
  global(VARIABLE_DECL_OP, TypeUInt8, "a");
  AST* elements = list({integer(1), defVar_makeAccess(env, sym("a"))});
  EXPECT_EQ(captured([&] { EXPECT_EQ(init(elements), nullptr); }),
            "[ERROR] t.velk: Line 7: variables forbidden in array/structure initializer\n");
  EXPECT_EQ(env->pctx->status, 190);
}

TEST_F(DefVariable, ConstantInitializerIsWrappedWithAPlaceholder) {
  AST* wrapped = init(integer(4));
  ASSERT_EQ(wrapped->op, u32{INITIALIZER_OP});
  EXPECT_EQ(AST_getInitializerId(p, wrapped), NO_ID);
  EXPECT_EQ(AST_left(p, wrapped)->op, u32{INTEGER_OP});
  EXPECT_EQ(AST_right(p, wrapped)->op, u32{TYPE_OP});
  EXPECT_EQ(init(nullptr)->op, u32{INITIALIZER_OP});
}

TEST_F(DefVariable, StaticDeclarationsAreRecodedAndFoundFirstDeclaredFirst) {
  AST* a = defVar_declareStatic(env, decl(VARIABLE_DECL_OP, TypeUInt8, "s"));
  const u32 arrayType = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt8, 2);
  AST* bufferName = list({sym("b"), integer(2)});
  AST* b = defVar_declareStatic(
      env, defVar_makeDefinition(env, VARIABLE_BUFFER_DECL_OP, arrayType, bufferName, nullptr));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->op, u32{STATIC_VARIABLE_DECL_OP});
  EXPECT_EQ(b->op, u32{STATIC_VARIABLE_BUFFER_DECL_OP});
  captured([&] { defVar_declareStatic(env, decl(VARIABLE_DECL_OP, TypeUInt16, "s")); });
  EXPECT_EQ(defVar_lookupStatic(env, symId("s")), 0u);
  EXPECT_EQ(defVar_lookupStatic(env, symId("b")), 1u);
  defVar_clearStatics(env);
  EXPECT_EQ(defVar_lookupStatic(env, symId("s")), NO_ID);
}

TEST_F(DefVariable, ClearLocalsPopsOnePerDeclaration) {
  AST* v1 = local(VARIABLE_DECL_OP, TypeUInt8, "x");
  AST* outer = list({v1});
  AST* v2 = nullptr;
  captured([&] { v2 = local(VARIABLE_DECL_OP, TypeUInt8, "x"); });
  AST* k = local(CONSTANT_DECL_OP, TypeUInt8, "k", init(integer(9)));
  EXPECT_EQ(env->ienv->ctx->localVarsIndexes.count.constants, 1u);
  EXPECT_EQ(LocalConstant_reference(env->ienv, 0).value[0], 9u);
  defVar_clearLocals(env, list({v2, k}));
  EXPECT_EQ(env->ienv->ctx->localVarsIndexes.count.constants, 0u);
  EXPECT_EQ(defVar_lookupLocal(env, symId("x")), 0u);
  EXPECT_EQ(defVar_lookupLocalConstant(env, symId("k")), NO_ID);
  defVar_clearLocals(env, outer);
  EXPECT_EQ(defVar_localCount(env), 0u);
}

TEST_F(DefVariable, ImplicitVariables) {
  structure("Process_Instance", {{"id", TypeUInt32}});
  AST* self = defVar_makeAndDeclareProcessInstanceData(env);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->op, u32{IMPLICIT_VARIABLE_DECL});
  AST* block = defVar_makeAndDeclareNamedBlockDefinition(env, sym("blk"));
  AST* st = defVar_makeAndDeclareStateDefinition(env, sym("idle"));
  EXPECT_EQ(block->value.id.type, u32{TypeNamedBlock});
  EXPECT_EQ(st->value.id.type, u32{TypeState});
  EXPECT_EQ(defVar_makeAccess(env, sym("idle"))->op, u32{LOCAL_VAR});
  AST* sub = defVar_makeAndDeclareSubProcessInstanceData(env, sym("child"));
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->op, u32{STATIC_VARIABLE_DECL_OP});
  EXPECT_EQ(defVar_makeAccess(env, sym("child"))->op, u32{STATIC_VARIABLE_OP});
  defVar_clearLocals(env, list({block, st}));
  defVar_clearProcessLocalImplicitVariables(env);
  EXPECT_EQ(defVar_localCount(env), 0u);
}

TEST_F(DefVariable, ConstantAccessesAreReadOnlyStorage) {
  global(CONSTANT_DECL_OP, TypeUInt8, "c", init(integer(3)));
  global(VARIABLE_DECL_OP, TypeUInt8, "v");
  EXPECT_TRUE(defVar_isConst(env, defVar_makeAccess(env, sym("c"))));
  EXPECT_TRUE(defVar_isConst(env, defVar_makeAccess(env, sym("uint8"))));
  EXPECT_FALSE(defVar_isConst(env, defVar_makeAccess(env, sym("v"))));
  EXPECT_FALSE(defVar_isConst(env, defVar_makeAccess(env, sym("IO"))));
}

// --- Cell layout ----------------------------------------------------------------------

TEST_F(DefVariable, ArrayOfStructuresHoldingQueuesGetsHeadersEverywhere) {
  const u32 queue = defType_declareBuffer(env, QUEUE_BUFFER, TypeUInt8, 1);
  const u32 rec = structure("R", {{"q", queue}});
  const u32 array = defType_declareBuffer(env, ARRAY_BUFFER, rec, 2);
  defVar_declareGlobal(env, defVar_makeDefinition(env, VARIABLE_BUFFER_DECL_OP, array,
                                                  list({sym("a"), integer(2)}), nullptr));
  GlobalAndStaticVariables_init(env);
  EXPECT_EQ(globalCells(0), (std::vector<DataCell>{2, 2, 0, 0, 2, 2, 0, 0}));
}

TEST_F(DefVariable, ScalarsKeepTheirOwnWidth) {
  AST* minusOne = defExpr_makeArithmeticOp(env, NEG_OP, integer(1), nullptr);
  global(CONSTANT_DECL_OP, TypeSInt8, "m8", init(minusOne));
  global(CONSTANT_DECL_OP, TypeSInt64, "m64",
         init(defExpr_makeArithmeticOp(env, NEG_OP, integer(1), nullptr)));
  captured([&] {  // braces around a scalar: a warning of the initializer check
    global(CONSTANT_DECL_OP, TypeBoolean, "b", init(list({AST_makeBooleanNode(p, true, 7)})));
  });
  global(CONSTANT_DECL_OP, TypeTime, "t", init(defExpr_makeTimeLiteral(env, "2 us", 7)));
  ASSERT_EQ(env->pctx->status, 0);
  EXPECT_EQ(constantCells(0), (std::vector<DataCell>{0xFF}));
  EXPECT_EQ(constantCells(1), (std::vector<DataCell>{~DataCell{0}}));
  EXPECT_EQ(constantCells(2), (std::vector<DataCell>{1}));
  EXPECT_EQ(constantCells(3), (std::vector<DataCell>{2000000}));
}

TEST_F(DefVariable, StringLiteralsInUint8Arrays) {
  const u32 sized = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt8, 4);
  AST* d = defVar_makeDefinition(env, CONSTANT_ARRAY_DECL_OP, sized, list({sym("s"), integer(4)}),
                                 init(defExpr_makeStr(env, "ab", 7)));
  ASSERT_NE(defVar_declareGlobal(env, d), nullptr);
  EXPECT_EQ(constantCells(0), (std::vector<DataCell>{'a', 'b', 0, 0}));

  const u32 unsized = defType_declareBuffer(env, ARRAY_BUFFER, TypeUInt8, NO_ID);
  AST* text = init(defExpr_makeStr(env, "xyz", 7));
  ASSERT_NE(defVar_prepareInitializer(env, text, unsized), nullptr);
  const DataCell* cells = p->constantDataTable + AST_getInitializerId(p, text);
  EXPECT_EQ(std::vector<DataCell>(cells, cells + 4), (std::vector<DataCell>{'x', 'y', 'z', 0}));
  EXPECT_EQ(AST_getInitializerId(p, text) + 4, p->infoProg->size_constantData);
}

TEST_F(DefVariable, GrowingTablesKeepValuesOnTheirCells) {
  // A local constant lives in the interpreter's table and must follow too.
  local(CONSTANT_DECL_OP, TypeUInt64, "early", init(integer(777)));
  const u32 count = 300;  // beyond the initial capacity of every table involved
  for (u32 i = 0; i < count; ++i) {
    const std::string name = "k" + std::to_string(i);
    global(CONSTANT_DECL_OP, TypeUInt64, name.c_str(), init(integer(1000 + i)));
    const std::string var = "v" + std::to_string(i);
    global(VARIABLE_DECL_OP, TypeUInt64, var.c_str(), init(integer(5000 + i)));
  }
  ASSERT_EQ(env->pctx->status, 0);
  GlobalAndStaticVariables_init(env);
  ASSERT_EQ(p->infoProg->n_globalConstants, count);
  for (u32 i = 0; i < count; ++i) {
    ASSERT_EQ(*p->globalConstantTable[i].value, 1000 + i) << i;
    ASSERT_EQ(p->globalVariableTable[i].value, p->globalVariableDataInitTable + i);
    ASSERT_EQ(*p->globalVariableTable[i].value, 5000 + i) << i;
    ASSERT_EQ(p->globalVariableTable[i].globalId, i);
  }
  EXPECT_EQ(*LocalConstant_reference(env->ienv, 0).value, 777u);
  EXPECT_EQ(defVar_lookupGlobal(env, symId("v299")), 299u);
  EXPECT_EQ(defVar_lookupGlobalConstant(env, symId("k150")), 150u);
}

TEST_F(DefVariable, ConstantReadsAnEarlierConstant) {
  global(CONSTANT_DECL_OP, TypeUInt32, "base", init(integer(40)));
  AST* sum = defExpr_makeArithmeticOp(env, PLUS_OP, defVar_makeAccess(env, sym("base")), integer(2));
  global(CONSTANT_DECL_OP, TypeUInt32, "answer", init(sum));
  local(CONSTANT_DECL_OP, TypeUInt32, "inner", init(integer(1)));
  AST* more = defExpr_makeArithmeticOp(env, PLUS_OP, defVar_makeAccess(env, sym("inner")),
                                       defVar_makeAccess(env, sym("answer")));
  AST* k = local(CONSTANT_DECL_OP, TypeUInt32, "more", init(more));
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(constantCells(1), (std::vector<DataCell>{42}));
  EXPECT_EQ(p->constantDataTable[AST_getDeclInitId(p, k)], 43u);
}

}  // namespace

// --- From source text -------------------------------------------------------------------

namespace {

class DefVariableSource : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    parser_createTree(env, 200000);
    p = env->program;
    if (p->infoProg->n_type == 0) {  // trees made without the builtin declarations
      parser_initBaseTypes(env);
      parser_initBuiltinCalls(env);
      defStmt_initPostSymbols(env);
    }
    env->pctx->exitOnError = false;
    std::strcpy(env->pctx->fileName, "v.velk");
  }
  void TearDown() override { parser_freeAll(env); }

  int parse(const std::string& text) {
    testing::internal::CaptureStdout();
    const int result = lexer_parseString(env, text.c_str());
    output = testing::internal::GetCapturedStdout();
    return result;
  }
  // Cells of the global variable named name, after the storage layout.
  std::vector<DataCell> cellsOf(const char* name) {
    const u32 index = defVar_lookupGlobal(env, defExpr_lookupForSymbol(env, name));
    if (index == NO_ID || p->globalVariableTable[index].value == nullptr) return {};
    const TaggedValue v = p->globalVariableTable[index];
    return std::vector<DataCell>(v.value, v.value + p->typeTable[v.typeId].storageSize);
  }

  ParserEnv* env = nullptr;
  program* p = nullptr;
  std::string output;
};

TEST_F(DefVariableSource, InitialValuesOfEveryKindOfType) {
  ASSERT_EQ(parse("var uint16: a[4] = {1, 2};\n"
                  "var queue<uint8>: q[3];\n"
                  "var stack<uint8>: s[3];\n"
                  "var stack<uint8>: full[3] = {4, 5, 6};\n"
                  "struct R { uint8: x; queue<uint16>: inner[2]; time64: t; };\n"
                  "var R: r = {7, {1}, 10 ms};\n"
                  "const uint8: three = 3;\n"
                  "var uint8: derived = three + 1;\n"
                  "var queue<uint8>: text[4] = \"ab\";\n"
                  "var stack<uint8>: pile[4] = \"ab\";\n"
                  "var float32: f = 1.5;\n"
                  "enum Colour { red, green };\n"
                  "var Colour: c = Colour.green;\n"),
            0)
      << output;
  ASSERT_EQ(env->pctx->status, 0) << output;
  GlobalAndStaticVariables_init(env);
  EXPECT_EQ(cellsOf("a"), (std::vector<DataCell>{1, 2, 0, 0}));
  EXPECT_EQ(cellsOf("q"), (std::vector<DataCell>{2, 2, 0, 0, 0, 0}));
  EXPECT_EQ(cellsOf("s"), (std::vector<DataCell>{2, 1, 0, 0, 0, 0}));
  EXPECT_EQ(cellsOf("full"), (std::vector<DataCell>{5, 4, 4, 5, 6, 0}));
  EXPECT_EQ(cellsOf("r"), (std::vector<DataCell>{7, 3, 2, 1, 0, 0, 10000000000ull}));
  EXPECT_EQ(cellsOf("derived"), (std::vector<DataCell>{4}));
  EXPECT_EQ(cellsOf("text"), (std::vector<DataCell>{4, 2, 'a', 'b', 0, 0, 0}));
  EXPECT_EQ(cellsOf("pile"), (std::vector<DataCell>{4, 3, 'a', 'b', 0, 0, 0}));
  EXPECT_EQ(cellsOf("f"), (std::vector<DataCell>{0x3FC00000}));
  EXPECT_EQ(cellsOf("c"), (std::vector<DataCell>{defExpr_lookupForSymbol(env, "green")}));
}

TEST_F(DefVariableSource, FailuresWithTheirMessages) {
  struct Case {
    const char* source;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"var uint8: a;\nvar uint8: b = a;\n", 197,
       "[ERROR] v.velk: Line 2: non constant initialization expression allowed for local "
       "variables only\n"},
      {"var uint8: x = nowhere;\n", 143,
       "[ERROR] v.velk: Line 1: undefined data identifier \"nowhere\"\n"},
      {"var uint8: a;\nvar uint8: b[2] = {1, a};\n", 190,
       "[ERROR] v.velk: Line 2: variables forbidden in array/structure initializer\n"},
      {"f() {\n var uint8: a[2];\n a = a;\n}\n", 159,
       "[ERROR] v.velk: Line 3: entire assignment on buffer forbidden\n"},
  };
  for (const Case& c : cases) {
    TearDown();  // a fresh compiler for each source
    SetUp();
    env->pctx->exitOnError = true;  // the compiler stops at the first error
    EXPECT_EXIT(
        {
          std::freopen("/dev/null", "w", stdout);
          lexer_parseString(env, c.source);
          std::exit(0);
        },
        ::testing::ExitedWithCode(c.status), "")
        << c.source;
    env->pctx->exitOnError = false;
    parse(c.source);
    EXPECT_EQ(output.rfind(c.message, 0), 0u) << c.source << output;
  }
}

TEST_F(DefVariableSource, ValueNotComputableAtCompileTimeIsNotConstant) {
  // g has no body yet, h reads a global: neither runs while compiling, so
  // their results are not constants (and no global is touched).
  const char* sources[] = {"g(out uint8: r);\nconst uint8: k = g();\n",
                           "var uint8: gl = 5;\nh(out uint8: r) { r = gl; }\nvar uint8: k = h();\n"};
  for (const char* source : sources) {
    TearDown();  // a fresh compiler for each source
    SetUp();
    parse(source);
    EXPECT_EQ(env->pctx->status, 197) << source;
    EXPECT_NE(output.find("non constant initialization expression allowed for local variables "
                          "only\n"),
              std::string::npos)
        << output;
  }
  TearDown();
  SetUp();
  ASSERT_EQ(parse("g(out uint8: r);\nf() { var uint8: k = g(); }\n"), 0);
  EXPECT_EQ(env->pctx->status, 0) << output;
}

TEST_F(DefVariableSource, StaticsOfEachInstanceAreContiguous) {
  // What processes need of the system library.
  defType_declare(env, defExpr_lookupOrAddSymbol(env, "Process_State"), TypeEnum, false, nullptr, 1);
  AST* fields = AST_makeList1(
      p, defType_makeField(env, TypeTime, defExpr_makeSymbol(env, "period", 1)), 1);
  defType_declare(env, defExpr_lookupOrAddSymbol(env, "Process_Instance"), TypeStructure, false,
                  fields, 1);
  ASSERT_EQ(parse("processdef P() {\n"
                  "  static var uint8: x = 3;\n"
                  "  static var queue<uint8>: q[1];\n"
                  "  var uint8: local = x;\n"
                  "  state s { }\n"
                  "}\n"
                  "process P: first();\n"
                  "process P: second();\n"),
            0);
  ASSERT_EQ(env->pctx->status, 0) << output;
  parser_allocate_process_instances(env, p->root);
  GlobalAndStaticVariables_init(env);
  ASSERT_EQ(p->infoProg->n_processStaticVariables, 4u);
  EXPECT_EQ(std::vector<DataCell>(p->processStaticVariableDataInitTable,
                                  p->processStaticVariableDataInitTable + 10),
            (std::vector<DataCell>{3, 2, 2, 0, 0, 3, 2, 2, 0, 0}));
  EXPECT_EQ(p->processStaticVariableTable[2].value, p->processStaticVariableDataInitTable + 5);
  EXPECT_EQ(cellsOf("second"), (std::vector<DataCell>{0}));
  EXPECT_EQ(defVar_staticCount(env), 0u);
  EXPECT_EQ(defVar_localCount(env), 0u);
}

TEST_F(DefVariableSource, LocalsMayUseAnyInitializerAndWarnWhenTheyShadow) {
  ASSERT_EQ(parse("const uint8: k = 3;\n"
                  "f(in uint8: x) {\n"
                  "  var uint16: x;\n"
                  "  var uint8: k = 1;\n"
                  "  var uint8: y = k;\n"
                  "}\n"),
            0)
      << output;
  EXPECT_EQ(output,
            "[WARNING] v.velk: Line 3: variable \"x\" already defined in this scope\n"
            "[WARNING] v.velk: Line 4: constant \"k\" shadows definition of \"k\" at global "
            "scope\n");
  EXPECT_EQ(defVar_localCount(env), 0u);  // the scopes were closed with the function
}

TEST_F(DefVariableSource, AShadowingBufferWarnsOnce) {
  ASSERT_EQ(parse("var uint8: q;\n"
                  "f() {\n"
                  "  var queue<uint8>: q[2];\n"
                  "}\n"),
            0)
      << output;
  EXPECT_EQ(output,
            "[WARNING] v.velk: Line 3: variable \"q\" shadows definition of \"q\" at global "
            "scope\n");
}

}  // namespace
