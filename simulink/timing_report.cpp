#include "timing_report.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

// The shortest decimal that reads back as the same double, without an
// exponent (4000000000, not 4e+09).
std::string number(double value) {
  char text[400];  // the longest fixed form of a double has 309 + 17 digits
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return std::string(text, result.ptr);
}

std::string integer(u64 value) { return std::to_string(value); }

std::string wholeSum(long double sum) {
  char text[64];
  std::snprintf(text, sizeof text, "%.0Lf", sum);
  return text;
}

double share(u64 part, u64 whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

double utilisation(const InstanceTiming& t, const SystemTiming& sys) {
  return sys.span == 0 ? 0.0 : static_cast<double>(t.execution.sum / sys.span);
}

double missRatio(const InstanceTiming& t) { return share(t.misses, t.activations); }

std::string percent(double fraction) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f %%", fraction * 100.0);
  return text;
}

std::string meanDuration(double ps) {
  if (ps == 0.0) return "0 s";
  static const struct { double scale; const char* unit; } kUnits[] = {
      {1e12, "s"}, {1e9, "ms"}, {1e6, "us"}, {1e3, "ns"}, {1, "ps"}};
  for (const auto& u : kUnits) {
    if (ps >= u.scale || u.scale == 1) {
      char text[48];
      std::snprintf(text, sizeof text, "%.6g %s", ps / u.scale, u.unit);
      return text;
    }
  }
  return "0 s";
}

// ---- Text ----

void writeFigure(std::FILE* out, const char* label, const TimingFigure& f) {
  std::fprintf(out, "  %-16s min %s, mean %s, max %s\n", label,
               timingReport_duration(f.min).c_str(), meanDuration(f.mean()).c_str(),
               timingReport_duration(f.max).c_str());
}

void writeText(std::FILE* out, const TimingSummary& s, const std::string& image) {
  const SystemTiming& sys = s.system;
  std::fprintf(out, "Timing report: %s\n", image.c_str());
  if (sys.runs > 1)
    std::fprintf(out, "Observed: %s in %llu runs", timingReport_duration(sys.span).c_str(),
                 (unsigned long long)sys.runs);
  else
    std::fprintf(out, "Observed: 0 s to %s", timingReport_duration(sys.span).c_str());
  if (sys.seeded)
    std::fprintf(out, ", seed %llu%s", (unsigned long long)sys.seed, sys.runs > 1 ? " onwards" : "");
  std::fputs("\n\n", out);
  for (const InstanceTiming& t : s.instances) {
    std::fprintf(out, "Instance '%s'\n", t.name.c_str());
    std::fprintf(out, "  %-16s %llu run, %llu lost\n", "activations",
                 (unsigned long long)t.activations, (unsigned long long)t.lost);
    writeFigure(out, "release jitter", t.jitter);
    writeFigure(out, "start latency", t.latency);
    writeFigure(out, "response time", t.response);
    writeFigure(out, "execution time", t.execution);
    std::fprintf(out, "  %-16s %llu", "deadline misses", (unsigned long long)t.misses);
    if (t.misses > 0) std::fprintf(out, ", first at %s", timingReport_duration(t.firstMiss).c_str());
    if (sys.runs > 1)
      std::fprintf(out, ", in %llu of %llu runs", (unsigned long long)t.runsWithMiss,
                   (unsigned long long)sys.runs);
    std::fputc('\n', out);
    std::fprintf(out, "  %-16s %s\n", "utilisation", percent(utilisation(t, sys)).c_str());
  }
  std::fprintf(out, "System\n");
  std::fprintf(out, "  %-16s %s busy, %s idle\n", "processor", percent(share(sys.busy, sys.span)).c_str(),
               percent(1.0 - share(sys.busy, sys.span)).c_str());
  std::fprintf(out, "  %-16s %s\n", "longest busy", timingReport_duration(sys.longestBusyPeriod).c_str());
  std::fprintf(out, "  %-16s %llu\n", "deadline misses", (unsigned long long)s.totalMisses());
}

// ---- JSON ----

std::string quoted(const std::string& text) {
  std::string q = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      q += escape;
    } else {
      q += static_cast<char>(c);
    }
  }
  return q + "\"";
}

std::string figureJson(const TimingFigure& f) {
  return "{\"count\": " + integer(f.count) + ", \"min_ps\": " + integer(f.min) +
         ", \"mean_ps\": " + number(f.mean()) + ", \"max_ps\": " + integer(f.max) +
         ", \"sum_ps\": " + wholeSum(f.sum) + "}";
}

