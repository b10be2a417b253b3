// The run as a self-contained SVG Gantt chart: one row per instance, a bar
// from start to finish per activation (misses in red), a tick at each
// release and a mark at each deadline, crosses for lost activations, and a
// time axis in readable units. Only the window asked for is drawn.
#include <algorithm>
#include <cmath>
#include <vector>

#include "timing_report.h"
#include "timing_sinks.h"

namespace {

constexpr double kLabelWidth = 160;
constexpr double kPlotWidth = 1000;
constexpr double kRowHeight = 32;
constexpr double kTop = 40;
constexpr double kBarHeight = 16;
// A chart of more bars than this is no longer readable, and its file grows
// with the run: the window keeps long runs drawable.
constexpr size_t kMaxBars = 200000;

std::string escaped(const std::string& text) {
  std::string e;
  for (const char c : text) {
    if (c == '<') e += "&lt;";
    else if (c == '>') e += "&gt;";
    else if (c == '&') e += "&amp;";
    else if (c == '"') e += "&quot;";
    else e += c;
  }
  return e;
}

// Appends a coordinate with one decimal: finer than a pixel, and written
// without printf's cost (a long run draws hundreds of thousands of bars).
void appendPx(std::string* out, double value) {
  const long long tenths = std::llround(value * 10);
  if (tenths < 0) *out += '-';
  const unsigned long long magnitude = static_cast<unsigned long long>(tenths < 0 ? -tenths : tenths);
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  unsigned long long whole = magnitude / 10;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  out->append(p, end);
  if (magnitude % 10 != 0) {
    *out += '.';
    *out += static_cast<char>('0' + magnitude % 10);
  }
}

std::string px(double value) {
  std::string out;
  appendPx(&out, value);
  return out;
}

// A tick step of 1, 2 or 5 times a power of ten picoseconds giving at most
// about ten ticks over the span.
u64 tickStep(u64 span) {
  u64 step = 1;
  for (;;) {
    for (const u64 factor : {1ull, 2ull, 5ull}) {
      if (step > UINT64_MAX / factor) return step;
      if (span / (step * factor) <= 10) return step * factor;
    }
    if (step > UINT64_MAX / 10) return step;
    step *= 10;
  }
}

class GanttSink : public TimingSink {
 public:
  GanttSink(const std::string& path, u64 from, u64 to) : file_(path), from_(from), to_(to) {}

  void begin(const TimingModel& model) override {
    model_ = model;
    names_.clear();
    for (const std::string& name : model.instances) names_.push_back(escaped(name));
  }

  void activation(const TimingActivation& a) override {
    if (!inWindow(a.release, a.finish)) return;
    if (bars_.size() >= kMaxBars) {
      truncated_ = true;
      return;
    }
    bars_.push_back(a);
  }

  void lost(const SchedActivation& a) override {
    if (inWindow(a.start, a.start) && lost_.size() < kMaxBars) lost_.push_back(a);
  }

  void end(const TimingSummary& summary) override {
    const u64 to = to_ != 0 ? to_ : std::max(summary.system.span, from_ + 1);
    draw(to <= from_ ? from_ + 1 : to);
    file_.close();
  }

 private:
  bool inWindow(u64 first, u64 last) const { return last >= from_ && (to_ == 0 || first <= to_); }

  double x(u64 t, u64 to) const {
    const double clamped = static_cast<double>(std::clamp(t, from_, to) - from_);
    return kLabelWidth + clamped / static_cast<double>(to - from_) * kPlotWidth;
  }
  double rowY(u32 instance) const { return kTop + kRowHeight * instance; }

