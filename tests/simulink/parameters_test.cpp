// Port discovery: the MEX function's two char matrices and the C++ entry.
#include "block_fixture.h"
#include "velk_parameters.h"

namespace {

using Parameters = SimulinkTest;

struct Results {
  MxArrayPtr inputs;
  MxArrayPtr outputs;
};

Results callMex(const std::string& path) {
  MxArrayPtr argument(mxCreateString(path.c_str()));
  const mxArray* prhs[] = {argument.get()};
  mxArray* plhs[2] = {nullptr, nullptr};
  mexFunction(2, plhs, 1, prhs);
  return {MxArrayPtr(plhs[0]), MxArrayPtr(plhs[1])};
}

TEST_F(Parameters, RowsFollowGlobalOrderPaddedToTheLongestName) {
  const std::string image =
      compile("var uint8 : a_in = 0;\nvar uint8 : b_out = 0;\nvar uint8 : long_c_in = 0;\n");
  Results r = callMex(image);
  ASSERT_EQ(mxGetM(r.inputs.get()), 2u);
  ASSERT_EQ(mxGetN(r.inputs.get()), 9u);
  EXPECT_EQ(mxHost_getRow(r.inputs.get(), 0), "a_in     ");
  EXPECT_EQ(mxHost_getRow(r.inputs.get(), 1), "long_c_in");
  ASSERT_EQ(mxGetM(r.outputs.get()), 1u);
  EXPECT_EQ(mxHost_getRow(r.outputs.get(), 0), "b_out");
}

TEST_F(Parameters, NoPortsGiveEmptyMatrices) {
  Results r = callMex(compile("var uint8 : plain = 0;\n"));
  EXPECT_EQ(mxGetM(r.inputs.get()), 0u);
  EXPECT_EQ(mxGetN(r.inputs.get()), 0u);
  EXPECT_EQ(mxGetM(r.outputs.get()), 0u);
  EXPECT_EQ(mxGetN(r.outputs.get()), 0u);
}

TEST_F(Parameters, LoadErrorIsRaised) {
  for (const std::string& path : {(dir_ / "missing.ast").string(), std::string()}) {
    testing::internal::CaptureStdout();
    try {
      callMex(path);
      ADD_FAILURE() << "no error for '" << path << "'";
    } catch (const MexError& e) {
      EXPECT_EQ(e.identifier, "VELK:parameter");
      EXPECT_EQ(e.message, "Error 1 while loading");
    }
    testing::internal::GetCapturedStdout();
  }
}

}  // namespace
