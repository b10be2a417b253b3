// velk_sim's timing outputs end to end: the report of hand-computed task
// sets, the console lines --trace keeps, the files real readers must accept
// (JSON, VCD, SVG), and reproducible Monte Carlo campaigns.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "compile_program.h"
#include "run_program.h"
#include "timing_report.h"
#include "timing_sinks.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = VELK_SOURCE_DIR;

// A periodic instance with an activation condition that holds every other
// period (toggle flips it at 0, 10, 20, 30 ms; work comes at 5, 15, 25,
// 35 ms and runs at 15 and 35 only), and one whose timing annotation delays
// every other release by 2 ms (releases at 0, 12, 20, 32 ms).
const char kLostAndJitter[] =
    "var bool : enabled = true;\n"
    "var uint8 : k = 0;\n"
    "var uint16 : count_out = 0;\n"
    "processdef Toggle() {\n"
    "    state Run {\n"
    "        enabled = not enabled;\n"
    "    }\n"
    "}\n"
    "processdef Work() {\n"
    "    state Run {\n"
    "        count_out = count_out + 1;\n"
    "    }\n"
    "}\n"
    "process Toggle : toggle[10 ms]();\n"
    "process Work : work[10 ms, 5 ms][enabled]();\n"
    "process Work : jittery[10 ms]();\n"
    "@velk:time {\n"
    "    jittery.execution_time = 1 ms;\n"
    "}\n"
    "@velk:time:jittery {\n"
    "    k = k + 1;\n"
    "    if (k mod 2 == 0) {\n"
    "        jittery.jitter = 2 ms;\n"
    "    } else {\n"
    "        jittery.jitter = 0 s;\n"
    "    }\n"
    "}\n";

// NPFP over 0 to 39 ms (examples/timing/npfp.velk): ctrl runs at 0, 10, 20,
// 30 ms for 4 ms; logger after it at 4 and 24 ms for 2 ms; sensor last, at
// 6, 14, 26, 34 ms for 3 ms, so its responses are 9, 7, 9, 7 ms against a
// 5 ms deadline. 32 ms busy out of 39; the longest busy period is 0 to 9 ms.
const char kNpfpReport[] =
    "Timing report: npfp.ast\n"
    "Observed: 0 s to 39 ms\n"
    "\n"
    "Instance 'ctrl'\n"
    "  activations      4 run, 0 lost\n"
    "  release jitter   min 0 s, mean 0 s, max 0 s\n"
    "  start latency    min 0 s, mean 0 s, max 0 s\n"
    "  response time    min 4 ms, mean 4 ms, max 4 ms\n"
    "  execution time   min 4 ms, mean 4 ms, max 4 ms\n"
    "  deadline misses  0\n"
    "  utilisation      41.026 %\n"
    "Instance 'logger'\n"
    "  activations      2 run, 0 lost\n"
    "  release jitter   min 0 s, mean 0 s, max 0 s\n"
    "  start latency    min 4 ms, mean 4 ms, max 4 ms\n"
    "  response time    min 6 ms, mean 6 ms, max 6 ms\n"
    "  execution time   min 2 ms, mean 2 ms, max 2 ms\n"
    "  deadline misses  0\n"
    "  utilisation      10.256 %\n"
    "Instance 'sensor'\n"
    "  activations      4 run, 0 lost\n"
    "  release jitter   min 0 s, mean 0 s, max 0 s\n"
    "  start latency    min 4 ms, mean 5 ms, max 6 ms\n"
    "  response time    min 7 ms, mean 8 ms, max 9 ms\n"
    "  execution time   min 3 ms, mean 3 ms, max 3 ms\n"
    "  deadline misses  4, first at 9 ms\n"
    "  utilisation      30.769 %\n"
    "System\n"
    "  processor        82.051 % busy, 17.949 % idle\n"
    "  longest busy     9 ms\n"
    "  deadline misses  4\n";

bool haveTool(const std::string& name) {
  return std::system(("command -v " + name + " > /dev/null 2>&1").c_str()) == 0;
}

