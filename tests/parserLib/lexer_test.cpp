// The scanner on its own: token sequences, literal values, line counting and
// line text, comments, the include directive and its failures. Tokens are
// read with yylex directly, so the grammar does not take part except where a
// test runs a whole parse.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lexer_support.h"
#include "parser_data.h"
#include "velk_grammar.hpp"
#include "velk_lexer.hpp"

namespace {

namespace fs = std::filesystem;

struct Token {
  int kind;
  std::string text;
  u32 value;     // node id for literal tokens
  u32 lineno;    // the context's line count when the token was read
  u32 nodeLine;  // the scanner buffer's line
  std::string fileName;
};

struct Expected {
  int kind;
  std::string text;
};

class LexerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    parser_createTree(env, 100000);
    env->pctx->exitOnError = false;
    std::snprintf(env->pctx->fileName, kFileNameSize, "test.velk");
    static int counter = 0;
    dir = fs::temp_directory_path() /
          ("velk_lexer_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(dir);
  }
  void TearDown() override {
    parser_freeAll(env);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  std::vector<Token> readAll(LexerScanner scanner) {
    std::vector<Token> tokens;
    YYSTYPE value = NO_ID;
    while (int kind = yylex(&value, scanner)) {
      tokens.push_back({kind, yyget_text(scanner), value, env->pctx->lineno,
                        lexer_currentLine(scanner), env->pctx->fileName});
      value = NO_ID;
    }
    return tokens;
  }
  // The driver starts each file at line 1; the scanner continues the count.
  std::vector<Token> scan(const std::string& text) {
    env->pctx->lineno = 1;
    LexerScanner scanner = lexer_createForString(env, text.c_str());
    std::vector<Token> tokens = readAll(scanner);
    lexer_destroy(scanner);
    return tokens;
  }
  std::vector<Token> scanFile(const fs::path& path) {
    std::snprintf(env->pctx->fileName, kFileNameSize, "%s", path.c_str());
    env->pctx->lineno = 1;
    FILE* file = std::fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr);
    LexerScanner scanner = lexer_createForFile(env, file);
    std::vector<Token> tokens = readAll(scanner);
    lexer_destroy(scanner);
    std::fclose(file);
    return tokens;
  }
  fs::path write(const std::string& name, const std::string& content) {
    fs::path path = dir / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  AST* node(u32 id) { return AST_fromId(env->program, id); }
  std::string canonical(const fs::path& path) { return fs::canonical(path).string(); }

  ParserEnv* env = nullptr;
  fs::path dir;
};

std::string describe(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& t : tokens) out += std::to_string(t.kind) + ":'" + t.text + "' ";
  return out;
}

void expectTokens(const std::vector<Token>& tokens, const std::vector<Expected>& expected,
                  const std::string& input) {
  ASSERT_EQ(tokens.size(), expected.size()) << "input: " << input << "\n" << describe(tokens);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(tokens[i].kind, expected[i].kind) << "input: " << input << " token " << i;
    EXPECT_EQ(tokens[i].text, expected[i].text) << "input: " << input << " token " << i;
  }
}

const std::string kMicro = "\xC2\xB5";

// --- Token sequences -------------------------------------------------------

