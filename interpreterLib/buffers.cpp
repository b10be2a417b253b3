#include "buffers.h"

#include <cstring>

#include "expression.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "random.h"
#include "statement.h"
#include "velk_locals.h"
#include "velk_typing.h"

namespace {

const TypeDefinition& typeOf(InterpEnv* env, u32 typeId) {
  INTERP_ASSERT_TEXT(env, typeId < env->program->infoProg->n_type,
                     "typeId < env->program->infoProg->n_type");
  return env->program->typeTable[typeId];
}

bool isChannelKind(u32 kind) { return kind >= QUEUE_BUFFER && kind <= CHANNEL_BUFFER; }

// Marker held by the out index of an empty stack.
constexpr DataCell STACK_OUT_NULL = 1;

// ---------------------------------------------------------------------------
// A channel value, checked once per operation: the type says what the cells
// must look like, and every index cell read later is checked against it.

struct Channel {
  DataCell* cells;
  u32 kind;
  u32 capacity;  // NO_ID for an unsized channel (a string)
  u32 slots;     // capacity + 1; 0 for an unsized channel
  u32 cellSize;
  u32 elementType;
  u32 globalId;

  bool isStack() const { return kind == STACK_BUFFER; }
  bool isSized() const { return slots != 0; }
  DataCell* slotCells(u32 slot) const { return cells + 2 + u64{slot} * cellSize; }
  DataCell indexOf(u32 slot) const { return 2 + u64{slot} * cellSize; }
  TaggedValue slotValue(u32 slot) const {
    return TaggedValue{slotCells(slot), elementType, globalId};
  }
};

Channel channelOf(InterpEnv* env, TaggedValue value) {
  const TypeDefinition& t = typeOf(env, value.typeId);
  INTERP_ASSERT_TEXT(env, isChannelKind(t.bufferType), "channel_isChannel(env, channel)");
  INTERP_ASSERT_TEXT(env, value.value != nullptr, "channel.value != NULL");
  const u32 cellSize = typeOf(env, t.baseType).storageSize;
  INTERP_ASSERT_TEXT(env, cellSize != 0, "buffer_getCellSize(env, channel) != 0");
  Channel c{value.value, t.bufferType, t.size, 0, cellSize, t.baseType, value.globalId};
  if (t.size != NO_ID) {
    c.slots = t.size + 1;
    INTERP_ASSERT_TEXT(env, 2 + u64{c.slots} * cellSize <= t.storageSize,
                       "2 + (capacity + 1) * cellSize <= storageSize");
  }
  return c;
}

// The slot an index cell names. An unsized channel (a string constant) has
// no capacity to check against; its indexes come from the compiler.
u32 slotOf(InterpEnv* env, const Channel& c, DataCell index) {
  INTERP_ASSERT_TEXT(env, index >= 2, "channel.value->index >= 2");
  INTERP_ASSERT_TEXT(env, ((index - 2) % c.cellSize) == 0,
                     "((channel.value->index - 2) % buffer_getCellSize(env, channel)) == 0");
  const u64 slot = (index - 2) / c.cellSize;
  INTERP_ASSERT_TEXT(env, c.isSized() ? slot < c.slots : slot < NO_ID, "slot <= capacity");
  return static_cast<u32>(slot);
}

u32 inSlot(InterpEnv* env, const Channel& c) { return slotOf(env, c, c.cells[0]); }
u32 outSlot(InterpEnv* env, const Channel& c) { return slotOf(env, c, c.cells[1]); }

// slot + k around the ring of a queue.
u32 advance(InterpEnv* env, const Channel& c, u32 slot, u32 k) {
  const u64 sum = u64{slot} + k;
  if (c.isSized()) return static_cast<u32>(sum % c.slots);
  INTERP_ASSERT_TEXT(env, sum < NO_ID, "slot <= capacity");
  return static_cast<u32>(sum);
}

u32 countOf(InterpEnv* env, const Channel& c) {
  const u32 in = inSlot(env, c);
  if (c.isStack()) return in;
  const u32 out = outSlot(env, c);
  if (in >= out) return in - out;
  INTERP_ASSERT_TEXT(env, c.isSized(), "in >= out in an unsized channel");
  return in + (c.capacity - out) + 1;
}

bool emptyOf(InterpEnv* env, const Channel& c) { return countOf(env, c) == 0; }

bool fullOf(InterpEnv* env, const Channel& c) {
  if (!c.isSized()) return false;
  if (c.isStack()) return inSlot(env, c) >= c.capacity;
  return advance(env, c, inSlot(env, c), 1) == outSlot(env, c);
}

// Only queues and stacks are written to; the abstract kinds (a string) are
// read-only here.
bool checkWritable(InterpEnv* env, const Channel& c) {
  if (c.kind == QUEUE_BUFFER || c.kind == STACK_BUFFER) {
    INTERP_ASSERT_TEXT(env, c.isSized(), "channel capacity != NO_ID");
    return true;
  }
  interp_failure(env, "Unsupported buffer type %d\n", static_cast<int>(c.kind));
  return false;
}

// Slot of the element at position i: the i-th oldest (queue) or the i-th
// from the top (stack). Stays inside the storage whatever i is.
u32 positionSlot(InterpEnv* env, const Channel& c, u32 i) {
  if (c.isStack()) {
    const u32 top = outSlot(env, c);
    INTERP_ASSERT_TEXT(env, i <= top, "index <= out");
    return top - i;
  }
  // An unsized channel has no ring: its elements end at the in index.
  if (!c.isSized()) INTERP_ASSERT_TEXT(env, i < countOf(env, c), "index < count");
  return advance(env, c, outSlot(env, c), i);
}

// Copies one slot over another of the same channel (same element type, so
// the raw cells are the value).
void moveSlot(const Channel& c, u32 from, u32 to) {
  std::memmove(c.slotCells(to), c.slotCells(from), sizeof(DataCell) * c.cellSize);
}

void queueAdd(InterpEnv* env, const Channel& c, TaggedValue value) {
  const u32 in = inSlot(env, c);
  value_set(env, c.slotValue(in), value);
  c.cells[0] = c.indexOf(advance(env, c, in, 1));
}

void queueRemove(InterpEnv* env, const Channel& c) {
  c.cells[1] = c.indexOf(advance(env, c, outSlot(env, c), 1));
}

void stackAdd(InterpEnv* env, const Channel& c, TaggedValue value) {
  const u32 in = inSlot(env, c);
  INTERP_ASSERT_TEXT(env, in < c.capacity, "!stack_isFull(env, stack)");
  value_set(env, c.slotValue(in), value);
  c.cells[1] = c.indexOf(in);
  c.cells[0] = c.indexOf(in + 1);
}

// The top goes; the out index follows the in index so that the two always
// agree afterwards (the empty marker once the last element has gone).
void stackRemove(InterpEnv* env, const Channel& c) {
  const u32 in = inSlot(env, c);
  INTERP_ASSERT_TEXT(env, in > 0, "!stack_isEmpty(env, stack)");
  c.cells[0] = c.indexOf(in - 1);
  c.cells[1] = in == 1 ? STACK_OUT_NULL : c.indexOf(in - 2);
}

// The value returned by pop, peek and last_peek when there is no element:
// a cleared element on the value stack.
TaggedValue clearedElement(InterpEnv* env, u32 elementType) {
  const TaggedValue value = interpStack_pushZeroed(env, elementType);
  value_clear(env, value);
  return value;
}

void reportEmpty(InterpEnv* env, const Channel& c, AST* node, bool stackCode) {
  env->ctx->invalid_op_callback(env, node, stackCode && c.isStack() ? INVALID_OP_STACK_EMPTY
                                                                    : INVALID_OP_QUEUE_EMPTY);
}

void reportFull(InterpEnv* env, const Channel& c, AST* node) {
  env->ctx->invalid_op_callback(env, node, c.isStack() ? INVALID_OP_STACK_FULL
                                                       : INVALID_OP_QUEUE_FULL);
}

// insert_sorted's order: signed integers sign-extended from their own width
// (an int8 -1 is stored as 0xFF and must sort below 0), everything else as
// the unsigned first cell.
bool isSignedElement(u32 typeId) { return isIntType(typeId) && isSignedIntType(typeId); }

s64 signExtend(DataCell cell, u32 typeId) {
  switch (typeId) {
    case TypeSInt8:
      return static_cast<s8>(cell);
    case TypeSInt16:
      return static_cast<s16>(cell);
    case TypeSInt32:
      return static_cast<s32>(cell);
    default:
      return static_cast<s64>(cell);
  }
}

bool isGreater(DataCell element, DataCell value, u32 typeId) {
  if (isSignedElement(typeId)) return signExtend(element, typeId) > signExtend(value, typeId);
  return element > value;
}

// Opens a gap at position pos (counted from the out end) of a channel with n
// elements and returns the slot of the gap; the in (and for a stack the out)
// index moves by one. Queue: the elements from pos on move towards the in end;
// stack: those nearer the top than pos move up.
u32 openGap(InterpEnv* env, const Channel& c, u32 n, u32 pos) {
  if (c.isStack()) {
    for (u32 s = n; s > n - pos; --s) moveSlot(c, s - 1, s);
    c.cells[1] = c.indexOf(n);
    c.cells[0] = c.indexOf(n + 1);
    return n - pos;
  }
  const u32 out = outSlot(env, c);
  for (u32 k = n; k > pos; --k) moveSlot(c, advance(env, c, out, k - 1), advance(env, c, out, k));
  c.cells[0] = c.indexOf(advance(env, c, inSlot(env, c), 1));
  return advance(env, c, out, pos);
}

// ---------------------------------------------------------------------------
// Arrays.

const TypeDefinition& arrayTypeOf(InterpEnv* env, TaggedValue array) {
  const TypeDefinition& t = typeOf(env, array.typeId);
  INTERP_ASSERT_TEXT(env, t.bufferType == ARRAY_BUFFER, "array.bufferType == ARRAY_BUFFER");
  INTERP_ASSERT_TEXT(env, array.value != nullptr, "array.value != NULL");
  return t;
}

TaggedValue arrayElement(InterpEnv* env, TaggedValue array, const TypeDefinition& t, u32 index) {
  const u32 cellSize = typeOf(env, t.baseType).storageSize;
  INTERP_ASSERT_TEXT(env, t.size != NO_ID && (u64{index} + 1) * cellSize <= t.storageSize,
                     "(index + 1) * cellSize <= storageSize");
  return TaggedValue{array.value + u64{index} * cellSize, t.baseType, array.globalId};
}

// ---------------------------------------------------------------------------
// Iterators: cell 0 index, cell 1 operation code | buffer variable id << 32,
// cell 2 removal mark.

constexpr u32 ITERATOR_CELLS = 3;

DataCell* iteratorCells(InterpEnv* env, TaggedValue iterator) {
  const TypeDefinition& t = typeOf(env, iterator.typeId);
  INTERP_ASSERT_TEXT(env, iterator.value != nullptr, "iterator.value != NULL");
  INTERP_ASSERT_TEXT(env, t.bufferType == NONE_BUFFER && t.storageSize >= ITERATOR_CELLS,
                     "iterator storage holds its index, buffer and removal mark");
  return iterator.value;
}

u32 iteratorIndex(const DataCell* cells) { return static_cast<u32>(cells[0]); }

bool isVariableOp(u32 op) {
  return op == GLOBAL_CONSTANT_OP || op == GLOBAL_VARIABLE_OP || op == LOCAL_CONSTANT_OP ||
         op == LOCAL_VAR || op == STATIC_VARIABLE_OP;
}

// A buffer named by a variable node: the iterator keeps the node's operation
// code and variable id and finds the storage again whenever it needs it.
TaggedValue findBuffer(InterpEnv* env, u32 op, u32 id) {
  const program* p = env->program;
  switch (op) {
    case GLOBAL_CONSTANT_OP:
      INTERP_ASSERT_TEXT(env, id < p->infoProg->n_globalConstants,
                         "varId < env->program->infoProg->n_globalConstants");
      return p->globalConstantTable[id];
    case GLOBAL_VARIABLE_OP: {
      INTERP_ASSERT_TEXT(env, id < p->infoProg->n_globalVariables,
                         "varId < env->program->infoProg->n_globalVariables");
      TaggedValue value = p->globalVariableTable[id];
      value.globalId = id;
      return value;
    }
    case LOCAL_CONSTANT_OP:
      return LocalConstant_reference(env, id);
    case LOCAL_VAR:
      return LocalVariable_reference(env, id);
    case STATIC_VARIABLE_OP: {
      const u32 base = env->ctx->localVarsIndexes.base.processStaticVariables;
      const u32 count = p->infoProg->n_processStaticVariables;
      INTERP_ASSERT_TEXT(env, base != NO_ID && base <= count && id < count - base,
                         "varId < env->program->infoProg->n_processStaticVariables - "
                         "env->ctx->localVarsIndexes.base.processStaticVariables");
      return p->processStaticVariableTable[base + id];
    }
    default:
      INTERP_ASSERT_TEXT(env, false, "unknown variable kind");
      return TaggedValue{nullptr, NO_ID, NO_ID};
  }
}

// Elements a loop walks: a channel's count (it changes as the body pushes or
// removes) or an array's capacity.
u32 loopEnd(InterpEnv* env, TaggedValue buffer) {
  const TypeDefinition& t = typeOf(env, buffer.typeId);
  if (t.bufferType == ARRAY_BUFFER) {
    INTERP_ASSERT_TEXT(env, t.size != NO_ID, "array capacity != NO_ID");
    return t.size;
  }
  if (isChannelKind(t.bufferType)) return countOf(env, channelOf(env, buffer));
  interp_fatal(env, "Unsupported buffer type %d\n", static_cast<int>(t.bufferType));
}

// The index of choice_uniform, below n.
u32 drawBelow(InterpEnv* env, u32 n) { return random_uniformSize(env, n); }

}  // namespace

