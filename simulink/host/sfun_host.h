// The host side of the stand-in platform: what the simulation engine does to
// an S-function block. A host creates the block's SimStruct with its
// parameters, calls the block's methods through its method table, resolves
// dynamically sized ports, sets the current time and the input signals, and
// reads the outputs and the next hit time. Any method may end with a
// MexError (mexErrMsgIdAndTxt); a host catches it where MATLAB would report
// the error.
//
// Typical run (variable-step):
//   auto S = sfunHost_create("blk", {"prog.ast"});
//   const SFunctionMethods& m = *velk_interpreter_methods();
//   m.initializeSizes(S.get());
//   if (!sfunHost_completeSizes(S.get(), &problem)) ... // parameter count etc.
//   m.initializeSampleTimes(S.get());
//   for (t = 0; t <= stop; t = sfunHost_getNextHit(S.get())) {
//     sfunHost_setTime(S.get(), t);  sfunHost_setInput(S.get(), i, v);
//     m.getTimeOfNextVarHit(S.get());  m.outputs(S.get(), 0);
//     sfunHost_getOutput(S.get(), j);
//   }
//   m.terminate(S.get());
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "simstruc.h"

// The methods an S-function supplies; a method it does not define is null.
struct SFunctionMethods {
  const char* name;
  void (*initializeSizes)(SimStruct* S);
  void (*initializeSampleTimes)(SimStruct* S);
  void (*getTimeOfNextVarHit)(SimStruct* S);  // null without variable hits
  void (*outputs)(SimStruct* S, int_T tid);
  void (*terminate)(SimStruct* S);
};

// A block whose parameters are character arrays holding the given texts.
std::unique_ptr<SimStruct> sfunHost_create(const std::string& path,
                                           const std::vector<std::string>& stringParameters);
// After initializeSizes: checks what the engine checks (declared parameter
// count equals the given count, no error status) and gives every dynamically
// sized port width 1, allocating its signal (zeros). False with the reason in
// problem when the set-up cannot go on.
bool sfunHost_completeSizes(SimStruct* S, std::string* problem);
void sfunHost_setTime(SimStruct* S, time_T t);
// Sets element 0 of an input port; false for an unknown port.
bool sfunHost_setInput(SimStruct* S, int_T port, real_T value);
// Element 0 of an output port; 0 for an unknown port.
real_T sfunHost_getOutput(const SimStruct* S, int_T port);
time_T sfunHost_getNextHit(const SimStruct* S);
