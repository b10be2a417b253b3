// Buffers: arrays and channels (queues and stacks) laid out in the cells of a
// variable, and the loop-over statement with its iterator.
//
// Array: element i occupies cells [i * cellSize, (i + 1) * cellSize).
// Channel: cell 0 is the in index, cell 1 the out index, each holding the
// cell number 2 + k * cellSize of a slot k; slot k occupies the cells from
// there. A queue is a ring of capacity + 1 slots (empty: in = out; full: the
// slot after in is out). A stack's in is its element count and its out the top
// slot, or 1 when it is empty.
//
// Every index cell is checked before it is used: a corrupt channel abandons
// the run (INTERP_ASSERT) instead of reading or writing outside its storage.
// Program errors (push to a full channel, pop of an empty one) go through
// invalid_op_callback with codes 4 to 7 and leave the channel unchanged;
// the node passed to the callback is the optional `node` argument.
//
// Returned elements: pop returns a copy on the value stack (its slot is free
// after the call); peek, last_peek, buffer_getIndexValue, array_get and
// iterator_current point into the buffer's own cells (no copy) and keep the
// buffer's global id. After an empty-channel report, pop, peek and last_peek
// return a cleared value of the element type on the value stack (0, or empty
// channels inside it); the callback's own return value is not used.
#pragma once
#include "interp_env.h"

// ---------------------------------------------------------------------------
// Types and geometry.

// Cells of one element of a buffer value's type.
u32 buffer_getCellSize(InterpEnv* env, TaggedValue buffer);
// Kinds 2 to 5 (queue, stack, the unused kind 4, the abstract channel/string).
bool buffer_isChannelType(const InterpEnv* env, u32 typeId);
bool channel_isChannel(InterpEnv* env, TaggedValue value);
// The declared capacity in elements (NO_ID for an unsized buffer).
u32 buffer_getCapacity(InterpEnv* env, TaggedValue buffer);

// ---------------------------------------------------------------------------
// Arrays.

// The element at index; an index not below the capacity is reported
// ("Array index out of bounds (%u)\n") and the last element is returned
// instead, so the access stays inside the array.
TaggedValue array_get(InterpEnv* env, TaggedValue array, u32 index);
// Call code 6: the capacity as a uint32 on the value stack.
TaggedValue array_size(InterpEnv* env, TaggedValue array);

// ---------------------------------------------------------------------------
// Channel index cells. Slot numbers are converted from and to the stored
// cell numbers; reading one checks it names a slot of the channel.

// Sets a channel's index cells to its empty state.
void channel_setEmpty(InterpEnv* env, DataCell* cells, u32 bufferKind);
u32 channel_getInId(InterpEnv* env, TaggedValue channel);
u32 channel_getOutId(InterpEnv* env, TaggedValue channel);
void channel_setInId(InterpEnv* env, TaggedValue channel, u32 slot);
void channel_setOutId(InterpEnv* env, TaggedValue channel, u32 slot);
void stack_setOutNull(InterpEnv* env, TaggedValue stack);
bool stack_isOutNull(InterpEnv* env, TaggedValue stack);

// ---------------------------------------------------------------------------
// Channel state (plain results, for the interpreter's own use).

// Number of elements: queue in - out (modulo the ring), stack in.
u32 channel_getCount(InterpEnv* env, TaggedValue channel);
bool channel_empty(InterpEnv* env, TaggedValue channel);
// An unsized channel (a string) is never full.
bool channel_full(InterpEnv* env, TaggedValue channel);
bool queue_isEmpty(InterpEnv* env, TaggedValue queue);
bool queue_isFull(InterpEnv* env, TaggedValue queue);
bool stack_isEmpty(InterpEnv* env, TaggedValue stack);
bool stack_isFull(InterpEnv* env, TaggedValue stack);

// The raw operations, without the full/empty checks (callers check first).
void queue_add(InterpEnv* env, TaggedValue queue, TaggedValue value);
void queue_remove(InterpEnv* env, TaggedValue queue);
void stack_add(InterpEnv* env, TaggedValue stack, TaggedValue value);
void stack_remove(InterpEnv* env, TaggedValue stack);

// ---------------------------------------------------------------------------
// Channel operations of the builtin calls (call codes in brackets).

