#include "lexer_support.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "def_expression.h"
#include "parser_data.h"
#include "parser_error.h"
#include "parser_path.h"
#include "velk_assert.h"

namespace {

// What the scanner keeps beside the parser context: the files its include
// directives opened, and where each live scanner's own input sits in the
// include stack (a scanner never pops the levels of the one that created it).
struct LexerState {
  // The file read at include level i + 1, opened by the directive that pushed
  // includeStack[i]; nullptr when that level is not open.
  FILE* includeFiles[kMaxIncludeDepth] = {};
  std::vector<std::pair<LexerScanner, u32>> scannerBases;
};

LexerState& lexerState(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  if (!pctx->lexerState) pctx->lexerState = std::make_shared<LexerState>();
  return *static_cast<LexerState*>(pctx->lexerState.get());
}

u32 scannerBaseDepth(ParserEnv* env, LexerScanner scanner) {
  const auto& bases = lexerState(env).scannerBases;
  for (auto it = bases.rbegin(); it != bases.rend(); ++it) {
    if (it->first == scanner) return it->second;
  }
  return 0;
}

u32 nodeId(ParserEnv* env, const AST* node) { return AST_id(env->program, node); }

// Errors of the directive are reported at the directive's line, in the file
// that holds it.
void includeNameFailure(ParserEnv* env, const char* name) {
  parser_failure(env, 301, env->pctx->fileName, parser_lineno(env), nullptr,
                 "%s no such include file\n", name);
}

void includePathTooLong(ParserEnv* env) {
  parser_failure(env, 302, env->pctx->fileName, parser_lineno(env), nullptr,
                 "Maximum file name size overflow\n");
}

// The absolute path that identifies an include file for the include-once rule,
// or false after reporting why there is none.
bool resolveInclude(ParserEnv* env, const char* name, std::string* absolute) {
  ParserContext* pctx = env->pctx;
  std::string found;
  const int lookup = lookupFilePath(name, pctx->fileName, pctx->includePath, &found);
  if (lookup == kLookupPathTooLong) {
    includePathTooLong(env);
    return false;
  }
  if (lookup != kLookupFound || !path_canonical(found.c_str(), absolute)) {
    includeNameFailure(env, name);
    return false;
  }
  // The absolute path becomes the file name of the context, which has a fixed size.
  if (absolute->size() >= kFileNameSize) {
    includePathTooLong(env);
    return false;
  }
  return true;
}

// Enters an opened include file: saves the including file's state on the
// include stack and makes the new file's node the current declaration list.
// The file node, like every node the scanner makes, takes the line of the
// directive in the including file's buffer.
void pushIncludeLevel(ParserEnv* env, FILE* file, const std::string& absolute, u32 nameString,
                      u32 line, void* savedBuffer) {
  ParserContext* pctx = env->pctx;
  IncludeLevel& level = pctx->includeStack[pctx->includeDepth];
  std::memcpy(level.fileName, pctx->fileName, kFileNameSize);
  level.scannerBuffer = savedBuffer;
  level.lineno = pctx->lineno;
  level.externalDefinitions = pctx->externalDefinitions;
  lexerState(env).includeFiles[pctx->includeDepth] = file;
  pctx->includeDepth++;

  std::snprintf(pctx->fileName, kFileNameSize, "%s", absolute.c_str());
  pctx->lineno = 1;
  AST* fileNode =
      AST_makeNodeVal(env->program, INCLUDE_OP, nameString, 0, nullptr, nullptr, line);
  parser_add_external_definition(env, fileNode);
  pctx->externalDefinitions = fileNode;
}

}  // namespace

u64 lexer_integerValue(const char* text, bool hexadecimal) {
  // strtoull saturates at 2^64 - 1 (with ERANGE) when the digits do not fit:
  // an over-long literal becomes the largest 64-bit value rather than wrapping.
  return std::strtoull(text, nullptr, hexadecimal ? 16 : 10);
}

u32 lexer_makeInteger(ParserEnv* env, const char* text, bool hexadecimal, u32 line) {
  const u64 value = lexer_integerValue(hexadecimal ? text + 2 : text, hexadecimal);
  AST* node = AST_makeNodeVal(env->program, INTEGER_OP, static_cast<u32>(value),
                              static_cast<u32>(value >> 32), nullptr, nullptr, line);
  return nodeId(env, node);
}

u32 lexer_makeBoolean(ParserEnv* env, bool value, u32 line) {
  return nodeId(env, AST_makeBooleanNode(env->program, value, line));
}

u32 lexer_makeSymbol(ParserEnv* env, const char* name, u32 line) {
  return nodeId(env, defExpr_makeSymbol(env, name, line));
}

u32 lexer_makeFloat(ParserEnv* env, const char* spelling, u32 line) {
  return nodeId(env, defExpr_makeFloatLiteralNode(env, spelling, line));
}

u32 lexer_makeTimeLiteral(ParserEnv* env, const char* text, u32 line) {
  return nodeId(env, defExpr_makeTimeLiteral(env, text, line));
}

u32 lexer_makeFrequencyLiteral(ParserEnv* env, const char* text, u32 line) {
  return nodeId(env, defExpr_makeFrequencyLiteral(env, text, line));
}