std::string histogramJson(const TimingHistogram& h) {
  std::string text = "[";
  for (u32 k = 0; k < TimingHistogram::kBuckets; ++k) {
    if (h.counts[k] == 0) continue;
    const u64 to = k == 0 ? 0 : (k == 64 ? UINT64_MAX : (u64{1} << k) - 1);
    if (text.size() > 1) text += ", ";
    text += "{\"from_ps\": " + integer(TimingHistogram::bucketFloor(k)) +
            ", \"to_ps\": " + integer(to) + ", \"count\": " + integer(h.counts[k]) + "}";
  }
  return text + "]";
}

void writeJson(std::FILE* out, const TimingSummary& s, const std::string& image) {
  const SystemTiming& sys = s.system;
  std::fprintf(out, "{\n  \"format\": \"velk-timing-report\",\n  \"version\": 1,\n");
  std::fprintf(out, "  \"image\": %s,\n  \"runs\": %llu,\n", quoted(image).c_str(),
               (unsigned long long)sys.runs);
  if (sys.seeded) std::fprintf(out, "  \"seed\": %llu,\n", (unsigned long long)sys.seed);
  std::fprintf(out,
               "  \"system\": {\"span_ps\": %llu, \"busy_ps\": %llu, \"busy_share\": %s, "
               "\"idle_share\": %s, \"longest_busy_period_ps\": %llu, \"deadline_misses\": %llu},\n",
               (unsigned long long)sys.span, (unsigned long long)sys.busy,
               number(share(sys.busy, sys.span)).c_str(),
               number(1.0 - share(sys.busy, sys.span)).c_str(),
               (unsigned long long)sys.longestBusyPeriod, (unsigned long long)s.totalMisses());
  std::fputs("  \"instances\": [", out);
  for (size_t i = 0; i < s.instances.size(); ++i) {
    const InstanceTiming& t = s.instances[i];
    std::fprintf(out, "%s\n    {\"name\": %s, \"activations\": %llu, \"lost\": %llu,\n",
                 i == 0 ? "" : ",", quoted(t.name).c_str(), (unsigned long long)t.activations,
                 (unsigned long long)t.lost);
    std::fprintf(out, "     \"release_jitter\": %s,\n", figureJson(t.jitter).c_str());
    std::fprintf(out, "     \"start_latency\": %s,\n", figureJson(t.latency).c_str());
    std::fprintf(out, "     \"response_time\": %s,\n", figureJson(t.response).c_str());
    std::fprintf(out, "     \"execution_time\": %s,\n", figureJson(t.execution).c_str());
    std::fprintf(out, "     \"deadline_misses\": %llu, \"first_miss_ps\": %s, \"miss_ratio\": %s, "
                      "\"runs_with_miss\": %llu,\n",
                 (unsigned long long)t.misses, t.misses > 0 ? integer(t.firstMiss).c_str() : "null",
                 number(missRatio(t)).c_str(), (unsigned long long)t.runsWithMiss);
    std::fprintf(out, "     \"utilisation\": %s,\n", number(utilisation(t, sys)).c_str());
    std::fprintf(out, "     \"response_histogram\": %s}", histogramJson(t.responseHistogram).c_str());
  }
  std::fputs("\n  ]\n}\n", out);
}

// ---- CSV ----

void writeCsv(std::FILE* out, const TimingSummary& s) {
  std::fputs("instance,activations,lost,jitter_min_ps,jitter_max_ps,latency_min_ps,latency_mean_ps,"
             "latency_max_ps,response_min_ps,response_mean_ps,response_max_ps,execution_min_ps,"
             "execution_mean_ps,execution_max_ps,deadline_misses,first_miss_ps,utilisation\n",
             out);
  for (const InstanceTiming& t : s.instances) {
    std::fprintf(out, "%s,%llu,%llu,%llu,%llu,%llu,%s,%llu,%llu,%s,%llu,%llu,%s,%llu,%llu,%s,%s\n",
                 t.name.c_str(), (unsigned long long)t.activations, (unsigned long long)t.lost,
                 (unsigned long long)t.jitter.min, (unsigned long long)t.jitter.max,
                 (unsigned long long)t.latency.min, number(t.latency.mean()).c_str(),
                 (unsigned long long)t.latency.max, (unsigned long long)t.response.min,
                 number(t.response.mean()).c_str(), (unsigned long long)t.response.max,
                 (unsigned long long)t.execution.min, number(t.execution.mean()).c_str(),
                 (unsigned long long)t.execution.max, (unsigned long long)t.misses,
                 t.misses > 0 ? integer(t.firstMiss).c_str() : "",
                 number(utilisation(t, s.system)).c_str());
  }
}

// ---- Reading JSON back ----

