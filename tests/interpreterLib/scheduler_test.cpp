// The scheduler on loaded images, driven through a host clock: first
// activations from offsets and timing annotations, periods, jitter clamping,
// lateness that does not accumulate, the tie rules of the three policies,
// triggered instances, suspended time, interp_step / interp_next_hit, the
// internal checks, and the trace lines byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"
#include "interp_system.h"
#include "parser_data.h"
#include "scheduler.h"

namespace {

constexpr u64 kMs = 1000000000ull;
constexpr u64 kMax = 0x7FFFFFFFFFFFFFFFull;

struct Start {
  u32 instance;
  u64 time;
  bool operator==(const Start&) const = default;
};
struct Log {
  u64 clock = 0;  // the host's clock
  std::vector<u64> delays;
  std::vector<Start> starts;
  std::vector<std::string> asserts;
  int syncs = 0;
};
Log logged;

u64 hostTime(InterpEnv*) { return logged.clock; }
void hostDelay(InterpEnv*, u64 ps) {
  logged.delays.push_back(ps);
  logged.clock += ps;
}
void logStart(InterpEnv* env, TaggedValue record, u32 phase) {
  if (phase != 0) return;
  logged.starts.push_back({static_cast<u32>(processRecord_cell(record, PI_INSTANCE_ID)),
                           env->ctx->gettime_callback(env)});
}
void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  logged.asserts.emplace_back(text);
}
void countSync(InterpEnv*) { ++logged.syncs; }
u32 anyChange(InterpEnv*, u32, u32, TaggedValue) { return 0; }

// A duration of exactly `picoseconds`: a frequency literal carries its period
// in picoseconds.
AST* ps(ImageBuilder& b, u64 picoseconds) { return b.node(FREQUENCY_OP, picoseconds); }

// Loads and initialises the image with the host clock and the logging hooks.
InterpEnv* startImage(ImageBuilder& b, bool traced) {
  InterpEnv* env = b.writeAndLoad();
  env_on_gettime(env, hostTime);
  env_on_delay(env, hostDelay);
  env_on_assert(env, logAssert);
  env_on_syncio(env, countSync);
  env_on_any_task_activation(env, logStart);
  if (traced) env_on_any_variable_change(env, anyChange);
  interp_init(env);
  // Until interp_init starts the scheduler itself.
  if (env->ctx->scheduler == nullptr) scheduler_startup(env);
  return env;
}

void stopImage(InterpEnv* env) {
  scheduler_free(env);
  interp_stop(env);
}

DataCell& recordField(InterpEnv* env, u32 instance, ProcessInstanceCell cell) {
  return processRecord_cell(interp_processRecord(env, instance), cell);
}

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override { logged = Log{}; }
  void TearDown() override {
    if (env != nullptr) stopImage(env);
  }

  // A process whose only state runs `body` (may be null).
  u32 definition(const std::string& name, AST* body = nullptr) {
    AST* statements = body == nullptr ? nullptr : b.list({body});
    return b.processDefinition(name, {.states = b.list({b.state(name + "_run",
                                                                b.block(nullptr, statements))})});
  }
  u32 shared() {
    if (shared_ == NO_ID) shared_ = definition("P");
    return shared_;
  }
  // A periodic instance of the shared definition (period in ms, offset in
  // ps); returns its instance id.
  u32 periodic(const std::string& name, u64 periodMs, u64 offset = 0) {
    return b.globalInstance(name, shared(), ms(periodMs), ps(b, offset));
  }
  AST* ms(u64 count) { return b.timeLiteral(MS_LITERAL_OP, count); }
  // The implicit global Process_Instance variable of the last instance.
  u32 lastInstanceVariable() { return b.p->infoProg->n_globalVariables - 1; }
  AST* instanceField(u32 var, ProcessInstanceCell cell, u32 typeId = TypeTime) {
    return b.field(b.globalRef(var), typeId, cell);
  }
  void timeAnnotation(AST* statement) {
    parser_add_external_definition(b.env, b.node(TIME_ANNOTATION, NO_ID, statement));
  }
  void processAnnotation(u32 instance, u32 var, AST* statement) {
    AST* node = b.node(PROCESS_ANNOTATION, var, statement);
    parser_add_external_definition(b.env, node);
    b.p->processGlobalInstanceTable[instance].annotation = AST_id(b.p, node);
  }

  void start(bool traced = false) { env = startImage(b, traced); }
  DataCell& field(u32 instance, ProcessInstanceCell cell) {
    return recordField(env, instance, cell);
  }
  // The pending activations of an instance, earliest first.
  std::vector<s64> queue(u32 instance) {
    DataCell* q = &field(instance, PI_NEXT_ACTIVATIONS);
    std::vector<s64> entries;
    for (u64 slot = q[1] - 2; slot != q[0] - 2; slot = (slot + 1) % 11) {
      entries.push_back(static_cast<s64>(q[2 + slot]));
    }
    return entries;
  }
  void setQueue(u32 instance, const std::vector<s64>& entries) {
    DataCell* q = &field(instance, PI_NEXT_ACTIVATIONS);
    q[1] = 2;
    for (size_t k = 0; k < entries.size(); ++k) q[2 + k] = static_cast<u64>(entries[k]);
    q[0] = 2 + entries.size();
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
  u32 shared_ = NO_ID;
};