TEST_F(LexerTest, TokenSequences) {
  struct Case {
    std::string input;
    std::vector<Expected> tokens;
  };
  const std::vector<Case> cases = {
      // keywords win only on the same length
      {"processdef processdefx includex iff if",
       {{PROCESSDEF, "processdef"}, {IDENTIFIER, "processdefx"}, {IDENTIFIER, "includex"},
        {IDENTIFIER, "iff"}, {IF, "if"}}},
      {"out in true false const enum struct var channel queue stack for",
       {{OUT, "out"}, {IN, "in"}, {BOOLEAN, "true"}, {BOOLEAN, "false"}, {CONST, "const"},
        {ENUM, "enum"}, {STRUCT, "struct"}, {VAR, "var"}, {CHANNEL, "channel"},
        {QUEUE, "queue"}, {STACK, "stack"}, {FOR, "for"}}},
      {"else while process to on after state static common finally mod loop over",
       {{ELSE, "else"}, {WHILE, "while"}, {PROCESS, "process"}, {TO, "to"}, {ON, "on"},
        {AFTER, "after"}, {STATE, "state"}, {STATIC, "static"}, {COMMON, "common"},
        {FINALLY, "finally"}, {MOD, "mod"}, {LOOP, "loop"}, {OVER, "over"}}},
      {"break continue with and or not __LINE__ Hz Hzz True",
       {{BREAK, "break"}, {CONTINUE, "continue"}, {WITH, "with"}, {AND, "and"}, {OR, "or"},
        {NOT, "not"}, {LINE_MACRO, "__LINE__"}, {HZ, "Hz"}, {IDENTIFIER, "Hzz"},
        {IDENTIFIER, "True"}}},
      {"& | ~ ^ << >> = == != <= >= < > @ $",
       {{BIT_AND, "&"}, {BIT_OR, "|"}, {BIT_NOT, "~"}, {BIT_XOR, "^"}, {SHIFT_LEFT, "<<"},
        {SHIFT_RIGHT, ">>"}, {ASSIGN, "="}, {EQ, "=="}, {NE, "!="}, {LE, "<="}, {GE, ">="},
        {LT, "<"}, {GT, ">"}, {AT, "@"}, {DOLLAR, "$"}}},
      {"(){}[].,+-*/;:",
       {{LPAREN, "("}, {RPAREN, ")"}, {LBRACE, "{"}, {RBRACE, "}"}, {LBRACKET, "["},
        {RBRACKET, "]"}, {DOT, "."}, {COMMA, ","}, {PLUS, "+"}, {MINUS, "-"}, {STAR, "*"},
        {SLASH, "/"}, {SEMICOLON, ";"}, {COLON, ":"}}},
      // no line comment, no compound operators
      {"a//b<<=c===d", {{IDENTIFIER, "a"}, {SLASH, "/"}, {SLASH, "/"}, {IDENTIFIER, "b"},
                        {SHIFT_LEFT, "<<"}, {ASSIGN, "="}, {IDENTIFIER, "c"}, {EQ, "=="},
                        {ASSIGN, "="}, {IDENTIFIER, "d"}}},
      // identifiers: µ bytes and '#' inside
      {"a#b _x9 " + kMicro + "var x" + kMicro,
       {{IDENTIFIER, "a#b"}, {IDENTIFIER, "_x9"}, {IDENTIFIER, kMicro + "var"},
        {IDENTIFIER, "x" + kMicro}}},
      // integers
      {"0XFF 0x1fG 0x 12ab 007",
       {{INTEGER, "0"}, {IDENTIFIER, "XFF"}, {INTEGER, "0x1f"}, {IDENTIFIER, "G"},
        {INTEGER, "0"}, {IDENTIFIER, "x"}, {INTEGER, "12"}, {IDENTIFIER, "ab"},
        {INTEGER, "007"}}},
      // floats need both parts, or an exponent
      {"1.5 2.5e-3 7E+2 3e4 1. .5 1e",
       {{FLOAT, "1.5"}, {FLOAT, "2.5e-3"}, {FLOAT, "7E+2"}, {FLOAT, "3e4"}, {INTEGER, "1"},
        {DOT, "."}, {DOT, "."}, {INTEGER, "5"}, {INTEGER, "1"}, {IDENTIFIER, "e"}}},
      // time literals: groups, blanks, units, glued letters
      {"1 s 500 ms;", {{TIME_LITERAL, "1 s 500 ms"}, {SEMICOLON, ";"}}},
      {"1 s, 2 ms", {{TIME_LITERAL, "1 s"}, {COMMA, ","}, {TIME_LITERAL, "2 ms"}}},
      {"1s500ms, 10 sec, 3\tns\t)",
       {{TIME_LITERAL, "1s500ms"}, {COMMA, ","}, {TIME_LITERAL, "10 s"}, {IDENTIFIER, "ec"},
        {COMMA, ","}, {TIME_LITERAL, "3\tns\t"}, {RPAREN, ")"}}},
      {"5" + kMicro + "s, 7us, 9ps 1.5 ms",
       {{TIME_LITERAL, "5" + kMicro + "s"}, {COMMA, ","}, {TIME_LITERAL, "7us"}, {COMMA, ","},
        {TIME_LITERAL, "9ps "}, {FLOAT, "1.5"}, {IDENTIFIER, "ms"}}},
      {"1 s\n2 ms", {{TIME_LITERAL, "1 s"}, {TIME_LITERAL, "2 ms"}}},
      // frequency literals
      {"100 Hz 1.5Hz 1e3 Hz 50Hzx",
       {{FREQUENCY_LITERAL, "100 Hz"}, {FREQUENCY_LITERAL, "1.5Hz"}, {FLOAT, "1e3"},
        {HZ, "Hz"}, {FREQUENCY_LITERAL, "50Hz"}, {IDENTIFIER, "x"}}},
      // strings: escapes kept, lines spanned
      {"\"a\\\"b\" \"\" \"x\ny\" \"\\\\\"",
       {{STRING, "\"a\\\"b\""}, {STRING, "\"\""}, {STRING, "\"x\ny\""}, {STRING, "\"\\\\\""}}},
      // comments are no tokens; /* inside a comment is text
      {"a /* b /* c */ d */", {{IDENTIFIER, "a"}, {IDENTIFIER, "d"}, {STAR, "*"}, {SLASH, "/"}}},
  };
  for (const Case& c : cases) expectTokens(scan(c.input), c.tokens, c.input);
  EXPECT_EQ(env->pctx->status, 0);
}