// ---------------------------------------------------------------------------
// Types and geometry.

u32 buffer_getCellSize(InterpEnv* env, TaggedValue buffer) {
  return typeOf(env, typeOf(env, buffer.typeId).baseType).storageSize;
}

bool buffer_isChannelType(const InterpEnv* env, u32 typeId) {
  if (typeId >= env->program->infoProg->n_type) return false;
  return isChannelKind(env->program->typeTable[typeId].bufferType);
}

bool channel_isChannel(InterpEnv* env, TaggedValue value) {
  return buffer_isChannelType(env, value.typeId);
}

u32 buffer_getCapacity(InterpEnv* env, TaggedValue buffer) {
  return typeOf(env, buffer.typeId).size;
}

// ---------------------------------------------------------------------------
// Arrays.

TaggedValue array_get(InterpEnv* env, TaggedValue array, u32 index) {
  const TypeDefinition& t = arrayTypeOf(env, array);
  const u32 capacity = t.size;
  if (index >= capacity) {
    interp_failure(env, "Array index out of bounds (%u)\n", index);
    // Stay inside the array: an unsized or empty array has no element to give.
    if (capacity == 0 || capacity == NO_ID) {
      interp_fatal(env, "Array index out of bounds (%u)\n", index);
    }
    index = capacity - 1;
  }
  return arrayElement(env, array, t, index);
}

