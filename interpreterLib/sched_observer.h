// What the scheduler tells a host about the activations it runs: a table of
// functions the host sets on the environment (env->ctx->schedObserver, null
// by default, so a run nobody observes pays one untaken branch per
// activation). The host owns the table and its user data; the scheduler
// only calls it, synchronously, from within a run call.
#pragma once
#include "interp_env.h"

// One activation as the scheduler saw it at selection. Times are absolute
// picoseconds.
struct SchedActivation {
  u32 instance;  // global process instance index
  u64 release;   // what its activation queue held: nominal time plus jitter
  u64 start;     // when it was selected (release + start latency)
  u64 jitter;    // the instance's jitter field when it was selected
  u64 deadline;  // relative deadline in force when it was selected
  // The jitter its next release was planned with (periodic instances): what
  // the field held once the timing annotation had run. The body may still
  // change the field, so the jitter of a release is the nextJitter of the
  // activation before it, and `jitter` for the first one.
  u64 nextJitter;
};

struct SchedObserver {
  void* user;
  // The activation starts running (its condition, if any, held).
  void (*activationStarted)(void* user, const SchedActivation& activation);
  // The running activation ended at `finish`.
  void (*activationFinished)(void* user, u32 instance, u64 finish);
  // The activation was selected but its condition was false: it is lost.
  void (*activationLost)(void* user, const SchedActivation& activation);
  // False hides the scheduler's STARTING_TASK / TASK_FINISHED lines.
  bool taskTrace;
};
