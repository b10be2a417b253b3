#include "def_builtins.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "ast.h"
#include "call_codes.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "def_variable.h"
#include "lexer_support.h"
#include "parser_data.h"
#include "parser_error.h"

namespace {

class Builtins : public testing::Test {
 protected:
  void SetUp() override {
    warningsAsErrors = false;
    env = parser_initTables();
    parser_createTree(env, 100000);
    // The tree may come with the base types and builtins already declared.
    if (p()->infoProg->n_type == 0) parser_initBaseTypes(env);
    parser_initBuiltinCalls(env);
    env->pctx->exitOnError = false;
    std::strcpy(env->pctx->fileName, "t.velk");
    std::strcpy(env->pctx->lineText, "  assert(x == 1);");
    env->pctx->lineno = 7;
  }
  void TearDown() override { parser_freeAll(env); }

  program* p() { return env->program; }
  AST* sym(const char* name) { return defExpr_makeSymbol(env, name, 7); }
  AST* typeName(const char* name) { return defVar_makeAccess(env, sym(name)); }
  AST* natural(u64 v) {
    return AST_makeNodeVal(p(), INTEGER_OP, static_cast<u32>(v), static_cast<u32>(v >> 32),
                           nullptr, nullptr, 7);
  }
  AST* boolean(bool b) { return AST_makeBooleanNode(p(), b, 7); }
  AST* str(const char* text) { return defExpr_makeStr(env, text, 7); }
  AST* list(std::initializer_list<AST*> elements) {
    AST* result = nullptr;
    for (AST* e : elements) {
      result = result == nullptr ? AST_makeList1(p(), e, 7) : AST_addListLast(p(), result, e, 7);
    }
    return result;
  }
  AST* global(const char* name, u32 type) {
    defVar_declareGlobal(env, defVar_makeDefinition(env, VARIABLE_DECL_OP, type, sym(name), nullptr));
    return defVar_makeAccess(env, sym(name));
  }
  u32 bufferType(u32 kind, u32 element, u32 size) {
    const u32 found = defType_searchBuffer(env, kind, element, size);
    return found != NO_ID ? found : defType_declareBuffer(env, kind, element, size);
  }
  AST* buffer(const char* name, u32 kind, u32 element, u32 size) {
    AST* decl = defBuff_makeDefinition(env, bufferType(kind, element, size), sym(name),
                                       natural(size), nullptr, false);
    defVar_declareGlobal(env, decl);
    return defVar_makeAccess(env, sym(name));
  }
  u32 enumType(const char* name) {
    AST* values = list({sym("RED"), sym("GREEN")});
    return defType_declare(env, sym(name)->value.id.id, TypeEnum, false, values, 7)->value.id.type;
  }
  u32 structType(const char* name) {
    AST* fields = list({defType_makeField(env, TypeUInt8, sym("a"))});
    return defType_declare(env, sym(name)->value.id.id, TypeStructure, false, fields, 7)
        ->value.id.type;
  }
  AST* method(AST* object, const char* name, AST* args) {
    return builtinMtd_makeCall(env, object, sym(name), args);
  }
  AST* function(const char* name, AST* args) { return make_function_call(env, sym(name), args); }
  // Runs f and returns what it printed.
  std::string output(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  static std::string error(const std::string& message) {
    return "[ERROR] t.velk: Line 7: " + message;
  }
  static std::string deprecated(const char* token, const char* replacement) {
    return std::string("[WARNING] t.velk: Line 7: \"") + token + "\" is deprecated, please use \"" +
           replacement + "\" instead\n";
  }
  u32 code(AST* call) { return AST_getCallCode(p(), call); }
  std::string name(u32 type) { return Type_getName(p(), type); }

  ParserEnv* env = nullptr;
};

// --- Tables -----------------------------------------------------------------

TEST_F(Builtins, CodesSharedByEntriesResolveToTheFirstNonDeprecatedOne) {
  struct Case {
    u32 code;
    CallProtoKind kind;
    const char* name;
  } cases[] = {
      {13, CallProtoKind::Field, "max_size"},  // maxSize and max_size methods are deprecated
      {21, CallProtoKind::Method, "time"},     // time() is deprecated, time64.time() is not
      {44, CallProtoKind::Method, "remove_current"},
      {30, CallProtoKind::Method, "print"},
      {29, CallProtoKind::Function, "choice_uniform"},  // only deprecated carriers: the first
      {66, CallProtoKind::Field, "FIRST"},
  };
  for (const Case& c : cases) {
    AST* call = AST_makeNodeVal(p(), CALL_OP, TypeStmt, 0,
                                AST_makeNodeVal(p(), INDEX_NODE, c.code, 0, nullptr, nullptr, 7),
                                nullptr, 7);
    EXPECT_EQ(retrieveCallProto(env, call).kind, c.kind) << c.code;
    EXPECT_STREQ(Symbol_getName(p(), defCall_getSymId(env, call)), c.name) << c.code;
  }
}

TEST_F(Builtins, BuiltinFunctionNamesAreKnown) {
  for (const char* n : {"seed", "time", "rand_uniform", "choice_uniform", "print", "println",
                        "sleep", "assert", "exit", "syncIO", "rand_gauss", "rand_exponential"}) {
    EXPECT_TRUE(defFunc_isBuiltin(env, defExpr_lookupForSymbol(env, n))) << n;
  }
  EXPECT_FALSE(defFunc_isBuiltin(env, sym("max")->value.id.id));
}

// --- Signatures ---------------------------------------------------------------

TEST_F(Builtins, VariadicSignaturesNeedTheirFixedArguments) {
  // uint8.max is T, T...: at least two arguments.
  EXPECT_EQ(method(typeName("uint8"), "max", list({natural(1), natural(2), natural(3)}))
                ->value.id.type,
            TypeUInt8);
  std::string out = output([&] { EXPECT_EQ(method(typeName("uint8"), "max", list({natural(1)})), nullptr); });
  EXPECT_EQ(out, error("invalid argument(s) for \"max\" static operation of type \"uint8\"\n"
                       "    available signatures are:\nuint8(uint8, uint8...)\n"));
  EXPECT_EQ(env->pctx->status, 182);
}

TEST_F(Builtins, MatchedCallsCarryCodeObjectAndRealResultType) {
  AST* q = buffer("q", QUEUE_BUFFER, TypeSInt16, 4);
  AST* pop = method(q, "pop", nullptr);
  ASSERT_NE(pop, nullptr);
  EXPECT_EQ(pop->value.id.type, TypeSInt16);
  EXPECT_EQ(AST_getCallObj(p(), pop), q);

  AST* max = method(typeName("int32"), "max", list({natural(1), natural(2)}));
  EXPECT_EQ(max->value.id.type, TypeSInt32);
  AST* cast = method(typeName("uint16"), "cast", list({boolean(true)}));
  EXPECT_EQ(cast->value.id.type, TypeUInt16);
  AST* abs = method(typeName("uint8"), "abs", list({global("s8", TypeSInt8)}));
  EXPECT_EQ(abs->value.id.type, TypeUInt8);
  EXPECT_EQ(method(typeName("int8"), "as", list({natural(3)}))->value.id.type, TypeSInt8);
  EXPECT_EQ(env->pctx->status, 0);
}

TEST_F(Builtins, ElementMarkersFollowArraysChannelsAndIterators) {
  AST* a = buffer("a", ARRAY_BUFFER, TypeUInt16, 4);
  AST* call = nullptr;
  output([&] { call = function("choice_uniform", list({a})); });  // deprecated spelling
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->value.id.type, TypeUInt16);
  EXPECT_EQ(method(a, "choice_uniform", nullptr)->value.id.type, TypeUInt16);

