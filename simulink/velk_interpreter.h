// The co-simulation block as a C++ host sees it: its S-function method table,
// and the choices a host makes before set-up that the engine never offers.
#pragma once
#include <csignal>

#include "host/sfun_host.h"
#include "interp_env.h"

// mdlInitializeSizes, mdlInitializeSampleTimes, mdlGetTimeOfNextVarHit,
// mdlOutputs and mdlTerminate of the "velk_interpreter" block.
const SFunctionMethods* velk_interpreter_methods();

// Applied to the environment of every later set-up.
struct VelkBlockHostSettings {
  // The program's random source; null keeps the library's default (every
  // draw 0, so each random function returns the lowest value it can).
  RandomCallback randomSource = nullptr;
  // A stop request the host's signal handler sets; while it is non-zero the
  // program's loops abandon the running activation (interp_set_interrupt).
  const volatile std::sig_atomic_t* interrupt = nullptr;
  // Loop turns one hit (or the set-up, which runs init) may take; past them
  // the running activation is abandoned and loopLimitReached() says so. 0:
  // no bound.
  u64 loopTurnLimit = 0;

  // Observing the run (timing outputs). The observer is set on every new
  // environment; `loaded` is called once the image is loaded, before the
  // program is initialised; `variableChanged` sees every assignment to a
  // global (mode 0) or push into a global channel (mode 1), initial values
  // included. All receive `user`.
  const struct SchedObserver* observer = nullptr;
  void (*loaded)(void* user, InterpEnv* env) = nullptr;
  void (*variableChanged)(void* user, InterpEnv* env, u32 varId, u32 mode,
                          TaggedValue value) = nullptr;
  void* user = nullptr;
  // Which console lines the block writes: ASSIGN lines, and what the program
  // prints (PRINTLN lines).
  bool traceAssign = true;
  bool tracePrint = true;
  // Whether standard output is flushed at the end of every hit, so that
  // nothing the block printed waits in the buffer while the host runs. A host
  // that writes only through the same stream, and flushes it before it writes
  // anywhere else, can leave the lines buffered: one write call per buffer
  // instead of one per hit.
  bool flushEachHit = true;
};
void velk_interpreter_configure(const VelkBlockHostSettings& settings);

// Ends a line the program left open (printed without a line feed), so that
// what the host reports next starts on a line of its own.
void velk_interpreter_endOpenLine();

// True when the last hit (or the set-up) was cut short by loopTurnLimit.
bool velk_interpreter_loopLimitReached();
