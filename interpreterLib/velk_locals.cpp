#include "velk_locals.h"

#include <algorithm>

#include "velk_memory.h"

namespace {

LocalVarsIndexes& indexes(InterpEnv* env) { return env->ctx->localVarsIndexes; }

TaggedValue pushVariable(InterpEnv* env, TaggedValue local) {
  LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, idx.count.variables < STACKS_SIZE, "Local variables stack overflow");
  env->data->localVariableTable[idx.count.variables++] = local;
  return local;
}

}  // namespace

void Locals_init(InterpEnv* env) {
  InterpData* data = env->data;
  if (data->localVariableTable == nullptr) {
    data->localVariableTable = MEMORY_ALLOC(STACKS_SIZE, TaggedValue, "env->data->localVariableTable");
  }
  if (data->localVariableDataTable == nullptr) {
    data->localVariableDataTable =
        MEMORY_ALLOC(STACKS_SIZE, DataCell, "env->data->localVariableDataTable");
  }
  if (data->localConstantTable == nullptr) {
    data->localConstantTable = MEMORY_ALLOC(STACKS_SIZE, TaggedValue, "env->data->localConstantTable");
  }
  indexes(env) = LocalVarsIndexes{};
}

void Variable_getCurrentLocalVarIndexes(InterpEnv* env, LocalVarsIndexes* saved) {
  LocalVarsIndexes& idx = indexes(env);
  *saved = idx;
  // The static-variable base has no count: process_executeCall sets it.
  idx.base.variables = idx.count.variables;
  idx.base.constants = idx.count.constants;
}

void Variable_restorePrevLocalVarIndexes(InterpEnv* env, const LocalVarsIndexes* saved) {
  LocalVarsIndexes& idx = indexes(env);
  // A frame only ever grows the tables above what it saved; anything else
  // means the saved record is stale or foreign.
  INTERP_ASSERT_TEXT(env,
                     saved->base.variables <= idx.base.variables &&
                         saved->base.constants <= idx.base.constants,
                     "saved->base <= env->ctx->localVarsIndexes.base");
  idx.base = saved->base;
  Variable_restorePrevLocalVarCounts(env, saved);
}

void Variable_getCurrentLocalVarCounts(InterpEnv* env, LocalVarsIndexes* saved) {
  *saved = indexes(env);
}

void Variable_restorePrevLocalVarCounts(InterpEnv* env, const LocalVarsIndexes* saved) {
  LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env,
                     saved->count.variables <= idx.count.variables &&
                         saved->count.constants <= idx.count.constants &&
                         saved->count.variablesData <= idx.count.variablesData,
                     "saved->count <= env->ctx->localVarsIndexes.count");
  idx.count = saved->count;
}

TaggedValue LocalConstant_define(InterpEnv* env, u32 typeId, DataCell* value) {
  LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, idx.count.constants < STACKS_SIZE, "Local constants stack overflow");
  TaggedValue constant{value, typeId, NO_ID};
  env->data->localConstantTable[idx.count.constants++] = constant;
  return constant;
}

void LocalConstant_decrCount(InterpEnv* env) {
  LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, idx.count.constants > idx.base.constants,
                     "env->ctx->localVarsIndexes.count.constants > "
                     "env->ctx->localVarsIndexes.base.constants");
  idx.count.constants--;
}

TaggedValue LocalVariable_declare(InterpEnv* env, u32 typeId) {
  INTERP_ASSERT_TEXT(env, typeId < env->program->infoProg->n_type,
                     "typeId < env->program->infoProg->n_type");
  LocalVarsIndexes& idx = indexes(env);
  // Every local gets at least one cell, so that its value points at storage
  // of its own even for a type without cells.
  const u32 cells = std::max<u32>(1, env->program->typeTable[typeId].storageSize);
  INTERP_ASSERT_TEXT(env, cells < STACKS_SIZE - idx.count.variablesData,
                     "Local variables data stack overflow");
  INTERP_ASSERT_TEXT(env, idx.count.variables < STACKS_SIZE, "Local variables stack overflow");
  DataCell* storage = env->data->localVariableDataTable + idx.count.variablesData;
  if (cells == 1) {
    *storage = 0;  // the usual scalar, without a call to fill
  } else {
    std::fill(storage, storage + cells, DataCell{0});
  }
  idx.count.variablesData += cells;
  return pushVariable(env, TaggedValue{storage, typeId, NO_ID});
}

TaggedValue LocalVariable_bindReference(InterpEnv* env, TaggedValue target) {
  return pushVariable(env, target);
}

TaggedValue LocalVariable_reference(InterpEnv* env, u32 id) {
  const LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, id < idx.count.variables - idx.base.variables,
                     "id < env->ctx->localVarsIndexes.count.variables - "
                     "env->ctx->localVarsIndexes.base.variables");
  return env->data->localVariableTable[idx.base.variables + id];
}

TaggedValue LocalConstant_reference(InterpEnv* env, u32 id) {
  const LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, id < idx.count.constants - idx.base.constants,
                     "id < env->ctx->localVarsIndexes.count.constants - "
                     "env->ctx->localVarsIndexes.base.constants");
  return env->data->localConstantTable[idx.base.constants + id];
}

TaggedValue LocalVariable_last(InterpEnv* env) {
  const LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, idx.count.variables > idx.base.variables,
                     "env->ctx->localVarsIndexes.count.variables > "
                     "env->ctx->localVarsIndexes.base.variables");
  return env->data->localVariableTable[idx.count.variables - 1];
}

void Locals_hideNonArgs(InterpEnv* env, u32 nArgs) {
  LocalVarsIndexes& idx = indexes(env);
  INTERP_ASSERT_TEXT(env, nArgs <= idx.count.variables - idx.base.variables,
                     "nArgs <= env->ctx->localVarsIndexes.count.variables - "
                     "env->ctx->localVarsIndexes.base.variables");
  idx.base.variables = idx.count.variables - nArgs;
  idx.base.constants = idx.count.constants;
}
