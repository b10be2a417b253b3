// The run as a Chrome trace event file: one row (thread) per instance with a
// complete event per activation, instant events for deadline misses and lost
// activations, and a counter track per port.
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "timing_sinks.h"

std::string traceJson_microseconds(u64 ps) {
  char text[32];
  char* end = text + sizeof text;
  char* p = end;
  u64 fraction = ps % 1000000;
  if (fraction != 0) {
    int digits = 6;
    while (fraction % 10 == 0) {
      fraction /= 10;
      --digits;
    }
    for (; digits > 0; --digits) {
      *--p = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    *--p = '.';
  }
  u64 whole = ps / 1000000;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  return std::string(p, end);
}

namespace {

std::string quoted(const std::string& text) {
  std::string q = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') q += '\\';
    if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      q += escape;
      continue;
    }
    q += static_cast<char>(c);
  }
  return q + "\"";
}

class TraceJsonSink : public TimingSink {
 public:
  explicit TraceJsonSink(const std::string& path) : file_(path) {}

  void begin(const TimingModel& model) override {
    model_ = model;
    quotedInstances_.clear();
    for (const std::string& name : model.instances) quotedInstances_.push_back(quoted(name));
    quotedSignals_.clear();
    for (const TimingSignal& signal : model.signals) quotedSignals_.push_back(quoted(signal.name));
    std::fputs("{\"displayTimeUnit\": \"ns\", \"traceEvents\": [\n", out());
    event("{\"name\": \"process_name\", \"ph\": \"M\", \"pid\": 1, \"args\": {\"name\": " +
          quoted(model.image) + "}}");
    for (size_t i = 0; i < model.instances.size(); ++i) {
      event("{\"name\": \"thread_name\", \"ph\": \"M\", \"pid\": 1, \"tid\": " + tid(i) +
            ", \"args\": {\"name\": " + quoted(model.instances[i]) + "}}");
      event("{\"name\": \"thread_sort_index\", \"ph\": \"M\", \"pid\": 1, \"tid\": " + tid(i) +
            ", \"args\": {\"sort_index\": " + std::to_string(i) + "}}");
    }
  }

  void activation(const TimingActivation& a) override {
    std::string& e = event_;
    e.assign("{\"name\": ");
    e += quotedInstances_[a.instance];
    e += ", \"cat\": \"activation\", \"ph\": \"X\", \"pid\": 1, \"tid\": ";
    e += tid(a.instance);
    e += ", \"ts\": ";
    e += traceJson_microseconds(a.start);
    e += ", \"dur\": ";
    e += traceJson_microseconds(a.finish - a.start);
    e += ", \"args\": {\"release_us\": ";
    e += traceJson_microseconds(a.release);
    e += ", \"response_us\": ";
    e += traceJson_microseconds(a.finish - a.release);
    if (a.deadline != UINT64_MAX) {
      e += ", \"deadline_us\": ";
      e += traceJson_microseconds(a.deadline);
    }
    e += "}}";
    event(e);
    if (a.missed)
      instant("deadline miss", a.instance, a.finish,
              "\"deadline_us\": " + traceJson_microseconds(a.deadline));
  }

  void lost(const SchedActivation& a) override {
    instant("lost activation", a.instance, a.start,
            "\"release_us\": " + traceJson_microseconds(a.release));
  }

  void changed(u64 time, u32 signal, u64 bits, double real) override {
    const TimingSignal& s = model_.signals[signal];
    if (!s.port) return;
    std::string value;
    if (s.kind == TimingSignal::kReal) {
      if (!std::isfinite(real)) return;  // JSON has no NaN or infinity
      char text[40];
      value.assign(text, std::to_chars(text, text + sizeof text, real).ptr);
    } else if (s.kind == TimingSignal::kSigned) {
      const u32 shift = 64 - s.bits;
      value = std::to_string(static_cast<s64>(bits << shift) >> shift);
    } else {
      value = std::to_string(bits);
    }
    std::string& e = event_;
    e.assign("{\"name\": ");
    e += quotedSignals_[signal];
    e += ", \"ph\": \"C\", \"pid\": 1, \"ts\": ";
    e += traceJson_microseconds(time);
    e += ", \"args\": {\"value\": ";
    e += value;
    e += "}}";
    event(e);
  }

  void end(const TimingSummary&) override {
    std::fputs("\n]}\n", out());
    file_.close();
  }

 private:
  std::FILE* out() const { return file_.get(); }
  static std::string tid(size_t instance) { return std::to_string(instance + 1); }
  void event(const std::string& text) {
    if (events_++ > 0) std::fputs(",\n", out());
    std::fwrite(text.data(), 1, text.size(), out());
  }
  void instant(const char* name, u32 instance, u64 time, const std::string& args) {
    event(std::string("{\"name\": \"") + name + "\", \"ph\": \"i\", \"s\": \"t\", \"pid\": 1, " +
          "\"tid\": " + tid(instance) + ", \"ts\": " + traceJson_microseconds(time) +
          ", \"args\": {" + args + "}}");
  }

  TimingFile file_;
  TimingModel model_;
  std::vector<std::string> quotedInstances_;
  std::vector<std::string> quotedSignals_;
  std::string event_;  // reused for every event
  u64 events_ = 0;
};

}  // namespace

std::unique_ptr<TimingSink> traceJson_create(const std::string& path) {
  return std::make_unique<TraceJsonSink>(path);
}
