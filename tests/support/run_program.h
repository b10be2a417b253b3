// Runs a program with a chosen argv[0], environment and working directory, and
// collects its standard output and exit status (for command-line tests).
#pragma once
#include <filesystem>
#include <string>
#include <vector>

struct ProgramRun {
  std::string out;
  int status = -1;  // exit status as the shell sees it (low 8 bits), -1 if killed
};

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args,
                      const std::vector<std::string>& environment = {},
                      const std::string& workingDirectory = "");

// The whole content of a file, empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
