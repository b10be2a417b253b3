// The co-simulation block through the stand-in engine: set-up, ports, signal
// conversions, the per-hit trace and the next hit, and the MATLAB errors.
#include <cmath>

#include "block_fixture.h"
#include "image_builder.h"
#include "velk_parameters.h"

namespace {

using Block = SimulinkTest;

TEST_F(Block, PortRuleTakesGlobalsInOrderBySuffix) {
  ImageBuilder b;
  // "in" is a keyword of the language, so this image is built directly.
  for (const char* name : {"speed_in_out", "in", "_in", "n", "_out", "a_in", "xin", "b_outx"})
    b.global(name, TypeUInt8);
  interp_stop(b.writeAndLoad());
  ASSERT_TRUE(setUpBlock(b.imagePath()));
  EXPECT_EQ(ssGetNumInputPorts(S.get()), 2);   // _in, a_in
  EXPECT_EQ(ssGetNumOutputPorts(S.get()), 2);  // speed_in_out, _out
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(S->inputs[i].width, 1);  // declared dynamically sized, resolved by the host
    EXPECT_TRUE(S->inputs[i].directFeedThrough);
  }
  EXPECT_EQ(ssGetNumSampleTimes(S.get()), 1);
  EXPECT_EQ(ssGetSampleTime(S.get(), 0), VARIABLE_SAMPLE_TIME);
  EXPECT_EQ(ssGetOffsetTime(S.get(), 0), 0.0);
  EXPECT_EQ(ssGetOptions(S.get()), 0x20080000u);

  std::vector<std::string> inputs, outputs;
  velk_parameters_list(b.imagePath().c_str(), &inputs, &outputs);
  EXPECT_EQ(inputs, (std::vector<std::string>{"_in", "a_in"}));
  EXPECT_EQ(outputs, (std::vector<std::string>{"speed_in_out", "_out"}));
}

// Inputs are copied to outputs by a process at time 0; outputs go back
// through float32 except float64.
TEST_F(Block, InputAndOutputConversionsByType) {
  const std::string image = compile(R"(
var int8 : a_in = 0;
var int8 : b_in = 0;
var uint32 : c_in = 0;
var bool : d_in = false;
var bool : e_in = false;
var float32 : f_in = 0.0;
var float64 : g_in = 0.0;
var int8 : a_out = 0;
var int8 : b_out = 0;
var uint32 : c_out = 0;
var bool : d_out = false;
var bool : e_out = false;
var float32 : f_out = 0.0;
var float64 : g_out = 0.0;
var uint32 : big_out = 16777217;
processdef Copy() {
    state Run {
        a_out = a_in; b_out = b_in; c_out = c_in; d_out = d_in; e_out = e_in;
        f_out = f_in; g_out = g_in;
    }
}
process Copy : copy[1 s]();
)");
  ASSERT_TRUE(setUpBlock(image));
  ASSERT_EQ(ssGetNumInputPorts(S.get()), 7);
  ASSERT_EQ(ssGetNumOutputPorts(S.get()), 8);
  const double in[] = {3.9, -1.5, 1e10, 0.7, -2.0, 0.1, 0.1};
  for (int i = 0; i < 7; ++i) sfunHost_setInput(S.get(), i, in[i]);
  const std::string out = hit(0.0);
  EXPECT_NE(out.find("[0.000000000000:ASSIGN] Assign b_out new value: -1\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Assign c_out new value: 1410065408\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Assign e_out new value: true\n"), std::string::npos) << out;
  const double expected[] = {3.0, -1.0, 1410065408.0, 0.0, 1.0,
                             static_cast<double>(0.1f), 0.1, 16777216.0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sfunHost_getOutput(S.get(), i), expected[i]) << "port " << i;
}

