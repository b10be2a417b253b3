// The "velk_interpreter" S-function: a Simulink block that runs a compiled
// VELK program. Globals ending in "_in" are fed from the input ports before
// the interpreter advances, globals ending in "_out" drive the output ports,
// and the block asks the variable-step solver for a hit at the program's next
// activation, so the model is sampled exactly at the program's event times.
// Prints, assignments, exit and failed assertions of the program are reported
// through MATLAB.
#define S_FUNCTION_NAME velk_interpreter
#define S_FUNCTION_LEVEL 2

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "simstruc.h"

#include "interp_api.h"
#include "program.h"

#ifdef VELK_SIMULINK_STANDIN
#include "velk_interpreter.h"
#endif

namespace {

// The simulation engine serves one block per MATLAB process with this MEX
// file, so the block's state is process-wide.
struct BlockState {
  InterpEnv* env = nullptr;
  std::vector<u32> inputsId;   // global ids, in input port order
  std::vector<u32> outputsId;  // global ids, in output port order
  // Per port, the symbol ids of the enumerators of an enumeration variable in
  // declaration order (the port carries the position), empty otherwise.
  std::vector<std::vector<u32>> inputsEnumerators;
  std::vector<std::vector<u32>> outputsEnumerators;
  char dbgLastChar = '\n';     // last character the program printed
  // While the image loads, the reader's own failure report calls the exit
  // callback; the load result is raised instead ("Error %d while loading").
  bool loading = false;
};
BlockState block;

#ifdef VELK_SIMULINK_STANDIN
// Chosen by a C++ host before set-up; the engine itself has no such choice.
VelkBlockHostSettings hostSettings;
#endif

constexpr unsigned kOptionsWord = 0x20080000u;
constexpr double kPsPerSecond = 1e12;
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

// ---------------------------------------------------------------------------
// Time conversions.

// Truncates t x 10^12; from 2^63 up the conversion goes through the upper
// half explicitly (a signed conversion would overflow there). Negative or
// NaN times give 0, times beyond the range the largest count.
u64 secondsToPs(double seconds) {
  const double ps = seconds * kPsPerSecond;
  if (!(ps > 0.0)) return 0;
  if (ps >= kTwoPow64) return ~u64{0};
  if (ps >= kTwoPow63) return static_cast<u64>(static_cast<s64>(ps - kTwoPow63)) | (u64{1} << 63);
  return static_cast<u64>(static_cast<s64>(ps));
}

double psToSeconds(u64 ps) { return static_cast<double>(ps) / kPsPerSecond; }

u64 currentTime(InterpEnv* env) { return env->ctx->gettime_callback(env); }

// "[<seconds>.<12-digit picoseconds>:<tag>] "
void printTimePrefix(InterpEnv* env, const char* tag) {
  const u64 now = currentTime(env);
  std::printf("[%lld.%012lld:%s] ", static_cast<long long>(time_ps_to_s(now)),
              static_cast<long long>(time_cut_sub_second(now)), tag);
}

// ---------------------------------------------------------------------------
// Port rule: "_in" makes an input; otherwise "_out" an output.

bool endsWith(const char* name, const char* suffix) {
  const size_t n = std::strlen(name);
  const size_t s = std::strlen(suffix);
  return n >= s && std::strcmp(name + n - s, suffix) == 0;
}

// The symbol ids of the enumerators of the variable's type, in declaration
// order; empty when the type is not an enumeration. Enumerators are SYM nodes
// (or FIELD_STATEMENTs naming one); ids are checked so that a damaged list
// ends the walk.
std::vector<u32> enumeratorsOf(const program* p, u32 varId) {
  std::vector<u32> symbols;
  const u32 typeId = p->globalVariableTable[varId].typeId;
  if (typeId >= p->infoProg->n_type || p->typeTable[typeId].baseType != TypeEnum) return symbols;
  const u32 nodes = p->infoProg->n_AST;
  for (u32 cell = p->typeTable[typeId].fields; cell < nodes && symbols.size() < nodes;
       cell = p->RAMprogram[cell].right) {
    if (p->RAMprogram[cell].op != LIST) break;
    u32 element = p->RAMprogram[cell].left;
    if (element < nodes && p->RAMprogram[element].op == FIELD_STATEMENT) {
      element = p->RAMprogram[element].left;
    }
    if (element >= nodes || p->RAMprogram[element].op != SYM) break;
    symbols.push_back(p->RAMprogram[element].value.id.id);
  }
  return symbols;
}

void buildPortLists(InterpEnv* env) {
  block.inputsId.clear();
  block.outputsId.clear();
  block.inputsEnumerators.clear();
  block.outputsEnumerators.clear();
  const program* p = env->program;
  for (u32 v = 0; v < p->infoProg->n_globalVariables; ++v) {
    const char* name = Variable_getName(p, v);
    if (endsWith(name, "_in")) {
      block.inputsId.push_back(v);
      block.inputsEnumerators.push_back(enumeratorsOf(p, v));
    } else if (endsWith(name, "_out")) {
      block.outputsId.push_back(v);
      block.outputsEnumerators.push_back(enumeratorsOf(p, v));
    }
  }
}

// ---------------------------------------------------------------------------
// Signal conversions.

// The value truncated to a 64-bit integer; values a signed conversion cannot
// hold go through the unsigned range (so a uint64 input keeps its bits) or
// saturate, NaN gives 0.
s64 truncateTo64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwoPow64) return static_cast<s64>(~u64{0});
  if (d >= kTwoPow63) {
    return static_cast<s64>(static_cast<u64>(static_cast<s64>(d - kTwoPow63)) | (u64{1} << 63));
  }
  if (d < -kTwoPow63) return INT64_MIN;
  return static_cast<s64>(d);
}

