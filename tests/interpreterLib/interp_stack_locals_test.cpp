// The value stack (typed pushes, the 3200-cell limit) and the local tables
// (declarations, references, frames, their overflow checks), run inside
// interp_guard as the public entry points run them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "velk_locals.h"

namespace {

std::vector<std::string> asserts;
int exits = 0;

void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  asserts.emplace_back(text);
}
void countExit(InterpEnv*, size_t, int) { ++exits; }

class StackLocalsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    asserts.clear();
    exits = 0;
    triple = b.structType("Triple", {{"a", TypeUInt64}, {"b", TypeUInt8}, {"c", TypeUInt16}});
    empty = b.structType("Empty", {});
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_exit(env, countExit);
  }
  void TearDown() override { interp_stop(env); }

  // Runs body as an entry point does; true when the run was abandoned.
  template <class Body>
  bool aborted(Body body) {
    return interp_guard(env, true, [&] {
      body();
      return false;
    });
  }
  LocalVarsIndexes& idx() { return env->ctx->localVarsIndexes; }

  ImageBuilder b{false};
  InterpEnv* env = nullptr;
  u32 triple = NO_ID;
  u32 empty = NO_ID;
};

// ---------------------------------------------------------------------------
// Value stack.

TEST_F(StackLocalsTest, TypedPushesZeroExtendIntoOneCell) {
  float f = 1.5f;
  u32 fBits;
  std::memcpy(&fBits, &f, sizeof fBits);
  double d = -2.25;
  u64 dBits;
  std::memcpy(&dBits, &d, sizeof dBits);
  struct Case {
    TaggedValue pushed;
    u32 type;
    DataCell cell;
  };
  const Case cases[] = {
      {interpStack_pushUInt8(env, 200), TypeUInt8, 200},
      {interpStack_pushSInt8(env, -1), TypeSInt8, 0xFF},
      {interpStack_pushUInt16(env, 65535), TypeUInt16, 0xFFFF},
      {interpStack_pushSInt16(env, -2), TypeSInt16, 0xFFFE},
      {interpStack_pushUInt32(env, 7), TypeUInt32, 7},
      {interpStack_pushSInt32(env, -1), TypeSInt32, 0xFFFFFFFF},
      {interpStack_pushUInt64(env, ~0ull), TypeUInt64, ~0ull},
      {interpStack_pushSInt64(env, -3), TypeSInt64, static_cast<u64>(-3)},
      {interpStack_pushBoolean(env, true), TypeBoolean, 1},
      {interpStack_pushSize(env, 9), TypeUInt32, 9},
      {interpStack_pushF32(env, f), TypeF32, fBits},
      {interpStack_pushF64(env, d), TypeF64, dBits},
      {interpStack_pushSingleAnyValue(env, TypeTime, 1234), TypeTime, 1234},
  };
  u32 expectedCell = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(expectedCell);
    EXPECT_EQ(c.pushed.typeId, c.type);
    EXPECT_EQ(c.pushed.globalId, NO_ID);
    EXPECT_EQ(c.pushed.value, env->ctx->stack + expectedCell++);
    EXPECT_EQ(*c.pushed.value, c.cell);
  }
  EXPECT_EQ(env->ctx->stackCount, std::size(cases));
}

TEST_F(StackLocalsTest, TheThreeThousandTwoHundredthPushOverflows) {
  interpStack_pushUInt8(env, 1);  // before the entry point: kept
  u32 pushed = 1;
  ::testing::internal::CaptureStdout();
  const bool stopped = aborted([&] {
    while (true) {
      interpStack_pushUInt8(env, 1);
      ++pushed;
    }
  });
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Stack overflow\n");
  EXPECT_TRUE(stopped);
  EXPECT_EQ(pushed, STACKS_SIZE - 1);
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(env->ctx->stackCount, 1u);
}

TEST_F(StackLocalsTest, MultiCellPushesReserveTheStorageSize) {
  interpStack_pushUInt8(env, 0xAA);
  TaggedValue zeroed = interpStack_pushZeroed(env, triple);
  EXPECT_EQ(zeroed.value, env->ctx->stack + 1);
  EXPECT_EQ(env->ctx->stackCount, 4u);
  interpStack_pushZeroed(env, empty);  // a cell of its own even without storage
  EXPECT_EQ(env->ctx->stackCount, 5u);

  DataCell source[3] = {1, 2, 3};
  TaggedValue copy = interpStack_pushForcedTypeValue(env, triple, TaggedValue{source, triple, 4});
  EXPECT_EQ(env->ctx->stackCount, 8u);
  EXPECT_EQ(copy.typeId, triple);
  EXPECT_EQ(copy.globalId, NO_ID);
  EXPECT_EQ(std::vector<DataCell>(copy.value, copy.value + 3), (std::vector<DataCell>{1, 2, 3}));

  const u32 mark = interpStack_mark(env);
  interpStack_pushUInt8(env, 1);
  interpStack_release(env, mark);
  EXPECT_EQ(env->ctx->stackCount, mark);
  EXPECT_TRUE(aborted([&] { interpStack_release(env, mark + 1); }));
  EXPECT_EQ(asserts, std::vector<std::string>{"mark <= env->ctx->stackCount"});
}

// ---------------------------------------------------------------------------
// Local tables.

