#include "scheduler.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "call_codes.h"
#include "expression.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "process.h"
#include "sched_observer.h"
#include "statement.h"
#include "velk_memory.h"

namespace {

SchedulerState& state(InterpEnv* env) { return *env->ctx->scheduler; }

// The clock is read many times per activation: the interpreter's own clock
// in place, a host's through its callback.
u64 now(InterpEnv* env) {
  const InterpContext* ctx = env->ctx;
  if (ctx->gettime_callback == env_getTime) return ctx->currentTime;
  return ctx->gettime_callback(env);
}

// Same cell as processRecord_cell, inlined: the walks over all instances
// read it several times per activation.
DataCell& cell(const SchedulerInstance& instance, ProcessInstanceCell field) {
  return instance.record.value[field];
}

s64 asSigned(u64 value) { return static_cast<s64>(value); }

// A relative activation time computed exactly, kept inside the signed range:
// a period or jitter of 2^63 ps or more must not come back as a time in the
// past, or the instance would be due again and again at the same instant.
s64 saturatedRelative(SchedulerKey exact) {
  constexpr SchedulerKey kHigh = INT64_MAX;
  constexpr SchedulerKey kLow = INT64_MIN;
  if (exact > kHigh) return INT64_MAX;
  if (exact < kLow) return INT64_MIN;
  return static_cast<s64>(exact);
}

// ---------------------------------------------------------------------------
// The next_activations queue of a record, worked on in place: index cells
// "in" and "out" (each 2 + slot), then a ring of capacity + 1 slots of one
// cell, empty when in == out and full when in is just behind out. Entries are
// signed relative times kept in ascending order, so only the earliest one,
// at out, is ever read by the selection.

constexpr u32 kRing = kNextActivationsCapacity + 1;

struct ActivationQueue {
  DataCell* cells;  // the two index cells, then the slots
  u32 in;
  u32 out;
};

// The program can reach the queue through self.next_activations, so its index
// cells are checked before any slot is touched.
u32 queue_slot(InterpEnv* env, DataCell index) {
  INTERP_ASSERT_TEXT(env, index >= 2 && index < 2 + kRing,
                     "next_activations index inside the queue");
  return static_cast<u32>(index - 2);
}

ActivationQueue queue_of(InterpEnv* env, const SchedulerInstance& instance) {
  DataCell* cells = &cell(instance, PI_NEXT_ACTIVATIONS);
  return ActivationQueue{cells, queue_slot(env, cells[0]), queue_slot(env, cells[1])};
}

bool queue_isEmpty(const ActivationQueue& q) { return q.in == q.out; }
bool queue_isFull(InterpEnv*, const ActivationQueue& q) { return (q.in + 1) % kRing == q.out; }
s64 queue_peek(const ActivationQueue& q) { return asSigned(q.cells[2 + q.out]); }

s64 queue_pop(ActivationQueue& q) {
  const s64 value = queue_peek(q);
  q.out = (q.out + 1) % kRing;
  q.cells[1] = 2 + q.out;
  return value;
}

// Inserts after every entry not above value, so equal entries keep their
// order. The queue must not be full.
void queue_insertSorted(ActivationQueue& q, s64 value) {
  u32 slot = q.in;
  while (slot != q.out) {
    const u32 before = (slot + kRing - 1) % kRing;
    if (asSigned(q.cells[2 + before]) <= value) break;
    q.cells[2 + slot] = q.cells[2 + before];
    slot = before;
  }
  q.cells[2 + slot] = static_cast<u64>(value);
  q.in = (q.in + 1) % kRing;
  q.cells[0] = 2 + q.in;
}

// The earliest entry when it is due (not above 0).
bool dueEntry(InterpEnv* env, const SchedulerInstance& instance, s64* earliest) {
  const ActivationQueue q = queue_of(env, instance);
  if (queue_isEmpty(q)) return false;
  *earliest = queue_peek(q);
  return *earliest <= 0;
}

// ---------------------------------------------------------------------------
// Instances.

// A condition's boolean value; its temporaries are dropped at once, so a long
// walk over many conditions never fills the value stack.
bool conditionHolds(InterpEnv* env, u32 condition) {
  const u32 mark = interpStack_mark(env);
  const bool holds = expr_executeBoolean(env, interp_nodeAt(env, condition));
  interpStack_release(env, mark);
  return holds;
}

void cacheInstances(InterpEnv* env, SchedulerState& s) {
  const program* p = env->program;
  const u32 n = p->infoProg->n_globalProcessInstances;
  s.capacity = n;
  s.instances = MEMORY_ALLOC(n, SchedulerInstance, "env->ctx->scheduler->instances");
  for (u32 i = 0; i < n; ++i) {
    const ProcessGlobalInstance& g = p->processGlobalInstanceTable[i];
    SchedulerInstance& instance = s.instances[i];
    instance.definition = g.definition;
    instance.staticBase = g.firstStaticVariable;
    instance.parameters = g.parameters;
    instance.condition = g.condition;
    instance.annotation = g.annotation;
    instance.symbol = p->dbg->globalProcessInstanceSymbolId[i];
    if (g.condition != NO_ID) ++s.conditionedCount;
  }
  s.conditioned = MEMORY_ALLOC(s.conditionedCount, u32, "env->ctx->scheduler->conditioned");
  u32 k = 0;
  for (u32 i = 0; i < n; ++i) {
    if (s.instances[i].condition != NO_ID) s.conditioned[k++] = i;
  }
}

// A record's place in system.processes follows that queue's out index. The
// walking scheduler locates the records once per host call, since a program
// that reaches system.processes could move them; the indexed one only at
// start-up (such a program is never indexed).
void refreshRecords(InterpEnv* env) {
  SchedulerState& s = state(env);
  const u32 records = interp_processRecordCount(env);
  s.count = records < s.capacity ? records : s.capacity;
  for (u32 i = 0; i < s.count; ++i) s.instances[i].record = interp_processRecordAt(env, i);
}

SchedulerInstance& instanceAt(InterpEnv* env, u32 instance) {
  SchedulerState& s = state(env);
  INTERP_ASSERT_TEXT(env, instance < s.count, "instance < n_globalProcessInstances");
  return s.instances[instance];
}

// ---------------------------------------------------------------------------
// The index: records kept against the shared time base, and the heaps.

// Makes the queue cells and the activation times of one record current:
// the elapsed and the suspended time not yet applied to it are applied now.
// Subtracting the sum at once gives the very cells that subtracting each
// step's elapsed time would (both wrap modulo 2^64).
void sync(InterpEnv* env, SchedulerState& s, u32 i) {
  const SchedulerInstance& instance = s.instances[i];
  const u64 elapsed = s.base - s.syncBase[i];
  if (elapsed != 0) {
    const ActivationQueue q = queue_of(env, instance);
    for (u32 slot = q.out; slot != q.in; slot = (slot + 1) % kRing) q.cells[2 + slot] -= elapsed;
    s.syncBase[i] = s.base;
  }
  const u64 suspended = s.shift - s.syncShift[i];
  if (suspended != 0) {
    cell(instance, PI_CURRENT_ACTIVATION) += suspended;
    cell(instance, PI_PREVIOUS_ACTIVATION) += suspended;
    s.syncShift[i] = s.shift;
  }
}

bool before(const SchedulerHeapEntry& a, const SchedulerHeapEntry& b) {
  if (a.primary != b.primary) return a.primary < b.primary;
  if (a.secondary != b.secondary) return a.secondary < b.secondary;
  return a.instance < b.instance;
}

struct Heap {
  SchedulerHeapEntry* items;
  u32* count;
};

Heap heapOf(SchedulerState& s, bool due) {
  return due ? Heap{s.due, &s.dueCount} : Heap{s.pending, &s.pendingCount};
}

void heapUp(SchedulerState& s, const Heap& h, u32 pos) {
  const SchedulerHeapEntry item = h.items[pos];
  while (pos > 0) {
    const u32 parent = (pos - 1) / 2;
    if (!before(item, h.items[parent])) break;
    h.items[pos] = h.items[parent];
    s.heapPos[h.items[pos].instance] = pos;
    pos = parent;
  }
  h.items[pos] = item;
  s.heapPos[item.instance] = pos;
}

// Sifts the entry at pos down the way most entries go after an activation
// (their time moved a period on, so they usually sink to the bottom): the
// hole goes down to a leaf along the earlier children, one comparison per
// level, and the entry then climbs from there to its place.
void heapDown(SchedulerState& s, const Heap& h, u32 pos) {
  const u32 n = *h.count;
  const u32 start = pos;
  const SchedulerHeapEntry item = h.items[pos];
  for (;;) {
    u32 child = 2 * pos + 1;
    if (child >= n) break;
    if (child + 1 < n && before(h.items[child + 1], h.items[child])) ++child;
    h.items[pos] = h.items[child];
    s.heapPos[h.items[pos].instance] = pos;
    pos = child;
  }
  while (pos > start) {
    const u32 parent = (pos - 1) / 2;
    if (!before(item, h.items[parent])) break;
    h.items[pos] = h.items[parent];
    s.heapPos[h.items[pos].instance] = pos;
    pos = parent;
  }
  h.items[pos] = item;
  s.heapPos[item.instance] = pos;
}

void heapPush(SchedulerState& s, bool due, const SchedulerHeapEntry& entry) {
  const Heap h = heapOf(s, due);
  const u32 pos = (*h.count)++;
  h.items[pos] = entry;
  s.where[entry.instance] = due ? 2 : 1;
  heapUp(s, h, pos);
}

void heapRemove(SchedulerState& s, u32 instance) {
  if (s.where[instance] == 0) return;
  const Heap h = heapOf(s, s.where[instance] == 2);
  const u32 pos = s.heapPos[instance];
  const u32 last = --(*h.count);
  s.where[instance] = 0;
  if (pos == last) return;
  h.items[pos] = h.items[last];
  s.heapPos[h.items[pos].instance] = pos;
  const u32 moved = h.items[pos].instance;
  heapUp(s, h, pos);
  heapDown(s, h, s.heapPos[moved]);
}

// The due-heap entry of an instance from its pending entry and record.
SchedulerHeapEntry dueEntryOf(const SchedulerState& s, const SchedulerHeapEntry& pending,
                              u64 priority, u64 deadline) {
  if (s.policy == SCHEDULING_POLICY_NPFP) return {0, ~priority, pending.instance};
  // The walk sums entry and deadline modulo 2^64: a deadline beyond the
  // signed range acts as the negative number of the same bits.
  return {pending.primary + asSigned(deadline), 0, pending.instance};
}

// Places instance i after its queue, priority or deadline may have changed.
// Its queue cells must be current (sync).
void reindex(InterpEnv* env, SchedulerState& s, u32 i) {
  const SchedulerInstance& instance = s.instances[i];
  const ActivationQueue q = queue_of(env, instance);
  if (queue_isEmpty(q)) {
    heapRemove(s, i);
    return;
  }
  const u64 priority = cell(instance, PI_PRIORITY);
  SchedulerHeapEntry entry{SchedulerKey{queue_peek(q)} + s.base, 0, i};
  const bool fifo = s.policy == SCHEDULING_POLICY_FIFO;
  if (fifo) entry.secondary = ~priority;
  const bool due = !fifo && entry.primary <= s.base;
  if (due) entry = dueEntryOf(s, entry, priority, cell(instance, PI_DEADLINE));
  if (s.where[i] == (due ? 2 : 1)) {
    // Still in the same heap: moved in place.
    // Keys are unique (the index decides ties), so the entry moves one way
    // only: up when it now comes earlier, down otherwise.
    const Heap h = heapOf(s, due);
    const u32 pos = s.heapPos[i];
    const bool earlier = before(entry, h.items[pos]);
    h.items[pos] = entry;
    if (earlier) {
      heapUp(s, h, pos);
    } else {
      heapDown(s, h, pos);
    }
    return;
  }
  heapRemove(s, i);
  heapPush(s, due, entry);
}

// Moves the instances whose earliest activation has come into the due heap.
// Their priority and deadline are read now: only their own activation or a
// host (both followed by reindex) can have changed them since.
void promoteDue(SchedulerState& s) {
  if (s.policy == SCHEDULING_POLICY_FIFO) return;
  while (s.pendingCount > 0 && s.pending[0].primary <= s.base) {
    const SchedulerHeapEntry top = s.pending[0];
    const SchedulerInstance& instance = s.instances[top.instance];
    heapRemove(s, top.instance);
    heapPush(s, true,
             dueEntryOf(s, top, cell(instance, PI_PRIORITY), cell(instance, PI_DEADLINE)));
  }
}

// Instances a host was given since they were last indexed.
void reindexDirty(InterpEnv* env, SchedulerState& s) {
  // An instance leaves the list only once indexed: a record a host damaged
  // fails its check again at every choice, as the walk would find it.
  while (s.dirtyCount > 0) {
    const u32 i = s.dirtyList[s.dirtyCount - 1];
    sync(env, s, i);
    reindex(env, s, i);
    s.dirty[i] = 0;
    --s.dirtyCount;
  }
}

void rebuildIndex(InterpEnv* env, SchedulerState& s) {
  s.pendingCount = s.dueCount = 0;
  for (u32 i = 0; i < s.count; ++i) s.where[i] = 0;
  for (u32 i = 0; i < s.count; ++i) {
    sync(env, s, i);
    reindex(env, s, i);
  }
}

void allocateIndex(SchedulerState& s) {
  const u32 n = s.capacity;
  s.syncBase = MEMORY_ALLOC(n, u64, "env->ctx->scheduler->syncBase");
  s.syncShift = MEMORY_ALLOC(n, u64, "env->ctx->scheduler->syncShift");
  s.heapPos = MEMORY_ALLOC(n, u32, "env->ctx->scheduler->heapPos");
  s.where = MEMORY_ALLOC(n, u8, "env->ctx->scheduler->where");
  s.dirty = MEMORY_ALLOC(n, u8, "env->ctx->scheduler->dirty");
  s.pending = MEMORY_ALLOC(n, SchedulerHeapEntry, "env->ctx->scheduler->pending");
  s.due = MEMORY_ALLOC(n, SchedulerHeapEntry, "env->ctx->scheduler->due");
  s.dirtyList = MEMORY_ALLOC(n, u32, "env->ctx->scheduler->dirtyList");
}

void freeIndex(SchedulerState& s) {
  MEMORY_FREE(s.syncBase);
  MEMORY_FREE(s.syncShift);
  MEMORY_FREE(s.heapPos);
  MEMORY_FREE(s.where);
  MEMORY_FREE(s.dirty);
  MEMORY_FREE(s.pending);
  MEMORY_FREE(s.due);
  MEMORY_FREE(s.dirtyList);
  MEMORY_FREE(s.traceText);
  MEMORY_FREE(s.traceOffset);
}

// ---------------------------------------------------------------------------
// Which programs can be indexed. The index keeps every record field live
// except the pending activations (and, lazily, the activation times), and it
// orders instances by priority and deadline as they were when the instance
// was last indexed. An instance is indexed again after its own activation
// (which includes its timing annotation and whatever the body does through
// `self`) and after a host was given its record. So a program can be indexed
// unless its code, outside the start-up annotations:
// - reaches a record other than through a field (a whole record copied,
//   passed or its queue used), or reads or writes `next_activations`;
// - writes the priority or deadline of an instance anywhere but in that
//   instance's own timing annotation (a read is fine);
// - reaches `system` other than through `sched_policy`.
// Reading an instance's activation times (previous_activation,
// current_activation) through its name only makes update_timers eager.

struct ProgramScan {
  bool indexable = true;
  bool eagerTimers = false;
};

constexpr u32 kAmbiguous = NO_ID - 1;  // a node with two parents

u32 parentOf(const std::vector<u32>& parents, u32 id) {
  return id < parents.size() ? parents[id] : NO_ID;
}

bool isFieldCode(const AST& node) { return node.op == INDEX_NODE && node.value.id.id == kCallFieldCustom; }

// Whether the field call `callId` (object access already checked) is written
// or may be: the target of an assignment, an argument (possibly OUT) or the
// object of a further call.
bool mayBeWritten(const program* p, const std::vector<u32>& parents, u32 callId) {
  const u32 parent = parentOf(parents, callId);
  if (parent == NO_ID || parent == kAmbiguous) return true;
  const AST& node = p->RAMprogram[parent];
  if (node.op == ASSIGN_OP) return node.left == callId;
  return node.op == LIST || node.op == INDEX_NODE || node.op == CALL_OP;
}

// Marks the subtree under root with `mark` (bounded: each node once).
void markSubtree(const program* p, u32 root, u32 mark, std::vector<u32>& marks,
                 std::vector<u32>& work) {
  const u32 nodes = p->infoProg->n_AST;
  work.clear();
  if (root < nodes) work.push_back(root);
  while (!work.empty()) {
    const u32 id = work.back();
    work.pop_back();
    if (marks[id] == mark) continue;
    marks[id] = mark;
    const AST& node = p->RAMprogram[id];
    if (node.left < nodes) work.push_back(node.left);
    if (node.right < nodes) work.push_back(node.right);
  }
}

constexpr u32 kRunTime = NO_ID;       // code that may run while the scheduler runs
constexpr u32 kStartUpOnly = NO_ID - 1;  // top-level annotations run at start-up only

ProgramScan scanProgram(InterpEnv* env, const SchedulerState& s) {
  ProgramScan scan;
  const program* p = env->program;
  const u32 nodes = p->infoProg->n_AST;
  const SystemIds& ids = interp_systemIds(env);
  if (nodes == 0 || p->RAMprogram[0].op != ROOT) return scan;

  std::vector<u32> parents(nodes, NO_ID);
  for (u32 id = 0; id < nodes; ++id) {
    const AST& node = p->RAMprogram[id];
    for (const u32 child : {node.left, node.right}) {
      if (child >= nodes) continue;
      parents[child] = parents[child] == NO_ID ? id : kAmbiguous;
    }
  }

  // Region of each node: run time, start-up only, or the timing annotation
  // of instance k (k itself).
  std::vector<u32> region(nodes, kRunTime);
  std::vector<u32> work;
  std::vector<u32> annotationOf(nodes, NO_ID);
  for (u32 i = 0; i < s.count; ++i) {
    const u32 a = s.instances[i].annotation;
    if (a < nodes) annotationOf[a] = i;
  }
  for (u32 id = 0; id < nodes; ++id) {
    const AST& node = p->RAMprogram[id];
    if ((node.op == TIME_ANNOTATION || node.op == PROCESS_ANNOTATION) &&
        annotationOf[id] == NO_ID) {
      const u32 parent = parents[id];
      // Only top-level declarations (list cells under the root or an include).
      if (parent < nodes && p->RAMprogram[parent].op == LIST) {
        markSubtree(p, id, kStartUpOnly, region, work);
      }
    }
  }
  for (u32 i = 0; i < s.count; ++i) {
    const u32 a = s.instances[i].annotation;
    if (a < nodes) markSubtree(p, a, i, region, work);
  }

  // The instance whose record each global variable shares, if any.
  std::unordered_map<const DataCell*, u32> recordOwner;
  for (u32 i = 0; i < s.count; ++i) recordOwner.emplace(s.instances[i].record.value, i);
  u32 policyOffset = NO_ID;
  if (ids.systemType != NO_ID) {
    u32 offset = 0;
    if (interp_findField(p, ids.systemType, "sched_policy", nullptr, &offset)) policyOffset = offset;
  }

  const u32 globals = p->infoProg->n_globalVariables;
  for (u32 id = 0; id < nodes && scan.indexable; ++id) {
    const AST& node = p->RAMprogram[id];
    if (node.op != GLOBAL_VARIABLE_OP || region[id] == kStartUpOnly) continue;
    if (node.left >= nodes) continue;
    const u32 var = p->RAMprogram[node.left].value.id.id;
    if (var >= globals) continue;
    const TaggedValue& value = p->globalVariableTable[var];
    const bool isSystem = var == ids.systemVariable;
    const bool isRecord = ids.processInstanceType != NO_ID && value.typeId == ids.processInstanceType;
    if (!isSystem && !isRecord) continue;
    // Only a field access: CALL_OP over an INDEX_NODE code 4 whose object is
    // this node and whose offset is an integer.
    const u32 code = parents[id];
    if (code >= nodes || !isFieldCode(p->RAMprogram[code]) || p->RAMprogram[code].left != id) {
      scan.indexable = false;
      break;
    }
    const u32 offsetNode = p->RAMprogram[code].right;
    const u32 callId = parents[code];
    if (offsetNode >= nodes || p->RAMprogram[offsetNode].op != INTEGER_OP || callId >= nodes ||
        p->RAMprogram[callId].op != CALL_OP || p->RAMprogram[callId].left != code) {
      scan.indexable = false;
      break;
    }
    const u64 offset = p->RAMprogram[offsetNode].value.uinteger;
    if (isSystem) {
      if (offset != policyOffset) scan.indexable = false;
      continue;
    }
    switch (offset) {
      case PI_NEXT_ACTIVATIONS:
        scan.indexable = false;
        break;
      case PI_PRIORITY:
      case PI_DEADLINE: {
        if (!mayBeWritten(p, parents, callId)) break;
        const auto owner = recordOwner.find(value.value);
        // Written in the instance's own timing annotation: indexed again
        // right after it.
        if (owner == recordOwner.end() || region[id] != owner->second) scan.indexable = false;
        break;
      }
      case PI_CURRENT_ACTIVATION:
      case PI_PREVIOUS_ACTIVATION:
        scan.eagerTimers = true;
        break;
      default:
        if (offset >= PI_NEXT_ACTIVATIONS && offset < PI_STATE_PTR) scan.indexable = false;
        break;
    }
  }
  return scan;
}

// ---------------------------------------------------------------------------
// Trace lines.

// "00" to "99", so that digits are written two at a time.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* pairBefore(char* end, u64 twoDigits) {
  end -= 2;
  std::memcpy(end, kDigitPairs + 2 * twoDigits, 2);
  return end;
}