TEST(SchedulerTimeTest, Conversions) {
  EXPECT_EQ(time_ns_to_ps(3), 3000u);
  EXPECT_EQ(time_us_to_ps(3), 3000000u);
  EXPECT_EQ(time_ms_to_ps(3), 3000000000u);
  EXPECT_EQ(time_s_to_ps(3), 3000000000000u);
  EXPECT_EQ(time_ps_to_s(2999999999999u), 2u);
  EXPECT_EQ(time_cut_sub_second(2999999999999u), 999999999999u);
  EXPECT_EQ(time_ps_to_s(kMax), 9223372u);
}

TEST(SchedulerPolicyTest, NamesToValues) {
  const std::pair<const char*, u32> rows[] = {
      {"FIFO", 0}, {"NPFP", 1}, {"NPEDF", 2}, {"fifo", 10}, {"EDF", 10}, {"", 10}, {nullptr, 10}};
  for (const auto& [name, value] : rows) {
    EXPECT_EQ(sched_policy_name_to_value(name), value) << (name ? name : "(null)");
  }
}

TEST_F(SchedulerTest, UnknownPolicyIsRefusedAndLeavesThePolicy) {
  periodic("p", 10);
  start();
  EXPECT_EQ(interp_set_scheduling_policy(env, SCHEDULING_POLICY_NPFP), 1u);
  EXPECT_EQ(interp_set_scheduling_policy(env, SCHEDULING_POLICY_UNKNOWN), 0u);
  EXPECT_EQ(logged.asserts, std::vector<std::string>{"policy != SCHEDULING_POLICY_UNKNOWN"});
  EXPECT_EQ(env->ctx->scheduler->policy, SCHEDULING_POLICY_NPFP);
}

// An unknown policy met while running abandons the run; the host call
// returns normally and leaves the scheduler suspended.
TEST_F(SchedulerTest, UnknownPolicyWhileRunningAbandonsTheRun) {
  periodic("p", 10);
  start();
  env->ctx->scheduler->policy = 7;
  EXPECT_EQ(interp_run_until(env, 30 * kMs), 0u);
  EXPECT_EQ(logged.asserts, std::vector<std::string>{"policy != SCHEDULING_POLICY_UNKNOWN"});
  EXPECT_TRUE(logged.starts.empty());
  EXPECT_TRUE(env->ctx->scheduler->suspended);
  EXPECT_EQ(env->ctx->stackCount, 0u);
}

TEST_F(SchedulerTest, PolicyComesFromSystemSchedPolicy) {
  periodic("p", 10);
  // `system` is the first global the library declares; sched_policy is its cell 0.
  const u32 policyType = b.type("Scheduling_Policy");
  AST* npedf = b.node(ENUM_VALUE_OP, policyType, b.sym("NPEDF"));
  timeAnnotation(b.assign(b.field(b.globalRef(0), policyType, 0), npedf));
  start();
  EXPECT_EQ(env->ctx->scheduler->policy, SCHEDULING_POLICY_NPEDF);
}

TEST_F(SchedulerTest, NothingPendingStepReturnsZeroWithoutTimePassing) {
  definition("Idle");
  start();
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(kMax));
  EXPECT_EQ(interp_step(env), 0u);
  EXPECT_EQ(logged.clock, 0u);
  EXPECT_TRUE(logged.delays.empty());
}