TEST_F(LexerTest, UnknownTokensAreReportedAndSkipped) {
  const std::vector<std::string> inputs = {"!", "#a", "%", "'", "?", "\\", "`", "\"abc",
                                           "\x80", "\xFF", "\x01"};
  for (const std::string& input : inputs) {
    env->pctx->status = 0;
    testing::internal::CaptureStdout();
    std::vector<Token> tokens = scan(input + " z");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(env->pctx->status, 300) << input;
    EXPECT_NE(out.find("[ERROR] test.velk: Line 1: unknown token!\n"), std::string::npos) << out;
    ASSERT_FALSE(tokens.empty()) << input;
    EXPECT_EQ(tokens.back().text, "z") << input;
  }
}

TEST_F(LexerTest, UnknownTokenEndsTheCompiler) {
  env->pctx->exitOnError = true;
  EXPECT_EXIT(scan("a ! b"), testing::ExitedWithCode(300 & 0xFF), "");
}

// --- Token values ----------------------------------------------------------

TEST_F(LexerTest, IntegerValues) {
  const struct {
    const char* text;
    u64 value;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"007", 7},
      {"0x1F", 31},
      {"0xFFFFFFFF", 0xFFFFFFFFull},
      {"0x100000000", 0x100000000ull},
      {"18446744073709551615", ~0ull},
      // beyond 64 bits: saturated to the largest value
      {"18446744073709551616", ~0ull},
      {"99999999999999999999999999", ~0ull},
      {"0x10000000000000000", ~0ull},
  };
  for (const auto& c : cases) {
    std::vector<Token> tokens = scan(c.text);
    ASSERT_EQ(tokens.size(), 1u) << c.text;
    AST* literal = node(tokens[0].value);
    ASSERT_NE(literal, nullptr) << c.text;
    EXPECT_EQ(literal->op, INTEGER_OP) << c.text;
    EXPECT_EQ(literal->value.uinteger, c.value) << c.text;
  }
}

