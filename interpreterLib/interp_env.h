// The interpreter environment: the loaded program image, the run-time context
// (value stack, local indexes, host callbacks, operator table) and the run-time
// data tables. The host that creates an environment owns it; everything it
// points to is owned by the environment and freed by interp_stop.
#pragma once
#include <csignal>
#include <cstdarg>

#include "ast.h"
#include "program.h"

struct env;
using InterpEnv = env;

// The value of a statement, and of a call or assignment that yields nothing.
constexpr TaggedValue kStatementValue = {nullptr, TypeStmt, NO_ID};

// One limit for the value stack and the three local tables.
constexpr u32 STACKS_SIZE = 3200;

// Invalid-operation codes passed to invalid_op_callback.
enum InvalidOperation : u32 {
  INVALID_OP_DIVISION_BY_ZERO = 0,
  INVALID_OP_MODULO_ZERO = 1,
  INVALID_OP_DIVIDED_BY_MINUS_ONE = 2,
  INVALID_OP_MODULO_MINUS_ONE = 3,
  INVALID_OP_QUEUE_FULL = 4,
  INVALID_OP_QUEUE_EMPTY = 5,
  INVALID_OP_STACK_FULL = 6,
  INVALID_OP_STACK_EMPTY = 7,
};

// Names of the invalid-operation codes, for hosts that report them. Two
// wordings are in use: the compiler's diagnostics and the test host say
// "modulo zero", "first divided by negative one"; the co-simulation block's
// trace says "modulo by zero", "division by minus one".
enum class InvalidOpWording : u32 { Diagnostic, Trace };
// Null for a code that names no invalid operation.
const char* interp_invalidOperationName(u32 code, InvalidOpWording wording);

using FsmChangedCallback = void (*)(InterpEnv* env, TaggedValue instance, u32 phase, u32 value);
using ProcessActivationCallback = void (*)(InterpEnv* env, TaggedValue instance, u32 phase);
using VarChangeCallback = u32 (*)(InterpEnv* env, u32 varId, u32 mode, TaggedValue newValue);
using VarReadCallback = u32 (*)(InterpEnv* env, u32 varId);
using PrintCallback = int (*)(InterpEnv* env, int character);
using ExitCallback = void (*)(InterpEnv* env, size_t line, int code);
using AssertCallback = void (*)(InterpEnv* env, bool condition, const char* file, size_t line,
                                const char* function, const char* text);
using SyncIOCallback = void (*)(InterpEnv* env);
using GetTimeCallback = u64 (*)(InterpEnv* env);
using DelayCallback = void (*)(InterpEnv* env, u64 ps);
using RandomCallback = u64 (*)(InterpEnv* env);
using InvalidOpCallback = TaggedValue (*)(InterpEnv* env, AST* node, u32 code);
using OperatorFunction = DataCell (*)(InterpEnv* env, AST* node, DataCell left, DataCell right);

// Frame bases and stack tops of the local tables.
struct LocalVarsIndexes {
  struct {
    u32 processStaticVariables;
    u32 variables;
    u32 constants;
  } base;
  struct {
    u32 variables;
    u32 constants;
    u32 variablesData;
  } count;
};

struct InterpContext {
  u64 currentTime;  // picoseconds
  LocalVarsIndexes localVarsIndexes;
  FsmChangedCallback* fsm_changed_callback;                // per process instance
  VarChangeCallback* var_change_callback;                  // per global variable
  VarReadCallback* var_read_callback;                      // per global variable
  ProcessActivationCallback* process_activation_callback;  // per process instance
  PrintCallback print_callback;
  bool print_enabled;
  ExitCallback exit_callback;
  AssertCallback assert_callback;
  SyncIOCallback syncio_callback;
  GetTimeCallback gettime_callback;
  DelayCallback delay_callback;
  RandomCallback random_callback;
  InvalidOpCallback invalid_op_callback;
  DataCell* stack;
  u32 stackCount;
  OperatorFunction* execute_operator;  // one per primitive type id 0 to 14
  u32 startPid;
  bool realtime;
  bool initialized;
  TaggedValue processes;
  // Ids of the system library's declarations and other lookups cached per
  // image (owned; defined by the system-records module).
  struct InterpCache* cache;
  // The scheduler's state (policy, suspension, last measured times), one per
  // environment so that two environments never interfere (owned; defined by
  // the scheduler module, created by interp_init).
  struct SchedulerState* scheduler;
  // The host's stop request (a flag its signal handler sets), null when the
  // host has none. Loops look at it on every turn.
  const volatile std::sig_atomic_t* interrupt;
  // The prepared form of the image's code (owned; defined by the engine
  // module, built as code first runs, dropped with the image).
  struct EngineState* engine;
  // The host's view of the scheduler's activations (sched_observer.h), null
  // when nobody observes them. Not owned.
  const struct SchedObserver* schedObserver;
  // Evaluation steps (statements ended, temporaries pushed) allowed before the
  // current run is abandoned; 0 means no limit. Lets a host bound the work of a
  // program that may loop for ever. stepCount counts the steps taken so far.
  u64 stepLimit;
  u64 stepCount;
  // Loop turns allowed before the current run is abandoned (0: no limit),
  // counted where loops look at the stop request, so that every engine counts
  // the same turns. A host re-arms it (interp_set_loop_limit) to bound each
  // of its steps; loopLimitReached tells it why a run was cut short.
  u64 loopTurnLimit;
  u64 loopTurns;
  bool loopLimitReached;
};

