// The "velk_parameters" MEX function: the port names a compiled VELK program
// gives the co-simulation block, so a model (the block's mask, for example)
// can label and count the ports before the block is set up. Row k of the
// first result names input port k, row k of the second output port k: the
// rule is the block's own.
#include "velk_parameters.h"

#include <cstring>

#include "mex.h"

#include "interp_api.h"
#include "interp_env.h"
#include "program.h"

namespace {

bool endsWith(const char* name, const char* suffix) {
  const size_t n = std::strlen(name);
  const size_t s = std::strlen(suffix);
  return n >= s && std::strcmp(name + n - s, suffix) == 0;
}

// Owns the environment for the duration of one call: it is never used after
// the names are taken, and a raised error must not leak it.
struct EnvironmentGuard {
  InterpEnv* env;
  ~EnvironmentGuard() { interp_stop(env); }
};

mxArray* charMatrix(const std::vector<std::string>& names) {
  std::vector<const char*> rows;
  rows.reserve(names.size());
  for (const std::string& name : names) rows.push_back(name.c_str());
  return mxCreateCharMatrixFromStrings(rows.size(), rows.data());
}

}  // namespace

void velk_parameters_list(const char* imagePath, std::vector<std::string>* inputs,
                          std::vector<std::string>* outputs) {
  inputs->clear();
  outputs->clear();
  int result = 0;
  {
    EnvironmentGuard guard{interp_create()};
    result = static_cast<int>(interp_load(guard.env, imagePath == nullptr ? "" : imagePath));
    if (result == 0) {
      const program* p = guard.env->program;
      for (u32 v = 0; v < p->infoProg->n_globalVariables; ++v) {
        const char* name = Variable_getName(p, v);
        if (endsWith(name, "_in")) {
          inputs->push_back(name);
        } else if (endsWith(name, "_out")) {
          outputs->push_back(name);
        }
      }
    }
  }
  if (result != 0) mexErrMsgIdAndTxt("VELK:parameter", "Error %d while loading", result);
}

// [inputs, outputs] = velk_parameters(imageFile). Missing or non-character
// arguments read as an empty name (a load error); results beyond those asked
// for are not made.
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char* path = nrhs >= 1 && mxIsChar(prhs[0]) ? mxArrayToString(prhs[0]) : nullptr;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  try {
    velk_parameters_list(path, &inputs, &outputs);
  } catch (...) {
    mxFree(path);
    throw;
  }
  mxFree(path);
  // MATLAB always provides room for one result, even when none is asked for.
  plhs[0] = charMatrix(inputs);
  if (nlhs >= 2) plhs[1] = charMatrix(outputs);
}
