// Compiles VELK source the way velk_parser does, with the system library of
// the source tree: with the binary itself (messages quote the file name
// relative to the directory the program lives in), or in this process with
// failures returning instead of ending the process, as a tool embedding the
// compiler runs it.
#pragma once
#include <filesystem>
#include <string>

#include "parser_env.h"
#include "run_program.h"

// Compiles <dir>/<name>.velk into <dir>/<name>.ast; the compiler's output and
// exit status.
ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name);

// Writes source to <dir>/<name>.velk first.
ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name,
                          const std::string& source);

// Parses a file and runs the program checks in this process, standard output
// captured. The compiler environment stays open for inspection until the
// object goes.
struct InProcessCompilation {
  explicit InProcessCompilation(const std::string& path);
  ~InProcessCompilation();
  InProcessCompilation(const InProcessCompilation&) = delete;
  InProcessCompilation& operator=(const InProcessCompilation&) = delete;

  ParserEnv* env;
  int parsed;        // 0 when the file parsed
  int checked = -1;  // 0 when the checks passed, -1 when not run
  int status;        // the status of the last failure, 0 if none
  std::string out;   // what the compiler printed
};
