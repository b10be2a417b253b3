// The co-simulation block's port rule applied to an image file: the names of
// the globals that become its input and output ports, in port order. Shared
// by the port discovery function and velk_run; raises nothing, so each MEX
// function reports a load failure in its own way.
#pragma once
#include <string>
#include <vector>

// Loads the image at imagePath (null reads as an empty name) and fills inputs
// with the globals whose names end in "_in" and outputs with those that
// otherwise end in "_out", in global-variable order. Returns the loader's
// result: 0, or the reader's failing step (both lists then empty).
int velk_ports_find(const char* imagePath, std::vector<std::string>* inputs,
                    std::vector<std::string>* outputs);
