#include "expression.h"

#include <cstring>

#include "buffers.h"
#include "interp_call.h"
#include "interp_stack.h"
#include "process.h"
#include "statement.h"
#include "velk_locals.h"
#include "velk_typing.h"

namespace {

constexpr TaggedValue VOID_VALUE = {nullptr, TypeVoid, NO_ID};

// Values that can go through the primitive conversions: an integer type,
// bool, float32 or float64 with storage behind it.
bool isConvertible(TaggedValue value) {
  const u32 t = value.typeId;
  return value.value != nullptr &&
         (isIntType(t) || t == TypeBoolean || t == TypeF32 || t == TypeF64);
}

// The child a node of this shape must have; a damaged image may lack it.
AST* requiredLeft(InterpEnv* env, AST* astp) {
  AST* left = AST_left(env->program, astp);
  INTERP_ASSERT_TEXT(env, left != nullptr, "AST_left(env->program, astp) != NULL");
  return left;
}

// A binary or unary operator through the operator table; comparisons give bool.
TaggedValue executeOperator(InterpEnv* env, AST* astp, bool unary, bool comparison) {
  const program* p = env->program;
  const TaggedValue left = expr_execute(env, AST_left(p, astp));
  DataCell rightCell = 0;
  if (unary) {
    INTERP_ASSERT_TEXT(env, astp->right == NO_ID, "AST_right(env->program, astp) == NULL");
  } else {
    const TaggedValue right = expr_execute(env, AST_right(p, astp));
    INTERP_ASSERT_TEXT(env, right.typeId < p->infoProg->n_type,
                       "rightValue.typeId < env->program->infoProg->n_type");
    INTERP_ASSERT_TEXT(env, right.value != nullptr, "rightValue.value != NULL");
    rightCell = *right.value;
  }
  INTERP_ASSERT_TEXT(env, left.typeId < p->infoProg->n_type,
                     "leftValue.typeId < env->program->infoProg->n_type");
  INTERP_ASSERT_TEXT(env, left.value != nullptr, "leftValue.value != NULL");
  const u32 operatorTypeId = astp->value.id.type;
  INTERP_ASSERT(env, operatorTypeId < TypePrimitive);
  INTERP_ASSERT(env, env->ctx->execute_operator != NULL);
  const OperatorFunction function = env->ctx->execute_operator[operatorTypeId];
  INTERP_ASSERT(env, env->ctx->execute_operator[operatorTypeId] != NULL);
  const DataCell result = function(env, astp, *left.value, rightCell);
  if (comparison) return interpStack_pushBoolean(env, result != 0);
  return interpStack_pushSingleAnyValue(env, expr_resultTypeOf(astp->op, operatorTypeId), result);
}

// A count too large for the unit wraps like any time64 arithmetic (the
// compiler already rejects second literals above 18446744, the largest that
// fits).
TaggedValue executeTimeLiteral(InterpEnv* env, AST* astp, u64 psPerUnit) {
  u64 count = astp->value.uinteger;
  if (astp->left != NO_ID) {
    // A duration expression: the compiler requires an unsigned integer type.
    const TaggedValue value = expr_execute(env, AST_left(env->program, astp));
    INTERP_ASSERT_TEXT(env, isConvertible(value), "kIcrNotPrimType should not happen");
    count = primTypeToUInt64(value, nullptr);
  }
  return interpStack_pushSingleAnyValue(env, TypeTime, count * psPerUnit);
}

TaggedValue executeGlobalVariable(InterpEnv* env, AST* astp) {
  const u32 id = requiredLeft(env, astp)->value.id.id;
  INTERP_ASSERT_TEXT(env, id < env->program->infoProg->n_globalVariables,
                     "AST_getVarId(astp) < env->program->infoProg->n_globalVariables");
  const VarReadCallback onRead = env->ctx->var_read_callback[id];
  if (onRead != nullptr) onRead(env, id);
  TaggedValue value = env->program->globalVariableTable[id];
  value.globalId = id;
  return value;
}

TaggedValue executeGlobalConstant(InterpEnv* env, AST* astp) {
  const u32 id = requiredLeft(env, astp)->value.id.id;
  INTERP_ASSERT_TEXT(env, id < env->program->infoProg->n_globalConstants,
                     "AST_getVarId(astp) < env->program->infoProg->n_globalConstants");
  return env->program->globalConstantTable[id];
}

// LocalVariable_reference and LocalConstant_reference bound the id by the
// current frame.
TaggedValue executeLocalVariable(InterpEnv* env, AST* astp) {
  return LocalVariable_reference(env, requiredLeft(env, astp)->value.id.id);
}

TaggedValue executeLocalConstant(InterpEnv* env, AST* astp) {
  return LocalConstant_reference(env, requiredLeft(env, astp)->value.id.id);
}

TaggedValue executeStaticVariable(InterpEnv* env, AST* astp) {
  const u32 id = requiredLeft(env, astp)->value.id.id;
  const u32 base = env->ctx->localVarsIndexes.base.processStaticVariables;
  const u32 count = env->program->infoProg->n_processStaticVariables;
  // Outside a process activation the base is NO_ID and no static is visible.
  INTERP_ASSERT_TEXT(env, base != NO_ID && base <= count && id < count - base,
                     "AST_getVarId(astp) < env->program->infoProg->n_processStaticVariables - "
                     "env->ctx->localVarsIndexes.base.processStaticVariables");
  return env->program->processStaticVariableTable[base + id];
}

// A value stored in the constant data table at index, typed typeId.
TaggedValue constantDataValue(InterpEnv* env, u32 index, u32 typeId) {
  INTERP_ASSERT_TEXT(env, index < env->program->infoProg->size_constantData,
                     "index < env->program->infoProg->size_constantData");
  return TaggedValue{env->program->constantDataTable + index, typeId, NO_ID};
}

// The index is evaluated before the array. Negative indexes are reported and
// replaced by 0; array_get bounds the upper end.
TaggedValue executeArrayIndex(InterpEnv* env, AST* astp) {
  const program* p = env->program;
  const TaggedValue indexValue = expr_execute(env, AST_right(p, astp));
  u32 convRes = 0;
  u32 index = primTypeToSize(indexValue, &convRes);
  // Only a negative source sets these outcomes; checking them first turns an
  // impossible-but-negative index into the program error it is.
  constexpr u32 NEGATIVE = CONV_NEG_TO_WIDER_UNSIGNED | CONV_NEG_TO_UNSIGNED | CONV_UNDERFLOW;
  if (convRes & NEGATIVE) {
    interp_failure(env, "Negative array index\n");
    index = 0;
  } else {
    INTERP_ASSERT(env, convRes & CONV_SAFE_2COMPL);
  }
  const TaggedValue array = expr_execute(env, AST_left(p, astp));
  INTERP_ASSERT_TEXT(env, array.typeId < p->infoProg->n_type && array.value != nullptr,
                     "array.typeId < env->program->infoProg->n_type");
  return array_get(env, array, index);
}

TaggedValue executeAssign(InterpEnv* env, AST* astp) {
  const program* p = env->program;
  const TaggedValue value = expr_execute(env, AST_right(p, astp));
  const TaggedValue target = expr_execute(env, AST_left(p, astp));
  expr_assign(env, target, value);
  return kStatementValue;
}

void storeInteger(InterpEnv* env, TaggedValue cell, TaggedValue value) {
  const u32 toTypeId = cell.typeId;
  u32 convRes = 0;
  u64 converted = primTypeToInteger(value, toTypeId, &convRes);
  INTERP_ASSERT_TEXT(env, convRes != CONV_NOT_CONVERTIBLE, "kIcrNotPrimType should not happen");
  if (convRes == CONV_OVERFLOW) {
    converted = integerTypeLast(toTypeId);
  } else if (convRes & (CONV_UNDERFLOW | CONV_NEG_TO_UNSIGNED | CONV_NEG_TO_WIDER_UNSIGNED)) {
    converted = integerTypeFirst(toTypeId);
  }
  *cell.value = converted;
}

}  // namespace

