// The include directory for building the block into a real host's MEX file
// (velk_run): it holds only this forwarder, so the block finds our engine's
// simstruc.h while <mex.h> can only be the host's, never the stand-in's that
// sits beside the engine's headers.
#include "../simstruc.h"
