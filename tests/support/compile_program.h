// Compiles VELK source with the velk_parser binary, the way a user does: the
// system library comes from the source tree, messages quote the file name
// relative to the directory the program lives in.
#pragma once
#include <filesystem>
#include <string>

#include "run_program.h"

// Compiles <dir>/<name>.velk into <dir>/<name>.ast; the compiler's output and
// exit status.
ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name);

// Writes source to <dir>/<name>.velk first.
ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name,
                          const std::string& source);