TaggedValue expr_execute(InterpEnv* env, AST* astp) {
  if (astp == nullptr) return VOID_VALUE;
  // Operator chains nest one call per operator: a chain of many thousands
  // (accepted by the compiler at any length) must end in the value stack's
  // report, not in a crash of the thread's own stack.
  if (process_nativeStackLow()) interp_fatal(env, "Stack overflow\n");
  switch (astp->op) {
    case AND_OP: {
      const program* p = env->program;
      const bool result = expr_executeBoolean(env, AST_left(p, astp)) &&
                          expr_executeBoolean(env, AST_right(p, astp));
      return interpStack_pushBoolean(env, result);
    }
    case OR_OP: {
      const program* p = env->program;
      const bool result = expr_executeBoolean(env, AST_left(p, astp)) ||
                          expr_executeBoolean(env, AST_right(p, astp));
      return interpStack_pushBoolean(env, result);
    }
    case NOT_OP:
      return expr_not(env, expr_execute(env, AST_left(env->program, astp)));
    case PLUS_OP:
    case MINUS_OP:
    case MUL_OP:
    case DIV_OP:
    case MOD_OP:
    case BIT_AND_OP:
    case BIT_OR_OP:
    case BIT_XOR_OP:
    case BIT_LSHIFT_OP:
    case BIT_RSHIFT_OP:
      return executeOperator(env, astp, false, false);
    case NEG_OP:
    case BIT_NOT_OP:
      return executeOperator(env, astp, true, false);
    case CEQ_OP:
    case CNE_OP:
    case CGE_OP:
    case CLE_OP:
    case GT_OP:
    case LT_OP:
      return executeOperator(env, astp, false, true);
    case BOOLEAN_OP:
      return interpStack_pushBoolean(env, astp->value.boolean != 0);
    case INTEGER_OP:
      return interpStack_pushSingleAnyValue(env, TypeInt, astp->value.uinteger);
    case F32_LITERAL_OP:
      return interpStack_pushF32(env, astp->value.f32);
    case F64_LITERAL_OP:
      return interpStack_pushF64(env, astp->value.f64);
    case NS_LITERAL_OP:
      return executeTimeLiteral(env, astp, kPicosecondsPerNs);
    case US_LITERAL_OP:
      return executeTimeLiteral(env, astp, kPicosecondsPerUs);
    case MS_LITERAL_OP:
      return executeTimeLiteral(env, astp, kPicosecondsPerMs);
    case S_LITERAL_OP:
      return executeTimeLiteral(env, astp, kPicosecondsPerS);
    case FREQUENCY_OP:
      return interpStack_pushSingleAnyValue(env, TypeTime, astp->value.uinteger);
    case ENUM_VALUE_OP:
      // An enumeration value is its enumerator's symbol id, a 32-bit cell.
      return interpStack_pushSingleAnyValue(env, astp->value.id.type,
                                            requiredLeft(env, astp)->value.id.id);
    case STRING_OP:
      return constantDataValue(env, astp->value.id.id, TypeString);
    case INITIALIZER_OP:
      return constantDataValue(env, AST_getInitializerId(env->program, astp), TypeStructure);
    case TYPE_OP:
      INTERP_ASSERT_TEXT(env, false, "TYPE_OP should not be evaluated");
      return VOID_VALUE;
    case FLOAT_OP:
      INTERP_ASSERT_TEXT(env, false, "FLOAT_OP should not happen");
      return VOID_VALUE;
    case CAST_OP:
      return interpStack_pushForcedTypeValue(env, astp->value.id.type,
                                             expr_execute(env, AST_left(env->program, astp)));
    case GLOBAL_VARIABLE_OP:
      return executeGlobalVariable(env, astp);
    case GLOBAL_CONSTANT_OP:
      return executeGlobalConstant(env, astp);
    case LOCAL_VAR:
      return executeLocalVariable(env, astp);
    case LOCAL_CONSTANT_OP:
      return executeLocalConstant(env, astp);
    case STATIC_VARIABLE_OP:
      return executeStaticVariable(env, astp);
    case ARRAY_INDEX_OP:
      return executeArrayIndex(env, astp);
    case ASSIGN_OP:
      return executeAssign(env, astp);
    case CALL_OP:
      return interp_executeCall(env, astp);
    case LOOP_OVER_OP:
      statement_loopover(env, astp);
      return kStatementValue;
    default:
      // A statement or declaration node where an expression belongs: the
      // image is corrupt and nothing sensible can follow.
      interp_fatal(env, "unknown operator/statement (%d)\n", static_cast<int>(astp->op));
  }
}

