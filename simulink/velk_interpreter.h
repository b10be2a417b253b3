// The co-simulation block as a C++ host sees it: its S-function method table.
#pragma once
#include "host/sfun_host.h"

// mdlInitializeSizes, mdlInitializeSampleTimes, mdlGetTimeOfNextVarHit,
// mdlOutputs and mdlTerminate of the "velk_interpreter" block.
const SFunctionMethods* velk_interpreter_methods();
