// Expression evaluation: one AST expression node to a tagged value. Results
// are value-stack cells or pointers into existing storage (a variable read
// costs no copy); temporaries live until the end of the current statement.
#pragma once
#include "interp_env.h"

// Evaluates node; a null node gives the <void> value.
TaggedValue expr_execute(InterpEnv* env, AST* node);
// Evaluates node and converts the result to boolean (any primitive accepted).
bool expr_executeBoolean(InterpEnv* env, AST* node);
// Type of the result of an arithmetic operator node evaluated in operator type
// operatorTypeId: that type, except for the negation of an unsigned operand,
// whose result has the signed type of the same width.
u32 expr_resultTypeOf(u32 op, u32 operatorTypeId);
// Negation of a bool value, as a new bool.
TaggedValue expr_not(InterpEnv* env, TaggedValue value);
// Saturating conversion of value to the primitive type toTypeId.
TaggedValue expr_conversion(InterpEnv* env, u32 toTypeId, TaggedValue value);
// Minimum (isMax false) or maximum of a primitive type, pushed as that type.
TaggedValue expr_typeField(InterpEnv* env, u32 typeId, bool isMax);
// Assignment of value to target (an lvalue), through the change hook of a global.
void expr_assign(InterpEnv* env, TaggedValue target, TaggedValue value);