  void draw(u64 to) {
    std::FILE* f = file_.get();
    const double height = kTop + kRowHeight * static_cast<double>(model_.instances.size()) + 50;
    const double width = kLabelWidth + kPlotWidth + 40;
    std::fprintf(f,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                 "viewBox=\"0 0 %g %g\" font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<title>%s</title>\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 width, height, width, height, escaped(model_.image).c_str());
    std::fprintf(f, "<text x=\"%g\" y=\"20\" font-size=\"14\">%s: %s to %s%s</text>\n", kLabelWidth,
                 escaped(model_.image).c_str(), timingReport_duration(from_).c_str(),
                 timingReport_duration(to).c_str(),
                 truncated_ ? " (bars beyond the first 200000 left out)" : "");
    drawRows(to);
    drawAxis(to, height - 40);
    for (const TimingActivation& a : bars_) drawBar(a, to);
    for (const SchedActivation& a : lost_) drawLost(a, to);
    std::fputs("</svg>\n", f);
  }

  void drawRows(u64 to) {
    std::FILE* f = file_.get();
    for (u32 i = 0; i < model_.instances.size(); ++i) {
      const double y = rowY(i);
      std::fprintf(f, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"%s\"/>\n",
                   kLabelWidth, y, x(to, to) - kLabelWidth, kRowHeight,
                   i % 2 == 0 ? "#f4f4f4" : "#ffffff");
      std::fprintf(f, "<text x=\"8\" y=\"%g\">%s</text>\n", y + kRowHeight / 2 + 4,
                   escaped(model_.instances[i]).c_str());
    }
  }

  void drawAxis(u64 to, double y) {
    std::FILE* f = file_.get();
    std::fprintf(f, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"black\"/>\n", kLabelWidth,
                 y, x(to, to), y);
    const u64 step = tickStep(to - from_);
    for (u64 t = (from_ + step - 1) / step * step; t <= to && t >= from_; t += step) {
      std::fprintf(f, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"black\"/>\n",
                   x(t, to), y, x(t, to), y + 5);
      std::fprintf(f, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">%s</text>\n", x(t, to),
                   y + 18, timingReport_duration(t).c_str());
      if (t > UINT64_MAX - step) break;
    }
  }

  void drawBar(const TimingActivation& a, u64 to) {
    const double y = rowY(a.instance) + (kRowHeight - kBarHeight) / 2;
    const double left = x(a.start, to);
    const double w = std::max(1.0, x(a.finish, to) - left);
    std::string& svg = line_;
    svg.assign("<rect x=\"");
    appendPx(&svg, left);
    svg += "\" y=\"";
    appendPx(&svg, y);
    svg += "\" width=\"";
    appendPx(&svg, w);
    svg += "\" height=\"";
    appendPx(&svg, kBarHeight);
    svg += a.missed ? "\" fill=\"#d62728" : "\" fill=\"#4a7ab5";
    svg += "\" stroke=\"#203050\" stroke-width=\"0.5\"><title>";
    svg += names_[a.instance];
    svg += ": start ";
    svg += timingReport_duration(a.start);
    svg += ", finish ";
    svg += timingReport_duration(a.finish);
    if (a.missed) svg += ", deadline missed";
    svg += "</title></rect>\n";
    // The release as a tick above the row, the deadline as a tick below.
    if (a.release >= from_ && a.release <= to)
      appendTick(&svg, x(a.release, to), rowY(a.instance) + 1, y, "#2ca02c");
    if (a.deadline >= from_ && a.deadline <= to)
      appendTick(&svg, x(a.deadline, to), y + kBarHeight, rowY(a.instance) + kRowHeight - 1,
                 a.missed ? "#d62728" : "#7f7f7f");
    std::fwrite(svg.data(), 1, svg.size(), file_.get());
  }

  static void appendTick(std::string* svg, double at, double y1, double y2, const char* colour) {
    *svg += "<line x1=\"";
    appendPx(svg, at);
    *svg += "\" y1=\"";
    appendPx(svg, y1);
    *svg += "\" x2=\"";
    appendPx(svg, at);
    *svg += "\" y2=\"";
    appendPx(svg, y2);
    *svg += "\" stroke=\"";
    *svg += colour;
    *svg += "\" stroke-width=\"1.5\"/>\n";
  }

  void drawLost(const SchedActivation& a, u64 to) {
    const double cx = x(a.start, to);
    const double cy = rowY(a.instance) + kRowHeight / 2;
    std::fputs(("<path d=\"M" + px(cx - 4) + " " + px(cy - 4) +
                "l8 8m0 -8l-8 8\" stroke=\"#ff7f0e\" stroke-width=\"2\"><title>lost "
                "activation</title></path>\n")
                   .c_str(),
               file_.get());
  }

  TimingFile file_;
  u64 from_;
  u64 to_;
  TimingModel model_;
  std::vector<std::string> names_;  // escaped for the markup
  std::string line_;                // reused for every bar
  std::vector<TimingActivation> bars_;
  std::vector<SchedActivation> lost_;
  bool truncated_ = false;
};

}  // namespace

std::unique_ptr<TimingSink> ganttSvg_create(const std::string& path, u64 from, u64 to) {
  return std::make_unique<GanttSink>(path, from, to);
}