TaggedValue array_size(InterpEnv* env, TaggedValue array) {
  return interpStack_pushUInt32(env, arrayTypeOf(env, array).size);
}

// ---------------------------------------------------------------------------
// Channel index cells.

void channel_setEmpty(InterpEnv*, DataCell* cells, u32 bufferKind) {
  cells[0] = 2;
  cells[1] = bufferKind == STACK_BUFFER ? STACK_OUT_NULL : 2;
}

u32 channel_getInId(InterpEnv* env, TaggedValue channel) {
  return inSlot(env, channelOf(env, channel));
}

u32 channel_getOutId(InterpEnv* env, TaggedValue channel) {
  return outSlot(env, channelOf(env, channel));
}

void channel_setInId(InterpEnv* env, TaggedValue channel, u32 slot) {
  const Channel c = channelOf(env, channel);
  INTERP_ASSERT_TEXT(env, !c.isSized() || slot < c.slots, "slot <= capacity");
  c.cells[0] = c.indexOf(slot);
}

void channel_setOutId(InterpEnv* env, TaggedValue channel, u32 slot) {
  const Channel c = channelOf(env, channel);
  INTERP_ASSERT_TEXT(env, !c.isSized() || slot < c.slots, "slot <= capacity");
  c.cells[1] = c.indexOf(slot);
}

