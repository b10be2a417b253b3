// velk_sim: runs a compiled VELK program in the co-simulation block without
// MATLAB, the way the simulation engine's variable-step solver drives it:
// set-up (mdlInitializeSizes, mdlInitializeSampleTimes), then one hit at time
// 0 and one at every next hit time the block asks for while the time does not
// pass the stop time (mdlGetTimeOfNextVarHit, then mdlOutputs), and
// mdlTerminate at the end. Inputs come from the command line or a CSV file
// (zero-order hold); outputs can be recorded to a CSV file.
//
// Timing outputs (report, Chrome trace, VCD, Gantt chart) come from the
// scheduler's observer through the block's host settings (timing_*.h);
// --runs repeats the run over a range of seeds in child processes.
//
// Exit statuses: 0 success, 2 bad usage (message and usage on standard
// error), 3 an error raised by the block ("velk_sim: error <id>: <message>"),
// 4 a missed deadline under --fail-on-deadline-miss, 5 a hit past the loop
// turns of --max-steps, 6 the wall-clock time of --timeout used up, 128 + the
// signal number when SIGINT or SIGTERM stopped the run.
#include <getopt.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/mex.h"
#include "host/sfun_host.h"
#include "random.h"
#include "timing_recorder.h"
#include "timing_report.h"
#include "timing_sinks.h"
#include "velk_interpreter.h"
#include "velk_parameters.h"
#include "velk_version.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitBlockError = 3;
constexpr int kExitDeadlineMiss = 4;
constexpr int kExitStepLimit = 5;
constexpr int kExitTimeout = 6;
constexpr int kExitSignalBase = 128;

const char kUsage[] =
    "Usage: velk_sim [options] <image.ast>\n"
    "       velk_sim --merge-reports [options] <report.json>...\n"
    "Runs a compiled VELK program (an image written by velk_parser) in the\n"
    "co-simulation block, as a variable-step solver does: a hit at time 0, then\n"
    "one at each next hit time the block asks for, while the time is not later\n"
    "than the stop time. Globals ending in _in are the input ports, globals\n"
    "ending in _out the output ports.\n"
    "\n"
    "Options:\n"
    "  -t, --stop-time SECONDS  time of the last possible hit (default 10)\n"
    "  -i, --input NAME=VALUE   constant value of the input port NAME; repeatable\n"
    "                           (inputs not given are 0)\n"
    "      --inputs FILE.csv    input values over time: a header time,NAME,... and\n"
    "                           rows in ascending time; at each hit a port takes the\n"
    "                           value of the last row not later than the hit (0\n"
    "                           before the first row)\n"
    "  -o, --outputs FILE.csv   write a header time,NAME,... (the output ports in\n"
    "                           port order) and one row per hit, after the outputs\n"
    "                           are computed; each number in the shortest form\n"
    "                           that reads back exactly\n"
    "  -q, --quiet              hide the block's per-hit OUT:/NEXT: lines; what\n"
    "                           the program prints stays\n"
    "      --seed N             draw the program's random numbers from xoshiro256**\n"
    "                           seeded with N (0 to 2^64-1): the same seed gives\n"
    "                           the same run; without it every random draw\n"
    "                           returns the lowest value it can (a note on\n"
    "                           standard error says so at the first draw)\n"
    "      --trace LIST         which lines reach standard output: a comma list of\n"
    "                           tasks (STARTING_TASK/TASK_FINISHED), assign\n"
    "                           (ASSIGN), print (the program's PRINTLN lines) and\n"
    "                           ports (the OUT:/NEXT: lines), or all (default) or\n"
    "                           none\n"
    "      --report[=FILE]      at the end, the timing figures of every instance\n"
    "                           (activations, lost ones, release jitter, start\n"
    "                           latency, response and execution times, deadline\n"
    "                           misses, utilisation) and of the processor; on\n"
    "                           standard output, or in FILE\n"
    "      --report-format F    text (default), json or csv\n"
    "      --fail-on-deadline-miss\n"
    "                           exit with status 4 when an activation finished\n"
    "                           after its deadline (the run itself goes on)\n"
    "      --trace-json FILE    the run in the Chrome trace event format (Perfetto,\n"
    "                           chrome://tracing): a row per instance, deadline\n"
    "                           misses, lost activations, port counters\n"
    "      --vcd FILE           a Value Change Dump (1 ps timescale): one signal per\n"
    "                           instance, 1 while it runs, and the ports\n"
    "      --vcd-globals        put every scalar global in the VCD, not only ports\n"
    "      --gantt FILE.svg     an SVG Gantt chart of the activations\n"
    "      --gantt-window FROM:TO\n"
    "                           draw only FROM to TO, in seconds or with a unit\n"
    "                           (10ms:20ms); either side may be left empty\n"
    "      --runs N             run N times with seeds S, S+1, ... (S from --seed,\n"
    "                           default 0) and report the merged figures (worst\n"
    "                           response times, miss ratios, histograms); the\n"
    "                           runs' console output is discarded\n"
    "  -j, --jobs J             with --runs, up to J runs at once (default 1); the\n"
    "                           result does not depend on J\n"
    "      --max-steps N        let one hit (and the set-up, which runs init)\n"
    "                           take at most N loop turns, counting every turn of\n"
    "                           every while and for loop; the turn past them ends\n"
    "                           the run (a loop that never ends is cut short)\n"
    "      --timeout SECONDS    end the run after SECONDS of wall-clock time\n"
    "      --merge-reports      the arguments are JSON reports (--report-format\n"
    "                           json) to merge into one report; no image is run\n"
    "      --ports              print the image's input and output ports and exit\n"
    "      --help               print this text and exit\n"
    "      --version            print the toolchain version and exit\n"
    "\n"
    "An enumeration port carries the enumerator's position in its declaration\n"
    "(0, 1, 2, ...); an input is rounded to the nearest position and clamped to\n"
    "the enumerators (NaN gives the first); an output holding no enumerator\n"
    "shows -1.\n"
    "\n"
    "Everything the block and the program print goes to standard output.\n"
    "SIGINT or SIGTERM stops the run after the current hit (a loop that never\n"
    "ends is cut short): what was printed is flushed and the outputs file holds\n"
    "every hit completed before the signal. A second signal ends it at once.\n"
    "Exit status: 0 success; 2 bad usage; 3 the block raised an error (image\n"
    "not loadable, program exit, failed assertion), reported on standard error\n"
    "as \"velk_sim: error <identifier>: <message>\"; 4 a deadline was missed\n"
    "under --fail-on-deadline-miss; 5 the loop turns of --max-steps were used\n"
    "up; 6 the time of --timeout was used up; 128 + the signal number when a\n"
    "signal stopped the run (130 for SIGINT, 143 for SIGTERM); these last\n"
    "ones are reported on standard error with the simulated time reached.\n";

