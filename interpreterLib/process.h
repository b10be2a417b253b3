// Calls of user functions and activations of process instances: parameter
// binding, frames, and one activation of a state machine with its on/after
// transitions, common block, current state body and finally block.
#pragma once
#include "interp_env.h"
#include "interp_system.h"

struct EngineFragment;

void function_executeCall(InterpEnv* env, u32 functionId, AST* arguments);
void function_executeCallwValues(InterpEnv* env, u32 functionId, const TaggedValue* arguments);
// The last parameter is bound by reference to extra.
void function_executeCallCurrying(InterpEnv* env, u32 functionId, AST* arguments,
                                  TaggedValue extra);

// Binds an evaluated argument to the next formal of a frame being opened: an
// IN parameter (inParameter) by value into a new local of the argument's own
// type, anything else by reference to the argument's storage.
void process_bindArgument(InterpEnv* env, bool inParameter, TaggedValue argument);
// Makes the last nArgs bound arguments the first locals of a new frame.
void process_openFrame(InterpEnv* env, u32 nArgs);
// Abandons the run ("Call nesting too deep") when the thread's stack is
// nearly used up: each call level checks it first.
void process_checkNativeStack(InterpEnv* env);
// process_checkNativeStack for the hot entries (a call in the engine, a
// planned activation). The check compares the frame's address with a floor
// fixed per thread, so once it passed at some frame, every call made from
// higher up passes too and skips it; the lowest such frame is kept per thread.
inline thread_local const char* process_stackCheckedDown = nullptr;
inline void process_checkNativeStackFromHere(InterpEnv* env) {
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  if (process_stackCheckedDown != nullptr && here >= process_stackCheckedDown) return;
  process_checkNativeStack(env);
  process_stackCheckedDown = here;
}
// True when nested evaluation has used up half of that reserve as well.
bool process_nativeStackLow();

// One activation of a process instance: definition id, first static variable
// (NO_ID when none), actual parameter list, and its Process_Instance record.
void process_executeCall(InterpEnv* env, u32 definitionId, u32 staticBase, AST* parameters,
                         TaggedValue instance);
// process_executeCall for an activation the scheduler selected. When the
// instance has the usual shape (literal scalar IN arguments, no definition
// locals, valid ids) what does not change between its activations is worked
// out once and kept in its plan; the activation then binds, declares and
// enters its state body directly, with the same effects on the value stack,
// the local tables, the step count and the callbacks as process_executeCall.
void process_activateInstance(InterpEnv* env, u32 definitionId, u32 staticBase,
                              AST* parameters, TaggedValue instance);

// At most this many arguments are bound from a plan; an instance with more
// takes the general path.
constexpr u32 kPlannedArguments = 4;

// What process_activateInstance keeps per instance (the engine owns the
// plans, one per instance id, and drops them with the image's prepared form).
struct ProcessActivationPlan {
  // What the plan was made for: an activation of another record, definition,
  // static base or argument list makes the plan again.
  const DataCell* record = nullptr;
  u32 recordType = NO_ID;
  u32 definition = NO_ID;
  u32 staticBase = NO_ID;
  const AST* parameters = nullptr;
  // False when the activation does not have the usual shape: it then goes
  // through process_executeCall, which reports whatever is wrong with it.
  bool usual = false;
  AST* formals = nullptr;
  u32 frameStaticBase = NO_ID;  // the frame's static base (NO_ID without statics)
  u32 nArguments = 0;
  u32 argumentTypes[kPlannedArguments] = {};
  DataCell pushedCells[kPlannedArguments] = {};  // as the value stack holds them
  DataCell boundCells[kPlannedArguments] = {};   // masked to the type, as the locals hold them
  AST* commonBlock = nullptr;
  AST* finallyBlock = nullptr;
  // The state the last activation ran (checked), with what running it needs.
  u32 stateId = NO_ID;
  AST* state = nullptr;
  AST* stateBlock = nullptr;
  AST* statements = nullptr;
  StateLocals locals;
  bool hasTransitions = false;
  u32 localCells = 0;  // cells the locals take when locals.zeroed
  bool bodyKnown = false;  // body below was looked up
  const EngineFragment* body = nullptr;
};

void executeNamedState(InterpEnv* env, AST* state);
bool executeNamedStateTransitions(InterpEnv* env, AST* state, TaggedValue instance);

// Lets ps picoseconds of simulated time pass (block and activation time
// accounts). Time passes only through delay_callback, whose default is
// env_addTime, so a host that keeps its own clock sees every step.
void time_advance(InterpEnv* env, u64 ps);

// Evaluates a duration expression as picoseconds (an absent expression is 0).
u64 time_durationToPs(InterpEnv* env, AST* expression);
