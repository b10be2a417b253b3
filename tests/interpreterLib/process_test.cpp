// Process activations on loaded images: the first activation enters the
// initial state without evaluating transitions, `on` transitions fire in
// source order, `after` delays count from the state's entry, time accounts of
// states, transitions and instances advance the clock, `continue` re-runs an
// activation, OUT process parameters, and sub-process instance calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"
#include "interp_call.h"
#include "interp_system.h"
#include "process.h"

namespace {

constexpr u64 kMs = 1000000000;

struct Event {
  u32 instance;
  u32 phase;
  u32 value;
  bool operator==(const Event&) const = default;
};
struct Log {
  std::vector<Event> fsm;
  std::vector<Event> activations;
  std::vector<std::string> asserts;
  std::vector<u64> markTimes;
};
Log logged;

void logFsm(InterpEnv*, TaggedValue record, u32 phase, u32 value) {
  logged.fsm.push_back({static_cast<u32>(processRecord_cell(record, PI_INSTANCE_ID)), phase, value});
}
void logActivation(InterpEnv*, TaggedValue record, u32 phase) {
  logged.activations.push_back(
      {static_cast<u32>(processRecord_cell(record, PI_INSTANCE_ID)), phase, 0});
}
void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  logged.asserts.emplace_back(text);
}
u32 logMarkTime(InterpEnv* env, u32, u32, TaggedValue) {
  logged.markTimes.push_back(env->ctx->currentTime);
  return 0;
}

// A state machine with one global instance p, driven by hand.
class Machine {
 public:
  Machine() : where(b.global("where", TypeUInt32)), count(b.global("count", TypeUInt32)) {}
  ~Machine() {
    if (env != nullptr) interp_stop(env);
  }

  AST* g(u32 var) { return b.globalRef(var); }
  AST* blockOf(std::initializer_list<AST*> statements) { return b.block(nullptr, b.list(statements)); }
  AST* set(u32 var, AST* value) { return b.assign(g(var), value); }
  AST* increment(u32 var) {
    return set(var, b.binary(PLUS_OP, TypeUInt32, g(var), b.integer(1)));
  }
  // A state whose body records its number in `where`, then runs extra.
  AST* state(const std::string& name, u64 number, AST* transitions = nullptr,
             AST* extra = nullptr) {
    return b.state(name, blockOf({set(where, b.integer(number)), extra}), transitions);
  }
  AST* ms(u64 count) { return b.timeLiteral(MS_LITERAL_OP, count); }
  // Fields of self (local 0 when the process has no parameters).
  AST* self(u32 cell, u32 typeId, u32 selfLocal = 0) {
    return b.field(b.localRef(selfLocal), typeId, cell);
  }

  void build(ImageBuilder::ProcessParts parts, AST* actualParameters = nullptr) {
    definition = b.processDefinition("P", parts);
    b.globalInstance("p", definition, nullptr, nullptr, actualParameters);
  }
  void load() {
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_any_state_changed(env, logFsm);
    env_on_any_task_activation(env, logActivation);
  }
  TaggedValue record() { return interp_processRecord(env, 0); }
  DataCell& field(ProcessInstanceCell cell) { return processRecord_cell(record(), cell); }
  DataCell& globalCell(u32 var) { return *env->program->globalVariableTable[var].value; }
  u32 stateSymbol(const std::string& name) { return b.symbol(name); }

  void activateAt(u64 time) {
    env->ctx->currentTime = time;
    const ProcessGlobalInstance& instance = env->program->processGlobalInstanceTable[0];
    const u32 staticBase = env->program->processInstanceTable[instance.firstInstance].firstStaticVariable;
    process_executeCall(env, instance.definition, staticBase,
                        AST_fromId(env->program, instance.parameters), record());
    EXPECT_EQ(env->ctx->stackCount, 0u);
    EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
  u32 where;
  u32 count;
  u32 definition = NO_ID;
};

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { logged = Log{}; }
};

TEST_F(ProcessTest, FirstActivationEntersStateAndOnlyFirstTrueOnFires) {
  Machine m;
  AST* transitions = m.b.list({m.b.onTransition("S1", m.b.boolean(true)),
                               m.b.onTransition("S2", m.b.boolean(true))});
  m.build({.states = m.b.list({m.state("S0", 0, transitions), m.state("S1", 1), m.state("S2", 2)})});
  m.load();

  m.activateAt(0);
  // Both conditions hold, but the first activation only enters S0.
  EXPECT_EQ(m.globalCell(m.where), 0u);
  EXPECT_EQ(logged.fsm, (std::vector<Event>{{0, 0, m.stateSymbol("S0")}}));
  EXPECT_EQ(m.field(PI_INITIALIZING), 0u);

  m.activateAt(1 * kMs);
  EXPECT_EQ(m.globalCell(m.where), 1u);
  EXPECT_EQ(logged.fsm, (std::vector<Event>{{0, 0, m.stateSymbol("S0")},
                                            {0, 1, 0},
                                            {0, 0, m.stateSymbol("S1")}}));
  EXPECT_EQ(m.field(PI_PROCESS_STATE), m.stateSymbol("S1"));
  EXPECT_EQ(m.field(PI_DURATION), 0u);
  EXPECT_EQ(logged.activations, (std::vector<Event>{{0, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 1, 0}}));
  EXPECT_TRUE(logged.asserts.empty());
}