void stack_setOutNull(InterpEnv* env, TaggedValue stack) {
  channelOf(env, stack).cells[1] = STACK_OUT_NULL;
}

bool stack_isOutNull(InterpEnv* env, TaggedValue stack) {
  return channelOf(env, stack).cells[1] == STACK_OUT_NULL;
}

// ---------------------------------------------------------------------------
// Channel state.

u32 channel_getCount(InterpEnv* env, TaggedValue channel) {
  return countOf(env, channelOf(env, channel));
}

bool channel_empty(InterpEnv* env, TaggedValue channel) {
  return emptyOf(env, channelOf(env, channel));
}

bool channel_full(InterpEnv* env, TaggedValue channel) {
  return fullOf(env, channelOf(env, channel));
}

bool queue_isEmpty(InterpEnv* env, TaggedValue queue) { return channel_empty(env, queue); }
bool queue_isFull(InterpEnv* env, TaggedValue queue) { return channel_full(env, queue); }
bool stack_isEmpty(InterpEnv* env, TaggedValue stack) { return channel_empty(env, stack); }
bool stack_isFull(InterpEnv* env, TaggedValue stack) { return channel_full(env, stack); }

void queue_add(InterpEnv* env, TaggedValue queue, TaggedValue value) {
  const Channel c = channelOf(env, queue);
  INTERP_ASSERT_TEXT(env, c.isSized() && !fullOf(env, c), "!queue_isFull(env, queue)");
  queueAdd(env, c, value);
}

