// What a host sees of a compiled program through the public API: the image's
// instance and static names, reads and writes of globals (a write can be
// refused), pushes into global channels, delays and synchronisation, state
// changes and activations, arguments passed to a called function, runs that
// go on after a failure when the host's exit callback returns, printing
// without a print callback, and value display.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "compile_program.h"
#include "interp_api.h"
#include "interp_system.h"
#include "print.h"
#include "scheduler.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kProgram = R"(struct Pair { uint32 : a; uint32 : b; };
var uint32 : y = 3;
var uint32 : seen = 0;
var uint8 : x = 7;
var Pair : pair;
var queue<uint8> : q[3];
var uint32 : local_count = 0;

read_twice() { seen = y + y; }
store() { x = 5; }
set_out(out uint32 : r) { r = 9; }
through_out() { set_out(y); }
field() { pair.b = 6; }
fill() { q.push(44); q.insert_sorted(7); q.insert_sorted(2); }
overfill() { q.push(1); q.insert_sorted(0); }
local() { var queue<uint8> : lq[3]; lq.push(1); local_count = lq.count(); }
nap() { sleep(2 ms); IO.sync(); }

enum Color { red, green };
struct Inner { bool : lit; Color : c; };
struct Record { int8 : a; time64 : t; queue<uint8> : q[3]; stack<int32> : s[4]; uint16 : arr[2];
                Inner : inner; float32 : f; int64 : big; Color : none; };
var Record : r;
var uint32 : values[4] = {10, 11, 12, 13};
var uint32 : index = 7;
var int8 : negative = -1;
var uint8 : small[4];
var uint64 : next_to_small = 23130;
var uint32 : zero = 0;
var uint32 : calls = 0;

doubled(in uint32 : n) { seen = n + n; }
past_end() { seen = values[index]; }
before_start() { seen = values[negative]; }
remove_from_array() {
    loop over values with it { if (it.current == 11) { it.remove_current(); } calls = calls + 1; }
}
overflow() { uint8.print(small, "%s!", "xyzw"); }
leave() { exit(300); seen = 1; }
divide() { seen = 7 / zero; }
counted(out uint32 : v) { calls = calls + 1; v = calls; }
print_counted() { IO.println("%u", counted()); }
fill_record() {
    r.a = -1; r.t = 1500 ms;
    r.q.push(6); r.q.push(7); r.q.pop(); r.q.push(8); r.q.push(9);
    r.s.push(1); r.s.push(2); r.s.push(3);
    r.arr[0] = 10; r.arr[1] = 20;
    r.inner.lit = true; r.inner.c = Color.green;
    r.f = 0.5; r.big = -5;
}

processdef Machine() {
    state S0 { }
    on (true) to S1;
    on (true) to S2;
    state S1 { }
    state S2 { }
}
process Machine : m[1 ms]();

processdef Leaf() { static var uint16 : sy; state B { } }
processdef Branch() {
    process Leaf : b;
    static var uint8 : sx;
    state A { }
}
process Branch : o();
)";

struct Change {
  u32 varId;
  u32 mode;
  u32 typeId;
  DataCell cell;
};
struct Event {
  u32 phase;
  u32 value;
};
struct Log {
  std::vector<std::pair<size_t, int>> exits;
  std::vector<Change> changes;
  u32 verdict = 0;
  int reads = 0;
  std::vector<u64> delays;
  int syncs = 0;
  std::vector<u32> invalidOps;
  std::vector<Event> states;
  std::vector<u32> activations;
};
Log logged;

u32 logChange(InterpEnv*, u32 varId, u32 mode, TaggedValue value) {
  logged.changes.push_back({varId, mode, value.typeId, *value.value});
  return logged.verdict;
}
u32 countRead(InterpEnv*, u32) {
  ++logged.reads;
  return 0;
}
void logDelay(InterpEnv*, u64 ps) { logged.delays.push_back(ps); }
void logSync(InterpEnv*) { ++logged.syncs; }
TaggedValue logInvalidOp(InterpEnv*, AST*, u32 code) {
  logged.invalidOps.push_back(code);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}
void logExit(InterpEnv*, size_t line, int code) { logged.exits.emplace_back(line, code); }
void logState(InterpEnv*, TaggedValue, u32 phase, u32 value) { logged.states.push_back({phase, value}); }
void logActivation(InterpEnv*, TaggedValue, u32 phase) { logged.activations.push_back(phase); }

class HostHooksTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("velk_hooks_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    const ProgramRun r = compileProgram(dir_, "hooks", kProgram);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  void SetUp() override { start(); }
  void start() {
    logged = Log{};
    env = interp_create();
    ASSERT_EQ(interp_load(env, (dir_ / "hooks.ast").c_str()), 0u);
    interp_init(env);
  }
  void TearDown() override { interp_stop(env); }

  u32 variable(const char* name) { return interp_getVariableID(env, name); }
  u32 function(const char* name) { return interp_getFunctionID(env, name, 0, nullptr); }
  DataCell* cells(const char* name) {
    return env->program->globalVariableTable[variable(name)].value;
  }
  void call(const char* name) {
    ASSERT_NE(function(name), NO_ID) << name;
    interp_callFunction(env, function(name), nullptr);
  }
  // Calls a function with standard output captured; what it printed.
  std::string printed(const char* name) {
    testing::internal::CaptureStdout();
    call(name);
    return testing::internal::GetCapturedStdout();
  }
  std::vector<u32> changedIds() const {
    std::vector<u32> ids;
    for (const Change& c : logged.changes) ids.push_back(c.varId);
    return ids;
  }

  static fs::path dir_;
  InterpEnv* env = nullptr;
};
fs::path HostHooksTest::dir_;

// Instances are laid out depth first after their parent; statics are named
// by their path of instances.
TEST_F(HostHooksTest, InstancesAndStaticsOfTheImage) {
  const program* p = env->program;
  ASSERT_EQ(p->infoProg->n_processInstances, 3u);
  std::vector<std::string> instances;
  for (u32 i = 0; i < 3; ++i) {
    instances.push_back(interp_symbolName(p, p->dbg->processInstanceSymbolId[i]));
  }
  EXPECT_EQ(instances, (std::vector<std::string>{"m", "o", "b"}));
  std::vector<std::string> statics;
  for (u32 i = 0; i < p->infoProg->n_processStaticVariables; ++i) {
    statics.push_back(interp_symbolName(p, p->dbg->processStaticVariableSymbolId[i]));
  }
  EXPECT_EQ(statics, (std::vector<std::string>{"o::b", "o::sx", "o::b::sy"}));
  EXPECT_EQ(p->processInstanceTable[2].firstStaticVariable, 2u);
}

TEST_F(HostHooksTest, ReadHookIsCalledOncePerRead) {
  env_on_variable_read(env, variable("y"), countRead);
  call("read_twice");
  EXPECT_EQ(*cells("seen"), 6u);
  EXPECT_EQ(logged.reads, 2);
}

// The hook sees the value as it will be stored (a literal, written into a
// uint8); a non-zero answer keeps the variable as it was.
TEST_F(HostHooksTest, ChangeHookSeesTheStoredValueAndCanRefuseTheWrite) {
  const u32 x = variable("x");
  env_on_variable_change(env, x, logChange);
  logged.verdict = 1;
  call("store");
  EXPECT_EQ(*cells("x"), 7u);
  ASSERT_EQ(logged.changes.size(), 1u);
  EXPECT_EQ(logged.changes[0].varId, x);
  EXPECT_EQ(logged.changes[0].mode, 0u);
  EXPECT_EQ(logged.changes[0].typeId, u32{TypeUInt8});
  EXPECT_EQ(logged.changes[0].cell, 5u);
  logged.verdict = 0;
  call("store");
  EXPECT_EQ(*cells("x"), 5u);
  EXPECT_EQ(logged.changes.size(), 2u);
}

// An OUT parameter is the global itself, a field write belongs to its
// structure: both are reported under the global.
TEST_F(HostHooksTest, WritesThroughParametersAndFieldsAreReportedUnderTheGlobal) {
  env_on_any_variable_change(env, logChange);
  call("through_out");
  call("field");
  EXPECT_EQ(changedIds(), (std::vector<u32>{variable("y"), variable("pair")}));
  EXPECT_EQ(*cells("y"), 9u);
  EXPECT_EQ(cells("pair")[1], 6u);
}

// push and insert_sorted into a global channel offer the element to the hook
// (mode 1) first; a full channel refuses before the hook hears of it; a local
// channel has no hook.
TEST_F(HostHooksTest, ChannelWritesGoThroughTheChangeHook) {
  const u32 q = variable("q");
  env_on_any_variable_change(env, logChange);
  interpreter_on_invalid_op(env, logInvalidOp);
  logged.verdict = 1;
  call("fill");
  EXPECT_EQ(logged.changes.size(), 3u);
  EXPECT_EQ(cells("q")[0], cells("q")[1]);  // still empty
  logged.verdict = 0;
  logged.changes.clear();
  call("fill");
  ASSERT_EQ(logged.changes.size(), 3u);
  EXPECT_EQ(logged.changes[0].varId, q);
  EXPECT_EQ(logged.changes[0].mode, 1u);
  EXPECT_EQ(logged.changes[0].typeId, u32{TypeUInt8});
  EXPECT_EQ(logged.changes[0].cell, 44u);
  call("overfill");
  EXPECT_EQ(logged.changes.size(), 3u);
  EXPECT_EQ(logged.invalidOps, (std::vector<u32>{INVALID_OP_QUEUE_FULL, INVALID_OP_QUEUE_FULL}));
  call("local");
  EXPECT_EQ(*cells("local_count"), 1u);
  EXPECT_EQ(changedIds(), (std::vector<u32>{q, q, q, variable("local_count")}));
}

