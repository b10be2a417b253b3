// The diagnostics corpus (tests/programs/errors) compiled in this process, the
// way a tool embedding the compiler runs it: every failure returns to the
// caller instead of ending the process, and the first messages and the status
// are the ones the command-line compiler gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "compile_program.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(VELK_SOURCE_DIR) / "tests/programs";

std::vector<std::string> corpusPrograms() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kCorpus / "errors")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".velk" && name.find("_inc.velk") == std::string::npos) {
      names.push_back(entry.path().stem().string());
    }
  }
  return names;
}

class ErrorsCorpus : public testing::TestWithParam<std::string> {};

TEST_P(ErrorsCorpus, InProcessCompilationReportsWhatTheCompilerPrints) {
  const std::string expected = readFile(kCorpus / "errors" / (GetParam() + ".expected"));
  const size_t last = expected.rfind("[exit status ");
  ASSERT_NE(last, std::string::npos);
  const std::string messages = expected.substr(0, last);
  const int exitStatus = std::stoi(expected.substr(last + 13));

  // Messages name the program relatively to the corpus, as it was compiled.
  const fs::path before = fs::current_path();
  fs::current_path(kCorpus);
  InProcessCompilation c("errors/" + GetParam() + ".velk");
  fs::current_path(before);

  if (exitStatus == 0) {
    EXPECT_EQ(c.parsed, 0);
    EXPECT_EQ(c.checked, 0);
    EXPECT_EQ(c.out, messages);
  } else {
    // Compilation goes on after the first failure: what follows may add
    // messages, the first ones are the same.
    EXPECT_EQ(c.out.substr(0, messages.size()), messages);
    EXPECT_NE(c.status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, ErrorsCorpus, testing::ValuesIn(corpusPrograms()),
                         [](const auto& info) { return info.param; });

}  // namespace