void queue_remove(InterpEnv* env, TaggedValue queue) {
  const Channel c = channelOf(env, queue);
  INTERP_ASSERT_TEXT(env, c.isSized() && !emptyOf(env, c), "!queue_isEmpty(env, queue)");
  queueRemove(env, c);
}

void stack_add(InterpEnv* env, TaggedValue stack, TaggedValue value) {
  const Channel c = channelOf(env, stack);
  INTERP_ASSERT_TEXT(env, c.isStack() && c.isSized(), "STACK_BUFFER == stack.bufferType");
  stackAdd(env, c, value);
}

void stack_remove(InterpEnv* env, TaggedValue stack) {
  const Channel c = channelOf(env, stack);
  INTERP_ASSERT_TEXT(env, c.isStack(), "STACK_BUFFER == stack.bufferType");
  stackRemove(env, c);
}

// ---------------------------------------------------------------------------
// Channel operations.

bool channel_push(InterpEnv* env, TaggedValue channel, TaggedValue value, AST* node) {
  const Channel c = channelOf(env, channel);
  if (!checkWritable(env, c)) return false;
  if (fullOf(env, c)) {
    reportFull(env, c, node);
    return false;
  }
  if (c.isStack()) {
    stackAdd(env, c, value);
  } else {
    queueAdd(env, c, value);
  }
  return true;
}

