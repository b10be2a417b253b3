// Shared by the block and port discovery tests: compiles VELK sources with the
// velk_parser binary and drives the block through the stand-in engine the
// way the variable-step solver does.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "compile_program.h"
#include "run_program.h"
#include "velk_interpreter.h"

class SimulinkTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velk_simulink_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Compiles source into an image and returns its path; fails the test on a
  // compiler error.
  std::string compile(const std::string& source, const std::string& name = "model") {
    const ProgramRun r = compileProgram(dir_, name, source);
    EXPECT_EQ(r.status, 0) << r.out;
    return (dir_ / (name + ".ast")).string();
  }

  // Runs call with standard output captured; returns what it printed. A
  // MATLAB error passes through (the capture is released first).
  template <class Call>
  std::string captured(Call&& call) {
    testing::internal::CaptureStdout();
    try {
      call();
    } catch (...) {
      std::fflush(stdout);
      testing::internal::GetCapturedStdout();
      throw;
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  // The engine's set-up: sizes, the engine's own checks, sample times.
  // Returns false when the set-up stopped; setUpOutput keeps what it printed.
  bool setUpBlock(const std::string& image) {
    S = sfunHost_create("model/velk", {image});
    setUpOutput = captured([&] { methods->initializeSizes(S.get()); });
    std::string problem;
    if (!sfunHost_completeSizes(S.get(), &problem)) return false;
    methods->initializeSampleTimes(S.get());
    return true;
  }

  // One variable-step hit at time t; returns what the block printed.
  std::string hit(double t) {
    sfunHost_setTime(S.get(), t);
    return captured([&] {
      methods->getTimeOfNextVarHit(S.get());
      methods->outputs(S.get(), 0);
    });
  }

  // The MATLAB error call raises (a test failure when none).
  template <class Call>
  MexError expectMexError(Call&& call) {
    try {
      captured(call);
    } catch (const MexError& e) {
      return e;
    }
    ADD_FAILURE() << "no MATLAB error raised";
    return {};
  }

  std::string setUpOutput;
  std::filesystem::path dir_;
  std::unique_ptr<SimStruct> S;
  const SFunctionMethods* methods = velk_interpreter_methods();
};