void writeFloat32(DataCell* cell, double d) {
  const float f = static_cast<float>(d);
  std::memcpy(cell, &f, sizeof f);
}

// An enumeration port carries the enumerator's position: the signal is
// rounded to the nearest integer (halves away from zero) and clamped to the
// enumerators, NaN taking the first.
u32 enumeratorForSignal(const std::vector<u32>& enumerators, double d) {
  const double last = static_cast<double>(enumerators.size() - 1);
  const double position = std::isnan(d) ? 0.0 : std::clamp(std::round(d), 0.0, last);
  return enumerators[static_cast<size_t>(position)];
}

// The position of the stored enumerator, -1 for a value that is none of them
// (the zero of a variable never assigned).
double signalForEnumerator(const std::vector<u32>& enumerators, DataCell stored) {
  const auto found = std::find(enumerators.begin(), enumerators.end(), stored);
  return found == enumerators.end() ? -1.0 : static_cast<double>(found - enumerators.begin());
}

// Straight into the variable's storage: no change callback, as a sample of a
// continuous signal is not an assignment by the program.
void storeInput(InterpEnv* env, size_t port, double d) {
  const TaggedValue target = env->program->globalVariableTable[block.inputsId[port]];
  if (target.value == nullptr) return;
  DataCell* cell = target.value;
  if (!block.inputsEnumerators[port].empty()) {
    *cell = enumeratorForSignal(block.inputsEnumerators[port], d);
    return;
  }
  const u64 bits = static_cast<u64>(truncateTo64(d));
  switch (builtin_primitiveKind(env, target.typeId)) {
    case TypeUInt8:
    case TypeSInt8:
      *cell = bits & 0xFFu;
      break;
    case TypeUInt16:
    case TypeSInt16:
      *cell = bits & 0xFFFFu;
      break;
    case TypeUInt32:
    case TypeSInt32:
      *cell = bits & 0xFFFFFFFFu;
      break;
    case TypeInt:
    case TypeSInt:
    case TypeUInt64:
    case TypeSInt64:
    case TypeTime:
      *cell = bits;
      break;
    case TypeBoolean:
      // Truncation towards zero is not 0 exactly when |d| >= 1.
      *cell = !std::isnan(d) && std::trunc(d) != 0.0 ? 1 : 0;
      break;
    case TypeF64:
      std::memcpy(cell, &d, sizeof d);
      break;
    default:
      writeFloat32(cell, d);
      break;
  }
}

// Integer outputs pass through float32, the precision the port format has
// always shown.
double viaFloat32(float f) { return static_cast<double>(f); }

double readOutput(InterpEnv* env, size_t port) {
  const TaggedValue source = env->program->globalVariableTable[block.outputsId[port]];
  if (source.value == nullptr) return 0.0;
  const DataCell cell = *source.value;
  if (!block.outputsEnumerators[port].empty()) {
    return signalForEnumerator(block.outputsEnumerators[port], cell);
  }
  switch (builtin_primitiveKind(env, source.typeId)) {
    case TypeUInt8:
    case TypeBoolean:
      return viaFloat32(static_cast<float>(static_cast<u8>(cell)));
    case TypeSInt8:
      return viaFloat32(static_cast<float>(static_cast<s8>(cell)));
    case TypeUInt16:
      return viaFloat32(static_cast<float>(static_cast<u16>(cell)));
    case TypeSInt16:
      return viaFloat32(static_cast<float>(static_cast<s16>(cell)));
    case TypeUInt32:
      return viaFloat32(static_cast<float>(static_cast<u32>(cell)));
    case TypeSInt32:
      return viaFloat32(static_cast<float>(static_cast<s32>(cell)));
    case TypeInt:
    case TypeUInt64:
    case TypeTime:
      return viaFloat32(static_cast<float>(cell));
    case TypeSInt:
    case TypeSInt64:
      return viaFloat32(static_cast<float>(static_cast<s64>(cell)));
    case TypeF64: {
      double d;
      std::memcpy(&d, source.value, sizeof d);
      return d;
    }
    default: {
      float f;
      std::memcpy(&f, source.value, sizeof f);
      return static_cast<double>(f);
    }
  }
}