  defIter_makeDeclaration(env, sym("it"), a);
  AST* it = defVar_makeAccess(env, sym("it"));
  AST* current = builtinFld_makeCall(env, it, sym("current"));
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->value.id.type, TypeUInt16);
  EXPECT_EQ(defCall_getAccessRights(env, current), defExpr_getAccessRights(env, a));
  EXPECT_EQ(env->pctx->status, 0);
}

TEST_F(Builtins, SignatureListsReplaceMarkersByTheObjectTypes) {
  const u32 q = bufferType(QUEUE_BUFFER, TypeUInt8, 4);
  // IO.println, then Channel.push (element marker), then float32.rand_pareto.
  EXPECT_EQ(allocAllSntrDesc(env, CallProtoKind::Method, 39, TypeIO),
            "Statement()\nStatement(Any)\nStatement(Any, Any...)\n");
  EXPECT_EQ(allocAllSntrDesc(env, CallProtoKind::Method, 50, q), "Statement(uint8)\n");
  EXPECT_EQ(allocAllSntrDesc(env, CallProtoKind::Method, 75, TypeF32),
            "float32(float32)\nfloat32(float32, float32)\n");
}

TEST_F(Builtins, ArgumentCountsAgainstSignatures) {
  // uint8.print (entry 40) needs at least three arguments.
  AST* a = buffer("a", ARRAY_BUFFER, TypeUInt8, 8);
  EXPECT_FALSE(areArgsMatchingSntr(env, list({a, str("x")}), CallProtoKind::Method, 40, 0, TypeUInt8));
  EXPECT_TRUE(areArgsMatchingSntr(env, list({a, str("%d"), natural(1)}), CallProtoKind::Method, 40, 0, TypeUInt8));
  EXPECT_TRUE(areArgsMatchingSntr(env, list({a, str("%d%d"), natural(1), natural(2)}),
                                  CallProtoKind::Method, 40, 0, TypeUInt8));
  // seed: () then (uint32).
  EXPECT_TRUE(areArgsMatchingSntr(env, nullptr, CallProtoKind::Function, 0, 0, TypeVoid));
  EXPECT_FALSE(areArgsMatchingSntr(env, list({natural(1)}), CallProtoKind::Function, 0, 0, TypeVoid));
  EXPECT_TRUE(areArgsMatchingSntr(env, list({natural(1)}), CallProtoKind::Function, 0, 1, TypeVoid));
  EXPECT_FALSE(areArgsMatchingSntr(env, nullptr, CallProtoKind::Function, 0, 1, TypeVoid));
}