TEST_F(LexerTest, LiteralNodes) {
  std::vector<Token> tokens =
      scan("true false x x break continue \"s\" 1.25 10 ms 50 Hz __LINE__ ;");
  ASSERT_EQ(tokens.size(), 12u) << describe(tokens);
  EXPECT_EQ(node(tokens[0].value)->op, BOOLEAN_OP);
  EXPECT_EQ(node(tokens[0].value)->value.boolean, 1);
  EXPECT_EQ(node(tokens[1].value)->value.boolean, 0);
  EXPECT_EQ(node(tokens[2].value)->op, SYM);
  // every occurrence of a name shares its first SYM node
  EXPECT_EQ(tokens[2].value, tokens[3].value);
  EXPECT_EQ(node(tokens[4].value)->op, SYM);
  EXPECT_EQ(node(tokens[5].value)->op, SYM);
  EXPECT_NE(tokens[4].value, tokens[5].value);
  EXPECT_EQ(node(tokens[6].value)->op, STRING_OP);
  EXPECT_EQ(node(tokens[7].value)->op, FLOAT_OP);
  EXPECT_NE(node(tokens[8].value), nullptr);
  EXPECT_EQ(node(tokens[9].value)->op, FREQUENCY_OP);
  // keywords and punctuation carry nothing
  EXPECT_EQ(tokens[10].value, NO_ID);
  EXPECT_EQ(tokens[11].value, NO_ID);
}

// --- Lines -----------------------------------------------------------------

TEST_F(LexerTest, LinesAreCountedAndTheirTextKept) {
  std::vector<Token> tokens = scan("first\nsecond line\n\n  fourth\r\nfifth\rsixth");
  ASSERT_EQ(tokens.size(), 6u) << describe(tokens);
  const u32 lines[] = {1, 2, 2, 4, 5, 6};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(tokens[i].lineno, lines[i]) << tokens[i].text;
  EXPECT_EQ(std::string(env->pctx->lineText), "sixth");
  tokens = scan("a\n  b c  \nd");
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_EQ(tokens[1].lineno, 2u);
  EXPECT_EQ(node(tokens[1].value)->op, SYM);
  EXPECT_EQ(AST_lineFromId(env->program, tokens[1].value), 2u);
}

TEST_F(LexerTest, NewlinesInStringsMoveOnlyTheNodeLine) {
  std::vector<Token> tokens = scan("\"a\nb\nc\" z\nw");
  ASSERT_EQ(tokens.size(), 3u) << describe(tokens);
  EXPECT_EQ(tokens[0].nodeLine, 3u);
  EXPECT_EQ(AST_lineFromId(env->program, tokens[0].value), 3u);
  EXPECT_EQ(tokens[1].lineno, 1u);
  EXPECT_EQ(AST_lineFromId(env->program, tokens[1].value), 3u);
  EXPECT_EQ(tokens[2].lineno, 2u);
  EXPECT_EQ(tokens[2].nodeLine, 4u);
}

TEST_F(LexerTest, LineLengthLimit) {
  const std::string longest(kMaxLineLength, 'a');
  std::vector<Token> tokens = scan("x\n" + longest + "\ny");
  EXPECT_EQ(env->pctx->status, 0);
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(std::string(env->pctx->lineText), "y");
  EXPECT_EQ(tokens[2].lineno, 3u);

  testing::internal::CaptureStdout();
  tokens = scan("x\n" + longest + "b\ny");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] test.velk: Line 1: Max line length exceeded!\n");
  EXPECT_EQ(env->pctx->status, 51);
  // the long line is skipped whole, neither stored nor counted
  ASSERT_EQ(tokens.size(), 2u) << describe(tokens);
  EXPECT_EQ(tokens[1].text, "y");
  EXPECT_EQ(tokens[1].lineno, 2u);
}

