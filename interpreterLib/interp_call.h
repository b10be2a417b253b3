// Builtin and user calls: interp_executeCall dispatches a CALL_OP node on its
// call code. Codes 0 to 5 (user functions, fields, sub-processes) are here;
// the buffer, time, print and numeric builtins plug into the same switch.
#pragma once
#include "interp_env.h"

enum CallCode : u32 {
  kCallFunctionRightCurrying = 0,
  kCallFunctionLeftCurrying = 1,
  kCallFunctionLeftRightCurrying = 2,
  kCallFunctionCustom = 3,
  kCallFieldCustom = 4,
  kCallSubProcess = 5,
};

TaggedValue interp_executeCall(InterpEnv* env, AST* call);