u32 expr_resultTypeOf(u32 op, u32 operatorTypeId) {
  // The negation of an unsigned operand is computed in the operand's width
  // (the two's complement wraps the same way) and read as the signed type of
  // that width, the type of the expression: -u for a uint8 1 is the int8 -1.
  const bool unsignedOperand = operatorTypeId >= TypeUInt8 && operatorTypeId <= TypeUInt64 &&
                               isUnsignedIntType(operatorTypeId);
  return op == NEG_OP && unsignedOperand ? operatorTypeId + 1 : operatorTypeId;
}

bool expr_executeBoolean(InterpEnv* env, AST* astp) {
  const TaggedValue value = expr_execute(env, astp);
  INTERP_ASSERT_TEXT(env, isConvertible(value), "kIcrNotPrimType should not happen");
  return TaggedValue_asBoolean(value, CONV_PRIMTYPE);
}

TaggedValue expr_not(InterpEnv* env, TaggedValue value) {
  INTERP_ASSERT_TEXT(env, value.typeId == TypeBoolean && value.value != nullptr,
                     "value.typeId == TypeBoolean");
  return interpStack_pushBoolean(env, !TaggedValue_asBoolean(value, CONV_NONE));
}

TaggedValue expr_conversion(InterpEnv* env, u32 toTypeId, TaggedValue value) {
  INTERP_ASSERT_TEXT(env, (toTypeId != TypeInt) && (toTypeId != TypeSInt),
                     "(toTypeId != TypeInt) && (toTypeId != TypeSInt)");
  const TaggedValue result = interpStack_pushSingleAnyValue(env, toTypeId, 0);
  if (isIntType(toTypeId)) {
    storeInteger(env, result, value);
    return result;
  }
  switch (toTypeId) {
    case TypeBoolean:
      INTERP_ASSERT_TEXT(env, isConvertible(value), "kIcrNotPrimType should not happen");
      *result.value = TaggedValue_asBoolean(value, CONV_PRIMTYPE) ? 1 : 0;
      break;
    case TypeF32: {
      INTERP_ASSERT_TEXT(env, isConvertible(value), "kIcrNotPrimType should not happen");
      const float f = TaggedValue_asF32(value, CONV_PRIMTYPE);
      std::memcpy(result.value, &f, sizeof f);
      break;
    }
    case TypeF64: {
      INTERP_ASSERT_TEXT(env, isConvertible(value), "kIcrNotPrimType should not happen");
      const double d = TaggedValue_asF64(value, CONV_PRIMTYPE);
      std::memcpy(result.value, &d, sizeof d);
      break;
    }
    default:
      interp_failure(env, "unsupported type conversion\n");
      break;
  }
  return result;
}

