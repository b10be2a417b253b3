// The "velk_run" MEX function: runs a compiled VELK program in the
// co-simulation block from a MATLAB or Octave script, the way velk_sim does
// on the command line, and returns what the output ports showed at each hit.
//
//   [t, y, names] = velk_run(image, 'StopTime', 2, 'Inputs', {'enable_in', 1},
//                            'InputSignals', [times, values], 'Quiet', true)
//
// The block's own code runs under our engine (simulink/host) inside this MEX
// function: set-up, a hit at time 0 and one at every next hit the block asks
// for while it is not later than the stop time, each hit writing the inputs
// and reading the outputs. Everything the block and the program print reaches
// the host's console through mexPrintf. Errors carry the block's identifiers
// (VELK:parameter, VELK:interpreter) or velk_run's own.
#include <mex.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/sfun_host.h"
#include "velk_interpreter.h"
#include "velk_ports.h"

namespace {

constexpr double kDefaultStopTime = 10.0;

MexError badArgument(const std::string& message) { return {"velk_run:badArgument", message}; }

std::string join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// ---- Arguments ----

// Input values over time: row r holds times[r] and `columns` values.
struct SignalTable {
  size_t columns = 0;
  std::vector<double> times;   // ascending, equal times allowed
  std::vector<double> values;  // row by row
};

// The call's options, as given.
struct RunOptions {
  std::string image;
  double stopTime = kDefaultStopTime;
  bool quiet = false;
  std::vector<std::pair<std::string, double>> constants;  // Inputs, in order given
  bool hasSignals = false;
  SignalTable signals;
  bool hasSignalNames = false;
  std::vector<std::string> signalNames;
};

// A character row vector (or an empty text) as text; false for anything else.
bool readText(const mxArray* array, std::string* text) {
  if (array == nullptr || !mxIsChar(array) || mxGetM(array) > 1) return false;
  char* chars = mxArrayToString(array);
  if (chars == nullptr) return false;
  *text = chars;
  mxFree(chars);
  return true;
}

// A real, finite numeric or logical scalar.
bool readScalar(const mxArray* array, double* value) {
  if (array == nullptr || mxGetNumberOfElements(array) != 1 || mxIsComplex(array) ||
      !(mxIsNumeric(array) || mxIsLogical(array))) {
    return false;
  }
  *value = mxGetScalar(array);
  return std::isfinite(*value);
}

void readStopTime(const mxArray* value, RunOptions* options) {
  if (!readScalar(value, &options->stopTime) || options->stopTime < 0.0)
    throw badArgument("StopTime must be a number of seconds >= 0");
}

void readQuiet(const mxArray* value, RunOptions* options) {
  double flag = 0.0;
  if (!readScalar(value, &flag)) throw badArgument("Quiet must be true or false");
  options->quiet = flag != 0.0;
}

// {name, value, name, value, ...}
void readInputs(const mxArray* value, RunOptions* options) {
  const char* shape = "Inputs must be a cell array {name, value, ...}";
  if (!mxIsCell(value) || mxGetNumberOfElements(value) % 2 != 0) throw badArgument(shape);
  for (size_t k = 0; k < mxGetNumberOfElements(value); k += 2) {
    std::string name;
    double number = 0.0;
    if (!readText(mxGetCell(value, k), &name)) throw badArgument(shape);
    if (!readScalar(mxGetCell(value, k + 1), &number))
      throw badArgument("the value of input '" + name + "' must be a real, finite scalar");
    options->constants.emplace_back(name, number);
  }
}

// [times, values]: the times in column 1, ascending; one more column per
// signal. An empty matrix with columns still says how many signals it holds.
void readInputSignals(const mxArray* value, RunOptions* options) {
  if (!mxIsDouble(value) || mxIsComplex(value) || mxIsSparse(value) ||
      mxGetNumberOfDimensions(value) != 2 || mxGetN(value) < 1) {
    throw badArgument("InputSignals must be a real matrix [times, values]");
  }
  const size_t rows = mxGetM(value);
  SignalTable& table = options->signals;
  table.columns = mxGetN(value) - 1;
  const double* data = mxGetPr(value);
  for (size_t r = 0; r < rows; r++) {
    const std::string where = "InputSignals row " + std::to_string(r + 1);
    for (size_t c = 0; c <= table.columns; c++) {
      if (!std::isfinite(data[c * rows + r])) throw badArgument(where + " is not all finite");
      if (c > 0) table.values.push_back(data[c * rows + r]);
    }
    if (!table.times.empty() && data[r] < table.times.back())
      throw badArgument(where + ": time goes backwards");
    table.times.push_back(data[r]);
  }
  options->hasSignals = true;
}

// {name, ...}: the input port of each value column of InputSignals.
void readSignalNames(const mxArray* value, RunOptions* options) {
  const char* shape = "SignalNames must be a cell array of input port names";
  if (!mxIsCell(value)) throw badArgument(shape);
  for (size_t k = 0; k < mxGetNumberOfElements(value); k++) {
    std::string name;
    if (!readText(mxGetCell(value, k), &name)) throw badArgument(shape);
    options->signalNames.push_back(name);
  }
  options->hasSignalNames = true;
}

const char kOptionList[] = "StopTime, Inputs, InputSignals, SignalNames, Quiet";

RunOptions readArguments(int nrhs, const mxArray* prhs[]) {
  RunOptions options;
  if (nrhs < 1 || !readText(prhs[0], &options.image))
    throw badArgument("the first argument must be the image file name");
  if ((nrhs - 1) % 2 != 0) throw badArgument("options come in name/value pairs");
  std::vector<std::string> seen;
  for (int k = 1; k < nrhs; k += 2) {
    std::string name;
    if (!readText(prhs[k], &name)) throw badArgument("option names must be character strings");
    const std::string key = lowerCase(name);
    if (std::find(seen.begin(), seen.end(), key) != seen.end())
      throw badArgument("option '" + name + "' given twice");
    seen.push_back(key);
    const mxArray* value = prhs[k + 1];
    if (key == "stoptime") {
      readStopTime(value, &options);
    } else if (key == "quiet") {
      readQuiet(value, &options);
    } else if (key == "inputs") {
      readInputs(value, &options);
    } else if (key == "inputsignals") {
      readInputSignals(value, &options);
    } else if (key == "signalnames") {
      readSignalNames(value, &options);
    } else {
      throw badArgument("unknown option '" + name + "' (options: " + kOptionList + ")");
    }
  }
  if (options.hasSignalNames && !options.hasSignals)
    throw badArgument("SignalNames needs InputSignals");
  return options;
}

// ---- Inputs over time ----

// Where each input port takes its value from: a constant (0 unless Inputs
// gives one), or a column of InputSignals held from row to row.
class InputSchedule {
 public:
  InputSchedule(const RunOptions& options, const std::vector<std::string>& ports)
      : table_(options.signals), constants_(ports.size(), 0.0), columns_(ports.size(), -1) {
    std::vector<std::string> unknown;
    std::vector<bool> constant(ports.size(), false);
    for (const auto& [name, value] : options.constants) {
      const int port = find(ports, name, &unknown);
      if (port < 0) continue;
      if (constant[port]) throw badArgument("input '" + name + "' given twice in Inputs");
      constant[port] = true;
      constants_[port] = value;
    }
    if (options.hasSignals) bindSignals(options, ports, constant, &unknown);
    if (!unknown.empty()) {
      throw MexError{"velk_run:unknownInput",
                     "unknown input port(s): " + join(unknown) + " (the image's inputs: " +
                         (ports.empty() ? "none" : join(ports)) + ")"};
    }
  }

