#include "interp_stack.h"

#include <algorithm>
#include <cstring>

#include "statement.h"
#include "velk_memory.h"

namespace {

// Counts one evaluation step against the host's limit, if it set one.
void countStep(InterpEnv* env) {
  InterpContext* ctx = env->ctx;
  if (ctx->stepLimit != 0 && ++ctx->stepCount > ctx->stepLimit) {
    interp_fatal(env, "Step limit of %llu reached\n", static_cast<unsigned long long>(ctx->stepLimit));
  }
}

// Takes n cells (n >= 1) from the stack, zero-filled. The push that makes the
// used count reach STACKS_SIZE is refused: going on would write past the stack.
DataCell* reserveCells(InterpEnv* env, u32 n) {
  countStep(env);
  InterpContext* ctx = env->ctx;
  if (n >= STACKS_SIZE - ctx->stackCount) interp_fatal(env, "Stack overflow\n");
  DataCell* cells = ctx->stack + ctx->stackCount;
  ctx->stackCount += n;
  std::fill(cells, cells + n, DataCell{0});
  return cells;
}

TaggedValue pushCell(InterpEnv* env, u32 typeId, DataCell cell) {
  DataCell* cells = reserveCells(env, 1);
  *cells = cell;
  return TaggedValue{cells, typeId, NO_ID};
}

// Cells a value of typeId takes on the stack: its storage size, at least one
// so that the result always points at a cell of its own.
u32 stackCellsOf(InterpEnv* env, u32 typeId) {
  INTERP_ASSERT_TEXT(env, typeId < env->program->infoProg->n_type,
                     "typeId < env->program->infoProg->n_type");
  return std::max<u32>(1, env->program->typeTable[typeId].storageSize);
}

}  // namespace

void interp_countStep(InterpEnv* env) { countStep(env); }

void interpStack_init(InterpEnv* env) {
  if (env->ctx->stack == nullptr) env->ctx->stack = MEMORY_ALLOC(STACKS_SIZE, DataCell, "env->ctx->stack");
  env->ctx->stackCount = 0;
}

// Values are stored zero-extended from their own width: the cast to the
// unsigned type of the same width drops the sign extension.
TaggedValue interpStack_pushUInt8(InterpEnv* env, u8 value) { return pushCell(env, TypeUInt8, value); }
TaggedValue interpStack_pushSInt8(InterpEnv* env, s8 value) {
  return pushCell(env, TypeSInt8, static_cast<u8>(value));
}
TaggedValue interpStack_pushUInt16(InterpEnv* env, u16 value) { return pushCell(env, TypeUInt16, value); }
TaggedValue interpStack_pushSInt16(InterpEnv* env, s16 value) {
  return pushCell(env, TypeSInt16, static_cast<u16>(value));
}
TaggedValue interpStack_pushUInt32(InterpEnv* env, u32 value) { return pushCell(env, TypeUInt32, value); }
TaggedValue interpStack_pushSInt32(InterpEnv* env, s32 value) {
  return pushCell(env, TypeSInt32, static_cast<u32>(value));
}
TaggedValue interpStack_pushUInt64(InterpEnv* env, u64 value) { return pushCell(env, TypeUInt64, value); }
TaggedValue interpStack_pushSInt64(InterpEnv* env, s64 value) {
  return pushCell(env, TypeSInt64, static_cast<u64>(value));
}
TaggedValue interpStack_pushBoolean(InterpEnv* env, bool value) {
  return pushCell(env, TypeBoolean, value ? 1 : 0);
}
TaggedValue interpStack_pushSize(InterpEnv* env, u32 value) { return pushCell(env, TypeUInt32, value); }

TaggedValue interpStack_pushF32(InterpEnv* env, float value) {
  u32 bits;
  std::memcpy(&bits, &value, sizeof bits);
  return pushCell(env, TypeF32, bits);
}

TaggedValue interpStack_pushF64(InterpEnv* env, double value) {
  u64 bits;
  std::memcpy(&bits, &value, sizeof bits);
  return pushCell(env, TypeF64, bits);
}

TaggedValue interpStack_pushSingleAnyValue(InterpEnv* env, u32 typeId, DataCell cell) {
  return pushCell(env, typeId, cell);
}

TaggedValue interpStack_pushForcedTypeValue(InterpEnv* env, u32 typeId, TaggedValue value) {
  TaggedValue result{reserveCells(env, stackCellsOf(env, typeId)), typeId, NO_ID};
  value_set(env, result, value);
  return result;
}

TaggedValue interpStack_pushZeroed(InterpEnv* env, u32 typeId) {
  return TaggedValue{reserveCells(env, stackCellsOf(env, typeId)), typeId, NO_ID};
}

u32 interpStack_mark(const InterpEnv* env) { return env->ctx->stackCount; }

void interpStack_release(InterpEnv* env, u32 mark) {
  INTERP_ASSERT_TEXT(env, mark <= env->ctx->stackCount, "mark <= env->ctx->stackCount");
  env->ctx->stackCount = mark;
  countStep(env);
}
