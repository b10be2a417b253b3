// The stand-in SimStruct as a block sees it: what it declares reads back, and
// a port or sample-time index outside what was declared is refused rather
// than read past the tables.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/sfun_host.h"
#include "simstruc.h"

namespace {

TEST(SimStructHost, DeclaredPortsReadBackAndBadIndexesThrow) {
  auto S = sfunHost_create("blk", {"prog.ast"});
  ASSERT_EQ(ssSetNumInputPorts(S.get(), 1), 1);
  ASSERT_EQ(ssSetNumOutputPorts(S.get(), 1), 1);
  ssSetInputPortWidth(S.get(), 0, DYNAMICALLY_SIZED);
  ssSetOutputPortWidth(S.get(), 0, DYNAMICALLY_SIZED);
  ssSetInputPortDirectFeedThrough(S.get(), 0, 1);
  ssSetNumSampleTimes(S.get(), 1);
  ssSetNumSFcnParams(S.get(), 1);
  std::string problem;
  ASSERT_TRUE(sfunHost_completeSizes(S.get(), &problem)) << problem;

  EXPECT_EQ(ssGetInputPortWidth(S.get(), 0), 1);
  EXPECT_EQ(ssGetOutputPortWidth(S.get(), 0), 1);
  EXPECT_EQ(ssGetInputPortDirectFeedThrough(S.get(), 0), 1);
  ASSERT_TRUE(sfunHost_setInput(S.get(), 0, 2.5));
  EXPECT_EQ(*static_cast<const real_T*>(ssGetInputPortSignalPtrs(S.get(), 0)[0]), 2.5);
  static_cast<real_T*>(ssGetOutputPortSignal(S.get(), 0))[0] = 4.0;
  EXPECT_EQ(sfunHost_getOutput(S.get(), 0), 4.0);
  ssSetTNext(S.get(), 0.25);
  EXPECT_EQ(ssGetTNext(S.get()), 0.25);
  ssSetErrorStatus(S.get(), "bad");
  EXPECT_STREQ(ssGetErrorStatus(S.get()), "bad");

  const SimStruct* constS = S.get();
  EXPECT_THROW(ssGetInputPortWidth(constS, 1), std::out_of_range);
  EXPECT_THROW(ssGetOutputPortWidth(constS, -1), std::out_of_range);
  EXPECT_THROW(ssGetInputPortRealSignalPtrs(S.get(), 2), std::out_of_range);
  EXPECT_THROW(ssGetOutputPortRealSignal(S.get(), 1), std::out_of_range);
  EXPECT_THROW(ssGetSampleTime(constS, 1), std::out_of_range);
  EXPECT_FALSE(sfunHost_setInput(S.get(), 3, 1.0));
  EXPECT_EQ(sfunHost_getOutput(S.get(), 3), 0.0);
}

}  // namespace