TEST_F(SchedulerTest, RunUntilBeforeFirstActivationIsOneDelay) {
  periodic("p", 10, 50 * kMs);
  start();
  logged.clock = 3 * kMs;
  interp_run_until(env, 20 * kMs);
  // The 3 ms before the call were suspended time: only 17 ms pass.
  EXPECT_EQ(logged.delays, std::vector<u64>{17 * kMs});
  EXPECT_TRUE(logged.starts.empty());
  // Nor do they bring the activation at 50 ms any closer.
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(33 * kMs));
}

TEST_F(SchedulerTest, OffsetThenPeriodAndDelaysFromTheHostClock) {
  const u32 p = periodic("p", 10, 3 * kMs);
  start();
  field(p, PI_EXECUTION_TIME) = 2 * kMs;
  EXPECT_EQ(field(p, PI_DEADLINE), 10 * kMs);
  interp_run_until(env, 25 * kMs);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{p, 3 * kMs}, {p, 13 * kMs}, {p, 23 * kMs}}));
  // Idle to 3, run 2, idle 8, run 2, idle 8, run 2 (to 25): time passes only
  // through the host's delay.
  EXPECT_EQ(logged.delays,
            (std::vector<u64>{3 * kMs, 2 * kMs, 8 * kMs, 2 * kMs, 8 * kMs, 2 * kMs}));
  EXPECT_EQ(logged.clock, 25 * kMs);
  EXPECT_EQ(queue(p), std::vector<s64>{static_cast<s64>(8 * kMs)});
  // syncio before and after each activation.
  EXPECT_EQ(logged.syncs, 6);
}

TEST_F(SchedulerTest, InstanceWithoutTimingListIsNeverActivated) {
  b.globalInstance("q", shared());
  start();
  interp_run_until(env, 100 * kMs);
  EXPECT_TRUE(logged.starts.empty());
  EXPECT_EQ(field(0, PI_PERIOD), 0u);
  EXPECT_EQ(field(0, PI_DEADLINE), kMax);
}

TEST_F(SchedulerTest, StepRunsOneActivationAtATime) {
  const u32 p = periodic("p", 10, 4 * kMs);
  start();
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(4 * kMs));
  interp_step(env);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{p, 4 * kMs}}));
  interp_step(env);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{p, 4 * kMs}, {p, 14 * kMs}}));
  EXPECT_EQ(logged.clock, 14 * kMs);
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(10 * kMs));
}

TEST_F(SchedulerTest, OverdueNextHitIsZero) {
  const u32 p = periodic("p", 10, 4 * kMs);
  start();
  setQueue(p, {-5});
  EXPECT_EQ(interp_next_hit(env), 0);
}

// The lower-index instance runs 3 ms; p starts 3 ms late, but its next
// activation keeps to the nominal 10 ms grid.
TEST_F(SchedulerTest, LatenessDoesNotAccumulate) {
  const u32 slow = periodic("slow", 100);
  const u32 p = periodic("p", 10);
  start();
  field(slow, PI_EXECUTION_TIME) = 3 * kMs;
  interp_run_until(env, 25 * kMs);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{slow, 0}, {p, 3 * kMs}, {p, 10 * kMs},
                                               {p, 20 * kMs}}));
}

// The process annotation runs before each periodic activation and sets the
// jitter of the next period from J; a jitter above the period is clamped.
TEST_F(SchedulerTest, JitterShiftsOnlyItsOwnPeriodAndIsClamped) {
  const u32 jitter = b.global("J", TypeTime);
  const u32 p = periodic("p", 10);
  const u32 var = lastInstanceVariable();
  processAnnotation(p, var, b.assign(instanceField(var, PI_JITTER), b.globalRef(jitter)));
  start();
  auto setJitter = [&](u64 value) { *env->program->globalVariableTable[jitter].value = value; };
  interp_run_until(env, 5 * kMs);
  setJitter(3 * kMs);
  interp_run_until(env, 25 * kMs);
  setJitter(0);
  interp_run_until(env, 45 * kMs);
  setJitter(25 * kMs);  // clamped to 10 ms
  interp_run_until(env, 75 * kMs);
  std::vector<u64> times;
  for (const Start& s : logged.starts) times.push_back(s.time / kMs);
  // Nominal 0, 10, ..., 60 shifted by the jitter drawn for each period.
  EXPECT_EQ(times, (std::vector<u64>{0, 10, 23, 33, 40, 50, 70}));
  EXPECT_EQ(field(p, PI_JITTER), 10 * kMs);
}