struct InterpData {
  DataCell* globalVariableDataTable;
  DataCell* processStaticVariableDataTable;
  TaggedValue* localVariableTable;
  DataCell* localVariableDataTable;
  TaggedValue* localConstantTable;
};

struct env {
  char* file_name;
  struct program* program;
  InterpContext* ctx;
  InterpData* data;
  // True when program is the compiler's image, lent to this environment.
  bool borrowedProgram;
};

// Allocates an environment with an empty image, the default callbacks, the
// value stack, the three local tables and the lookup cache.
InterpEnv* interp_create();
// Frees the image (unless it is borrowed from the compiler) and then the
// environment; a null environment is ignored.
void interp_stop(InterpEnv* env);
// Frees data, ctx, file_name and the environment; the image is not touched.
void interp_freeEnv(InterpEnv* env);

// Prints the message on standard output, then calls exit_callback(env, 0, 1).
void interp_failure(InterpEnv* env, const char* format, ...);
void interp_vfailure(InterpEnv* env, const char* format, va_list args);
// Prints the message on standard output and returns.
void interp_debug(InterpEnv* env, const char* format, ...);

// Thrown inside the library to abandon the current run after a fatal report
// (a failed internal check, a value stack or local table overflow): going on
// would read or write outside a table. Every public entry point that runs
// program code catches it (interp_guard), restores the value stack and the
// local frame it started with, and returns normally; it never reaches a host.
struct InterpAbort {};

// Called once per loop turn. Abandons the current run, silently, when the
// host has asked to stop (interp_set_interrupt) or when the turn passes the
// host's loop limit (interp_set_loop_limit): a loop that never ends stays
// stoppable.
[[noreturn]] void interp_loopLimitReached(InterpEnv* env);
inline void interp_checkInterrupt(InterpEnv* env) {
  InterpContext* ctx = env->ctx;
  const volatile std::sig_atomic_t* interrupt = ctx->interrupt;
  if (interrupt != nullptr && *interrupt != 0) throw InterpAbort{};
  if (ctx->loopTurnLimit != 0 && ++ctx->loopTurns > ctx->loopTurnLimit) interp_loopLimitReached(env);
}

// Counts one turn of a loop against the host's step limit (stepLimit), for an
// evaluator that takes no value-stack cells for its temporaries; past the
// limit the run is abandoned with the same report as a value-stack step.
void interp_countStep(InterpEnv* env);
inline void interp_countLoopStep(InterpEnv* env) {
  if (env->ctx->stepLimit != 0) interp_countStep(env);
}

// Reports a failed internal check through assert_callback and, when the
// callback returns, abandons the current run.
[[noreturn]] void interp_checkFailed(InterpEnv* env, const char* file, size_t line,
                                     const char* function, const char* text);
// interp_failure, then abandons the current run.
[[noreturn]] void interp_fatal(InterpEnv* env, const char* format, ...);

// Checks an internal invariant through the environment's assert_callback.
#define INTERP_ASSERT_TEXT(env, cond, text)                                  \
  do {                                                                       \
    if (!(cond)) interp_checkFailed((env), __FILE__, __LINE__, __func__, text); \
  } while (0)
#define INTERP_ASSERT(env, cond) INTERP_ASSERT_TEXT(env, cond, #cond)

// The node with that id: nullptr for NO_ID; any other id past the tree is a
// failed internal check, which abandons the run.
inline AST* interp_nodeAt(InterpEnv* env, u32 id) {
  if (id == NO_ID) return nullptr;
  INTERP_ASSERT_TEXT(env, id < env->program->infoProg->n_AST,
                     "id < env->program->infoProg->n_AST");
  return &env->program->RAMprogram[id];
}

// Runs body (a callable returning R) at a public entry point: a run abandoned
// with InterpAbort restores the value stack count and the local indexes found
// on entry and yields fallback.
template <class R, class Body>
R interp_guard(InterpEnv* env, R fallback, Body&& body) {
  const u32 stackCount = env->ctx->stackCount;
  const LocalVarsIndexes indexes = env->ctx->localVarsIndexes;
  try {
    return body();
  } catch (const InterpAbort&) {
    env->ctx->stackCount = stackCount;
    env->ctx->localVarsIndexes = indexes;
    return fallback;
  }
}

// Default callbacks, installed by interp_create (and per id at load) and
// restored by registering null. env_getTime returns the context's current time;
// env_addTime adds to it. The others do nothing and return 0, the character
// (print) or {nullptr, NO_ID, NO_ID} (invalid operation).
u64 env_getTime(InterpEnv* env);
void env_addTime(InterpEnv* env, u64 ps);
void env_defaultFsmChanged(InterpEnv* env, TaggedValue instance, u32 phase, u32 value);
void env_defaultProcessActivation(InterpEnv* env, TaggedValue instance, u32 phase);
u32 env_defaultVarChange(InterpEnv* env, u32 varId, u32 mode, TaggedValue newValue);
u32 env_defaultVarRead(InterpEnv* env, u32 varId);
int env_defaultPrint(InterpEnv* env, int character);
void env_defaultExit(InterpEnv* env, size_t line, int code);
void env_defaultAssert(InterpEnv* env, bool condition, const char* file, size_t line,
                       const char* function, const char* text);
void env_defaultSyncIO(InterpEnv* env);
u64 env_defaultRandom(InterpEnv* env);
TaggedValue env_defaultInvalidOp(InterpEnv* env, AST* node, u32 code);

// Allocates the four per-id callback arrays for the loaded image's counts and
// fills them with the defaults (freeing earlier ones).
void interp_allocCallbackArrays(InterpEnv* env);
