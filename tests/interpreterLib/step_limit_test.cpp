// The host's bound on evaluation steps: a program that loops for ever is
// stopped with a report, and stays stopped; without a limit nothing counts.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"

namespace {

std::vector<std::pair<size_t, int>> exits;
void logExit(InterpEnv*, size_t line, int code) { exits.emplace_back(line, code); }

class StepLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exits.clear();
    i = b.global("i", TypeUInt32);
    AST* increment = b.assign(b.globalRef(i), b.binary(PLUS_OP, TypeUInt32, b.globalRef(i), b.integer(1)));
    AST* body = b.block(nullptr, b.list({increment}));
    forever = b.function("forever", nullptr, b.block(nullptr, b.list({b.whileStatement(b.boolean(true), body)})));
    AST* below = b.binary(LT_OP, TypeUInt32, b.globalRef(i), b.integer(100000));
    counted = b.function("counted", nullptr, b.block(nullptr, b.list({b.whileStatement(below, body)})));
    env = b.writeLoadAndInit();
    env_on_exit(env, logExit);
  }
  void TearDown() override { interp_stop(env); }

  u64 value() const { return env->program->globalVariableTable[i].value[0]; }
  std::string call(u32 function) {
    testing::internal::CaptureStdout();
    interp_callFunction(env, function, nullptr);
    return testing::internal::GetCapturedStdout();
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
  u32 i = 0, forever = 0, counted = 0;
};

TEST_F(StepLimitTest, AnEndlessLoopStopsAtTheLimitAndStaysStopped) {
  env->ctx->stepLimit = 1000;
  EXPECT_EQ(call(forever), "Step limit of 1000 reached\n");
  EXPECT_EQ(exits, (std::vector<std::pair<size_t, int>>{{0, 1}}));
  EXPECT_EQ(env->ctx->stepCount, 1001u);
  const u64 reached = value();
  EXPECT_GT(reached, 0u);
  EXPECT_LT(reached, 1000u);  // each iteration takes several steps
  // The value stack and the frame are those of before the call.
  EXPECT_EQ(env->ctx->stackCount, 0u);

  EXPECT_EQ(call(counted), "Step limit of 1000 reached\n");
  EXPECT_EQ(value(), reached);
}

TEST_F(StepLimitTest, WithoutALimitNothingIsCounted) {
  EXPECT_EQ(call(counted), "");
  EXPECT_EQ(value(), 100000u);
  EXPECT_EQ(env->ctx->stepCount, 0u);
  EXPECT_TRUE(exits.empty());
}

}  // namespace
