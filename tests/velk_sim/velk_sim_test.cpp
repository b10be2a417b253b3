// velk_sim end to end: compiled programs run by the driver as a separate
// process, checking the console byte for byte, the CSV files, and the exit
// statuses a script sees.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "velk_version.h"

#include "compile_program.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;

struct SimRun {
  std::string out;
  std::string err;
  int status = -1;  // as a shell sees it, -1 when killed
};

// Runs program in directory with argv args, standard output through a pipe
// and standard error into a file (so neither can fill up and block). With a
// signal, it is sent once standard output contains signalAfter.
SimRun spawn(const std::string& program, const std::vector<std::string>& args,
             const fs::path& directory, const std::vector<std::string>& environment = {},
             int signal = 0, const std::string& signalAfter = "") {
  SimRun run;
  const fs::path errPath = directory / "stderr.txt";
  int fds[2];
  if (pipe(fds) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc == 0) {
    char buffer[4096];
    ssize_t n;
    bool signalled = signal == 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
      run.out.append(buffer, n);
      if (!signalled && run.out.find(signalAfter) != std::string::npos) {
        kill(pid, signal);
        signalled = true;
      }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.err = readFile(errPath);
  }
  close(fds[0]);
  return run;
}

// Counts, echoes its inputs and prints every 500 ms; divides by zero at the
// third activation (reported, the run goes on) and exits at the fifth.
const char kTickProgram[] =
    "var int32 : level_in = 0;\n"
    "var float32 : gain_in = 0.0;\n"
    "var uint32 : count_out = 0;\n"
    "var int32 : level_out = 0;\n"
    "var float32 : gain_out = 0.0;\n"
    "var uint8 : divisor = 0;\n"
    "\n"
    "processdef Tick() {\n"
    "    state Run {\n"
    "        count_out = count_out + 1;\n"
    "        level_out = level_in;\n"
    "        gain_out = gain_in;\n"
    "        IO.println(\"tick %u\", count_out);\n"
    "        if (count_out == 3) {\n"
    "            divisor = 10 / divisor;\n"
    "        }\n"
    "        if (count_out == 5) {\n"
    "            exit(4);\n"
    "        }\n"
    "    }\n"
    "}\n"
    "\n"
    "process Tick : tick[500 ms]();\n";

// Console of `velk_sim -t 1.2 tick.ast`: the initial assignments of set-up,
// then the hits at 0, 0.5 and 1 s.
const char kTickConsole[] =
    "[0.000000000000:ASSIGN] Assign level_in new value: 0\n"
    "[0.000000000000:ASSIGN] Assign gain_in new value: 0.000000\n"
    "[0.000000000000:ASSIGN] Assign count_out new value: 0\n"
    "[0.000000000000:ASSIGN] Assign level_out new value: 0\n"
    "[0.000000000000:ASSIGN] Assign gain_out new value: 0.000000\n"
    "[0.000000000000:ASSIGN] Assign divisor new value: 0\n"
    "OUT:SimulinkTime is 0.000000\n"
    "OUT:run until velk_time 1\n"
    "[0.000000000000:tick.ast:STARTING_TASK] 'tick'\n"
    "[0.000000000000:ASSIGN] Assign count_out new value: 1\n"
    "[0.000000000000:ASSIGN] Assign level_out new value: 0\n"
    "[0.000000000000:ASSIGN] Assign gain_out new value: 0.000000\n"
    "[0.000000000000:PRINTLN] tick 1\n"
    "[0.000000000000:tick.ast:TASK_FINISHED] 'tick'\n"
    "NEXT:velk next hit 0.500000\n"
    "NEXT:velk absolute next hit 0.500000\n"
    "NEXT:simulink time is 0.000000\n"
    "NEXT:Next hit time 0.500000\n"
    "OUT:SimulinkTime is 0.500000\n"
    "OUT:run until velk_time 500000000001\n"
    "[0.500000000000:tick.ast:STARTING_TASK] 'tick'\n"
    "[0.500000000000:ASSIGN] Assign count_out new value: 2\n"
    "[0.500000000000:ASSIGN] Assign level_out new value: 0\n"
    "[0.500000000000:ASSIGN] Assign gain_out new value: 0.000000\n"
    "[0.500000000000:PRINTLN] tick 2\n"
    "[0.500000000000:tick.ast:TASK_FINISHED] 'tick'\n"
    "NEXT:velk next hit 0.500000\n"
    "NEXT:velk absolute next hit 1.000000\n"
    "NEXT:simulink time is 0.500000\n"
    "NEXT:Next hit time 1.000000\n"
    "OUT:SimulinkTime is 1.000000\n"
    "OUT:run until velk_time 1000000000001\n"
    "[1.000000000000:tick.ast:STARTING_TASK] 'tick'\n"
    "[1.000000000000:ASSIGN] Assign count_out new value: 3\n"
    "[1.000000000000:ASSIGN] Assign level_out new value: 0\n"
    "[1.000000000000:ASSIGN] Assign gain_out new value: 0.000000\n"
    "[1.000000000000:PRINTLN] tick 3\n"
    "[1.000000000000:INVALID_OP] division by zero at line 15\n"
    "[1.000000000000:ASSIGN] Assign divisor new value: 0\n"
    "[1.000000000000:tick.ast:TASK_FINISHED] 'tick'\n"
    "NEXT:velk next hit 0.500000\n"
    "NEXT:velk absolute next hit 1.500000\n"
    "NEXT:simulink time is 1.000000\n"
    "NEXT:Next hit time 1.500000\n";