// A JSON value, enough of it for our own reports.
struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  std::string text;  // number as written, or string
  std::vector<Json> items;
  std::map<std::string, Json> fields;
  const Json* get(const char* name) const {
    const auto found = fields.find(name);
    return found == fields.end() ? nullptr : &found->second;
  }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : s_(text) {}
  bool parse(Json* value, std::string* error) {
    const bool ok = parseValue(value, 0) && (skip(), pos_ == s_.size());
    if (!ok) *error = "malformed JSON near byte " + std::to_string(pos_);
    return ok;
  }

 private:
  static constexpr int kMaxDepth = 64;
  void skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool literal(const char* word) {
    const size_t n = std::strlen(word);
    if (s_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }
  bool parseString(std::string* out) {
    if (pos_ >= s_.size() || s_[pos_] != '"') return false;
    for (++pos_; pos_ < s_.size(); ++pos_) {
      const char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (++pos_ >= s_.size()) return false;
      const char e = s_[pos_];
      if (e == 'u') {
        if (pos_ + 4 >= s_.size()) return false;
        *out += static_cast<char>(std::strtoul(s_.substr(pos_ + 1, 4).c_str(), nullptr, 16));
        pos_ += 4;
      } else {
        *out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
      }
    }
    return false;
  }
  bool parseValue(Json* v, int depth) {
    skip();
    if (pos_ >= s_.size() || depth > kMaxDepth) return false;
    const char c = s_[pos_];
    if (c == '{') return parseObject(v, depth);
    if (c == '[') return parseArray(v, depth);
    if (c == '"') return v->kind = Json::kString, parseString(&v->text);
    if (literal("null")) return v->kind = Json::kNull, true;
    if (literal("true")) return v->kind = Json::kBool, v->text = "true", true;
    if (literal("false")) return v->kind = Json::kBool, v->text = "false", true;
    const size_t start = pos_;
    while (pos_ < s_.size() && std::strchr("+-0123456789.eE", s_[pos_]) != nullptr) ++pos_;
    v->kind = Json::kNumber;
    v->text = s_.substr(start, pos_ - start);
    return pos_ > start;
  }
  bool parseArray(Json* v, int depth) {
    v->kind = Json::kArray;
    ++pos_;
    skip();
    if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
    for (;;) {
      v->items.emplace_back();
      if (!parseValue(&v->items.back(), depth + 1)) return false;
      skip();
      if (pos_ < s_.size() && s_[pos_] == ',') { ++pos_; continue; }
      if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
      return false;
    }
  }
  bool parseObject(Json* v, int depth) {
    v->kind = Json::kObject;
    ++pos_;
    skip();
    if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
    for (;;) {
      skip();
      std::string name;
      if (!parseString(&name)) return false;
      skip();
      if (pos_ >= s_.size() || s_[pos_] != ':') return false;
      ++pos_;
      if (!parseValue(&v->fields[name], depth + 1)) return false;
      skip();
      if (pos_ < s_.size() && s_[pos_] == ',') { ++pos_; continue; }
      if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
      return false;
    }
  }
  const std::string& s_;
  size_t pos_ = 0;
};

// Reads field `name` of `object` as a whole count; missing or not one: false.
bool readCount(const Json* object, const char* name, u64* out) {
  const Json* v = object == nullptr ? nullptr : object->get(name);
  if (v == nullptr || v->kind != Json::kNumber || v->text.empty() || v->text[0] == '-') return false;
  char* end = nullptr;
  *out = std::strtoull(v->text.c_str(), &end, 10);
  return *end == '\0';
}

bool readFigure(const Json* object, const char* name, TimingFigure* f) {
  const Json* v = object->get(name);
  if (v == nullptr || v->kind != Json::kObject) return false;
  const Json* sum = v->get("sum_ps");
  if (sum == nullptr || sum->kind != Json::kNumber) return false;
  f->sum = std::strtold(sum->text.c_str(), nullptr);
  return readCount(v, "count", &f->count) && readCount(v, "min_ps", &f->min) &&
         readCount(v, "max_ps", &f->max);
}

bool readHistogram(const Json* object, TimingHistogram* h) {
  const Json* v = object->get("response_histogram");
  if (v == nullptr || v->kind != Json::kArray) return false;
  for (const Json& bucket : v->items) {
    u64 from = 0, count = 0;
    if (!readCount(&bucket, "from_ps", &from) || !readCount(&bucket, "count", &count)) return false;
    const u32 k = from == 0 ? 0 : 64 - static_cast<u32>(__builtin_clzll(from));
    if (TimingHistogram::bucketFloor(k) != from) return false;
    h->counts[k] += count;
  }
  return true;
}