// A problem with the command line or the files it names.
struct UsageError {
  std::string message;
};

struct Options {
  bool help = false;
  bool version = false;
  bool ports = false;
  bool quiet = false;
  bool seeded = false;
  u64 seed = 0;
  double stopTime = 10.0;
  std::vector<std::pair<std::string, double>> constants;  // -i, in order given
  std::string inputsCsv;
  std::string outputsCsv;
  std::string image;
  // Console lines (--trace).
  bool traceTasks = true;
  bool traceAssign = true;
  bool tracePrint = true;
  bool tracePorts = true;
  // Timing outputs.
  bool report = false;
  std::string reportFile;  // empty: standard output
  ReportFormat reportFormat = ReportFormat::kText;
  bool failOnDeadlineMiss = false;
  std::string traceJson;
  std::string vcd;
  bool vcdGlobals = false;
  std::string gantt;
  u64 ganttFrom = 0;
  u64 ganttTo = 0;  // 0: the end of the run
  // Monte Carlo.
  u64 runs = 0;  // 0: one plain run
  unsigned jobs = 1;
  // Limits.
  u64 maxSteps = 0;     // loop turns per hit, 0: none
  double timeout = 0;   // wall-clock seconds, 0: none
  bool mergeReports = false;
  std::vector<std::string> reports;  // --merge-reports arguments