// --- Unknown operations and argument mismatches -----------------------------------

TEST_F(Builtins, UnknownOperationsNameTheObjectType) {
  AST* q = buffer("q", QUEUE_BUFFER, TypeUInt8, 4);
  const std::string qName = name(q->value.id.type);
  EXPECT_EQ(output([&] { EXPECT_EQ(method(q, "shuffle", nullptr), nullptr); }),
            error("unknown operation \"shuffle\" for type \"" + qName + "\"\n"));
  EXPECT_EQ(env->pctx->status, 181);
  EXPECT_EQ(output([&] { EXPECT_EQ(method(typeName("uint8"), "shuffle", nullptr), nullptr); }),
            error("unknown static operation \"shuffle\" for type \"uint8\"\n"));
  EXPECT_EQ(output([&] { EXPECT_EQ(builtinFld_makeCall(env, q, sym("size")), nullptr); }),
            error("unknown field \"size\" for type \"" + qName + "\"\n"));
  EXPECT_EQ(output([&] { EXPECT_EQ(builtinFld_makeCall(env, typeName("bool"), sym("FIRST")), nullptr); }),
            error("unknown static field \"FIRST\" for type \"bool\"\n"));
  EXPECT_EQ(output([&] { EXPECT_EQ(builtinFunc_makeCall(env, sym("frobnicate"), nullptr), nullptr); }),
            error("unknown operation \"frobnicate\"\n"));
}