bool readInstance(const Json& v, InstanceTiming* t) {
  const Json* name = v.get("name");
  if (name == nullptr || name->kind != Json::kString) return false;
  t->name = name->text;
  const Json* first = v.get("first_miss_ps");
  bool ok = readCount(&v, "activations", &t->activations) && readCount(&v, "lost", &t->lost) &&
            readFigure(&v, "release_jitter", &t->jitter) &&
            readFigure(&v, "start_latency", &t->latency) &&
            readFigure(&v, "response_time", &t->response) &&
            readFigure(&v, "execution_time", &t->execution) &&
            readCount(&v, "deadline_misses", &t->misses) &&
            readCount(&v, "runs_with_miss", &t->runsWithMiss) && first != nullptr &&
            readHistogram(&v, &t->responseHistogram);
  t->missed = t->misses > 0;
  if (ok && t->missed) ok = readCount(&v, "first_miss_ps", &t->firstMiss);
  t->worstResponse = t->response.max;
  return ok;
}

}  // namespace

std::string timingReport_duration(u64 ps) {
  if (ps == 0) return "0 s";
  static const struct { u64 scale; const char* unit; } kUnits[] = {
      {1000000000000ull, "s"}, {1000000000ull, "ms"}, {1000000ull, "us"}, {1000ull, "ns"}, {1, "ps"}};
  for (const auto& u : kUnits) {
    if (ps < u.scale) continue;
    std::string text = std::to_string(ps / u.scale);
    u64 rest = ps % u.scale;
    if (rest != 0) {
      std::string digits;
      for (u64 scale = u.scale / 10; scale > 0; scale /= 10) {
        digits += static_cast<char>('0' + rest / scale);
        rest %= scale;
      }
      digits.erase(digits.find_last_not_of('0') + 1);
      text += "." + digits;
    }
    return text + " " + u.unit;
  }
  return "0 s";
}

void timingReport_write(std::FILE* out, const TimingSummary& summary, const std::string& image,
                        ReportFormat format) {
  switch (format) {
    case ReportFormat::kText: writeText(out, summary, image); break;
    case ReportFormat::kJson: writeJson(out, summary, image); break;
    case ReportFormat::kCsv: writeCsv(out, summary); break;
  }
}

void timingReport_merge(TimingSummary* total, const TimingSummary& run) {
  // A total that holds no run yet takes the first one as it is.
  if (total->system.runs == 0) {
    *total = run;
    return;
  }
  for (const InstanceTiming& r : run.instances) {
    auto found = std::find_if(total->instances.begin(), total->instances.end(),
                              [&](const InstanceTiming& t) { return t.name == r.name; });
    if (found == total->instances.end()) {
      total->instances.push_back(r);
      continue;
    }
    InstanceTiming& t = *found;
    t.activations += r.activations;
    t.lost += r.lost;
    t.jitter.merge(r.jitter);
    t.latency.merge(r.latency);
    t.response.merge(r.response);
    t.execution.merge(r.execution);
    if (r.misses > 0 && (t.misses == 0 || r.firstMiss < t.firstMiss)) t.firstMiss = r.firstMiss;
    t.misses += r.misses;
    t.missed = t.misses > 0;
    t.runsWithMiss += r.runsWithMiss;
    t.worstResponse = t.response.max;
    for (u32 k = 0; k < TimingHistogram::kBuckets; ++k)
      t.responseHistogram.counts[k] += r.responseHistogram.counts[k];
  }
  SystemTiming& sys = total->system;
  sys.span += run.system.span;
  sys.busy += run.system.busy;
  sys.longestBusyPeriod = std::max(sys.longestBusyPeriod, run.system.longestBusyPeriod);
  sys.runs += run.system.runs;
  if (run.system.seeded && (!sys.seeded || run.system.seed < sys.seed)) sys.seed = run.system.seed;
  sys.seeded = sys.seeded || run.system.seeded;
}

bool timingReport_parseJson(const std::string& text, TimingSummary* summary, std::string* image,
                            std::string* error) {
  Json root;
  if (!JsonParser(text).parse(&root, error)) return false;
  const Json* format = root.get("format");
  if (root.kind != Json::kObject || format == nullptr || format->text != "velk-timing-report") {
    *error = "not a velk_sim timing report";
    return false;
  }
  *summary = TimingSummary{};
  const Json* name = root.get("image");
  if (name != nullptr && name->kind == Json::kString) *image = name->text;
  SystemTiming& sys = summary->system;
  const Json* system = root.get("system");
  const Json* instances = root.get("instances");
  sys.seeded = readCount(&root, "seed", &sys.seed);
  if (!readCount(&root, "runs", &sys.runs) || !readCount(system, "span_ps", &sys.span) ||
      !readCount(system, "busy_ps", &sys.busy) ||
      !readCount(system, "longest_busy_period_ps", &sys.longestBusyPeriod) ||
      instances == nullptr || instances->kind != Json::kArray) {
    *error = "a report field is missing or not a whole number";
    return false;
  }
  for (const Json& item : instances->items) {
    summary->instances.emplace_back();
    if (item.kind != Json::kObject || !readInstance(item, &summary->instances.back())) {
      *error = "an instance entry is incomplete";
      return false;
    }
  }
  return true;
}