// Draws from every kind of random function at each activation.
const char kDiceProgram[] =
    "enum Face { ONE, TWO, THREE };\n"
    "var Face : face_out = Face.ONE;\n"
    "processdef Roll() {\n"
    "    state Run {\n"
    "        face_out = Face.choice_uniform();\n"
    "        IO.println(\"%u %d %b\", uint8.rand_uniform(1, 6), int64.rand_uniform(-9, 9),\n"
    "                   bool.rand_uniform());\n"
    "        IO.println(\"%f %f %f\", float64.rand_uniform(0.0, 1.0),\n"
    "                   float32.rand_gauss(0.0, 1.0), float32.rand_exponential(2.0));\n"
    "    }\n"
    "}\n"
    "process Roll : roll[1 ms]();\n";

// Counts its activations every millisecond, with a float64 output that
// shows the shortest form of the CSV numbers.
const char kTickerProgram[] =
    "var uint32 : count_out = 0;\n"
    "var float64 : step_out = 0.003;\n"
    "processdef Tick() {\n"
    "    state Run {\n"
    "        count_out = count_out + 1;\n"
    "        IO.println(\"tick %u\", count_out);\n"
    "    }\n"
    "}\n"
    "process Tick : tick[3 ms]();\n";

// An activation that never ends, printing without ever ending its line.
const char kSpinProgram[] =
    "processdef Spin() {\n"
    "    state Run {\n"
    "        while (true) {\n"
    "            IO.print(\".\");\n"
    "        }\n"
    "    }\n"
    "}\n"
    "process Spin : spin[1 ms]();\n";

// Every activation takes four loop turns (three bodies, one failing test).
const char kCountProgram[] =
    "var uint32 : total = 0;\n"
    "processdef Count() {\n"
    "    state Run {\n"
    "        var uint32 : i = 0;\n"
    "        for (i = 0; i < 3; i = i + 1) { total = total + 1; }\n"
    "        IO.println(\"total %u\", total);\n"
    "    }\n"
    "}\n"
    "process Count : count[1 ms]();\n";

// A recursion that never ends; every call changes a global, which the
// console shows.
const char kRecursionProgram[] =
    "var uint32 : depth = 0;\n"
    "down();\n"
    "down() {\n"
    "    depth = depth + 1;\n"
    "    down();\n"
    "}\n"
    "init() {\n"
    "    down();\n"
    "}\n";

