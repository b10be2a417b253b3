// Calls of user functions and activations of process instances: parameter
// binding, frames, and one activation of a state machine with its on/after
// transitions, common block, current state body and finally block.
#pragma once
#include "interp_env.h"

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
// True when nested evaluation has used up half of that reserve as well.
bool process_nativeStackLow();

// One activation of a process instance: definition id, first static variable
// (NO_ID when none), actual parameter list, and its Process_Instance record.
void process_executeCall(InterpEnv* env, u32 definitionId, u32 staticBase, AST* parameters,
                         TaggedValue instance);
void executeNamedState(InterpEnv* env, AST* state);
bool executeNamedStateTransitions(InterpEnv* env, AST* state, TaggedValue instance);

// Lets ps picoseconds of simulated time pass (block and activation time
// accounts). Time passes only through delay_callback, whose default is
// env_addTime, so a host that keeps its own clock sees every step.
void time_advance(InterpEnv* env, u64 ps);

// Evaluates a duration expression as picoseconds (an absent expression is 0).
u64 time_durationToPs(InterpEnv* env, AST* expression);
