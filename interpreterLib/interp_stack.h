// The value stack: fixed cells for the temporaries of the statement being
// executed. Each push takes cells from the stack and returns a tagged value
// pointing at them (global id NO_ID); nothing is allocated while running.
#pragma once
#include "interp_env.h"

// Allocates the stack (STACKS_SIZE cells) and empties it.
void interpStack_init(InterpEnv* env);

TaggedValue interpStack_pushUInt8(InterpEnv* env, u8 value);
TaggedValue interpStack_pushSInt8(InterpEnv* env, s8 value);
TaggedValue interpStack_pushUInt16(InterpEnv* env, u16 value);
TaggedValue interpStack_pushSInt16(InterpEnv* env, s16 value);
TaggedValue interpStack_pushUInt32(InterpEnv* env, u32 value);
TaggedValue interpStack_pushSInt32(InterpEnv* env, s32 value);
TaggedValue interpStack_pushUInt64(InterpEnv* env, u64 value);
TaggedValue interpStack_pushSInt64(InterpEnv* env, s64 value);
TaggedValue interpStack_pushBoolean(InterpEnv* env, bool value);
TaggedValue interpStack_pushSize(InterpEnv* env, u32 value);
TaggedValue interpStack_pushF32(InterpEnv* env, float value);
TaggedValue interpStack_pushF64(InterpEnv* env, double value);
// One cell holding `cell` as it is, typed typeId.
TaggedValue interpStack_pushSingleAnyValue(InterpEnv* env, u32 typeId, DataCell cell);
// Reserves the type's storage size in cells and copies value into them with the
// assignment rules (value_set).
TaggedValue interpStack_pushForcedTypeValue(InterpEnv* env, u32 typeId, TaggedValue value);
// Reserves the type's storage size in cells, zero-filled (at least one cell).
TaggedValue interpStack_pushZeroed(InterpEnv* env, u32 typeId);

// The used count, to restore temporaries to an earlier point.
u32 interpStack_mark(const InterpEnv* env);
void interpStack_release(InterpEnv* env, u32 mark);