bool channel_insert_sorted(InterpEnv* env, TaggedValue channel, TaggedValue value, AST* node) {
  const Channel c = channelOf(env, channel);
  if (!checkWritable(env, c)) return false;
  if (fullOf(env, c)) {
    reportFull(env, c, node);
    return false;
  }
  // The value is converted to the element type first: it may be an element of
  // this very channel, which the moves below would overwrite.
  const u32 mark = interpStack_mark(env);
  const TaggedValue element = interpStack_pushForcedTypeValue(env, c.elementType, value);
  const u32 n = countOf(env, c);
  u32 pos = 0;
  while (pos < n && !isGreater(*c.slotCells(positionSlot(env, c, pos)), *element.value,
                               c.elementType)) {
    ++pos;
  }
  const u32 gap = openGap(env, c, n, pos);
  value_set(env, c.slotValue(gap), element);
  interpStack_release(env, mark);
  return true;
}

TaggedValue channel_pop(InterpEnv* env, TaggedValue channel, AST* node) {
  const Channel c = channelOf(env, channel);
  if (!checkWritable(env, c)) return clearedElement(env, c.elementType);
  if (emptyOf(env, c)) {
    reportEmpty(env, c, node, true);
    return clearedElement(env, c.elementType);
  }
  // A copy: the slot is free once the element is removed.
  const TaggedValue result =
      interpStack_pushForcedTypeValue(env, c.elementType, c.slotValue(outSlot(env, c)));
  if (c.isStack()) {
    stackRemove(env, c);
  } else {
    queueRemove(env, c);
  }
  return result;
}

TaggedValue channel_peek(InterpEnv* env, TaggedValue channel, AST* node) {
  const Channel c = channelOf(env, channel);
  if (emptyOf(env, c)) {
    reportEmpty(env, c, node, false);
    return clearedElement(env, c.elementType);
  }
  return c.slotValue(outSlot(env, c));
}

TaggedValue channel_lastpeek(InterpEnv* env, TaggedValue channel, AST* node) {
  const Channel c = channelOf(env, channel);
  if (emptyOf(env, c)) {
    reportEmpty(env, c, node, true);
    return clearedElement(env, c.elementType);
  }
  if (c.isStack()) return c.slotValue(outSlot(env, c));
  // The slot before in: (in + capacity) mod (capacity + 1) in the ring.
  const u32 in = inSlot(env, c);
  const u32 newest = c.isSized() ? advance(env, c, in, c.capacity) : in - 1;
  return c.slotValue(newest);
}

void channel_clear(InterpEnv* env, TaggedValue channel) {
  INTERP_ASSERT_TEXT(env, channel_isChannel(env, channel), "channel_isChannel(env, channel)");
  value_clear(env, channel);
}

TaggedValue channel_count(InterpEnv* env, TaggedValue channel) {
  return interpStack_pushUInt32(env, channel_getCount(env, channel));
}

TaggedValue channel_size(InterpEnv* env, TaggedValue channel) {
  return interpStack_pushUInt32(env, channelOf(env, channel).capacity);
}

TaggedValue channel_isEmpty(InterpEnv* env, TaggedValue channel) {
  return interpStack_pushBoolean(env, channel_empty(env, channel));
}

TaggedValue channel_notEmpty(InterpEnv* env, TaggedValue channel) {
  return expr_not(env, channel_isEmpty(env, channel));
}

TaggedValue channel_isFull(InterpEnv* env, TaggedValue channel) {
  return interpStack_pushBoolean(env, channel_full(env, channel));
}

TaggedValue channel_notFull(InterpEnv* env, TaggedValue channel) {
  return expr_not(env, channel_isFull(env, channel));
}