// A file several input buffers long: whichever line straddles a buffer
// refill, its text and number are those of the line being read, and a line
// too long is skipped wherever it falls.
TEST_F(LexerTest, LineTextAcrossInputBufferRefills) {
  std::string content;
  std::vector<std::string> lines{""};  // by line number; line 1 has no text kept
  const u32 tooLong = 150;
  const u32 count = 700;
  for (u32 i = 1; i <= count; ++i) {
    std::string line = "w" + std::to_string(i);
    if (i % 3 != 0) line += " " + std::string((i * 37) % 300, 'q');
    if (i == tooLong) line = "w" + std::to_string(i) + std::string(kMaxLineLength, 'z');
    if (i % 13 == 0) line.clear();
    lines.push_back(line);
    content += line;
    // A lone carriage return before an empty line would make a pair with its newline.
    const bool loneReturn = i % 11 == 0 && (i + 1) % 13 != 0;
    content += i % 7 == 0 ? "\r\n" : loneReturn ? "\r" : "\n";
  }
  ASSERT_GT(content.size(), size_t{3} * kLexerBufferSize);
  const fs::path path = write("long.velk", content);
  std::snprintf(env->pctx->fileName, kFileNameSize, "%s", path.c_str());
  env->pctx->lineno = 1;
  FILE* file = std::fopen(path.c_str(), "r");
  ASSERT_NE(file, nullptr);
  testing::internal::CaptureStdout();
  LexerScanner scanner = lexer_createForFile(env, file);
  YYSTYPE value = NO_ID;
  u32 seen = 0;
  while (yylex(&value, scanner) != 0) {
    const std::string text = yyget_text(scanner);
    if (text[0] != 'w') continue;
    const u32 number = static_cast<u32>(std::stoul(text.substr(1)));
    ASSERT_NE(number, tooLong) << "the line too long is skipped";
    // Lines after the skipped one are counted one short, as it is not.
    const u32 expectedLineno = number > tooLong ? number - 1 : number;
    EXPECT_EQ(env->pctx->lineno, expectedLineno) << text;
    if (number > 1) {
      EXPECT_EQ(std::string(env->pctx->lineText), lines[number]) << text;
    }
    ++seen;
  }
  lexer_destroy(scanner);
  std::fclose(file);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] " + path.string() + ": Line 149: Max line length exceeded!\n");
  EXPECT_EQ(seen, count - count / 13 - 1);
}

TEST_F(LexerTest, FirstLineHasNoLimit) {
  std::vector<Token> tokens = scan(std::string(2000, 'q'));
  EXPECT_EQ(env->pctx->status, 0);
  EXPECT_EQ(tokens.size(), 1u);
}

// --- Comments --------------------------------------------------------------

TEST_F(LexerTest, CommentsAreStoredWithTheirNode) {
  const u32 before = AST_getTreeNodesCount(env->program);
  std::vector<Token> tokens = scan("/* one */ a /* t*o\r\nx\n**/b");
  ASSERT_EQ(tokens.size(), 2u) << describe(tokens);
  const ParserContext* pctx = env->pctx;
  ASSERT_EQ(pctx->commentIndex.size(), 2u);
  EXPECT_EQ(std::string(&pctx->commentsBuffer[pctx->commentIndex[0]]), " one ");
  EXPECT_EQ(std::string(&pctx->commentsBuffer[pctx->commentIndex[1]]), " t*o\r\nx\n*");
  EXPECT_EQ(tokens[1].lineno, 3u);
  // one COMMENT node per comment, at the line where it ends, in no list
  u32 comments = 0;
  for (u32 id = before; id < AST_getTreeNodesCount(env->program); ++id) {
    const AST* n = node(id);
    if (n->op != COMMENT) continue;
    EXPECT_EQ(n->value.id.id, comments);
    EXPECT_EQ(AST_lineFromId(env->program, id), comments == 0 ? 1u : 3u);
    comments++;
  }
  EXPECT_EQ(comments, 2u);
}

TEST_F(LexerTest, UnclosedComment) {
  testing::internal::CaptureStdout();
  std::vector<Token> tokens = scan("a /* never\nclosed");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] test.velk: Line 2: Unclosed comment\n");
  EXPECT_EQ(env->pctx->status, 888);
  EXPECT_EQ(tokens.size(), 1u);
  env->pctx->exitOnError = true;
  EXPECT_EXIT(scan("/* x"), testing::ExitedWithCode(1), "");
}

// --- Syntax error report ---------------------------------------------------

