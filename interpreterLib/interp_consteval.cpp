#include "interp_consteval.h"

#include "expression.h"
#include "interp_stack.h"
#include "operators.h"
#include "statement.h"
#include "velk_locals.h"

namespace {

constexpr TaggedValue kUnknown = {nullptr, NO_ID, NO_ID};

// Whether the current frame holds the bound constants already.
bool frameHolds(const InterpEnv* env, const TaggedValue* bound, u32 count) {
  const LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  if (count > idx.count.constants - idx.base.constants) return false;
  const TaggedValue* table = env->data->localConstantTable + idx.base.constants;
  for (u32 i = 0; i < count; ++i) {
    if (bound[i].value != nullptr &&
        (table[i].value != bound[i].value || table[i].typeId != bound[i].typeId)) {
      return false;
    }
  }
  return true;
}

// Loading the borrowed image allocates the operator table but only interp_init
// fills it, and the compiler never calls interp_init.
void prepareOperators(InterpEnv* env) {
  const OperatorFunction* table = env->ctx->execute_operator;
  if (table == nullptr || table[TypeUInt8] == nullptr) expr_operatorsInit(env);
}

}  // namespace

u32 consteval_mark(const InterpEnv* env) { return interpStack_mark(env); }

void consteval_release(InterpEnv* env, u32 mark) { interpStack_release(env, mark); }

// The evaluation goes through the tree walker, expr_execute, and must stay
// there: the compiler evaluates nodes whose surroundings are not finished (a
// function whose later statements are not parsed yet, a table that is still
// growing), which an evaluator that prepares code ahead of time would have
// to see again after every change.
TaggedValue consteval_evaluate(InterpEnv* env, AST* node, const TaggedValue* bound, u32 count) {
  const bool held = frameHolds(env, bound, count);
  if (!held && count > STACKS_SIZE - env->ctx->localVarsIndexes.count.constants) return kUnknown;
  prepareOperators(env);
  return interp_guard(env, kUnknown, [&] {
    if (held) return expr_execute(env, node);
    LocalVarsIndexes saved;
    Variable_getCurrentLocalVarIndexes(env, &saved);
    for (u32 i = 0; i < count; ++i) LocalConstant_define(env, bound[i].typeId, bound[i].value);
    const TaggedValue value = expr_execute(env, node);
    Variable_restorePrevLocalVarIndexes(env, &saved);
    return value;
  });
}

bool consteval_store(InterpEnv* env, DataCell* dest, u32 type, TaggedValue value) {
  return interp_guard(env, false, [&] {
    value_set(env, TaggedValue{dest, type, NO_ID}, value);
    return true;
  });
}

bool consteval_defineLocal(InterpEnv* env, u32 typeId, DataCell* value) {
  return interp_guard(env, false, [&] {
    LocalConstant_define(env, typeId, value);
    return true;
  });
}

void consteval_popLocal(InterpEnv* env) {
  interp_guard(env, 0, [&] {
    LocalConstant_decrCount(env);
    return 0;
  });
}

void consteval_rebase(InterpEnv* env, const DataCell* oldBase, DataCell* newBase) {
  if (env == nullptr || env->data == nullptr || env->data->localConstantTable == nullptr) return;
  parser_computeAnyValueAddresses(oldBase, newBase, env->data->localConstantTable,
                                  env->ctx->localVarsIndexes.count.constants);
}
