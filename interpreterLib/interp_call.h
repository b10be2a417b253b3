// Builtin and user calls: interp_executeCall dispatches a CALL_OP node on its
// call code (call_codes.h).
#pragma once
#include "call_codes.h"
#include "interp_env.h"

TaggedValue interp_executeCall(InterpEnv* env, AST* call);
