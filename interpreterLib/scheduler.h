// The scheduler: which global process instance runs next, and how time passes
// between activations. Each instance's Process_Instance record (an element of
// system.processes) holds its timing and a sorted queue `next_activations` of
// pending activation times relative to "now"; an entry not above 0 is due.
// Scheduling is non-preemptive: a selected instance runs one activation to its
// end before the next choice. Hosts drive it with interp_run_until,
// interp_run_for, interp_step and interp_next_hit.
//
// Time: absolute times are unsigned picoseconds; relative times (queue
// entries, nextProcessHit) are signed picoseconds. The current time always
// comes from gettime_callback and passes only through delay_callback.
#pragma once
#include "interp_api.h"
#include "interp_env.h"

enum SchedulingPolicy : u32 {
  SCHEDULING_POLICY_FIFO = 0,
  SCHEDULING_POLICY_NPFP = 1,
  SCHEDULING_POLICY_NPEDF = 2,
  SCHEDULING_POLICY_UNKNOWN = 10,
};

// Returned by nextProcessHit / interp_next_hit when nothing is pending.
constexpr s64 kNoPendingActivation = 0x7FFFFFFFFFFFFFFFll;

// What the scheduler keeps of one global process instance, cached at start-up
// so that an activation needs no look-up in the image.
struct SchedulerInstance {
  TaggedValue record;  // its Process_Instance record in system.processes
  u32 definition;      // process definition id
  u32 staticBase;      // first static variable (meaningful when the definition has statics)
  u32 parameters;      // node ids, NO_ID when absent
  u32 condition;
  u32 annotation;
  u32 symbol;  // name symbol of the instance, for the trace lines
};

// An activation time against the shared time base: entry + base when the
// entry was read. 128 bits, so sums with deadlines never wrap.
__extension__ typedef __int128 SchedulerKey;

// An instance in one of the scheduler's heaps, ordered by (primary,
// secondary, instance); the order keys are kept in the entry so that sifting
// reads no other table.
struct SchedulerHeapEntry {
  SchedulerKey primary;
  u64 secondary;
  u32 instance;
};

// One per environment (env->ctx->scheduler), so environments never interfere.
//
// Two ways of keeping the pending activations:
// - indexed (the usual one): letting time pass only advances `base`; the
//   queue cells of a record are made current (sync) when something can
//   observe them (its own activation, a host asking for the record), and the
//   instances with a pending activation sit in two binary heaps: `pending`
//   (earliest activation first) and, for NPFP and NPEDF, `due` (the policy's
//   order). A step then costs O(log n) in the number of instances.
// - walking: every step walks every instance, as the selection rules read.
//   Used for programs that can read another instance's queue or write the
//   priority or deadline of an instance outside that instance's own
//   activation (see scheduler_startup).
struct SchedulerState {
  u32 policy;
  bool suspended;
  u64 now;       // the last measured time
  u64 previous;  // the measurement before it
  u64 suspendTime;
  u64 resumeTime;
  u32 count;  // instances that have a record
  u32 capacity;
  SchedulerInstance* instances;
  // The instances that have an activation condition, in index order: only
  // they can be triggered.
  u32* conditioned;
  u32 conditionedCount;
  bool trace;  // trace lines are written during the current run call

  bool indexed;
  bool eagerTimers;  // update_timers writes every record at once
  u64 base;          // total elapsed time counted by update_elpased_time
  u64 shift;         // total suspended time counted by update_timers
  // Per instance (capacity entries).
  u64* syncBase;        // base at which the queue cells were last made current
  u64* syncShift;       // shift at which the activation times were last made current
  u32* heapPos;         // position in its heap
  u8* where;            // 0: no pending activation, 1: pending heap, 2: due heap
  u8* dirty;            // read by a host since it was last indexed
  // Pending: (earliest activation + base, FIFO: ~priority, index).
  // Due (NPFP, NPEDF): (0, ~priority, index) or (key + deadline, 0, index).
  SchedulerHeapEntry* pending;
  u32 pendingCount;
  SchedulerHeapEntry* due;
  u32 dueCount;
  u32* dirtyList;
  u32 dirtyCount;
  // The instance whose activation is running, plus one (0: none). An
  // activation abandoned by an internal error skips its own re-indexing; the
  // run entry points then have the instance re-indexed before the next
  // selection.
  u32 runningPlusOne;
  // Trace lines: for each instance and tag (start, finish) the text after the
  // time, ":<file>:<tag>] '<name>'\n", made at the first trace line; and the
  // time text of the last line written, which the next one often repeats.
  char* traceText;
  u32* traceOffset;  // 2 * capacity + 1 offsets into traceText
  // The time text ends at kTraceTimeEnd, with room after it so that a line
  // can copy a fixed number of bytes from its start.
  u64 lastTraceTime;
  u32 lastTraceTimeLength;  // 0: nothing written yet
  char lastTraceTimeText[80];
};

// Time conversions (the others, and the host entry points interp_run_until,
// interp_run_for, interp_step and interp_next_hit, are in interp_api.h).
u64 time_ns_to_ps(u64 ns);
u64 time_us_to_ps(u64 us);
u64 time_ms_to_ps(u64 ms);

// Policies by name: "FIFO" 0, "NPFP" 1, "NPEDF" 2, anything else 10.
u32 sched_policy_name_to_value(const char* name);
// Sets the policy; an unknown value is an internal error and leaves the
// policy unchanged. Returns 1 when set, 0 when refused.
u32 interp_set_scheduling_policy(InterpEnv* env, u32 policy);

// Lifecycle. scheduler_create replaces any earlier state: now = previous =
// gettime, suspend and resume times 0, then suspended. scheduler_free frees
// the state and clears env->ctx->scheduler (a missing state is ignored).
void scheduler_create(InterpEnv* env);
void scheduler_free(InterpEnv* env);
// The scheduler part of interp_init: creates the scheduler, applies the
// timing lists and the time and process annotations of the program, plans
// the first activation of every periodic instance and takes the policy from
// system.sched_policy.
void scheduler_startup(InterpEnv* env);

// A host is given instance i's record: its cells are made current, and the
// instance is indexed again before the next choice (the host may write it).
void scheduler_recordAccessed(InterpEnv* env, u32 instance);
// Whether the scheduler keeps its candidates indexed (false: it walks).
bool scheduler_isIndexed(InterpEnv* env);

void schedulerSuspend(InterpEnv* env);
void schedulerResume(InterpEnv* env);

// Scheduler steps.
void update_timers(InterpEnv* env);
void update_elpased_time(InterpEnv* env);
void update_triggered_process(InterpEnv* env);
// Removes the due earliest activation of the instance and returns it (how
// late it starts, not above 0); 0 when nothing is due.
s64 clear_hit(InterpEnv* env, u32 instance);
void update_periodic_process_next_hit(InterpEnv* env, u32 instance, s64 late);
// Relative time to the earliest pending activation; 0 when one is overdue;
// kNoPendingActivation when none is pending.
s64 nextProcessHit(InterpEnv* env);
// The due instance each policy picks, NO_ID when none is due.
u32 select_FIFO_policy(InterpEnv* env);
u32 select_NPFP_policy(InterpEnv* env);
u32 select_EDF_policy(InterpEnv* env);
// One activation of a global instance.
void executeProcess(InterpEnv* env, u32 instance);
// Runs every activation due up to `until` (absolute); returns the relative
// time of the next activation when it stops before it, else 0.
s64 scheduler_run(InterpEnv* env, u64 until);
// scheduler_run, then suspend; returns 0.
u32 run_until(InterpEnv* env, u64 until);