#define SKIP_WITHOUT(tool)                                                          \
  if (!haveTool(tool)) GTEST_SKIP() << tool " is not installed (scripts/install-deps.sh " \
                                           "installs it): this check is skipped"

// The value changes a VCD text lists at `time`, from its time mark to the
// next one, empty when it has none.
std::string changesAt(const std::string& vcd, u64 time) {
  const std::string mark = "\n#" + std::to_string(time) + "\n";
  const size_t at = vcd.find(mark);
  if (at == std::string::npos) return "";
  const size_t next = vcd.find("\n#", at + 1);
  return vcd.substr(at + mark.size() - 1, next == std::string::npos ? next : next - at);
}

class Timing : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("velk_timing_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    for (const char* name : {"npfp", "npedf", "jitter"})
      fs::copy_file(kSource / "examples/timing" / (std::string(name) + ".velk"),
                    dir_ / (std::string(name) + ".velk"));
    std::ofstream(dir_ / "lost.velk") << kLostAndJitter;
    for (const char* name : {"npfp", "npedf", "jitter", "lost"}) compile(name);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static void compile(const std::string& name) {
    const ProgramRun r = compileProgram(dir_, name);
    ASSERT_EQ(r.status, 0) << r.out;
  }

  static ProgramRun sim(std::vector<std::string> args) {
    args.insert(args.begin(), "velk_sim");
    return runProgram(VELK_SIM_BIN, args, {}, dir_.string());
  }

  // Runs a shell command in the scratch directory; its exit status.
  static int shell(const std::string& command) {
    return std::system(("cd '" + dir_.string() + "' && " + command).c_str()) >> 8;
  }

  static fs::path dir_;
};

fs::path Timing::dir_;