TaggedValue expr_typeField(InterpEnv* env, u32 typeId, bool isMax) {
  // Float bounds are written as bit patterns: the largest finite values.
  constexpr DataCell F32_MAX_BITS = 0x7F7FFFFF;
  constexpr DataCell F32_LOWEST_BITS = 0xFF7FFFFF;
  constexpr DataCell F64_MAX_BITS = 0x7FEFFFFFFFFFFFFF;
  constexpr DataCell F64_LOWEST_BITS = 0xFFEFFFFFFFFFFFFF;
  DataCell bound = 0;
  if (isIntType(typeId)) {
    bound = isMax ? integerTypeLast(typeId) : integerTypeFirst(typeId);
  } else if (typeId == TypeF32) {
    bound = isMax ? F32_MAX_BITS : F32_LOWEST_BITS;
  } else if (typeId == TypeF64) {
    bound = isMax ? F64_MAX_BITS : F64_LOWEST_BITS;
  } else {
    INTERP_ASSERT_TEXT(env, false, "isIntType(typeId) || typeId == TypeF32 || typeId == TypeF64");
  }
  return interpStack_pushSingleAnyValue(env, typeId, bound);
}

void expr_assign(InterpEnv* env, TaggedValue target, TaggedValue value) {
  const u32 globalId = target.globalId;
  if (globalId == NO_ID) {
    value_set(env, target, value);
    return;
  }
  INTERP_ASSERT(env, globalId < env->program->infoProg->n_globalVariables);
  // The host sees the value as it will be stored, typed as the target.
  const TaggedValue stored =
      value.typeId == target.typeId ? value
                                    : interpStack_pushForcedTypeValue(env, target.typeId, value);
  const VarChangeCallback onChange = env->ctx->var_change_callback[globalId];
  if (onChange != nullptr && onChange(env, globalId, 0, stored) != 0) return;
  value_set(env, target, stored);
}