// Writes the decimal digits of v ending just before `end`; returns the first.
char* decimalBefore(char* end, u64 v) {
  while (v >= 100) {
    end = pairBefore(end, v % 100);
    v /= 100;
  }
  if (v >= 10) return pairBefore(end, v);
  *--end = static_cast<char>('0' + v);
  return end;
}

enum TraceTag : u32 { TRACE_START = 0, TRACE_FINISH = 1 };

// The per-instance texts after the time, made once: the file name and the
// instance names do not change while the image is loaded. The text is
// followed by kTracePadding spare bytes, so that a line may be copied in
// whole blocks.
constexpr size_t kTraceBlock = 16;
constexpr size_t kTracePadding = kTraceBlock;
// The time text "[<s>.<12 digits>" is at most 1 + 20 + 1 + 12 bytes; it is
// written to end at kTraceTimeEnd and copied as kTraceTimeCopy bytes.
constexpr size_t kTraceTimeEnd = 40;
constexpr size_t kTraceTimeCopy = 40;
static_assert(kTraceTimeEnd + kTraceTimeCopy <= sizeof(SchedulerState::lastTraceTimeText));

void makeTraceTexts(InterpEnv* env, SchedulerState& s) {
  static const char* const kTags[] = {"STARTING_TASK", "TASK_FINISHED"};
  const char* file = env->file_name != nullptr ? env->file_name : "";
  const size_t fileLength = std::strlen(file);
  std::vector<const char*> names(s.capacity);
  size_t total = 0;
  for (u32 i = 0; i < s.capacity; ++i) {
    names[i] = interp_symbolName(env->program, s.instances[i].symbol);
    if (names[i] == nullptr) names[i] = "";
    // ":" file ":" tag (13) "] '" name "'\n"
    total += 2 * (fileLength + std::strlen(names[i]) + 20);
  }
  INTERP_ASSERT_TEXT(env, total < NO_ID, "trace texts below 4 GiB");
  s.traceText = MEMORY_ALLOC(total + kTracePadding, char, "env->ctx->scheduler->traceText");
  s.traceOffset = MEMORY_ALLOC(2 * s.capacity + 1, u32, "env->ctx->scheduler->traceOffset");
  char* out = s.traceText;
  auto put = [&out](const char* text, size_t length) {
    std::memcpy(out, text, length);
    out += length;
  };
  for (u32 i = 0; i < s.capacity; ++i) {
    for (u32 tag = 0; tag < 2; ++tag) {
      s.traceOffset[2 * i + tag] = static_cast<u32>(out - s.traceText);
      put(":", 1);
      put(file, fileLength);
      put(":", 1);
      put(kTags[tag], 13);
      put("] '", 3);
      put(names[i], std::strlen(names[i]));
      put("'\n", 2);
    }
  }
  s.traceOffset[2 * s.capacity] = static_cast<u32>(out - s.traceText);
  std::memset(out, 0, kTracePadding);
}

