#include "compile_program.h"

#include <fstream>

ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name) {
  return runProgram(VELK_PARSER_BIN, {"velk_parser", "-q", name + ".velk", name + ".ast"},
                    {std::string("VELK_PKG_PATH=") + VELK_SOURCE_DIR}, dir.string());
}

ProgramRun compileProgram(const std::filesystem::path& dir, const std::string& name,
                          const std::string& source) {
  std::ofstream(dir / (name + ".velk")) << source;
  return compileProgram(dir, name);
}
