#include "parser_options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "velk_version.h"

namespace {

// An argv array that owns its strings; argv[argc] is null as in main.
class Argv {
 public:
  Argv(std::initializer_list<const char*> args) : storage_(args.begin(), args.end()) {
    for (std::string& arg : storage_) pointers_.push_back(arg.data());
    pointers_.push_back(nullptr);
  }
  Argv(const Argv&) = delete;  // the pointers refer to this object's strings
  Argv& operator=(const Argv&) = delete;
  int argc() const { return static_cast<int>(storage_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

std::string expectedUsage(const std::string& argv0) {
  return std::string("QuIv VELK Parser\n") + "Version " + velk_versionString() + "\n" +
         "Usage:\n" + "    " + argv0 + " [<options>] <source file> [<output file>]\n\n" +
         "            --Werror            Make all warnings into errors\n"
         "        -c  --c_ast             Generate C code AST instead of standard format\n"
         "        -I  --include <path>    Specify include path (separated with semi-colon ';')\n"
         "        -m  --memory <size>     Specify maximum model size (default 1000000)\n"
         "        -q  --quiet             Quiet parsing if no error.\n"
         "\n"
         "        if <output file> is not specified output is in out.ast\n"
         "\n";
}

// One run of parser_scanCommandLine; keeps the arguments alive because the
// result points into them.
struct Scan {
  explicit Scan(std::initializer_list<const char*> list) : args(list) {
    testing::internal::CaptureStdout();
    code = parser_scanCommandLine(args.argc(), args.argv(), line);
    output = testing::internal::GetCapturedStdout();
  }
  Argv args;
  int code;
  std::string output;
  ParserCommandLine line;
};

TEST(ParserUsage, PrintsTheWholeTextWithProgramNameAndVersion) {
  testing::internal::CaptureStdout();
  parser_usage("velk_parser");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expectedUsage("velk_parser"));
}

// Command lines that go on to compilation print nothing.
struct AcceptedCase {
  std::initializer_list<const char*> args;
  std::vector<std::string> includes;
  u32 memory;
  bool quiet;
  bool werror;
  const char* source;
  const char* output;
};

TEST(ParserOptions, AcceptedCommandLines) {
  const AcceptedCase cases[] = {
      {{"p", "f.velk"}, {}, 1000000, false, false, "f.velk", "out.ast"},
      {{"p", "-q", "f"}, {}, 1000000, true, false, "f", "out.ast"},
      {{"p", "-qw", "f"}, {}, 1000000, true, true, "f", "out.ast"},
      {{"p", "-w", "--quiet", "f"}, {}, 1000000, true, true, "f", "out.ast"},
      {{"p", "--Werror", "--W", "f"}, {}, 1000000, false, true, "f", "out.ast"},
      {{"p", "--quiet=yes", "f"}, {}, 1000000, true, false, "f", "out.ast"},
      {{"p", "-Ia;b", "-I", "c", "f"}, {"a;b", "c"}, 1000000, false, false, "f", "out.ast"},
      {{"p", "--include=x", "--inc", "y", "--i=z", "f"}, {"x", "y", "z"}, 1000000, false, false,
       "f", "out.ast"},
      {{"p", "-qIinc", "f"}, {"inc"}, 1000000, true, false, "f", "out.ast"},
      {{"p", "-qI", "inc", "f"}, {"inc"}, 1000000, true, false, "f", "out.ast"},
      {{"p", "-I", "-q", "f"}, {"-q"}, 1000000, false, false, "f", "out.ast"},
      {{"p", "-m500", "f"}, {}, 500, false, false, "f", "out.ast"},
      {{"p", "-m", "0", "f"}, {}, 0, false, false, "f", "out.ast"},
      {{"p", "--mem=500", "f"}, {}, 500, false, false, "f", "out.ast"},
      {{"p", "--m", "42", "f"}, {}, 42, false, false, "f", "out.ast"},
      {{"p", "--memory", "4294967295", "f"}, {}, 4294967295u, false, false, "f", "out.ast"},
      // Scanning stops at the first non-option, at "--", and at a lone "-".
      {{"p", "f.velk", "-q"}, {}, 1000000, false, false, "f.velk", "-q"},
      {{"p", "--", "-q"}, {}, 1000000, false, false, "-q", "out.ast"},
      {{"p", "-", "-q"}, {}, 1000000, false, false, "-", "-q"},
      {{"p", "src", "out", "ignored"}, {}, 1000000, false, false, "src", "out"},
  };
  for (const AcceptedCase& c : cases) {
    const Scan r(c.args);
    SCOPED_TRACE(*(c.args.begin() + 1));
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.line.includes, c.includes);
    EXPECT_EQ(r.line.memory, c.memory);
    EXPECT_EQ(r.line.quiet, c.quiet);
    EXPECT_EQ(r.line.werror, c.werror);
    ASSERT_NE(r.line.sourceFile, nullptr);
    EXPECT_STREQ(r.line.sourceFile, c.source);
    EXPECT_STREQ(r.line.outputFile, c.output);
  }
}

// Command lines that end the program: exit code and the exact output.
struct RejectedCase {
  std::initializer_list<const char*> args;
  int code;
  std::string output;
};

TEST(ParserOptions, RejectedCommandLines) {
  const std::string usage = expectedUsage("p");
  const std::string unreadable = "error while reading -m/--memory option parameter\n";
  const std::string notInteger = "-m/--memory option expects integer parameter\n";
  const RejectedCase cases[] = {
      {{"p", "--help", "f"}, 0, usage},
      {{"p", "--version"}, 0, usage},
      {{"p", "--h"}, 0, usage},
      {{"p", "--v"}, 0, usage},
      {{"p"}, 1, usage},
      {{"p", "-q"}, 1, usage},
      {{"p", "--"}, 1, usage},
      // Scanner messages.
      {{"p", "-h", "f"}, 1, "p: illegal option -- h\n"},
      {{"p", "-qv", "f"}, 1, "p: illegal option -- v\n"},
      {{"p", "-c", "f"}, 1, "p: illegal option -- c\n"},
      {{"p", "--c_ast", "f"}, 1, "p: illegal option -- c_ast\n"},
      {{"p", "--bogus=3", "f"}, 1, "p: illegal option -- bogus\n"},
      {{"p", "-m"}, 1, "p: option requires an argument -- m\n"},
      {{"p", "-qI"}, 1, "p: option requires an argument -- I\n"},
      {{"p", "--memory"}, 1, "p: option requires an argument -- memory\n"},
      {{"p", "--mem"}, 1, "p: option requires an argument -- mem\n"},
      // Letters the scanner knows but the compiler does not.
      {{"p", "-l", "f"}, 1, "Parameter: unknown option \"-l\"\n" + usage},
      {{"p", "-ql", "f"}, 1, "Parameter: unknown option \"-l\"\n" + usage},
      {{"p", "-s", "x", "f"}, 1, "Parameter: unknown option \"-s\"\n" + usage},
      {{"p", "-sx", "f"}, 1, "Parameter: unknown option \"-s\"\n" + usage},
      // Memory values.
      {{"p", "--memory=", "f"}, 1, unreadable},
      {{"p", "-m", "", "f"}, 1, unreadable},
      {{"p", "-m", " \t", "f"}, 1, unreadable},
      {{"p", "-mabc", "f"}, 1, notInteger},
      {{"p", "-m", "-5", "f"}, 1, notInteger},
      {{"p", "-m", "+5", "f"}, 1, notInteger},
      {{"p", "--memory=500abc", "f"}, 1, notInteger},
      {{"p", "--memory", "4294967296", "f"}, 1, notInteger},
      {{"p", "--memory", "99999999999999999999999", "f"}, 1, notInteger},
      {{"p", "-m", "1.5", "f"}, 1, notInteger},
  };
  for (const RejectedCase& c : cases) {
    const Scan r(c.args);
    SCOPED_TRACE(c.args.size() > 1 ? *(c.args.begin() + 1) : "(none)");
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.output, c.output);
  }
}

// The scanner itself, with tables the compiler does not use.
const velk_option kAmbiguous[] = {
    {"alpha", kNoArgument, nullptr, 'a'},
    {"alpine", kNoArgument, nullptr, 'p'},
    {"al", kNoArgument, nullptr, 'l'},
    {"opt", kOptionalArgument, nullptr, 'o'},
    {nullptr, 0, nullptr, 0},
};

TEST(OptionScanner, AbbreviationTakesFirstEntryButExactNameWins) {
  Argv args{"p", "--alp", "--al", "--alpi", "--opt", "--opt=v", "x"};
  OptionScanner s;
  int index = -1;
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", kAmbiguous, &index), 'a');
  EXPECT_EQ(index, 0);
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", kAmbiguous, &index), 'l');
  EXPECT_EQ(index, 2);
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", kAmbiguous, &index), 'p');
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", kAmbiguous, &index), 'o');
  EXPECT_EQ(s.optarg, nullptr);  // optional arguments are never taken from the next argument
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", kAmbiguous, &index), 'o');
  EXPECT_STREQ(s.optarg, "v");
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", kAmbiguous, &index), -1);
  EXPECT_EQ(s.optind, 6);
}

TEST(OptionScanner, FlagEntryStoresValueAndReturnsZero) {
  int flag = 0;
  const velk_option table[] = {{"set", kNoArgument, &flag, 7}, {nullptr, 0, nullptr, 0}};
  Argv args{"p", "--set"};
  OptionScanner s;
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", table, nullptr), 0);
  EXPECT_EQ(flag, 7);
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), "", table, nullptr), -1);
}