// The time text of a line at `time`, kept until the time changes (a start
// and a finish line often share it).
const char* traceTime(SchedulerState& s, u64 time) {
  char* end = s.lastTraceTimeText + kTraceTimeEnd;
  if (s.lastTraceTimeLength != 0 && s.lastTraceTime == time) return end - s.lastTraceTimeLength;
  char* p = end;
  // Always 12 digits, as two halves of six worked in 32 bits.
  const u64 sub = time_cut_sub_second(time);
  for (u32 half : {static_cast<u32>(sub % 1000000), static_cast<u32>(sub / 1000000)}) {
    for (int k = 0; k < 3; ++k) {
      p = pairBefore(p, half % 100);
      half /= 100;
    }
  }
  *--p = '.';
  p = decimalBefore(p, time_ps_to_s(time));
  *--p = '[';
  s.lastTraceTimeLength = static_cast<u32>(end - p);
  s.lastTraceTime = time;
  return p;
}

// "[<s>.<12 digits>:<file>:<tag>] '<name>'\n": the same bytes as the printf
// form "[%lld.%012lld:%s:%s] '%s'\n", put into stdout's buffer in one piece,
// without parsing a format or flushing each line (a host that needs the lines
// out at once flushes in its sync callback).
void writeTrace(SchedulerState& s, InterpEnv* env, u64 time, TraceTag tag, u32 instance) {
  if (s.traceText == nullptr) makeTraceTexts(env, s);
  const char* timeText = traceTime(s, time);
  const u32 timeLength = s.lastTraceTimeLength;
  const u32 k = 2 * instance + tag;
  const char* suffix = s.traceText + s.traceOffset[k];
  const u32 suffixLength = s.traceOffset[k + 1] - s.traceOffset[k];
#ifdef __GLIBC__
  // Straight into stdout's buffer when it has room for the whole line and the
  // blocks copied past its end, as putc_unlocked does. A line-buffered or
  // unbuffered stream never shows room there, so its lines still go out
  // through fwrite at once. The bytes past the line are overwritten by the
  // next output.
  std::FILE* out = stdout;
  char* at = out->_IO_write_ptr;
  if (at != nullptr && out->_IO_write_end - at >= 0 &&
      static_cast<size_t>(out->_IO_write_end - at) >=
          kTraceTimeCopy + size_t{suffixLength} + kTraceBlock) {
    std::memcpy(at, timeText, kTraceTimeCopy);
    char* to = at + timeLength;
    for (size_t done = 0; done < suffixLength; done += kTraceBlock) {
      std::memcpy(to + done, suffix + done, kTraceBlock);
    }
    out->_IO_write_ptr = to + suffixLength;
    return;
  }
#endif
  char line[256];
  if (timeLength + suffixLength > sizeof line) {
    std::fwrite(timeText, 1, timeLength, stdout);
    std::fwrite(suffix, 1, suffixLength, stdout);
    return;
  }
  std::memcpy(line, timeText, timeLength);
  std::memcpy(line + timeLength, suffix, suffixLength);
  fwrite_unlocked(line, 1, timeLength + suffixLength, stdout);
}

