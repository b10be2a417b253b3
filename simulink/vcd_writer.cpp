// The run as a Value Change Dump with a 1 ps timescale: under scope "tasks"
// a one-bit signal per instance, 1 while an activation runs; under scope
// "signals" the followed globals (integers as vectors of their width,
// booleans as one bit, floats as reals).
#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

#include "timing_sinks.h"

namespace {

// VCD identifiers and scope names are words without blanks.
std::string vcdWord(const std::string& name) {
  std::string word;
  for (const char c : name) word += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
  return word.empty() ? "_" : word;
}

// "model" for "runs/model.ast".
std::string imageStem(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The short identifier code of signal n: base 94 over the printable
// characters '!' to '~'.
std::string vcdCode(size_t n) {
  std::string code;
  do {
    code += static_cast<char>('!' + n % 94);
    n /= 94;
  } while (n > 0);
  return code;
}

// The bits without leading zeros ("0" for none), into text (65 bytes).
const char* binary(u64 bits, char* text) {
  char* p = text + 64;
  *p = '\0';
  do {
    *--p = (bits & 1) ? '1' : '0';
    bits >>= 1;
  } while (bits != 0);
  return p;
}

class VcdSink : public TimingSink {
 public:
  explicit VcdSink(const std::string& path) : file_(path) {}

  void begin(const TimingModel& model) override {
    model_ = model;
    codes_.clear();
    for (size_t n = 0; n < model.instances.size() + model.signals.size(); ++n)
      codes_.push_back(vcdCode(n));
    std::FILE* f = out();
    std::fputs("$version velk_sim $end\n$timescale 1ps $end\n", f);
    std::fprintf(f, "$scope module %s $end\n", vcdWord(imageStem(model.image)).c_str());
    std::fputs("$scope module tasks $end\n", f);
    for (size_t i = 0; i < model.instances.size(); ++i)
      std::fprintf(f, "$var wire 1 %s %s $end\n", taskCode(i).c_str(),
                   vcdWord(model.instances[i]).c_str());
    std::fputs("$upscope $end\n$scope module signals $end\n", f);
    for (size_t k = 0; k < model.signals.size(); ++k) {
      const TimingSignal& s = model.signals[k];
      if (s.kind == TimingSignal::kReal)
        std::fprintf(f, "$var real 64 %s %s $end\n", signalCode(k).c_str(), vcdWord(s.name).c_str());
      else
        std::fprintf(f, "$var wire %u %s %s $end\n", s.bits, signalCode(k).c_str(),
                     vcdWord(s.name).c_str());
    }
    std::fputs("$upscope $end\n$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", f);
    for (size_t i = 0; i < model.instances.size(); ++i) std::fprintf(f, "0%s\n", taskCode(i).c_str());
    for (size_t k = 0; k < model.signals.size(); ++k) writeValue(k, 0, 0.0);
    std::fputs("$end\n", f);
  }

  void started(const SchedActivation& a) override {
    at(a.start);
    scalar('1', taskCode(a.instance));
  }

  void activation(const TimingActivation& a) override {
    at(a.finish);
    scalar('0', taskCode(a.instance));
  }

  void changed(u64 time, u32 signal, u64 bits, double real) override {
    at(time);
    writeValue(signal, bits, real);
  }

  void end(const TimingSummary& summary) override {
    at(summary.system.span);
    file_.close();
  }

 private:
  std::FILE* out() const { return file_.get(); }
  const std::string& taskCode(size_t instance) const { return codes_[instance]; }
  const std::string& signalCode(size_t signal) const {
    return codes_[model_.instances.size() + signal];
  }

  // Times only go forward in a dump; an event at the current time needs no
  // new time mark.
  void at(u64 time) {
    if (time <= now_) return;
    now_ = time;
    char text[24];
    char* p = text + sizeof text;
    *--p = '\n';
    do {
      *--p = static_cast<char>('0' + time % 10);
      time /= 10;
    } while (time != 0);
    *--p = '#';
    std::fwrite(p, 1, static_cast<size_t>(text + sizeof text - p), out());
  }

  // "<value><code>\n", the change of a one-bit signal.
  void scalar(char value, const std::string& code) {
    std::putc(value, out());
    std::fwrite(code.data(), 1, code.size(), out());
    std::putc('\n', out());
  }

  void writeValue(size_t k, u64 bits, double real) {
    const TimingSignal& s = model_.signals[k];
    if (s.kind == TimingSignal::kReal) {
      char text[40];
      const auto end = std::to_chars(text, text + sizeof text, std::isfinite(real) ? real : 0.0);
      std::fprintf(out(), "r%.*s %s\n", static_cast<int>(end.ptr - text), text, signalCode(k).c_str());
    } else if (s.bits == 1) {
      scalar(bits != 0 ? '1' : '0', signalCode(k));
    } else {
      char text[65];
      std::putc('b', out());
      std::fputs(binary(bits, text), out());
      std::putc(' ', out());
      std::fwrite(signalCode(k).data(), 1, signalCode(k).size(), out());
      std::putc('\n', out());
    }
  }

  TimingFile file_;
  TimingModel model_;
  std::vector<std::string> codes_;  // instances, then signals
  u64 now_ = 0;
};

}  // namespace

std::unique_ptr<TimingSink> vcd_create(const std::string& path) {
  return std::make_unique<VcdSink>(path);
}
