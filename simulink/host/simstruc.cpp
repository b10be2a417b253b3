// The stand-in's SimStruct accessors. Port and sample-time indexes come from
// the block; an index out of range is a block bug, reported by an exception
// rather than by writing outside a table.
#include "simstruc.h"

#include <stdexcept>

namespace {

SimStructPort& portAt(std::vector<SimStructPort>& ports, int_T index) {
  if (index < 0 || static_cast<size_t>(index) >= ports.size())
    throw std::out_of_range("S-function port index out of range");
  return ports[static_cast<size_t>(index)];
}

const SimStructPort& portAt(const std::vector<SimStructPort>& ports, int_T index) {
  if (index < 0 || static_cast<size_t>(index) >= ports.size())
    throw std::out_of_range("S-function port index out of range");
  return ports[static_cast<size_t>(index)];
}

int_T setPortCount(const SimStruct* S, std::vector<SimStructPort>& ports, int_T count) {
  if (count < 0 || (S->maxPorts >= 0 && count > S->maxPorts)) return 0;
  ports.assign(static_cast<size_t>(count), SimStructPort{});
  return 1;
}

size_t sampleIndex(const SimStruct* S, int_T index) {
  if (index < 0 || index >= S->numSampleTimes)
    throw std::out_of_range("S-function sample time index out of range");
  return static_cast<size_t>(index);
}

}  // namespace

void ssSetNumSFcnParams(SimStruct* S, int_T count) { S->numSFcnParams = count; }
int_T ssGetNumSFcnParams(const SimStruct* S) { return S->numSFcnParams; }
int_T ssGetSFcnParamsCount(const SimStruct* S) { return static_cast<int_T>(S->params.size()); }

const mxArray* ssGetSFcnParam(const SimStruct* S, int_T index) {
  if (index < 0 || static_cast<size_t>(index) >= S->params.size()) return nullptr;
  return S->params[static_cast<size_t>(index)].get();
}

int_T ssSetNumInputPorts(SimStruct* S, int_T count) { return setPortCount(S, S->inputs, count); }
int_T ssSetNumOutputPorts(SimStruct* S, int_T count) { return setPortCount(S, S->outputs, count); }
int_T ssGetNumInputPorts(const SimStruct* S) { return static_cast<int_T>(S->inputs.size()); }
int_T ssGetNumOutputPorts(const SimStruct* S) { return static_cast<int_T>(S->outputs.size()); }

int_T ssSetInputPortWidth(SimStruct* S, int_T port, int_T width) {
  portAt(S->inputs, port).width = width;
  return 1;
}
int_T ssSetOutputPortWidth(SimStruct* S, int_T port, int_T width) {
  portAt(S->outputs, port).width = width;
  return 1;
}
int_T ssGetInputPortWidth(const SimStruct* S, int_T port) { return portAt(S->inputs, port).width; }
int_T ssGetOutputPortWidth(const SimStruct* S, int_T port) {
  return portAt(S->outputs, port).width;
}

void ssSetInputPortDirectFeedThroughFcn(SimStruct* S, int_T port, int_T direct) {
  portAt(S->inputs, port).directFeedThrough = direct != 0;
}
int_T ssGetInputPortDirectFeedThrough(const SimStruct* S, int_T port) {
  return portAt(S->inputs, port).directFeedThrough ? 1 : 0;
}

InputRealPtrsType ssGetInputPortRealSignalPtrs(SimStruct* S, int_T port) {
  return portAt(S->inputs, port).signalPtrs.data();
}
InputPtrsType ssGetInputPortSignalPtrsFcn(SimStruct* S, int_T port) {
  return portAt(S->inputs, port).signalVoidPtrs.data();
}
real_T* ssGetOutputPortRealSignal(SimStruct* S, int_T port) {
  return portAt(S->outputs, port).signal.data();
}
void* ssGetOutputPortSignal(SimStruct* S, int_T port) {
  return portAt(S->outputs, port).signal.data();
}

void ssSetNumSampleTimes(SimStruct* S, int_T count) {
  S->numSampleTimes = count < 0 ? 0 : count;
  S->sampleTimes.assign(static_cast<size_t>(S->numSampleTimes), 0.0);
  S->offsetTimes.assign(static_cast<size_t>(S->numSampleTimes), 0.0);
}
int_T ssGetNumSampleTimes(const SimStruct* S) { return S->numSampleTimes; }
void ssSetSampleTime(SimStruct* S, int_T index, time_T period) {
  S->sampleTimes[sampleIndex(S, index)] = period;
}
void ssSetOffsetTime(SimStruct* S, int_T index, time_T offset) {
  S->offsetTimes[sampleIndex(S, index)] = offset;
}
time_T ssGetSampleTime(const SimStruct* S, int_T index) {
  return S->sampleTimes[sampleIndex(S, index)];
}
time_T ssGetOffsetTime(const SimStruct* S, int_T index) {
  return S->offsetTimes[sampleIndex(S, index)];
}
void ssSetOptions(SimStruct* S, uint_T options) { S->options = options; }
uint_T ssGetOptions(const SimStruct* S) { return S->options; }

time_T ssGetT(const SimStruct* S) { return S->t; }
void ssSetTNext(SimStruct* S, time_T next) { S->tNext = next; }
time_T ssGetTNext(const SimStruct* S) { return S->tNext; }

void ssSetErrorStatus(SimStruct* S, const char* message) { S->errorStatus = message; }
const char* ssGetErrorStatus(const SimStruct* S) { return S->errorStatus; }
