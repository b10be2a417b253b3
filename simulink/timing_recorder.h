// The timing figures of a run, gathered from the scheduler's observer and the
// block's variable-change hook: per instance, the statistics the report shows
// (timing_report.h), and a stream of events for the outputs that draw the run
// (trace_json.h, vcd_writer.h, gantt_svg.h). The recorder owns its sinks.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "interp_env.h"
#include "sched_observer.h"

// A signal the outputs can follow: a scalar global variable.
struct TimingSignal {
  enum Kind { kUnsigned, kSigned, kBoolean, kReal };
  u32 varId;
  std::string name;
  Kind kind;
  u32 bits;  // storage width of an integer
  bool port; // its name ends in _in or _out
};

// What the outputs know of the program before it runs.
struct TimingModel {
  std::string image;
  std::vector<std::string> instances;  // names, by global instance index
  std::vector<TimingSignal> signals;
};

// A finished activation.
struct TimingActivation {
  u32 instance;
  u64 release;
  u64 start;
  u64 finish;
  u64 deadline;  // absolute: release + relative deadline, saturated
  bool missed;   // finish > deadline
};

// Counts of response times on a logarithmic scale, the same for every run so
// that runs merge by adding counts: bucket 0 holds 0 ps, bucket k > 0 the
// values from 2^(k-1) to 2^k - 1 ps.
struct TimingHistogram {
  static constexpr u32 kBuckets = 65;
  std::vector<u64> counts = std::vector<u64>(kBuckets, 0);
  void add(u64 value);
  static u64 bucketFloor(u32 bucket) { return bucket == 0 ? 0 : u64{1} << (bucket - 1); }
};

// min / sum / max of one figure over the activations.
struct TimingFigure {
  u64 count = 0;
  u64 min = 0;
  u64 max = 0;
  long double sum = 0;  // exact for any count of picosecond values below 2^64
  void add(u64 value);
  double mean() const { return count == 0 ? 0.0 : static_cast<double>(sum / count); }
  void merge(const TimingFigure& other);
};

struct InstanceTiming {
  std::string name;
  u64 activations = 0;  // that ran
  u64 lost = 0;         // selected while the condition was false
  TimingFigure jitter, latency, response, execution;
  u64 misses = 0;
  bool missed = false;
  u64 firstMiss = 0;       // finish time of the first miss
  u64 worstResponse = 0;   // merged runs: the worst observed
  u64 runsWithMiss = 0;    // merged runs: how many had a miss
  TimingHistogram responseHistogram;
};

struct SystemTiming {
  u64 span = 0;  // observed time, 0 to the end of the run
  u64 busy = 0;  // sum of execution times
  u64 longestBusyPeriod = 0;
  u64 runs = 1;
  u64 seed = 0;
  bool seeded = false;
};

struct TimingSummary {
  std::vector<InstanceTiming> instances;
  SystemTiming system;
  u64 totalMisses() const;
};

// Receives the run as it happens. Times are absolute picoseconds and never
// go backwards from one call to the next.
class TimingSink {
 public:
  virtual ~TimingSink() = default;
  virtual void begin(const TimingModel&) {}
  virtual void activation(const TimingActivation&) {}
  virtual void lost(const SchedActivation&) {}
  virtual void started(const SchedActivation&) {}
  // value as a double for reals, the raw bits otherwise.
  virtual void changed(u64 /*time*/, u32 /*signal*/, u64 /*bits*/, double /*real*/) {}
  virtual void end(const TimingSummary&) {}
};

class TimingRecorder {
 public:
  // Follows every scalar global when allSignals, else only the ports.
  TimingRecorder(bool allSignals, std::vector<std::unique_ptr<TimingSink>> sinks);

  const SchedObserver* observer() const { return &observer_; }
  void setTaskTrace(bool shown) { observer_.taskTrace = shown; }

  // The block's hooks (VelkBlockHostSettings).
  static void onLoaded(void* user, InterpEnv* env);
  static void onVariableChanged(void* user, InterpEnv* env, u32 varId, u32 mode,
                                TaggedValue value);
  // Input ports are written straight into storage at each hit: looked at
  // after every hit.
  void sampleInputs(u64 time);

  // Ends the run at `span` picoseconds (or the last finish, if later).
  const TimingSummary& finish(u64 span);
  const TimingSummary& summary() const { return summary_; }

 private:
  static void onStarted(void* user, const SchedActivation& activation);
  static void onFinished(void* user, u32 instance, u64 finish);
  static void onLost(void* user, const SchedActivation& activation);
  void emitValue(u64 time, size_t signal, const DataCell* cell);
  void takePlannedJitter(SchedActivation* activation);

  bool allSignals_;
  std::vector<std::unique_ptr<TimingSink>> sinks_;
  SchedObserver observer_{};
  InterpEnv* env_ = nullptr;
  TimingModel model_;
  std::vector<u32> signalOfVar_;  // per global, index into model_.signals or NO_ID
  std::vector<u64> lastBits_;
  std::vector<bool> seen_;
  TimingSummary summary_;
  SchedActivation running_{};
  bool isRunning_ = false;
  u64 busyStart_ = 0, busyEnd_ = 0;
  bool anyBusy_ = false;
  u64 lastFinish_ = 0;
  // Per instance: the jitter its pending release was planned with, once an
  // activation has planned it.
  std::vector<u64> plannedJitter_;
  std::vector<bool> planned_;
};

