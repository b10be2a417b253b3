// The walking scheduler kept as a reference for the tests (one environment at
// a time). attach() takes over an environment right after interp_init; the
// host entry points then behave as the scheduler's own.
#pragma once
#include "interp_system.h"
#include "scheduler.h"

namespace walking_reference {

void attach(InterpEnv* env);
void setPolicy(u32 policy);

void ref_schedulerSuspend(InterpEnv* env);
void ref_schedulerResume(InterpEnv* env);
void ref_update_timers(InterpEnv* env);
void ref_update_elpased_time(InterpEnv* env);
void ref_update_triggered_process(InterpEnv* env);
s64 ref_clear_hit(InterpEnv* env, u32 instance);
void ref_update_periodic_process_next_hit(InterpEnv* env, u32 instance, s64 late);
s64 ref_nextProcessHit(InterpEnv* env);
u32 ref_select_FIFO_policy(InterpEnv* env);
u32 ref_select_NPFP_policy(InterpEnv* env);
u32 ref_select_EDF_policy(InterpEnv* env);
void ref_executeProcess(InterpEnv* env, u32 instance);
s64 ref_scheduler_run(InterpEnv* env, u64 until);
u32 ref_run_until(InterpEnv* env, u64 until);

u32 ref_interp_run_until(InterpEnv* env, u64 until);
u32 ref_interp_run_for(InterpEnv* env, u64 duration);
u32 ref_interp_step(InterpEnv* env);
s64 ref_interp_next_hit(InterpEnv* env);

}  // namespace walking_reference