  bool drawsRun() const { return !traceJson.empty() || !vcd.empty() || !gantt.empty(); }
  bool timed() const { return report || failOnDeadlineMiss || drawsRun(); }
};

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A whole, finite decimal number (surrounding blanks allowed).
bool parseNumber(const std::string& text, double* value) {
  const std::string t = trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (*end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// A whole unsigned decimal number that fits 64 bits, nothing around it.
bool parseSeed(const std::string& text, u64* value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, *value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    fields.push_back(trim(line.substr(start, comma - start)));
    if (comma == std::string::npos) return fields;
    start = comma + 1;
  }
}

std::string join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// ---- Command line ----

enum LongOnly {
  kOptInputs = 256, kOptPorts, kOptHelp, kOptSeed, kOptVersion, kOptTrace, kOptReport,
  kOptReportFormat, kOptFailOnMiss, kOptTraceJson, kOptVcd, kOptVcdGlobals, kOptGantt,
  kOptGanttWindow, kOptRuns, kOptMergeReports, kOptMaxSteps, kOptTimeout
};

// --trace: a comma list of line kinds, or all, or none.
void parseTrace(Options* options, const std::string& argument) {
  const std::vector<std::string> words = splitFields(argument);
  if (words.size() == 1 && (words[0] == "all" || words[0] == "none")) {
    const bool all = words[0] == "all";
    options->traceTasks = options->traceAssign = options->tracePrint = options->tracePorts = all;
    return;
  }
  options->traceTasks = options->traceAssign = options->tracePrint = options->tracePorts = false;
  for (const std::string& word : words) {
    if (word == "tasks") options->traceTasks = true;
    else if (word == "assign") options->traceAssign = true;
    else if (word == "print") options->tracePrint = true;
    else if (word == "ports") options->tracePorts = true;
    else
      throw UsageError{"--trace expects a comma list of tasks, assign, print, ports, or all or "
                       "none, got '" + argument + "'"};
  }
}

// A time in seconds, or with a unit s, ms, us, ns or ps ("2.5ms").
bool parseDuration(const std::string& text, u64* ps) {
  static const struct { const char* unit; long double scale; } kUnits[] = {
      {"ms", 1e9L}, {"us", 1e6L}, {"ns", 1e3L}, {"ps", 1.0L}, {"s", 1e12L}};
  std::string t = trim(text);
  long double scale = 1e12L;
  for (const auto& u : kUnits) {
    const size_t n = std::strlen(u.unit);
    if (t.size() > n && t.compare(t.size() - n, n, u.unit) == 0) {
      t = trim(t.substr(0, t.size() - n));
      scale = u.scale;
      break;
    }
  }
  double value = 0.0;
  if (!parseNumber(t, &value) || value < 0) return false;
  const long double exact = static_cast<long double>(value) * scale;
  if (exact >= 18446744073709551615.0L) return false;
  *ps = static_cast<u64>(exact + 0.5L);
  return true;
}

void parseGanttWindow(Options* options, const std::string& argument) {
  const size_t colon = argument.find(':');
  const std::string from = colon == std::string::npos ? "" : argument.substr(0, colon);
  const std::string to = colon == std::string::npos ? "" : argument.substr(colon + 1);
  options->ganttFrom = 0;
  options->ganttTo = 0;
  const bool ok = colon != std::string::npos &&
                  (trim(from).empty() || parseDuration(from, &options->ganttFrom)) &&
                  (trim(to).empty() || parseDuration(to, &options->ganttTo)) &&
                  (options->ganttTo == 0 || options->ganttTo > options->ganttFrom);
  if (!ok)
    throw UsageError{"--gantt-window expects FROM:TO with FROM before TO (seconds, or with a "
                     "unit: 10ms:20ms), got '" + argument + "'"};
}

ReportFormat parseReportFormat(const std::string& argument) {
  if (argument == "text") return ReportFormat::kText;
  if (argument == "json") return ReportFormat::kJson;
  if (argument == "csv") return ReportFormat::kCsv;
  throw UsageError{"--report-format expects text, json or csv, got '" + argument + "'"};
}

u64 parseCount(const char* option, const char* argument, u64 highest) {
  u64 value = 0;
  if (!parseSeed(argument, &value) || value == 0 || value > highest)
    throw UsageError{std::string(option) + " expects a whole number from 1 to " +
                     std::to_string(highest) + ", got '" + argument + "'"};
  return value;
}

void addConstant(Options* options, const std::string& argument) {
  const size_t equal = argument.find('=');
  double value = 0.0;
  if (equal == std::string::npos || equal == 0)
    throw UsageError{"-i/--input expects NAME=VALUE, got '" + argument + "'"};
  if (!parseNumber(argument.substr(equal + 1), &value))
    throw UsageError{"-i/--input: '" + argument.substr(equal + 1) + "' is not a number"};
  options->constants.emplace_back(argument.substr(0, equal), value);
}

void applyOption(Options* options, int option, const char* argument) {
  switch (option) {
    case 't':
      if (!parseNumber(argument, &options->stopTime) || options->stopTime < 0)
        throw UsageError{"-t/--stop-time expects a number of seconds >= 0, got '" +
                         std::string(argument) + "'"};
      break;
    case 'i': addConstant(options, argument); break;
    case 'o': options->outputsCsv = argument; break;
    case 'q': options->quiet = true; break;
    case kOptInputs: options->inputsCsv = argument; break;
    case kOptPorts: options->ports = true; break;
    case kOptHelp: options->help = true; break;
    case kOptVersion: options->version = true; break;
    case kOptTrace: parseTrace(options, argument); break;
    case kOptReport:
      options->report = true;
      options->reportFile = argument != nullptr ? argument : "";
      break;
    case kOptReportFormat: options->reportFormat = parseReportFormat(argument); break;
    case kOptFailOnMiss: options->failOnDeadlineMiss = true; break;
    case kOptTraceJson: options->traceJson = argument; break;
    case kOptVcd: options->vcd = argument; break;
    case kOptVcdGlobals: options->vcdGlobals = true; break;
    case kOptGantt: options->gantt = argument; break;
    case kOptGanttWindow: parseGanttWindow(options, argument); break;
    case kOptRuns: options->runs = parseCount("--runs", argument, 1000000000); break;
    case 'j': options->jobs = static_cast<unsigned>(parseCount("-j/--jobs", argument, 1024)); break;
    case kOptMergeReports: options->mergeReports = true; break;
    case kOptMaxSteps:
      options->maxSteps = parseCount("--max-steps", argument, UINT64_MAX);
      break;
    case kOptTimeout:
      if (!parseNumber(argument, &options->timeout) || options->timeout <= 0)
        throw UsageError{"--timeout expects a number of seconds > 0, got '" +
                         std::string(argument) + "'"};
      break;
    case kOptSeed:
      if (!parseSeed(argument, &options->seed))
        throw UsageError{"--seed expects a whole number from 0 to 18446744073709551615, got '" +
                         std::string(argument) + "'"};
      options->seeded = true;
      break;
  }
}

// The message for an option getopt_long refused ('?') or found without its
// value (':'), naming the option as the user wrote it.
std::string describeBadOption(int problem, char** argv) {
  const std::string word = argv[optind - 1];
  const bool isLong = word.rfind("--", 0) == 0;
  std::string name = word;
  if (isLong) {
    name = word.substr(0, word.find('='));
  } else if (problem == '?' && optopt != 0) {
    name = std::string("-") + static_cast<char>(optopt);  // may sit in a cluster like -qz
  }
  if (problem == ':') return "option '" + name + "' needs a value";
  // A known long option given a value it does not take.
  if (isLong && optopt != 0) return "option '" + name + "' takes no value";
  return "unknown option '" + name + "'";
}

Options parseOptions(int argc, char** argv) {
  static const option longOptions[] = {
      {"stop-time", required_argument, nullptr, 't'},
      {"input", required_argument, nullptr, 'i'},
      {"inputs", required_argument, nullptr, kOptInputs},
      {"outputs", required_argument, nullptr, 'o'},
      {"quiet", no_argument, nullptr, 'q'},
      {"ports", no_argument, nullptr, kOptPorts},
      {"help", no_argument, nullptr, kOptHelp},
      {"seed", required_argument, nullptr, kOptSeed},
      {"version", no_argument, nullptr, kOptVersion},
      {"trace", required_argument, nullptr, kOptTrace},
      {"report", optional_argument, nullptr, kOptReport},
      {"report-format", required_argument, nullptr, kOptReportFormat},
      {"fail-on-deadline-miss", no_argument, nullptr, kOptFailOnMiss},
      {"trace-json", required_argument, nullptr, kOptTraceJson},
      {"vcd", required_argument, nullptr, kOptVcd},
      {"vcd-globals", no_argument, nullptr, kOptVcdGlobals},
      {"gantt", required_argument, nullptr, kOptGantt},
      {"gantt-window", required_argument, nullptr, kOptGanttWindow},
      {"runs", required_argument, nullptr, kOptRuns},
      {"jobs", required_argument, nullptr, 'j'},
      {"merge-reports", no_argument, nullptr, kOptMergeReports},
      {"max-steps", required_argument, nullptr, kOptMaxSteps},
      {"timeout", required_argument, nullptr, kOptTimeout},
      {nullptr, 0, nullptr, 0},
  };
  Options options;
  opterr = 0;  // our own messages, on our own terms
  int option;
  while ((option = getopt_long(argc, argv, ":t:i:o:qj:", longOptions, nullptr)) != -1) {
    if (option == '?' || option == ':') throw UsageError{describeBadOption(option, argv)};
    applyOption(&options, option, optarg);
  }
  if (options.help || options.version) return options;
  if (options.mergeReports) {
    if (optind >= argc) throw UsageError{"--merge-reports: no report file given"};
    options.reports.assign(argv + optind, argv + argc);
    return options;
  }
  if (options.runs > 0 && (options.drawsRun() || !options.outputsCsv.empty()))
    throw UsageError{"--runs merges reports; --trace-json, --vcd, --gantt and -o/--outputs "
                     "record one run"};
  if (optind >= argc || argv[optind][0] == '\0') throw UsageError{"no image file given"};
  if (argc - optind > 1) throw UsageError{"more than one image file given"};
  options.image = argv[optind];
  return options;
}

// ---- Inputs ----

// The --inputs table: one column of values per named port, rows by time.
struct InputTable {
  std::vector<std::string> names;
  std::vector<double> times;
  std::vector<std::vector<double>> rows;  // rows[r][column]
};

std::vector<double> parseRow(const std::string& where, const std::string& line, size_t width) {
  const std::vector<std::string> fields = splitFields(line);
  if (fields.size() != width)
    throw UsageError{where + ": expected " + std::to_string(width) + " fields, found " +
                     std::to_string(fields.size())};
  std::vector<double> values(width);
  for (size_t k = 0; k < width; k++) {
    if (!parseNumber(fields[k], &values[k]))
      throw UsageError{where + ": '" + fields[k] + "' is not a number"};
  }
  return values;
}

InputTable readInputTable(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw UsageError{"cannot read inputs file '" + path + "'"};
  std::string line;
  const bool hasHeader = static_cast<bool>(std::getline(file, line));
  // Spreadsheet programs often start a UTF-8 file with a byte order mark.
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  if (line.rfind(kByteOrderMark, 0) == 0) line.erase(0, sizeof kByteOrderMark - 1);
  if (!hasHeader || trim(line).empty())
    throw UsageError{path + ":1: missing header time,NAME,..."};
  InputTable table;
  table.names = splitFields(line);
  if (table.names[0] != "time") throw UsageError{path + ":1: the first column must be 'time'"};
  table.names.erase(table.names.begin());
  if (std::find(table.names.begin(), table.names.end(), "") != table.names.end())
    throw UsageError{path + ":1: empty column name"};
  for (size_t lineNo = 2; std::getline(file, line); lineNo++) {
    if (trim(line).empty()) continue;
    const std::string where = path + ":" + std::to_string(lineNo);
    std::vector<double> values = parseRow(where, line, table.names.size() + 1);
    if (!table.times.empty() && values[0] < table.times.back())
      throw UsageError{where + ": time goes backwards"};
    table.times.push_back(values[0]);
    table.rows.emplace_back(values.begin() + 1, values.end());
  }
  return table;
}

// Where each input port takes its value from: a constant, or a column of
// the input table held from row to row.
class InputSchedule {
 public:
  InputSchedule(const Options& options, const std::vector<std::string>& ports)
      : constants_(ports.size(), 0.0), columns_(ports.size(), -1) {
    if (!options.inputsCsv.empty()) table_ = readInputTable(options.inputsCsv);
    std::vector<std::string> unknown;
    for (size_t c = 0; c < table_.names.size(); c++)
      bind(ports, table_.names[c], &unknown, [&](size_t port) {
        if (columns_[port] >= 0) throw UsageError{"input '" + table_.names[c] + "' given twice"};
        columns_[port] = static_cast<int>(c);
      });
    for (const auto& constant : options.constants)
      bind(ports, constant.first, &unknown, [&](size_t port) {
        if (columns_[port] >= 0)
          throw UsageError{"input '" + constant.first +
                           "' given both with -i and in the inputs file"};
        constants_[port] = constant.second;
      });
    if (!unknown.empty())
      throw UsageError{"unknown input port(s): " + join(unknown) + " (the image's inputs: " +
                       (ports.empty() ? "none" : join(ports)) + ")"};
  }

  // Value of every input port at time t.
  std::vector<double> at(double t) const {
    std::vector<double> values = constants_;
    const size_t held = std::upper_bound(table_.times.begin(), table_.times.end(), t) -
                        table_.times.begin();
    for (size_t port = 0; port < values.size(); port++) {
      if (columns_[port] < 0) continue;
      values[port] = held == 0 ? 0.0 : table_.rows[held - 1][static_cast<size_t>(columns_[port])];
    }
    return values;
  }

 private:
  template <typename Assign>
  static void bind(const std::vector<std::string>& ports, const std::string& name,
                   std::vector<std::string>* unknown, Assign assign) {
    const auto found = std::find(ports.begin(), ports.end(), name);
    if (found == ports.end()) {
      if (std::find(unknown->begin(), unknown->end(), name) == unknown->end())
        unknown->push_back(name);
      return;
    }
    assign(static_cast<size_t>(found - ports.begin()));
  }

  InputTable table_;
  std::vector<double> constants_;
  std::vector<int> columns_;  // table column per port, -1 for a constant
};

// ---- Outputs ----

// The --outputs file: a header, then one row per hit. Numbers are written in
// the shortest form that reads back as the same double (0.003, not
// 0.0030000000000000001).
class OutputRecorder {
 public:
  OutputRecorder(const std::string& path, const std::vector<std::string>& ports) : path_(path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) throw UsageError{"cannot write outputs file '" + path + "'"};
    std::fputs("time", file_);
    for (const std::string& name : ports) std::fprintf(file_, ",%s", name.c_str());
    std::fputc('\n', file_);
  }
  ~OutputRecorder() {
    if (file_ != nullptr) std::fclose(file_);
  }
  OutputRecorder(const OutputRecorder&) = delete;
  OutputRecorder& operator=(const OutputRecorder&) = delete;

  void record(double t, const SimStruct* S) {
    if (file_ == nullptr) return;
    writeNumber(t);
    for (int_T port = 0; port < ssGetNumOutputPorts(S); port++) {
      std::fputc(',', file_);
      writeNumber(sfunHost_getOutput(S, port));
    }
    std::fputc('\n', file_);
  }

  // Closes the file, reporting a failed write.
  void finish() {
    if (file_ == nullptr) return;
    const bool failed = std::ferror(file_) != 0;
    const bool closeFailed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (failed || closeFailed) throw UsageError{"cannot write outputs file '" + path_ + "'"};
  }

 private:
  void writeNumber(double value) {
    char text[32];  // the longest shortest form, -2.2250738585072014e-308, has 24
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::fwrite(text, 1, static_cast<size_t>(result.ptr - text), file_);
  }

  std::string path_;
  std::FILE* file_ = nullptr;
};