// ---------------------------------------------------------------------------
// The run loop.

u32 selectInstance(InterpEnv* env) {
  switch (state(env).policy) {
    case SCHEDULING_POLICY_FIFO:
      return select_FIFO_policy(env);
    case SCHEDULING_POLICY_NPFP:
      return select_NPFP_policy(env);
    case SCHEDULING_POLICY_NPEDF:
      return select_EDF_policy(env);
    default:
      INTERP_ASSERT_TEXT(env, false, "policy != SCHEDULING_POLICY_UNKNOWN");
      return NO_ID;
  }
}

s64 clearHitCells(InterpEnv* env, const SchedulerInstance& instance) {
  ActivationQueue q = queue_of(env, instance);
  if (queue_isEmpty(q) || queue_peek(q) > 0) return 0;
  return queue_pop(q);
}

void planNextPeriod(InterpEnv* env, const SchedulerInstance& selected, s64 late) {
  const u64 oldJitter = cell(selected, PI_JITTER);
  if (selected.annotation != NO_ID) statement_execute(env, interp_nodeAt(env, selected.annotation));
  const u64 period = cell(selected, PI_PERIOD);
  if (cell(selected, PI_JITTER) > period) cell(selected, PI_JITTER) = period;
  // Planned from the nominal time, so lateness never accumulates.
  const s64 next = saturatedRelative(SchedulerKey{period} + cell(selected, PI_JITTER) -
                                     SchedulerKey{oldJitter} + late);
  ActivationQueue q = queue_of(env, selected);
  INTERP_ASSERT_TEXT(env, !queue_isFull(env, q), "!queue_isFull(env, next_activation_queue)");
  queue_insertSorted(q, next);
}

