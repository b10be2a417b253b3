// Local variables and constants of the active frames. The three local tables
// are stacks shared by all frames; localVarsIndexes holds the current frame's
// bases and the tables' tops. A frame (function or process call) saves all six
// indexes and restores them on exit; a block saves and restores the counts.
#pragma once
#include "interp_env.h"

// Allocates the three local tables (STACKS_SIZE entries each).
void Locals_init(InterpEnv* env);

// Saves the six indexes into saved and opens a new frame: every base becomes
// the current count.
void Variable_getCurrentLocalVarIndexes(InterpEnv* env, LocalVarsIndexes* saved);
// Restores bases then counts; a restore may only lower them.
void Variable_restorePrevLocalVarIndexes(InterpEnv* env, const LocalVarsIndexes* saved);
// The same for the three counts alone (blocks).
void Variable_getCurrentLocalVarCounts(InterpEnv* env, LocalVarsIndexes* saved);
void Variable_restorePrevLocalVarCounts(InterpEnv* env, const LocalVarsIndexes* saved);
// Variable_restorePrevLocalVarIndexes for a frame's hot exit: the same checks
// inline, the call (which reports the failed one) only when one fails.
inline void Variable_restoreFrame(InterpEnv* env, const LocalVarsIndexes& saved) {
  LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  if (saved.base.variables <= idx.base.variables && saved.base.constants <= idx.base.constants &&
      saved.count.variables <= idx.count.variables &&
      saved.count.constants <= idx.count.constants &&
      saved.count.variablesData <= idx.count.variablesData) {
    idx = saved;
  } else {
    Variable_restorePrevLocalVarIndexes(env, &saved);
  }
}

// Pushes a constant whose value lies at `value` (constant data) and returns it.
TaggedValue LocalConstant_define(InterpEnv* env, u32 typeId, DataCell* value);
void LocalConstant_decrCount(InterpEnv* env);
// Pushes a variable and reserves the type's storage size in cells (zeroed);
// the new local carries no global id.
TaggedValue LocalVariable_declare(InterpEnv* env, u32 typeId);
// LocalVariable_declare for a type of one cell (a scalar), holding cell.
// Returns its storage.
inline DataCell* LocalVariable_declareScalar(InterpEnv* env, u32 typeId, DataCell cell) {
  LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  INTERP_ASSERT_TEXT(env, 1 < STACKS_SIZE - idx.count.variablesData,
                     "Local variables data stack overflow");
  INTERP_ASSERT_TEXT(env, idx.count.variables < STACKS_SIZE, "Local variables stack overflow");
  DataCell* storage = env->data->localVariableDataTable + idx.count.variablesData++;
  *storage = cell;
  env->data->localVariableTable[idx.count.variables++] = TaggedValue{storage, typeId, NO_ID};
  return storage;
}
// Pushes a variable that refers to existing storage (by-reference parameters,
// self); it keeps target's type and global id.
TaggedValue LocalVariable_bindReference(InterpEnv* env, TaggedValue target);
// Local variable base.variables + id / local constant base.constants + id.
TaggedValue LocalVariable_reference(InterpEnv* env, u32 id);
TaggedValue LocalConstant_reference(InterpEnv* env, u32 id);
// The most recently declared local variable.
TaggedValue LocalVariable_last(InterpEnv* env);
// Makes the frame's visible locals start at its nArgs arguments, the last
// nArgs variables pushed.
void Locals_hideNonArgs(InterpEnv* env, u32 nArgs);