// An enumeration port carries the enumerator's position; inputs are rounded
// to the nearest position and clamped, NaN gives the first enumerator.
TEST_F(Block, EnumerationPortsCarryThePosition) {
  const std::string image = compile(R"(
enum Mode { OFF, LOW, HIGH };
var Mode : mode_in = Mode.OFF;
var Mode : mode_out = Mode.HIGH;
var Mode : unset_out;
processdef Copy() {
    state Run {
        mode_out = mode_in;
    }
}
process Copy : copy[1 s]();
)");
  ASSERT_TRUE(setUpBlock(image));
  ASSERT_EQ(ssGetNumInputPorts(S.get()), 1);
  ASSERT_EQ(ssGetNumOutputPorts(S.get()), 2);
  captured([&] { methods->outputs(S.get(), 0); });
  EXPECT_EQ(sfunHost_getOutput(S.get(), 0), 2.0) << "the initial value, before any hit";
  struct Case {
    double in;
    double position;
    const char* name;
  };
  const Case cases[] = {
      {1.0, 1, "LOW"}, {2.0, 2, "HIGH"}, {0.0, 0, "OFF"},   {1.4, 1, "LOW"},
      {1.5, 2, "HIGH"}, {0.49, 0, "OFF"}, {-3.0, 0, "OFF"}, {7.0, 2, "HIGH"},
      {1e300, 2, "HIGH"}, {-INFINITY, 0, "OFF"}, {NAN, 0, "OFF"},
  };
  double t = 0.0;
  for (const Case& c : cases) {
    sfunHost_setInput(S.get(), 0, c.in);
    const std::string out = hit(t);
    const std::string assigned = std::string("Assign mode_out new value: ") + c.name + "\n";
    EXPECT_NE(out.find(assigned), std::string::npos) << c.in << "\n" << out;
    EXPECT_EQ(sfunHost_getOutput(S.get(), 0), c.position) << c.in;
    t += 1.0;
  }
  // A variable holding no enumerator (never assigned) reads -1.
  EXPECT_EQ(sfunHost_getOutput(S.get(), 1), -1.0);
}

TEST_F(Block, HitTraceAndPrintPrefixFollowTheProgramsTimes) {
  const std::string image = compile(R"(
processdef Tick() {
    state Run {
        IO.println("tick");
        IO.print("a\nb\n");
    }
}
process Tick : tick[1500 ms]();
)");
  ASSERT_TRUE(setUpBlock(image));
  EXPECT_EQ(hit(0.0),
            "OUT:SimulinkTime is 0.000000\n"
            "OUT:run until velk_time 1\n"
            "[0.000000000000:" + image + ":STARTING_TASK] 'tick'\n"
            "[0.000000000000:PRINTLN] tick\n"
            "[0.000000000000:PRINTLN] a\n"
            "[0.000000000000:PRINTLN] b\n"
            "[0.000000000000:" + image + ":TASK_FINISHED] 'tick'\n"
            "NEXT:velk next hit 1.500000\n"
            "NEXT:velk absolute next hit 1.500000\n"
            "NEXT:simulink time is 0.000000\n"
            "NEXT:Next hit time 1.500000\n");
  ASSERT_EQ(sfunHost_getNextHit(S.get()), 1.5);
  const std::string second = hit(1.5);
  EXPECT_NE(second.find("OUT:run until velk_time 1500000000001\n[1.500000000000:" + image +
                            ":STARTING_TASK] 'tick'\n[1.500000000000:PRINTLN] tick\n"),
            std::string::npos)
      << second;
  EXPECT_EQ(sfunHost_getNextHit(S.get()), 3.0);

  // mexPrintf lines can be silenced alone.
  mexHost_setPrintEnabled(false);
  const std::string quiet = hit(3.0);
  mexHost_setPrintEnabled(true);
  EXPECT_EQ(quiet, "[3.000000000000:" + image +
                       ":STARTING_TASK] 'tick'\n[3.000000000000:PRINTLN] tick\n"
                       "[3.000000000000:PRINTLN] a\n[3.000000000000:PRINTLN] b\n"
                       "[3.000000000000:" + image + ":TASK_FINISHED] 'tick'\n");
}

TEST_F(Block, WithoutPendingActivationTheNextHitIsAtTheEndOfTime) {
  const std::string image = compile("var uint8 : x_out = 4;\n");
  ASSERT_TRUE(setUpBlock(image));
  const std::string out = hit(0.0);
  EXPECT_NE(out.find("NEXT:velk next hit 9223372.036855\n"), std::string::npos) << out;
  EXPECT_DOUBLE_EQ(sfunHost_getNextHit(S.get()), 9223372036854775807.0 / 1e12);
  EXPECT_EQ(sfunHost_getOutput(S.get(), 0), 4.0);
}

