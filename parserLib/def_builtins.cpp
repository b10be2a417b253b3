#include "def_builtins.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ast.h"
#include "ast_list.h"
#include "call_codes.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "parser_check.h"
#include "parser_data.h"
#include "parser_error.h"
#include "source_walk.h"

namespace {

// ---------------------------------------------------------------------------
// Prototype tables. They are program constants; only the symbols of their
// names are looked up at start-up (kept in the module state).

using CheckFn = bool (*)(ParserEnv* env, AST* call);
using FormatFn = bool (*)(ParserEnv* env, AST* call);

constexpr size_t kMaxSignatureArgs = 6;  // uint8.print: Any, Any, Any, ..., <void>
constexpr size_t kMaxSignatures = 3;

struct Signature {
  u32 code;  // 0 marks an unused slot: builtin codes start at kFirstBuiltinCallCode
  s32 ret;
  std::array<s32, kMaxSignatureArgs> args;  // ends with TypeVoid
  CheckFn check;
  FormatFn format;
};

constexpr Signature sig(u32 code, s32 ret, std::initializer_list<s32> args,
                        CheckFn check = nullptr, FormatFn format = nullptr) {
  Signature s{code, ret, {}, check, format};
  size_t i = 0;
  for (s32 a : args) s.args[i++] = a;
  for (; i < kMaxSignatureArgs; ++i) s.args[i] = TypeVoid;
  return s;
}

using Signatures = std::array<Signature, kMaxSignatures>;

struct FunctionEntry {
  const char* name;
  const char* replacement;
  bool isConst;
  Signatures signatures;
};

struct MethodEntry {
  u32 objType;
  u32 objBase;  // for a type-name object: the named types that qualify
  const char* name;
  const char* replacement;
  bool isConst;
  Signatures signatures;
};

struct FieldEntry {
  u32 objType;
  u32 objBase;
  const char* name;
  bool isConst;
  u32 code;
  s32 ret;
  u32 rights;
};

bool checkAssert(ParserEnv* env, AST* call);
bool checkExit(ParserEnv* env, AST* call);
bool checkChannelWrite(ParserEnv* env, AST* call);
bool checkInsertSorted(ParserEnv* env, AST* call);
bool checkEnumChoice(ParserEnv* env, AST* call);
bool formatPrint(ParserEnv* env, AST* call);
bool formatBufferPrint(ParserEnv* env, AST* call);

// Short names keep the tables readable.
constexpr s32 kU8 = TypeUInt8, kS8 = TypeSInt8, kU16 = TypeUInt16, kS16 = TypeSInt16;
constexpr s32 kU32 = TypeUInt32, kS32 = TypeSInt32, kU64 = TypeUInt64, kS64 = TypeSInt64;
constexpr s32 kTime = TypeTime, kBool = TypeBoolean, kF32 = TypeF32, kF64 = TypeF64;
constexpr s32 kStmt = TypeStmt, kAny = TypeAny, kPrim = TypePrimitive, kStr = TypeString;
constexpr s32 kVar = LAST_VARIADIC, kObj = OBJ_TYPE_ID, kElem = OBJ_BASETYPE_ID;

const FunctionEntry kFunctions[] = {
    {"seed", nullptr, false, {sig(kCallSeed, kU32, {}), sig(kCallSeedValue, kU32, {kU32})}},
    {"time", "time64.time()", false, {sig(kCallTime, kTime, {})}},
    {"rand_uniform", nullptr, false, {sig(kCallRandUniform, kU32, {kU32, kU32})}},
    {"choice_uniform",
     ".choice_uniform()",
     false,
     {sig(kCallChoiceUniformArray, FIRST_ARG_BASETYPE_ID, {TypeArray}),
      sig(kCallChoiceUniformChannel, FIRST_ARG_BASETYPE_ID, {TypeChannel}),
      sig(kCallChoiceUniformType, kStmt, {TypeType}, checkEnumChoice)}},
    {"print",
     "IO.print()",
     false,
     {sig(kCallPrint, kStmt, {kStr}, nullptr, formatPrint),
      sig(kCallPrintArgs, kStmt, {kStr, kPrim, kVar}, nullptr, formatPrint)}},
    {"println",
     "IO.println()",
     false,
     {sig(kCallPrintln, kStmt, {}), sig(kCallPrintlnFormat, kStmt, {kStr}, nullptr, formatPrint),
      sig(kCallPrintlnArgs, kStmt, {kStr, kPrim, kVar}, nullptr, formatPrint)}},
    {"sleep", nullptr, false, {sig(kCallSleep, kStmt, {kTime})}},
    {"assert", nullptr, false, {sig(kCallAssert, kStmt, {kBool}, checkAssert)}},
    {"exit", nullptr, false, {sig(kCallExit, kStmt, {kU8}, checkExit)}},
    {"syncIO", "IO.sync()", false, {sig(kCallSyncIO, kStmt, {})}},
    {"rand_gauss", "float32.rand_gauss()", false, {sig(kCallRandGauss, kF32, {kF32, kF32})}},
    {"rand_exponential",
     "float32.rand_exponential()",
     false,
     {sig(kCallRandExponential, kF32, {kF32})}},
};

constexpr MethodEntry typeMethod(s32 type, const char* name, bool isConst, Signatures sigs) {
  return MethodEntry{TypeType, static_cast<u32>(type), name, nullptr, isConst, sigs};
}
constexpr MethodEntry objMethod(u32 objType, const char* name, const char* replacement,
                                Signatures sigs) {
  return MethodEntry{objType, TypeVoid, name, replacement, false, sigs};
}
constexpr MethodEntry variadic(s32 type, const char* name, u32 code) {
  return typeMethod(type, name, true, {sig(code, type, {type, type, kVar})});
}
constexpr MethodEntry randUniform(s32 type, u32 code) {
  return typeMethod(type, "rand_uniform", false, {sig(code, type, {type, type})});
}
constexpr MethodEntry unary(s32 type, const char* name, u32 code) {
  return typeMethod(type, name, true, {sig(code, type, {type})});
}
constexpr MethodEntry binary(s32 type, const char* name, u32 code, bool isConst) {
  return typeMethod(type, name, isConst, {sig(code, type, {type, type})});
}
constexpr MethodEntry channel(const char* name, const char* replacement, u32 code, s32 ret,
                              u32 objType = TypeChannel) {
  return objMethod(objType, name, replacement, {sig(code, ret, {})});
}

const MethodEntry kMethods[] = {
    variadic(kU8, "max", kCallUInt8Max),
    variadic(kU16, "max", kCallUInt16Max),
    variadic(kU32, "max", kCallUInt32Max),
    variadic(kU64, "max", kCallUInt64Max),
    variadic(kTime, "max", kCallTimeMax),
    variadic(kS8, "max", kCallSInt8Max),
    variadic(kS16, "max", kCallSInt16Max),
    variadic(kS32, "max", kCallSInt32Max),
    variadic(kS64, "max", kCallSInt64Max),
    variadic(kU8, "min", kCallUInt8Min),
    variadic(kU16, "min", kCallUInt16Min),
    variadic(kU32, "min", kCallUInt32Min),
    variadic(kU64, "min", kCallUInt64Min),
    variadic(kTime, "min", kCallTimeMin),
    variadic(kS8, "min", kCallSInt8Min),
    variadic(kS16, "min", kCallSInt16Min),
    variadic(kS32, "min", kCallSInt32Min),
    variadic(kS64, "min", kCallSInt64Min),
    randUniform(kU8, kCallUInt8RandUniform),
    randUniform(kU16, kCallUInt16RandUniform),
    randUniform(kU32, kCallUInt32RandUniform),
    randUniform(kU64, kCallUInt64RandUniform),
    randUniform(kS8, kCallSInt8RandUniform),
    randUniform(kS16, kCallSInt16RandUniform),
    randUniform(kS32, kCallSInt32RandUniform),
    randUniform(kS64, kCallSInt64RandUniform),
    randUniform(kTime, kCallTimeRandUniform),
    typeMethod(kBool, "rand_uniform", false, {sig(kCallBoolRandUniform, kBool, {})}),
    typeMethod(kF32, "as", true, {sig(kCallAs, kF32, {kF32}), sig(kCallAs, kF32, {kPrim})}),
    typeMethod(kF64, "as", true, {sig(kCallAs, kF64, {kF64}), sig(kCallAs, kF64, {kPrim})}),
    typeMethod(kPrim, "as", true, {sig(kCallAs, kObj, {kPrim})}),
    typeMethod(kAny, "cast", true, {sig(kCallCast, kObj, {kAny})}),
    typeMethod(kU8, "abs", true, {sig(kCallUInt8Abs, kU8, {kS8})}),
    typeMethod(kU16, "abs", true, {sig(kCallUInt16Abs, kU16, {kS16})}),
    typeMethod(kU32, "abs", true, {sig(kCallUInt32Abs, kU32, {kS32})}),
    typeMethod(kU64, "abs", true, {sig(kCallUInt64Abs, kU64, {kS64})}),
    typeMethod(TypeEnum, "choice_uniform", false, {sig(kCallEnumChoiceUniform, kObj, {})}),
    typeMethod(kTime, "time", false, {sig(kCallTime, kTime, {})}),
    objMethod(TypeIO, "print", nullptr,
              {sig(kCallPrint, kStmt, {kAny}, nullptr, formatPrint),
               sig(kCallPrintArgs, kStmt, {kAny, kAny, kVar}, nullptr, formatPrint)}),
    objMethod(
        TypeIO, "println", nullptr,
        {sig(kCallPrintln, kStmt, {}), sig(kCallPrintlnFormat, kStmt, {kAny}, nullptr, formatPrint),
         sig(kCallPrintlnArgs, kStmt, {kAny, kAny, kVar}, nullptr, formatPrint)}),
    typeMethod(
        kU8, "print", false,
        {sig(kCallStringPrint, kStmt, {kAny, kAny, kAny, kVar}, nullptr, formatBufferPrint)}),
    objMethod(TypeIO, "sync", nullptr, {sig(kCallSyncIO, kStmt, {})}),
    objMethod(TypeArray, "choice_uniform", nullptr, {sig(kCallArrayChoiceUniform, kElem, {})}),
    channel("maxSize", "<channel>.max_size", kCallChannelMaxSize, kU32, TypeSizedChannel),
    channel("maxSize", "<channel>.max_size", kCallChannelMaxSize, kU32, TypeUnsizedChannel),
    channel("isEmpty", "<channel>.is_empty()", kCallChannelIsEmpty, kBool),
    channel("notEmpty", "<channel>.not_empty()", kCallChannelNotEmpty, kBool),
    channel("isFull", "<channel>.is_full()", kCallChannelIsFull, kBool),
    channel("notFull", "<channel>.not_full()", kCallChannelNotFull, kBool),
    channel("lastPeek", "<channel>.last_peek()", kCallChannelLastPeek, kElem),
    objMethod(TypeChannel, "push", nullptr,
              {sig(kCallChannelPush, kStmt, {kElem}, checkChannelWrite)}),
    objMethod(TypeChannel, "insert_sorted", nullptr,
              {sig(kCallChannelInsertSorted, kStmt, {kElem}, checkInsertSorted)}),
    channel("pop", nullptr, kCallChannelPop, kElem),
    channel("peek", nullptr, kCallChannelPeek, kElem),
    channel("clear", nullptr, kCallChannelClear, kStmt),
    channel("max_size", "<channel>.max_size", kCallChannelMaxSize, kU32, TypeSizedChannel),
    channel("max_size", "<channel>.max_size", kCallChannelMaxSize, kU32, TypeUnsizedChannel),
    channel("count", nullptr, kCallChannelCount, kU32),
    channel("is_empty", nullptr, kCallChannelIsEmpty, kBool),
    channel("not_empty", nullptr, kCallChannelNotEmpty, kBool),
    channel("is_full", nullptr, kCallChannelIsFull, kBool),
    channel("not_full", nullptr, kCallChannelNotFull, kBool),
    channel("last_peek", nullptr, kCallChannelLastPeek, kElem),
    channel("choice_uniform", nullptr, kCallChannelChoiceUniform, kElem),
    channel("remove_current", nullptr, kCallIteratorRemoveCurrent, kStmt, TypeIterator),
    channel("removeCurrent", "<iterator>.remove_current()", kCallIteratorRemoveCurrent, kStmt,
            TypeIterator),
    variadic(kF32, "max", kCallF32Max),
    variadic(kF32, "min", kCallF32Min),
    unary(kF32, "cos", kCallF32Cos),
    unary(kF32, "sin", kCallF32Sin),
    unary(kF32, "atan", kCallF32Atan),
    binary(kF32, "pow", kCallF32Pow, true),
    unary(kF32, "sqrt", kCallF32Sqrt),
    unary(kF32, "abs", kCallF32Abs),
    unary(kF32, "log", kCallF32Log),
    typeMethod(
        kF32, "rand_pareto", false,
        {sig(kCallF32RandPareto, kF32, {kF32}), sig(kCallF32RandParetoScaled, kF32, {kF32, kF32})}),
    binary(kF32, "rand_gauss", kCallRandGauss, false),
    typeMethod(kF32, "rand_exponential", false, {sig(kCallRandExponential, kF32, {kF32})}),
    binary(kF32, "rand_uniform", kCallF32RandUniform, false),
    variadic(kF64, "max", kCallF64Max),
    variadic(kF64, "min", kCallF64Min),
    unary(kF64, "cos", kCallF64Cos),
    unary(kF64, "sin", kCallF64Sin),
    unary(kF64, "atan", kCallF64Atan),
    binary(kF64, "pow", kCallF64Pow, true),
    unary(kF64, "sqrt", kCallF64Sqrt),
    unary(kF64, "abs", kCallF64Abs),
    unary(kF64, "log", kCallF64Log),
    typeMethod(
        kF64, "rand_pareto", false,
        {sig(kCallF64RandPareto, kF64, {kF64}), sig(kCallF64RandParetoScaled, kF64, {kF64, kF64})}),
    binary(kF64, "rand_uniform", kCallF64RandUniform, false),
    typeMethod(kU8, "rand_pareto", false,
               {sig(kCallUInt8RandParetoF32, kU8, {kU8, kF32}),
                sig(kCallUInt8RandParetoF64, kU8, {kU8, kF64})}),
    typeMethod(kU16, "rand_pareto", false,
               {sig(kCallUInt16RandParetoF32, kU16, {kU16, kF32}),
                sig(kCallUInt16RandParetoF64, kU16, {kU16, kF64})}),
    typeMethod(kU32, "rand_pareto", false,
               {sig(kCallUInt32RandParetoF32, kU32, {kU32, kF32}),
                sig(kCallUInt32RandParetoF64, kU32, {kU32, kF64})}),
    typeMethod(kU64, "rand_pareto", false,
               {sig(kCallUInt64RandParetoF32, kU64, {kU64, kF32}),
                sig(kCallUInt64RandParetoF64, kU64, {kU64, kF64})}),
};

constexpr FieldEntry bound(s32 type, const char* name, u32 code) {
  return FieldEntry{TypeType, static_cast<u32>(type), name, true, code, type, kAccessReadOnly};
}

const FieldEntry kFields[] = {
    {TypeSizedArray, TypeVoid, "max_size", false, kCallArrayMaxSize, kU32, kAccessReadOnly},
    {TypeUnsizedArray, TypeVoid, "max_size", false, kCallArrayMaxSize, kU32, kAccessReadOnly},
    {TypeChannel, TypeVoid, "max_size", false, kCallChannelMaxSize, kU32, kAccessReadOnly},
    {TypeIterator, TypeVoid, "current", false, kCallIteratorCurrent, kElem, kAccessInherited},
    {TypeIterator, TypeVoid, "index", false, kCallIteratorIndex, kU32, kAccessReadOnly},
    {TypeIterator, TypeVoid, "is_last", false, kCallIteratorIsLast, kBool, kAccessReadOnly},
    bound(kU8, "FIRST", kCallUInt8First),
    bound(kU16, "FIRST", kCallUInt16First),
    bound(kU32, "FIRST", kCallUInt32First),
    bound(kU64, "FIRST", kCallUInt64First),
    bound(kS8, "FIRST", kCallSInt8First),
    bound(kS16, "FIRST", kCallSInt16First),
    bound(kS32, "FIRST", kCallSInt32First),
    bound(kS64, "FIRST", kCallSInt64First),
    bound(kTime, "FIRST", kCallTimeFirst),
    bound(kU8, "LAST", kCallUInt8Last),
    bound(kU16, "LAST", kCallUInt16Last),
    bound(kU32, "LAST", kCallUInt32Last),
    bound(kU64, "LAST", kCallUInt64Last),
    bound(kS8, "LAST", kCallSInt8Last),
    bound(kS16, "LAST", kCallSInt16Last),
    bound(kS32, "LAST", kCallSInt32Last),
    bound(kS64, "LAST", kCallSInt64Last),
    bound(kTime, "LAST", kCallTimeLast),
    bound(kF32, "FIRST", kCallF32First),
    bound(kF32, "LAST", kCallF32Last),
    bound(kF64, "FIRST", kCallF64First),
    bound(kF64, "LAST", kCallF64Last),
};

static_assert(std::size(kFunctions) == 12, "12 builtin functions");
static_assert(std::size(kMethods) == 94, "94 builtin methods");
static_assert(std::size(kFields) == 28, "28 builtin fields");

u32 signatureCount(const Signatures& sigs) {
  u32 n = 0;
  while (n < kMaxSignatures && sigs[n].code != 0) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Module state: name symbols of the entries and the hash indexes by name.

struct DefBuiltinState {
  bool initialised = false;
  std::vector<u32> functionSymbols, methodSymbols, fieldSymbols;
  // Entries by name symbol, in table order (the first match is the answer of a
  // search in table order).
  std::unordered_map<u32, u32> functionsBySymbol;
  std::unordered_map<u32, std::vector<u32>> methodsBySymbol, fieldsBySymbol;
  // User functions by name symbol: the first registered.
  std::unordered_map<u32, u32> userFunctions;
  // retrieveCallProto's answer per builtin call code.
  std::vector<CallProto> protoByCode;
  // The file that format-check messages name (the pass runs after parsing).
  std::string reportFile;
  bool useReportFile = false;
};

DefBuiltinState& state(ParserEnv* env) {
  auto& slot = env->pctx->builtinState;
  if (!slot) slot = std::make_shared<DefBuiltinState>();
  return *static_cast<DefBuiltinState*>(slot.get());
}

// ---------------------------------------------------------------------------
// Small helpers.

program* prog(ParserEnv* env) { return env->program; }

u32 currentLine(ParserEnv* env) { return static_cast<u32>(parser_lineno(env)); }

bool validType(ParserEnv* env, u32 type) { return type < prog(env)->infoProg->n_type; }

const char* typeName(ParserEnv* env, u32 type) {
  return validType(env, type) ? Type_getName(prog(env), type) : "<unknown>";
}

const char* symbolName(ParserEnv* env, u32 sym) {
  return sym < prog(env)->infoProg->n_symbols ? Symbol_getName(prog(env), sym) : "<unknown>";
}

u32 baseOf(ParserEnv* env, u32 type) {
  return validType(env, type) ? prog(env)->typeTable[type].baseType : TypeVoid;
}

// The element type of a buffer; for an iterator, the element of the buffer it
// walks (its record's base is that buffer type).
u32 elementOf(ParserEnv* env, u32 type) {
  u32 base = baseOf(env, type);
  if (defType_isIterator(env, type) && validType(env, base) &&
      prog(env)->typeTable[base].bufferType != NONE_BUFFER) {
    base = baseOf(env, base);
  }
  return base;
}

void fail(ParserEnv* env, int status, const char* format, ...) __attribute__((format(printf, 3, 4)));

void fail(ParserEnv* env, int status, const char* format, ...) {
  char message[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  const DefBuiltinState& st = state(env);
  const char* file = st.useReportFile ? st.reportFile.c_str() : env->pctx->fileName;
  parser_failure(env, status, file, parser_lineno(env), nullptr, "%s", message);
}

bool isTypeName(const AST* object) { return object != nullptr && object->op == TYPE_OP; }

// For a type-name object the named type, else the object's type.
u32 unwrapType(ParserEnv* env, AST* object) {
  if (object == nullptr) return TypeVoid;
  if (isTypeName(object)) return AST_getTypeTypeId(prog(env), object);
  return defType_evaluate(env, object);
}

AST* argAt(ParserEnv* env, AST* args, u32 n) {
  return n < AST_listSize(prog(env), args) ? AST_getListNth(prog(env), args, n) : nullptr;
}

u32 resolveMarker(ParserEnv* env, s32 type, u32 objectType) {
  if (type == OBJ_TYPE_ID) return objectType;
  if (type == OBJ_BASETYPE_ID) return elementOf(env, objectType);
  return static_cast<u32>(type);
}

AST* codeNode(ParserEnv* env, const AST* call) {
  if (call == nullptr || call->op != CALL_OP) return nullptr;
  AST* node = AST_left(prog(env), call);
  return node != nullptr && node->op == INDEX_NODE ? node : nullptr;
}

u32 callCode(ParserEnv* env, const AST* call) {
  AST* node = codeNode(env, call);
  return node != nullptr ? node->value.id.id : NO_ID;
}

AST* makeCall(ParserEnv* env, u32 code, u32 resultType, AST* object, AST* target, AST* args) {
  const u32 line = currentLine(env);
  AST* index = AST_makeNodeVal(prog(env), INDEX_NODE, code, 0, object, target, line);
  return AST_makeNodeVal(prog(env), CALL_OP, resultType, 0, index, args, line);
}

// The name declared by a data accessor's declaration (right child), for messages.
const char* accessorName(ParserEnv* env, AST* expression) {
  for (u32 depth = 0; expression != nullptr && depth < 1000; ++depth) {
    if (expression->op == ARRAY_INDEX_OP) {
      expression = AST_left(prog(env), expression);
      continue;
    }
    if (!defExpr_isDataAccessor(expression)) break;
    AST* decl = AST_right(prog(env), expression);
    AST* name = decl != nullptr ? AST_left(prog(env), decl) : nullptr;
    if (name != nullptr && name->op == LIST) name = AST_left(prog(env), name);
    if (name != nullptr && name->op == SYM) return symbolName(env, name->value.id.id);
    break;
  }
  return "<expression>";
}

// ---------------------------------------------------------------------------
// Signature access by kind.

const Signatures* signaturesOf(CallProtoKind kind, u32 entry) {
  if (kind == CallProtoKind::Function && entry < std::size(kFunctions)) {
    return &kFunctions[entry].signatures;
  }
  if (kind == CallProtoKind::Method && entry < std::size(kMethods)) {
    return &kMethods[entry].signatures;
  }
  return nullptr;
}

const Signature* signatureOf(CallProtoKind kind, u32 entry, u32 signature) {
  const Signatures* sigs = signaturesOf(kind, entry);
  if (sigs == nullptr || signature >= signatureCount(*sigs)) return nullptr;
  return &(*sigs)[signature];
}

// Whether object matches an entry's object type (and base, for type names).
bool isObjMatchingType(ParserEnv* env, AST* object, u32 objType, u32 objBase) {
  if (objType == TypeType) {
    if (!isTypeName(object)) return false;
    const u32 named = AST_getTypeTypeId(prog(env), object);
    return named == objBase || defType_isDerivedType(env, objBase, named);
  }
  if (isTypeName(object)) return false;
  u32 exprType = NO_ID, matched = NO_ID;
  return defExpr_matchExpectedType(env, objType, object, &exprType, &matched);
}

// The first matching signature of an entry, or NO_ID.
u32 findSignature(ParserEnv* env, AST* args, CallProtoKind kind, u32 entry, u32 objectType) {
  const u32 n = signatureCount(*signaturesOf(kind, entry));
  for (u32 s = 0; s < n; ++s) {
    if (areArgsMatchingSntr(env, args, kind, entry, s, objectType)) return s;
  }
  return NO_ID;
}

// Steps common to builtin function and method calls once a signature matched:
// the call node, the deprecation warning, the check callback.
AST* buildBuiltinCall(ParserEnv* env, const char* name, const char* replacement,
                      const Signature& s, AST* object, u32 objectType, AST* args) {
  // Only the result markers of the first argument need its type.
  u32 firstType = TypeVoid;
  if ((s.ret == FIRST_ARG_TYPE_ID || s.ret == FIRST_ARG_BASETYPE_ID) &&
      AST_listSize(prog(env), args) > 0) {
    firstType = defType_evaluate(env, AST_getListFirst(prog(env), args));
  }
  const u32 ret = getRealRetType(env, s.ret, objectType, firstType);
  AST* call = makeCall(env, s.code, ret, object, nullptr, args);
  if (replacement != nullptr) {
    parser_warningDeprecated(env, env->pctx->fileName, parser_lineno(env), nullptr, name,
                             replacement);
  }
  if (s.check != nullptr && !s.check(env, call)) return nullptr;
  return call;
}

// ---------------------------------------------------------------------------
// Check callbacks, run when the call is built.

u32 appendArgument(ParserEnv* env, AST* call, AST* argument) {
  const u32 line = currentLine(env);
  AST* args = AST_right(prog(env), call);
  if (args == nullptr) {
    call->right = AST_id(prog(env), AST_makeList1(prog(env), argument, line));
  } else {
    AST_addListLast(prog(env), args, argument, line);
  }
  return line;
}

AST* lineNode(ParserEnv* env) {
  return AST_makeNodeVal(prog(env), INTEGER_OP, currentLine(env), 0, nullptr, nullptr,
                         currentLine(env));
}

AST* labelNode(ParserEnv* env, const char* text) {
  return AST_makeNodeVal(prog(env), LABEL_STRING_OP, parser_addLabelString(env, text), 0,
                         nullptr, nullptr, currentLine(env));
}

// The interpreter reports a failed assertion with the file, the line and the
// source text of the call, which only the compiler knows.
bool checkAssert(ParserEnv* env, AST* call) {
  appendArgument(env, call, labelNode(env, env->pctx->fileName));
  appendArgument(env, call, lineNode(env));
  appendArgument(env, call, labelNode(env, env->pctx->lineText));
  return true;
}

bool checkExit(ParserEnv* env, AST* call) {
  appendArgument(env, call, lineNode(env));
  return true;
}

bool checkChannelWrite(ParserEnv* env, AST* call) {
  AST* object = AST_getCallObj(prog(env), call);
  if (object != nullptr && object->op == LOCAL_VAR) {
    AST* decl = AST_right(prog(env), object);
    if (decl != nullptr && decl->op == IN_CHANNEL_PARAM) {
      fail(env, 189, "local channel \"%s\" is IN mode (\"push\" is forbidden)\n",
           accessorName(env, object));
      return false;
    }
  }
  return true;
}

bool checkInsertSorted(ParserEnv* env, AST* call) {
  if (!checkChannelWrite(env, call)) return false;
  AST* object = AST_getCallObj(prog(env), call);
  if (elementOf(env, defType_evaluate(env, object)) >= TypePrimitive) {
    fail(env, 189, "insert sorted in channel \"%s\" is only valid for primitive types\n",
         accessorName(env, object));
    return false;
  }
  return true;
}

bool checkEnumChoice(ParserEnv* env, AST* call) {
  AST* arg = AST_getListFirst(prog(env), AST_getCallArgs(prog(env), call));
  const u32 named = isTypeName(arg) ? AST_getTypeTypeId(prog(env), arg) : defType_evaluate(env, arg);
  if (!defType_isEnumType(env, named)) {
    call->value.id.type = NO_ID;
    fail(env, 129,
         "choice_uniform() function expects an enumeration type argument (\"%s\" found)\n",
         typeName(env, named));
    return false;
  }
  call->value.id.type = named;
  return true;
}

// ---------------------------------------------------------------------------
// Format callbacks, run after parsing.

bool formatPrint(ParserEnv* env, AST* call) {
  return defFunc_checkPrintCall(env, AST_getCallArgs(prog(env), call));
}

bool formatBufferPrint(ParserEnv* env, AST* call) {
  AST* args = AST_getCallArgs(prog(env), call);
  AST* target = argAt(env, args, 0);
  const u32 type = target != nullptr ? defType_evaluate(env, target) : NO_ID;
  if (!defType_isArray(env, type)) {
    fail(env, 134, "first uint8.print() argument has to be a buffer\n");
    return false;
  }
  if (baseOf(env, type) != TypeUInt8) {
    fail(env, 134, "first uint8.print() channel must be of type uint8 \n");
    return false;
  }
  return defFunc_checkPrintCall(env, AST_getCdr(prog(env), args));
}

// The characters of a string literal as stored in constant data: length + 2,
// 2, one cell per character.
bool literalText(ParserEnv* env, const AST* literal, std::string* text) {
  const program* p = prog(env);
  const u32 index = literal->value.id.id;
  const u32 size = p->infoProg->size_constantData;
  if (index >= size || size - index < 2) return false;
  const u64 count = p->constantDataTable[index];
  if (count < 2 || count - 2 > size - index - 2) return false;
  text->clear();
  for (u64 i = 0; i < count - 2; ++i) {
    text->push_back(static_cast<char>(p->constantDataTable[index + 2 + i] & 0xFF));
  }
  return true;
}

bool isUint8Buffer(ParserEnv* env, u32 type) {
  if (!validType(env, type) || baseOf(env, type) != TypeUInt8) return false;
  const TypeDefinition& t = prog(env)->typeTable[type];
  if (t.bufferType == ARRAY_BUFFER) return t.size != NO_ID;
  return defType_isChannel(env, type);
}

// Checks argument n (counted from 1) against conversion c.
bool checkConversion(ParserEnv* env, char c, AST* arg, int n) {
  const u32 found = defType_evaluate(env, arg);
  if (found == NO_ID) return false;
  switch (c) {
    case 'c':
    case 'x':
      // A literal adapts to any integer width, so Natural and Signed_Integer too.
      if (found <= TypeSInt64) return true;
      fail(env, 134, "Type mismatch for parameter %d : expected intX or uintX, found %s\n", n,
           typeName(env, found));
      return false;
    case 's':
      if (isUint8Buffer(env, found)) return true;
      fail(env, 134, "Type mismatch for parameter %d : expected uint8 buffer or channel\n", n);
      return false;
    default:
      break;
  }
  u32 expected = TypeVoid;
  switch (c) {
    case 'd':
    case 'i':
      expected = TypeSInt;
      break;
    case 'u':
      if (defType_isEnumType(env, found)) return true;
      expected = TypeInt;
      break;
    case 'f':
      expected = TypeFP;
      break;
    case 'b':
      expected = TypeBoolean;
      break;
    default:  // 't'
      expected = TypeTime;
      break;
  }
  u32 exprType = NO_ID, matched = NO_ID;
  if (defExpr_matchExpectedType(env, expected, arg, &exprType, &matched)) return true;
  fail(env, 134, "Type mismatch for parameter %d : expected %s, found %s\n", n,
       typeName(env, expected), typeName(env, found));
  return false;
}

// ---------------------------------------------------------------------------
// User calls.

AST* userTarget(ParserEnv* env, u32 index) {
  return AST_makeNodeVal(prog(env), INDEX_NODE, index, 0, nullptr, nullptr, currentLine(env));
}

AST* functionParameters(ParserEnv* env, u32 function) {
  const u32 id = prog(env)->functionTable[function].parameters;
  return id == NO_ID ? nullptr : AST_fromId(prog(env), id);
}

// The formal list of a callable name, or nullptr when it cannot be checked yet
// (*known false: a sub-process instance whose definition is not known).
AST* formalsOf(ParserEnv* env, u32 sym, bool* known) {
  *known = true;
  if (defStmt_callable_entity_kind(env, sym) == 2) {
    AST* instance = defProc_getLocalInstance(env, defProc_lookupLocalInstance(env, sym));
    AST* def = instance != nullptr ? AST_left(prog(env), instance) : nullptr;
    const u32 d = def != nullptr ? def->value.id.id : NO_ID;
    if (d == NO_ID || d >= prog(env)->infoProg->n_processDefinitions) {
      *known = false;
      return nullptr;
    }
    const u32 params = prog(env)->processDefinitionTable[d].parameters;
    return params == NO_ID ? nullptr : AST_fromId(prog(env), params);
  }
  return functionParameters(env, defFunc_lookup(env, sym));
}

// A user function called in method form: object.f(args) is f(object, args).
AST* makeUserMethodCall(ParserEnv* env, AST* object, AST* name, AST* args) {
  const u32 function = defFunc_lookup(env, name->value.id.id);
  AST* fullArgs = AST_makeNodeVal(prog(env), LIST, 0, 0, object, args, currentLine(env));
  bool valued = false;
  u32 resultType = TypeStmt;
  if (!defStmt_checkASTCall(env, name, fullArgs, &valued, &resultType)) return nullptr;
  if (valued) {
    return makeCall(env, kCallFunctionLeftRightCurrying, resultType, nullptr,
                    userTarget(env, function), fullArgs);
  }
  AST* formals = functionParameters(env, function);
  AST* firstFormal = formals != nullptr ? AST_getListFirst(prog(env), formals) : nullptr;
  const u32 type = firstFormal != nullptr ? firstFormal->value.id.type : TypeStmt;
  return makeCall(env, kCallFunctionLeftCurrying, type, nullptr, userTarget(env, function),
                  fullArgs);
}

std::string signatureLine(ParserEnv* env, const Signature& s, u32 objectType, u32 firstArgType) {
  std::string line = typeName(env, getRealRetType(env, s.ret, objectType, firstArgType));
  line += '(';
  for (size_t i = 0; i < kMaxSignatureArgs && s.args[i] != TypeVoid; ++i) {
    if (s.args[i] == LAST_VARIADIC) {
      line += "...";
      continue;
    }
    if (i > 0) line += ", ";
    line += typeName(env, resolveMarker(env, s.args[i], objectType));
  }
  line += ")\n";
  return line;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up.

void parser_initBuiltinCalls(ParserEnv* env) {
  DefBuiltinState& st = state(env);
  if (st.initialised) return;
  // Markers are negative: as u32 they lie far above any type count.
  for (s32 marker : {LAST_VARIADIC, OBJ_TYPE_ID, OBJ_BASETYPE_ID, FIRST_ARG_TYPE_ID,
                     FIRST_ARG_BASETYPE_ID, ITER_RM_OP_TYPE_ID}) {
    VELK_ASSERT(marker < 0 && static_cast<u32>(marker) >= FIRST_USER_TYPE);
  }
  st.protoByCode.assign(kCallCodeCount, CallProto{});
  std::vector<bool> deprecatedByCode(kCallCodeCount, false);
  auto noteCode = [&](u32 code, CallProtoKind kind, u32 entry, u32 signature, bool deprecated) {
    VELK_ASSERT(code >= kFirstBuiltinCallCode && code < kCallCodeCount);
    CallProto& proto = st.protoByCode[code];
    // The first entry that is not deprecated wins, else the first deprecated one.
    if (proto.kind == CallProtoKind::None || (deprecatedByCode[code] && !deprecated)) {
      proto = CallProto{kind, entry, signature};
      deprecatedByCode[code] = deprecated;
    }
  };
  auto checkSignatures = [&](const Signatures& sigs, CallProtoKind kind, u32 entry,
                             bool deprecated) {
    const u32 n = signatureCount(sigs);
    VELK_ASSERT_TEXT(n > 0, "every builtin entry has a signature");
    for (u32 s = 0; s < n; ++s) {
      VELK_ASSERT(sigs[s].args[kMaxSignatureArgs - 1] == TypeVoid);
      // Markers only where they mean something: first-argument markers only as
      // results, LAST_VARIADIC never as a result and only after a type.
      VELK_ASSERT(sigs[s].ret != LAST_VARIADIC && sigs[s].ret != ITER_RM_OP_TYPE_ID);
      VELK_ASSERT(sigs[s].args[0] != LAST_VARIADIC);
      for (s32 a : sigs[s].args) {
        VELK_ASSERT(a != FIRST_ARG_TYPE_ID && a != FIRST_ARG_BASETYPE_ID && a != ITER_RM_OP_TYPE_ID);
      }
      noteCode(sigs[s].code, kind, entry, s, deprecated);
    }
  };
  for (u32 i = 0; i < std::size(kFunctions); ++i) {
    const u32 sym = defExpr_lookupOrAddSymbol(env, kFunctions[i].name);
    st.functionSymbols.push_back(sym);
    st.functionsBySymbol.emplace(sym, i);
    checkSignatures(kFunctions[i].signatures, CallProtoKind::Function, i,
                    kFunctions[i].replacement != nullptr);
  }
  for (u32 i = 0; i < std::size(kMethods); ++i) {
    VELK_ASSERT_TEXT(kMethods[i].objType != TypeVoid, "no method entry without an object type");
    const u32 sym = defExpr_lookupOrAddSymbol(env, kMethods[i].name);
    st.methodSymbols.push_back(sym);
    st.methodsBySymbol[sym].push_back(i);
    checkSignatures(kMethods[i].signatures, CallProtoKind::Method, i,
                    kMethods[i].replacement != nullptr);
  }
  for (u32 i = 0; i < std::size(kFields); ++i) {
    VELK_ASSERT_TEXT(kFields[i].objType != TypeVoid, "no field entry without an object type");
    const u32 sym = defExpr_lookupOrAddSymbol(env, kFields[i].name);
    st.fieldSymbols.push_back(sym);
    st.fieldsBySymbol[sym].push_back(i);
    noteCode(kFields[i].code, CallProtoKind::Field, i, 0, false);
  }
  st.initialised = true;
}

bool defFunc_isBuiltin(ParserEnv* env, u32 symId) {
  return state(env).functionsBySymbol.count(symId) != 0;
}

// ---------------------------------------------------------------------------
// Signatures.

bool areArgsMatchingSntr(ParserEnv* env, AST* args, CallProtoKind kind, u32 entry, u32 signature,
                         u32 objectType) {
  const Signature* s = signatureOf(kind, entry, signature);
  VELK_ASSERT(s != nullptr);
  const auto& types = s->args;
  if (args == nullptr) return types[0] == TypeVoid;
  size_t pos = 0;
  for (AST* cell : AST_cells(prog(env), args)) {
    if (types[pos] == TypeVoid) return false;  // more arguments than types
    const s32 current = types[pos] == LAST_VARIADIC ? types[pos - 1] : types[pos];
    const u32 expected = resolveMarker(env, current, objectType);
    u32 exprType = NO_ID, matched = NO_ID;
    if (!defExpr_matchExpectedType(env, expected, AST_getCar(prog(env), cell), &exprType,
                                   &matched)) {
      return false;
    }
    if (types[pos] != LAST_VARIADIC) ++pos;
  }
  return types[pos] == TypeVoid || types[pos] == LAST_VARIADIC;
}

u32 getRealRetType(ParserEnv* env, s32 ret, u32 objectType, u32 firstArgType) {
  switch (ret) {
    case OBJ_TYPE_ID:
      return objectType;
    case OBJ_BASETYPE_ID:
      return elementOf(env, objectType);
    case FIRST_ARG_TYPE_ID:
      return firstArgType;
    case FIRST_ARG_BASETYPE_ID:
      return baseOf(env, firstArgType);
    default:
      return static_cast<u32>(ret);
  }
}

std::string allocAllSntrDesc(ParserEnv* env, CallProtoKind kind, u32 entry, u32 objectType) {
  std::string text;
  const Signatures* sigs = signaturesOf(kind, entry);
  if (sigs == nullptr) return text;
  const u32 n = signatureCount(*sigs);
  for (u32 s = 0; s < n; ++s) text += signatureLine(env, (*sigs)[s], objectType, TypeVoid);
  return text;
}

// ---------------------------------------------------------------------------
// Building calls.

AST* make_function_call(ParserEnv* env, AST* name, AST* args) {
  if (name != nullptr && defFunc_isBuiltin(env, name->value.id.id)) {
    return builtinFunc_makeCall(env, name, args);
  }
  return make_user_func_call(env, name, args);
}

AST* builtinFunc_makeCall(ParserEnv* env, AST* name, AST* args) {
  VELK_ASSERT(name != nullptr);
  const DefBuiltinState& st = state(env);
  const auto found = st.functionsBySymbol.find(name->value.id.id);
  const char* text = symbolName(env, name->value.id.id);
  if (found == st.functionsBySymbol.end()) {
    fail(env, 181, "unknown operation \"%s\"\n", text);
    return nullptr;
  }
  const u32 entry = found->second;
  const int statusBefore = env->pctx->status;
  const u32 s = findSignature(env, args, CallProtoKind::Function, entry, TypeVoid);
  if (s == NO_ID) {
    if (env->pctx->status != statusBefore) return nullptr;  // an argument's own failure
    const std::string list = allocAllSntrDesc(env, CallProtoKind::Function, entry, TypeVoid);
    fail(env, 182, "invalid argument(s) for \"%s\" operation\n    available signatures are:\n%s",
         text, list.c_str());
    return nullptr;
  }
  const FunctionEntry& e = kFunctions[entry];
  return buildBuiltinCall(env, e.name, e.replacement, e.signatures[s], nullptr, TypeVoid, args);
}

AST* builtinMtd_makeCall(ParserEnv* env, AST* object, AST* name, AST* args) {
  // A library user that goes on after an error gets here with the failed
  // object: that error is already reported.
  if (object == nullptr || name == nullptr) return nullptr;
  const u32 sym = name->value.id.id;
  const u32 objectType = unwrapType(env, object);
  if (objectType == NO_ID) return nullptr;  // the object's error is reported
  const char* staticText = isTypeName(object) ? " static" : "";
  const char* text = symbolName(env, sym);
  const DefBuiltinState& st = state(env);
  u32 entry = NO_ID;
  if (const auto found = st.methodsBySymbol.find(sym); found != st.methodsBySymbol.end()) {
    for (u32 candidate : found->second) {
      if (isObjMatchingType(env, object, kMethods[candidate].objType, kMethods[candidate].objBase)) {
        entry = candidate;
        break;
      }
    }
  }
  if (entry == NO_ID) {
    if (defFunc_lookup(env, sym) != NO_ID) return makeUserMethodCall(env, object, name, args);
    fail(env, 181, "unknown%s operation \"%s\" for type \"%s\"\n", staticText, text,
         typeName(env, objectType));
    return nullptr;
  }
  const int statusBefore = env->pctx->status;
  const u32 s = findSignature(env, args, CallProtoKind::Method, entry, objectType);
  if (s == NO_ID) {
    if (env->pctx->status != statusBefore) return nullptr;  // an argument's own failure
    const std::string list = allocAllSntrDesc(env, CallProtoKind::Method, entry, objectType);
    fail(env, 182,
         "invalid argument(s) for \"%s\"%s operation of type \"%s\"\n    available signatures "
         "are:\n%s",
         text, staticText, typeName(env, objectType), list.c_str());
    return nullptr;
  }
  const MethodEntry& e = kMethods[entry];
  return buildBuiltinCall(env, e.name, e.replacement, e.signatures[s], object, objectType, args);
}

AST* builtinFld_makeCall(ParserEnv* env, AST* object, AST* name) {
  // A library user that goes on after an error gets here with the failed
  // object: that error is already reported.
  if (object == nullptr || name == nullptr) return nullptr;
  const u32 sym = name->value.id.id;
  const u32 objectType = unwrapType(env, object);
  if (objectType == NO_ID) return nullptr;
  const DefBuiltinState& st = state(env);
  if (const auto found = st.fieldsBySymbol.find(sym); found != st.fieldsBySymbol.end()) {
    for (u32 candidate : found->second) {
      const FieldEntry& f = kFields[candidate];
      if (!isObjMatchingType(env, object, f.objType, f.objBase)) continue;
      return makeCall(env, f.code, getRealRetType(env, f.ret, objectType, TypeVoid), object,
                      nullptr, nullptr);
    }
  }
  fail(env, 181, "unknown%s field \"%s\" for type \"%s\"\n", isTypeName(object) ? " static" : "",
       symbolName(env, sym), typeName(env, objectType));
  return nullptr;
}

AST* make_user_func_call(ParserEnv* env, AST* name, AST* args) {
  VELK_ASSERT(name != nullptr);
  const u32 sym = name->value.id.id;
  const u32 kind = defStmt_callable_entity_kind(env, sym);
  if (kind != 0) {
    bool valued = false;
    u32 resultType = TypeStmt;
    if (!defStmt_checkASTCall(env, name, args, &valued, &resultType)) return nullptr;
    if (kind == 2) {
      if (valued) {
        fail(env, 117, "wrong parameter number for subprocess instance call \"%s\"\n",
             symbolName(env, sym));
        return nullptr;
      }
      return makeCall(env, kCallSubProcess, TypeStmt, nullptr,
                      userTarget(env, defProc_lookupLocalInstance(env, sym)), args);
    }
    const u32 function = defFunc_lookup(env, sym);
    if (valued)
      return makeCall(env, kCallFunctionRightCurrying, resultType, nullptr,
                      userTarget(env, function), args);
    return makeCall(env, kCallFunctionCustom, TypeStmt, nullptr, userTarget(env, function), args);
  }
  const u32 type = defType_lookup(env, sym);
  if (type != NO_ID) return defType_makeCast(env, type, args);
  fail(env, 156, "undefined function or local process instance call \"%s\"\n",
       symbolName(env, sym));
  return nullptr;
}

// ---------------------------------------------------------------------------
// User functions.

u32 defFunc_lookup(ParserEnv* env, u32 symId) {
  const DefBuiltinState& st = state(env);
  const auto found = st.userFunctions.find(symId);
  return found == st.userFunctions.end() ? NO_ID : found->second;
}

namespace {

u32 appendFunction(ParserEnv* env, u32 sym, AST* parameters, AST* body) {
  program* p = prog(env);
  const u32 id = p->infoProg->n_functions;
  // The table and its symbol table each grow to exactly the new count.
  u32 symbolCapacity = env->pctx->capacity.functions;
  parser_reallocTable(&p->functionTable, &env->pctx->capacity.functions, id + 1);
  parser_reallocTable(&p->dbg->functionSymbolId, &symbolCapacity, id + 1);
  p->functionTable[id].parameters = parameters != nullptr ? AST_id(p, parameters) : NO_ID;
  p->functionTable[id].body = body != nullptr ? AST_id(p, body) : NO_ID;
  p->dbg->functionSymbolId[id] = sym;
  p->infoProg->n_functions = id + 1;
  state(env).userFunctions.emplace(sym, id);
  return id;
}

}  // namespace

AST* defFunc_definePrototype(ParserEnv* env, AST* name, AST* parameters) {
  VELK_ASSERT(name != nullptr);
  const u32 sym = name->value.id.id;
  if (defFunc_lookup(env, sym) == NO_ID) appendFunction(env, sym, parameters, nullptr);
  return AST_makeNodeVal(prog(env), FUNCTION_PROTOTYPE, sym, 0, parameters, nullptr,
                         currentLine(env));
}

AST* defFunc_define(ParserEnv* env, AST* name, AST* parameters, AST* body) {
  VELK_ASSERT(name != nullptr);
  const u32 sym = name->value.id.id;
  const u32 existing = defFunc_lookup(env, sym);
  program* p = prog(env);
  if (existing != NO_ID && p->functionTable[existing].body == NO_ID) {
    // The definition of a prototyped function: calls already built keep its index.
    p->functionTable[existing].parameters = parameters != nullptr ? AST_id(p, parameters) : NO_ID;
    p->functionTable[existing].body = body != nullptr ? AST_id(p, body) : NO_ID;
  } else {
    appendFunction(env, sym, parameters, body);
  }
  return AST_makeNodeVal(p, FUNCTION_DECLARATION, sym, 0, parameters, body, currentLine(env));
}

// ---------------------------------------------------------------------------
// Call checks of user functions and sub-process instances.

u32 defStmt_callable_entity_kind(ParserEnv* env, u32 symId) {
  if (defProc_lookupLocalInstance(env, symId) != NO_ID) return 2;
  if (defFunc_lookup(env, symId) != NO_ID) return 1;
  return 0;
}

bool defStmt_checkASTCall(ParserEnv* env, AST* name, AST* args, bool* valued, u32* resultType) {
  VELK_ASSERT(name != nullptr);
  *valued = false;
  *resultType = TypeStmt;
  const u32 sym = name->value.id.id;
  bool known = true;
  AST* formals = formalsOf(env, sym, &known);
  if (!known) return true;
  ParameterComparison details;
  const u32 result = compareParameters(env, args, formals, &details);
  switch (result) {
    case 0:
      return true;
    case 1:
      fail(env, 117,
           "wrong function \"%s\" parameters number (%zu parameter(s) expected, but %zu found)\n",
           symbolName(env, sym), static_cast<size_t>(AST_listSize(prog(env), formals)),
           static_cast<size_t>(AST_listSize(prog(env), args)));
      return false;
    case 2:
      if (details.actualType == NO_ID) return false;  // the argument's own error
      fail(env, 118,
           "wrong function \"%s\" parameter type (parameter \"%s\" expected type \"%s\", but "
           "\"%s\" found)\n",
           symbolName(env, sym), symbolName(env, details.formalName),
           typeName(env, details.formalType), typeName(env, details.actualType));
      return false;
    case 3:
      fail(env, 119, "OUT parameter must be a mutable data accessor\n");
      return false;
    default: {  // 4: the omitted last OUT parameter is the call's value
      AST* last = AST_getListNth(prog(env), formals, AST_listSize(prog(env), formals) - 1);
      *valued = true;
      *resultType = last->value.id.type;
      return true;
    }
  }
}

// ---------------------------------------------------------------------------
// Questions about built calls.

CallProto retrieveCallProto(ParserEnv* env, AST* call) {
  const u32 code = callCode(env, call);
  const DefBuiltinState& st = state(env);
  if (code == NO_ID || code >= st.protoByCode.size()) return CallProto{};
  return st.protoByCode[code];
}

namespace {

bool allConst(ParserEnv* env, AST* args) {
  for (AST* cell : AST_cells(prog(env), args)) {
    if (!defExpr_isConst(env, AST_getCar(prog(env), cell))) return false;
  }
  return true;
}

}  // namespace

bool defCall_isConst(ParserEnv* env, AST* call) {
  const u32 code = callCode(env, call);
  AST* args = AST_getCallArgs(prog(env), call);
  switch (code) {
    case kCallFunctionLeftCurrying:
    case kCallFunctionCustom:
    case kCallSubProcess:
      return false;
    case kCallFieldCustom:
      return defExpr_isConst(env, AST_getCallObj(prog(env), call));
    case kCallFunctionRightCurrying:
    case kCallFunctionLeftRightCurrying:
      // Valued user calls: constant when all their arguments are.
      return allConst(env, args);
    default:
      break;
  }
  const CallProto proto = retrieveCallProto(env, call);
  switch (proto.kind) {
    case CallProtoKind::Method:
      return kMethods[proto.entry].isConst && allConst(env, args);
    case CallProtoKind::Field:
      return kFields[proto.entry].isConst;
    default:
      return false;
  }
}

u32 defCall_getAccessRights(ParserEnv* env, AST* call) {
  const u32 code = callCode(env, call);
  if (code <= kCallFunctionLeftRightCurrying) return kAccessReadWrite;
  if (code == kCallFunctionCustom || code == kCallSubProcess) return kAccessNone;
  if (code == kCallFieldCustom) {
    AST* object = AST_getCallObj(prog(env), call);
    const u32 objectType = defType_evaluate(env, object);
    if (objectType < FIRST_USER_TYPE) {
      // The fields of a builtin record type: find the one at the call's offset.
      AST* offsetNode = AST_right(prog(env), codeNode(env, call));
      const u64 offset = offsetNode != nullptr ? offsetNode->value.uinteger : 0;
      u64 position = 0;
      AST* fields = TypeDefinition_getFieldIterator(prog(env), &prog(env)->typeTable[objectType]);
      for (AST* cell : AST_cells(prog(env), fields)) {
        AST* field = AST_getCar(prog(env), cell);
        if (position == offset) {
          AST* fieldName = AST_left(prog(env), field);
          u32 rights = kAccessReadOnly;
          if (fieldName != nullptr &&
              defType_getBaseTypeFieldAccessRights(env, objectType, fieldName->value.id.id,
                                                   &rights)) {
            return rights;
          }
          return kAccessReadOnly;
        }
        position += TypeDefID_getStorageSize(prog(env), field->value.id.type);
      }
      return kAccessReadOnly;
    }
    return defExpr_isConst(env, call) ? kAccessReadOnly : kAccessReadWrite;
  }
  const CallProto proto = retrieveCallProto(env, call);
  if (proto.kind != CallProtoKind::Field) return kAccessReadOnly;
  const FieldEntry& f = kFields[proto.entry];
  if (f.rights != kAccessInherited) return f.rights;
  // An iterator's current element is as writable as the buffer it walks.
  AST* buffer = defIter_getBufferExpr(env, AST_getCallObj(prog(env), call));
  return buffer != nullptr ? defExpr_getAccessRights(env, buffer) : kAccessReadWrite;
}

u32 defCall_getSymId(ParserEnv* env, AST* call) {
  const u32 code = callCode(env, call);
  if (code <= kCallFunctionCustom) {
    const u32 function = AST_getCustomFuncId(prog(env), call);
    return function < prog(env)->infoProg->n_functions ? prog(env)->dbg->functionSymbolId[function]
                                                       : NO_ID;
  }
  const CallProto proto = retrieveCallProto(env, call);
  const DefBuiltinState& st = state(env);
  switch (proto.kind) {
    case CallProtoKind::Function:
      return st.functionSymbols[proto.entry];
    case CallProtoKind::Method:
      return st.methodSymbols[proto.entry];
    case CallProtoKind::Field:
      return st.fieldSymbols[proto.entry];
    default:
      return NO_ID;
  }
}

u32 defCall_getObjType(ParserEnv* env, AST* call) {
  if (codeNode(env, call) == nullptr) return TypeVoid;
  return unwrapType(env, AST_getCallObj(prog(env), call));
}

bool defCall_is(ParserEnv* env, AST* call, u32 code, u32 objectType) {
  return callCode(env, call) == code && defCall_getObjType(env, call) == objectType;
}

// ---------------------------------------------------------------------------
// Print formats.

bool defFunc_checkPrintCall(ParserEnv* env, AST* args) {
  AST* format = argAt(env, args, 0);
  if (format == nullptr) return true;
  if (format->op != STRING_OP) {
    // A computed format is checked at run time; it must at least be text.
    const u32 type = defType_evaluate(env, format);
    if (validType(env, type) && prog(env)->typeTable[type].bufferType != NONE_BUFFER &&
        baseOf(env, type) == TypeUInt8) {
      return true;
    }
    fail(env, 134, "first print() or println() argument has to be a uint8 channel or array\n");
    return false;
  }
  const int count = static_cast<int>(AST_listSize(prog(env), args)) - 1;
  if (count == 0) return true;  // a lone literal format is printed as it is
  std::string text;
  if (!literalText(env, format, &text)) return true;
  ast_iterator it = ast_it_create(prog(env), AST_getCdr(prog(env), args));
  int used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
      continue;
    }
    if (text[i] != '%') continue;
    if (i + 1 == text.size()) {
      fail(env, 134, "spurious trailing \u2018%%\u2019 in format\n");
      return false;
    }
    const char c = text[++i];
    if (c == '%') continue;
    ++used;
    if (used > count) {
      fail(env, 134, "Print formats expects at least %d parameters, only %d found\n", used, count);
      return false;
    }
    if (std::strchr("diufbtcxs", c) == nullptr) {
      fail(env, 134, "unknown conversion type character '%c'\n", c);
      return false;
    }
    AST* arg = ast_it_current(&it);
    ast_it_next(&it);
    if (!checkConversion(env, c, arg, used)) return false;
  }
  if (used < count) {
    fail(env, 134, "too many arguments for format\n");
    return false;
  }
  return true;
}

void parser_checkBuiltinCalls(ParserEnv* env) {
  program* p = prog(env);
  if (p->root == nullptr) return;
  // Each declaration depth first in source order with an explicit stack (the
  // tree may be as deep as the grammar allows); nodes shared by several
  // parents (symbols, declarations referenced by their accesses) are visited
  // once, as part of the declaration met first.
  struct Checker : SourceVisitor {
    Checker(ParserEnv* e, program* prog)
        : env(e),
          p(prog),
          st(state(e)),
          mainFile(e->pctx->sourceFileName.empty() ? e->pctx->fileName
                                                   : e->pctx->sourceFileName) {}
    ParserEnv* env;
    program* p;
    DefBuiltinState& st;
    std::vector<u8> visited;  // bytes: cheaper to test than bits
    std::vector<u32> stack;
    const std::string mainFile;

    // The name that messages give the file: its label, or the main file's.
    std::string fileName(const AST* file) const {
      const u32 label = file != nullptr ? file->value.id.string : NO_ID;
      return label != NO_ID && label < p->infoProg->n_string
                 ? std::string(p->stringTable + p->stringTableIndex[label])
                 : mainFile;
    }

    // The format callback of one call, if its function has one.
    bool check(AST* call, const AST* file) {
      if (call->op != CALL_OP) return true;
      const CallProto proto = retrieveCallProto(env, call);
      const Signature* s = signatureOf(proto.kind, proto.entry, proto.signature);
      if (s == nullptr || s->format == nullptr) return true;
      env->pctx->checkedNode = AST_id(p, call);
      st.reportFile = fileName(file);
      st.useReportFile = true;
      const bool ok = s->format(env, call);
      st.useReportFile = false;
      return ok;
    }

    bool declaration(AST* node, const AST* file) {
      const u32 count = p->infoProg->n_AST;
      if (visited.empty()) visited.assign(count, 0);
      stack.assign(1, AST_id(p, node));
      while (!stack.empty()) {
        const u32 id = stack.back();
        stack.pop_back();
        if (id >= count || visited[id] != 0) continue;
        visited[id] = 1;
        AST* current = &p->RAMprogram[id];
        if (!check(current, file)) return false;
        if (current->right != NO_ID) stack.push_back(current->right);
        if (current->left != NO_ID) stack.push_back(current->left);
      }
      return true;
    }
  } checker(env, p);
  // Within the checks of parser_check the calls are already known.
  if (const std::vector<BuiltinCallSite>* sites = parser_checkedCallSites(env)) {
    for (const BuiltinCallSite& site : *sites) {
      if (!checker.check(site.call, site.file)) return;
    }
    return;
  }
  parser_walkSource(p, p->root, checker);
}
