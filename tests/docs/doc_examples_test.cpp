// The user documentation checked against the toolchain: every VELK code block
// of the language guide and the tutorial compiles (and runs, where the text
// shows what it prints), every tutorial step prints what its .expected file
// says, and the manual page of velk_sim lists every option the program knows.
//
// Marking, in the info string of a fenced block:
//   ```velk                 a complete program; it compiles without a message
//   ```velk fragment        statements (local declarations first) of a state
//                           body; compiled inside a process definition
//   ```velk run=S           compiled, then run with `velk_sim -q -t S`
//   ```velk status=N        compilation ends with exit status N
//   ```velk file=PATH       the block is the file PATH (relative to the
//                           source tree), run as a tutorial step (below);
//                           an output block after it is the step's console
//   ```output               what the block before prints: the compiler's
//                           messages, or the run's console when it runs
// Tutorial steps (examples/tutorial/*.velk) carry their velk_sim arguments in
// a first-line comment "/* velk_sim: ARGS */"; their console is NAME.expected,
// and an outputs file named by -o is compared with NAME.expected.csv.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "run_program.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = VELK_SOURCE_DIR;

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// One fenced block of a Markdown file.
struct Block {
  std::string language;
  std::map<std::string, std::string> attributes;  // word or word=value
  std::string text;
  size_t line = 0;  // line of the opening fence
};

std::map<std::string, std::string> parseAttributes(std::istringstream& words) {
  std::map<std::string, std::string> attributes;
  std::string word;
  while (words >> word) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos) {
      attributes[word] = "";
    } else {
      attributes[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
  return attributes;
}

std::vector<Block> readBlocks(const fs::path& markdown) {
  std::vector<Block> blocks;
  std::istringstream input(readFile(markdown));
  std::string line;
  size_t number = 0;
  std::optional<Block> open;
  while (std::getline(input, line)) {
    ++number;
    if (line.rfind("```", 0) != 0) {
      if (open) open->text += line + "\n";
      continue;
    }
    if (open) {
      blocks.push_back(*open);
      open.reset();
      continue;
    }
    std::istringstream words(line.substr(3));
    open.emplace();
    words >> open->language;
    open->attributes = parseAttributes(words);
    open->line = number;
  }
  EXPECT_FALSE(open.has_value()) << markdown << ": a code block is not closed";
  return blocks;
}

// A VELK block with the output block that follows it, if any.
struct Example {
  std::string document;
  Block code;
  std::optional<Block> output;
  std::string name() const {
    return fs::path(document).stem().string() + "_line_" + std::to_string(code.line);
  }
};

// Failure messages name the block by its place in the document.
void PrintTo(const Example& example, std::ostream* os) {
  *os << example.document << ":" << example.code.line;
}

std::vector<Example> collectExamples() {
  std::vector<Example> examples;
  for (const char* document : {"docs/language.md", "docs/tutorial.md"}) {
    const std::vector<Block> blocks = readBlocks(kRoot / document);
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (blocks[i].language != "velk") continue;
      Example example{document, blocks[i], std::nullopt};
      if (i + 1 < blocks.size() && blocks[i + 1].language == "output") {
        example.output = blocks[i + 1];
      }
      examples.push_back(example);
    }
  }
  return examples;
}

// A scratch directory per test, removed afterwards.
class Scratch {
 public:
  explicit Scratch(const std::string& name)
      : path_(fs::temp_directory_path() /
              ("velk_docs_" + std::to_string(getpid()) + "_" + name)) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Scratch() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Runs a shell command line in a directory with the source tree as the
// package path; standard error follows standard output.
ProgramRun shell(const std::string& command, const fs::path& directory) {
  return runProgram("/bin/sh", {"sh", "-c", command + " 2>&1"},
                    {"VELK_PKG_PATH=" + kRoot.string(), "PATH=/usr/bin:/bin"},
                    directory.string());
}

std::string compileCommand(const std::string& source, const std::string& image) {
  return std::string("'") + VELK_PARSER_BIN + "' -q " + source + " " + image;
}

std::string simCommand(const std::string& arguments, const std::string& image) {
  return std::string("'") + VELK_SIM_BIN + "' " + arguments + " " + image;
}

// A statement fragment becomes the body of the only state of a process, so
// that it may use self and the process's view of time.
std::string programText(const Block& code) {
  if (!code.attributes.count("fragment")) return code.text;
  return "processdef Doc_Fragment() {\n  state Doc_State {\n" + code.text + "  }\n}\n";
}

class DocExample : public testing::TestWithParam<Example> {};

TEST_P(DocExample, CompilesAndPrintsWhatTheTextShows) {
  const Example& example = GetParam();
  const Block& code = example.code;
  SCOPED_TRACE(example.document + ":" + std::to_string(code.line));
  if (code.attributes.count("file")) {
    const fs::path file = kRoot / code.attributes.at("file");
    EXPECT_EQ(code.text, readFile(file)) << "the block differs from " << file;
    if (example.output) {
      fs::path expected = file;
      EXPECT_EQ(example.output->text, readFile(expected.replace_extension(".expected")));
    }
    return;  // the step itself runs in TutorialStep
  }
  Scratch scratch(example.name());
  writeFile(scratch.path() / "example.velk", programText(code));
  const ProgramRun compiled = shell(compileCommand("example.velk", "example.ast"), scratch.path());
  const int status = code.attributes.count("status") ? std::stoi(code.attributes.at("status")) : 0;
  EXPECT_EQ(compiled.status, status % 256) << compiled.out;
  if (!code.attributes.count("run")) {
    EXPECT_EQ(compiled.out, example.output ? example.output->text : "");
    return;
  }
  ASSERT_EQ(compiled.out, "") << "a program that runs must compile without a message";
  ASSERT_TRUE(example.output.has_value()) << "a block that runs needs an output block";
  const ProgramRun ran =
      shell(simCommand("-q -t " + code.attributes.at("run"), "example.ast"), scratch.path());
  EXPECT_EQ(ran.out, example.output->text);
}

INSTANTIATE_TEST_SUITE_P(Docs, DocExample, testing::ValuesIn(collectExamples()),
                         [](const testing::TestParamInfo<Example>& info) {
                           return info.param.name();
                         });

// Every output block belongs to a VELK block, so no shown output goes unchecked.
TEST(DocBlocks, EveryOutputFollowsAProgram) {
  for (const char* document : {"docs/language.md", "docs/tutorial.md"}) {
    const std::vector<Block> blocks = readBlocks(kRoot / document);
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (blocks[i].language != "output") continue;
      EXPECT_TRUE(i > 0 && blocks[i - 1].language == "velk")
          << document << ":" << blocks[i].line << ": output block without a program before it";
    }
  }
}

