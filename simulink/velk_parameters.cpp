// The "velk_parameters" MEX function: the port names a compiled VELK program
// gives the co-simulation block, so a model (the block's mask, for example)
// can label and count the ports before the block is set up. Row k of the
// first result names input port k, row k of the second output port k: the
// rule is the block's own (velk_ports).
#include "velk_parameters.h"

#include "mex.h"

#include "velk_ports.h"

namespace {

mxArray* charMatrix(const std::vector<std::string>& names) {
  std::vector<const char*> rows;
  rows.reserve(names.size());
  for (const std::string& name : names) rows.push_back(name.c_str());
  return mxCreateCharMatrixFromStrings(rows.size(), rows.data());
}

// Fills the results; false with the loader's result in *loadResult when the
// image cannot be loaded.
bool listPorts(const char* path, int nlhs, mxArray* plhs[], int* loadResult) {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  *loadResult = velk_ports_find(path, &inputs, &outputs);
  if (*loadResult != 0) return false;
  // The host always provides room for one result, even when none is asked for.
  plhs[0] = charMatrix(inputs);
  if (nlhs >= 2) plhs[1] = charMatrix(outputs);
  return true;
}

}  // namespace

void velk_parameters_list(const char* imagePath, std::vector<std::string>* inputs,
                          std::vector<std::string>* outputs) {
  const int result = velk_ports_find(imagePath, inputs, outputs);
  if (result != 0) mexErrMsgIdAndTxt("VELK:parameter", "Error %d while loading", result);
}

// [inputs, outputs] = velk_parameters(imageFile). A missing or non-character
// argument reads as an empty name (a load error); results beyond those asked
// for are not made. The error is raised once everything is freed, so it does
// not matter how the host leaves this function.
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char* path = nrhs >= 1 && mxIsChar(prhs[0]) ? mxArrayToString(prhs[0]) : nullptr;
  int loadResult = 0;
  const bool listed = listPorts(path, nlhs, plhs, &loadResult);
  mxFree(path);
  if (!listed) mexErrMsgIdAndTxt("VELK:parameter", "Error %d while loading", loadResult);
}