TEST_F(SchedulerTest, JitterAbovePeriodIsClampedBeforeTheFirstActivation) {
  const u32 p = periodic("p", 10, 2 * kMs);
  const u32 var = lastInstanceVariable();
  timeAnnotation(b.assign(instanceField(var, PI_JITTER), ms(25)));
  start();
  EXPECT_EQ(field(p, PI_JITTER), 10 * kMs);
  EXPECT_EQ(queue(p), std::vector<s64>{static_cast<s64>(12 * kMs)});
}

TEST_F(SchedulerTest, AnnotationsSetPriorityAndDeadlineAfterTheTimingList) {
  const u32 p = periodic("p", 10);
  const u32 var = lastInstanceVariable();
  timeAnnotation(b.assign(instanceField(var, PI_PRIORITY, TypeUInt8), b.integer(7)));
  processAnnotation(p, var, b.assign(instanceField(var, PI_DEADLINE), ms(4)));
  start();
  EXPECT_EQ(field(p, PI_PRIORITY), 7u);
  EXPECT_EQ(field(p, PI_DEADLINE), 4 * kMs);
  EXPECT_EQ(field(p, PI_PERIOD), 10 * kMs);
}

// Three instances with a 1 s period: 0 runs first for 10 ms; meanwhile the
// others become due at their offsets, so an offset of 2 ms gives an entry of
// -8 ms when the choice is made.
struct PolicyRow {
  const char* name;
  u32 policy;
  std::vector<u64> offsets;
  std::vector<u64> priorities;
  std::vector<u64> deadlines;  // empty: the period stays the deadline
  std::vector<u32> expected;
};

std::vector<u32> runPolicyRow(const PolicyRow& row) {
  logged = Log{};
  ImageBuilder b;
  const u32 definition = b.processDefinition(
      "P", {.states = b.list({b.state("run", b.block(nullptr, nullptr))})});
  for (size_t i = 0; i < row.offsets.size(); ++i) {
    std::string name = "p";
    name += std::to_string(i);
    b.globalInstance(name, definition, b.timeLiteral(S_LITERAL_OP, 1),
                     ps(b, row.offsets[i]));
  }
  InterpEnv* env = startImage(b, false);
  interp_set_scheduling_policy(env, row.policy);
  recordField(env, 0, PI_EXECUTION_TIME) = 10 * kMs;
  for (u32 i = 0; i < row.priorities.size(); ++i) {
    recordField(env, i, PI_PRIORITY) = row.priorities[i];
  }
  for (u32 i = 0; i < row.deadlines.size(); ++i) recordField(env, i, PI_DEADLINE) = row.deadlines[i];
  interp_run_until(env, 20 * kMs);
  stopImage(env);
  std::vector<u32> order;
  for (const Start& s : logged.starts) order.push_back(s.instance);
  return order;
}

TEST(SchedulerPolicyTest, TieRules) {
  const u64 at2 = 2 * kMs, at5 = 5 * kMs;
  const PolicyRow rows[] = {
      {"FIFO: earliest entry beats priority", 0, {0, at2, at5}, {0, 0, 9}, {}, {0, 1, 2}},
      {"FIFO: equal entry, higher priority first", 0, {0, 0, 0}, {0, 1, 5}, {}, {2, 1, 0}},
      {"FIFO: equal entry and priority, lower index", 0, {0, 0, 0}, {3, 3, 3}, {}, {0, 1, 2}},
      {"NPFP: highest priority", 1, {0, at2, at5}, {0, 0, 9}, {}, {0, 2, 1}},
      {"NPFP: equal priority, first wins over an earlier entry", 1, {0, at5, at2}, {0, 4, 4}, {},
       {0, 1, 2}},
      {"NPEDF: smallest entry + deadline", 2, {0, at2, at5}, {}, {kMax, kMax, 50 * kMs},
       {0, 2, 1}},
      {"NPEDF: the default deadline waits for finite ones", 2, {0, 0, 0}, {},
       {kMax, kMax, 5 * kMs}, {2, 0, 1}},
      {"NPEDF: first due kept at the largest sum", 2, {0, 0, 0}, {}, {kMax, kMax, kMax},
       {0, 1, 2}},
      {"NPEDF: priority plays no part", 2, {0, 0, 0}, {0, 9, 0}, {}, {0, 1, 2}},
  };
  for (const PolicyRow& row : rows) EXPECT_EQ(runPolicyRow(row), row.expected) << row.name;
}

