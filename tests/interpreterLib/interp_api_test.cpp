// The public API on loaded images: loading failures, interp_init (the init
// function, change hooks on initial values), interp_setValue, function calls
// that abort, name lookups with their debug messages, callback registration,
// settings, the system records and their aliasing with the instance
// variables, borrowed images and freeing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "velk_memory.h"

namespace {

struct ApiLog {
  std::vector<std::string> asserts;
  std::vector<std::pair<size_t, int>> exits;
  struct Change {
    u32 varId;
    u32 mode;
    u32 typeId;
    DataCell cell;
  };
  std::vector<Change> changes;
  std::vector<u32> invalidOps;
  u32 changeResult = 0;
};
ApiLog hooks;

void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  hooks.asserts.emplace_back(text);
}
void logExit(InterpEnv*, size_t line, int code) { hooks.exits.emplace_back(line, code); }
u32 logChange(InterpEnv*, u32 varId, u32 mode, TaggedValue value) {
  hooks.changes.push_back({varId, mode, value.typeId, *value.value});
  return hooks.changeResult;
}
u32 readHook(InterpEnv*, u32) { return 0; }
int hostPrint(InterpEnv*, int) { return 0; }
u64 hostTime(InterpEnv*) { return 777; }
void fsmHook(InterpEnv*, TaggedValue, u32, u32) {}
void activationHook(InterpEnv*, TaggedValue, u32) {}
TaggedValue logInvalidOp(InterpEnv*, AST*, u32 code) {
  hooks.invalidOps.push_back(code);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

class InterpApiTest : public ::testing::Test {
 protected:
  void SetUp() override { hooks = ApiLog{}; }
  void TearDown() override { interp_stop(env); }

  void watch(InterpEnv* e) {
    env_on_assert(e, logAssert);
    env_on_exit(e, logExit);
  }
  void load() {
    env = b.writeAndLoad();
    watch(env);
  }
  void loadAndInit() {
    load();
    interp_init(env);
  }
  DataCell* cells(u32 varId) { return env->program->globalVariableTable[varId].value; }
  // x = x + 1 on a uint32 global.
  AST* increment(u32 varId) {
    return b.assign(b.globalRef(varId),
                    b.binary(PLUS_OP, TypeUInt32, b.globalRef(varId), b.integer(1)));
  }
  AST* body(std::initializer_list<AST*> statements) { return b.block(nullptr, b.list(statements)); }

  ImageBuilder b;
  InterpEnv* env = nullptr;
};

// ---------------------------------------------------------------------------
// Loading and initialisation.

TEST_F(InterpApiTest, CreateLoadInitRefusesMissingAndDamagedFiles) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(interp_create_load_init("/nonexistent/dir/image.ast"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "could not read input code file !\n");

  const std::string path =
      ::testing::TempDir() + "velk_damaged_image_" + std::to_string(getpid()) + ".ast";
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("not an image at all, only some text", file);
  std::fclose(file);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(interp_create_load_init(path.c_str()), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "invalid VELK AST file !\n");
  std::remove(path.c_str());
}

// A failed load leaves nothing loaded; the same environment then loads a good
// image.
TEST_F(InterpApiTest, FailedLoadLeavesAnEmptyImage) {
  const u32 x = b.global("x", TypeUInt32, {5});
  load();
  ::testing::internal::CaptureStdout();
  EXPECT_NE(interp_load(env, "/nonexistent/image.ast"), 0u);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(env->program->infoProg->n_globalVariables, 0u);
  EXPECT_EQ(env->ctx->processes.value, nullptr);
  ASSERT_EQ(interp_load(env, b.imagePath().c_str()), 0u);
  EXPECT_STREQ(env->file_name, b.imagePath().c_str());
  interp_init(env);
  EXPECT_EQ(cells(x)[0], 5u);
}

TEST_F(InterpApiTest, InitWithoutInitFunctionCallsNothing) {
  const u32 counter = b.global("counter", TypeUInt32, {10});
  b.function("not_init", nullptr, body({increment(counter)}));
  load();
  EXPECT_EQ(interp_init(env), 1u);
  EXPECT_EQ(cells(counter)[0], 10u);
  EXPECT_TRUE(hooks.asserts.empty());
}

TEST_F(InterpApiTest, InitCallsTheInitFunctionOnce) {
  const u32 counter = b.global("counter", TypeUInt32, {10});
  b.function("init", nullptr, body({increment(counter)}));
  load();
  EXPECT_EQ(interp_init(env), 1u);
  EXPECT_EQ(cells(counter)[0], 11u);
  EXPECT_TRUE(env->ctx->initialized);
}

// The hook sees each initial value (typed as the variable) before it is
// stored; a non-zero result keeps it out. The system records are not offered.
TEST_F(InterpApiTest, ChangeHookDuringInitCanKeepInitialValuesOut) {
  const u32 kept = b.global("kept", TypeUInt16, {42});
  const u32 stored = b.global("stored", TypeUInt16, {7});
  load();
  ASSERT_EQ(env_on_any_variable_change(env, logChange), 1u);
  hooks.changeResult = 1;
  env_on_variable_change(env, stored, nullptr);  // default: stores
  interp_init(env);
  EXPECT_EQ(cells(kept)[0], 0u);
  EXPECT_EQ(cells(stored)[0], 7u);
  ASSERT_EQ(hooks.changes.size(), 1u);
  EXPECT_EQ(hooks.changes[0].varId, kept);
  EXPECT_EQ(hooks.changes[0].mode, 0u);
  EXPECT_EQ(hooks.changes[0].typeId, TypeUInt16);
  EXPECT_EQ(hooks.changes[0].cell, 42u);
}

// Globals live in the run-time table; the image keeps the initial values, so
// a second interp_init restores them.
TEST_F(InterpApiTest, GlobalsLiveInTheRunTimeTable) {
  const u32 x = b.global("x", TypeUInt32, {42});
  loadAndInit();
  const DataCell* runtime = env->data->globalVariableDataTable;
  const u32 size = env->program->infoProg->size_globalVariableData;
  EXPECT_GE(cells(x), runtime);
  EXPECT_LT(cells(x), runtime + size);
  DataCell v = 99;
  EXPECT_EQ(interp_setValue(env, x, 0, TaggedValue{&v, TypeUInt32, NO_ID}), 0u);
  EXPECT_EQ(cells(x)[0], 99u);
  interp_init(env);
  EXPECT_EQ(cells(x)[0], 42u);
}

// ---------------------------------------------------------------------------
// interp_setValue and interp_callFunction.

TEST_F(InterpApiTest, SetValueModesAndRefusals) {
  const u32 x = b.global("x", TypeUInt32);
  const u32 queue = b.global("q", b.bufferType(QUEUE_BUFFER, TypeUInt32, 2));
  const u32 stack = b.global("s", b.bufferType(STACK_BUFFER, TypeUInt32, 1));
  loadAndInit();
  interpreter_on_invalid_op(env, logInvalidOp);
  DataCell v = 5;
  const TaggedValue five{&v, TypeUInt32, NO_ID};
  const u32 count = env->program->infoProg->n_globalVariables;
  EXPECT_EQ(interp_setValue(env, count, 0, five), 1u);
  EXPECT_EQ(interp_setValue(env, NO_ID, 0, five), 1u);
  EXPECT_EQ(interp_setValue(env, x, 7, five), 1u);

  EXPECT_EQ(interp_setValue(env, x, 0, five), 0u);
  EXPECT_EQ(cells(x)[0], 5u);

  // Queue of 2: two pushes fit, the third is "queue full".
  EXPECT_EQ(interp_setValue(env, queue, 1, five), 0u);
  EXPECT_EQ(cells(queue)[0], 3u);
  EXPECT_EQ(cells(queue)[1], 2u);
  EXPECT_EQ(cells(queue)[2], 5u);
  interp_setValue(env, queue, 1, five);
  EXPECT_TRUE(hooks.invalidOps.empty());
  interp_setValue(env, queue, 1, five);
  EXPECT_EQ(hooks.invalidOps, std::vector<u32>{INVALID_OP_QUEUE_FULL});

  // Stack of 1: in 3, out (top) 2; the second push is "stack full".
  EXPECT_EQ(interp_setValue(env, stack, 1, five), 0u);
  EXPECT_EQ(cells(stack)[0], 3u);
  EXPECT_EQ(cells(stack)[1], 2u);
  interp_setValue(env, stack, 1, five);
  EXPECT_EQ(hooks.invalidOps.back(), u32{INVALID_OP_STACK_FULL});

  // Mode 1 on something that is not a channel, or a value without cells, is
  // refused without harm.
  EXPECT_EQ(interp_setValue(env, x, 1, five), 1u);
  EXPECT_EQ(interp_setValue(env, x, 0, TaggedValue{nullptr, TypeUInt32, NO_ID}), 1u);
  EXPECT_EQ(cells(x)[0], 5u);
  EXPECT_EQ(hooks.asserts, (std::vector<std::string>{"channel_isChannel(env, channel)",
                                                     "value.value != NULL"}));
}

TEST_F(InterpApiTest, CallFunctionChecksItsId) {
  loadAndInit();
  EXPECT_EQ(interp_callFunction(env, NO_ID, nullptr), 0u);
  EXPECT_EQ(interp_callFunction(env, 5, nullptr), 0u);
  EXPECT_EQ(hooks.asserts, (std::vector<std::string>{
                               "funcID != NO_ID", "funcID < env->program->infoProg->n_functions"}));
}

// A balanced sum of 2048 literals needs over 3200 temporaries: the run stops
// at "Stack overflow\n", the call returns normally with the stack restored,
// and the next call runs.
TEST_F(InterpApiTest, ValueStackOverflowAbortsOnlyTheCall) {
  const u32 total = b.global("total", TypeUInt64);
  auto sum = [&](auto&& self, int depth) -> AST* {
    if (depth == 0) return b.integer(1);
    return b.binary(PLUS_OP, TypeUInt64, self(self, depth - 1), self(self, depth - 1));
  };
  const u32 big = b.function("big", nullptr, body({b.assign(b.globalRef(total), sum(sum, 11))}));
  const u32 small = b.function("small", nullptr, body({b.assign(b.globalRef(total), sum(sum, 3))}));
  // The tree walker pushes every temporary; the prepared engine keeps scalar
  // temporaries off the value stack and computes the sum.
  setenv("VELK_ENGINE", "tree", 1);  // read when code first runs
  loadAndInit();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(interp_callFunction(env, big, nullptr), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Stack overflow\n");
  EXPECT_EQ(hooks.exits, (std::vector<std::pair<size_t, int>>{{0, 1}}));
  EXPECT_EQ(env->ctx->stackCount, 0u);
  EXPECT_EQ(cells(total)[0], 0u);
  interp_callFunction(env, small, nullptr);
  EXPECT_EQ(cells(total)[0], 8u);
  unsetenv("VELK_ENGINE");
  engine_free(env);  // prepared again, for the default engine
  EXPECT_TRUE(engine_isEnabled(env));
  ::testing::internal::CaptureStdout();
  interp_callFunction(env, big, nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(cells(total)[0], 2048u);
  EXPECT_EQ(env->ctx->stackCount, 0u);
}

// ---------------------------------------------------------------------------
// Name lookups.

TEST_F(InterpApiTest, LookupsByNameTakeTheFirstMatch) {
  const u32 first = b.global("dup", TypeUInt8);
  b.global("dup", TypeUInt8);
  const u32 constant = b.constant("limit", TypeUInt32, {3});
  const u32 def = b.processDefinition("P", {.states = b.list({b.state("s", body({}))})});
  b.globalInstance("worker", def);
  load();
  EXPECT_EQ(interp_getVariableID(env, "dup"), first);
  EXPECT_EQ(interp_getVariableID(env, "missing"), NO_ID);
  EXPECT_EQ(interp_getVariableID(env, nullptr), NO_ID);
  EXPECT_EQ(interp_getConstantID(env, "limit"), constant);
  EXPECT_EQ(interp_getTypeID(env, "uint8"), u32{TypeUInt8});
  EXPECT_EQ(interp_getTypeID(env, "Process_Instance"), b.type("Process_Instance"));
  EXPECT_EQ(interp_getTaskID(env, "worker"), 0u);
  EXPECT_EQ(interp_getTaskID(env, "idle"), NO_ID);
}

class FunctionLookupTest : public InterpApiTest {
 protected:
  void SetUp() override {
    InterpApiTest::SetUp();
    b.function("f", nullptr, body({}));
    later = b.function("f", b.list({b.param(IN_PARAM, TypeUInt32, "a"),
                                    b.param(OUT_PARAM, TypeSInt8, "r")}),
                       body({}));
    load();
  }
  std::string lookup(std::vector<ArgDescriptor> args, u32* id) {
    ::testing::internal::CaptureStdout();
    *id = interp_getFunctionID(env, "f", static_cast<u32>(args.size()), args.data());
    return ::testing::internal::GetCapturedStdout();
  }
  u32 later = NO_ID;
};

TEST_F(FunctionLookupTest, TheLastFunctionOfTheNameIsChecked) {
  u32 id = 0;
  EXPECT_EQ(lookup({{TypeUInt32, 0}, {TypeSInt8, 1}}, &id), "");
  EXPECT_EQ(id, later);
  EXPECT_EQ(lookup({}, &id), "Function (f) requires 2 parameters\n");
  EXPECT_EQ(id, NO_ID);
  EXPECT_EQ(lookup({{TypeUInt32, 0}, {TypeSInt8, 0}}, &id),
            "Wrong direction for parameter 2 of Function (f)\n");
  EXPECT_EQ(id, NO_ID);
  EXPECT_EQ(lookup({{TypeUInt32, 1}, {TypeSInt8, 1}}, &id),
            "Wrong direction for parameter 1 of Function (f)\n");
  EXPECT_EQ(lookup({{TypeUInt32, 0}, {TypeUInt8, 1}}, &id),
            "Type mismatch for parameter 2 of Function (f)\nExpected int8 found uint8 \n ");
  EXPECT_EQ(id, NO_ID);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(interp_getFunctionID(env, "g", 0, nullptr), NO_ID);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(InterpApiTest, MethodLookupFormatsTypeAndMethod) {
  const u32 t = b.structType("T", {{"a", TypeUInt32}});
  const u32 method = b.function("T_m", b.list({b.param(IN_PARAM, t, "self")}), body({}));
  load();
  const ArgDescriptor self{t, 0};
  EXPECT_EQ(interp_getMethodID(env, t, "m", 1, &self), method);
  EXPECT_EQ(interp_getMethodID(env, t, "other", 1, &self), NO_ID);
  EXPECT_EQ(interp_getMethodID(env, NO_ID, "m", 1, &self), NO_ID);
}

TEST_F(InterpApiTest, EnumLookupGivesTheEnumeratorSymbol) {
  const u32 color = b.enumType("Color", {"red", "green"});
  load();
  EXPECT_EQ(interp_getEnum(env, color, "green"), b.symbol("green"));
  EXPECT_EQ(interp_getEnum(env, color, "blue"), NO_ID);
  EXPECT_TRUE(hooks.asserts.empty());
  EXPECT_EQ(interp_getEnum(env, NO_ID, "green"), NO_ID);
  EXPECT_EQ(interp_getEnum(env, color, nullptr), NO_ID);
  EXPECT_EQ(hooks.asserts, (std::vector<std::string>{"enumTypeID != NO_ID", "enumName != NULL"}));
}

TEST_F(InterpApiTest, StructFieldTypes) {
  load();
  EXPECT_EQ(interp_getStructFieldTypeID(env, "Process_Instance", "priority"), u32{TypeUInt8});
  EXPECT_EQ(interp_getStructFieldTypeID(env, "Process_Instance", "instance_id"), u32{TypeUInt32});
  const u32 processes = interp_getStructFieldTypeID(env, "System", "processes");
  EXPECT_EQ(processes, interp_systemIds(env).processesType);
  EXPECT_EQ(env->program->typeTable[processes].bufferType, u32{QUEUE_BUFFER});
  EXPECT_EQ(interp_getStructFieldTypeID(env, "System", "missing"), NO_ID);
  EXPECT_EQ(interp_getStructFieldTypeID(env, "Missing", "processes"), NO_ID);
  // Cached answers stay the same.
  EXPECT_EQ(interp_getStructFieldTypeID(env, "Process_Instance", "priority"), u32{TypeUInt8});
  EXPECT_EQ(interp_getStructFieldTypeID(env, "System", "missing"), NO_ID);
}

// ---------------------------------------------------------------------------
// Callback registration.

TEST_F(InterpApiTest, RegistrationReturnValues) {
  const u32 def = b.processDefinition("P", {.states = b.list({b.state("s", body({}))})});
  b.globalInstance("a", def);
  b.globalInstance("b", def);
  load();
  const u32 vars = env->program->infoProg->n_globalVariables;
  const u32 instances = env->program->infoProg->n_processInstances;
  struct Case {
    const char* name;
    u32 result;
    u32 expected;
  };
  const Case cases[] = {
      {"exit", env_on_exit(env, logExit), 1},
      {"print", env_on_print(env, hostPrint), 1},
      {"syncio", env_on_syncio(env, nullptr), 1},
      {"gettime", env_on_gettime(env, hostTime), 1},
      {"delay", env_on_delay(env, nullptr), 1},
      {"random", env_on_random(env, nullptr), 1},
      {"invalid op", interpreter_on_invalid_op(env, logInvalidOp), 1},
      {"change in range", env_on_variable_change(env, vars - 1, logChange), 1},
      {"change out of range", env_on_variable_change(env, vars, logChange), 0},
      {"read out of range", env_on_variable_read(env, vars, readHook), 0},
      {"state in range", env_on_state_changed(env, instances - 1, fsmHook), 1},
      {"state out of range", env_on_state_changed(env, instances, fsmHook), 0},
      {"activation out of range", env_on_task_activation(env, instances, activationHook), 0},
      {"any change", env_on_any_variable_change(env, logChange), 1},
      {"any read", env_on_any_variable_read(env, readHook), 1},
      {"any activation", env_on_any_task_activation(env, activationHook), 1},
      {"any state", env_on_any_state_changed(env, fsmHook), 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
  EXPECT_EQ(env->ctx->fsm_changed_callback[0], fsmHook);
  EXPECT_EQ(env->ctx->fsm_changed_callback[1], fsmHook);
  EXPECT_EQ(env->ctx->gettime_callback(env), 777u);
}

TEST_F(InterpApiTest, NullRestoresTheDefaults) {
  load();
  EXPECT_FALSE(env->ctx->print_enabled);
  env_on_print(env, hostPrint);
  EXPECT_TRUE(env->ctx->print_enabled);
  EXPECT_EQ(env->ctx->print_callback(env, 'x'), 0);
  env_on_print(env, nullptr);
  EXPECT_FALSE(env->ctx->print_enabled);
  EXPECT_EQ(env->ctx->print_callback(env, 'x'), 'x');

  env_on_gettime(env, hostTime);
  env_on_gettime(env, nullptr);
  env->ctx->currentTime = 123;
  EXPECT_EQ(env->ctx->gettime_callback(env), 123u);
  env_on_delay(env, nullptr);
  env->ctx->delay_callback(env, 7);
  EXPECT_EQ(env->ctx->currentTime, 130u);
}

TEST_F(InterpApiTest, HasNoCallbacksWatchesTheVariableHooks) {
  load();
  EXPECT_TRUE(env_has_no_callbacks(env));
  env_on_print(env, hostPrint);
  EXPECT_TRUE(env_is_quiet(env));
  env_on_variable_read(env, 0, readHook);
  EXPECT_FALSE(env_has_no_callbacks(env));
  env_on_variable_read(env, 0, nullptr);
  env_on_any_variable_change(env, logChange);
  EXPECT_FALSE(env_is_quiet(env));
  env_on_any_variable_change(env, nullptr);
  EXPECT_TRUE(env_has_no_callbacks(env));
}

// ---------------------------------------------------------------------------
// Settings.

TEST_F(InterpApiTest, RealtimeIsRefusedAfterInit) {
  load();
  interp_set_realtime(env, true);
  EXPECT_TRUE(interp_get_realtime(env));
  interp_init(env);
  ::testing::internal::CaptureStdout();
  interp_set_realtime(env, false);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Can not change realtime mode after interpreter initialization\n");
  EXPECT_EQ(hooks.exits, (std::vector<std::pair<size_t, int>>{{0, 1}}));
  EXPECT_TRUE(interp_get_realtime(env));
}

TEST_F(InterpApiTest, ValueStringStopsAtLengthOrZero) {
  const u32 text = b.bufferType(ARRAY_BUFFER, TypeUInt8, 5);
  const u32 hi = b.global("hi", text, {'h', 'i', 0, 'x', 'y'});
  const u32 hello = b.global("hello", text, {'h', 'e', 'l', 'l', 'o'});
  loadAndInit();
  char out[16];
  EXPECT_EQ(interp_get_value_string(env, env->program->globalVariableTable[hi], text, out), 2u);
  EXPECT_STREQ(out, "hi");
  EXPECT_EQ(interp_get_value_string(env, env->program->globalVariableTable[hello], text, out), 5u);
  EXPECT_STREQ(out, "hello");
  EXPECT_EQ(interp_get_value_string(env, env->program->globalVariableTable[hi], text, nullptr), 0u);
  EXPECT_EQ(hooks.asserts, std::vector<std::string>{"buffer != NULL"});
}

// ---------------------------------------------------------------------------
// The system records.

class SystemRecordsTest : public InterpApiTest {
 protected:
  u32 definitionWithStates() {
    first = b.state("idle", body({}));
    return b.processDefinition("P", {.states = b.list({first, b.state("busy", body({}))})});
  }
  TaggedValue record(u32 i) { return interp_processRecord(env, i); }
  DataCell cell(u32 i, ProcessInstanceCell c) { return processRecord_cell(record(i), c); }
  AST* first = nullptr;
};

TEST_F(SystemRecordsTest, DefaultRecordPerGlobalInstance) {
  const u32 def = definitionWithStates();
  b.globalInstance("p0", def);
  b.globalInstance("p1", def);
  loadAndInit();
  const SystemIds& ids = interp_systemIds(env);
  ASSERT_NE(ids.systemVariable, NO_ID);
  const DataCell* system = cells(ids.systemVariable);
  EXPECT_EQ(system[0], b.symbol("FIFO"));
  EXPECT_EQ(env->ctx->processes.value, system + 1);
  EXPECT_EQ(env->ctx->processes.typeId, ids.processesType);
  EXPECT_EQ(system[1], 2u + 2 * PI_CELL_COUNT);  // in index after two records
  EXPECT_EQ(system[2], 2u);                      // out index
  ASSERT_EQ(interp_processRecordCount(env), 2u);
  for (u32 i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(record(i).typeId, ids.processInstanceType);
    EXPECT_EQ(record(i).value, system + 1 + 2 + i * PI_CELL_COUNT);
    EXPECT_EQ(cell(i, PI_INSTANCE_ID), i);
    EXPECT_EQ(cell(i, PI_PID), i);
    EXPECT_EQ(cell(i, PI_DEADLINE), kDefaultDeadline);
    EXPECT_EQ(cell(i, PI_STATE_PTR), AST_id(b.p, first));
    EXPECT_EQ(cell(i, PI_PROCESS_STATE), b.symbol("idle"));
    EXPECT_EQ(cell(i, PI_INITIALIZING), 1u);
    EXPECT_EQ(cell(i, PI_NEXT_ACTIVATIONS), 2u);
    EXPECT_EQ(record(i).value[PI_NEXT_ACTIVATIONS + 1], 2u);
    for (ProcessInstanceCell zero : {PI_EXECUTION_TIME, PI_PERIOD, PI_PRIORITY, PI_CONTINUE,
                                     PI_CURRENT_ACTIVATION, PI_PREVIOUS_ACTIVATION, PI_DURATION}) {
      EXPECT_EQ(cell(i, zero), 0u) << zero;
    }
  }
  EXPECT_EQ(record(2).value, nullptr);
}

TEST_F(SystemRecordsTest, StartPidNumbersThePids) {
  const u32 def = definitionWithStates();
  b.globalInstance("p0", def);
  b.globalInstance("p1", def);
  load();
  interp_set_start_pid(env, 100);
  interp_init(env);
  EXPECT_EQ(cell(0, PI_PID), 100u);
  EXPECT_EQ(cell(1, PI_PID), 101u);

  // A start pid set before loading applies at load.
  InterpEnv* other = interp_create();
  interp_set_start_pid(other, 40);
  ASSERT_EQ(interp_load(other, b.imagePath().c_str()), 0u);
  EXPECT_EQ(processRecord_cell(interp_processRecord(other, 1), PI_PID), 41u);
  interp_stop(other);
}

// The instance's implicit variable is the record: a write through the
// variable (traced under its own id) is what the scheduler reads.
TEST_F(SystemRecordsTest, InstanceVariableAliasesItsRecord) {
  const u32 def = definitionWithStates();
  b.globalInstance("p0", def);
  b.globalInstance("p1", def);
  const u32 p1 = b.p->infoProg->n_globalVariables - 1;
  const u32 setPriority = b.function(
      "set_priority", nullptr,
      body({b.assign(b.field(b.globalRef(p1), TypeUInt8, PI_PRIORITY), b.integer(3))}));
  loadAndInit();
  ASSERT_EQ(interp_getVariableID(env, "p1"), p1);
  EXPECT_EQ(cells(p1), record(1).value);
  cells(p1)[PI_JITTER] = 55;
  EXPECT_EQ(cell(1, PI_JITTER), 55u);

  env_on_variable_change(env, p1, logChange);
  interp_callFunction(env, setPriority, nullptr);
  EXPECT_EQ(cell(1, PI_PRIORITY), 3u);
  EXPECT_EQ(cell(0, PI_PRIORITY), 0u);
  ASSERT_EQ(hooks.changes.size(), 1u);
  EXPECT_EQ(hooks.changes[0].varId, p1);
}

TEST_F(SystemRecordsTest, MoreInstancesThanCapacityAreCutOff) {
  const u32 def = definitionWithStates();
  for (u32 i = 0; i <= 1024; ++i) b.globalInstance("p" + std::to_string(i), def);
  ::testing::internal::CaptureStdout();
  interp_stop(b.writeAndLoad());
  ::testing::internal::GetCapturedStdout();
  env = interp_create();
  watch(env);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(interp_load(env, b.imagePath().c_str()), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "too many process instances (1025) for system.processes (1024)\n");
  EXPECT_EQ(hooks.exits.size(), 1u);
  EXPECT_EQ(interp_processRecordCount(env), 1024u);
  EXPECT_EQ(cell(1023, PI_INSTANCE_ID), 1023u);
  const u32 last = interp_getVariableID(env, "p1024");
  EXPECT_NE(cells(last), record(1023).value);
}

TEST_F(SystemRecordsTest, ImagesWithoutTheSystemLibraryStillRun) {
  ImageBuilder bare(false);
  const u32 def = bare.processDefinition(
      "P", {.states = bare.list({bare.state("s", bare.block(nullptr, nullptr))})});
  bare.globalInstance("p", def);
  const u32 x = bare.global("x", TypeUInt8, {9});
  env = bare.writeLoadAndInit();
  EXPECT_EQ(env->ctx->processes.value, nullptr);
  EXPECT_EQ(env->ctx->processes.typeId, NO_ID);
  EXPECT_EQ(interp_processRecordCount(env), 0u);
  EXPECT_EQ(interp_processRecord(env, 0).value, nullptr);
  EXPECT_EQ(cells(x)[0], 9u);
}

// ---------------------------------------------------------------------------
// Borrowed images and freeing.

// The compiler's image is run in place: its tables are not rebased, its init
// data is not written to, and stopping the environment leaves it alone.
TEST_F(InterpApiTest, BorrowedImageIsLeftToTheCompiler) {
  const u32 x = b.global("x", TypeUInt32, {6});
  const u32 def = b.processDefinition("P", {.states = b.list({b.state("s", body({}))})});
  b.globalInstance("p", def);
  const u32 p = b.p->infoProg->n_globalVariables - 1;
  const std::vector<DataCell> before(b.p->globalVariableDataInitTable,
                                     b.p->globalVariableDataInitTable +
                                         b.p->infoProg->size_globalVariableData);
  const DataCell* xCells = b.p->globalVariableTable[x].value;
  const DataCell* pCells = b.p->globalVariableTable[p].value;

  InterpEnv* borrowing = interp_create();
  ASSERT_EQ(interp_load_from_parser(borrowing, b.p), 0u);
  EXPECT_EQ(borrowing->program, b.p);
  EXPECT_EQ(interp_processRecordCount(borrowing), 1u);
  interp_init(borrowing);
  EXPECT_EQ(b.p->globalVariableTable[x].value, xCells);
  EXPECT_EQ(b.p->globalVariableTable[p].value, pCells);
  EXPECT_EQ(b.p->globalVariableTable[x].value[0], 6u);
  const std::vector<DataCell> after(b.p->globalVariableDataInitTable,
                                    b.p->globalVariableDataInitTable +
                                        b.p->infoProg->size_globalVariableData);
  EXPECT_EQ(before, after);
  interp_stop(borrowing);
  EXPECT_EQ(b.p->globalVariableTable[x].value[0], 6u);  // still the compiler's
}

TEST_F(InterpApiTest, StopFreesEverythingItAllocated) {
  const u32 def = b.processDefinition("P", {.states = b.list({b.state("s", body({}))})});
  b.globalInstance("p", def);
  b.global("x", TypeUInt32, {1});
  interp_stop(b.writeAndLoad());
  const size_t before = memory_allocatedBytes();
  InterpEnv* e = interp_create_load_init(b.imagePath().c_str());
  ASSERT_NE(e, nullptr);
  interp_getStructFieldTypeID(e, "System", "processes");
  interp_getVariableID(e, "x");
  EXPECT_GT(memory_allocatedBytes(), before);
  interp_stop(e);
  EXPECT_EQ(memory_allocatedBytes(), before);
  interp_stop(nullptr);
  interp_freeEnv(nullptr);
}

}  // namespace