// ---- Random source ----

RandomXoshiro256 seededGenerator;
bool unseededNoted = false;

u64 seededDraw(InterpEnv*) { return random_xoshiroNext(&seededGenerator); }

// The library's default source, which always yields 0, with a note at the
// first draw so that a user wondering why nothing looks random is told.
u64 unseededDraw(InterpEnv* env) {
  if (!unseededNoted) {
    unseededNoted = true;
    std::fflush(stdout);
    std::fputs("velk_sim: note: no --seed given, so every random draw returns the lowest "
               "value it can; give --seed N for reproducible random values\n",
               stderr);
  }
  return env_defaultRandom(env);
}

// ---- Standard output ----

// Standard output to a file or a pipe is written a large buffer at a time
// instead of once per hit; on a terminal it stays line-buffered and the
// block still flushes at every hit, so interactive output stays live. Every
// write to standard error flushes standard output first (so "2>&1" keeps the
// order), and so does every end: return from main, exit, a failed assertion,
// a stop signal (at the end of the hit) and std::terminate below.
// The buffer is ours: given no buffer, the C library keeps its own default
// size (a page) whatever size is asked for.
constexpr size_t kOutputBuffer = 64 * 1024;
char outputBuffer[kOutputBuffer];

bool outputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

std::terminate_handler previousTerminate = nullptr;

