// The interpreter library's public API, in the order a host calls it: create,
// register callbacks, load (or borrow the compiler's image), init, then run,
// query, set and call; stop frees everything. Entry points that run program
// code never let an internal abort escape: they return normally.
#pragma once
#include "interp_env.h"

// Loading and initialisation.
u32 interp_load(InterpEnv* env, const char* path);
// Borrows the image the compiler is building (never freed by the
// interpreter); the compiler passes its environment's program. Its variable
// tables are left pointing at the init tables, which the compiler keeps
// writing: constant evaluation works on them. The system records are made in
// the environment's own copy of the global data.
u32 interp_load_from_parser(InterpEnv* env, struct program* compilerImage);
u32 interp_init(InterpEnv* env);
InterpEnv* interp_create_load_init(const char* path);

// Values and calls.
// Mode 0 assigns, mode 1 pushes into a queue or stack variable; 1 for an
// unknown variable or mode, or when the write was refused as an internal error.
u32 interp_setValue(InterpEnv* env, u32 varId, u32 mode, TaggedValue value);
u32 interp_callFunction(InterpEnv* env, u32 funcId, const TaggedValue* arguments);

// Name lookups: first match (NO_ID when none), except functions (last match).
u32 interp_getTypeID(InterpEnv* env, const char* name);
u32 interp_getVariableID(InterpEnv* env, const char* name);
u32 interp_getConstantID(InterpEnv* env, const char* name);
u32 interp_getTaskID(InterpEnv* env, const char* name);
struct ArgDescriptor {
  u32 typeId;
  u32 direction;  // 0 value parameter, 1 output parameter
};
u32 interp_getFunctionID(InterpEnv* env, const char* name, u32 count,
                         const ArgDescriptor* descriptors);
u32 interp_getMethodID(InterpEnv* env, u32 typeId, const char* method, u32 count,
                       const ArgDescriptor* descriptors);
u32 interp_getEnum(InterpEnv* env, u32 enumTypeId, const char* enumName);
u32 interp_getStructFieldTypeID(InterpEnv* env, const char* typeName, const char* fieldName);

// Running the scheduler (defined by the scheduler module). interp_next_hit is
// the time of the next activation relative to now, the largest s64 when none
// is pending. They do nothing (returning 0, or that largest s64) before
// interp_init, and return normally after an internal error has abandoned the
// run.
u32 interp_run_until(InterpEnv* env, u64 until);
u32 interp_run_for(InterpEnv* env, u64 duration);
u32 interp_step(InterpEnv* env);
s64 interp_next_hit(InterpEnv* env);

// Time conversions (picoseconds).
u64 time_s_to_ps(u64 s);
u64 time_ps_to_s(u64 ps);         // whole seconds
u64 time_cut_sub_second(u64 ps);  // the picoseconds beyond the whole seconds

// Values.
// The primitive type (0 to 14) a type stands for: itself, or the base of a
// user type declared over a primitive; NO_ID for any other type.
u32 builtin_primitiveKind(InterpEnv* env, u32 typeId);
// A whole value on standard output: buffers as {e1,e2} (arrays in index
// order, queues oldest first, stacks from the top down), structures as
// {f1,f2}, enumerations by name, scalars by their type, time64 as a duration.
void display_value(InterpEnv* env, TaggedValue value);

// Settings.
void interp_set_realtime(InterpEnv* env, bool realtime);
bool interp_get_realtime(InterpEnv* env);
void interp_set_start_pid(InterpEnv* env, u32 pid);
// A flag the host sets (typically from a signal handler) to stop a run that
// may never return by itself: while it is non-zero, every loop of the program
// abandons the current run at its next turn, and the entry point that ran it
// returns as after an internal abort. Null removes it. The flag must outlive
// the environment's runs.
void interp_set_interrupt(InterpEnv* env, const volatile std::sig_atomic_t* flag);
// Bounds the loop turns (every turn of a while or for loop, in any function or
// activation) the program may take from now on: the turn past the bound
// abandons the current run silently, as the stop flag does, and
// interp_loop_limit_reached then says so. Each call starts a new count and
// clears that state; 0 removes the bound.
void interp_set_loop_limit(InterpEnv* env, u64 turns);
bool interp_loop_limit_reached(const InterpEnv* env);
// Copies the characters of a character-array value (until its declared length
// or a zero byte) into destination, NUL-terminated; returns the length.
u32 interp_get_value_string(InterpEnv* env, TaggedValue source, u32 typeId, char* destination);

// Callback registration; a null function restores the default.
u32 env_on_exit(InterpEnv* env, ExitCallback f);
u32 env_on_assert(InterpEnv* env, AssertCallback f);
u32 env_on_print(InterpEnv* env, PrintCallback f);
u32 env_on_syncio(InterpEnv* env, SyncIOCallback f);
u32 env_on_gettime(InterpEnv* env, GetTimeCallback f);
u32 env_on_delay(InterpEnv* env, DelayCallback f);
u32 env_on_random(InterpEnv* env, RandomCallback f);
u32 interpreter_on_invalid_op(InterpEnv* env, InvalidOpCallback f);
u32 env_on_variable_change(InterpEnv* env, u32 varId, VarChangeCallback f);
u32 env_on_variable_read(InterpEnv* env, u32 varId, VarReadCallback f);
u32 env_on_state_changed(InterpEnv* env, u32 instanceId, FsmChangedCallback f);
u32 env_on_task_activation(InterpEnv* env, u32 instanceId, ProcessActivationCallback f);
u32 env_on_any_variable_change(InterpEnv* env, VarChangeCallback f);
u32 env_on_any_variable_read(InterpEnv* env, VarReadCallback f);
u32 env_on_any_task_activation(InterpEnv* env, ProcessActivationCallback f);
u32 env_on_any_state_changed(InterpEnv* env, FsmChangedCallback f);
bool env_has_no_callbacks(InterpEnv* env);
bool env_is_quiet(InterpEnv* env);