// A triggered instance (period 0, condition `go`) gets at most one due
// activation however often the conditions are evaluated; its body clears go.
TEST_F(SchedulerTest, TriggeredInstanceHasAtMostOneDueActivation) {
  const u32 go = b.global("go", TypeBoolean, {1});
  const u32 t = b.globalInstance("t", definition("T", b.assign(b.globalRef(go), b.boolean(false))),
                                 nullptr, nullptr, nullptr, b.globalRef(go));
  start();
  EXPECT_EQ(interp_next_hit(env), 0);
  EXPECT_EQ(interp_next_hit(env), 0);
  EXPECT_EQ(queue(t), std::vector<s64>{0});
  interp_run_until(env, 5 * kMs);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{t, 0}}));
  EXPECT_TRUE(queue(t).empty());
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(kMax));
}

TEST_F(SchedulerTest, TriggeredActivationIsInsertedBeforeLaterOnesDroppingTheOldest) {
  const u32 go = b.global("go", TypeBoolean, {1});
  const u32 t = b.globalInstance("t", definition("T"), nullptr, nullptr, nullptr, b.globalRef(go));
  start();
  setQueue(t, {5});
  interp_next_hit(env);
  EXPECT_EQ(queue(t), (std::vector<s64>{0, 5}));
  setQueue(t, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  interp_next_hit(env);
  EXPECT_EQ(queue(t), (std::vector<s64>{0, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

// A false condition at the selected activation loses it: no activation and
// no trace, a single syncio, and the next periodic activation is planned.
TEST_F(SchedulerTest, FalseConditionLosesTheActivation) {
  const u32 go = b.global("go", TypeBoolean, {0});
  const u32 p = b.globalInstance("p", shared(), ms(10), nullptr, nullptr, b.globalRef(go));
  const u32 t = b.globalInstance("t", definition("T"), nullptr, nullptr, nullptr, b.globalRef(go));
  start(true);
  *env->program->globalVariableTable[go].value = 1;
  interp_next_hit(env);  // t now has a due activation
  *env->program->globalVariableTable[go].value = 0;
  testing::internal::CaptureStdout();
  interp_run_until(env, 25 * kMs);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(logged.starts.empty());
  EXPECT_EQ(logged.syncs, 4);  // p at 0, 10, 20 and t once
  EXPECT_EQ(queue(p), std::vector<s64>{static_cast<s64>(5 * kMs)});
  EXPECT_TRUE(queue(t).empty());
}

// Time that passes between two host calls is not elapsed time: neither the
// pending activation nor the instance's duration sees it.
TEST_F(SchedulerTest, SuspendedTimeDoesNotCount) {
  const u32 p = periodic("p", 10);
  start();
  interp_run_until(env, 5 * kMs);
  logged.clock += 100 * kMs;  // the host went on without the scheduler
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(5 * kMs));
  interp_run_for(env, 5 * kMs);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{p, 0}, {p, 110 * kMs}}));
  EXPECT_EQ(field(p, PI_DURATION), 10 * kMs);
  EXPECT_EQ(field(p, PI_PREVIOUS_ACTIVATION), 100 * kMs);
}

// A suspension that the lazily applied activation times must still see:
// the record of an instance that did not run since is read after two pauses.
TEST_F(SchedulerTest, SuspendedTimeReachesRecordsThatDidNotRun) {
  const u32 p = periodic("p", 10);
  const u32 idle = periodic("idle", 1000, 500 * kMs);
  start();
  interp_run_until(env, 5 * kMs);
  logged.clock += 7 * kMs;
  interp_run_for(env, 1 * kMs);
  logged.clock += 3 * kMs;
  interp_run_for(env, 1 * kMs);
  EXPECT_EQ(field(idle, PI_CURRENT_ACTIVATION), 10 * kMs);
  EXPECT_EQ(field(idle, PI_PREVIOUS_ACTIVATION), 10 * kMs);
  EXPECT_EQ(field(p, PI_CURRENT_ACTIVATION), 10 * kMs);
  EXPECT_EQ(queue(idle), std::vector<s64>{static_cast<s64>(493 * kMs)});
}

// Periods, offsets and jitters of 2^63 ps or more plan the activation as far
// ahead as a relative time reaches instead of wrapping into the past, where
// the instance would be due again and again at the same instant.
TEST_F(SchedulerTest, HugeTimingValuesSaturateInsteadOfWrapping) {
  constexpr u64 kHuge = (1ull << 63) + 5;
  const u32 huge = b.globalInstance("huge", shared(), ps(b, kHuge));
  const u32 far = b.globalInstance("far", shared(), ms(10), ps(b, ~0ull));
  const u32 jittered = b.globalInstance("jittered", shared(), ps(b, kHuge));
  const u32 var = lastInstanceVariable();
  timeAnnotation(b.assign(instanceField(var, PI_JITTER), ps(b, kHuge)));
  start();
  EXPECT_EQ(queue(far), std::vector<s64>{static_cast<s64>(kMax)});
  EXPECT_EQ(queue(jittered), std::vector<s64>{static_cast<s64>(kMax)});
  interp_run_until(env, 10 * kMs);
  EXPECT_EQ(logged.starts, (std::vector<Start>{{huge, 0}}));
  EXPECT_EQ(queue(huge), std::vector<s64>{static_cast<s64>(kMax - 10 * kMs)});
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(kMax - 10 * kMs));
}