// The lines of text that do not start with prefix.
std::string withoutLinesStarting(const std::string& text, const std::vector<std::string>& prefixes) {
  std::istringstream lines(text);
  std::string line, kept;
  while (std::getline(lines, line)) {
    bool drop = false;
    for (const std::string& prefix : prefixes) drop = drop || line.rfind(prefix, 0) == 0;
    if (!drop) kept += line + "\n";
  }
  return kept;
}

std::vector<std::vector<double>> readCsvRows(const fs::path& path, std::string* header) {
  std::ifstream file(path);
  std::getline(file, *header);
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(file, line)) {
    std::vector<double> row;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, ',')) row.push_back(std::strtod(field.c_str(), nullptr));
    rows.push_back(row);
  }
  return rows;
}

// One scratch directory with the compiled programs for the whole suite.
class VelkSim : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("velk_sim_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    compile("tick", kTickProgram);
    compile("quiet", "var uint8 : counter = 0;\n");
    compile("dice", kDiceProgram);
    compile("ticker", kTickerProgram);
    compile("spin", kSpinProgram);
    compile("count", kCountProgram);
    compile("recursion", kRecursionProgram);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static void compile(const std::string& name, const std::string& source) {
    const ProgramRun r = compileProgram(dir_, name, source);
    ASSERT_EQ(r.status, 0) << r.out;
  }

  static void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
  }

  static SimRun sim(std::vector<std::string> args, int signal = 0,
                    const std::string& signalAfter = "") {
    args.insert(args.begin(), "velk_sim");
    return spawn(VELK_SIM_BIN, args, dir_, {}, signal, signalAfter);
  }

  static fs::path dir_;
};

fs::path VelkSim::dir_;

