// The Simulink S-function interface as VELK's co-simulation block uses it,
// implemented by our own stand-in host. The block includes this header after
// defining S_FUNCTION_NAME and S_FUNCTION_LEVEL, exactly as it would with the
// real SDK, and calls the accessors by their public names.
//
// What the stand-in models: block parameters (MATLAB arrays), input and output
// ports (width, direct feedthrough, one double per element), sample times,
// the options word, the current simulation time, the next variable hit, the
// error status. The host side (sfun_host.h) creates blocks, resolves
// dynamically sized ports, sets times and signals and calls the methods.
//
// The engine can also run inside a MEX function of a real host (velk_run in
// MATLAB or Octave; VELK_SFUN_IN_MEX defined): mxArray and the MEX calls are
// then the host's, and the block's own MEX calls go through the engine first
// (below), so that a block error ends only the block method and the MEX
// function reports it to its host once it has cleaned up.
#pragma once
#include <memory>
#include <string>
#include <vector>

// Angle brackets: the MEX interface of whichever host is on the include path
// (our stand-in's mex.h beside this file, or the real host's), never simply
// the file next to this one. A real host's build puts host/in_mex on the
// path rather than host/, so the stand-in's cannot be found there.
#include <mex.h>

#ifdef VELK_SFUN_IN_MEX
#include "sfun_mex.h"
#endif

using real_T = double;
using time_T = double;
using int_T = int;
using uint_T = unsigned int;
using boolean_T = unsigned char;

// Signal access for inputs: an array of pointers, one per element.
using InputRealPtr = const real_T*;
using InputRealPtrsType = InputRealPtr*;
using InputPtrsType = const void**;

constexpr int_T DYNAMICALLY_SIZED = -1;
constexpr time_T VARIABLE_SAMPLE_TIME = -2.0;
constexpr time_T INHERITED_SAMPLE_TIME = -1.0;

struct SimStructPort {
  int_T width = 0;  // DYNAMICALLY_SIZED until the host resolves it
  bool directFeedThrough = false;
  std::vector<real_T> signal;            // width elements once resolved
  std::vector<const real_T*> signalPtrs;  // one pointer per input element
  std::vector<const void*> signalVoidPtrs;
};

// Block parameters are arrays the engine owns and destroys with the block.
struct SimStructParamDeleter {
  void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using SimStructParam = std::unique_ptr<mxArray, SimStructParamDeleter>;

struct SimStruct {
  std::string path;                  // block path, for messages
  std::vector<SimStructParam> params;  // the parameters the user gave
  int_T numSFcnParams = 0;           // the count the block declares
  std::vector<SimStructPort> inputs;
  std::vector<SimStructPort> outputs;
  int_T maxPorts = -1;               // host limit on port counts; -1: none
  int_T numSampleTimes = 0;
  std::vector<time_T> sampleTimes;
  std::vector<time_T> offsetTimes;
  uint_T options = 0;
  time_T t = 0.0;                    // current simulation time
  time_T tNext = 0.0;                // next variable hit, set by the block
  const char* errorStatus = nullptr;
};

// Parameters.
void ssSetNumSFcnParams(SimStruct* S, int_T count);
int_T ssGetNumSFcnParams(const SimStruct* S);
int_T ssGetSFcnParamsCount(const SimStruct* S);
const mxArray* ssGetSFcnParam(const SimStruct* S, int_T index);

// Ports. The setters of the counts return 0 when the host refuses the count.
int_T ssSetNumInputPorts(SimStruct* S, int_T count);
int_T ssSetNumOutputPorts(SimStruct* S, int_T count);
int_T ssGetNumInputPorts(const SimStruct* S);
int_T ssGetNumOutputPorts(const SimStruct* S);
int_T ssSetInputPortWidth(SimStruct* S, int_T port, int_T width);
int_T ssSetOutputPortWidth(SimStruct* S, int_T port, int_T width);
int_T ssGetInputPortWidth(const SimStruct* S, int_T port);
int_T ssGetOutputPortWidth(const SimStruct* S, int_T port);
void ssSetInputPortDirectFeedThroughFcn(SimStruct* S, int_T port, int_T direct);
int_T ssGetInputPortDirectFeedThrough(const SimStruct* S, int_T port);
#define ssSetInputPortDirectFeedThrough(S, port, direct) \
  ssSetInputPortDirectFeedThroughFcn((S), (port), (direct))

// Signals: input element pointers, output element storage.
InputRealPtrsType ssGetInputPortRealSignalPtrs(SimStruct* S, int_T port);
InputPtrsType ssGetInputPortSignalPtrsFcn(SimStruct* S, int_T port);
#define ssGetInputPortSignalPtrs(S, port) ssGetInputPortSignalPtrsFcn((S), (port))
real_T* ssGetOutputPortRealSignal(SimStruct* S, int_T port);
void* ssGetOutputPortSignal(SimStruct* S, int_T port);

// Sample times and options.
void ssSetNumSampleTimes(SimStruct* S, int_T count);
int_T ssGetNumSampleTimes(const SimStruct* S);
void ssSetSampleTime(SimStruct* S, int_T index, time_T period);
void ssSetOffsetTime(SimStruct* S, int_T index, time_T offset);
time_T ssGetSampleTime(const SimStruct* S, int_T index);
time_T ssGetOffsetTime(const SimStruct* S, int_T index);
void ssSetOptions(SimStruct* S, uint_T options);
uint_T ssGetOptions(const SimStruct* S);

// Time.
time_T ssGetT(const SimStruct* S);
void ssSetTNext(SimStruct* S, time_T next);
time_T ssGetTNext(const SimStruct* S);

// Error status (a message the host reports after the method returns).
void ssSetErrorStatus(SimStruct* S, const char* message);
const char* ssGetErrorStatus(const SimStruct* S);

// Marker the block source uses to tell the stand-in from the real SDK.
#define VELK_SIMULINK_STANDIN 1
