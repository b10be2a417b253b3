#include "timing_recorder.h"

#include <algorithm>
#include <cstring>

#include "interp_api.h"
#include "program.h"

void TimingFigure::add(u64 value) {
  min = count == 0 ? value : std::min(min, value);
  max = count == 0 ? value : std::max(max, value);
  sum += value;
  ++count;
}

void TimingFigure::merge(const TimingFigure& other) {
  if (other.count == 0) return;
  min = count == 0 ? other.min : std::min(min, other.min);
  max = count == 0 ? other.max : std::max(max, other.max);
  sum += other.sum;
  count += other.count;
}

void TimingHistogram::add(u64 value) {
  const u32 bucket = value == 0 ? 0 : 64 - static_cast<u32>(__builtin_clzll(value));
  ++counts[bucket];
}

u64 TimingSummary::totalMisses() const {
  u64 total = 0;
  for (const InstanceTiming& instance : instances) total += instance.misses;
  return total;
}

namespace {

bool endsWith(const std::string& name, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
}

// The signal a global can be, if it is a scalar.
bool describeSignal(InterpEnv* env, u32 varId, TimingSignal* signal) {
  const program* p = env->program;
  const u32 kind = builtin_primitiveKind(env, p->globalVariableTable[varId].typeId);
  static const u32 kBits[] = {64, 64, 8, 8, 16, 16, 32, 32, 64, 64, 64};
  signal->varId = varId;
  signal->name = Variable_getName(p, varId);
  signal->port = endsWith(signal->name, "_in") || endsWith(signal->name, "_out");
  if (kind <= TypeTime) {
    const bool isSigned = kind == TypeSInt || (kind != TypeTime && kind % 2 == 1);
    signal->kind = isSigned ? TimingSignal::kSigned : TimingSignal::kUnsigned;
    signal->bits = kBits[kind];
    return true;
  }
  signal->bits = 1;
  if (kind == TypeBoolean) signal->kind = TimingSignal::kBoolean;
  else if (kind == TypeFP || kind == TypeF32 || kind == TypeF64) signal->kind = TimingSignal::kReal;
  else return false;
  if (signal->kind == TimingSignal::kReal) signal->bits = kind == TypeF64 ? 64 : 32;
  return true;
}

double realOf(const TimingSignal& signal, DataCell bits) {
  if (signal.bits == 64) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return static_cast<double>(f);
}

// The cell masked to the signal's width, so that equal values compare equal.
u64 maskedBits(const TimingSignal& signal, DataCell cell) {
  if (signal.kind == TimingSignal::kBoolean) return cell != 0 ? 1 : 0;
  if (signal.bits >= 64) return cell;
  return cell & ((u64{1} << signal.bits) - 1);
}

}  // namespace

TimingRecorder::TimingRecorder(bool allSignals, std::vector<std::unique_ptr<TimingSink>> sinks)
    : allSignals_(allSignals), sinks_(std::move(sinks)) {
  observer_.user = this;
  observer_.activationStarted = onStarted;
  observer_.activationFinished = onFinished;
  observer_.activationLost = onLost;
  observer_.taskTrace = true;
}

void TimingRecorder::onLoaded(void* user, InterpEnv* env) {
  auto* self = static_cast<TimingRecorder*>(user);
  self->env_ = env;
  const program* p = env->program;
  TimingModel& model = self->model_;
  model.image = env->file_name != nullptr ? env->file_name : "";
  model.instances.clear();
  self->summary_ = TimingSummary{};
  for (u32 i = 0; i < p->infoProg->n_globalProcessInstances; ++i) {
    model.instances.emplace_back(Symbol_getName(p, p->dbg->globalProcessInstanceSymbolId[i]));
    self->summary_.instances.emplace_back();
    self->summary_.instances.back().name = model.instances.back();
  }
  self->plannedJitter_.assign(model.instances.size(), 0);
  self->planned_.assign(model.instances.size(), false);
  model.signals.clear();
  self->signalOfVar_.assign(p->infoProg->n_globalVariables, NO_ID);
  for (u32 v = 0; v < p->infoProg->n_globalVariables; ++v) {
    TimingSignal signal{};
    if (!describeSignal(env, v, &signal) || !(signal.port || self->allSignals_)) continue;
    self->signalOfVar_[v] = static_cast<u32>(model.signals.size());
    model.signals.push_back(signal);
  }
  self->lastBits_.assign(model.signals.size(), 0);
  self->seen_.assign(model.signals.size(), false);
  for (auto& sink : self->sinks_) sink->begin(model);
}