void executeInstance(InterpEnv* env, const SchedulerInstance& selected) {
  process_activateInstance(env, selected.definition, selected.staticBase,
                           interp_nodeAt(env, selected.parameters), selected.record);
}

// The selected activation: a false condition loses it, but a periodic
// instance still plans its next one. Indexed, the instance's record is made
// current first (its annotation and body may read it) and the instance is
// indexed again at the end (they may have written it).
void runSelected(InterpEnv* env, u32 instance) {
  SchedulerState& s = state(env);
  const SchedulerInstance& selected = s.instances[instance];
  s.runningPlusOne = instance + 1;
  const bool run = selected.condition == NO_ID || conditionHolds(env, selected.condition);
  if (s.indexed) sync(env, s, instance);
  const s64 late = clearHitCells(env, selected);
  const SchedObserver* observer = env->ctx->schedObserver;
  SchedActivation activation{};
  if (observer != nullptr)
    activation = {instance, s.now + static_cast<u64>(late), s.now, cell(selected, PI_JITTER),
                  cell(selected, PI_DEADLINE), 0};
  if (cell(selected, PI_PERIOD) != 0) planNextPeriod(env, selected, late);
  if (observer != nullptr) activation.nextJitter = cell(selected, PI_JITTER);
  env->ctx->syncio_callback(env);
  if (run) {
    if (s.trace) writeTrace(s, env, s.now, TRACE_START, instance);
    if (observer != nullptr) observer->activationStarted(observer->user, activation);
    executeInstance(env, selected);
    if (s.trace) writeTrace(s, env, now(env), TRACE_FINISH, instance);
    if (observer != nullptr) observer->activationFinished(observer->user, instance, now(env));
    env->ctx->syncio_callback(env);
  } else if (observer != nullptr) {
    observer->activationLost(observer->user, activation);
  }
  if (s.indexed) {
    sync(env, s, instance);
    reindex(env, s, instance);
  }
  s.runningPlusOne = 0;
}

// Whether n picoseconds from t still lies within until (n >= 0).
bool withinUntil(u64 t, s64 n, u64 until) {
  return t <= until && static_cast<u64>(n) <= until - t;
}

u64 addSaturated(u64 t, u64 d) { return d > UINT64_MAX - t ? UINT64_MAX : t + d; }

bool ready(InterpEnv* env) {
  return env != nullptr && env->ctx->scheduler != nullptr && env->ctx->initialized;
}

// After a run abandoned by an internal error: the activation it was running
// planned its next one but did not re-index its instance, which the index
// would otherwise select again, and again, at the same time. It is marked for
// re-indexing, as a record a host has read is.
void recoverAbandonedActivation(InterpEnv* env) {
  SchedulerState& s = state(env);
  if (s.runningPlusOne == 0) return;
  const u32 instance = s.runningPlusOne - 1;
  s.runningPlusOne = 0;
  interp_guard(env, 0u, [&] {
    scheduler_recordAccessed(env, instance);
    return 0u;
  });
}