// Other blocks that name a file (inputs and outputs files) show it as it is.
TEST(DocBlocks, FileBlocksShowTheirFile) {
  for (const char* document : {"docs/language.md", "docs/tutorial.md"}) {
    for (const Block& block : readBlocks(kRoot / document)) {
      if (block.language == "velk" || !block.attributes.count("file")) continue;
      EXPECT_EQ(block.text, readFile(kRoot / block.attributes.at("file")))
          << document << ":" << block.line;
    }
  }
}

// The tutorial steps, each with the console (and outputs file) it produces.
std::vector<std::string> tutorialSteps() {
  std::vector<std::string> steps;
  for (const auto& entry : fs::directory_iterator(kRoot / "examples/tutorial")) {
    if (entry.path().extension() == ".velk") steps.push_back(entry.path().stem().string());
  }
  std::sort(steps.begin(), steps.end());
  return steps;
}

std::string simArguments(const std::string& source) {
  static const std::regex firstLine(R"(^/\* velk_sim: (.*) \*/\n)");
  std::smatch match;
  if (!std::regex_search(source, match, firstLine)) return "";
  return match[1].str();
}

class TutorialStep : public testing::TestWithParam<std::string> {};

TEST_P(TutorialStep, PrintsItsExpectedOutput) {
  const std::string step = GetParam();
  const fs::path folder = kRoot / "examples/tutorial";
  const std::string source = readFile(folder / (step + ".velk"));
  const std::string arguments = simArguments(source);
  ASSERT_NE(arguments, "") << step << ".velk needs a first line /* velk_sim: ARGS */";
  Scratch scratch("step_" + step);
  for (const auto& entry : fs::directory_iterator(folder)) {
    fs::copy_file(entry.path(), scratch.path() / entry.path().filename());
  }
  const ProgramRun compiled =
      shell(compileCommand(step + ".velk", step + ".ast"), scratch.path());
  ASSERT_EQ(compiled.status, 0) << compiled.out;
  ASSERT_EQ(compiled.out, "");
  const ProgramRun ran = shell(simCommand(arguments, step + ".ast"), scratch.path());
  EXPECT_EQ(ran.out, readFile(folder / (step + ".expected")));
  static const std::regex outputsOption(R"((?:-o|--outputs) (\S+))");
  std::smatch match;
  if (std::regex_search(arguments, match, outputsOption)) {
    EXPECT_EQ(readFile(scratch.path() / match[1].str()),
              readFile(folder / (step + ".expected.csv")));
  }
}

INSTANTIATE_TEST_SUITE_P(Tutorial, TutorialStep, testing::ValuesIn(tutorialSteps()));

// The manual page keeps up with the program: every long option that
// velk_sim --help shows appears in velk_sim(1).
TEST(ManualPages, ListEveryOptionOfTheHelp) {
  Scratch scratch("man");
  const ProgramRun help = shell(simCommand("--help", ""), scratch.path());
  const std::string page = readFile(kRoot / "docs/man/velk_sim.1");
  static const std::regex longOption(R"(--[a-z][a-z-]*)");
  size_t seen = 0;
  for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), longOption);
       it != std::sregex_iterator(); ++it, ++seen) {
    std::string roff = it->str();
    for (size_t at = 0; (at = roff.find('-', at)) != std::string::npos; at += 2) {
      roff.insert(at, "\\");
    }
    EXPECT_NE(page.find(roff), std::string::npos) << it->str() << " missing from velk_sim.1";
  }
  EXPECT_GT(seen, 5u);
  const std::string parserPage = readFile(kRoot / "docs/man/velk_parser.1");
  for (const char* option : {"\\-\\-include", "\\-\\-memory", "\\-\\-quiet", "\\-\\-Werror",
                             "VELK_PKG_PATH"}) {
    EXPECT_NE(parserPage.find(option), std::string::npos) << option;
  }
}

}  // namespace
