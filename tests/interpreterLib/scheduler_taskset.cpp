#include "scheduler_taskset.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "interp_api.h"
#include "interp_system.h"
#include "parser_data.h"
#include "scheduler.h"
#include "scheduler_reference.h"

namespace sched_taskset {
namespace {

constexpr u64 kUnit = 1000000000ull;  // 1 ms

u64 gClock = 0;
std::string gLog;

u64 hostTime(InterpEnv*) { return gClock; }
void hostDelay(InterpEnv*, u64 ps) {
  gLog += "D" + std::to_string(ps) + "\n";
  gClock += ps;
}
void logActivation(InterpEnv* env, TaggedValue record, u32 phase) {
  gLog += "A" + std::to_string(processRecord_cell(record, PI_INSTANCE_ID)) + " " +
          std::to_string(phase) + " " + std::to_string(env->ctx->gettime_callback(env)) + "\n";
}
void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  gLog += std::string("assert ") + text + "\n";
}
void logSync(InterpEnv*) { gLog += "S\n"; }
u32 anyChange(InterpEnv*, u32, u32, TaggedValue) { return 0; }

// Captures everything written to stdout between begin() and end() in memory
// (both schedulers write their trace lines through stdout).
class StdoutCapture {
 public:
  void begin() {
    std::fflush(stdout);
    saved_ = stdout;
    stdout = open_memstream(&buffer_, &size_);
  }
  std::string end() {
    std::fclose(stdout);
    stdout = saved_;
    std::string text(buffer_, size_);
    std::free(buffer_);
    buffer_ = nullptr;
    return text;
  }

