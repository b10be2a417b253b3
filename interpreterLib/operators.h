// Operator functions, one per primitive type: arithmetic, bitwise and
// comparison operators on one-cell operands read as the operator's type.
// Integer results wrap; invalid divisions go through invalid_op_callback.
#pragma once
#include "interp_env.h"

// Allocates the environment's operator table, one empty entry per primitive
// type, unless it has one.
void expr_operatorsAlloc(InterpEnv* env);
// Fills the operator table for the primitive types 0 to 14 (Float has none),
// allocating it first when needed.
void expr_operatorsInit(InterpEnv* env);

// Each takes the operator node and the first cells of both operands (0 as
// right for unary operators) and returns the result cell.
DataCell expr_uInt8Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_sInt8Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_uInt16Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_sInt16Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_uInt32Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_sInt32Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_uInt64Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_sInt64Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_booleanOperator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_f32Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
DataCell expr_f64Operator(InterpEnv* env, AST* node, DataCell left, DataCell right);