// ---------------------------------------------------------------------------
// Interpreter callbacks.

int callback_print_char(InterpEnv* env, int c) {
#ifdef VELK_SIMULINK_STANDIN
  if (!hostSettings.tracePrint) return c;
#endif
  if (block.dbgLastChar == '\n') printTimePrefix(env, "PRINTLN");
  std::putchar(c);
  block.dbgLastChar = static_cast<char>(c);
  return c;
}

u32 callback_var_change(InterpEnv* env, u32 variableId, u32 kind, TaggedValue value) {
#ifdef VELK_SIMULINK_STANDIN
  if (hostSettings.variableChanged != nullptr)
    hostSettings.variableChanged(hostSettings.user, env, variableId, kind, value);
  if (!hostSettings.traceAssign) return 0;
#endif
  const char* name = Variable_getName(env->program, variableId);
  if (kind == 0) {
    printTimePrefix(env, "ASSIGN");
    std::printf("Assign %s new value: ", name);
  } else if (kind == 1) {
    printTimePrefix(env, "ASSIGN");
    std::printf("Pushed %s new value: ", name);
  }
  display_value(env, value);
  std::putchar('\n');
  return 0;
}

// A line the program left open is ended before an error is raised, so the
// host's report starts on a line of its own.
void endOpenLine() {
  if (block.dbgLastChar != '\n') std::putchar('\n');
  block.dbgLastChar = '\n';
  std::fflush(stdout);
}

void callback_exit(InterpEnv* /*env*/, size_t line, int /*code*/) {
  std::fflush(stdout);
  if (block.loading) return;
  endOpenLine();
  if (line == 0) mexErrMsgIdAndTxt("VELK:interpreter", "EXIT");
  mexErrMsgIdAndTxt("VELK:interpreter", "EXIT AT LINE %u", static_cast<unsigned>(line));
}

void callback_assert(InterpEnv* /*env*/, bool condition, const char* file, size_t line,
                     const char* function, const char* expression) {
  if (condition) return;
  endOpenLine();
  mexErrMsgIdAndTxt("VELK:interpreter", "%s:%d: %s: Assertion '%s' failed", file,
                    static_cast<int>(line), function, expression);
}

const char* invalidOperationName(u32 code) {
  const char* name = interp_invalidOperationName(code, InvalidOpWording::Trace);
  return name != nullptr ? name : "invalid operation";
}

