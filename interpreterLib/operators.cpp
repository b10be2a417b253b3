#include "operators.h"

#include <cstring>
#include <limits>
#include <type_traits>

#include "velk_memory.h"

// Every integer operator works on the operand's C type T (u8 ... s64) and
// returns its result zero-extended from T's width, as cells hold primitives.
// Arithmetic that may overflow is done in u64 (modular by definition), so
// wrap-around never relies on signed overflow.
//
// Values yielded after invalid_op_callback returns (the callback of the
// compiler ends the process, other hosts may go on):
// - division or remainder by zero: 0;
// - signed minimum / -1: the minimum itself (what the wrapping negation gives);
// - signed minimum mod -1: 0 (the mathematical remainder).
// The callback's own return value is not used, so every host sees the same
// result for the same program.

namespace {

template <class T>
DataCell cellOf(T value) {
  using U = std::make_unsigned_t<T>;
  return static_cast<DataCell>(static_cast<U>(value));
}

DataCell cellOfBool(bool value) { return value ? 1 : 0; }

// Shift of an 8-, 16- or 32-bit value: widened to 32 bits (sign-extended for
// signed types), shifted by the count modulo 32; the caller truncates.
template <class T>
DataCell shiftNarrow(u32 op, T value, u64 count) {
  const u32 amount = static_cast<u32>(count & 31u);
  if constexpr (std::is_signed_v<T>) {
    const s32 wide = value;
    if (op == BIT_LSHIFT_OP) return cellOf(static_cast<T>(static_cast<u32>(wide) << amount));
    return cellOf(static_cast<T>(wide >> amount));  // arithmetic
  } else {
    const u32 wide = value;
    if (op == BIT_LSHIFT_OP) return cellOf(static_cast<T>(wide << amount));
    return cellOf(static_cast<T>(wide >> amount));
  }
}

template <class T>
DataCell shiftWide(u32 op, T value, u64 count) {
  const u32 amount = static_cast<u32>(count & 63u);
  if (op == BIT_LSHIFT_OP) return static_cast<u64>(value) << amount;
  return static_cast<DataCell>(value >> amount);  // arithmetic for s64
}

template <class T>
DataCell shift(u32 op, T value, u64 count) {
  if constexpr (sizeof(T) == 8) {
    return shiftWide(op, value, count);
  } else {
    return shiftNarrow(op, value, count);
  }
}

template <class T>
bool isMinusOneOnMinimum(T l, T r) {
  if constexpr (std::is_signed_v<T>) {
    return l == std::numeric_limits<T>::min() && r == T(-1);
  } else {
    (void)l;
    (void)r;
    return false;
  }
}

template <class T>
DataCell integerDivide(InterpEnv* env, AST* node, T l, T r) {
  if (r == 0) {
    env->ctx->invalid_op_callback(env, node, INVALID_OP_DIVISION_BY_ZERO);
    return 0;
  }
  if (isMinusOneOnMinimum(l, r)) {
    env->ctx->invalid_op_callback(env, node, INVALID_OP_DIVIDED_BY_MINUS_ONE);
    return cellOf(l);
  }
  // C++ division truncates toward zero; the promoted 8/16-bit forms cannot
  // overflow int, and the one overflowing 32/64-bit case is excluded above.
  return cellOf(static_cast<T>(l / r));
}

template <class T>
DataCell integerRemainder(InterpEnv* env, AST* node, T l, T r) {
  if (r == 0) {
    env->ctx->invalid_op_callback(env, node, INVALID_OP_MODULO_ZERO);
    return 0;
  }
  if (isMinusOneOnMinimum(l, r)) {
    env->ctx->invalid_op_callback(env, node, INVALID_OP_MODULO_MINUS_ONE);
    return 0;
  }
  return cellOf(static_cast<T>(l % r));  // sign of the dividend
}

template <class T>
DataCell integerOperator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  // The operand is the cell's low bits, read as T (modular since C++20).
  const T l = static_cast<T>(left);
  const T r = static_cast<T>(right);
  const u64 wl = static_cast<u64>(l);
  const u64 wr = static_cast<u64>(r);
  switch (node->op) {
    case PLUS_OP: return cellOf(static_cast<T>(wl + wr));
    case MINUS_OP: return cellOf(static_cast<T>(wl - wr));
    case MUL_OP: return cellOf(static_cast<T>(wl * wr));
    case NEG_OP: return cellOf(static_cast<T>(u64{0} - wl));
    case DIV_OP: return integerDivide(env, node, l, r);
    case MOD_OP: return integerRemainder(env, node, l, r);
    case BIT_AND_OP: return cellOf(static_cast<T>(wl & wr));
    case BIT_OR_OP: return cellOf(static_cast<T>(wl | wr));
    case BIT_XOR_OP: return cellOf(static_cast<T>(wl ^ wr));
    case BIT_NOT_OP: return cellOf(static_cast<T>(~wl));
    case BIT_LSHIFT_OP:
    case BIT_RSHIFT_OP: return shift(node->op, l, wr);
    case CEQ_OP: return cellOfBool(l == r);
    case CNE_OP: return cellOfBool(l != r);
    case CGE_OP: return cellOfBool(l >= r);
    case CLE_OP: return cellOfBool(l <= r);
    case GT_OP: return cellOfBool(l > r);
    case LT_OP: return cellOfBool(l < r);
    default: break;
  }
  // The compiler only gives integer types the operators above.
  INTERP_ASSERT_TEXT(env, false, "false");
  return 0;
}