TEST_F(Builtins, FunctionArgumentMismatchListsEverySignature) {
  EXPECT_EQ(output([&] { EXPECT_EQ(function("seed", list({boolean(true)})), nullptr); }),
            error("invalid argument(s) for \"seed\" operation\n    available signatures are:\n"
                  "uint32()\nuint32(uint32)\n"));
  EXPECT_EQ(env->pctx->status, 182);
  EXPECT_EQ(output([&] { EXPECT_EQ(method(typeName("float32"), "pow", list({global("x", TypeF32)})), nullptr); }),
            error("invalid argument(s) for \"pow\" static operation of type \"float32\"\n"
                  "    available signatures are:\nfloat32(float32, float32)\n"));
}

// --- Deprecation -------------------------------------------------------------------

TEST_F(Builtins, DeprecatedSpellingsWarnWithTheirReplacement) {
  AST* q = buffer("q", QUEUE_BUFFER, TypeUInt8, 4);
  AST* call = nullptr;
  EXPECT_EQ(output([&] { call = method(q, "maxSize", nullptr); }),
            deprecated("maxSize", "<channel>.max_size"));
  EXPECT_EQ(call->value.id.type, TypeUInt32);
  EXPECT_EQ(output([&] { call = method(q, "max_size", nullptr); }),
            deprecated("max_size", "<channel>.max_size"));
  EXPECT_EQ(output([&] { call = builtinFld_makeCall(env, q, sym("max_size")); }), "");
  EXPECT_EQ(output([&] { call = method(q, "isEmpty", nullptr); }),
            deprecated("isEmpty", "<channel>.is_empty()"));
  EXPECT_EQ(output([&] { call = method(q, "lastPeek", nullptr); }),
            deprecated("lastPeek", "<channel>.last_peek()"));
  EXPECT_EQ(output([&] { call = function("time", nullptr); }),
            deprecated("time", "time64.time()"));
  EXPECT_EQ(call->value.id.type, TypeTime);
  EXPECT_EQ(output([&] { call = function("syncIO", nullptr); }), deprecated("syncIO", "IO.sync()"));
  EXPECT_EQ(output([&] { call = function("rand_gauss", list({global("m", TypeF32), global("s", TypeF32)})); }),
            deprecated("rand_gauss", "float32.rand_gauss()"));
  EXPECT_EQ(output([&] { call = function("println", list({str("hi")})); }),
            deprecated("println", "IO.println()"));
  EXPECT_EQ(env->pctx->status, 0);
}

// --- Check callbacks ---------------------------------------------------------------

TEST_F(Builtins, AssertAndExitReceiveTheirSourcePosition) {
  AST* call = function("assert", list({boolean(true)}));
  ASSERT_NE(call, nullptr);
  AST* args = AST_getCallArgs(p(), call);
  ASSERT_EQ(AST_listSize(p(), args), 4u);
  AST* file = AST_getListNth(p(), args, 1);
  AST* line = AST_getListNth(p(), args, 2);
  AST* text = AST_getListNth(p(), args, 3);
  EXPECT_EQ(file->op, LABEL_STRING_OP);
  EXPECT_STREQ(p()->stringTable + p()->stringTableIndex[file->value.id.string], "t.velk");
  EXPECT_EQ(line->op, INTEGER_OP);
  EXPECT_EQ(line->value.uinteger, 7u);
  EXPECT_EQ(text->op, LABEL_STRING_OP);
  EXPECT_STREQ(p()->stringTable + p()->stringTableIndex[text->value.id.string], "  assert(x == 1);");

  call = function("exit", list({natural(3)}));
  args = AST_getCallArgs(p(), call);
  ASSERT_EQ(AST_listSize(p(), args), 2u);
  EXPECT_EQ(AST_getListNth(p(), args, 1)->op, INTEGER_OP);
  EXPECT_EQ(AST_getListNth(p(), args, 1)->value.uinteger, 7u);
}

TEST_F(Builtins, ChoiceUniformOfATypeNeedsAnEnumeration) {
  const u32 color = enumType("Color");
  AST* call = nullptr;
  EXPECT_EQ(output([&] { call = function("choice_uniform", list({typeName("Color")})); }),
            deprecated("choice_uniform", ".choice_uniform()"));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->value.id.type, color);
  structType("Point");
  std::string out;
  out = output([&] { EXPECT_EQ(function("choice_uniform", list({typeName("Point")})), nullptr); });
  EXPECT_EQ(out.substr(out.find("[ERROR]")),
            error("choice_uniform() function expects an enumeration type argument (\"Point\" found)\n"));
  EXPECT_EQ(env->pctx->status, 129);
  // The method form on the enumeration's name.
  call = method(typeName("Color"), "choice_uniform", nullptr);
  EXPECT_EQ(call->value.id.type, color);
}