  // The value of every input port at time t: a signal takes the last row
  // whose time is not later than t, and 0 before its first row.
  std::vector<double> at(double t) const {
    std::vector<double> values = constants_;
    const size_t held = static_cast<size_t>(
        std::upper_bound(table_.times.begin(), table_.times.end(), t) - table_.times.begin());
    for (size_t port = 0; port < values.size(); port++) {
      if (columns_[port] < 0) continue;
      values[port] =
          held == 0 ? 0.0 : table_.values[(held - 1) * table_.columns + size_t(columns_[port])];
    }
    return values;
  }

 private:
  static int find(const std::vector<std::string>& ports, const std::string& name,
                  std::vector<std::string>* unknown) {
    const auto found = std::find(ports.begin(), ports.end(), name);
    if (found != ports.end()) return static_cast<int>(found - ports.begin());
    if (std::find(unknown->begin(), unknown->end(), name) == unknown->end())
      unknown->push_back(name);
    return -1;
  }

  // Value column k feeds SignalNames{k}, or without SignalNames the k-th
  // input port that Inputs does not give.
  void bindSignals(const RunOptions& options, const std::vector<std::string>& ports,
                   const std::vector<bool>& constant, std::vector<std::string>* unknown) {
    std::vector<std::string> names = options.signalNames;
    if (!options.hasSignalNames) {
      for (size_t port = 0; port < ports.size(); port++)
        if (!constant[port]) names.push_back(ports[port]);
    }
    if (names.size() != table_.columns) {
      throw badArgument("InputSignals has " + std::to_string(table_.columns) +
                        " value column(s) for " + std::to_string(names.size()) +
                        " input port(s)" + (names.empty() ? "" : " (" + join(names) + ")"));
    }
    for (size_t c = 0; c < names.size(); c++) {
      const int port = find(ports, names[c], unknown);
      if (port < 0) continue;
      if (constant[port])
        throw badArgument("input '" + names[c] + "' given both in Inputs and InputSignals");
      if (columns_[port] >= 0) throw badArgument("input '" + names[c] + "' given twice");
      columns_[port] = static_cast<int>(c);
    }
  }