// Which programs keep the indexed scheduler: reading any field or writing
// jitter anywhere, and writing an instance's priority or deadline in its own
// timing annotation or through self, do; reading another instance's pending
// activations, writing another instance's priority, using a whole record or
// reaching system.processes fall back to the walk.
TEST(SchedulerIndexingTest, ProgramsThatWriteIndexedFieldsElsewhereWalk) {
  enum Writer { kNothing, kOwnAnnotation, kSelfBody, kOtherBody, kQueueRead, kWholeRecord, kProcesses };
  const std::pair<Writer, bool> rows[] = {{kNothing, true},     {kOwnAnnotation, true},
                                          {kSelfBody, true},    {kOtherBody, false},
                                          {kQueueRead, false},  {kWholeRecord, false},
                                          {kProcesses, false}};
  for (const auto& [writer, indexed] : rows) {
    ImageBuilder b;
    const u32 sink = b.global("sink", TypeUInt64);
    const u32 copy = b.global("copy", b.type("Process_Instance"));
    auto definition = [&](const std::string& name, AST* statement) {
      return b.processDefinition(
          name, {.states = b.list({b.state(name + "_run", b.block(nullptr, b.list({statement})))})});
    };
    const u32 plain = definition("Plain", b.assign(b.globalRef(sink), b.integer(1)));
    b.globalInstance("a", plain, b.timeLiteral(MS_LITERAL_OP, 10));
    const u32 a = b.p->infoProg->n_globalVariables - 1;
    AST* body = nullptr;
    switch (writer) {
      case kSelfBody:
        body = b.assign(b.field(b.localRef(0), TypeUInt8, PI_PRIORITY), b.integer(3));
        break;
      case kOtherBody:
        body = b.assign(b.field(b.globalRef(a), TypeUInt8, PI_PRIORITY), b.integer(3));
        break;
      case kQueueRead:
        body = b.assign(b.globalRef(sink),
                        b.cast(TypeUInt64, b.field(b.globalRef(a), TypeUInt32,
                                                   PI_NEXT_ACTIVATIONS)));
        break;
      case kWholeRecord:
        body = b.assign(b.globalRef(copy), b.globalRef(a));
        break;
      case kProcesses:
        body = b.assign(b.globalRef(sink),
                        b.cast(TypeUInt64, b.field(b.globalRef(0), TypeUInt32, 1)));
        break;
      default:
        body = b.assign(b.globalRef(sink),
                        b.cast(TypeUInt64, b.field(b.globalRef(a), TypeUInt8, PI_PRIORITY)));
        break;
    }
    b.globalInstance("b", definition("Writer", body), b.timeLiteral(MS_LITERAL_OP, 10));
    const u32 bVar = b.p->infoProg->n_globalVariables - 1;
    if (writer == kOwnAnnotation) {
      AST* node = b.node(PROCESS_ANNOTATION, bVar,
                         b.assign(b.field(b.globalRef(bVar), TypeUInt8, PI_PRIORITY), b.integer(2)));
      parser_add_external_definition(b.env, node);
      b.p->processGlobalInstanceTable[1].annotation = AST_id(b.p, node);
    }
    // Start-up annotations may write anything.
    parser_add_external_definition(
        b.env, b.node(TIME_ANNOTATION, NO_ID, b.assign(b.field(b.globalRef(a), TypeTime,
                                                                PI_DEADLINE),
                                                       b.timeLiteral(MS_LITERAL_OP, 3))));
    InterpEnv* env = b.writeLoadAndInit();
    if (env->ctx->scheduler == nullptr) scheduler_startup(env);
    EXPECT_EQ(scheduler_isIndexed(env), indexed) << "case " << writer;
    interp_stop(env);
  }
}