TEST_F(Block, RunTimeErrorsAreReportedAndTheRunGoesOn) {
  const std::string image = compile(R"(
var uint8 : zero_in = 0;
var uint8 : q_out = 1;
processdef Divide() {
    state Run {
        q_out = 10 / zero_in;
        IO.println("after");
    }
}
process Divide : divide[1 s]();
)");
  ASSERT_TRUE(setUpBlock(image));
  const std::string out = hit(0.0);
  EXPECT_NE(out.find("[0.000000000000:INVALID_OP] division by zero at line 6\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("PRINTLN] after\n"), std::string::npos) << out;
}

TEST_F(Block, MatlabErrors) {
  // Load failure.
  S = sfunHost_create("model/velk", {(dir_ / "missing.ast").string()});
  MexError e = expectMexError([&] { methods->initializeSizes(S.get()); });
  EXPECT_EQ(e.identifier, "VELK:parameter");
  EXPECT_EQ(e.message, "Error 1 while loading");

  // exit in a process, with its line.
  const std::string exiting = compile(R"(
processdef Stop() {
    state Run {
        exit(2);
    }
}
process Stop : stop[1 s]();
)", "exiting");
  ASSERT_TRUE(setUpBlock(exiting));
  e = expectMexError([&] { methods->getTimeOfNextVarHit(S.get()); });
  EXPECT_EQ(e.identifier, "VELK:interpreter");
  EXPECT_EQ(e.message, "EXIT AT LINE 4");

  // A failed assertion in init ends the set-up.
  const std::string asserting = compile("var uint8 : x = 3;\ninit() {\n    assert(x > 5);\n}\n",
                                        "asserting");
  S = sfunHost_create("model/velk", {asserting});
  e = expectMexError([&] { methods->initializeSizes(S.get()); });
  EXPECT_EQ(e.identifier, "VELK:interpreter");
  // The compiler passes the file as it was named, the line and the source
  // line as the text.
  EXPECT_EQ(e.message, "asserting.velk:3: : Assertion '    assert(x > 5);' failed");
}

TEST_F(Block, SetUpStopsOnParameterCountOrRefusedPorts) {
  S = sfunHost_create("model/velk", {});
  methods->initializeSizes(S.get());
  std::string problem;
  EXPECT_FALSE(sfunHost_completeSizes(S.get(), &problem));
  EXPECT_NE(problem.find("expects 1 parameter(s) but 0 were given"), std::string::npos);

  const std::string image = compile("var uint8 : a_in = 0;\nvar uint8 : b_out = 0;\n");
  S = sfunHost_create("model/velk", {image});
  S->maxPorts = 0;
  captured([&] { methods->initializeSizes(S.get()); });
  EXPECT_EQ(ssGetNumInputPorts(S.get()), 0);
  EXPECT_EQ(ssGetNumSampleTimes(S.get()), 0);  // stopped before the sample times
}

TEST_F(Block, EverySetUpStartsAFreshEnvironment) {
  const std::string image = compile(R"(
var uint32 : count_out = 0;
processdef Count() {
    state Run {
        count_out = count_out + 1;
        IO.print("x");
    }
}
process Count : count[1 s]();
)");
  ASSERT_TRUE(setUpBlock(image));
  hit(0.0);
  hit(1.0);
  EXPECT_EQ(sfunHost_getOutput(S.get(), 0), 2.0);

  ASSERT_TRUE(setUpBlock(image));
  const std::string out = hit(0.0);
  EXPECT_EQ(sfunHost_getOutput(S.get(), 0), 1.0);
  // The print prefix starts over too: "x" follows no earlier character.
  EXPECT_NE(out.find("[0.000000000000:PRINTLN] x"), std::string::npos) << out;
  EXPECT_EQ(sfunHost_getNextHit(S.get()), 1.0);
}

}  // namespace
