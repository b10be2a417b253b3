#include "interp_env.h"

#include <cstdio>
#include <iterator>

#include "engine.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "scheduler.h"
#include "velk_locals.h"
#include "velk_memory.h"

// The defaults live here so that interp_create, the load-time callback arrays
// and the registration functions (null restores the default) install the very
// same functions, and env_has_no_callbacks can recognise them by address.
void env_defaultFsmChanged(InterpEnv*, TaggedValue, u32, u32) {}
void env_defaultProcessActivation(InterpEnv*, TaggedValue, u32) {}
u32 env_defaultVarChange(InterpEnv*, u32, u32, TaggedValue) { return 0; }
u32 env_defaultVarRead(InterpEnv*, u32) { return 0; }
int env_defaultPrint(InterpEnv*, int character) { return character; }
void env_defaultExit(InterpEnv*, size_t, int) {}
void env_defaultAssert(InterpEnv*, bool, const char*, size_t, const char*, const char*) {}
void env_defaultSyncIO(InterpEnv*) {}
u64 env_defaultRandom(InterpEnv*) { return 0; }
TaggedValue env_defaultInvalidOp(InterpEnv*, AST*, u32) {
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

const char* interp_invalidOperationName(u32 code, InvalidOpWording wording) {
  static constexpr const char* kDiagnostic[] = {
      "division by zero", "modulo zero", "first divided by negative one",
      "first modulo negative one", "queue full", "queue empty", "stack full", "stack empty",
  };
  static constexpr const char* kTrace[] = {
      "division by zero", "modulo by zero", "division by minus one", "modulo by minus one",
      "queue full", "queue empty", "stack full", "stack empty",
  };
  static_assert(std::size(kDiagnostic) == INVALID_OP_STACK_EMPTY + 1);
  static_assert(std::size(kTrace) == INVALID_OP_STACK_EMPTY + 1);
  if (code > INVALID_OP_STACK_EMPTY) return nullptr;
  return wording == InvalidOpWording::Trace ? kTrace[code] : kDiagnostic[code];
}

u64 env_getTime(InterpEnv* env) { return env->ctx->currentTime; }
void env_addTime(InterpEnv* env, u64 ps) { env->ctx->currentTime += ps; }

namespace {

template <class F>
F* allocFilled(u32 count, F function, const char* name) {
  F* table = static_cast<F*>(memory_alloc(count, sizeof(F), __FILE__, __func__, __LINE__, name));
  for (u32 i = 0; i < count; ++i) table[i] = function;
  return table;
}

}  // namespace

void interp_allocCallbackArrays(InterpEnv* env) {
  InterpContext* ctx = env->ctx;
  const InfoProg* info = env->program->infoProg;
  MEMORY_FREE(ctx->fsm_changed_callback);
  MEMORY_FREE(ctx->process_activation_callback);
  MEMORY_FREE(ctx->var_change_callback);
  MEMORY_FREE(ctx->var_read_callback);
  ctx->fsm_changed_callback = allocFilled<FsmChangedCallback>(
      info->n_processInstances, env_defaultFsmChanged, "env->ctx->fsm_changed_callback");
  ctx->process_activation_callback = allocFilled<ProcessActivationCallback>(
      info->n_processInstances, env_defaultProcessActivation,
      "env->ctx->process_activation_callback");
  ctx->var_change_callback = allocFilled<VarChangeCallback>(
      info->n_globalVariables, env_defaultVarChange, "env->ctx->var_change_callback");
  ctx->var_read_callback = allocFilled<VarReadCallback>(
      info->n_globalVariables, env_defaultVarRead, "env->ctx->var_read_callback");
  ctx->cache->callbackVariables = info->n_globalVariables;
  ctx->cache->callbackInstances = info->n_processInstances;
}

InterpEnv* interp_create() {
  InterpEnv* e = MEMORY_ALLOC(1, env, "env");
  e->program = program_create();
  e->ctx = MEMORY_ALLOC(1, InterpContext, "env->ctx");
  e->data = MEMORY_ALLOC(1, InterpData, "env->data");
  InterpContext* ctx = e->ctx;
  ctx->syncio_callback = env_defaultSyncIO;
  ctx->gettime_callback = env_getTime;
  ctx->exit_callback = env_defaultExit;
  ctx->assert_callback = env_defaultAssert;
  ctx->print_callback = env_defaultPrint;
  ctx->delay_callback = env_addTime;
  ctx->random_callback = env_defaultRandom;
  ctx->invalid_op_callback = env_defaultInvalidOp;
  ctx->processes = TaggedValue{nullptr, NO_ID, NO_ID};
  interpStack_init(e);
  Locals_init(e);
  ctx->cache = interp_cacheCreate();
  return e;
}

void interp_stop(InterpEnv* e) {
  if (e == nullptr) return;
  if (e->program == nullptr) {
    // Reported, not fatal: the rest of the environment is still freed.
    if (e->ctx != nullptr && e->ctx->assert_callback != nullptr) {
      e->ctx->assert_callback(e, false, __FILE__, __LINE__, __func__, "NULL != env->program");
    }
  } else if (!e->borrowedProgram) {
    free_program(e->program);
    MEMORY_FREE(e->program);
  }
  e->program = nullptr;
  interp_freeEnv(e);
}

void interp_freeEnv(InterpEnv* e) {
  if (e == nullptr) return;
  if (e->data != nullptr) {
    MEMORY_FREE(e->data->globalVariableDataTable);
    MEMORY_FREE(e->data->processStaticVariableDataTable);
    MEMORY_FREE(e->data->localVariableTable);
    MEMORY_FREE(e->data->localVariableDataTable);
    MEMORY_FREE(e->data->localConstantTable);
    MEMORY_FREE(e->data);
  }
  if (e->ctx != nullptr) {
    MEMORY_FREE(e->ctx->fsm_changed_callback);
    MEMORY_FREE(e->ctx->var_change_callback);
    MEMORY_FREE(e->ctx->var_read_callback);
    MEMORY_FREE(e->ctx->process_activation_callback);
    MEMORY_FREE(e->ctx->stack);
    MEMORY_FREE(e->ctx->execute_operator);
    interp_cacheFree(&e->ctx->cache);
    engine_free(e);
    scheduler_free(e);
    MEMORY_FREE(e->ctx);
  }
  MEMORY_FREE(e->file_name);
  memory_free(e);
}

void interp_vfailure(InterpEnv* env, const char* format, va_list args) {
  std::vprintf(format, args);
  std::fflush(stdout);
  INTERP_ASSERT(env, env->ctx->exit_callback != NULL);
  env->ctx->exit_callback(env, 0, 1);
}

void interp_failure(InterpEnv* env, const char* format, ...) {
  va_list args;
  va_start(args, format);
  interp_vfailure(env, format, args);
  va_end(args);
}

void interp_checkFailed(InterpEnv* env, const char* file, size_t line, const char* function,
                        const char* text) {
  if (env->ctx->assert_callback != nullptr) {
    env->ctx->assert_callback(env, false, file, line, function, text);
  }
  throw InterpAbort{};
}

void interp_fatal(InterpEnv* env, const char* format, ...) {
  va_list args;
  va_start(args, format);
  interp_vfailure(env, format, args);
  va_end(args);
  throw InterpAbort{};
}

void interp_loopLimitReached(InterpEnv* env) {
  env->ctx->loopLimitReached = true;
  throw InterpAbort{};
}

void interp_debug(InterpEnv*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}