void TimingRecorder::emitValue(u64 time, size_t signal, const DataCell* cell) {
  const TimingSignal& s = model_.signals[signal];
  const u64 bits = maskedBits(s, *cell);
  if (seen_[signal] && lastBits_[signal] == bits) return;
  seen_[signal] = true;
  lastBits_[signal] = bits;
  const double real = s.kind == TimingSignal::kReal ? realOf(s, bits) : 0.0;
  for (auto& sink : sinks_) sink->changed(time, static_cast<u32>(signal), bits, real);
}

void TimingRecorder::onVariableChanged(void* user, InterpEnv* env, u32 varId, u32 mode,
                                       TaggedValue value) {
  auto* self = static_cast<TimingRecorder*>(user);
  if (mode != 0 || varId >= self->signalOfVar_.size() || value.value == nullptr) return;
  const u32 signal = self->signalOfVar_[varId];
  if (signal == NO_ID) return;
  self->emitValue(env->ctx->gettime_callback(env), signal, value.value);
}

void TimingRecorder::sampleInputs(u64 time) {
  if (env_ == nullptr) return;
  for (size_t k = 0; k < model_.signals.size(); ++k) {
    if (!endsWith(model_.signals[k].name, "_in")) continue;
    const DataCell* cell = env_->program->globalVariableTable[model_.signals[k].varId].value;
    if (cell != nullptr) emitValue(time, k, cell);
  }
}

void TimingRecorder::onStarted(void* user, const SchedActivation& activation) {
  auto* self = static_cast<TimingRecorder*>(user);
  self->running_ = activation;
  self->isRunning_ = true;
  self->takePlannedJitter(&self->running_);
  for (auto& sink : self->sinks_) sink->started(activation);
}

void TimingRecorder::onFinished(void* user, u32 instance, u64 finish) {
  auto* self = static_cast<TimingRecorder*>(user);
  const SchedActivation& a = self->running_;
  if (!self->isRunning_ || a.instance != instance ||
      instance >= self->summary_.instances.size())
    return;
  self->isRunning_ = false;
  InstanceTiming& t = self->summary_.instances[instance];
  const u64 deadline = a.deadline > UINT64_MAX - a.release ? UINT64_MAX : a.release + a.deadline;
  const TimingActivation done{instance, a.release, a.start, finish, deadline, finish > deadline};
  ++t.activations;
  t.jitter.add(a.jitter);
  t.latency.add(a.start - a.release);
  t.response.add(finish - a.release);
  t.execution.add(finish - a.start);
  t.responseHistogram.add(finish - a.release);
  t.worstResponse = t.response.max;
  if (done.missed) {
    if (t.misses++ == 0) t.firstMiss = finish;
    t.missed = true;
    t.runsWithMiss = 1;
  }
  SystemTiming& sys = self->summary_.system;
  sys.busy += finish - a.start;
  // Activations that follow one another without a gap form one busy period.
  if (!self->anyBusy_ || a.start > self->busyEnd_) self->busyStart_ = a.start;
  self->anyBusy_ = true;
  self->busyEnd_ = std::max(self->busyEnd_, finish);
  sys.longestBusyPeriod = std::max(sys.longestBusyPeriod, self->busyEnd_ - self->busyStart_);
  self->lastFinish_ = std::max(self->lastFinish_, finish);
  for (auto& sink : self->sinks_) sink->activation(done);
}

void TimingRecorder::onLost(void* user, const SchedActivation& activation) {
  auto* self = static_cast<TimingRecorder*>(user);
  if (activation.instance >= self->summary_.instances.size()) return;
  ++self->summary_.instances[activation.instance].lost;
  SchedActivation lost = activation;
  self->takePlannedJitter(&lost);
  for (auto& sink : self->sinks_) sink->lost(lost);
}

void TimingRecorder::takePlannedJitter(SchedActivation* activation) {
  const u32 i = activation->instance;
  if (i >= planned_.size()) return;
  if (planned_[i]) activation->jitter = plannedJitter_[i];
  planned_[i] = true;
  plannedJitter_[i] = activation->nextJitter;
}

const TimingSummary& TimingRecorder::finish(u64 span) {
  summary_.system.span = std::max(span, lastFinish_);
  for (auto& sink : sinks_) sink->end(summary_);
  return summary_;
}
