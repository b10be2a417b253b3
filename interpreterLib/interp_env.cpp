#include "interp_env.h"

#include <cstdio>

#include "velk_memory.h"

namespace {

int defaultPrint(InterpEnv*, int character) { return character; }
void defaultExit(InterpEnv*, size_t, int) {}
void defaultAssert(InterpEnv*, bool, const char*, size_t, const char*, const char*) {}
void defaultSyncIO(InterpEnv*) {}
u64 defaultRandom(InterpEnv*) { return 0; }
TaggedValue defaultInvalidOp(InterpEnv*, AST*, u32) { return TaggedValue{nullptr, NO_ID, NO_ID}; }

}  // namespace

u64 env_getTime(InterpEnv* env) { return env->ctx->currentTime; }
void env_addTime(InterpEnv* env, u64 ps) { env->ctx->currentTime += ps; }

InterpEnv* interp_create() {
  InterpEnv* e = MEMORY_ALLOC(1, env, "env");
  e->program = program_create();
  e->ctx = MEMORY_ALLOC(1, InterpContext, "env->ctx");
  e->data = MEMORY_ALLOC(1, InterpData, "env->data");
  InterpContext* ctx = e->ctx;
  ctx->syncio_callback = defaultSyncIO;
  ctx->gettime_callback = env_getTime;
  ctx->exit_callback = defaultExit;
  ctx->assert_callback = defaultAssert;
  ctx->print_callback = defaultPrint;
  ctx->delay_callback = env_addTime;
  ctx->random_callback = defaultRandom;
  ctx->invalid_op_callback = defaultInvalidOp;
  return e;
}

void interp_stop(InterpEnv* e) {
  if (e == nullptr) return;
  if (e->program != nullptr) {
    free_program(e->program);
    MEMORY_FREE(e->program);
  }
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
    MEMORY_FREE(e->ctx);
  }
  MEMORY_FREE(e->file_name);
  memory_free(e);
}

void interp_vfailure(InterpEnv* env, const char* format, va_list args) {
  std::vprintf(format, args);
  std::fflush(stdout);
  INTERP_ASSERT(env, env->ctx->exit_callback != NULL);
  if (env->ctx->exit_callback != nullptr) env->ctx->exit_callback(env, 0, 1);
}

void interp_failure(InterpEnv* env, const char* format, ...) {
  va_list args;
  va_start(args, format);
  interp_vfailure(env, format, args);
  va_end(args);
}

void interp_debug(InterpEnv*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}