TEST_F(Builtins, ChannelWritesNeedAWritableChannelOfPrimitives) {
  const u32 q = bufferType(QUEUE_BUFFER, TypeUInt8, 4);
  defParam_make(env, q, sym("inbox"), 0);
  AST* inbox = defVar_makeAccess(env, sym("inbox"));
  EXPECT_EQ(output([&] { EXPECT_EQ(method(inbox, "push", list({natural(1)})), nullptr); }),
            error("local channel \"inbox\" is IN mode (\"push\" is forbidden)\n"));
  EXPECT_EQ(env->pctx->status, 189);
  env->pctx->status = 0;

  defParam_make(env, q, sym("outbox"), 1);
  AST* push = method(defVar_makeAccess(env, sym("outbox")), "push", list({natural(1)}));
  ASSERT_NE(push, nullptr);

  const u32 point = structType("Point");
  AST* points = buffer("points", QUEUE_BUFFER, point, 2);
  AST* element = global("pt", point);
  EXPECT_EQ(output([&] { EXPECT_EQ(method(points, "insert_sorted", list({element})), nullptr); }),
            error("insert sorted in channel \"points\" is only valid for primitive types\n"));
  EXPECT_EQ(env->pctx->status, 189);
}

// --- Print formats -------------------------------------------------------------------

TEST_F(Builtins, PrintFormatsAgainstTheirArguments) {
  const u32 color = enumType("Color");
  AST* i32 = global("i32", TypeSInt32);
  AST* u8 = global("u8", TypeUInt8);
  AST* b = global("b", TypeBoolean);
  AST* f = global("f", TypeF32);
  AST* t = global("t", TypeTime);
  AST* c = global("c", color);
  AST* text = buffer("text", ARRAY_BUFFER, TypeUInt8, 8);
  AST* words = buffer("words", ARRAY_BUFFER, TypeUInt16, 8);
  struct Case {
    const char* format;
    std::vector<AST*> args;
    std::string message;  // empty: accepted
  } cases[] = {
      {"%d", {i32}, ""},
      {"%d", {b}, "Type mismatch for parameter 1 : expected Signed_Integer, found bool\n"},
      {"%i and %u", {i32, u8}, ""},
      {"%u", {c}, ""},
      {"%u", {b}, "Type mismatch for parameter 1 : expected Natural, found bool\n"},
      {"%d", {u8}, "Type mismatch for parameter 1 : expected Signed_Integer, found uint8\n"},
      {"%f %b %t", {f, b, t}, ""},
      {"%t", {f}, "Type mismatch for parameter 1 : expected time64, found float32\n"},
      {"%c%x", {natural(65), i32}, ""},
      {"%x", {b}, "Type mismatch for parameter 1 : expected intX or uintX, found bool\n"},
      {"%s %s", {text, str("lit")}, ""},
      {"%s", {words}, "Type mismatch for parameter 1 : expected uint8 buffer or channel\n"},
      {"%q", {i32}, "unknown conversion type character 'q'\n"},
      {"100%", {i32}, "spurious trailing \u2018%\u2019 in format\n"},
      {"%d %d", {i32}, "Print formats expects at least 2 parameters, only 1 found\n"},
      {"%d", {i32, i32}, "too many arguments for format\n"},
      {"100%% \\%d", {i32}, "too many arguments for format\n"},
      {"%q %d", {}, ""},  // a lone format is not scanned
  };
  for (const Case& k : cases) {
    AST* args = AST_makeList1(p(), str(k.format), 7);
    for (AST* a : k.args) AST_addListLast(p(), args, a, 7);
    env->pctx->status = 0;
    const std::string out = output([&] { EXPECT_EQ(defFunc_checkPrintCall(env, args), k.message.empty()) << k.format; });
    EXPECT_EQ(out, k.message.empty() ? "" : error(k.message)) << k.format;
    EXPECT_EQ(env->pctx->status, k.message.empty() ? 0 : 134) << k.format;
  }
}