 private:
  FILE* saved_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

u64 Draws::operator()() {
  if (size_ == 0) return rng_();
  u64 value = 0;
  const size_t n = size_ < sizeof value ? size_ : sizeof value;
  std::memcpy(&value, bytes_, n);
  bytes_ += n;
  size_ -= n;
  return value;
}

u32 instancesOf(u64 seed) {
  std::mt19937_64 rng(~seed);
  const u32 sizeClass = static_cast<u32>(rng() % 10);
  if (sizeClass < 6) return 2 + static_cast<u32>(rng() % 12);
  if (sizeClass < 9) return 2 + static_cast<u32>(rng() % 120);
  return 2 + static_cast<u32>(rng() % 1023);
}

TaskSet generate(ImageBuilder& b, u32 n, Draws& draw) {
  auto pick = [&draw](u64 m) { return m == 0 ? 0 : draw() % m; };
  auto chance = [&draw](u32 percent) { return draw() % 100 < percent; };
  TaskSet set;

  const u32 counter = b.global("counter", TypeUInt64);
  const u32 jitterSource = b.global("jitter_source", TypeTime);
  auto counterRef = [&] { return b.globalRef(counter); };
  auto time = [&](u64 quarterUnits) { return b.node(FREQUENCY_OP, quarterUnits * kUnit / 4); };
  auto modulo = [&](u64 m) { return b.binary(MOD_OP, TypeUInt64, counterRef(), b.integer(m)); };

  // Bodies: advance the counter; some also move the jitter source, write
  // their own priority or deadline through self, or another instance's
  // priority.
  AST* advance = b.assign(counterRef(), b.binary(PLUS_OP, TypeUInt64, counterRef(), b.integer(1)));
  AST* moveJitter = b.assign(
      b.globalRef(jitterSource),
      b.binary(PLUS_OP, TypeTime, b.globalRef(jitterSource), time(1 + pick(3))));
  AST* resetJitter = b.ifStatement(b.binary(GT_OP, TypeTime, b.globalRef(jitterSource), time(12)),
                                   b.assign(b.globalRef(jitterSource), time(0)));
  AST* selfPriority = b.assign(b.field(b.localRef(0), TypeUInt8, PI_PRIORITY),
                               b.cast(TypeUInt8, modulo(3 + pick(4))));
  AST* selfDeadline = b.assign(b.field(b.localRef(0), TypeTime, PI_DEADLINE),
                               b.globalRef(jitterSource));
  auto body = [&](const std::string& name, std::vector<AST*> statements) {
    return b.processDefinition(
        name, {.states = b.list({b.state(name + "_run", b.block(nullptr, b.list(statements)))})});
  };
  std::vector<u32> definitions = {
      body("Plain", {advance}),
      body("Mover", {b.assign(counterRef(), b.binary(PLUS_OP, TypeUInt64, counterRef(),
                                                     b.integer(1))),
                     moveJitter, resetJitter}),
      body("SelfPriority", {b.assign(counterRef(), b.binary(PLUS_OP, TypeUInt64, counterRef(),
                                                            b.integer(1))),
                            selfPriority}),
      body("SelfDeadline", {b.assign(counterRef(), b.binary(PLUS_OP, TypeUInt64, counterRef(),
                                                            b.integer(1))),
                            selfDeadline}),
  };

  const u32 periodStyle = static_cast<u32>(pick(4));
  const u64 basePeriod = 4 * (1 + pick(8));  // in quarter units
  static const u64 primes[] = {2, 3, 5, 7, 11, 13, 17, 19};
  const u32 triggeredShare = static_cast<u32>(pick(4)) * 5;  // percent
  const bool writesOthers = chance(12);
  std::vector<u32> vars;
  std::vector<u64> periods;
  u64 rate = 0;  // activations per 1000 quarter units, roughly
  for (u32 i = 0; i < n; ++i) {
    const std::string name = "t" + std::to_string(i);
    u32 definition = definitions[pick(chance(50) ? 1 : definitions.size())];
    if (writesOthers && i > 0 && chance(10)) {
      // Writes the priority of an earlier instance: not indexable.
      const u32 target = vars[pick(vars.size())];
      definition = body("Other" + std::to_string(i),
                        {b.assign(counterRef(), b.binary(PLUS_OP, TypeUInt64, counterRef(),
                                                         b.integer(1))),
                         b.assign(b.field(b.globalRef(target), TypeUInt8, PI_PRIORITY),
                                  b.cast(TypeUInt8, modulo(5)))});
      set.forcesWalk = true;
    }
    const bool triggered = chance(triggeredShare);
    AST* condition = nullptr;
    if (triggered || chance(5)) {
      const u64 m = 2 + pick(6);
      condition = b.binary(CEQ_OP, TypeUInt64, modulo(m), b.integer(pick(m)));
    }
    u64 period = 0;
    if (!triggered) {
      switch (periodStyle) {
        case 0: period = basePeriod; break;
        case 1: period = basePeriod << pick(4); break;
        case 2: period = primes[pick(8)] * 4; break;
        default: period = 1 + pick(64); break;
      }
    }
    const u64 offset = chance(50) || period == 0 ? 0 : pick(period / 2 + 1) * 2;
    b.globalInstance(name, definition, period == 0 ? nullptr : time(period),
                     period == 0 ? nullptr : time(offset), nullptr, condition);
    vars.push_back(b.p->infoProg->n_globalVariables - 1);
    periods.push_back(period);
    rate += period == 0 ? 0 : 1000 / period;
    if (period != 0 && chance(30)) {
      // The timing annotation: a jitter for this period, sometimes beyond the
      // period, and sometimes the instance's own priority.
      const u32 var = vars.back();
      std::vector<AST*> statements = {
          b.assign(b.field(b.globalRef(var), TypeTime, PI_JITTER),
                   chance(30) ? time(pick(2 * period + 1)) : b.globalRef(jitterSource))};
      if (chance(30)) {
        statements.push_back(b.assign(b.field(b.globalRef(var), TypeUInt8, PI_PRIORITY),
                                      b.cast(TypeUInt8, modulo(4))));
      }
      AST* node = b.node(PROCESS_ANNOTATION, var, b.block(nullptr, b.list(statements)));
      parser_add_external_definition(b.env, node);
      b.p->processGlobalInstanceTable[i].annotation = AST_id(b.p, node);
    }
  }

  // Start-up: priorities, deadlines, execution times, a first jitter, the policy.
  std::vector<AST*> startup;
  for (u32 i = 0; i < n; ++i) {
    const u32 var = vars[i];
    if (chance(60)) {
      startup.push_back(b.assign(b.field(b.globalRef(var), TypeUInt8, PI_PRIORITY),
                                 b.integer(pick(4))));
    }
    if (chance(40)) {
      startup.push_back(
          b.assign(b.field(b.globalRef(var), TypeTime, PI_DEADLINE), time(1 + pick(40))));
    }
    if (periods[i] == 0) {
      // A triggered instance whose condition can stay true must let time
      // pass, or the model itself would never leave the instant.
      startup.push_back(b.assign(b.field(b.globalRef(var), TypeTime, PI_EXECUTION_TIME),
                                 time(1 + pick(4))));
    } else if (chance(50)) {
      const u64 span = periods[i];
      startup.push_back(b.assign(b.field(b.globalRef(var), TypeTime, PI_EXECUTION_TIME),
                                 time(pick(span / (chance(80) ? 4 : 1) + 1))));
    }
    if (chance(10)) {
      startup.push_back(
          b.assign(b.field(b.globalRef(var), TypeTime, PI_JITTER), time(pick(periods[i] + 8))));
    }
  }
  const u32 policy = static_cast<u32>(pick(3));
  if (policy != 0) {
    const u32 policyType = b.type("Scheduling_Policy");
    AST* value = b.node(ENUM_VALUE_OP, policyType, b.sym(policy == 1 ? "NPFP" : "NPEDF"));
    startup.push_back(b.assign(b.field(b.globalRef(0), policyType, 0), value));
  }
  if (!startup.empty()) {
    parser_add_external_definition(b.env,
                                   b.node(TIME_ANNOTATION, NO_ID, b.block(nullptr, b.list(startup))));
  }

  // Host calls over a horizon of about 2000 activations.
  const u64 horizon = rate == 0 ? 400 : (2000 * 1000 / rate + 1);  // quarter units
  const u32 calls = 3 + static_cast<u32>(pick(12));
  for (u32 k = 0; k < calls; ++k) {
    const u64 slice = (horizon / calls + 1) * kUnit / 4;
    switch (pick(12)) {
      case 0:
        set.calls.push_back({Call::Step, 0, 0});
        break;
      case 1:
        set.calls.push_back({Call::NextHit, 0, 0});
        break;
      case 2:
        set.calls.push_back({Call::Pause, pick(slice), 0});
        break;
      case 3:
        set.calls.push_back({Call::Policy, pick(3), 0});
        break;
      case 4:
        set.calls.push_back({Call::ReadRecord, 0, static_cast<u32>(pick(n))});
        break;
      case 5:
        set.calls.push_back({Call::WritePriority, pick(5), static_cast<u32>(pick(n))});
        break;
      case 6:
      case 7:
        set.calls.push_back({Call::RunFor, pick(2 * slice), 0});
        break;
      default:
        set.calls.push_back({Call::RunUntil, pick(2 * slice), 0});
        break;
    }
  }
  return set;
}

namespace {

std::string recordText(InterpEnv* env, u32 instance) {
  const TaggedValue record = interp_processRecord(env, instance);
  std::string text = "R" + std::to_string(instance);
  for (u32 c = 0; c < PI_CELL_COUNT; ++c) text += " " + std::to_string(record.value[c]);
  return text + "\n";
}

}  // namespace

std::string runSet(InterpEnv* env, const TaskSet& set, bool reference) {
  gClock = 0;
  gLog.clear();
  env_on_gettime(env, hostTime);
  env_on_delay(env, hostDelay);
  env_on_assert(env, logAssert);
  env_on_syncio(env, logSync);
  env_on_any_task_activation(env, logActivation);
  env_on_any_variable_change(env, anyChange);
  StdoutCapture capture;
  capture.begin();
  interp_init(env);
  if (env->ctx->scheduler == nullptr) scheduler_startup(env);
  if (reference) walking_reference::attach(env);
  const u32 count = interp_processRecordCount(env);
  for (const HostCall& c : set.calls) {
    switch (c.call) {
      case Call::RunUntil:
        reference ? walking_reference::ref_interp_run_until(env, gClock + c.value)
                  : interp_run_until(env, gClock + c.value);
        break;
      case Call::RunFor:
        reference ? walking_reference::ref_interp_run_for(env, c.value)
                  : interp_run_for(env, c.value);
        break;
      case Call::Step:
        gLog += "step " +
                std::to_string(reference ? walking_reference::ref_interp_step(env) : interp_step(env)) +
                "\n";
        break;
      case Call::NextHit:
        gLog += "next " +
                std::to_string(reference ? walking_reference::ref_interp_next_hit(env)
                                         : interp_next_hit(env)) +
                "\n";
        break;
      case Call::Pause:
        gClock += c.value;
        break;
      case Call::Policy:
        if (reference) {
          walking_reference::setPolicy(static_cast<u32>(c.value));
        } else {
          interp_set_scheduling_policy(env, static_cast<u32>(c.value));
        }
        break;
      case Call::ReadRecord:
        if (c.instance < count) gLog += recordText(env, c.instance);
        break;
      case Call::WritePriority:
        if (c.instance < count) {
          processRecord_cell(interp_processRecord(env, c.instance), PI_PRIORITY) = c.value;
        }
        break;
    }
  }
  std::string out = capture.end();
  out += gLog;
  for (u32 i = 0; i < count; ++i) out += recordText(env, i);
  return out;
}

SetRuns runBoth(ImageBuilder& b, const TaskSet& set, bool treeReference) {
  SetRuns runs;
  InterpEnv* indexed = b.writeAndLoad();
  runs.indexed = runSet(indexed, set, false);
  runs.wasIndexed = scheduler_isIndexed(indexed);
  interp_stop(indexed);
  // The engine is chosen when an image is first run.
  if (treeReference) setenv("VELK_ENGINE", "tree", 1);
  InterpEnv* walking = b.writeAndLoad();
  runs.reference = runSet(walking, set, true);
  interp_stop(walking);
  if (treeReference) unsetenv("VELK_ENGINE");
  return runs;
}

std::string firstDifference(const std::string& a, const std::string& b) {
  size_t line = 1, start = 0;
  for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
    if (a[k] != b[k]) {
      const size_t endA = a.find('\n', k), endB = b.find('\n', k);
      return "line " + std::to_string(line) + ":\n  indexed:   " + a.substr(start, endA - start) +
             "\n  reference: " + b.substr(start, endB - start);
    }
    if (a[k] == '\n') {
      ++line;
      start = k + 1;
    }
  }
  return "lengths " + std::to_string(a.size()) + " and " + std::to_string(b.size());
}

}  // namespace sched_taskset