[[noreturn]] void flushThenTerminate() {
  std::fflush(stdout);
  if (previousTerminate != nullptr) previousTerminate();
  std::abort();
}

void bufferStandardOutput() {
  if (!outputIsTerminal()) std::setvbuf(stdout, outputBuffer, _IOFBF, kOutputBuffer);
  previousTerminate = std::set_terminate(flushThenTerminate);
}

// ---- Signals ----

// The number of the signal that asked the run to stop, 0 while none has.
volatile std::sig_atomic_t stopSignal = 0;

// A second signal, while the first is still being acted on, ends the
// process at once, as if no handler were installed.
extern "C" void onStopSignal(int signal) {
  if (stopSignal != 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  stopSignal = signal;
}

// SIGINT and SIGTERM only raise the flag: the run stops at the end of the
// hit (the interpreter's loops look at it too), so output is never cut in
// the middle of a line. Interrupted writes are restarted.
void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The --timeout alarm asks for a stop like the first SIGINT does; it never
// ends the process by itself.
extern "C" void onTimeout(int) {
  if (stopSignal == 0) stopSignal = SIGALRM;
}

// Arms the --timeout alarm. restartCalls false lets the alarm interrupt a
// wait (the --runs parent waits for its children and must pass the stop on).
void armTimeout(double seconds, bool restartCalls) {
  struct sigaction action {};
  action.sa_handler = onTimeout;
  sigemptyset(&action.sa_mask);
  action.sa_flags = restartCalls ? SA_RESTART : 0;
  sigaction(SIGALRM, &action, nullptr);
  const double capped = std::min(seconds, 1e9);
  itimerval timer{};
  timer.it_value.tv_sec = static_cast<time_t>(capped);
  timer.it_value.tv_usec = static_cast<suseconds_t>((capped - std::floor(capped)) * 1e6);
  if (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0) timer.it_value.tv_usec = 1;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

// ---- Running ----

// Set-up as the engine does it; an error the block raises propagates.
void setUpBlock(SimStruct* S, const SFunctionMethods& block) {
  block.initializeSizes(S);
  std::string problem;
  if (!sfunHost_completeSizes(S, &problem)) throw MexError{"velk_sim:setup", problem};
  block.initializeSampleTimes(S);
}

// One hit at time t: inputs in, next hit and outputs from the block.
void takeHit(SimStruct* S, const SFunctionMethods& block, double t,
             const std::vector<double>& inputs) {
  sfunHost_setTime(S, t);
  for (size_t port = 0; port < inputs.size(); port++)
    sfunHost_setInput(S, static_cast<int_T>(port), inputs[port]);
  block.getTimeOfNextVarHit(S);
  block.outputs(S, 0);
  if (ssGetErrorStatus(S) != nullptr) throw MexError{"velk_sim:block", ssGetErrorStatus(S)};
}

std::string describeTimes(double next, double t) {
  char text[160];
  std::snprintf(text, sizeof text, "next hit time %.17g is not later than the current time %.17g",
                next, t);
  return text;
}

std::string formatNumber(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Reports the stop on standard error and gives the exit status.
int stoppedBySignal(const Options& options, double t) {
  velk_interpreter_endOpenLine();
  std::fflush(stdout);
  if (stopSignal == SIGALRM) {
    // The --runs parent has no simulated time of its own.
    std::fprintf(stderr, "velk_sim: timeout of %s s reached%s%s%s\n",
                 formatNumber(options.timeout).c_str(), options.runs > 0 ? "" : " at time ",
                 options.runs > 0 ? "" : formatNumber(t).c_str(), options.runs > 0 ? "" : " s");
    return kExitTimeout;
  }
  std::fprintf(stderr, "velk_sim: stopped by %s at time %s s\n", signalName(stopSignal),
               formatNumber(t).c_str());
  return kExitSignalBase + stopSignal;
}

int stoppedByStepLimit(const Options& options, double t) {
  velk_interpreter_endOpenLine();
  std::fflush(stdout);
  std::fprintf(stderr, "velk_sim: step limit of %llu loop turns reached at time %s s\n",
               static_cast<unsigned long long>(options.maxSteps), formatNumber(t).c_str());
  return kExitStepLimit;
}

// Simulated picoseconds of a time in seconds, as the block counts them.
u64 psOfSeconds(double seconds) {
  const long double ps = static_cast<long double>(seconds) * 1e12L;
  return ps >= 18446744073709551615.0L ? UINT64_MAX : static_cast<u64>(ps + 0.5L);
}

// The timing outputs a run writes, or null when none is asked for (then
// the scheduler is not observed at all).
std::unique_ptr<TimingRecorder> makeRecorder(const Options& options) {
  if (!options.timed()) return nullptr;
  std::vector<std::unique_ptr<TimingSink>> sinks;
  try {
    if (!options.traceJson.empty()) sinks.push_back(traceJson_create(options.traceJson));
    if (!options.vcd.empty()) sinks.push_back(vcd_create(options.vcd));
    if (!options.gantt.empty())
      sinks.push_back(ganttSvg_create(options.gantt, options.ganttFrom, options.ganttTo));
  } catch (const TimingFileError& error) {
    throw UsageError{error.message};
  }
  auto recorder = std::make_unique<TimingRecorder>(options.vcdGlobals, std::move(sinks));
  recorder->setTaskTrace(options.traceTasks);
  return recorder;
}

// Hides the task lines when nothing else observes the scheduler.
void ignoreActivation(void*, const SchedActivation&) {}
void ignoreFinish(void*, u32, u64) {}
const SchedObserver kHideTaskLines{nullptr, ignoreActivation, ignoreFinish, ignoreActivation, false};

void configureBlock(const Options& options, TimingRecorder* recorder) {
  VelkBlockHostSettings settings;
  if (options.seeded) seededGenerator = random_xoshiroSeeded(options.seed);
  settings.randomSource = options.seeded ? seededDraw : unseededDraw;
  settings.interrupt = &stopSignal;
  settings.loopTurnLimit = options.maxSteps;
  settings.traceAssign = options.traceAssign;
  settings.tracePrint = options.tracePrint;
  settings.flushEachHit = outputIsTerminal();
  if (recorder != nullptr) {
    settings.observer = recorder->observer();
    settings.loaded = TimingRecorder::onLoaded;
    settings.user = recorder;
    // Only the drawn outputs follow values.
    if (options.drawsRun()) settings.variableChanged = TimingRecorder::onVariableChanged;
  } else if (!options.traceTasks) {
    settings.observer = &kHideTaskLines;
  }
  velk_interpreter_configure(settings);
}

void writeReport(const Options& options, const TimingSummary& summary, const std::string& image) {
  if (!options.report) return;
  if (options.reportFile.empty()) {
    std::fflush(stdout);
    timingReport_write(stdout, summary, image, options.reportFormat);
    std::fflush(stdout);
    return;
  }
  std::FILE* file = std::fopen(options.reportFile.c_str(), "w");
  if (file == nullptr) throw UsageError{"cannot write report file '" + options.reportFile + "'"};
  timingReport_write(file, summary, image, options.reportFormat);
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed)
    throw UsageError{"cannot write report file '" + options.reportFile + "'"};
}

// The status of a run that went to its end.
int finishedStatus(const Options& options, const TimingSummary* summary) {
  if (options.failOnDeadlineMiss && summary != nullptr && summary->totalMisses() > 0)
    return kExitDeadlineMiss;
  return 0;
}

// One run of the image; its timing summary is left in *summary when asked
// for.
int simulateOnce(const Options& options, TimingSummary* summary) {
  std::vector<std::string> inputs, outputs;
  velk_parameters_list(options.image.c_str(), &inputs, &outputs);
  const InputSchedule schedule(options, inputs);
  OutputRecorder recorder(options.outputsCsv, outputs);
  const std::unique_ptr<TimingRecorder> timing = makeRecorder(options);
  mexHost_setPrintEnabled(!options.quiet && options.tracePorts);
  configureBlock(options, timing.get());

  const SFunctionMethods& block = *velk_interpreter_methods();
  std::unique_ptr<SimStruct> S = sfunHost_create("velk_sim/velk_interpreter", {options.image});
  setUpBlock(S.get(), block);
  // The loop limit cuts an activation short like a signal does.
  bool limited = velk_interpreter_loopLimitReached();
  double t = 0.0;
  while (!limited && t <= options.stopTime && stopSignal == 0) {
    takeHit(S.get(), block, t, schedule.at(t));
    // A signal or the loop limit during the hit may have cut an activation
    // short: the hit is not recorded as completed.
    if (stopSignal != 0) break;
    if (velk_interpreter_loopLimitReached()) {
      limited = true;
      break;
    }
    recorder.record(t, S.get());
    if (timing != nullptr) timing->sampleInputs(psOfSeconds(t));
    const double next = sfunHost_getNextHit(S.get());
    // The engine refuses a hit that does not move time forward.
    if (!(next > t)) throw MexError{"velk_sim:nextHit", describeTimes(next, t)};
    t = next;
  }
  block.terminate(S.get());
  recorder.finish();
  if (timing != nullptr) {
    try {
      *summary = timing->finish(psOfSeconds(stopSignal != 0 || limited ? t : options.stopTime));
    } catch (const TimingFileError& error) {
      throw UsageError{error.message};
    }
    summary->system.seeded = options.seeded;
    summary->system.seed = options.seed;
  }
  if (limited) return stoppedByStepLimit(options, t);
  return stopSignal != 0 ? stoppedBySignal(options, t) : 0;
}

int simulate(const Options& options) {
  TimingSummary summary;
  const int status = simulateOnce(options, &summary);
  if (!options.timed()) return status;
  writeReport(options, summary, options.image);
  return status != 0 ? status : finishedStatus(options, &summary);
}

// ---- Monte Carlo ----

std::string readWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TimingSummary readReport(const std::string& path, std::string* image) {
  std::ifstream probe(path);
  if (!probe) throw UsageError{"cannot read report '" + path + "'"};
  TimingSummary summary;
  std::string error;
  if (!timingReport_parseJson(readWhole(path), &summary, image, &error))
    throw UsageError{path + ": " + error};
  return summary;
}

// In a child: one run with the given seed, its console discarded and its
// JSON report in reportPath. Never returns.
[[noreturn]] void runChild(Options options, u64 seed, const std::string& reportPath) {
  const int devNull = open("/dev/null", O_WRONLY);
  if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
  options.seed = seed;
  options.seeded = true;
  options.report = true;
  options.reportFile = reportPath;
  options.reportFormat = ReportFormat::kJson;
  options.failOnDeadlineMiss = false;
  int status = kExitBlockError;
  try {
    status = simulate(options);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "velk_sim: %s\n", error.message.c_str());
    status = kExitUsage;
  } catch (const MexError& error) {
    std::fprintf(stderr, "velk_sim: error %s: %s (seed %llu)\n", error.identifier.c_str(),
                 error.message.c_str(), static_cast<unsigned long long>(seed));
  }
  std::fflush(nullptr);
  _exit(status);
}

// Runs the seeds S .. S+N-1, up to J at a time, and merges their reports in
// seed order, so the result is the same whatever J.
int simulateRuns(const Options& options) {
  char directory[] = "/tmp/velk_sim_runs_XXXXXX";
  if (mkdtemp(directory) == nullptr) throw UsageError{"cannot create a temporary directory"};
  const u64 first = options.seeded ? options.seed : 0;
  auto reportOf = [&](u64 k) { return std::string(directory) + "/" + std::to_string(k) + ".json"; };
  std::map<pid_t, u64> running;
  int failure = 0;
  u64 next = 0;
  bool passedOn = false;
  std::fflush(nullptr);
  while ((next < options.runs && failure == 0 && stopSignal == 0) || !running.empty()) {
    // The children have no alarm of their own: the timeout stops them.
    if (stopSignal == SIGALRM && !passedOn) {
      for (const auto& child : running) kill(child.first, SIGTERM);
      passedOn = true;
    }
    if (next < options.runs && failure == 0 && stopSignal == 0 && running.size() < options.jobs) {
      const pid_t pid = fork();
      if (pid == 0) runChild(options, first + next, reportOf(next));
      if (pid < 0) throw UsageError{"cannot start a run: " + std::string(std::strerror(errno))};
      running[pid] = next++;
      continue;
    }
    int status = 0;
    const pid_t done = waitpid(-1, &status, 0);
    if (done < 0) {
      if (errno == EINTR) continue;
      break;
    }
    running.erase(done);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      failure = WIFEXITED(status) ? WEXITSTATUS(status) : kExitBlockError;
  }
  TimingSummary total;
  total.system.runs = 0;
  std::string image = options.image;
  for (u64 k = 0; k < next && failure == 0 && stopSignal == 0; ++k) {
    std::string ignored;
    timingReport_merge(&total, readReport(reportOf(k), &ignored));
  }
  for (u64 k = 0; k < next; ++k) std::remove(reportOf(k).c_str());
  rmdir(directory);
  if (stopSignal != 0) return stoppedBySignal(options, 0.0);
  if (failure != 0) return failure;
  Options shown = options;
  shown.report = true;
  writeReport(shown, total, image);
  return finishedStatus(options, &total);
}

int mergeReports(const Options& options) {
  TimingSummary total;
  total.system.runs = 0;
  std::string image;
  for (const std::string& path : options.reports) {
    std::string name;
    timingReport_merge(&total, readReport(path, &name));
    if (image.empty()) image = name;
  }
  Options shown = options;
  shown.report = true;
  writeReport(shown, total, image);
  return finishedStatus(options, &total);
}

int printPorts(const Options& options) {
  std::vector<std::string> inputs, outputs;
  velk_parameters_list(options.image.c_str(), &inputs, &outputs);
  std::printf("inputs:%s%s\n", inputs.empty() ? "" : " ", join(inputs).c_str());
  std::printf("outputs:%s%s\n", outputs.empty() ? "" : " ", join(outputs).c_str());
  return 0;
}

// Why the image named on the command line cannot be read, or "" when it can
// be opened as a regular file (then its content is what the reader refused).
std::string describeUnreadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  struct stat info {};
  const bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
  std::fclose(file);
  if (regular) return "";
  return S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
}