TEST_F(Timing, ReportShowsTheFiguresOfAHandComputedTaskSet) {
  const ProgramRun r = sim({"-t", "0.039", "--trace", "none", "--report", "npfp.ast"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kNpfpReport);
  // Into a file, standard output keeps the run's own lines only.
  const ProgramRun plain = sim({"-t", "0.039", "npfp.ast"});
  const ProgramRun filed = sim({"-t", "0.039", "--report=npfp.txt", "npfp.ast"});
  EXPECT_EQ(filed.out, plain.out);
  EXPECT_EQ(readFile(dir_ / "npfp.txt"), kNpfpReport);
}

TEST_F(Timing, ReportCountsLostActivationsAndTheJitterOfEachRelease) {
  const ProgramRun r = sim({"-t", "0.039", "--trace", "none", "--report", "--report-format", "csv",
                            "lost.ast"});
  EXPECT_EQ(r.status, 0);
  // jittery: releases at 0, 12, 20, 32 ms with jitters 0, 2, 0, 2 ms.
  EXPECT_NE(r.out.find("\nwork,2,2,0,0,0,0,0,0,0,0,0,0,0,0,,0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\njittery,4,0,0,2000000000,0,0,0,1000000000,1000000000,1000000000,"
                       "1000000000,1000000000,1000000000,0,,0.10256410256410256\n"),
            std::string::npos)
      << r.out;
}

// The same task set misses under one policy and not the other; the status
// guards it in a script.
TEST_F(Timing, FailOnDeadlineMissExitsWithItsOwnStatus) {
  EXPECT_EQ(sim({"-t", "0.039", "--trace", "none", "--fail-on-deadline-miss", "npfp.ast"}).status,
            4);
  const ProgramRun met =
      sim({"-t", "0.039", "--trace", "none", "--fail-on-deadline-miss", "npedf.ast"});
  EXPECT_EQ(met.status, 0);
  EXPECT_EQ(met.out, "");  // no report asked for, none printed
}

TEST_F(Timing, TraceChoosesTheConsoleLines) {
  const ProgramRun all = sim({"-t", "0.02", "lost.ast"});
  EXPECT_EQ(sim({"-t", "0.02", "--trace", "all", "lost.ast"}).out, all.out);
  // Every kind kept: the same bytes as without the option.
  EXPECT_EQ(sim({"-t", "0.02", "--trace", "tasks,assign,print,ports", "lost.ast"}).out, all.out);
  EXPECT_EQ(sim({"-t", "0.02", "--trace", "none", "lost.ast"}).out, "");
  auto onlyLines = [&](const std::string& kind, const std::vector<std::string>& markers) {
    const ProgramRun r = sim({"-t", "0.02", "--trace", kind, "lost.ast"});
    std::istringstream lines(r.out);
    std::string line;
    size_t count = 0;
    for (; std::getline(lines, line); ++count) {
      bool known = false;
      for (const std::string& m : markers) known = known || line.find(m) != std::string::npos;
      EXPECT_TRUE(known) << kind << ": " << line;
    }
    EXPECT_GT(count, 0u) << kind;
  };
  onlyLines("tasks", {":STARTING_TASK] ", ":TASK_FINISHED] "});
  onlyLines("assign", {":ASSIGN] "});
  onlyLines("ports", {"OUT:", "NEXT:"});
  onlyLines("tasks,assign", {":STARTING_TASK] ", ":TASK_FINISHED] ", ":ASSIGN] "});
  const ProgramRun bad = sim({"--trace", "tasks,cats", "lost.ast"});
  EXPECT_EQ(bad.status, 2);
}

// The JSON report and the trace are read back with a JSON parser other than
// ours, and their figures checked.
TEST_F(Timing, JsonReportAndChromeTraceParseAndCarryTheFigures) {
  SKIP_WITHOUT("python3");
  const ProgramRun r = sim({"-t", "0.039", "--trace", "none", "--report=npfp.json",
                            "--report-format", "json", "--trace-json", "npfp.trace.json",
                            "npfp.ast"});
  ASSERT_EQ(r.status, 0);
  std::ofstream(dir_ / "check.py") <<
      "import json\n"
      "r = json.load(open('npfp.json'))\n"
      "assert r['format'] == 'velk-timing-report' and r['runs'] == 1\n"
      "s = {i['name']: i for i in r['instances']}\n"
      "assert s['sensor']['response_time']['max_ps'] == 9000000000\n"
      "assert s['sensor']['response_time']['mean_ps'] == 8000000000\n"
      "assert s['sensor']['deadline_misses'] == 4 and s['sensor']['first_miss_ps'] == 9000000000\n"
      "assert s['ctrl']['first_miss_ps'] is None and s['logger']['start_latency']['min_ps'] == 4000000000\n"
      "assert r['system']['longest_busy_period_ps'] == 9000000000\n"
      "assert abs(r['system']['busy_share'] - 32 / 39) < 1e-15\n"
      "assert sum(b['count'] for b in s['sensor']['response_histogram']) == 4\n"
      "t = json.load(open('npfp.trace.json'))['traceEvents']\n"
      "names = {e['tid']: e['args']['name'] for e in t if e['name'] == 'thread_name'}\n"
      "assert sorted(names.values()) == ['ctrl', 'logger', 'sensor']\n"
      "x = [e for e in t if e['ph'] == 'X']\n"
      "assert len(x) == 10\n"
      "sensor = [e for e in x if names[e['tid']] == 'sensor']\n"
      "assert [(e['ts'], e['dur']) for e in sensor] == [(6000, 3000), (14000, 3000), (26000, 3000), (34000, 3000)]\n"
      "assert all(names[e['tid']] == e['name'] for e in x)\n"
      "misses = [e for e in t if e['ph'] == 'i' and e['name'] == 'deadline miss']\n"
      "assert [e['ts'] for e in misses] == [9000, 17000, 29000, 37000]\n";
  EXPECT_EQ(shell("python3 check.py"), 0);
}

TEST_F(Timing, ChromeTraceHasLostActivationsAndPortCounters) {
  SKIP_WITHOUT("python3");
  ASSERT_EQ(sim({"-t", "0.039", "--trace", "none", "--trace-json", "lost.trace.json", "lost.ast"})
                .status,
            0);
  std::ofstream(dir_ / "check_lost.py") <<
      "import json\n"
      "t = json.load(open('lost.trace.json'))['traceEvents']\n"
      "lost = [e['ts'] for e in t if e['name'] == 'lost activation']\n"
      "assert lost == [5000, 25000], lost\n"
      "counter = [(e['ts'], e['args']['value']) for e in t if e['ph'] == 'C']\n"
      "expected = [(0, 0), (0, 1), (12000, 2), (15000, 3), (20000, 4), (32000, 5), (35000, 6)]\n"
      "assert counter == expected, counter\n";
  EXPECT_EQ(shell("python3 check_lost.py"), 0);
}

TEST_F(Timing, VcdIsAcceptedByARealReader) {
  ASSERT_EQ(sim({"-t", "0.039", "--trace", "none", "--vcd", "lost.vcd", "--vcd-globals",
                 "lost.ast"})
                .status,
            0);
  const std::string vcd = readFile(dir_ / "lost.vcd");
  EXPECT_NE(vcd.find("$timescale 1ps $end"), std::string::npos);
  // jittery runs from 12 to 13 ms: its signal (the third instance) rises
  // and falls there.
  EXPECT_NE(changesAt(vcd, 12000000000).find("\n1#\n"), std::string::npos) << vcd;
  EXPECT_NE(changesAt(vcd, 13000000000).find("\n0#\n"), std::string::npos) << vcd;
  EXPECT_NE(vcd.find(" enabled $end"), std::string::npos);  // a global, with --vcd-globals
  SKIP_WITHOUT("vcd2fst");
  EXPECT_EQ(shell("vcd2fst lost.vcd lost.fst > vcd2fst.log 2>&1"), 0)
      << readFile(dir_ / "vcd2fst.log");
  EXPECT_GT(fs::file_size(dir_ / "lost.fst"), 0u);
}

// The chart is rendered by a real SVG renderer; the picture must show the
// bars: blue ones for activations, red ones for the sensor's misses.
TEST_F(Timing, GanttChartRendersItsBars) {
  ASSERT_EQ(sim({"-t", "0.039", "--trace", "none", "--gantt", "npfp.svg", "npfp.ast"}).status, 0);
  ASSERT_EQ(sim({"-t", "0.039", "--trace", "none", "--gantt", "window.svg", "--gantt-window",
                 "10ms:20ms", "npfp.ast"})
                .status,
            0);
  const std::string window = readFile(dir_ / "window.svg");
  EXPECT_NE(window.find(">10 ms<"), std::string::npos);
  EXPECT_EQ(window.find(">30 ms<"), std::string::npos);
  SKIP_WITHOUT("rsvg-convert");
  SKIP_WITHOUT("python3");
  ASSERT_EQ(shell("rsvg-convert npfp.svg -o npfp.png"), 0);
  // Counts the pixels of each bar colour in the PNG (8-bit RGB or RGBA).
  std::ofstream(dir_ / "pixels.py") <<
      "import struct, sys, zlib\n"
      "data = open(sys.argv[1], 'rb').read()\n"
      "pos, idat = 8, b''\n"
      "while pos < len(data):\n"
      "    n, kind = struct.unpack('>I4s', data[pos:pos + 8])\n"
      "    body = data[pos + 8:pos + 8 + n]\n"
      "    if kind == b'IHDR': w, h, depth, color = struct.unpack('>IIBB', body[:10])\n"
      "    if kind == b'IDAT': idat += body\n"
      "    pos += 12 + n\n"
      "assert depth == 8 and color in (2, 6)\n"
      "bpp = 3 if color == 2 else 4\n"
      "raw, stride, prev, rows = zlib.decompress(idat), w * bpp, bytearray(w * bpp), []\n"
      "for y in range(h):\n"
      "    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])\n"
      "    for i in range(stride):\n"
      "        a = line[i - bpp] if i >= bpp else 0\n"
      "        b, c = prev[i], prev[i - bpp] if i >= bpp else 0\n"
      "        if f == 1: line[i] = (line[i] + a) & 255\n"
      "        elif f == 2: line[i] = (line[i] + b) & 255\n"
      "        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255\n"
      "        elif f == 4:\n"
      "            p = a + b - c\n"
      "            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)\n"
      "            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255\n"
      "    rows.append(line)\n"
      "    prev = line\n"
      "def count(rgb):\n"
      "    return sum(1 for r in rows for x in range(w) if tuple(r[x * bpp:x * bpp + 3]) == rgb)\n"
      "blue, red = count((0x4a, 0x7a, 0xb5)), count((0xd6, 0x27, 0x28))\n"
      "print(blue, red)\n"
      "assert blue > 1000 and red > 1000\n";
  EXPECT_EQ(shell("python3 pixels.py npfp.png"), 0);
}

TEST_F(Timing, MonteCarloRunsAreReproducibleWhateverTheJobs) {
  const std::vector<std::string> base = {"-t", "0.2", "--runs", "6", "--seed", "7", "--report",
                                         "--report-format", "json"};
  auto run = [&](const char* jobs) {
    std::vector<std::string> args = base;
    args.insert(args.end(), {"-j", jobs, "jitter.ast"});
    return sim(args);
  };
  const ProgramRun one = run("1");
  const ProgramRun three = run("3");
  ASSERT_EQ(one.status, 0);
  EXPECT_EQ(one.out, three.out);
  EXPECT_NE(one.out.find("\"runs\": 6,\n  \"seed\": 7,"), std::string::npos) << one.out;
  // Another seed gives other draws.
  std::vector<std::string> other = base;
  other[5] = "8";
  other.insert(other.end(), {"jitter.ast"});
  EXPECT_NE(sim(other).out, one.out);
}

// The campaign recipe for GNU parallel gives the report --runs gives.
TEST_F(Timing, GnuParallelRecipeMergesToTheSameReport) {
  SKIP_WITHOUT("parallel");
  const ProgramRun runs = sim({"-t", "0.2", "--runs", "4", "--seed", "3", "--report=runs.json",
                               "--report-format", "json", "jitter.ast"});
  ASSERT_EQ(runs.status, 0);
  const std::string script = (kSource / "scripts/montecarlo-parallel.sh").string();
  ASSERT_EQ(shell("VELK_SIM='" + std::string(VELK_SIM_BIN) + "' '" + script +
                  "' jitter.ast 3 4 campaign -t 0.2 > campaign.log 2>&1"),
            0)
      << readFile(dir_ / "campaign.log");
  EXPECT_EQ(readFile(dir_ / "campaign/merged.json"), readFile(dir_ / "runs.json"));
}

// What a run writes in JSON reads back whole: merging the reports of the
// policy that misses and the one that does not counts one run with misses.
TEST_F(Timing, MergedReportsCountTheRunsWithMisses) {
  for (const char* policy : {"npfp", "npedf"}) {
    ASSERT_EQ(sim({"-t", "0.039", "--trace", "none", std::string("--report=") + policy + ".m.json",
                   "--report-format", "json", std::string(policy) + ".ast"})
                  .status,
              0);
  }
  const ProgramRun merged = sim({"--merge-reports", "--fail-on-deadline-miss", "npfp.m.json",
                                 "npedf.m.json"});
  EXPECT_EQ(merged.status, 4);
  EXPECT_NE(merged.out.find("Observed: 78 ms in 2 runs\n"), std::string::npos) << merged.out;
  EXPECT_NE(merged.out.find("  deadline misses  4, first at 9 ms, in 1 of 2 runs\n"),
            std::string::npos)
      << merged.out;
  // The sensor's worst response is NPFP's, its best NPEDF's.
  EXPECT_NE(merged.out.find("  response time    min 3 ms, mean 5.5 ms, max 9 ms\n"),
            std::string::npos)
      << merged.out;
}

TEST_F(Timing, MergeRefusesWhatIsNotAReport) {
  std::ofstream(dir_ / "bad.json") << "{\"format\": \"velk-timing-report\", \"runs\": 1}";
  std::ofstream(dir_ / "broken.json") << "{\"format\": ";
  for (const char* file : {"bad.json", "broken.json", "missing.json"}) {
    const ProgramRun r = sim({"--merge-reports", file});
    EXPECT_EQ(r.status, 2) << file;
    EXPECT_EQ(r.out, "") << file;
  }
}

TEST_F(Timing, OptionsAreChecked) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--report-format", "xml", "npfp.ast"},
           {"--gantt-window", "20ms:10ms", "--gantt", "g.svg", "npfp.ast"},
           {"--gantt-window", "10", "--gantt", "g.svg", "npfp.ast"},
           {"--runs", "0", "npfp.ast"},
           {"--runs", "2", "--vcd", "x.vcd", "npfp.ast"},
           {"-j", "0", "--runs", "2", "npfp.ast"},
           {"--vcd", "/nonexistent/dir/x.vcd", "npfp.ast"},
       }) {
    EXPECT_EQ(sim(args).status, 2) << args[0] << " " << args[1];
  }
}

