// velk_sim: runs a compiled VELK program in the co-simulation block without
// MATLAB, the way the simulation engine's variable-step solver drives it:
// set-up (mdlInitializeSizes, mdlInitializeSampleTimes), then one hit at time
// 0 and one at every next hit time the block asks for while the time does not
// pass the stop time (mdlGetTimeOfNextVarHit, then mdlOutputs), and
// mdlTerminate at the end. Inputs come from the command line or a CSV file
// (zero-order hold); outputs can be recorded to a CSV file.
//
// Exit statuses: 0 success, 2 bad usage (message and usage on standard
// error), 3 an error raised by the block ("velk_sim: error <id>: <message>"),
// 128 + the signal number when SIGINT or SIGTERM stopped the run.
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/mex.h"
#include "host/sfun_host.h"
#include "random.h"
#include "velk_interpreter.h"
#include "velk_parameters.h"
#include "velk_version.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitBlockError = 3;
constexpr int kExitSignalBase = 128;

const char kUsage[] =
    "Usage: velk_sim [options] <image.ast>\n"
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
    "as \"velk_sim: error <identifier>: <message>\"; 128 + the signal number when\n"
    "a signal stopped the run (130 for SIGINT, 143 for SIGTERM).\n";

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

enum LongOnly { kOptInputs = 256, kOptPorts, kOptHelp, kOptSeed, kOptVersion };

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
      {nullptr, 0, nullptr, 0},
  };
  Options options;
  opterr = 0;  // our own messages, on our own terms
  int option;
  while ((option = getopt_long(argc, argv, ":t:i:o:q", longOptions, nullptr)) != -1) {
    if (option == '?' || option == ':') throw UsageError{describeBadOption(option, argv)};
    applyOption(&options, option, optarg);
  }
  if (options.help || options.version) return options;
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
int stoppedBySignal(double t) {
  velk_interpreter_endOpenLine();
  std::fprintf(stderr, "velk_sim: stopped by %s at time %s s\n", signalName(stopSignal),
               formatNumber(t).c_str());
  return kExitSignalBase + stopSignal;
}

void configureBlock(const Options& options) {
  VelkBlockHostSettings settings;
  if (options.seeded) seededGenerator = random_xoshiroSeeded(options.seed);
  settings.randomSource = options.seeded ? seededDraw : unseededDraw;
  settings.interrupt = &stopSignal;
  velk_interpreter_configure(settings);
}

int simulate(const Options& options) {
  std::vector<std::string> inputs, outputs;
  velk_parameters_list(options.image.c_str(), &inputs, &outputs);
  const InputSchedule schedule(options, inputs);
  OutputRecorder recorder(options.outputsCsv, outputs);
  mexHost_setPrintEnabled(!options.quiet);
  configureBlock(options);

  const SFunctionMethods& block = *velk_interpreter_methods();
  std::unique_ptr<SimStruct> S = sfunHost_create("velk_sim/velk_interpreter", {options.image});
  setUpBlock(S.get(), block);
  double t = 0.0;
  while (t <= options.stopTime && stopSignal == 0) {
    takeHit(S.get(), block, t, schedule.at(t));
    // A signal during the hit may have cut an activation short: the hit is
    // not recorded as completed.
    if (stopSignal != 0) break;
    recorder.record(t, S.get());
    const double next = sfunHost_getNextHit(S.get());
    // The engine refuses a hit that does not move time forward.
    if (!(next > t)) throw MexError{"velk_sim:nextHit", describeTimes(next, t)};
    t = next;
  }
  block.terminate(S.get());
  recorder.finish();
  return stopSignal != 0 ? stoppedBySignal(t) : 0;
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
    return options.ports ? printPorts(options) : simulate(options);
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