// A load error names the file and the reason after the block's own message.
std::string describeBlockError(const MexError& error, const Options& options) {
  if (error.identifier != "VELK:parameter" || options.image.empty()) return error.message;
  const std::string reason = describeUnreadable(options.image);
  return error.message + " '" + options.image +
         "': " + (reason.empty() ? "not a readable VELK program image" : reason);
}

}  // namespace

int main(int argc, char** argv) {
  bufferStandardOutput();
  Options options;
  try {
    options = parseOptions(argc, argv);
    if (options.help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (options.version) {
      std::printf("QuIv VELK Simulator\nVersion %s\n", velk_versionString());
      return 0;
    }
    installStopHandlers();
    if (options.timeout > 0) armTimeout(options.timeout, options.runs == 0);
    if (options.mergeReports) return mergeReports(options);
    if (options.ports) return printPorts(options);
    return options.runs > 0 ? simulateRuns(options) : simulate(options);
  } catch (const UsageError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "velk_sim: %s\n%s", error.message.c_str(), kUsage);
    return kExitUsage;
  } catch (const MexError& error) {
    // Whatever the block printed before the error comes first.
    velk_interpreter_endOpenLine();
    std::fprintf(stderr, "velk_sim: error %s: %s\n", error.identifier.c_str(),
                 describeBlockError(error, options).c_str());
    return kExitBlockError;
  }
}
