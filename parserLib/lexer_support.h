// The scanner's public entry points (create a scanner over a file or a text,
// run the grammar on it, destroy it) and the helpers its actions call. The
// environment is the scanner's extra data; a scanner owns the files opened by
// the include directives it read, never the FILE* or text it was given.
#pragma once
#include <cstdio>

#include "ast.h"
#include "parser_env.h"

// A scanner handle: the flex reentrant state (yyscan_t).
using LexerScanner = void*;

// Input buffers are refilled by this many bytes.
constexpr int kLexerBufferSize = 16384;
// The longest line (without its newline) that syntax errors can quote.
constexpr size_t kMaxLineLength = kLineTextSize - 1;

// Scanner lifetime. A scanner over a text copies the text. Destroying a scanner
// closes the include files it still has open and restores the file name, line
// and external definition list that were current when it was created.
LexerScanner lexer_createForFile(ParserEnv* env, FILE* file);
LexerScanner lexer_createForString(ParserEnv* env, const char* text);
void lexer_destroy(LexerScanner scanner);

// Runs the grammar (yyparse(scanner, env)) on a fresh scanner and destroys it:
// 0 on success, 1 on a syntax error, 2 when the parser stack is exhausted.
int lexer_parseFile(ParserEnv* env, FILE* file);
int lexer_parseString(ParserEnv* env, const char* text);

// Line counter of the buffer being read: the line of the nodes the scanner
// makes, and the value of __LINE__. Each file or text counts from 1.
u32 lexer_currentLine(LexerScanner scanner);

// --- Used by the scanner's actions -------------------------------------------

// Token values: the node ids of the literals and identifiers.
u32 lexer_makeInteger(ParserEnv* env, const char* text, bool hexadecimal, u32 line);
u32 lexer_makeBoolean(ParserEnv* env, bool value, u32 line);
u32 lexer_makeSymbol(ParserEnv* env, const char* name, u32 line);
u32 lexer_makeFloat(ParserEnv* env, const char* spelling, u32 line);
u32 lexer_makeTimeLiteral(ParserEnv* env, const char* text, u32 line);
u32 lexer_makeFrequencyLiteral(ParserEnv* env, const char* text, u32 line);
// text/length: the literal with its quotes; the node keeps what is between.
u32 lexer_makeString(ParserEnv* env, const char* text, size_t length, u32 line);

// Value of an integer literal: digits of base 10, or hexadecimal digits after
// "0x". A value beyond 64 bits saturates to 2^64 - 1.
u64 lexer_integerValue(const char* text, bool hexadecimal);

// A new line begins: rest is the text up to the next line end. Stores it as the
// current line text and counts the line; false (status 51 reported) when the
// line is too long, in which case it is neither stored nor counted.
bool lexer_beginLine(ParserEnv* env, const char* rest, size_t length);
void lexer_reportUnknownToken(ParserEnv* env);
// A comment still open at the end of the input (status 888); it is closed so
// that the comment bookkeeping stays consistent when scanning goes on.
void lexer_reportUnclosedComment(ParserEnv* env);
// A character after "include" that starts no file name.
void lexer_reportJammed(ParserEnv* env);
// Internal scanner failure: message on standard error, exit code 2.
[[noreturn]] void lexer_fatalError(const char* message);
// yyerror's report: the grammar's message, the token text and the line text.
void lexer_reportSyntaxError(ParserEnv* env, const char* message, const char* tokenText);

// Include directive, the old unquoted form: warns, then includes.
void lexer_warnOldInclude(ParserEnv* env, const char* name);
void lexer_reportMissingQuote(ParserEnv* env);
// Resolves and opens an include file. Returns the opened file when scanning must
// continue in it (the include level is already pushed, with savedBuffer as the
// including file's buffer), or nullptr when the directive does nothing more
// (already included, or an error was reported).
FILE* lexer_openInclude(ParserEnv* env, const char* name, u32 line, void* savedBuffer);
// At the end of an include file read by this scanner: closes it and restores
// the including file's name, line and list. False when the scanner is reading
// its own input (nothing to pop).
bool lexer_closeInclude(ParserEnv* env, LexerScanner scanner);
// Records and forgets the include depth a scanner starts from.
void lexer_registerScanner(ParserEnv* env, LexerScanner scanner);
void lexer_unregisterScanner(ParserEnv* env, LexerScanner scanner);
