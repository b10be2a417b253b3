// The scheduler as its selection rules read, walking every instance on every
// step: kept as the reference that the indexed scheduler is compared with.
// Trace lines are written with printf and flushed one by one, as it always did.
#include "scheduler_reference.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "expression.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "process.h"
#include "statement.h"
#include "velk_memory.h"

namespace walking_reference {
namespace {


// The walking scheduler's own state (one environment at a time).
struct RefState {
  u32 policy = SCHEDULING_POLICY_FIFO;
  bool suspended = true;
  u64 now = 0;
  u64 previous = 0;
  u64 suspendTime = 0;
  u64 resumeTime = 0;
  u32 count = 0;
  u32 capacity = 0;
  std::vector<SchedulerInstance> instances;
  std::vector<u32> conditioned;
  u32 conditionedCount = 0;
  bool trace = false;
};
RefState gState;
RefState& state(InterpEnv*) { return gState; }
u64 now(InterpEnv* env) { return env->ctx->gettime_callback(env); }

AST* nodeAt(InterpEnv* env, u32 id) {
  if (id == NO_ID) return nullptr;
  INTERP_ASSERT_TEXT(env, id < env->program->infoProg->n_AST,
                     "id < env->program->infoProg->n_AST");
  return &env->program->RAMprogram[id];
}

// Same cell as processRecord_cell, inlined: the walks over all instances
// read it several times per activation.
DataCell& cell(const SchedulerInstance& instance, ProcessInstanceCell field) {
  return instance.record.value[field];
}

s64 asSigned(u64 value) { return static_cast<s64>(value); }

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
  const bool holds = expr_executeBoolean(env, nodeAt(env, condition));
  interpStack_release(env, mark);
  return holds;
}

void cacheInstances(InterpEnv* env, RefState& s) {
  const program* p = env->program;
  const u32 n = p->infoProg->n_globalProcessInstances;
  s.capacity = n;
  s.instances.assign(n, SchedulerInstance{});
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
  s.conditioned.assign(s.conditionedCount, 0);
  u32 k = 0;
  for (u32 i = 0; i < n; ++i) {
    if (s.instances[i].condition != NO_ID) s.conditioned[k++] = i;
  }
}

// A record's place in system.processes follows that queue's out index, so the
// records are located once per host call and the walks read plain pointers.
void refreshRecords(InterpEnv* env) {
  RefState& s = state(env);
  const u32 records = interp_processRecordCount(env);
  s.count = records < s.capacity ? records : s.capacity;
  for (u32 i = 0; i < s.count; ++i) s.instances[i].record = interp_processRecordAt(env, i);
}

SchedulerInstance& instanceAt(InterpEnv* env, u32 instance) {
  RefState& s = state(env);
  INTERP_ASSERT_TEXT(env, instance < s.count, "instance < n_globalProcessInstances");
  return s.instances[instance];
}

// ---------------------------------------------------------------------------
// Trace lines.

void writeTrace(InterpEnv* env, u64 time, const char* tag, u32 instance) {
  const char* file = env->file_name != nullptr ? env->file_name : "";
  const char* name = interp_symbolName(env->program, state(env).instances[instance].symbol);
  std::printf("[%" PRId64 ".%012" PRId64 ":%s:%s] '%s'\n", static_cast<s64>(time_ps_to_s(time)),
              static_cast<s64>(time_cut_sub_second(time)), file, tag,
              name != nullptr ? name : "");
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// The run loop.

u32 selectInstance(InterpEnv* env) {
  switch (state(env).policy) {
    case SCHEDULING_POLICY_FIFO:
      return ref_select_FIFO_policy(env);
    case SCHEDULING_POLICY_NPFP:
      return ref_select_NPFP_policy(env);
    case SCHEDULING_POLICY_NPEDF:
      return ref_select_EDF_policy(env);
    default:
      INTERP_ASSERT_TEXT(env, false, "policy != SCHEDULING_POLICY_UNKNOWN");
      return NO_ID;
  }
}

// The selected activation: a false condition loses it, but a periodic
// instance still plans its next one.
void runSelected(InterpEnv* env, u32 instance) {
  RefState& s = state(env);
  const SchedulerInstance& selected = s.instances[instance];
  const bool run = selected.condition == NO_ID || conditionHolds(env, selected.condition);
  const s64 late = ref_clear_hit(env, instance);
  if (cell(selected, PI_PERIOD) != 0) ref_update_periodic_process_next_hit(env, instance, late);
  env->ctx->syncio_callback(env);
  if (!run) return;
  if (s.trace) writeTrace(env, s.now, "STARTING_TASK", instance);
  ref_executeProcess(env, instance);
  if (s.trace) writeTrace(env, now(env), "TASK_FINISHED", instance);
  env->ctx->syncio_callback(env);
}

// Whether n picoseconds from t still lies within until (n >= 0).
bool withinUntil(u64 t, s64 n, u64 until) {
  return t <= until && static_cast<u64>(n) <= until - t;
}

u64 addSaturated(u64 t, u64 d) { return d > UINT64_MAX - t ? UINT64_MAX : t + d; }

bool ready(InterpEnv* env) {
  return env != nullptr && env->ctx->scheduler != nullptr && env->ctx->initialized;
}

// A run abandoned by an internal error leaves the scheduler suspended, as a
// completed run does.
template <class Body>
u32 guardedRun(InterpEnv* env, Body&& body) {
  if (!ready(env)) return 0;
  const u32 result = interp_guard(env, 0u, [&] {
    refreshRecords(env);
    return body();
  });
  if (!state(env).suspended) ref_schedulerSuspend(env);
  return result;
}

}  // namespace

// Takes over an environment whose scheduler has just been started: the
// policy, the clock readings and the suspension come from its state.
void attach(InterpEnv* env) {
  RefState& s = gState;
  s = RefState{};
  const SchedulerState& started = *env->ctx->scheduler;
  s.policy = started.policy;
  s.suspended = started.suspended;
  s.now = started.now;
  s.previous = started.previous;
  s.suspendTime = started.suspendTime;
  s.resumeTime = started.resumeTime;
  s.conditionedCount = 0;
  cacheInstances(env, s);
  refreshRecords(env);
}

void setPolicy(u32 policy) { gState.policy = policy; }

void ref_schedulerSuspend(InterpEnv* env) {
  RefState& s = state(env);
  s.suspended = true;
  s.suspendTime = now(env);
}

void ref_schedulerResume(InterpEnv* env) {
  RefState& s = state(env);
  s.suspended = false;
  s.resumeTime = now(env);
  ref_update_timers(env);
}

// ---------------------------------------------------------------------------
// Scheduler steps.

void ref_update_timers(InterpEnv* env) {
  RefState& s = state(env);
  const u64 d = s.resumeTime - s.suspendTime;
  if (d == 0) return;
  s.now += d;
  s.previous += d;
  for (u32 i = 0; i < s.count; ++i) {
    cell(s.instances[i], PI_CURRENT_ACTIVATION) += d;
    cell(s.instances[i], PI_PREVIOUS_ACTIVATION) += d;
  }
}

void ref_update_elpased_time(InterpEnv* env) {
  RefState& s = state(env);
  s.previous = s.now;
  s.now = now(env);
  const u64 elapsed = s.now - s.previous;
  if (elapsed == 0) return;
  for (u32 i = 0; i < s.count; ++i) {
    const ActivationQueue q = queue_of(env, s.instances[i]);
    for (u32 slot = q.out; slot != q.in; slot = (slot + 1) % kRing) q.cells[2 + slot] -= elapsed;
  }
}

void ref_update_triggered_process(InterpEnv* env) {
  const u32 mark = interpStack_mark(env);
  RefState& s = state(env);
  for (u32 k = 0; k < s.conditionedCount && s.conditioned[k] < s.count; ++k) {
    const SchedulerInstance& instance = s.instances[s.conditioned[k]];
    if (cell(instance, PI_PERIOD) != 0) continue;
    if (!conditionHolds(env, instance.condition)) continue;
    ActivationQueue q = queue_of(env, instance);
    if (queue_isEmpty(q)) {
      queue_insertSorted(q, 0);
    } else if (queue_peek(q) > 0) {
      // The oldest planned activation gives way to the one due now.
      if (queue_isFull(env, q)) queue_pop(q);
      queue_insertSorted(q, 0);
    }
  }
  interpStack_release(env, mark);
}

s64 ref_clear_hit(InterpEnv* env, u32 instance) {
  ActivationQueue q = queue_of(env, instanceAt(env, instance));
  if (queue_isEmpty(q) || queue_peek(q) > 0) return 0;
  return queue_pop(q);
}

void ref_update_periodic_process_next_hit(InterpEnv* env, u32 instance, s64 late) {
  const SchedulerInstance& selected = instanceAt(env, instance);
  const u64 oldJitter = cell(selected, PI_JITTER);
  if (selected.annotation != NO_ID) statement_execute(env, nodeAt(env, selected.annotation));
  const u64 period = cell(selected, PI_PERIOD);
  if (cell(selected, PI_JITTER) > period) cell(selected, PI_JITTER) = period;
  // Planned from the nominal time, so lateness never accumulates.
  const u64 next = period + cell(selected, PI_JITTER) - oldJitter + static_cast<u64>(late);
  ActivationQueue q = queue_of(env, selected);
  INTERP_ASSERT_TEXT(env, !queue_isFull(env, q), "!queue_isFull(env, next_activation_queue)");
  queue_insertSorted(q, asSigned(next));
}

s64 ref_nextProcessHit(InterpEnv* env) {
  const RefState& s = state(env);
  s64 earliest = kNoPendingActivation;
  for (u32 i = 0; i < s.count; ++i) {
    const ActivationQueue q = queue_of(env, s.instances[i]);
    if (!queue_isEmpty(q) && queue_peek(q) < earliest) earliest = queue_peek(q);
  }
  return earliest < 0 ? 0 : earliest;
}

u32 ref_select_FIFO_policy(InterpEnv* env) {
  const RefState& s = state(env);
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

u32 ref_select_NPFP_policy(InterpEnv* env) {
  const RefState& s = state(env);
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

u32 ref_select_EDF_policy(InterpEnv* env) {
  const RefState& s = state(env);
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

void ref_executeProcess(InterpEnv* env, u32 instance) {
  const SchedulerInstance& selected = instanceAt(env, instance);
  process_executeCall(env, selected.definition, selected.staticBase,
                      nodeAt(env, selected.parameters), selected.record);
}

s64 ref_scheduler_run(InterpEnv* env, u64 until) {
  RefState& s = state(env);
  // Hooks are registered by the host between run calls, so quietness is
  // decided once per call rather than per activation.
  s.trace = !env_is_quiet(env);
  ref_update_triggered_process(env);
  s64 result = 0;
  for (;;) {
    ref_update_elpased_time(env);
    const u32 selected = selectInstance(env);
    if (selected != NO_ID) {
      runSelected(env, selected);
      ref_update_triggered_process(env);
      if (now(env) <= until) continue;
    }
    // Idle: wait for the next activation, or until `until` when it is later.
    ref_update_elpased_time(env);
    ref_update_triggered_process(env);
    const s64 n = ref_nextProcessHit(env);
    const u64 t = now(env);
    if (withinUntil(t, n, until)) {
      env->ctx->delay_callback(env, static_cast<u64>(n));
      result = 0;
    } else {
      result = n;
      if (until > t) {
        env->ctx->delay_callback(env, until - t);
        ref_update_elpased_time(env);
      }
    }
    if (result != 0 || now(env) > until) break;
  }
  return result;
}

u32 ref_run_until(InterpEnv* env, u64 until) {
  ref_scheduler_run(env, until);
  ref_schedulerSuspend(env);
  return 0;
}

// ---------------------------------------------------------------------------
// Host entry points.

u32 ref_interp_run_until(InterpEnv* env, u64 until) {
  return guardedRun(env, [&] {
    ref_schedulerResume(env);
    return ref_run_until(env, until);
  });
}

u32 ref_interp_run_for(InterpEnv* env, u64 duration) {
  return guardedRun(env, [&] {
    ref_schedulerResume(env);
    return ref_run_until(env, addSaturated(now(env), duration));
  });
}

u32 ref_interp_step(InterpEnv* env) {
  return guardedRun(env, [&] {
    ref_schedulerResume(env);
    ref_update_triggered_process(env);
    const s64 n = ref_nextProcessHit(env);
    // Nothing pending: guardedRun suspends again, so the time until the
    // next call counts as suspended.
    if (n == kNoPendingActivation) return 0u;
    return ref_run_until(env, addSaturated(now(env), static_cast<u64>(n)));
  });
}

s64 ref_interp_next_hit(InterpEnv* env) {
  if (!ready(env)) return kNoPendingActivation;
  return interp_guard(env, kNoPendingActivation, [&] {
    refreshRecords(env);
    ref_update_triggered_process(env);
    return ref_nextProcessHit(env);
  });
}

}  // namespace walking_reference