// Formatting rules the outputs share, as tables.
TEST(TimingFormats, DurationsAndMicroseconds) {
  const std::pair<u64, const char*> durations[] = {
      {0, "0 s"},           {1, "1 ps"},          {999, "999 ps"},
      {1500, "1.5 ns"},     {4000000000, "4 ms"}, {1000000000001, "1.000000000001 s"},
      {2500000000, "2.5 ms"}, {18446744073709551615ull, "18446744.073709551615 s"},
  };
  for (const auto& [ps, text] : durations) EXPECT_EQ(timingReport_duration(ps), text) << ps;
  const std::pair<u64, const char*> micros[] = {
      {0, "0"}, {1, "0.000001"}, {1000000, "1"}, {1500000, "1.5"}, {123456789, "123.456789"}};
  for (const auto& [ps, text] : micros) EXPECT_EQ(traceJson_microseconds(ps), text) << ps;
}

// Merging keeps the worst, adds counts and histograms, and keeps the
// earliest first miss.
TEST(TimingFormats, MergeCombinesRuns) {
  auto runWith = [](u64 response, bool missed, u64 seed) {
    TimingSummary s;
    s.system.span = 100;
    s.system.busy = 10;
    s.system.seeded = true;
    s.system.seed = seed;
    InstanceTiming t;
    t.name = "a";
    t.activations = 1;
    t.response.add(response);
    t.responseHistogram.add(response);
    if (missed) {
      t.misses = 1;
      t.firstMiss = response;
      t.runsWithMiss = 1;
    }
    s.instances.push_back(t);
    return s;
  };
  TimingSummary total;
  total.system.runs = 0;
  timingReport_merge(&total, runWith(40, true, 5));
  timingReport_merge(&total, runWith(70, false, 6));
  timingReport_merge(&total, runWith(30, true, 4));
  ASSERT_EQ(total.instances.size(), 1u);
  const InstanceTiming& a = total.instances[0];
  EXPECT_EQ(a.response.max, 70u);
  EXPECT_EQ(a.response.min, 30u);
  EXPECT_EQ(a.activations, 3u);
  EXPECT_EQ(a.runsWithMiss, 2u);
  EXPECT_EQ(a.firstMiss, 30u);
  EXPECT_EQ(total.system.runs, 3u);
  EXPECT_EQ(total.system.seed, 4u);
  EXPECT_EQ(total.system.span, 300u);
  // 30 falls in [16, 31], 40 in [32, 63], 70 in [64, 127].
  EXPECT_EQ(a.responseHistogram.counts[5], 1u);
  EXPECT_EQ(a.responseHistogram.counts[6], 1u);
  EXPECT_EQ(a.responseHistogram.counts[7], 1u);
}

}  // namespace