  SignalTable table_;
  std::vector<double> constants_;
  std::vector<int> columns_;  // value column per port, -1 for a constant
};

// ---- Running ----

// What the output ports showed at each hit.
struct RunResult {
  std::vector<double> times;
  std::vector<double> outputs;  // hit by hit, one value per output port
  std::vector<std::string> names;
};

std::string describeTimes(double next, double t) {
  char text[160];
  std::snprintf(text, sizeof text, "next hit time %.17g is not later than the current time %.17g",
                next, t);
  return text;
}

// Set-up, the hits up to the stop time and the end, as the variable-step
// solver drives the block (and as velk_sim does).
void runBlock(const RunOptions& options, const InputSchedule& schedule, RunResult* result) {
  const SFunctionMethods& block = *velk_interpreter_methods();
  std::unique_ptr<SimStruct> S = sfunHost_create("velk_run/velk_interpreter", {options.image});
  block.initializeSizes(S.get());
  std::string problem;
  if (!sfunHost_completeSizes(S.get(), &problem)) throw MexError{"velk_run:setup", problem};
  block.initializeSampleTimes(S.get());
  for (double t = 0.0; t <= options.stopTime;) {
    sfunHost_setTime(S.get(), t);
    const std::vector<double> inputs = schedule.at(t);
    for (size_t port = 0; port < inputs.size(); port++)
      sfunHost_setInput(S.get(), static_cast<int_T>(port), inputs[port]);
    block.getTimeOfNextVarHit(S.get());
    block.outputs(S.get(), 0);
    if (ssGetErrorStatus(S.get()) != nullptr)
      throw MexError{"velk_run:block", ssGetErrorStatus(S.get())};
    result->times.push_back(t);
    for (int_T port = 0; port < ssGetNumOutputPorts(S.get()); port++)
      result->outputs.push_back(sfunHost_getOutput(S.get(), port));
    const double next = sfunHost_getNextHit(S.get());
    // The engine refuses a hit that does not move time forward.
    if (!(next > t)) throw MexError{"velk_run:nextHit", describeTimes(next, t)};
    t = next;
  }
  block.terminate(S.get());
}

void run(int nlhs, int nrhs, const mxArray* prhs[], RunResult* result) {
  if (nlhs > 3) throw badArgument("velk_run returns at most three results [t, y, names]");
  const RunOptions options = readArguments(nrhs, prhs);
  mexHost_setPrintEnabled(!options.quiet);
  // From here on the library may print (the image reader reports a file it
  // cannot read).
  const SfunMexConsole console;
  std::vector<std::string> inputs;
  const int loaded = velk_ports_find(options.image.c_str(), &inputs, &result->names);
  if (loaded != 0)
    throw MexError{"VELK:parameter", "Error " + std::to_string(loaded) + " while loading"};
  const InputSchedule schedule(options, inputs);
  runBlock(options, schedule, result);
}

// ---- Results ----

mxArray* columnOf(const std::vector<double>& values) {
  mxArray* array = mxCreateDoubleMatrix(values.size(), 1, mxREAL);
  std::copy(values.begin(), values.end(), mxGetPr(array));
  return array;
}

// One row per hit, one column per output port.
mxArray* outputMatrix(const RunResult& result) {
  const size_t hits = result.times.size();
  const size_t ports = result.names.size();
  mxArray* array = mxCreateDoubleMatrix(hits, ports, mxREAL);
  double* data = mxGetPr(array);
  for (size_t h = 0; h < hits; h++)
    for (size_t p = 0; p < ports; p++) data[p * hits + h] = result.outputs[h * ports + p];
  return array;
}

mxArray* namesOf(const std::vector<std::string>& names) {
  mxArray* cell = mxCreateCellMatrix(1, names.size());
  for (size_t k = 0; k < names.size(); k++) mxSetCell(cell, k, mxCreateString(names[k].c_str()));
  return cell;
}

void returnResults(int nlhs, mxArray* plhs[], const RunResult& result) {
  // The host always provides room for one result, even when none is asked for.
  plhs[0] = columnOf(result.times);
  if (nlhs >= 2) plhs[1] = outputMatrix(result);
  if (nlhs >= 3) plhs[2] = namesOf(result.names);
}

// An error to raise once everything is freed: fixed storage, so raising it
// leaves nothing behind however the host unwinds.
struct PendingError {
  char identifier[64] = "";
  char message[4096] = "";
  void set(const std::string& id, const std::string& text) {
    std::snprintf(identifier, sizeof identifier, "%s", id.c_str());
    std::snprintf(message, sizeof message, "%s", text.c_str());
  }
};

// Runs the call; false with the error to raise when it failed.
bool runCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], PendingError* error) {
  try {
    RunResult result;
    run(nlhs, nrhs, prhs, &result);
    returnResults(nlhs, plhs, result);
    return true;
  } catch (const MexError& e) {
    error->set(e.identifier, e.message);
  } catch (const std::exception& e) {
    error->set("velk_run:internal", e.what());
  }
  return false;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  PendingError error;
  if (!runCall(nlhs, plhs, nrhs, prhs, &error)) sfunMex_raise(error.identifier, error.message);
}