TEST_F(SchedulerTest, FullQueueOfPeriodicInstanceIsAnInternalError) {
  const u32 p = periodic("p", 10);
  start();
  setQueue(p, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  interp_guard(env, 0, [&] {
    update_periodic_process_next_hit(env, p, 0);
    return 0;
  });
  EXPECT_EQ(logged.asserts, std::vector<std::string>{"!queue_isFull(env, next_activation_queue)"});
  EXPECT_EQ(queue(p), (std::vector<s64>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(SchedulerTest, DamagedQueueIndexAbandonsTheRun) {
  const u32 p = periodic("p", 10);
  start();
  field(p, PI_NEXT_ACTIVATIONS) = 99;
  EXPECT_EQ(interp_run_until(env, 5 * kMs), 0u);
  EXPECT_EQ(logged.asserts, std::vector<std::string>{"next_activations index inside the queue"});
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(kMax));
}

// An activation abandoned by an internal error has already planned its next
// one: each later step runs the instance a period on, never again at the time
// of the abandoned activation (which would fill its queue in ten steps).
TEST_F(SchedulerTest, AbandonedActivationKeepsItsNextPeriod) {
  // A loop that never ends, cut short by the host's loop limit.
  AST* endless = b.whileStatement(b.boolean(true), b.block(nullptr, nullptr));
  const u32 p = b.globalInstance("p", definition("Endless", endless), ms(10), ps(b, 0));
  start();
  ASSERT_TRUE(env->ctx->scheduler->indexed);
  interp_set_loop_limit(env, 5);
  std::vector<Start> expected;
  for (u64 k = 0; k < 12; ++k) {
    EXPECT_EQ(interp_step(env), 0u);
    expected.push_back({p, k * 10 * kMs});
  }
  EXPECT_EQ(logged.starts, expected);
  EXPECT_TRUE(logged.asserts.empty());
  EXPECT_EQ(queue(p), std::vector<s64>{static_cast<s64>(10 * kMs)});
}

TEST_F(SchedulerTest, TraceLinesByteForByte) {
  const u32 blink = b.globalInstance("blink", shared(), b.timeLiteral(S_LITERAL_OP, 1));
  start(true);
  field(blink, PI_PERIOD) = 1500 * kMs;
  field(blink, PI_EXECUTION_TIME) = 2 * kMs;
  testing::internal::CaptureStdout();
  interp_run_until(env, 1600 * kMs);
  const std::string file = b.imagePath();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[0.000000000000:" + file + ":STARTING_TASK] 'blink'\n"
            "[0.002000000000:" + file + ":TASK_FINISHED] 'blink'\n"
            "[1.500000000000:" + file + ":STARTING_TASK] 'blink'\n"
            "[1.502000000000:" + file + ":TASK_FINISHED] 'blink'\n");
}

TEST_F(SchedulerTest, QuietEnvironmentWritesNoTrace) {
  periodic("p", 10);
  start();
  testing::internal::CaptureStdout();
  interp_run_until(env, 25 * kMs);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(logged.starts.size(), 3u);
}

TEST_F(SchedulerTest, RunCallsBeforeInitDoNothing) {
  periodic("p", 10);
  env = b.writeAndLoad();
  EXPECT_EQ(interp_run_until(env, 5 * kMs), 0u);
  EXPECT_EQ(interp_step(env), 0u);
  EXPECT_EQ(interp_next_hit(env), static_cast<s64>(kMax));
  EXPECT_EQ(interp_run_until(nullptr, 5), 0u);
}

}  // namespace
