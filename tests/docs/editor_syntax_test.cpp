// The editor grammars keep up with the language: every keyword of the scanner
// and every name of the builtin function, method and field tables is
// highlighted by both the TextMate grammar and the Vim syntax file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "run_program.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = VELK_SOURCE_DIR;

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    found.insert((*it)[1].str());
  }
  return found;
}

// Scanner rules of the form "word" { ... } at the start of a line.
std::set<std::string> lexerKeywords() {
  static const std::regex rule(R"re((?:^|\n)"([A-Za-z_][A-Za-z0-9_]*)"\s+\{)re");
  return matches(readFile(kRoot / "parserLib/velk_lexer.l"), rule);
}

// Quoted identifiers of the three builtin tables (replacement texts hold
// points or brackets and are left out).
std::set<std::string> builtinNames() {
  const std::string source = readFile(kRoot / "parserLib/def_builtins.cpp");
  const size_t begin = source.find("kFunctions[]");
  const size_t end = source.find("static_assert", begin);
  EXPECT_NE(begin, std::string::npos);
  static const std::regex quoted(R"re("([A-Za-z_][A-Za-z0-9_]*)")re");
  return matches(source.substr(begin, end - begin), quoted);
}

// A name is covered when it stands as a whole word in the grammar file.
void expectCovered(const std::set<std::string>& names, const fs::path& grammar) {
  const std::string text = readFile(grammar);
  ASSERT_FALSE(text.empty()) << grammar;
  for (const std::string& name : names) {
    const std::regex word("(^|[^A-Za-z0-9_#])" + name + "($|[^A-Za-z0-9_#])");
    EXPECT_TRUE(std::regex_search(text, word)) << name << " is not highlighted by " << grammar;
  }
}

TEST(EditorSyntax, TablesAreReadable) {
  EXPECT_GT(lexerKeywords().size(), 35u);
  EXPECT_GT(builtinNames().size(), 45u);
  EXPECT_TRUE(lexerKeywords().count("processdef"));
  EXPECT_TRUE(builtinNames().count("insert_sorted"));
  EXPECT_TRUE(builtinNames().count("FIRST"));
}

TEST(EditorSyntax, TextMateGrammarCoversKeywordsAndBuiltins) {
  const fs::path grammar = kRoot / "editors/textmate/velk.tmLanguage.json";
  expectCovered(lexerKeywords(), grammar);
  expectCovered(builtinNames(), grammar);
}

TEST(EditorSyntax, VimSyntaxCoversKeywordsAndBuiltins) {
  const fs::path grammar = kRoot / "editors/vim/syntax/velk.vim";
  expectCovered(lexerKeywords(), grammar);
  expectCovered(builtinNames(), grammar);
}

}  // namespace
