// velk_sim's command-line and inputs-file parsing, called in-process: the
// driver's own source is compiled here with its main renamed, so the target
// exercises exactly the code velk_sim runs, without a subprocess.
#define main velk_sim_main
#include "velk_sim.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main

#include <cstdint>

#include "harness.h"

int velkFuzz_sim(const uint8_t* data, size_t size) {
  velkfuzz::setUp();
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Arguments, one per line, up to a line "%%"; the rest is the inputs file.
  const size_t split = text.find("\n%%\n");
  const std::string argumentText = text.substr(0, split);
  std::vector<std::string> arguments{"velk_sim"};
  size_t start = 0;
  for (;;) {
    const size_t end = argumentText.find('\n', start);
    arguments.push_back(argumentText.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  optind = 0;  // a full rescan, as for a fresh process
  Options options;
  try {
    options = parseOptions(static_cast<int>(arguments.size()), argv.data());
  } catch (const UsageError&) {
  }
  if (split == std::string::npos) return 0;
  const std::string csvPath = velkfuzz::scratchPath("inputs.csv");
  const std::string csv = text.substr(split + 4);
  if (!velkfuzz::writeFile(csvPath, reinterpret_cast<const uint8_t*>(csv.data()), csv.size()))
    return 0;
  options.inputsCsv = csvPath;
  try {
    const InputSchedule schedule(options, {"a_in", "b_in", "level_in"});
    for (double t : {0.0, 0.5, 1.0, 1e300}) schedule.at(t);
  } catch (const UsageError&) {
  }
  return 0;
}