TEST_F(VelkSim, ConsoleShowsSetUpAndEveryHitInOrder) {
  SimRun r = sim({"-t", "1.2", "tick.ast"});
  EXPECT_EQ(r.out, kTickConsole);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(VelkSim, QuietHidesOnlyTheBlockTraceLines) {
  SimRun r = sim({"--quiet", "--stop-time=1.2", "tick.ast"});
  EXPECT_EQ(r.out, withoutLinesStarting(kTickConsole, {"OUT:", "NEXT:"}));
  EXPECT_EQ(r.status, 0);
}

TEST_F(VelkSim, ProgramExitEndsTheRunWithStatus3) {
  // Default stop time 10 s; the fifth activation, at 2 s, calls exit(4).
  SimRun r = sim({"-q", "tick.ast"});
  EXPECT_EQ(r.err, "velk_sim: error VELK:interpreter: EXIT AT LINE 18\n");
  EXPECT_EQ(r.status, 3);
  const std::string last = "[2.000000000000:PRINTLN] tick 5\n";
  ASSERT_GE(r.out.size(), last.size());
  EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
}

TEST_F(VelkSim, CsvInputsAreHeldAndOutputsReadBackExactly) {
  write("in.csv", "time,gain_in,level_in\n0.25,0.1,-3\n1,2.5,7\n");
  SimRun r = sim({"-q", "-t", "1.5", "--inputs", "in.csv", "-o", "out.csv", "tick.ast"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string header;
  const auto rows = readCsvRows(dir_ / "out.csv", &header);
  EXPECT_EQ(header, "time,count_out,level_out,gain_out");
  // Hits at 0, 0.5, 1 and 1.5 s; 0 before the first row, a row counts from
  // its own time on. float32 ports carry float32 precision.
  const std::vector<std::vector<double>> expected = {
      {0.0, 1, 0, 0.0},
      {0.5, 2, -3, static_cast<double>(0.1f)},
      {1.0, 3, 7, 2.5},
      {1.5, 4, 7, 2.5},
  };
  EXPECT_EQ(rows, expected);
}

TEST_F(VelkSim, ConstantInputsAndDefaults) {
  SimRun r = sim({"-q", "-t", "0", "-i", "level_in=-12.7", "-o", "out.csv", "tick.ast"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string header;
  const auto rows = readCsvRows(dir_ / "out.csv", &header);
  const std::vector<std::vector<double>> expected = {{0.0, 1, -12, 0.0}};
  EXPECT_EQ(rows, expected);
}

TEST_F(VelkSim, PortsListsBothSidesInPortOrder) {
  SimRun r = sim({"--ports", "tick.ast"});
  EXPECT_EQ(r.out, "inputs: level_in, gain_in\noutputs: count_out, level_out, gain_out\n");
  EXPECT_EQ(r.status, 0);
  r = sim({"--ports", "quiet.ast"});
  EXPECT_EQ(r.out, "inputs:\noutputs:\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(VelkSim, ProgramWithoutPortsStillRuns) {
  SimRun r = sim({"-q", "-o", "out.csv", "quiet.ast"});
  EXPECT_EQ(r.out, "[0.000000000000:ASSIGN] Assign counter new value: 0\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(dir_ / "out.csv"), "time\n0\n");
}

TEST_F(VelkSim, HelpGoesToStandardOutput) {
  SimRun r = sim({"--help"});
  EXPECT_EQ(r.out.rfind("Usage: velk_sim [options] <image.ast>\n", 0), 0u);
  EXPECT_NE(r.out.find("--stop-time"), std::string::npos);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// Bad usage: nothing runs, the message and the usage go to standard error.
TEST_F(VelkSim, UsageErrorsExitWith2) {
  write("back.csv", "time,level_in\n1,1\n0.5,2\n");
  write("word.csv", "time,level_in\n0,x\n");
  write("short.csv", "time,level_in,gain_in\n0,1\n");
  write("notime.csv", "t,level_in\n0,1\n");
  write("unknown.csv", "time,level_in,speed_in\n0,1,2\n");
  write("blank.csv", "time,,level_in\n0,1,2\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "no image file given"},
      {{"tick.ast", "quiet.ast"}, "more than one image file given"},
      {{"-x", "tick.ast"}, "unknown option '-x'"},
      {{"--verbose", "tick.ast"}, "unknown option '--verbose'"},
      {{"tick.ast", "-t"}, "option '-t' needs a value"},
      {{"-qz", "tick.ast"}, "unknown option '-z'"},
      {{"--ports=yes", "tick.ast"}, "option '--ports' takes no value"},
      {{"-t", "soon", "tick.ast"}, "-t/--stop-time expects a number of seconds >= 0, got 'soon'"},
      {{"-t", "-1", "tick.ast"}, "-t/--stop-time expects a number of seconds >= 0, got '-1'"},
      {{"-i", "level_in", "tick.ast"}, "-i/--input expects NAME=VALUE, got 'level_in'"},
      {{"-i", "level_in=1x", "tick.ast"}, "-i/--input: '1x' is not a number"},
      {{"-i", "count_out=1", "-i", "a=2", "tick.ast"},
       "unknown input port(s): count_out, a (the image's inputs: level_in, gain_in)"},
      {{"-i", "a_in=1", "quiet.ast"}, "unknown input port(s): a_in (the image's inputs: none)"},
      {{"--inputs", "none.csv", "tick.ast"}, "cannot read inputs file 'none.csv'"},
      {{"--inputs", "back.csv", "tick.ast"}, "back.csv:3: time goes backwards"},
      {{"--inputs", "word.csv", "tick.ast"}, "word.csv:2: 'x' is not a number"},
      {{"--inputs", "short.csv", "tick.ast"}, "short.csv:2: expected 3 fields, found 2"},
      {{"--inputs", "notime.csv", "tick.ast"}, "notime.csv:1: the first column must be 'time'"},
      {{"--inputs", "blank.csv", "tick.ast"}, "blank.csv:1: empty column name"},
      {{"--inputs", "unknown.csv", "tick.ast"},
       "unknown input port(s): speed_in (the image's inputs: level_in, gain_in)"},
      {{"--inputs", "word.csv", "-i", "level_in=1", "tick.ast"},
       "word.csv:2: 'x' is not a number"},
      {{"-o", "no/such/dir/out.csv", "tick.ast"}, "cannot write outputs file 'no/such/dir/out.csv'"},
      {{"--max-steps", "0", "tick.ast"},
       "--max-steps expects a whole number from 1 to 18446744073709551615, got '0'"},
      {{"--timeout", "0", "tick.ast"}, "--timeout expects a number of seconds > 0, got '0'"},
      {{"--timeout", "nan", "tick.ast"}, "--timeout expects a number of seconds > 0, got 'nan'"},
  };
  for (const Case& c : cases) {
    SimRun r = sim(c.args);
    const std::string first = r.err.substr(0, r.err.find('\n') + 1);
    EXPECT_EQ(first, "velk_sim: " + c.message + "\n") << testing::PrintToString(c.args);
    EXPECT_NE(r.err.find("\nUsage: velk_sim"), std::string::npos);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 2) << testing::PrintToString(c.args);
  }
}

TEST_F(VelkSim, InputGivenTwiceIsAUsageError) {
  write("level.csv", "time,level_in\n0,1\n");
  SimRun r = sim({"--inputs", "level.csv", "-i", "level_in=2", "tick.ast"});
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
            "velk_sim: input 'level_in' given both with -i and in the inputs file");
  EXPECT_EQ(r.status, 2);
}

// The block's error stays, followed by the file and the reason; whatever the
// reader printed ends its own line.
TEST_F(VelkSim, ImageThatCannotBeLoadedExitsWith3NamingFileAndReason) {
  write("garbage.ast", "not an image\n");
  fs::create_directories(dir_ / "folder.ast");
  const struct {
    const char* image;
    const char* reason;
  } cases[] = {
      {"missing.ast", "No such file or directory"},
      {"folder.ast", "Is a directory"},
      {"garbage.ast", "not a readable VELK program image"},
  };
  for (const auto& c : cases) {
    SimRun r = sim({c.image});
    const std::string prefix = "velk_sim: error VELK:parameter: Error ";
    ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    const std::string suffix = std::string(" while loading '") + c.image + "': " + c.reason + "\n";
    EXPECT_EQ(r.err.substr(r.err.find(' ', prefix.size())), suffix) << r.err;
    EXPECT_TRUE(r.out.empty() || r.out.back() == '\n') << r.out;
    EXPECT_EQ(r.status, 3) << c.image;
  }
}

TEST_F(VelkSim, ExitAfterAnOpenLineStillReportsOnAFreshLine) {
  compile("open", "init() {\n    IO.print(\"partial\");\n    exit(1);\n}\n");
  SimRun r = sim({"-q", "open.ast"});
  EXPECT_EQ(r.out, "[0.000000000000:PRINTLN] partial\n");
  EXPECT_EQ(r.err, "velk_sim: error VELK:interpreter: EXIT AT LINE 3\n");
  EXPECT_EQ(r.status, 3);
}

// Standard output to a pipe is buffered across hits, yet with both streams
// on one pipe every line of standard error still lands where it was written:
// the note where the second activation's print draws its argument, the error
// after the last line printed.
TEST_F(VelkSim, StandardErrorKeepsItsPlaceInBufferedOutput) {
  compile("mix",
          "processdef Mix() {\n"
          "    static var uint32 : n = 0;\n"
          "    state Run {\n"
          "        n = n + 1;\n"
          "        IO.println(\"before %u\", n);\n"
          "        if (n == 2) {\n"
          "            IO.println(\"draw %u\", uint8.rand_uniform(1, 6));\n"
          "        }\n"
          "        IO.println(\"after %u\", n);\n"
          "        if (n == 300) {\n"
          "            exit(1);\n"
          "        }\n"
          "    }\n"
          "}\n"
          "process Mix : mix[1 ms]();\n");
  const SimRun apart = sim({"mix.ast"});
  ASSERT_EQ(apart.status, 3) << apart.err;
  const std::string note =
      "velk_sim: note: no --seed given, so every random draw returns the lowest value it can; "
      "give --seed N for reproducible random values\n";
  const std::string exitLine = "velk_sim: error VELK:interpreter: EXIT AT LINE 11\n";
  ASSERT_EQ(apart.err, note + exitLine);
  std::string expected = apart.out;
  const std::string drawLine = "[0.001000000000:PRINTLN] draw ";
  const size_t draw = expected.find(drawLine + "1\n");
  ASSERT_NE(draw, std::string::npos) << apart.out;
  expected.insert(draw + drawLine.size(), note);
  expected += exitLine;
  ASSERT_GT(expected.size(), 64u * 1024u);  // more than one buffer
  const std::string command = std::string("exec '") + VELK_SIM_BIN + "' mix.ast 2>&1";
  const SimRun merged = spawn("/bin/sh", {"sh", "-c", command}, dir_);
  EXPECT_EQ(merged.status, 3);
  EXPECT_EQ(merged.out, expected);
}

TEST_F(VelkSim, VersionNamesTheToolchainVersion) {
  SimRun r = sim({"--version"});
  // The version ends with the time of the build, which may differ by a
  // minute between this test and velk_sim: compare up to it.
  const std::string version = velk_versionString();
  const std::string expected =
      "QuIv VELK Simulator\nVersion " + version.substr(0, version.rfind('.'));
  EXPECT_EQ(r.out.substr(0, expected.size()), expected);
  EXPECT_EQ(r.out.find('\n', expected.size()), r.out.size() - 1);
  EXPECT_EQ(r.status, 0);
}

TEST_F(VelkSim, SameSeedSameRunByteForByte) {
  SimRun first = sim({"-q", "-t", "0.02", "--seed", "7", "-o", "seed7.csv", "dice.ast"});
  SimRun again = sim({"-q", "-t", "0.02", "--seed=7", "-o", "again.csv", "dice.ast"});
  SimRun other = sim({"-q", "-t", "0.02", "--seed", "8", "dice.ast"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.out, again.out);
  EXPECT_EQ(readFile(dir_ / "seed7.csv"), readFile(dir_ / "again.csv"));
  EXPECT_NE(first.out, other.out);
  // The draws are not stuck at their lowest values: over 21 activations some
  // die shows more than 1 and some enumerator other than the first comes up.
  EXPECT_NE(first.out.find("] 6 "), std::string::npos) << first.out;
  std::string header;
  const auto rows = readCsvRows(dir_ / "seed7.csv", &header);
  bool otherFace = false;
  for (const auto& row : rows) otherFace = otherFace || row[1] != 0.0;
  EXPECT_TRUE(otherFace);
}

// A runaway recursion stops at the same call in every run, wherever the
// system places the stack: a larger environment moves it.
TEST_F(VelkSim, RunawayRecursionStopsAtTheSameDepthInEveryRun) {
  const std::vector<std::string> args = {"velk_sim", "-t", "0", "recursion.ast"};
  const SimRun plain = spawn(VELK_SIM_BIN, args, dir_);
  const std::string padding(100000, 'x');  // one string may not pass 128 KiB
  const SimRun moved = spawn(VELK_SIM_BIN, args, dir_,
                             {"PAD1=" + padding, "PAD2=" + padding, "PAD3=" + padding});
  EXPECT_EQ(plain.status, 3);
  EXPECT_NE(plain.out.find("Call nesting too deep\n"), std::string::npos);
  EXPECT_NE(plain.out.find("Assign depth new value: 1000\n"), std::string::npos);
  EXPECT_EQ(moved.status, plain.status);
  EXPECT_TRUE(moved.out == plain.out) << "the runs stop at different depths";
}

TEST_F(VelkSim, WithoutSeedDrawsAreLowestAndOneNoteSaysSo) {
  SimRun r = sim({"-q", "-t", "0.002", "-o", "low.csv", "dice.ast"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "velk_sim: note: no --seed given, so every random draw returns the lowest value it "
            "can; give --seed N for reproducible random values\n");
  EXPECT_NE(r.out.find("[0.002000000000:PRINTLN] 1 -9 false\n"), std::string::npos) << r.out;
  EXPECT_EQ(readFile(dir_ / "low.csv"), "time,face_out\n0,0\n0.001,0\n0.002,0\n");
  // A program that draws nothing gets no note.
  EXPECT_EQ(sim({"-q", "tick.ast", "-t", "0.5"}).err, "");
}

TEST_F(VelkSim, BadSeedIsAUsageError) {
  for (const char* seed : {"-1", "x", "1.5", "18446744073709551616", ""}) {
    SimRun r = sim({"--seed", seed, "dice.ast"});
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              std::string("velk_sim: --seed expects a whole number from 0 to "
                          "18446744073709551615, got '") + seed + "'");
    EXPECT_EQ(r.status, 2) << seed;
  }
  EXPECT_EQ(sim({"-q", "-t", "0", "--seed", "18446744073709551615", "dice.ast"}).status, 0);
}

TEST_F(VelkSim, OutputsCsvWritesTheShortestExactNumbers) {
  SimRun r = sim({"-q", "-t", "0.01", "-o", "short.csv", "ticker.ast"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir_ / "short.csv"),
            "time,count_out,step_out\n0,1,0.003\n0.003,2,0.003\n0.006,3,0.003\n0.009,4,0.003\n");
}

TEST_F(VelkSim, InputsCsvMayStartWithAByteOrderMark) {
  write("bom.csv", "\xEF\xBB\xBFtime,level_in\n0,5\n");
  SimRun r = sim({"-q", "-t", "0", "--inputs", "bom.csv", "-o", "bom_out.csv", "tick.ast"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string header;
  const auto rows = readCsvRows(dir_ / "bom_out.csv", &header);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][2], 5.0);
}

// A signal ends the run between hits: every line complete, every recorded
// hit a whole row, status 128 + the signal.
TEST_F(VelkSim, SigtermStopsCleanlyBetweenHits) {
  SimRun r = sim({"-t", "1e6", "-o", "stopped.csv", "ticker.ast"}, SIGTERM, "tick 40\n");
  EXPECT_EQ(r.status, 128 + SIGTERM);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.err.rfind("velk_sim: stopped by SIGTERM at time ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - 3), " s\n") << r.err;
  // Row k is the hit at 3 (k - 1) ms, after the k-th tick.
  const std::string csv = readFile(dir_ / "stopped.csv");
  ASSERT_FALSE(csv.empty());
  EXPECT_EQ(csv.back(), '\n');
  std::string header;
  const auto rows = readCsvRows(dir_ / "stopped.csv", &header);
  ASSERT_GE(rows.size(), 39u);  // the 40th hit may be the one cut short
  for (size_t k = 0; k < rows.size(); ++k) {
    ASSERT_EQ(rows[k].size(), 3u) << "row " << k;
    EXPECT_EQ(rows[k][1], static_cast<double>(k + 1)) << "row " << k;
  }
  EXPECT_NE(r.out.find("tick " + std::to_string(rows.size()) + "\n"), std::string::npos);
}

TEST_F(VelkSim, SigintStopsAnActivationThatNeverEnds) {
  SimRun r = sim({"-q", "-o", "spin.csv", "spin.ast"}, SIGINT, "PRINTLN] .");
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_EQ(r.err, "velk_sim: stopped by SIGINT at time 0 s\n");
  // The open line is ended before the report.
  ASSERT_GE(r.out.size(), 2u);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), ".\n");
  // The hit the signal cut short is not a completed hit.
  EXPECT_EQ(readFile(dir_ / "spin.csv"), "time\n");
}

// The loop limit counts the turns of one hit: four per activation pass at
// --max-steps 4, the fourth activation's last turn is one too many at 3.
TEST_F(VelkSim, MaxStepsBoundsTheLoopTurnsOfEachHit) {
  SimRun full = sim({"-q", "--trace", "print", "-t", "0.003", "--max-steps", "4", "count.ast"});
  EXPECT_EQ(full.status, 0) << full.err;
  EXPECT_NE(full.out.find("total 12\n"), std::string::npos) << full.out;

  SimRun cut = sim({"-q", "--trace", "print", "-o", "count.csv", "--max-steps", "3", "count.ast"});
  EXPECT_EQ(cut.status, 5);
  EXPECT_EQ(cut.err, "velk_sim: step limit of 3 loop turns reached at time 0 s\n");
  EXPECT_EQ(cut.out, "");
  EXPECT_EQ(readFile(dir_ / "count.csv"), "time\n");

  SimRun spin = sim({"-q", "--trace", "print", "--max-steps", "5", "spin.ast"});
  EXPECT_EQ(spin.status, 5);
  EXPECT_EQ(spin.out, "[0.000000000000:PRINTLN] .....\n");
}

TEST_F(VelkSim, TimeoutEndsAnActivationThatNeverEnds) {
  SimRun r = sim({"-q", "--timeout", "0.2", "spin.ast"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, "velk_sim: timeout of 0.2 s reached at time 0 s\n");
  ASSERT_GE(r.out.size(), 2u);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), ".\n");
  // With --runs the children are stopped too and the parent reports once.
  SimRun runs = sim({"-q", "--timeout", "0.2", "--runs", "3", "spin.ast"});
  EXPECT_EQ(runs.status, 6);
  const std::string last = "velk_sim: timeout of 0.2 s reached\n";
  ASSERT_GE(runs.err.size(), last.size());
  EXPECT_EQ(runs.err.substr(runs.err.size() - last.size()), last) << runs.err;
}

}  // namespace

// Every bundled example (the tutorial's steps have their own test) compiles
// and runs for a few simulated seconds without an error.
TEST_F(VelkSim, EveryExampleRuns) {
  const fs::path root = fs::path(VELK_SOURCE_DIR) / "examples";
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const fs::path& source = entry.path();
    if (source.extension() != ".velk" || source.parent_path().filename() == "tutorial") continue;
    const std::string name = "example_" + source.stem().string();
    SimRun c = spawn(VELK_PARSER_BIN, {"velk_parser", "-q", source.string(), name + ".ast"}, dir_,
                     {std::string("VELK_PKG_PATH=") + VELK_SOURCE_DIR});
    ASSERT_EQ(c.status, 0) << source << "\n" << c.out;
    SimRun r = sim({"-q", "--seed", "1", "-t", "3", name + ".ast"});
    EXPECT_EQ(r.status, 0) << source << "\n" << r.err;
    EXPECT_EQ(r.err, "") << source;
    EXPECT_NE(r.out.find("STARTING_TASK"), std::string::npos) << source;
    ++count;
  }
  EXPECT_GE(count, 5);
}

// The scheduling example does what its comment says: under NPFP the senders
// due together run by priority, and the triggered receiver, of higher
// priority than the remaining senders, runs as soon as a frame is queued.
TEST_F(VelkSim, SchedulingExampleRunsByPriority) {
  const fs::path source = fs::path(VELK_SOURCE_DIR) / "examples/can_node/can_node.velk";
  SimRun c = spawn(VELK_PARSER_BIN, {"velk_parser", "-q", source.string(), "can.ast"}, dir_,
                   {std::string("VELK_PKG_PATH=") + VELK_SOURCE_DIR});
  ASSERT_EQ(c.status, 0) << c.out;
  SimRun r = sim({"-q", "-t", "0.009", "-o", "can.csv", "can.ast"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string starts;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(":STARTING_TASK] ");
    if (at == std::string::npos) continue;
    starts += line.substr(1, line.find(':') - 1) + " " + line.substr(at + 16) + "\n";
  }
  EXPECT_EQ(starts,
            "0.000000000000 'brakes'\n"
            "0.001000000000 'receiver'\n"
            "0.001200000000 'engine'\n"
            "0.003200000000 'receiver'\n"
            "0.003400000000 'diagnostics'\n"
            "0.006400000000 'receiver'\n");
  EXPECT_NE(readFile(dir_ / "can.csv").find("\n0.0064,3,2015\n"), std::string::npos)
      << readFile(dir_ / "can.csv");
}
