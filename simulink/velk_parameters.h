// Port discovery for the co-simulation block: which input and output ports a
// compiled VELK program gives the block, in port order. The MEX entry point
// (mexFunction in mex.h) serves MATLAB; velk_parameters_list serves C++ hosts.
#pragma once
#include <string>
#include <vector>

// Loads the image at imagePath and fills inputs with the names of the global
// variables ending in "_in" and outputs with those ending (only) in "_out",
// in global-variable order. A load failure raises MexError{"VELK:parameter",
// "Error <code> while loading"}.
void velk_parameters_list(const char* imagePath, std::vector<std::string>* inputs,
                          std::vector<std::string>* outputs);
