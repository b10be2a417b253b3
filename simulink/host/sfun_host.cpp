// The engine's side of the stand-in: creating a block, resolving its ports
// after set-up, and driving times and signals.
#include "sfun_host.h"

namespace {

// Dynamically sized ports take width 1 (the engine would propagate the width
// of the connected signal; the stand-in connects scalars).
void resolvePorts(std::vector<SimStructPort>& ports, bool input) {
  for (SimStructPort& port : ports) {
    if (port.width == DYNAMICALLY_SIZED) port.width = 1;
    if (port.width < 0) port.width = 0;
    port.signal.assign(static_cast<size_t>(port.width), 0.0);
    port.signalPtrs.clear();
    port.signalVoidPtrs.clear();
    if (!input) continue;
    for (const real_T& element : port.signal) {
      port.signalPtrs.push_back(&element);
      port.signalVoidPtrs.push_back(&element);
    }
  }
}

}  // namespace

std::unique_ptr<SimStruct> sfunHost_create(const std::string& path,
                                           const std::vector<std::string>& stringParameters) {
  auto S = std::make_unique<SimStruct>();
  S->path = path;
  for (const std::string& text : stringParameters)
    S->params.emplace_back(mxCreateString(text.c_str()));
  return S;
}

bool sfunHost_completeSizes(SimStruct* S, std::string* problem) {
  if (ssGetErrorStatus(S) != nullptr) {
    if (problem != nullptr) *problem = ssGetErrorStatus(S);
    return false;
  }
  if (ssGetNumSFcnParams(S) != ssGetSFcnParamsCount(S)) {
    if (problem != nullptr) {
      *problem = "block '" + S->path + "' expects " + std::to_string(ssGetNumSFcnParams(S)) +
                 " parameter(s) but " + std::to_string(ssGetSFcnParamsCount(S)) +
                 " were given";
    }
    return false;
  }
  resolvePorts(S->inputs, true);
  resolvePorts(S->outputs, false);
  return true;
}

void sfunHost_setTime(SimStruct* S, time_T t) { S->t = t; }

bool sfunHost_setInput(SimStruct* S, int_T port, real_T value) {
  if (port < 0 || port >= ssGetNumInputPorts(S)) return false;
  SimStructPort& p = S->inputs[static_cast<size_t>(port)];
  if (p.signal.empty()) return false;
  p.signal[0] = value;
  return true;
}

real_T sfunHost_getOutput(const SimStruct* S, int_T port) {
  if (port < 0 || port >= ssGetNumOutputPorts(S)) return 0.0;
  const SimStructPort& p = S->outputs[static_cast<size_t>(port)];
  return p.signal.empty() ? 0.0 : p.signal[0];
}

time_T sfunHost_getNextHit(const SimStruct* S) { return ssGetTNext(S); }