TEST_F(LexerTest, SyntaxErrorQuotesTokenAndLine) {
  LexerScanner scanner = lexer_createForString(env, "a\nvar  xyz = 3;");
  YYSTYPE value;
  for (int i = 0; i < 3; ++i) yylex(&value, scanner);
  testing::internal::CaptureStdout();
  yyerror(scanner, env, "syntax error");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] test.velk: Line 2: syntax error before \"xyz\" in this line:\nvar  xyz = "
            "3;\n");
  EXPECT_EQ(env->pctx->status, 301);
  // at the end of the input there is no token text to quote
  while (yylex(&value, scanner) != 0) {
  }
  testing::internal::CaptureStdout();
  yyerror(scanner, env, "syntax error");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] test.velk: Line 2: syntax error before \"\" in this line:\nvar  xyz = 3;\n");
  lexer_destroy(scanner);
}

TEST_F(LexerTest, HzAloneIsASyntaxError) {
  testing::internal::CaptureStdout();
  const int result = lexer_parseString(env, "\n$ 1e3 Hz");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(result, 0);
  EXPECT_EQ(env->pctx->status, 301);
  EXPECT_NE(out.find("before \"Hz\" in this line:\n$ 1e3 Hz\n"), std::string::npos) << out;
}

// --- Include directive -----------------------------------------------------

TEST_F(LexerTest, IncludedFileIsReadInPlaceWithItsOwnLines) {
  const fs::path inc = write("lib/inc.velk", "x\n\ny");
  const fs::path main = write("main.velk", "a\ninclude \"lib/inc.velk\"\nb");
  const u32 listsBefore = AST_getTreeNodesCount(env->program);
  std::vector<Token> tokens = scanFile(main);
  ASSERT_EQ(tokens.size(), 4u) << describe(tokens);
  EXPECT_EQ(tokens[1].text, "x");
  EXPECT_EQ(tokens[1].fileName, canonical(inc));
  EXPECT_EQ(tokens[1].lineno, 1u);
  EXPECT_EQ(tokens[2].lineno, 3u);
  EXPECT_EQ(tokens[2].nodeLine, 3u);
  // back in the including file, right after the directive
  EXPECT_EQ(tokens[3].text, "b");
  EXPECT_EQ(tokens[3].fileName, main.string());
  EXPECT_EQ(tokens[3].lineno, 3u);
  EXPECT_EQ(tokens[3].nodeLine, 3u);
  EXPECT_EQ(env->pctx->includeDepth, 0u);
  EXPECT_EQ(env->pctx->externalDefinitions, env->program->root);
  ASSERT_EQ(env->pctx->includedFiles.size(), 1u);
  EXPECT_EQ(env->pctx->includedFiles[0], canonical(inc));
  // the file node, named as written, is appended to the root list
  AST* cell = AST_left(env->program, env->program->root);
  ASSERT_NE(cell, nullptr);
  while (cell->right != NO_ID) cell = AST_right(env->program, cell);
  AST* fileNode = AST_left(env->program, cell);
  EXPECT_EQ(fileNode->op, INCLUDE_OP);
  EXPECT_EQ(AST_lineFromId(env->program, AST_id(env->program, fileNode)), 2u);
  EXPECT_GE(AST_id(env->program, fileNode), listsBefore);
  EXPECT_EQ(std::string(env->program->stringTable +
                        env->program->stringTableIndex[fileNode->value.id.string]),
            "lib/inc.velk");
}

TEST_F(LexerTest, EachFileIsIncludedOnce) {
  write("inc.velk", "x");
  write("sub/other.velk", "include \"../inc.velk\" y");
  const fs::path main = write(
      "main.velk",
      "include \"inc.velk\"\ninclude \"./sub/../inc.velk\"\ninclude \"sub/other.velk\"\n"
      "include \"inc.velk\" z");
  std::vector<Token> tokens = scanFile(main);
  expectTokens(tokens, {{IDENTIFIER, "x"}, {IDENTIFIER, "y"}, {IDENTIFIER, "z"}}, "main");
  EXPECT_EQ(env->pctx->includedFiles.size(), 2u);
  EXPECT_EQ(env->pctx->status, 0);
}

TEST_F(LexerTest, OldIncludeFormWarnsThenIncludes) {
  write("inc.velk", "x");
  const fs::path main = write("main.velk", "include inc.velk\ny");
  testing::internal::CaptureStdout();
  std::vector<Token> tokens = scanFile(main);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[WARNING] " + main.string() +
                ": Line 1: deprecated include syntax, use double quote string : include "
                "\"inc.velk\"\n");
  expectTokens(tokens, {{IDENTIFIER, "x"}, {IDENTIFIER, "y"}}, "main");
}

