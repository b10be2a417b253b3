// The actions of the builtin call codes (6 to 136), called by the dispatcher
// interp_executeCall. Each takes the CALL_OP node, evaluates what it needs of
// the object and the arguments (left to right) and returns the call's value:
// a result on the value stack, a reference into existing storage, or the
// statement value for calls that yield nothing.
#pragma once
#include "interp_api.h"

// builtin_primitiveKind, the primitive type a type stands for, is public
// (interp_api.h).

// The call's object node / its value; argument node n (it must exist) / its
// value.
AST* builtin_objectNode(InterpEnv* env, AST* call);
TaggedValue builtin_object(InterpEnv* env, AST* call);
AST* builtin_argumentNode(InterpEnv* env, AST* call, u32 n);
TaggedValue builtin_argument(InterpEnv* env, AST* call, u32 n);

// Channels. push (sorted false) and insert_sorted: the value, typed as the
// element, is first offered to the var_change_callback (mode 1) of a global
// channel, and stored only when the callback returns 0.
TaggedValue builtin_channelWrite(InterpEnv* env, AST* call, bool sorted);
// The two halves of builtin_channelWrite, for callers that evaluate the object
// and the argument themselves: the check made on the object before the
// argument is evaluated, then the store of the argument's value.
void builtin_checkChannel(InterpEnv* env, TaggedValue channel);
TaggedValue builtin_channelStore(InterpEnv* env, AST* call, TaggedValue channel,
                                 TaggedValue value, bool sorted);
TaggedValue builtin_channelClear(InterpEnv* env, AST* call);
TaggedValue builtin_iteratorRemove(InterpEnv* env, AST* call);

// Time, random and the host.
TaggedValue builtin_time(InterpEnv* env);
TaggedValue builtin_seed(InterpEnv* env, AST* call, bool withValue);
TaggedValue builtin_choiceUniformEnum(InterpEnv* env, AST* call, bool typeArgument);
TaggedValue builtin_sleep(InterpEnv* env, AST* call);
TaggedValue builtin_exit(InterpEnv* env, AST* call);
TaggedValue builtin_assert(InterpEnv* env, AST* call);
TaggedValue builtin_syncIO(InterpEnv* env);
TaggedValue builtin_boardIO(InterpEnv* env, AST* call);

// Printing (the formatter itself is the print module).
TaggedValue builtin_print(InterpEnv* env, AST* call, bool line);
TaggedValue builtin_stringPrint(InterpEnv* env, AST* call);

// Type methods and fields.
TaggedValue builtin_typeBound(InterpEnv* env, u32 code);
// Codes 70 to 93: max, min and rand_uniform of the integer types.
TaggedValue builtin_integerMethod(InterpEnv* env, AST* call, u32 code);
// Variadic max / min in the order of typeId (an integer or float type).
TaggedValue builtin_maxMin(InterpEnv* env, AST* call, u32 typeId, bool isMax);
TaggedValue builtin_randUniform(InterpEnv* env, AST* call, u32 typeId);
// A generator of two arguments (bounds, mean and deviation, scale and shape),
// evaluated in order.
using BinaryGenerator = TaggedValue (*)(InterpEnv* env, TaggedValue a, TaggedValue b);
TaggedValue builtin_random2(InterpEnv* env, AST* call, BinaryGenerator generator);
TaggedValue builtin_paretoInteger(InterpEnv* env, AST* call, u32 code);
TaggedValue builtin_mathF32(InterpEnv* env, AST* call, u32 code);
TaggedValue builtin_mathF64(InterpEnv* env, AST* call, u32 code);
TaggedValue builtin_abs(InterpEnv* env, AST* call, u32 code);
TaggedValue builtin_cast(InterpEnv* env, AST* call);
TaggedValue builtin_as(InterpEnv* env, AST* call);
