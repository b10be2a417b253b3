#include "builtins.h"

#include <cmath>
#include <cstring>

#include "ast_list.h"
#include "buffers.h"
#include "expression.h"
#include "interp_call.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "print.h"
#include "process.h"
#include "random.h"
#include "statement.h"
#include "velk_typing.h"

namespace {

const TypeDefinition* typeAt(InterpEnv* env, u32 typeId) {
  const program* p = env->program;
  return typeId < p->infoProg->n_type ? &p->typeTable[typeId] : nullptr;
}

// A value of a user type declared over a primitive, retyped as that
// primitive so that the conversions apply.
TaggedValue primitiveValue(InterpEnv* env, TaggedValue value) {
  const u32 kind = builtin_primitiveKind(env, value.typeId);
  if (kind != NO_ID) value.typeId = kind;
  return value;
}

// The list cell of argument n, or null when the list is shorter.
AST* argumentOrNull(InterpEnv* env, AST* call, u32 n) {
  const program* p = env->program;
  AST* cell = AST_getCallArgs(p, call);
  for (u32 k = 0; cell != nullptr; ++k, cell = AST_right(p, cell)) {
    INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
    if (k == n) return AST_left(p, cell);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Ordering for max / min: signed integers by their sign-extended value,
// floats as floats (a NaN is never strictly greater or less), the rest
// unsigned.

int compareCells(u32 typeId, DataCell a, DataCell b) {
  if (typeId == TypeF32) {
    float x;
    float y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x > y ? 1 : (x < y ? -1 : 0);
  }
  if (typeId == TypeF64) {
    double x;
    double y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x > y ? 1 : (x < y ? -1 : 0);
  }
  if (isIntType(typeId) && isSignedIntType(typeId)) {
    const s64 x = primTypeToSInt64(TaggedValue{&a, typeId, NO_ID}, nullptr);
    const s64 y = primTypeToSInt64(TaggedValue{&b, typeId, NO_ID}, nullptr);
    return x > y ? 1 : (x < y ? -1 : 0);
  }
  return a > b ? 1 : (a < b ? -1 : 0);
}

// The generators of the integer rand_uniform methods, by type id 2 to 9.
BinaryGenerator integerUniformOf(u32 typeId) {
  switch (typeId) {
    case TypeUInt8:
      return uInt8_randomUniform;
    case TypeSInt8:
      return sInt8_randomUniform;
    case TypeUInt16:
      return uInt16_randomUniform;
    case TypeSInt16:
      return sInt16_randomUniform;
    case TypeUInt32:
      return uInt32_randomUniform;
    case TypeSInt32:
      return sInt32_randomUniform;
    case TypeUInt64:
      return uInt64_randomUniform;
    case TypeSInt64:
      return sInt64_randomUniform;
    default:
      return nullptr;
  }
}

float f32Argument(InterpEnv* env, AST* call, u32 n) {
  const TaggedValue val = primitiveValue(env, builtin_argument(env, call, n));
  INTERP_ASSERT_TEXT(env, val.typeId == TypeF32 && val.value != nullptr, "val.typeId == TypeF32");
  return TaggedValue_asF32(val, CONV_NONE);
}

double f64Argument(InterpEnv* env, AST* call, u32 n) {
  const TaggedValue val = primitiveValue(env, builtin_argument(env, call, n));
  INTERP_ASSERT_TEXT(env, val.typeId == TypeF64 && val.value != nullptr, "val.typeId == TypeF64");
  return TaggedValue_asF64(val, CONV_NONE);
}

// Offsets of cos, sin, atan, sqrt, pow, abs, log from the first math code of
// each precision.
enum MathFunction : u32 { kCos = 0, kSin, kAtan, kSqrt, kPow, kAbs, kLog };

template <class F>
F applyMath(u32 function, F x, F y) {
  switch (function) {
    case kCos:
      return std::cos(x);
    case kSin:
      return std::sin(x);
    case kAtan:
      return std::atan(x);
    case kSqrt:
      return std::sqrt(x);
    case kPow:
      return std::pow(x, y);
    case kAbs:
      return std::fabs(x);
    default:
      return std::log(x);
  }
}

// The global variable a write goes to accepts it: its change callback (if it
// has one) returned 0. Values of no global are always accepted.
bool pushAccepted(InterpEnv* env, u32 globalId, TaggedValue value) {
  if (globalId == NO_ID) return true;
  INTERP_ASSERT(env, globalId < env->program->infoProg->n_globalVariables);
  // A borrowed image may have grown past the callback arrays: no hook there.
  if (globalId >= env->ctx->cache->callbackVariables) return true;
  const VarChangeCallback onChange = env->ctx->var_change_callback[globalId];
  return onChange == nullptr || onChange(env, globalId, 1, value) == 0;
}

}  // namespace

u32 builtin_primitiveKind(InterpEnv* env, u32 typeId) {
  if (typeId < TypePrimitive) return typeId;
  const TypeDefinition* t = typeAt(env, typeId);
  if (t == nullptr) return NO_ID;
  return t->bufferType == NONE_BUFFER && t->baseType < TypePrimitive ? t->baseType : NO_ID;
}

AST* builtin_objectNode(InterpEnv* env, AST* call) {
  AST* object = AST_getCallObj(env->program, call);
  INTERP_ASSERT_TEXT(env, object != nullptr, "AST_getCallObj(p, call) != NULL");
  return object;
}

TaggedValue builtin_object(InterpEnv* env, AST* call) {
  return expr_execute(env, builtin_objectNode(env, call));
}

AST* builtin_argumentNode(InterpEnv* env, AST* call, u32 n) {
  AST* argument = argumentOrNull(env, call, n);
  INTERP_ASSERT_TEXT(env, argument != nullptr, "ast_it_notEnd(argsIt)");
  return argument;
}

TaggedValue builtin_argument(InterpEnv* env, AST* call, u32 n) {
  return expr_execute(env, builtin_argumentNode(env, call, n));
}

// ---------------------------------------------------------------------------
// Channels and iterators.

TaggedValue builtin_channelWrite(InterpEnv* env, AST* call, bool sorted) {
  const TaggedValue channel = builtin_object(env, call);
  INTERP_ASSERT_TEXT(env, channel_isChannel(env, channel), "channel_isChannel(env, channel)");
  return builtin_channelStore(env, call, channel, builtin_argument(env, call, 0), sorted);
}

void builtin_checkChannel(InterpEnv* env, TaggedValue channel) {
  INTERP_ASSERT_TEXT(env, channel_isChannel(env, channel), "channel_isChannel(env, channel)");
}

TaggedValue builtin_channelStore(InterpEnv* env, AST* call, TaggedValue channel,
                                 TaggedValue value, bool sorted) {
  const u32 elementType = env->program->typeTable[channel.typeId].baseType;
  const TaggedValue element = value.typeId == elementType
                                  ? value
                                  : interpStack_pushForcedTypeValue(env, elementType, value);
  // A full channel stores nothing: it reports the invalid operation alone,
  // without announcing the element to the change callback first.
  if (!channel_full(env, channel) && !pushAccepted(env, channel.globalId, element)) {
    return kStatementValue;
  }
  if (sorted) {
    channel_insert_sorted(env, channel, element, call);
  } else {
    channel_push(env, channel, element, call);
  }
  return kStatementValue;
}

TaggedValue builtin_channelClear(InterpEnv* env, AST* call) {
  channel_clear(env, builtin_object(env, call));
  return kStatementValue;
}

TaggedValue builtin_iteratorRemove(InterpEnv* env, AST* call) {
  iterator_remove(env, builtin_object(env, call));
  return kStatementValue;
}

// ---------------------------------------------------------------------------
// Time, random numbers and the host.

TaggedValue builtin_time(InterpEnv* env) {
  INTERP_ASSERT_TEXT(env, env->ctx->gettime_callback != NULL, "env->ctx->gettime_callback != NULL");
  return interpStack_pushSingleAnyValue(env, TypeTime, env->ctx->gettime_callback(env));
}

TaggedValue builtin_seed(InterpEnv* env, AST* call, bool withValue) {
  if (!withValue) return interpStack_pushUInt32(env, random_seedTime(env));
  const TaggedValue value = primitiveValue(env, builtin_argument(env, call, 0));
  INTERP_ASSERT_TEXT(env, value.value != nullptr, "kIcrNotPrimType should not happen");
  return interpStack_pushUInt32(env, random_seed(primTypeToUInt32(value, nullptr)));
}

TaggedValue builtin_choiceUniformEnum(InterpEnv* env, AST* call, bool typeArgument) {
  const program* p = env->program;
  AST* typeNode = nullptr;
  if (typeArgument) {
    typeNode = builtin_argumentNode(env, call, 0);
  } else {
    INTERP_ASSERT_TEXT(env, AST_getCallArgs(p, call) == nullptr, "NULL == args");
    typeNode = AST_getCallObj(p, call);
  }
  // The type name names the enumeration; the call's type says it too.
  const u32 resultType = call->value.id.type;
  u32 enumType = resultType;
  if (typeNode != nullptr && typeNode->op == TYPE_OP && AST_left(p, typeNode) != nullptr) {
    enumType = AST_left(p, typeNode)->value.id.id;
  }
  const TypeDefinition* t = typeAt(env, enumType);
  INTERP_ASSERT_TEXT(env, t != nullptr && t->baseType == TypeEnum,
                     "TypeEnum == env->program->typeTable[enumType].baseType");
  TaggedValue result = random_choiceUniformEnum(env, enumType);
  const TypeDefinition* r = typeAt(env, resultType);
  if (r != nullptr && r->baseType == TypeEnum) result.typeId = resultType;
  return result;
}

TaggedValue builtin_sleep(InterpEnv* env, AST* call) {
  const u64 ps = time_durationToPs(env, builtin_argumentNode(env, call, 0));
  INTERP_ASSERT_TEXT(env, env->ctx->delay_callback != NULL, "env->ctx->delay_callback != NULL");
  time_advance(env, ps);
  return kStatementValue;
}

// exit(code): the compiler appends the line of the call as an INTEGER_OP.
TaggedValue builtin_exit(InterpEnv* env, AST* call) {
  AST* code = builtin_argumentNode(env, call, 0);
  AST* lineNode = argumentOrNull(env, call, 1);
  const size_t line = lineNode != nullptr && lineNode->op == INTEGER_OP
                          ? static_cast<size_t>(lineNode->value.uinteger)
                          : AST_line(env->program, call);
  interp_exit(env, line, code);
  return kStatementValue;
}

// assert(condition): the compiler appends the file name, the line and the
// source text of the call.
TaggedValue builtin_assert(InterpEnv* env, AST* call) {
  AST* condition = builtin_argumentNode(env, call, 0);
  AST* file = builtin_argumentNode(env, call, 1);
  AST* line = builtin_argumentNode(env, call, 2);
  AST* text = builtin_argumentNode(env, call, 3);
  INTERP_ASSERT_TEXT(env, file->op == LABEL_STRING_OP && text->op == LABEL_STRING_OP,
                     "LABEL_STRING_OP == file->op && LABEL_STRING_OP == text->op");
  INTERP_ASSERT_TEXT(env, line->op == INTEGER_OP, "INTEGER_OP == line->op");
  interp_assert(env, static_cast<size_t>(line->value.uinteger), condition, file->value.id.string,
                text->value.id.string);
  return kStatementValue;
}

TaggedValue builtin_syncIO(InterpEnv* env) {
  INTERP_ASSERT_TEXT(env, env->ctx->syncio_callback != NULL, "env->ctx->syncio_callback != NULL");
  env->ctx->syncio_callback(env);
  return kStatementValue;
}

// The board's I/O exists only on the board. The run goes on (as far as the
// exit callback lets it) with a zero in place of a measured value.
TaggedValue builtin_boardIO(InterpEnv* env, AST* call) {
  interp_failure(env,
                 "Forbidden use of special FRDMK64F function (IO.measure_c10_c11, "
                 "IO.pulse_out_c10, IO.pulse_in_c11, etc) methods in off-line context.");
  const u32 resultType = call->value.id.type;
  const TypeDefinition* t = typeAt(env, resultType);
  if (t == nullptr || t->storageSize == 0) return kStatementValue;
  return interpStack_pushZeroed(env, resultType);
}

// ---------------------------------------------------------------------------
// Printing.

TaggedValue builtin_print(InterpEnv* env, AST* call, bool line) {
  AST* arguments = AST_getCallArgs(env->program, call);
  if (line) {
    print_formatLine(env, arguments);
  } else {
    print_format(env, arguments);
  }
  return kStatementValue;
}

TaggedValue builtin_stringPrint(InterpEnv* env, AST* call) {
  string_print_format(env, AST_getCallArgs(env->program, call));
  return kStatementValue;
}

// ---------------------------------------------------------------------------
// Type fields and methods.

TaggedValue builtin_typeBound(InterpEnv* env, u32 code) {
  // FIRST then LAST of each type, in the order of the codes.
  static constexpr u32 kBoundTypes[] = {TypeUInt8,  TypeSInt8,  TypeUInt16, TypeSInt16,
                                        TypeUInt32, TypeSInt32, TypeUInt64, TypeSInt64,
                                        TypeTime,   TypeF32,    TypeF64};
  INTERP_ASSERT_TEXT(env, code >= kCallUInt8First && code <= kCallF64Last, "!\"impossible case\"");
  const u32 k = code - kCallUInt8First;
  return expr_typeField(env, kBoundTypes[k / 2], k % 2 == 1);
}

TaggedValue builtin_integerMethod(InterpEnv* env, AST* call, u32 code) {
  INTERP_ASSERT_TEXT(env, code >= kCallUInt8Max && code <= kCallSInt64RandUniform,
                     "!\"impossible case\"");
  // Six codes per width: unsigned max, min, signed max, min, then the
  // unsigned and signed rand_uniform.
  const u32 k = code - kCallUInt8Max;
  const u32 unsignedType = TypeUInt8 + 2 * (k / 6);
  const u32 signedType = unsignedType + 1;
  switch (k % 6) {
    case 0:
      return builtin_maxMin(env, call, unsignedType, true);
    case 1:
      return builtin_maxMin(env, call, unsignedType, false);
    case 2:
      return builtin_maxMin(env, call, signedType, true);
    case 3:
      return builtin_maxMin(env, call, signedType, false);
    case 4:
      return builtin_randUniform(env, call, unsignedType);
    default:
      return builtin_randUniform(env, call, signedType);
  }
}

TaggedValue builtin_maxMin(InterpEnv* env, AST* call, u32 typeId, bool isMax) {
  const program* p = env->program;
  AST* arguments = AST_getCallArgs(p, call);
  INTERP_ASSERT_TEXT(env, arguments != nullptr && arguments->op == LIST, "ast_it_notEnd(argsIt)");
  // Each argument in the method's type; only the best cell so far is kept,
  // so the temporaries of every argument go at once.
  const u32 mark = interpStack_mark(env);
  DataCell best = 0;
  bool first = true;
  for (AST* argumentCell : AST_cells(p, arguments)) {
    const TaggedValue argument =
        primitiveValue(env, expr_execute(env, AST_getCar(p, argumentCell)));
    const DataCell cell = *expr_conversion(env, typeId, argument).value;
    if (first || compareCells(typeId, cell, best) == (isMax ? 1 : -1)) best = cell;
    first = false;
    interpStack_release(env, mark);
  }
  return interpStack_pushSingleAnyValue(env, typeId, best);
}

TaggedValue builtin_randUniform(InterpEnv* env, AST* call, u32 typeId) {
  const BinaryGenerator generator = integerUniformOf(typeId);
  if (generator != nullptr) return builtin_random2(env, call, generator);
  const TaggedValue a = builtin_argument(env, call, 0);
  const TaggedValue b = builtin_argument(env, call, 1);
  return random_uniformInteger(env, typeId, a, b);
}

TaggedValue builtin_random2(InterpEnv* env, AST* call, BinaryGenerator generator) {
  const TaggedValue a = builtin_argument(env, call, 0);
  const TaggedValue b = builtin_argument(env, call, 1);
  return generator(env, a, b);
}

TaggedValue builtin_paretoInteger(InterpEnv* env, AST* call, u32 code) {
  static constexpr BinaryGenerator kFromF32[] = {uInt8_random_pareto_f32, uInt16_random_pareto_f32,
                                                 uInt32_random_pareto_f32,
                                                 uInt64_random_pareto_f32};
  static constexpr BinaryGenerator kFromF64[] = {uInt8_random_pareto_f64, uInt16_random_pareto_f64,
                                                 uInt32_random_pareto_f64,
                                                 uInt64_random_pareto_f64};
  if (code >= kCallUInt8RandParetoF32 && code <= kCallUInt64RandParetoF32) {
    return builtin_random2(env, call, kFromF32[code - kCallUInt8RandParetoF32]);
  }
  INTERP_ASSERT_TEXT(env, code >= kCallUInt8RandParetoF64 && code <= kCallUInt64RandParetoF64,
                     "!\"impossible case\"");
  return builtin_random2(env, call, kFromF64[code - kCallUInt8RandParetoF64]);
}

TaggedValue builtin_mathF32(InterpEnv* env, AST* call, u32 code) {
  INTERP_ASSERT_TEXT(env, code >= kCallF32Cos && code <= kCallF32Log, "!\"impossible case\"");
  const u32 function = code - kCallF32Cos;
  const float x = f32Argument(env, call, 0);
  const float y = function == kPow ? f32Argument(env, call, 1) : 0.0f;
  return interpStack_pushF32(env, applyMath(function, x, y));
}

TaggedValue builtin_mathF64(InterpEnv* env, AST* call, u32 code) {
  INTERP_ASSERT_TEXT(env, code >= kCallF64Cos && code <= kCallF64Log, "!\"impossible case\"");
  const u32 function = code - kCallF64Cos;
  const double x = f64Argument(env, call, 0);
  const double y = function == kPow ? f64Argument(env, call, 1) : 0.0;
  return interpStack_pushF64(env, applyMath(function, x, y));
}

// The magnitude of a signed value in the unsigned type of its width: every
// magnitude fits, the most negative value's included (int8 -128 gives 128).
TaggedValue builtin_abs(InterpEnv* env, AST* call, u32 code) {
  INTERP_ASSERT_TEXT(env, code >= kCallUInt8Abs && code <= kCallUInt64Abs, "!\"impossible case\"");
  const u32 unsignedType = TypeUInt8 + 2 * (code - kCallUInt8Abs);
  const u32 signedType = unsignedType + 1;
  const TaggedValue argument = primitiveValue(env, builtin_argument(env, call, 0));
  const s64 value = primTypeToSInt64(expr_conversion(env, signedType, argument), nullptr);
  const u64 magnitude = value < 0 ? u64{0} - static_cast<u64>(value) : static_cast<u64>(value);
  return interpStack_pushSingleAnyValue(env, unsignedType,
                                        magnitude & integerTypeMask(unsignedType));
}

TaggedValue builtin_cast(InterpEnv* env, AST* call) {
  return interpStack_pushForcedTypeValue(env, call->value.id.type, builtin_argument(env, call, 0));
}

// `as` converts to the primitive the call's type stands for and keeps the
// call's type; Natural and Signed_Integer convert as their 64-bit widths.
TaggedValue builtin_as(InterpEnv* env, AST* call) {
  const u32 resultType = call->value.id.type;
  u32 kind = builtin_primitiveKind(env, resultType);
  if (kind == TypeInt) kind = TypeUInt64;
  if (kind == TypeSInt) kind = TypeSInt64;
  const TaggedValue argument = primitiveValue(env, builtin_argument(env, call, 0));
  TaggedValue result = expr_conversion(env, kind == NO_ID ? resultType : kind, argument);
  result.typeId = resultType;
  return result;
}