u32 lexer_makeString(ParserEnv* env, const char* text, size_t length, u32 line) {
  VELK_ASSERT(length >= 2);
  const std::string inner(text + 1, length - 2);
  return nodeId(env, defExpr_makeStr(env, inner.c_str(), line));
}

bool lexer_beginLine(ParserEnv* env, const char* rest, size_t length) {
  ParserContext* pctx = env->pctx;
  if (length > kMaxLineLength) {
    parser_failure(env, 51, pctx->fileName, parser_lineno(env), nullptr,
                   "Max line length exceeded!\n");
    return false;
  }
  // memmove rather than memcpy: the compiler expands a memcpy of unknown
  // length into a string move instruction, slow to start for a short line,
  // while memmove stays a call to the library's vectorised copy.
  std::memmove(pctx->lineText, rest, length);
  pctx->lineText[length] = '\0';
  pctx->lineno++;
  return true;
}

void lexer_reportUnknownToken(ParserEnv* env) {
  parser_failure(env, 300, env->pctx->fileName, parser_lineno(env), nullptr, "unknown token!\n");
}

void lexer_reportUnclosedComment(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  // The compiler stops with exit code 1 here, not with the status.
  parser_recordFailure(env, 888, pctx->fileName, parser_lineno(env), nullptr,
                       "Unclosed comment\n");
  if (pctx->exitOnError) {
    std::fflush(stdout);
    std::exit(1);
  }
  parser_close_coment(env);
}

void lexer_reportJammed(ParserEnv* env) {
  std::fputs("flex scanner jammed\n", stderr);
  if (env->pctx->exitOnError) {
    std::fflush(stdout);
    std::exit(2);
  }
  env->pctx->status = 2;
}

void lexer_fatalError(const char* message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message);
  std::exit(2);
}

void lexer_reportSyntaxError(ParserEnv* env, const char* message, const char* tokenText) {
  ParserContext* pctx = env->pctx;
  parser_failure(env, 301, pctx->fileName, parser_lineno(env), nullptr,
                 "%s before \"%s\" in this line:\n%s\n", message,
                 tokenText != nullptr ? tokenText : "", pctx->lineText);
}

void lexer_warnOldInclude(ParserEnv* env, const char* name) {
  parser_warning(env, 0, env->pctx->fileName, parser_lineno(env), nullptr,
                 "deprecated include syntax, use double quote string : include \"%s\"\n", name);
}

void lexer_reportMissingQuote(ParserEnv* env) {
  parser_failure(env, 51, env->pctx->fileName, parser_lineno(env), nullptr,
                 "Missing terminating \" character\n");
}

FILE* lexer_openInclude(ParserEnv* env, const char* name, u32 line, void* savedBuffer) {
  ParserContext* pctx = env->pctx;
  AST* label = defExpr_makeLabelStr(env, name, line);
  const u32 nameString =
      label != nullptr ? label->value.id.string : parser_addLabelString(env, name);
  if (pctx->includeDepth >= kMaxIncludeDepth) {
    // A chain this deep is almost surely a cycle of includes; the compiler
    // gives up with exit code 1 rather than the status.
    parser_recordFailure(env, 301, pctx->fileName, parser_lineno(env), nullptr,
                         "Includes nested too deeply\n");
    if (pctx->exitOnError) {
      std::fflush(stdout);
      std::exit(1);
    }
    return nullptr;
  }
  std::string absolute;
  if (!resolveInclude(env, name, &absolute)) return nullptr;
  // Each file is read at most once per compilation, whatever path named it.
  if (pctx->includedFileSet.count(absolute) != 0) return nullptr;
  FILE* file = std::fopen(absolute.c_str(), "r");
  if (file == nullptr) {
    includeNameFailure(env, name);
    return nullptr;
  }
  pctx->includedFileSet.insert(absolute);
  pctx->includedFiles.push_back(absolute);
  pushIncludeLevel(env, file, absolute, nameString, line, savedBuffer);
  return file;
}

bool lexer_closeInclude(ParserEnv* env, LexerScanner scanner) {
  ParserContext* pctx = env->pctx;
  if (pctx->includeDepth <= scannerBaseDepth(env, scanner)) return false;
  pctx->includeDepth--;
  const IncludeLevel& level = pctx->includeStack[pctx->includeDepth];
  FILE*& file = lexerState(env).includeFiles[pctx->includeDepth];
  if (file != nullptr) std::fclose(file);
  file = nullptr;
  std::memcpy(pctx->fileName, level.fileName, kFileNameSize);
  pctx->lineno = level.lineno;
  pctx->externalDefinitions = level.externalDefinitions;
  return true;
}

void lexer_registerScanner(ParserEnv* env, LexerScanner scanner) {
  lexerState(env).scannerBases.emplace_back(scanner, env->pctx->includeDepth);
}

void lexer_unregisterScanner(ParserEnv* env, LexerScanner scanner) {
  auto& bases = lexerState(env).scannerBases;
  for (auto it = bases.rbegin(); it != bases.rend(); ++it) {
    if (it->first == scanner) {
      bases.erase(std::next(it).base());
      return;
    }
  }
}