// A run abandoned by an internal error leaves the scheduler suspended, as a
// completed run does.
template <class Body>
u32 guardedRun(InterpEnv* env, Body&& body) {
  if (!ready(env)) return 0;
  const u32 result = interp_guard(env, 0u, [&] {
    if (!state(env).indexed) refreshRecords(env);
    return body();
  });
  recoverAbandonedActivation(env);
  if (!state(env).suspended) schedulerSuspend(env);
  return result;
}

// ---------------------------------------------------------------------------
// Start-up.

AST* listCell(InterpEnv* env, u32 id) {
  AST* node = interp_nodeAt(env, id);
  INTERP_ASSERT_TEXT(env, node == nullptr || node->op == LIST, "astp->op == LIST");
  return node;
}

AST* listElement(InterpEnv* env, AST* list, u32 n) {
  AST* c = list;
  for (u32 k = 0; k < n && c != nullptr; ++k) c = listCell(env, c->right);
  return c == nullptr ? nullptr : interp_nodeAt(env, c->left);
}

// Period (and with it the deadline) and offset of an instance declared with a
// timing list.
void applyTimingList(InterpEnv* env, AST* instanceNode, u32 index) {
  AST* timing = listElement(env, listCell(env, instanceNode->right), 1);
  if (timing == nullptr) return;
  const TaggedValue record = interp_processRecordAt(env, index);
  if (record.value == nullptr) return;
  INTERP_ASSERT_TEXT(env, timing->op == LIST, "astp->op == LIST");
  const u64 period = time_durationToPs(env, listElement(env, timing, 0));
  const u64 offset = time_durationToPs(env, listElement(env, timing, 1));
  processRecord_cell(record, PI_PERIOD) = period;
  processRecord_cell(record, PI_DEADLINE) = period;
  processRecord_cell(record, PI_OFFSET) = offset;
}

// Walks the top-level declarations in source order, descending into included
// files, with one running index over the global instances. The walk is
// bounded by the node count, so a damaged list that loops still ends.
void applyTimingDeclarations(InterpEnv* env) {
  const program* p = env->program;
  const u32 nodes = p->infoProg->n_AST;
  if (nodes == 0 || p->RAMprogram[0].op != ROOT) return;
  std::vector<u32> resumeAt;  // the rest of each enclosing list
  u32 next = p->RAMprogram[0].left;
  u32 index = 0;
  u32 steps = 0;
  while (steps++ <= nodes) {
    if (next == NO_ID) {
      if (resumeAt.empty()) break;
      next = resumeAt.back();
      resumeAt.pop_back();
      continue;
    }
    AST* c = listCell(env, next);
    next = c->right;
    AST* declaration = interp_nodeAt(env, c->left);
    if (declaration == nullptr) continue;
    switch (declaration->op) {
      case PROCESS_INSTANCE_NODE:
        applyTimingList(env, declaration, index++);
        break;
      case TIME_ANNOTATION:
      case PROCESS_ANNOTATION:
        statement_execute(env, declaration);
        break;
      case INCLUDE_OP:
        resumeAt.push_back(next);
        next = declaration->left;
        break;
      default:
        break;
    }
  }
}

void planFirstActivations(InterpEnv* env) {
  const SchedulerState& s = state(env);
  for (u32 i = 0; i < s.count; ++i) {
    const SchedulerInstance& instance = s.instances[i];
    const u64 period = cell(instance, PI_PERIOD);
    if (cell(instance, PI_JITTER) > period) cell(instance, PI_JITTER) = period;
    if (period == 0) continue;
    ActivationQueue q = queue_of(env, instance);
    INTERP_ASSERT_TEXT(env, !queue_isFull(env, q), "!queue_isFull(env, next_activation_queue)");
    queue_insertSorted(q, saturatedRelative(SchedulerKey{cell(instance, PI_OFFSET)} +
                                            cell(instance, PI_JITTER)));
  }
}

u32 policyFromSystem(InterpEnv* env) {
  const program* p = env->program;
  const SystemIds& ids = interp_systemIds(env);
  if (ids.systemVariable == NO_ID || ids.schedulingPolicyType == NO_ID) {
    return SCHEDULING_POLICY_FIFO;
  }
  const TaggedValue system = p->globalVariableTable[ids.systemVariable];
  u32 offset = 0;
  if (system.value == nullptr || system.typeId != ids.systemType ||
      !interp_findField(p, ids.systemType, "sched_policy", nullptr, &offset) ||
      offset >= p->typeTable[ids.systemType].storageSize) {
    return SCHEDULING_POLICY_FIFO;
  }
  const DataCell policy = system.value[offset];
  if (policy == interp_findEnumerator(p, ids.schedulingPolicyType, "NPFP")) {
    return SCHEDULING_POLICY_NPFP;
  }
  if (policy == interp_findEnumerator(p, ids.schedulingPolicyType, "NPEDF")) {
    return SCHEDULING_POLICY_NPEDF;
  }
  return SCHEDULING_POLICY_FIFO;
}

}  // namespace

// ---------------------------------------------------------------------------
// Time conversions.

u64 time_ns_to_ps(u64 ns) { return ns * kPicosecondsPerNs; }
u64 time_us_to_ps(u64 us) { return us * kPicosecondsPerUs; }
u64 time_ms_to_ps(u64 ms) { return ms * kPicosecondsPerMs; }
u64 time_s_to_ps(u64 s) { return s * kPicosecondsPerS; }
u64 time_ps_to_s(u64 ps) { return ps / kPicosecondsPerS; }
u64 time_cut_sub_second(u64 ps) { return ps % kPicosecondsPerS; }

// ---------------------------------------------------------------------------
// Policies.

u32 sched_policy_name_to_value(const char* name) {
  if (name == nullptr) return SCHEDULING_POLICY_UNKNOWN;
  if (std::strcmp(name, "NPEDF") == 0) return SCHEDULING_POLICY_NPEDF;
  if (std::strcmp(name, "NPFP") == 0) return SCHEDULING_POLICY_NPFP;
  if (std::strcmp(name, "FIFO") == 0) return SCHEDULING_POLICY_FIFO;
  return SCHEDULING_POLICY_UNKNOWN;
}

u32 interp_set_scheduling_policy(InterpEnv* env, u32 policy) {
  if (env == nullptr || env->ctx->scheduler == nullptr) return 0;
  return interp_guard(env, 0u, [&] {
    INTERP_ASSERT_TEXT(env, policy <= SCHEDULING_POLICY_NPEDF,
                       "policy != SCHEDULING_POLICY_UNKNOWN");
    SchedulerState& s = state(env);
    s.policy = policy;
    if (s.indexed) rebuildIndex(env, s);
    return 1u;
  });
}