TEST_F(LexerTest, IncludeFailures) {
  struct Case {
    std::string source;
    int status;
    std::string message;
  };
  const std::string tooLong(300, 'n');
  const std::vector<Case> cases = {
      {"\ninclude \"missing.velk\"\nz", 301, "Line 2: missing.velk no such include file\n"},
      {"include \"" + tooLong + "\"\nz", 302, "Line 1: Maximum file name size overflow\n"},
      {"include \"abc\nz", 51, "Line 1: Missing terminating \" character\n"},
      // a directory is no include file
      {"include \"sub\"\nz", 301, "Line 1: sub no such include file\n"},
  };
  fs::create_directories(dir / "sub");
  for (const Case& c : cases) {
    env->pctx->status = 0;
    const fs::path main = write("main.velk", c.source);
    testing::internal::CaptureStdout();
    std::vector<Token> tokens = scanFile(main);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(env->pctx->status, c.status) << c.source;
    EXPECT_EQ(out, "[ERROR] " + main.string() + ": " + c.message);
    // scanning goes on after the directive
    ASSERT_FALSE(tokens.empty()) << c.source;
    EXPECT_EQ(tokens.back().text, "z");
  }
}

TEST_F(LexerTest, IncludeDepthIsLimitedToTen) {
  // main -> f1 -> ... -> f10 is allowed; f10 including f11 is one level too many.
  for (int i = 1; i <= 11; ++i) {
    write("f" + std::to_string(i) + ".velk",
          (i < 11 ? "include \"f" + std::to_string(i + 1) + ".velk\"\n" : std::string()) +
              "t" + std::to_string(i));
  }
  const fs::path main = write("main.velk", "include \"f1.velk\"\nm");
  testing::internal::CaptureStdout();
  std::vector<Token> tokens = scanFile(main);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Line 1: Includes nested too deeply\n"), std::string::npos) << out;
  EXPECT_EQ(env->pctx->status, 301);
  ASSERT_EQ(tokens.size(), 11u) << describe(tokens);
  EXPECT_EQ(tokens.front().text, "t10");
  EXPECT_EQ(tokens.back().text, "m");
  EXPECT_EQ(env->pctx->includeDepth, 0u);

  env->pctx->exitOnError = true;
  env->pctx->includedFiles.clear();
  env->pctx->includedFileSet.clear();
  EXPECT_EXIT(scanFile(main), testing::ExitedWithCode(1), "");
}

TEST_F(LexerTest, UnexpectedCharacterAfterIncludeJamsTheScanner) {
  const fs::path main = write("main.velk", "include <inc.velk>\n");
  env->pctx->exitOnError = true;
  EXPECT_EXIT(scanFile(main), testing::ExitedWithCode(2), "flex scanner jammed");
  env->pctx->exitOnError = false;
  testing::internal::CaptureStderr();
  std::vector<Token> tokens = scanFile(main);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "flex scanner jammed\n");
  EXPECT_EQ(tokens.front().kind, LT);
}

TEST_F(LexerTest, SyntaxErrorInsideAnIncludeRestoresTheIncludingFile) {
  write("inc.velk", "\n Hz");
  const fs::path main = write("main.velk", "include \"inc.velk\"\n");
  std::snprintf(env->pctx->fileName, kFileNameSize, "%s", main.c_str());
  FILE* file = std::fopen(main.c_str(), "r");
  ASSERT_NE(file, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_NE(lexer_parseFile(env, file), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  std::fclose(file);
  EXPECT_NE(out.find(canonical(dir / "inc.velk") + ": Line 2: "), std::string::npos) << out;
  EXPECT_EQ(env->pctx->includeDepth, 0u);
  EXPECT_EQ(std::string(env->pctx->fileName), main.string());
  EXPECT_EQ(env->pctx->externalDefinitions, env->program->root);
}

}  // namespace
