// The compiler's command line, run as a separate process: messages, usage and
// exit statuses as a shell script would see them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "run_program.h"
#include "velk_version.h"

namespace {

namespace fs = std::filesystem;

const std::string kRoot = VELK_SOURCE_DIR;

std::string usage() {
  return std::string("QuIv VELK Parser\nVersion ") + velk_versionString() +
         "\nUsage:\n    velk_parser [<options>] <source file> [<output file>]\n\n"
         "            --Werror            Make all warnings into errors\n"
         "        -c  --c_ast             Generate C code AST instead of standard format\n"
         "        -I  --include <path>    Specify include path (separated with semi-colon ';')\n"
         "        -m  --memory <size>     Specify maximum model size (default 1000000)\n"
         "        -q  --quiet             Quiet parsing if no error.\n"
         "\n        if <output file> is not specified output is in out.ast\n\n";
}

// Runs velk_parser as "velk_parser" in a scratch directory, with VELK_PKG_PATH
// set only when pkgPath is given.
class Cli : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velk_cli_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "model.velk") << "var uint8 : x_out = 1;\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  ProgramRun run(std::vector<std::string> args, const std::string& pkgPath = "") {
    args.insert(args.begin(), "velk_parser");
    std::vector<std::string> environment;
    if (!pkgPath.empty()) environment.push_back("VELK_PKG_PATH=" + pkgPath);
    return runProgram(VELK_PARSER_BIN, args, environment, dir_.string());
  }

  fs::path dir_;
};

TEST_F(Cli, HelpAndVersionPrintTheUsageAndSucceed) {
  for (const char* option : {"--help", "--version", "--he", "--vers"}) {
    ProgramRun r = run({option});
    EXPECT_EQ(r.out, usage()) << option;
    EXPECT_EQ(r.status, 0) << option;
  }
}

TEST_F(Cli, NoSourceFilePrintsTheUsageAndFails) {
  ProgramRun r = run({"-q"});
  EXPECT_EQ(r.out, usage());
  EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, ScannerAndDriverMessages) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"-h"}, "velk_parser: illegal option -- h\n"},
      {{"-c", "model.velk"}, "velk_parser: illegal option -- c\n"},
      {{"--c_ast", "model.velk"}, "velk_parser: illegal option -- c_ast\n"},
      {{"-m"}, "velk_parser: option requires an argument -- m\n"},
      {{"--include"}, "velk_parser: option requires an argument -- include\n"},
      {{"--memory=", "model.velk"}, "error while reading -m/--memory option parameter\n"},
      {{"-m", "abc", "model.velk"}, "-m/--memory option expects integer parameter\n"},
      {{"-l", "model.velk"}, "Parameter: unknown option \"-l\"\n" + usage()},
      {{"-s", "x", "model.velk"}, "Parameter: unknown option \"-s\"\n" + usage()},
  };
  for (const Case& c : cases) {
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.status, 1) << c.args[0];
  }
}

TEST_F(Cli, MissingSystemLibraryIsReported) {
  ProgramRun r = run({"model.velk"});
  EXPECT_EQ(r.out.rfind("Missing VELK system lib: use -I<path_to_pkg_folder> option or set "
                        "VELK_PKG_PATH shell variable to <pkg_folder_location>\nParse error ! ",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, SystemLibraryIsFoundThroughIncludeOptionsThenThePackagePath) {
  // Neither "a" nor "b" holds the library; the package path does.
  ProgramRun r = run({"-I", "a;b", "--inc=c", "missing.velk"}, kRoot);
  EXPECT_EQ(r.out, "Parse error ! No such file or directory\n");
  EXPECT_EQ(r.status, 1);
  r = run({"-I" + kRoot, "missing.velk"});
  EXPECT_EQ(r.out, "Parse error ! No such file or directory\n");
}

// A directory is an unreadable source like any other, not a scanner failure.
TEST_F(Cli, DirectoryAsSourceIsAParseError) {
  fs::create_directories(dir_ / "models");
  for (const std::string source : {"models", "."}) {
    ProgramRun r = run({"-q", source}, kRoot);
    EXPECT_EQ(r.out, "Parse error ! Is a directory\n") << source;
    EXPECT_EQ(r.status, 1) << source;
  }
  EXPECT_FALSE(fs::exists(dir_ / "out.ast"));
}

TEST_F(Cli, QuietCompilationPrintsNothingAndWritesTheDefaultOutput) {
  ProgramRun r = run({"-q", "model.velk"}, kRoot);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "out.ast"));
}

TEST_F(Cli, VerboseCompilationNamesTheOutputAndIgnoresAThirdArgument) {
  ProgramRun r = run({"model.velk", "m.ast", "ignored"}, kRoot);
  EXPECT_EQ(r.out, "Parse success !\nAST generated in file \"m.ast\"\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "m.ast"));
  EXPECT_FALSE(fs::exists(dir_ / "ignored"));
}

TEST_F(Cli, UnwritableOutputIsAStorageErrorEvenWhenQuiet) {
  ProgramRun r = run({"-q", "model.velk", "missing/dir/out.ast"}, kRoot);
  EXPECT_EQ(r.out,
            "[ERROR] can not create output code file! No such file or directory\n"
            "Storage error! No such file or directory\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, AnOptionAfterTheSourceFileIsTheOutputName) {
  ProgramRun r = run({"-q", "model.velk", "-w"}, kRoot);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "-w"));
}

TEST_F(Cli, TooSmallTreeEndsWithStatus666) {
  ProgramRun r = run({"--mem=1", "model.velk"}, kRoot);
  EXPECT_EQ(r.out, "Error: Memory model too small enlarge using -m option\n");
  EXPECT_EQ(r.status, 666 & 0xFF);
}

}  // namespace

namespace {

// Every bundled example compiles cleanly (the program corpus has its own
// runner, which also checks what each program prints).
TEST(Examples, EveryBundledProgramCompiles) {
  std::vector<fs::path> programs;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(kRoot) / "examples")) {
    if (entry.path().extension() == ".velk") programs.push_back(entry.path());
  }
  ASSERT_FALSE(programs.empty());
  fs::path output = fs::temp_directory_path() / ("velk_example_" + std::to_string(getpid()) + ".ast");
  for (const fs::path& program : programs) {
    ProgramRun r = runProgram(VELK_PARSER_BIN, {"velk_parser", "-q", program.string(), output.string()},
                              {"VELK_PKG_PATH=" + kRoot});
    EXPECT_EQ(r.status, 0) << program << "\n" << r.out;
    EXPECT_EQ(r.out, "") << program;
  }
  fs::remove(output);
}

}  // namespace
