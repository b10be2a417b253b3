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
};
void velk_interpreter_configure(const VelkBlockHostSettings& settings);

// Ends a line the program left open (printed without a line feed), so that
// what the host reports next starts on a line of its own.
void velk_interpreter_endOpenLine();