TEST(OptionScanner, ClusterPositionAndOptindAcrossArguments) {
  Argv args{"p", "-ab", "-cval", "-c", "next", "-:", "rest"};
  OptionScanner s;
  const char* opts = "abc:";
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), opts, nullptr, nullptr), 'a');
  EXPECT_EQ(s.optind, 1);  // still inside the cluster
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), opts, nullptr, nullptr), 'b');
  EXPECT_EQ(s.optind, 2);
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), opts, nullptr, nullptr), 'c');
  EXPECT_STREQ(s.optarg, "val");
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), opts, nullptr, nullptr), 'c');
  EXPECT_STREQ(s.optarg, "next");
  EXPECT_EQ(s.optind, 5);
  // ':' marks arguments in the option string; it is never an option letter.
  testing::internal::CaptureStdout();
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), opts, nullptr, nullptr), '?');
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "p: illegal option -- :\n");
  EXPECT_EQ(s.optopt, ':');
  EXPECT_EQ(getopt_long(s, args.argc(), args.argv(), opts, nullptr, nullptr), -1);
  EXPECT_EQ(s.optind, 6);
}

TEST(OptionScanner, SurvivesDegenerateArgumentVectors) {
  char* none[] = {nullptr};
  OptionScanner s;
  EXPECT_EQ(getopt_long(s, 0, none, "q", nullptr, nullptr), -1);
  ParserCommandLine line;
  testing::internal::CaptureStdout();
  EXPECT_EQ(parser_scanCommandLine(0, none, line), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expectedUsage(""));
}

}  // namespace
