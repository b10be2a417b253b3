// Registration of the host callbacks. Registering a null function reinstalls
// the default, so a host can always undo its own registration. The per-id
// forms refuse (return 0) an id the loaded image does not have; the "any"
// forms register id by id in ascending order and stop at the first refusal.
#include "interp_api.h"
#include "interp_system.h"

namespace {

// The ids the callback arrays have room for: the loaded image's counts.
u32 variableSlots(InterpEnv* env) { return env->ctx->cache->callbackVariables; }
u32 instanceSlots(InterpEnv* env) { return env->ctx->cache->callbackInstances; }

template <class F>
F orDefault(F f, F fallback) {
  return f != nullptr ? f : fallback;
}

template <class F>
u32 registerAt(F* table, u32 count, u32 id, F f, F fallback) {
  if (table == nullptr || id >= count) return 0;
  table[id] = orDefault(f, fallback);
  return 1;
}

// Applies the single form to ids 0 .. count - 1 in order; 0 at the first refusal.
template <class Register>
u32 registerAll(u32 count, Register registerOne) {
  for (u32 id = 0; id < count; ++id) {
    if (registerOne(id) == 0) return 0;
  }
  return 1;
}

}  // namespace

u32 env_on_exit(InterpEnv* env, ExitCallback f) {
  if (env == nullptr) return 0;
  env->ctx->exit_callback = orDefault(f, env_defaultExit);
  return 1;
}

u32 env_on_assert(InterpEnv* env, AssertCallback f) {
  if (env == nullptr) return 0;
  env->ctx->assert_callback = orDefault(f, env_defaultAssert);
  return 1;
}

u32 env_on_print(InterpEnv* env, PrintCallback f) {
  if (env == nullptr) return 0;
  env->ctx->print_callback = orDefault(f, env_defaultPrint);
  // The default prints nothing: printing is only worth formatting for a host.
  env->ctx->print_enabled = f != nullptr;
  return 1;
}

u32 env_on_syncio(InterpEnv* env, SyncIOCallback f) {
  if (env == nullptr) return 0;
  env->ctx->syncio_callback = orDefault(f, env_defaultSyncIO);
  return 1;
}

u32 env_on_gettime(InterpEnv* env, GetTimeCallback f) {
  if (env == nullptr) return 0;
  env->ctx->gettime_callback = orDefault(f, env_getTime);
  return 1;
}

u32 env_on_delay(InterpEnv* env, DelayCallback f) {
  if (env == nullptr) return 0;
  env->ctx->delay_callback = orDefault(f, env_addTime);
  return 1;
}

u32 env_on_random(InterpEnv* env, RandomCallback f) {
  if (env == nullptr) return 0;
  env->ctx->random_callback = orDefault(f, env_defaultRandom);
  return 1;
}

u32 interpreter_on_invalid_op(InterpEnv* env, InvalidOpCallback f) {
  if (env == nullptr) return 0;
  env->ctx->invalid_op_callback = orDefault(f, env_defaultInvalidOp);
  return 1;
}

u32 env_on_variable_change(InterpEnv* env, u32 varId, VarChangeCallback f) {
  if (env == nullptr) return 0;
  return registerAt<VarChangeCallback>(env->ctx->var_change_callback, variableSlots(env), varId, f,
                                       env_defaultVarChange);
}

u32 env_on_variable_read(InterpEnv* env, u32 varId, VarReadCallback f) {
  if (env == nullptr) return 0;
  return registerAt<VarReadCallback>(env->ctx->var_read_callback, variableSlots(env), varId, f,
                                     env_defaultVarRead);
}

u32 env_on_state_changed(InterpEnv* env, u32 instanceId, FsmChangedCallback f) {
  if (env == nullptr) return 0;
  return registerAt<FsmChangedCallback>(env->ctx->fsm_changed_callback, instanceSlots(env),
                                        instanceId, f, env_defaultFsmChanged);
}

u32 env_on_task_activation(InterpEnv* env, u32 instanceId, ProcessActivationCallback f) {
  if (env == nullptr) return 0;
  return registerAt<ProcessActivationCallback>(env->ctx->process_activation_callback,
                                               instanceSlots(env), instanceId, f,
                                               env_defaultProcessActivation);
}

u32 env_on_any_variable_change(InterpEnv* env, VarChangeCallback f) {
  if (env == nullptr) return 0;
  return registerAll(variableSlots(env),
                     [&](u32 id) { return env_on_variable_change(env, id, f); });
}

u32 env_on_any_variable_read(InterpEnv* env, VarReadCallback f) {
  if (env == nullptr) return 0;
  return registerAll(variableSlots(env),
                     [&](u32 id) { return env_on_variable_read(env, id, f); });
}

u32 env_on_any_task_activation(InterpEnv* env, ProcessActivationCallback f) {
  if (env == nullptr) return 0;
  return registerAll(instanceSlots(env),
                     [&](u32 id) { return env_on_task_activation(env, id, f); });
}

// State changes only happen in the instances the scheduler runs, the global
// ones; each registers under the process instance record it refers to.
u32 env_on_any_state_changed(InterpEnv* env, FsmChangedCallback f) {
  if (env == nullptr) return 0;
  const program* p = env->program;
  return registerAll(p->infoProg->n_globalProcessInstances, [&](u32 g) {
    return env_on_state_changed(env, p->processGlobalInstanceTable[g].firstInstance, f);
  });
}

bool env_has_no_callbacks(InterpEnv* env) {
  if (env == nullptr) return true;
  const InterpContext* ctx = env->ctx;
  const u32 count = variableSlots(env);
  for (u32 v = 0; v < count; ++v) {
    if (ctx->var_change_callback[v] != env_defaultVarChange) return false;
    if (ctx->var_read_callback[v] != env_defaultVarRead) return false;
  }
  return true;
}

bool env_is_quiet(InterpEnv* env) { return env_has_no_callbacks(env); }
