// Command line of the compiler: the program's own option scanner, the usage
// text, and the scan of velk_parser's options into a ParserCommandLine.
//
// The scanner is deliberately not the C library's getopt: its messages and its
// argument handling are part of the compiler's interface (no argument
// reordering, abbreviations resolved in table order, messages on standard
// output). Its state lives in an OptionScanner owned by the caller, so the
// scanner can be run any number of times in one process. The names below
// avoid those of <getopt.h> (whose no_argument... are macros) and are C++
// overloads, so both can coexist in one program.
#pragma once
#include <string>
#include <vector>

#include "parser_env.h"
#include "program.h"

enum VelkOptionArgument { kNoArgument = 0, kRequiredArgument = 1, kOptionalArgument = 2 };

// One long option. A table of them ends with a {nullptr, 0, nullptr, 0} entry.
struct velk_option {
  const char* name;  // without the leading dashes
  int has_arg;       // a VelkOptionArgument
  int* flag;         // when non-null, receives val and the scanner returns 0
  int val;           // returned (or stored in *flag) when the option is found
};

struct OptionScanner {
  int optind = 1;                // next argument to scan
  const char* optarg = nullptr;  // argument of the option just returned
  int optopt = 0;                // offending letter (or val) after a '?'

 private:
  // Next letter of a short-option cluster being scanned (null between
  // arguments), so that -qw returns 'q' then 'w'.
  const char* cluster_ = nullptr;
  friend int getopt_long(OptionScanner& s, int argc, char* const argv[], const char* shortopts,
                         const velk_option* longopts, int* longindex);
};

// Returns the next option: its letter or val (0 when it set a flag), '?' for
// an illegal option or a missing argument (after printing the message on
// standard output), -1 when the options end. In shortopts a letter followed
// by ':' takes an argument, by "::" an optional argument attached to it.
int getopt_long(OptionScanner& s, int argc, char* const argv[], const char* shortopts,
                const velk_option* longopts, int* longindex);

// Prints the compiler's usage text on standard output.
void parser_usage(const char* argv0);

constexpr const char* kDefaultOutputFile = "out.ast";

// What the compiler's command line asks for. Applying it (include path,
// warningsAsErrors, verbose) is the caller's business, so that scanning has no
// effect on process-wide state.
struct ParserCommandLine {
  std::vector<std::string> includes;  // -I values in command-line order
  u32 memory = kDefaultAstCapacity;   // AST capacity
  bool quiet = false;                 // -q
  bool werror = false;                // -w / --Werror
  const char* sourceFile = nullptr;
  const char* outputFile = kDefaultOutputFile;
};

// Scans argv. Returns -1 when compilation should go on, or else the exit
// code, after printing what the situation requires.
int parser_scanCommandLine(int argc, char** argv, ParserCommandLine& out);