// A run-time error of the program is reported and the run goes on with the
// value the library substitutes; stopping the simulation for it would make a
// model depend on the program never dividing by zero.
TaggedValue callback_invalid_op(InterpEnv* env, AST* node, u32 code) {
  printTimePrefix(env, "INVALID_OP");
  if (node != nullptr) {
    std::printf("%s at line %u\n", invalidOperationName(code), AST_line(env->program, node));
  } else {
    std::printf("%s\n", invalidOperationName(code));
  }
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

// ---------------------------------------------------------------------------
// S-function methods.

// A fresh environment for every set-up: the previous one (if any) is freed.
void createEnvironment() {
  interp_stop(block.env);
  block.env = interp_create();
  block.dbgLastChar = '\n';
  env_on_print(block.env, callback_print_char);
  env_on_exit(block.env, callback_exit);
  env_on_assert(block.env, callback_assert);
  interpreter_on_invalid_op(block.env, callback_invalid_op);
#ifdef VELK_SIMULINK_STANDIN
  env_on_random(block.env, hostSettings.randomSource);
  interp_set_interrupt(block.env, hostSettings.interrupt);
  interp_set_loop_limit(block.env, hostSettings.loopTurnLimit);
  block.env->ctx->schedObserver = hostSettings.observer;
#endif
}

void loadImage(SimStruct* S) {
  char* name = mxArrayToString(ssGetSFcnParam(S, 0));
  block.loading = true;
  const u32 result = interp_load(block.env, name == nullptr ? "" : name);
  block.loading = false;
  mxFree(name);
  if (result != 0) mexErrMsgIdAndTxt("VELK:parameter", "Error %d while loading", int(result));
}

void mdlInitializeSizes(SimStruct* S) {
  ssSetNumSFcnParams(S, 1);
  if (ssGetNumSFcnParams(S) != ssGetSFcnParamsCount(S)) return;

  createEnvironment();
  loadImage(S);
#ifdef VELK_SIMULINK_STANDIN
  if (hostSettings.loaded != nullptr) hostSettings.loaded(hostSettings.user, block.env);
#endif
  buildPortLists(block.env);
  env_on_any_variable_change(block.env, callback_var_change);
  interp_init(block.env);

  const int_T inputs = static_cast<int_T>(block.inputsId.size());
  if (!ssSetNumInputPorts(S, inputs)) return;
  for (int_T i = 0; i < inputs; ++i) {
    ssSetInputPortWidth(S, i, DYNAMICALLY_SIZED);
    ssSetInputPortDirectFeedThrough(S, i, 1);
  }
  const int_T outputs = static_cast<int_T>(block.outputsId.size());
  if (!ssSetNumOutputPorts(S, outputs)) return;
  for (int_T i = 0; i < outputs; ++i) ssSetOutputPortWidth(S, i, DYNAMICALLY_SIZED);

  ssSetNumSampleTimes(S, 1);
  ssSetOptions(S, kOptionsWord);
}

void mdlInitializeSampleTimes(SimStruct* S) {
  ssSetSampleTime(S, 0, VARIABLE_SAMPLE_TIME);
  ssSetOffsetTime(S, 0, 0.0);
}

void mdlGetTimeOfNextVarHit(SimStruct* S) {
  InterpEnv* env = block.env;
  for (size_t i = 0; i < block.inputsId.size(); ++i) {
    InputRealPtrsType u = ssGetInputPortRealSignalPtrs(S, static_cast<int_T>(i));
    storeInput(env, i, *u[0]);
  }

#ifdef VELK_SIMULINK_STANDIN
  // The loop bound is per hit: a long simulation may take any number of turns.
  if (hostSettings.loopTurnLimit != 0) interp_set_loop_limit(env, hostSettings.loopTurnLimit);
#endif
  const time_T t = ssGetT(S);
  u64 bound = secondsToPs(t);
  if (bound != ~u64{0}) bound += 1;
#ifdef VELK_SIMULINK_STANDIN
  // A host that hides the block's lines is spared formatting them at every hit.
  const bool traced = mexHost_isPrintEnabled();
#else
  constexpr bool traced = true;
#endif
  if (traced) {
    mexPrintf("OUT:SimulinkTime is %f\n", t);
    mexPrintf("OUT:run until velk_time %llu\n", static_cast<unsigned long long>(bound));
  }
  interp_run_until(env, bound);

  const s64 next = interp_next_hit(env);
  const double absolute = psToSeconds(static_cast<u64>(next) + currentTime(env));
  if (traced) {
    mexPrintf("NEXT:velk next hit %f\n", static_cast<double>(next) / kPsPerSecond);
    mexPrintf("NEXT:velk absolute next hit %f\n", absolute);
    mexPrintf("NEXT:simulink time is %f\n", t);
    mexPrintf("NEXT:Next hit time %f\n", absolute);
  }
#ifdef VELK_SIMULINK_STANDIN
  if (hostSettings.flushEachHit) std::fflush(stdout);
#else
  std::fflush(stdout);
#endif
  ssSetTNext(S, absolute);
}

void mdlOutputs(SimStruct* S, int_T /*tid*/) {
  for (size_t i = 0; i < block.outputsId.size(); ++i) {
    real_T* y = ssGetOutputPortRealSignal(S, static_cast<int_T>(i));
    y[0] = readOutput(block.env, i);
  }
}

// The environment stays until the MEX file is unloaded (or the next set-up
// replaces it).
void mdlTerminate(SimStruct* /*S*/) {}

}  // namespace

#ifdef VELK_SIMULINK_STANDIN
void velk_interpreter_configure(const VelkBlockHostSettings& settings) { hostSettings = settings; }

void velk_interpreter_endOpenLine() { endOpenLine(); }

bool velk_interpreter_loopLimitReached() { return interp_loop_limit_reached(block.env); }

// The stand-in engine finds the methods through this table.
const SFunctionMethods* velk_interpreter_methods() {
  static const SFunctionMethods methods{"velk_interpreter", mdlInitializeSizes,
                                        mdlInitializeSampleTimes, mdlGetTimeOfNextVarHit,
                                        mdlOutputs, mdlTerminate};
  return &methods;
}
#else
#define MDL_GET_TIME_OF_NEXT_VAR_HIT
#ifdef MATLAB_MEX_FILE
#include "simulink.c"
#else
#include "cg_sfun.h"
#endif
#endif