// Time passes only through the delay callback: a host's own sees the step and
// the clock stays where the host keeps it.
TEST_F(HostHooksTest, SleepGoesThroughTheDelayCallback) {
  const u64 start = env->ctx->currentTime;
  env_on_syncio(env, logSync);
  call("nap");
  EXPECT_EQ(env->ctx->currentTime, start + time_ms_to_ps(2));
  env_on_delay(env, logDelay);
  call("nap");
  EXPECT_EQ(logged.delays, std::vector<u64>{time_ms_to_ps(2)});
  EXPECT_EQ(env->ctx->currentTime, start + time_ms_to_ps(2));
  EXPECT_EQ(logged.syncs, 2);
}

// The first activation only enters the initial state; the next one takes the
// first transition whose condition holds: a leave (phase 1) then an entry.
TEST_F(HostHooksTest, StateAndActivationHooks) {
  env_on_any_state_changed(env, logState);
  env_on_any_task_activation(env, logActivation);
  interp_run_until(env, time_ms_to_ps(1) + 1);
  ASSERT_EQ(logged.states.size(), 3u);
  EXPECT_EQ(logged.states[0].phase, 0u);
  EXPECT_STREQ(interp_symbolName(env->program, logged.states[0].value), "S0");
  EXPECT_EQ(logged.states[1].phase, 1u);
  EXPECT_EQ(logged.states[2].phase, 0u);
  EXPECT_STREQ(interp_symbolName(env->program, logged.states[2].value), "S1");
  EXPECT_EQ(logged.activations, (std::vector<u32>{0, 1, 0, 1}));
}

TEST_F(HostHooksTest, ArgumentsPassedByTheHost) {
  const ArgDescriptor in{TypeUInt32, 0};
  const u32 id = interp_getFunctionID(env, "doubled", 1, &in);
  ASSERT_NE(id, NO_ID);
  DataCell n = 21;
  const TaggedValue argument{&n, TypeUInt32, NO_ID};
  EXPECT_EQ(interp_callFunction(env, id, &argument), 0u);
  EXPECT_EQ(*cells("seen"), 42u);
}

// A host whose exit callback returns lets the run go on after a failure,
// with defined values, on either engine: the last or the first element for an
// index out of the array, what fits of a formatted string, 0 for a division
// left to the library's default invalid-operation callback.
TEST_F(HostHooksTest, RunGoesOnAfterFailuresWhenTheExitCallbackReturns) {
  for (const char* engine : {"prepared", "tree"}) {
    SCOPED_TRACE(engine);
    interp_stop(env);
    setenv("VELK_ENGINE", engine, 1);
    start();
    env_on_exit(env, logExit);
    EXPECT_EQ(printed("past_end"), "Array index out of bounds (7)\n");
    EXPECT_EQ(*cells("seen"), 13u);
    EXPECT_EQ(printed("before_start"), "Negative array index\n");
    EXPECT_EQ(*cells("seen"), 10u);
    EXPECT_EQ(printed("remove_from_array"), "REMOVECURRENT ON ARRAY NOT SUPPORTED YET!\n");
    EXPECT_EQ(*cells("calls"), 4u);
    EXPECT_EQ(printed("overflow"), "String copy exceeds target_buffer buffer size !\n");
    std::string small;
    for (int k = 0; k < 4; ++k) small += static_cast<char>(cells("small")[k]);
    EXPECT_EQ(small, "xyzw");
    EXPECT_EQ(*cells("next_to_small"), 23130u);
    EXPECT_EQ(logged.exits, (std::vector<std::pair<size_t, int>>{{0, 1}, {0, 1}, {0, 1}, {0, 1}}));
    call("leave");
    EXPECT_EQ(logged.exits.back(), (std::pair<size_t, int>{39, 300 % 256}));
    EXPECT_EQ(*cells("seen"), 1u);
    call("divide");
    EXPECT_EQ(*cells("seen"), 0u);
  }
  unsetenv("VELK_ENGINE");
}

// Without a print callback nothing is printed, but print arguments still run.
TEST_F(HostHooksTest, PrintArgumentsRunWithoutAPrintCallback) {
  EXPECT_EQ(printed("print_counted"), "");
  EXPECT_EQ(*cells("calls"), 1u);
}

TEST_F(HostHooksTest, DisplayValueShowsEveryField) {
  call("fill_record");
  testing::internal::CaptureStdout();
  display_value(env, env->program->globalVariableTable[variable("r")]);
  const TaggedValue a{cells("r"), TypeSInt8, NO_ID};
  display_value(env, a);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "{-1,1s500ms,{7,8,9},{3,2,1},{10,20},{true,green},0.500000,-5,NULL}-1");
}

}  // namespace