// ---------------------------------------------------------------------------
// Lifecycle.

void scheduler_create(InterpEnv* env) {
  scheduler_free(env);
  SchedulerState* s = MEMORY_ALLOC(1, SchedulerState, "env->ctx->scheduler");
  env->ctx->scheduler = s;
  s->policy = SCHEDULING_POLICY_FIFO;
  s->now = s->previous = now(env);
  s->suspendTime = s->resumeTime = 0;
  cacheInstances(env, *s);
  allocateIndex(*s);
  refreshRecords(env);
  schedulerSuspend(env);
}

void scheduler_free(InterpEnv* env) {
  if (env == nullptr || env->ctx == nullptr || env->ctx->scheduler == nullptr) return;
  MEMORY_FREE(env->ctx->scheduler->instances);
  MEMORY_FREE(env->ctx->scheduler->conditioned);
  freeIndex(*env->ctx->scheduler);
  MEMORY_FREE(env->ctx->scheduler);
}

void scheduler_startup(InterpEnv* env) {
  scheduler_create(env);
  applyTimingDeclarations(env);
  planFirstActivations(env);
  SchedulerState& s = state(env);
  s.policy = policyFromSystem(env);
  const ProgramScan scan = scanProgram(env, s);
  s.indexed = scan.indexable && s.count > 0;
  s.eagerTimers = scan.eagerTimers;
  if (s.indexed) rebuildIndex(env, s);
}

void scheduler_recordAccessed(InterpEnv* env, u32 instance) {
  if (env == nullptr || env->ctx == nullptr || env->ctx->scheduler == nullptr) return;
  SchedulerState& s = state(env);
  if (!s.indexed || instance >= s.count) return;
  sync(env, s, instance);
  if (s.dirty[instance] != 0) return;
  s.dirty[instance] = 1;
  s.dirtyList[s.dirtyCount++] = instance;
}

bool scheduler_isIndexed(InterpEnv* env) {
  return env != nullptr && env->ctx->scheduler != nullptr && state(env).indexed;
}

void schedulerSuspend(InterpEnv* env) {
  SchedulerState& s = state(env);
  s.suspended = true;
  s.suspendTime = now(env);
}

void schedulerResume(InterpEnv* env) {
  SchedulerState& s = state(env);
  s.suspended = false;
  s.resumeTime = now(env);
  update_timers(env);
}

// ---------------------------------------------------------------------------
// Scheduler steps.

void update_timers(InterpEnv* env) {
  SchedulerState& s = state(env);
  const u64 d = s.resumeTime - s.suspendTime;
  if (d == 0) return;
  s.now += d;
  s.previous += d;
  if (s.indexed && !s.eagerTimers) {
    s.shift += d;  // applied to each record when it is made current
    return;
  }
  for (u32 i = 0; i < s.count; ++i) {
    cell(s.instances[i], PI_CURRENT_ACTIVATION) += d;
    cell(s.instances[i], PI_PREVIOUS_ACTIVATION) += d;
  }
}

void update_elpased_time(InterpEnv* env) {
  SchedulerState& s = state(env);
  s.previous = s.now;
  s.now = now(env);
  const u64 elapsed = s.now - s.previous;
  if (elapsed == 0) return;
  if (s.indexed) {
    s.base += elapsed;
    return;
  }
  for (u32 i = 0; i < s.count; ++i) {
    const ActivationQueue q = queue_of(env, s.instances[i]);
    for (u32 slot = q.out; slot != q.in; slot = (slot + 1) % kRing) q.cells[2 + slot] -= elapsed;
  }
}

void update_triggered_process(InterpEnv* env) {
  SchedulerState& s = state(env);
  if (s.conditionedCount == 0) return;
  const u32 mark = interpStack_mark(env);
  for (u32 k = 0; k < s.conditionedCount && s.conditioned[k] < s.count; ++k) {
    const u32 i = s.conditioned[k];
    const SchedulerInstance& instance = s.instances[i];
    if (cell(instance, PI_PERIOD) != 0) continue;
    if (!conditionHolds(env, instance.condition)) continue;
    if (s.indexed) sync(env, s, i);
    ActivationQueue q = queue_of(env, instance);
    if (queue_isEmpty(q)) {
      queue_insertSorted(q, 0);
    } else if (queue_peek(q) > 0) {
      // The oldest planned activation gives way to the one due now.
      if (queue_isFull(env, q)) queue_pop(q);
      queue_insertSorted(q, 0);
    } else {
      continue;
    }
    if (s.indexed) reindex(env, s, i);
  }
  interpStack_release(env, mark);
}

s64 clear_hit(InterpEnv* env, u32 instance) {
  SchedulerState& s = state(env);
  const SchedulerInstance& selected = instanceAt(env, instance);
  if (s.indexed) sync(env, s, instance);
  const s64 late = clearHitCells(env, selected);
  if (s.indexed) reindex(env, s, instance);
  return late;
}

void update_periodic_process_next_hit(InterpEnv* env, u32 instance, s64 late) {
  SchedulerState& s = state(env);
  const SchedulerInstance& selected = instanceAt(env, instance);
  if (s.indexed) sync(env, s, instance);
  planNextPeriod(env, selected, late);
  if (s.indexed) {
    sync(env, s, instance);
    reindex(env, s, instance);
  }
}

namespace {


s64 nextHitIndexed(InterpEnv* env, SchedulerState& s) {
  if (s.dirtyCount > 0) reindexDirty(env, s);
  promoteDue(s);
  if (s.dueCount > 0) return 0;
  if (s.pendingCount == 0) return kNoPendingActivation;
  const s64 earliest = saturatedRelative(s.pending[0].primary - s.base);
  return earliest < 0 ? 0 : earliest;
}

// The indexed choice of the current policy.
u32 selectIndexed(InterpEnv* env, SchedulerState& s) {
  if (s.dirtyCount > 0) reindexDirty(env, s);
  if (s.policy == SCHEDULING_POLICY_FIFO) {
    if (s.pendingCount == 0 || s.pending[0].primary > s.base) return NO_ID;
    return s.pending[0].instance;
  }
  promoteDue(s);
  return s.dueCount > 0 ? s.due[0].instance : NO_ID;
}

// A walking choice asked for while indexed (another policy than the current
// one): the records are made current first.
void syncAll(InterpEnv* env, SchedulerState& s) {
  for (u32 i = 0; i < s.count; ++i) sync(env, s, i);
}

}  // namespace