// Float cells hold the value's bytes at the start of the cell, the rest zero.
template <class F>
F readFloat(DataCell cell) {
  F value;
  if constexpr (sizeof(F) == 4) {
    const u32 bits = static_cast<u32>(cell);
    std::memcpy(&value, &bits, sizeof value);
  } else {
    std::memcpy(&value, &cell, sizeof value);
  }
  return value;
}

template <class F>
DataCell floatCell(F value) {
  if constexpr (sizeof(F) == 4) {
    u32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  } else {
    DataCell bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
}

// Equality is not offered on floats: the compiler rejects it, so meeting it
// here is a run-time failure rather than an internal error.
template <class F>
DataCell floatOperator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  const F l = readFloat<F>(left);
  const F r = readFloat<F>(right);
  switch (node->op) {
    case PLUS_OP: return floatCell<F>(l + r);
    case MINUS_OP: return floatCell<F>(l - r);
    case MUL_OP: return floatCell<F>(l * r);
    case NEG_OP: return floatCell<F>(-l);
    case DIV_OP:
      if (r == F(0)) {  // +0.0 and -0.0 alike
        env->ctx->invalid_op_callback(env, node, INVALID_OP_DIVISION_BY_ZERO);
        return floatCell<F>(F(0));
      }
      return floatCell<F>(l / r);
    case GT_OP: return cellOfBool(l > r);
    case LT_OP: return cellOfBool(l < r);
    case CGE_OP: return cellOfBool(l >= r);
    case CLE_OP: return cellOfBool(l <= r);
    default: break;
  }
  interp_failure(env, "unknown float operator\n");
  return 0;
}

}  // namespace

void expr_operatorsAlloc(InterpEnv* env) {
  InterpContext* ctx = env->ctx;
  if (ctx->execute_operator == nullptr) {
    ctx->execute_operator =
        MEMORY_ALLOC(TypePrimitive, OperatorFunction, "env->ctx->execute_operator");
  }
}

void expr_operatorsInit(InterpEnv* env) {
  expr_operatorsAlloc(env);
  OperatorFunction* table = env->ctx->execute_operator;
  table[TypeInt] = expr_uInt64Operator;
  table[TypeSInt] = expr_sInt64Operator;
  table[TypeUInt8] = expr_uInt8Operator;
  table[TypeSInt8] = expr_sInt8Operator;
  table[TypeUInt16] = expr_uInt16Operator;
  table[TypeSInt16] = expr_sInt16Operator;
  table[TypeUInt32] = expr_uInt32Operator;
  table[TypeSInt32] = expr_sInt32Operator;
  table[TypeUInt64] = expr_uInt64Operator;
  table[TypeSInt64] = expr_sInt64Operator;
  table[TypeTime] = expr_uInt64Operator;
  table[TypeBoolean] = expr_booleanOperator;
  table[TypeFP] = nullptr;  // untyped float literals never reach the interpreter
  table[TypeF32] = expr_f32Operator;
  table[TypeF64] = expr_f64Operator;
}

DataCell expr_uInt8Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<u8>(env, node, left, right);
}
DataCell expr_sInt8Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<s8>(env, node, left, right);
}
DataCell expr_uInt16Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<u16>(env, node, left, right);
}
DataCell expr_sInt16Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<s16>(env, node, left, right);
}
DataCell expr_uInt32Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<u32>(env, node, left, right);
}
DataCell expr_sInt32Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<s32>(env, node, left, right);
}
DataCell expr_uInt64Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<u64>(env, node, left, right);
}
DataCell expr_sInt64Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return integerOperator<s64>(env, node, left, right);
}

// A bool cell holds its byte (0 or 1) in the low bits.
DataCell expr_booleanOperator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  const bool l = static_cast<u8>(left) != 0;
  const bool r = static_cast<u8>(right) != 0;
  switch (node->op) {
    case AND_OP: return cellOfBool(l && r);
    case OR_OP: return cellOfBool(l || r);
    case NOT_OP: return cellOfBool(!l);
    case CEQ_OP: return cellOfBool(l == r);
    case CNE_OP: return cellOfBool(l != r);
    default: break;
  }
  interp_failure(env, "unknown boolean operator\n");
  return 0;
}

DataCell expr_f32Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return floatOperator<float>(env, node, left, right);
}
DataCell expr_f64Operator(InterpEnv* env, AST* node, DataCell left, DataCell right) {
  return floatOperator<double>(env, node, left, right);
}