void channel_copy(InterpEnv* env, TaggedValue destination, TaggedValue source) {
  const Channel to = channelOf(env, destination);
  const Channel from = channelOf(env, source);
  INTERP_ASSERT_TEXT(env, to.cellSize == from.cellSize,
                     "buffer_getCellSize(env, destination) == buffer_getCellSize(env, source)");
  INTERP_ASSERT_TEXT(env, to.isSized(), "destination capacity != NO_ID");
  u32 count = countOf(env, from);
  if (count > to.capacity) count = to.capacity;
  // Oldest (queue) or bottom (stack) first, into slots 0.. of the destination.
  const u32 first = from.isStack() ? 0 : outSlot(env, from);
  for (u32 k = 0; k < count; ++k) {
    const u32 slot = from.isStack() ? k : advance(env, from, first, k);
    std::memmove(to.slotCells(k), from.slotCells(slot), sizeof(DataCell) * to.cellSize);
  }
  to.cells[0] = to.indexOf(count);
  if (to.isStack()) {
    to.cells[1] = count == 0 ? STACK_OUT_NULL : to.indexOf(count - 1);
  } else {
    to.cells[1] = 2;
  }
}

// ---------------------------------------------------------------------------
// Indexed access.

TaggedValue buffer_getIndexValue(InterpEnv* env, TaggedValue buffer, u32 i) {
  const TypeDefinition& t = typeOf(env, buffer.typeId);
  if (t.bufferType == ARRAY_BUFFER) {
    return arrayElement(env, buffer, arrayTypeOf(env, buffer), i);
  }
  if (!isChannelKind(t.bufferType)) {
    interp_fatal(env, "Unsupported buffer type %d\n", static_cast<int>(t.bufferType));
  }
  const Channel c = channelOf(env, buffer);
  return c.slotValue(positionSlot(env, c, i));
}

void buffer_setIndexValue(InterpEnv* env, TaggedValue buffer, u32 i, TaggedValue value) {
  value_set(env, buffer_getIndexValue(env, buffer, i), value);
}

TaggedValue buffer_choiceUniform(InterpEnv* env, AST* expression) {
  const TaggedValue buffer = expr_execute(env, expression);
  const program* p = env->program;
  INTERP_ASSERT_TEXT(env, buffer.typeId < p->infoProg->n_type,
                     "buffer.typeId < env->program->infoProg->n_type");
  const TypeDefinition& t = p->typeTable[buffer.typeId];
  if (t.bufferType == ARRAY_BUFFER) {
    arrayTypeOf(env, buffer);
    return array_get(env, buffer, drawBelow(env, t.size));
  }
  if (!isChannelKind(t.bufferType)) {
    interp_failure(env, "buffer type not supported by choice_uniform()\n");
    return interpStack_pushZeroed(env, buffer.typeId);
  }
  const u32 n = channel_getCount(env, buffer);
  if (n == 0) {
    const char* name = nullptr;
    if (buffer.globalId < p->infoProg->n_globalVariables) {
      name = interp_symbolName(p, p->dbg->globalVariableSymbolId[buffer.globalId]);
    }
    if (name != nullptr) {
      interp_failure(env, "choice_uniform() called on empty channel \"%s\"\n", name);
    } else {
      interp_failure(env, "choice_uniform() called on empty channel\n");
    }
    return clearedElement(env, t.baseType);
  }
  return buffer_getIndexValue(env, buffer, drawBelow(env, n));
}

// ---------------------------------------------------------------------------
// loop over and iterators.