TEST_F(Builtins, ComputedFormatsMustBeText) {
  AST* text = buffer("text", ARRAY_BUFFER, TypeUInt8, 8);
  EXPECT_TRUE(defFunc_checkPrintCall(env, list({text, natural(1)})));
  EXPECT_EQ(output([&] { EXPECT_FALSE(defFunc_checkPrintCall(env, list({global("n", TypeUInt32)}))); }),
            error("first print() or println() argument has to be a uint8 channel or array\n"));
}

TEST_F(Builtins, FormatChecksRunAfterParsingOverTheWholeProgram) {
  AST* text = buffer("text", ARRAY_BUFFER, TypeUInt8, 8);
  AST* words = buffer("words", ARRAY_BUFFER, TypeSInt32, 8);
  parser_add_external_definition(env, method(typeName("IO"), "println", list({str("%d"), natural(1)})));
  parser_add_external_definition(
      env, method(typeName("uint8"), "print", list({text, str("%d"), natural(1)})));
  // A call in an included file is reported with that file's name and its own line.
  AST* file = AST_makeNodeVal(p(), INCLUDE_OP, parser_addLabelString(env, "lib.velk"), 0, nullptr,
                              nullptr, 1);
  parser_add_external_definition(env, file);
  AST* previous = env->pctx->externalDefinitions;
  env->pctx->externalDefinitions = file;
  env->pctx->lineno = 9;
  AST* bad = method(typeName("uint8"), "print", list({words, str("%d"), natural(1)}));
  ASSERT_NE(bad, nullptr);
  parser_add_external_definition(env, bad);
  env->pctx->externalDefinitions = previous;
  env->pctx->parsing = false;
  EXPECT_EQ(output([&] { parser_checkBuiltinCalls(env); }),
            "[ERROR] lib.velk: Line 9: first uint8.print() channel must be of type uint8 \n");
  EXPECT_EQ(env->pctx->status, 134);
}

TEST_F(Builtins, BufferPrintNeedsAUint8Array) {
  AST* q = buffer("q", QUEUE_BUFFER, TypeUInt8, 8);
  parser_add_external_definition(env, method(typeName("uint8"), "print", list({q, str("%d"), natural(1)})));
  env->pctx->parsing = false;
  EXPECT_EQ(output([&] { parser_checkBuiltinCalls(env); }),
            error("first uint8.print() argument has to be a buffer\n"));
}

// --- User calls ----------------------------------------------------------------------

TEST_F(Builtins, UserFunctionCallsTakeTheirCodeAndValue) {
  // f(in a : uint8, out r : uint16)
  AST* params = list({defParam_make(env, TypeUInt8, sym("a"), 0), defParam_make(env, TypeUInt16, sym("r"), 1)});
  defFunc_definePrototype(env, sym("f"), params);
  defVar_clearLocals(env, params);
  const u32 f = defFunc_lookup(env, sym("f")->value.id.id);
  ASSERT_NE(f, NO_ID);
  AST* r = global("r", TypeUInt16);
  AST* x = global("x", TypeUInt8);

  AST* call = function("f", list({natural(1), r}));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(code(call), kCallFunctionCustom);
  EXPECT_EQ(call->value.id.type, TypeStmt);
  EXPECT_EQ(AST_getCustomFuncId(p(), call), f);

  call = function("f", list({natural(1)}));  // the OUT parameter is the value
  EXPECT_EQ(code(call), kCallFunctionRightCurrying);
  EXPECT_EQ(call->value.id.type, TypeUInt16);

  call = method(x, "f", nullptr);  // x.f() is f(x) with the result as value
  EXPECT_EQ(code(call), kCallFunctionLeftRightCurrying);
  EXPECT_EQ(call->value.id.type, TypeUInt16);
  EXPECT_EQ(AST_getListFirst(p(), AST_getCallArgs(p(), call)), x);

  EXPECT_EQ(output([&] { EXPECT_EQ(function("f", nullptr), nullptr); }),
            error("wrong function \"f\" parameters number (2 parameter(s) expected, but 0 found)\n"));
  EXPECT_EQ(env->pctx->status, 117);
  EXPECT_EQ(output([&] { EXPECT_EQ(function("f", list({boolean(true)})), nullptr); }),
            error("wrong function \"f\" parameter type (parameter \"a\" expected type \"uint8\", but "
                  "\"bool\" found)\n"));
  EXPECT_EQ(env->pctx->status, 118);
  EXPECT_EQ(output([&] { EXPECT_EQ(function("f", list({natural(1), natural(2)})), nullptr); }),
            error("OUT parameter must be a mutable data accessor\n"));
  EXPECT_EQ(env->pctx->status, 119);
}