TEST_F(StackLocalsTest, DeclaredLocalsAreZeroedAndAddressedFromTheBase) {
  std::fill(env->data->localVariableDataTable, env->data->localVariableDataTable + 8, 0xFFu);
  TaggedValue a = LocalVariable_declare(env, TypeUInt32);
  TaggedValue t = LocalVariable_declare(env, triple);
  EXPECT_EQ(a.globalId, NO_ID);
  EXPECT_EQ(t.value, a.value + 1);
  EXPECT_EQ(std::vector<DataCell>(a.value, a.value + 4), std::vector<DataCell>(4, 0));
  EXPECT_EQ(idx().count.variables, 2u);
  EXPECT_EQ(idx().count.variablesData, 4u);
  EXPECT_EQ(LocalVariable_reference(env, 1).value, t.value);
  EXPECT_EQ(LocalVariable_last(env).value, t.value);

  DataCell global[3] = {};
  TaggedValue bound = LocalVariable_bindReference(env, TaggedValue{global, triple, 5});
  EXPECT_EQ(bound.value, global);
  EXPECT_EQ(bound.globalId, 5u);
  EXPECT_EQ(idx().count.variablesData, 4u);

  DataCell constantCell = 11;
  LocalConstant_define(env, TypeUInt8, &constantCell);
  EXPECT_EQ(LocalConstant_reference(env, 0).value, &constantCell);
  LocalConstant_decrCount(env);
  EXPECT_EQ(idx().count.constants, 0u);

  EXPECT_TRUE(aborted([&] { LocalVariable_reference(env, 3); }));
  EXPECT_TRUE(aborted([&] { LocalConstant_reference(env, 0); }));
  EXPECT_EQ(asserts.size(), 2u);
}

// A frame sees only its own locals; leaving it restores the caller's view.
TEST_F(StackLocalsTest, FramesAndBlocksRestoreTheirIndexes) {
  TaggedValue callerLocal = LocalVariable_declare(env, TypeUInt8);
  LocalVarsIndexes frame;
  Variable_getCurrentLocalVarIndexes(env, &frame);
  EXPECT_EQ(idx().base.variables, 1u);
  EXPECT_TRUE(aborted([&] { LocalVariable_reference(env, 0); }));
  TaggedValue own = LocalVariable_declare(env, TypeUInt16);
  EXPECT_EQ(LocalVariable_reference(env, 0).value, own.value);

  LocalVarsIndexes block;
  Variable_getCurrentLocalVarCounts(env, &block);
  LocalVariable_declare(env, triple);
  Variable_restorePrevLocalVarCounts(env, &block);
  EXPECT_EQ(idx().count.variables, 2u);
  EXPECT_EQ(idx().count.variablesData, 2u);
  EXPECT_EQ(idx().base.variables, 1u);

  Variable_restorePrevLocalVarIndexes(env, &frame);
  EXPECT_EQ(idx().base.variables, 0u);
  EXPECT_EQ(idx().count.variables, 1u);
  EXPECT_EQ(LocalVariable_reference(env, 0).value, callerLocal.value);

  // Restoring may only lower the indexes.
  LocalVarsIndexes raised = idx();
  raised.count.variables = 5;
  EXPECT_TRUE(aborted([&] { Variable_restorePrevLocalVarCounts(env, &raised); }));
  EXPECT_EQ(idx().count.variables, 1u);
}

TEST_F(StackLocalsTest, HideNonArgsShowsOnlyTheArguments) {
  LocalVariable_declare(env, TypeUInt8);
  LocalVariable_declare(env, TypeUInt8);
  DataCell constantCell = 0;
  LocalConstant_define(env, TypeUInt8, &constantCell);
  TaggedValue first = LocalVariable_declare(env, TypeUInt32);
  TaggedValue second = LocalVariable_declare(env, TypeUInt32);
  Locals_hideNonArgs(env, 2);
  EXPECT_EQ(idx().base.variables, 2u);
  EXPECT_EQ(idx().base.constants, 1u);
  EXPECT_EQ(LocalVariable_reference(env, 0).value, first.value);
  EXPECT_EQ(LocalVariable_reference(env, 1).value, second.value);
  EXPECT_TRUE(aborted([&] { LocalVariable_reference(env, 2); }));
  EXPECT_TRUE(aborted([&] { Locals_hideNonArgs(env, 3); }));
}

// Each table's overflow is an internal error that abandons the run with the
// indexes found on entry.
TEST_F(StackLocalsTest, LocalTableOverflowsAbortTheRun) {
  struct Case {
    const char* text;
    std::function<void()> fill;
  };
  DataCell constantCell = 0;
  const Case cases[] = {
      {"Local variables stack overflow",
       [&] {
         DataCell cell = 0;
         while (true) LocalVariable_bindReference(env, TaggedValue{&cell, TypeUInt8, NO_ID});
       }},
      {"Local variables data stack overflow",
       [&] {
         while (true) LocalVariable_declare(env, triple);
       }},
      {"Local constants stack overflow",
       [&] {
         while (true) LocalConstant_define(env, TypeUInt8, &constantCell);
       }},
  };
  LocalVariable_declare(env, TypeUInt8);
  const LocalVarsIndexes entry = idx();
  for (const Case& c : cases) {
    asserts.clear();
    EXPECT_TRUE(aborted(c.fill)) << c.text;
    EXPECT_EQ(asserts, std::vector<std::string>{c.text});
    EXPECT_EQ(idx().count.variables, entry.count.variables);
    EXPECT_EQ(idx().count.variablesData, entry.count.variablesData);
    EXPECT_EQ(idx().count.constants, entry.count.constants);
  }
  // The data table reaches STACKS_SIZE - 1 cells at most.
  asserts.clear();
  u32 declared = 0;
  aborted([&] {
    while (true) {
      LocalVariable_declare(env, TypeUInt64);
      ++declared;
    }
  });
  EXPECT_EQ(declared, STACKS_SIZE - 2);  // one cell was already taken
}

}  // namespace