TEST_F(ProcessTest, AfterCountsFromTheStateEntry) {
  struct Row {
    const char* what;
    u64 delayMs;
    int condition;  // -1: none, else its value
    std::vector<u64> activationsMs;
    std::vector<u64> where;  // state after each activation
  };
  const std::vector<Row> rows = {
      // Entered at 0, activations every 4 ms: fires at 12; back after 10 ms more.
      {"10 ms every 4 ms", 10, -1, {0, 4, 8, 12, 16, 20, 22}, {0, 0, 0, 1, 1, 1, 0}},
      // Record created at 0, first activation at 7: fires at the second.
      {"7 ms then 5 ms", 5, -1, {7, 8}, {0, 1}},
      {"after with true if", 5, 1, {0, 5}, {0, 1}},
      {"after with false if", 5, 0, {0, 5, 30}, {0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    logged = Log{};
    Machine m;
    AST* condition = row.condition < 0 ? nullptr : m.b.boolean(row.condition != 0);
    AST* toS1 = m.b.list({m.b.afterTransition("S1", m.ms(row.delayMs), condition)});
    AST* toS0 = m.b.list({m.b.afterTransition("S0", m.ms(10))});
    m.build({.states = m.b.list({m.state("S0", 0, toS1), m.state("S1", 1, toS0)})});
    m.load();
    for (size_t k = 0; k < row.activationsMs.size(); ++k) {
      m.activateAt(row.activationsMs[k] * kMs);
      EXPECT_EQ(m.globalCell(m.where), row.where[k]) << "activation " << k;
    }
    EXPECT_TRUE(logged.asserts.empty());
  }
}

TEST_F(ProcessTest, TimeAccountsAdvanceTheClock) {
  Machine m;
  const u32 mark = m.b.global("mark", TypeUInt32);
  // Local 0 is self; during the state body and its transitions, local 1 is
  // the state's time account.
  AST* stateAccount = m.b.field(m.b.localRef(1), TypeTime, 0);
  AST* toS1 = m.b.list({m.b.onTransition(
      "S1", m.b.boolean(true), m.blockOf({m.b.assign(stateAccount, m.ms(1))}))});
  AST* s0 = m.state("S0", 0, toS1, m.b.assign(m.b.field(m.b.localRef(1), TypeTime, 0), m.ms(3)));
  m.build({.common = m.blockOf({m.b.assign(m.self(PI_EXECUTION_TIME, TypeTime), m.ms(2))}),
           .states = m.b.list({s0, m.state("S1", 1)}),
           .finallyBlock = m.blockOf({m.set(mark, m.b.integer(1))})});
  m.load();
  env_on_variable_change(m.env, mark, logMarkTime);

  // State body 3 ms, then finally, then the instance's 2 ms.
  m.activateAt(10 * kMs);
  EXPECT_EQ(m.env->ctx->currentTime, 15 * kMs);
  // Transition statements 1 ms, S1's body nothing, finally, then 2 ms.
  m.activateAt(20 * kMs);
  EXPECT_EQ(m.env->ctx->currentTime, 23 * kMs);
  EXPECT_EQ(logged.markTimes, (std::vector<u64>{13 * kMs, 21 * kMs}));
  EXPECT_TRUE(logged.asserts.empty());
}

TEST_F(ProcessTest, ContinueRerunsTheActivationWithFreshTimes) {
  Machine m;
  AST* again = m.b.ifStatement(m.b.binary(LT_OP, TypeUInt32, m.g(m.count), m.b.integer(3)),
                               m.b.assign(m.self(PI_CONTINUE, TypeBoolean), m.b.boolean(true)));
  m.build({.common = m.blockOf({m.increment(m.count),
                                m.b.assign(m.self(PI_EXECUTION_TIME, TypeTime), m.ms(1))}),
           .states = m.b.list({m.state("S0", 0, nullptr, again)})});
  m.load();

  m.activateAt(5 * kMs);
  EXPECT_EQ(m.globalCell(m.count), 3u);
  EXPECT_EQ(m.env->ctx->currentTime, 8 * kMs);
  EXPECT_EQ(m.field(PI_CURRENT_ACTIVATION), 7 * kMs);
  EXPECT_EQ(m.field(PI_PREVIOUS_ACTIVATION), 6 * kMs);
  EXPECT_EQ(m.field(PI_DURATION), 7 * kMs);
  EXPECT_EQ(m.field(PI_CONTINUE), 0u);
  // One activation for the host, one state entry.
  EXPECT_EQ(logged.activations, (std::vector<Event>{{0, 0, 0}, {0, 1, 0}}));
  EXPECT_EQ(logged.fsm.size(), 1u);
}

TEST_F(ProcessTest, OutParameterWritesTheActualParameter) {
  Machine m;
  const u32 x = m.b.global("x", TypeUInt32, {5});
  const u32 seen = m.b.global("seen", TypeUInt32);
  // P(out r, in v): r = 42; seen = v. self is local 2.
  AST* body = m.blockOf({m.b.assign(m.b.localRef(0), m.b.integer(42)),
                         m.set(seen, m.b.localRef(1))});
  m.build({.parameters = m.b.list({m.b.param(OUT_PARAM, TypeUInt32, "r"),
                                   m.b.param(IN_PARAM, TypeUInt32, "v")}),
           .states = m.b.list({m.b.state("S0", body)})},
          m.b.list({m.g(x), m.b.integer(8)}));
  m.load();
  m.activateAt(0);
  EXPECT_EQ(m.globalCell(x), 42u);
  EXPECT_EQ(m.globalCell(seen), 8u);
  EXPECT_TRUE(logged.asserts.empty());
}

// Adds the instance record of a sub-instance (its definition has no statics)
// after its parent's, as the allocation pass lays them out.
void addSubInstanceRecord(ImageBuilder& b, u32 definition, const std::string& name) {
  program* p = b.p;
  const u32 id = p->infoProg->n_processInstances;
  u32 capacity = b.env->pctx->capacity.processInstances;
  parser_reallocTable(&p->processInstanceTable, &capacity, id + 1);
  capacity = b.env->pctx->capacity.processInstances;
  parser_reallocTable(&p->dbg->processInstanceSymbolId, &capacity, id + 1);
  b.env->pctx->capacity.processInstances = capacity;
  p->processInstanceTable[id] = {definition, NO_ID};
  p->dbg->processInstanceSymbolId[id] = b.symbol(name);
  p->infoProg->n_processInstances = id + 1;
}

TEST_F(ProcessTest, SubProcessCallRunsTheSubInstanceWithItsOwnRecord) {
  Machine m;
  ImageBuilder& b = m.b;
  const u32 g = b.global("g", TypeUInt32);
  const u32 q = b.processDefinition(
      "Q", {.states = b.list({b.state("R0", m.blockOf({m.increment(g)}),
                                      b.list({b.onTransition("R1", b.boolean(true))})),
                              b.state("R1", m.blockOf({m.set(g, b.binary(PLUS_OP, TypeUInt32, m.g(g),
                                                                          b.integer(10)))}))})});
  AST* subInstance = b.node(PROCESS_INSTANCE_NODE, b.symbol("sub"), b.index(q, b.sym("Q")),
                            b.index(b.symbol("sub")));
  AST* k = b.staticRef(1);
  m.build({.statics = b.list({b.implicitDecl(b.type("Process_Instance"), "sub"),
                              b.node(STATIC_VARIABLE_DECL_OP, TypeUInt32, b.sym("k"))}),
           .subInstances = b.list({subInstance}),
           .common = m.blockOf({b.call(kCallSubProcess, TypeStmt, nullptr, b.index(0), nullptr),
                                b.assign(k, b.binary(PLUS_OP, TypeUInt32, b.staticRef(1), b.integer(1)))}),
           .states = b.list({m.state("S0", 0)})});
  addSubInstanceRecord(b, q, "sub");
  m.load();
  // Registration for "any" covers the global instances only.
  env_on_state_changed(m.env, 1, logFsm);

  m.activateAt(0);
  m.activateAt(1 * kMs);
  EXPECT_EQ(m.globalCell(g), 11u);
  // The parent's statics are visible again after each sub-process call.
  const u32 base = m.env->program->processInstanceTable[0].firstStaticVariable;
  EXPECT_EQ(*m.env->program->processStaticVariableTable[base + 1].value, 2u);
  const TaggedValue subRecord = m.env->program->processStaticVariableTable[base];
  EXPECT_EQ(processRecord_cell(subRecord, PI_INSTANCE_ID), 1u);
  EXPECT_EQ(processRecord_cell(subRecord, PI_PROCESS_STATE), m.stateSymbol("R1"));
  const std::vector<Event> subEvents = {
      {1, 0, m.stateSymbol("R0")}, {1, 1, 0}, {1, 0, m.stateSymbol("R1")}};
  std::vector<Event> seen;
  for (const Event& e : logged.fsm) {
    if (e.instance == 1) seen.push_back(e);
  }
  EXPECT_EQ(seen, subEvents);
  EXPECT_TRUE(logged.asserts.empty());
}

}  // namespace