// [8] Queue: queue_add, stack: stack_add. A full channel reports code 4
// (queue) or 6 (stack). Returns whether the value was stored.
bool channel_push(InterpEnv* env, TaggedValue channel, TaggedValue value, AST* node = nullptr);
// [9] Inserts keeping ascending order from the out end: after every element
// not greater than the value. Integer elements of signed types compare
// sign-extended from their own width; every other element type compares its
// first cell unsigned. Full: as channel_push.
bool channel_insert_sorted(InterpEnv* env, TaggedValue channel, TaggedValue value,
                           AST* node = nullptr);
// [10] The oldest (queue) or top (stack) element, removed. Empty: code 5 / 7.
TaggedValue channel_pop(InterpEnv* env, TaggedValue channel, AST* node = nullptr);
// [11] The element at the out index, not removed. Empty: code 5 (any kind).
TaggedValue channel_peek(InterpEnv* env, TaggedValue channel, AST* node = nullptr);
// [19] Queue: the newest element; stack: the top. Empty: code 5 / 7.
TaggedValue channel_lastpeek(InterpEnv* env, TaggedValue channel, AST* node = nullptr);
// [12] value_clear of a channel.
void channel_clear(InterpEnv* env, TaggedValue channel);
// [14] count, [13] max_size, both as uint32 on the value stack.
TaggedValue channel_count(InterpEnv* env, TaggedValue channel);
TaggedValue channel_size(InterpEnv* env, TaggedValue channel);
// [15] [16] [17] [18] bool on the value stack.
TaggedValue channel_isEmpty(InterpEnv* env, TaggedValue channel);
TaggedValue channel_notEmpty(InterpEnv* env, TaggedValue channel);
TaggedValue channel_isFull(InterpEnv* env, TaggedValue channel);
TaggedValue channel_notFull(InterpEnv* env, TaggedValue channel);

// Copies a channel into another of the same element type, rebasing the index
// cells so that the copy is a valid channel of the destination's capacity:
// the elements, oldest (queue) or bottom (stack) first, land in slots 0...
// A destination too small keeps the first elements in that order.
void channel_copy(InterpEnv* env, TaggedValue destination, TaggedValue source);

// ---------------------------------------------------------------------------
// Indexed access (iterators, the scheduler's activation queues).

// Array: element i; queue: the i-th oldest; stack: the i-th from the top.
// Not checked against the count, but always inside the buffer's storage.
TaggedValue buffer_getIndexValue(InterpEnv* env, TaggedValue buffer, u32 i);
// Copies value (value_set) into the element addressed as above.
void buffer_setIndexValue(InterpEnv* env, TaggedValue buffer, u32 i, TaggedValue value);
// [7] [20] [27] [28] Evaluates the expression and returns a uniformly drawn
// element: any index of an array, any element of a channel or string.
TaggedValue buffer_choiceUniform(InterpEnv* env, AST* expression);

// ---------------------------------------------------------------------------
// loop over and iterators.
//
// An iterator local has three cells: cell 0 the current index, cell 1 the
// operation code of the node naming the buffer (low half) and that buffer
// variable's id (high half), cell 2 the removal mark (0 or 1).

// LOOP_OVER_OP: left = ITERATOR_DECL_OP (value: iterator type, right: the
// node naming the buffer), right = the body. Returns STMT_NORMAL: the loop
// consumes break and continue.
u32 statement_loopover(InterpEnv* env, AST* node);
// The buffer an iterator walks (found again from its cells).
TaggedValue iterator_getBuffer(InterpEnv* env, TaggedValue iterator);
// [45] The current element, in place.
TaggedValue iterator_current(InterpEnv* env, TaggedValue iterator);
// [46] The index as uint32; [47] whether it is the last element (bool).
TaggedValue iterator_index(InterpEnv* env, TaggedValue iterator);
TaggedValue iterator_isLast(InterpEnv* env, TaggedValue iterator);
// [44] Removes the current element of a queue or stack and marks the
// iterator so that the loop does not advance past the element that moved
// into its place. When no element is left at the index (removed twice in one
// pass) nothing happens. Arrays: "REMOVECURRENT ON ARRAY NOT SUPPORTED YET!\n".
void iterator_remove(InterpEnv* env, TaggedValue iterator);