u32 statement_loopover(InterpEnv* env, AST* node) {
  const program* p = env->program;
  AST* declaration = AST_left(p, node);
  INTERP_ASSERT_TEXT(env, declaration != nullptr && declaration->op == ITERATOR_DECL_OP,
                     "ITERATOR_DECL_OP == AST_left(p, node)->op");
  AST* bufferNode = AST_right(p, declaration);
  INTERP_ASSERT_TEXT(env, bufferNode != nullptr, "defIter_getBufferExpr(iterator) != NULL");
  INTERP_ASSERT_TEXT(env, isVariableOp(bufferNode->op), "unknown variable kind");
  AST* bufferName = AST_left(p, bufferNode);
  INTERP_ASSERT_TEXT(env, bufferName != nullptr, "AST_left(env->program, astp) != NULL");
  AST* body = AST_right(p, node);

  LocalVarsIndexes saved;
  Variable_getCurrentLocalVarCounts(env, &saved);
  const TaggedValue iterator = LocalVariable_declare(env, declaration->value.id.type);
  DataCell* cells = iteratorCells(env, iterator);
  cells[0] = 0;
  cells[1] = bufferNode->op | (DataCell{bufferName->value.id.id} << 32);
  cells[2] = 0;
  const TaggedValue buffer = findBuffer(env, bufferNode->op, bufferName->value.id.id);

  while (iteratorIndex(cells) < loopEnd(env, buffer)) {
    const u32 code = statement_execute(env, body);
    if (code == STMT_BREAK) break;
    // After a removal the next element has moved into the current index.
    if (cells[2] != 0) {
      cells[2] = 0;
    } else {
      cells[0] = iteratorIndex(cells) + DataCell{1};
    }
  }
  Variable_restorePrevLocalVarCounts(env, &saved);
  return STMT_NORMAL;
}

TaggedValue iterator_getBuffer(InterpEnv* env, TaggedValue iterator) {
  const DataCell* cells = iteratorCells(env, iterator);
  return findBuffer(env, static_cast<u32>(cells[1]), static_cast<u32>(cells[1] >> 32));
}

TaggedValue iterator_current(InterpEnv* env, TaggedValue iterator) {
  const TaggedValue buffer = iterator_getBuffer(env, iterator);
  const u32 index = iteratorIndex(iteratorCells(env, iterator));
  // After the current element of a channel was removed there may be no
  // element at the index any more: a cleared value stands in for it.
  if (channel_isChannel(env, buffer)) {
    const Channel c = channelOf(env, buffer);
    if (index >= countOf(env, c)) return clearedElement(env, c.elementType);
  }
  return buffer_getIndexValue(env, buffer, index);
}

TaggedValue iterator_index(InterpEnv* env, TaggedValue iterator) {
  return interpStack_pushUInt32(env, iteratorIndex(iteratorCells(env, iterator)));
}

TaggedValue iterator_isLast(InterpEnv* env, TaggedValue iterator) {
  const TaggedValue buffer = iterator_getBuffer(env, iterator);
  const u64 index = iteratorIndex(iteratorCells(env, iterator));
  return interpStack_pushBoolean(env, index + 1 == loopEnd(env, buffer));
}

void iterator_remove(InterpEnv* env, TaggedValue iterator) {
  DataCell* cells = iteratorCells(env, iterator);
  const TaggedValue buffer = iterator_getBuffer(env, iterator);
  const TypeDefinition& t = typeOf(env, buffer.typeId);
  if (t.bufferType == ARRAY_BUFFER) {
    interp_failure(env, "REMOVECURRENT ON ARRAY NOT SUPPORTED YET!\n");
    return;
  }
  if (!isChannelKind(t.bufferType)) {
    interp_fatal(env, "Unsupported buffer type %d\n", static_cast<int>(t.bufferType));
  }
  const Channel c = channelOf(env, buffer);
  if (!checkWritable(env, c)) return;
  const u32 size = countOf(env, c);
  const u32 i = iteratorIndex(cells);
  if (i >= size) return;
  if (size == 1) {
    channel_clear(env, buffer);
  } else if (c.isStack()) {
    // Positions counted from the top: those above the current one move down.
    for (u32 k = i; k > 0; --k) moveSlot(c, positionSlot(env, c, k - 1), positionSlot(env, c, k));
    stackRemove(env, c);
  } else {
    for (u32 k = i; k + 1 < size; ++k) {
      moveSlot(c, positionSlot(env, c, k + 1), positionSlot(env, c, k));
    }
    c.cells[0] = c.indexOf(advance(env, c, inSlot(env, c), c.capacity));
  }
  INTERP_ASSERT_TEXT(env, countOf(env, c) == size - 1,
                     "TaggedValue_asSize(channel_count(env, buffer), CONV_NONE) == size - 1");
  cells[2] = 1;
}
