// The run as a Chrome trace event file: one row (thread) per instance with a
// complete event per activation, instant events for deadline misses and lost
// activations, and a counter track per port.
#include <cmath>
#include <cstring>

#include "timing_sinks.h"

std::string traceJson_microseconds(u64 ps) {
  std::string text = std::to_string(ps / 1000000);
  u64 rest = ps % 1000000;
  if (rest == 0) return text;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(rest));
  std::string fraction = digits;
  fraction.erase(fraction.find_last_not_of('0') + 1);
  return text + "." + fraction;
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
    const std::string& name = model_.instances[a.instance];
    std::string args = "\"release_us\": " + traceJson_microseconds(a.release) +
                       ", \"response_us\": " + traceJson_microseconds(a.finish - a.release);
    if (a.deadline != UINT64_MAX) args += ", \"deadline_us\": " + traceJson_microseconds(a.deadline);
    event("{\"name\": " + quoted(name) + ", \"cat\": \"activation\", \"ph\": \"X\", \"pid\": 1, " +
          "\"tid\": " + tid(a.instance) + ", \"ts\": " + traceJson_microseconds(a.start) +
          ", \"dur\": " + traceJson_microseconds(a.finish - a.start) + ", \"args\": {" + args + "}}");
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
      std::snprintf(text, sizeof text, "%.17g", real);
      value = text;
    } else if (s.kind == TimingSignal::kSigned) {
      const u32 shift = 64 - s.bits;
      value = std::to_string(static_cast<s64>(bits << shift) >> shift);
    } else {
      value = std::to_string(bits);
    }
    event("{\"name\": " + quoted(s.name) + ", \"ph\": \"C\", \"pid\": 1, \"ts\": " +
          traceJson_microseconds(time) + ", \"args\": {\"value\": " + value + "}}");
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
    std::fputs(text.c_str(), out());
  }
  void instant(const char* name, u32 instance, u64 time, const std::string& args) {
    event(std::string("{\"name\": \"") + name + "\", \"ph\": \"i\", \"s\": \"t\", \"pid\": 1, " +
          "\"tid\": " + tid(instance) + ", \"ts\": " + traceJson_microseconds(time) +
          ", \"args\": {" + args + "}}");
  }

  TimingFile file_;
  TimingModel model_;
  u64 events_ = 0;
};

}  // namespace

std::unique_ptr<TimingSink> traceJson_create(const std::string& path) {
  return std::make_unique<TraceJsonSink>(path);
}