TEST_F(Builtins, MethodFormOfAStatementFunctionYieldsTheObject) {
  AST* params = list({defParam_make(env, TypeUInt8, sym("a"), 1)});
  defFunc_define(env, sym("bump"), params, nullptr);
  defVar_clearLocals(env, params);
  AST* call = method(global("x", TypeUInt8), "bump", nullptr);
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(code(call), kCallFunctionLeftCurrying);
  EXPECT_EQ(call->value.id.type, TypeUInt8);
  EXPECT_FALSE(defCall_isConst(env, call));
}

TEST_F(Builtins, SubProcessInstanceCallsAreStatements) {
  // processdef P(in a : uint8, out r : uint8); and, inside a process, b : P.
  AST* params = list({defParam_make(env, TypeUInt8, sym("a"), 0), defParam_make(env, TypeUInt8, sym("r"), 1)});
  defProc_declareStateMachinePrototype(env, sym("P"), params);
  defVar_clearLocals(env, params);
  defProc_declareLocalInstance(env, defProc_makeInstance(env, sym("P"), sym("b")));
  AST* r = global("r", TypeUInt8);
  AST* call = function("b", list({natural(1), r}));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(code(call), kCallSubProcess);
  EXPECT_EQ(call->value.id.type, TypeStmt);
  EXPECT_EQ(AST_getCustomFuncId(p(), call), 0u);  // index among the process's sub-instances
  EXPECT_EQ(output([&] { EXPECT_EQ(function("b", list({natural(1)})), nullptr); }),
            error("wrong parameter number for subprocess instance call \"b\"\n"));
  EXPECT_EQ(env->pctx->status, 117);
}

TEST_F(Builtins, UnknownCalleesAndTypeNames) {
  EXPECT_EQ(output([&] { EXPECT_EQ(function("nowhere", nullptr), nullptr); }),
            error("undefined function or local process instance call \"nowhere\"\n"));
  EXPECT_EQ(env->pctx->status, 156);
  env->pctx->status = 0;
  AST* cast = nullptr;
  output([&] { cast = function("uint8", list({natural(300)})); });
  ASSERT_NE(cast, nullptr);
  EXPECT_EQ(cast->op, CAST_OP);
  EXPECT_EQ(cast->value.id.type, TypeUInt8);
}

// --- Constness and access rights -------------------------------------------------------