s64 nextProcessHit(InterpEnv* env) {
  SchedulerState& s = state(env);
  if (s.indexed) return nextHitIndexed(env, s);
  s64 earliest = kNoPendingActivation;
  for (u32 i = 0; i < s.count; ++i) {
    const ActivationQueue q = queue_of(env, s.instances[i]);
    if (!queue_isEmpty(q) && queue_peek(q) < earliest) earliest = queue_peek(q);
  }
  return earliest < 0 ? 0 : earliest;
}

u32 select_FIFO_policy(InterpEnv* env) {
  SchedulerState& s = state(env);
  if (s.indexed) {
    if (s.policy == SCHEDULING_POLICY_FIFO) return selectIndexed(env, s);
    syncAll(env, s);
  }
  u32 best = NO_ID;
  s64 bestEntry = 0;
  u64 bestPriority = 0;
  for (u32 i = 0; i < s.count; ++i) {
    s64 entry;
    if (!dueEntry(env, s.instances[i], &entry)) continue;
    const u64 priority = cell(s.instances[i], PI_PRIORITY);
    if (best == NO_ID || entry < bestEntry || (entry == bestEntry && priority > bestPriority)) {
      best = i;
      bestEntry = entry;
      bestPriority = priority;
    }
  }
  return best;
}

u32 select_NPFP_policy(InterpEnv* env) {
  SchedulerState& s = state(env);
  if (s.indexed) {
    if (s.policy == SCHEDULING_POLICY_NPFP) return selectIndexed(env, s);
    syncAll(env, s);
  }
  u32 best = NO_ID;
  u64 bestPriority = 0;
  for (u32 i = 0; i < s.count; ++i) {
    s64 entry;
    if (!dueEntry(env, s.instances[i], &entry)) continue;
    const u64 priority = cell(s.instances[i], PI_PRIORITY);
    if (best == NO_ID || priority > bestPriority) {
      best = i;
      bestPriority = priority;
    }
  }
  return best;
}

u32 select_EDF_policy(InterpEnv* env) {
  SchedulerState& s = state(env);
  if (s.indexed) {
    if (s.policy == SCHEDULING_POLICY_NPEDF) return selectIndexed(env, s);
    syncAll(env, s);
  }
  u32 best = NO_ID;
  s64 bestDeadline = 0;
  for (u32 i = 0; i < s.count; ++i) {
    s64 entry;
    if (!dueEntry(env, s.instances[i], &entry)) continue;
    // Summed as unsigned so that a deadline the program set beyond the
    // signed range wraps instead of overflowing.
    const s64 deadline = asSigned(static_cast<u64>(entry) + cell(s.instances[i], PI_DEADLINE));
    if (best == NO_ID || deadline < bestDeadline) {
      best = i;
      bestDeadline = deadline;
    }
  }
  return best;
}

void executeProcess(InterpEnv* env, u32 instance) {
  SchedulerState& s = state(env);
  const SchedulerInstance& selected = instanceAt(env, instance);
  if (s.indexed) sync(env, s, instance);
  executeInstance(env, selected);
  if (s.indexed) {
    sync(env, s, instance);
    reindex(env, s, instance);
  }
}

namespace {

// The loop's steps, with what they do in the common cases decided in place:
// the same clock reads, updates and choices as the exported steps make.
[[gnu::always_inline]] inline void elapse(InterpEnv* env, SchedulerState& s) {
  if (!s.indexed) {
    update_elpased_time(env);
    return;
  }
  s.previous = s.now;
  s.now = now(env);
  s.base += s.now - s.previous;
}

void trigger(InterpEnv* env, const SchedulerState& s) {
  if (s.conditionedCount != 0) update_triggered_process(env);
}

u32 select(InterpEnv* env, SchedulerState& s) {
  // An unknown policy goes to selectInstance, which reports it.
  if (s.indexed && s.policy <= SCHEDULING_POLICY_NPEDF) return selectIndexed(env, s);
  return selectInstance(env);
}

s64 nextHit(InterpEnv* env, SchedulerState& s) {
  return s.indexed ? nextHitIndexed(env, s) : nextProcessHit(env);
}

}  // namespace

s64 scheduler_run(InterpEnv* env, u64 until) {
  SchedulerState& s = state(env);
  // Hooks are registered by the host between run calls, so quietness is
  // decided once per call rather than per activation.
  s.trace = !env_is_quiet(env) &&
            (env->ctx->schedObserver == nullptr || env->ctx->schedObserver->taskTrace);
  trigger(env, s);
  s64 result = 0;
  for (;;) {
    elapse(env, s);
    const u32 selected = select(env, s);
    if (selected != NO_ID) {
      runSelected(env, selected);
      trigger(env, s);
      if (now(env) <= until) continue;
    }
    // Idle: wait for the next activation, or until `until` when it is later.
    elapse(env, s);
    trigger(env, s);
    const s64 n = nextHit(env, s);
    const u64 t = now(env);
    if (withinUntil(t, n, until)) {
      env->ctx->delay_callback(env, static_cast<u64>(n));
      result = 0;
    } else {
      result = n;
      if (until > t) {
        env->ctx->delay_callback(env, until - t);
        elapse(env, s);
      }
    }
    if (result != 0 || now(env) > until) break;
  }
  return result;
}

u32 run_until(InterpEnv* env, u64 until) {
  scheduler_run(env, until);
  schedulerSuspend(env);
  return 0;
}

// ---------------------------------------------------------------------------
// Host entry points.

u32 interp_run_until(InterpEnv* env, u64 until) {
  return guardedRun(env, [&] {
    schedulerResume(env);
    return run_until(env, until);
  });
}

u32 interp_run_for(InterpEnv* env, u64 duration) {
  return guardedRun(env, [&] {
    schedulerResume(env);
    return run_until(env, addSaturated(now(env), duration));
  });
}

u32 interp_step(InterpEnv* env) {
  return guardedRun(env, [&] {
    schedulerResume(env);
    update_triggered_process(env);
    const s64 n = nextProcessHit(env);
    // Nothing pending: guardedRun suspends again, so the time until the
    // next call counts as suspended.
    if (n == kNoPendingActivation) return 0u;
    return run_until(env, addSaturated(now(env), static_cast<u64>(n)));
  });
}

s64 interp_next_hit(InterpEnv* env) {
  if (!ready(env)) return kNoPendingActivation;
  return interp_guard(env, kNoPendingActivation, [&] {
    if (!state(env).indexed) refreshRecords(env);
    update_triggered_process(env);
    return nextProcessHit(env);
  });
}