TEST_F(Builtins, ConstnessAndRightsOfCalls) {
  AST* x = global("x", TypeUInt8);
  EXPECT_TRUE(defCall_isConst(env, method(typeName("uint8"), "max", list({natural(1), natural(2)}))));
  EXPECT_FALSE(defCall_isConst(env, method(typeName("uint8"), "max", list({natural(1), x}))));
  EXPECT_FALSE(defCall_isConst(env, method(typeName("uint8"), "rand_uniform", list({natural(1), natural(2)}))));
  EXPECT_FALSE(defCall_isConst(env, function("seed", nullptr)));
  AST* first = builtinFld_makeCall(env, typeName("int16"), sym("FIRST"));
  EXPECT_EQ(first->value.id.type, TypeSInt16);
  EXPECT_TRUE(defCall_isConst(env, first));
  EXPECT_EQ(defCall_getAccessRights(env, first), kAccessReadOnly);
  EXPECT_EQ(defCall_getAccessRights(env, method(typeName("uint8"), "max", list({natural(1), x}))),
            kAccessReadOnly);
  AST* a = buffer("a", ARRAY_BUFFER, TypeUInt8, 4);
  AST* size = builtinFld_makeCall(env, a, sym("max_size"));
  EXPECT_FALSE(defCall_isConst(env, size));
  EXPECT_TRUE(defCall_is(env, size, 6, a->value.id.type));
  EXPECT_EQ(defCall_getObjType(env, first), TypeSInt16);
}

}  // namespace

// --- From source text ----------------------------------------------------------------

namespace {

class BuiltinSource : public Builtins {
 protected:
  int parse(const std::string& text) {
    std::strcpy(env->pctx->fileName, "s.velk");
    env->pctx->lineno = 1;
    testing::internal::CaptureStdout();
    const int result = lexer_parseString(env, text.c_str());
    out = testing::internal::GetCapturedStdout();
    return result;
  }
  // The call nodes of the program with the given code, in creation order.
  std::vector<AST*> calls(u32 wanted) {
    std::vector<AST*> found;
    for (u32 id = 0; id < p()->infoProg->n_AST; ++id) {
      AST* node = &p()->RAMprogram[id];
      if (node->op == CALL_OP && AST_left(p(), node)->op == INDEX_NODE && code(node) == wanted) {
        found.push_back(node);
      }
    }
    return found;
  }
  std::string out;
};

TEST_F(BuiltinSource, ValuedAndStatementCallsOfAUserFunction) {
  ASSERT_EQ(0, parse("f(in uint8: a, out uint16: r) { r = a; }\n"
                     "var uint16: v;\n"
                     "g() { v = f(1); f(2, v); }\n"))
      << out;
  ASSERT_EQ(calls(0).size(), 1u);
  EXPECT_EQ(calls(0)[0]->value.id.type, TypeUInt16);
  ASSERT_EQ(calls(3).size(), 1u);
  EXPECT_EQ(calls(3)[0]->value.id.type, TypeStmt);
}

TEST_F(BuiltinSource, AssertKeepsItsSourceLine) {
  ASSERT_EQ(0, parse("var uint8: x;\ng() {\n  assert(x == 1);\n}\n")) << out;
  ASSERT_EQ(calls(38).size(), 1u);
  AST* args = AST_getCallArgs(p(), calls(38)[0]);
  ASSERT_EQ(AST_listSize(p(), args), 4u);
  EXPECT_EQ(AST_getListNth(p(), args, 2)->value.uinteger, 3u);
  const char* text = p()->stringTable + p()->stringTableIndex[AST_getListNth(p(), args, 3)->value.id.string];
  EXPECT_NE(std::strstr(text, "assert(x == 1);"), nullptr) << text;
}

TEST_F(BuiltinSource, FailuresCarryTheLineOfTheCall) {
  parse("g() {\n  var uint8: x;\n  x = uint8.max(1);\n}\n");
  EXPECT_EQ(out, "[ERROR] s.velk: Line 3: invalid argument(s) for \"max\" static operation of type "
                 "\"uint8\"\n    available signatures are:\nuint8(uint8, uint8...)\n");
  EXPECT_EQ(env->pctx->status, 182);
}

TEST_F(BuiltinSource, PrintFormatsAreCheckedAfterParsing) {
  ASSERT_EQ(0, parse("g() {\n  IO.println(\"%d\", -1);\n  IO.println(\"%d\", true);\n}\n")) << out;
  env->pctx->parsing = false;
  testing::internal::CaptureStdout();
  parser_checkBuiltinCalls(env);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] s.velk: Line 3: Type mismatch for parameter 1 : expected Signed_Integer, found "
            "bool\n");
}

}  // namespace
