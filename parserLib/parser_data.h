// The compiler's driver library: creating and freeing the compiler
// environment, the tree with its root, the file-by-file parse sequence
// (system library first), external definition lists, and the bookkeeping of
// comments and numeric spellings. The caller owns the environment it creates.
#pragma once
#include <string>

#include "parser_env.h"

// The system library every program is compiled after, looked up on the include path.
inline constexpr const char* kSystemLibraryName = "annotations/system/system.velk";

// A new compiler environment with an empty image whose tables have their
// initial capacities, and an interpreter environment sharing that image.
ParserEnv* parser_initTables();
// Frees the parser context and the environment record (not the image or ienv).
void parser_freeEnv(ParserEnv* env);
// Frees everything the environment holds: ienv (without the shared image), the
// image, then the environment itself.
void parser_freeAll(ParserEnv* env);

// Creates the node store and line index for capacity nodes and the ROOT node.
void parser_createTree(ParserEnv* env, u32 capacity);

// Installs the compiler's handlers on ienv and for internal assertions.
void parser_installInterpreterCallbacks(ParserEnv* env);

int parser_parseFileWithEnvironment(ParserEnv* env, const char* path);
int parser_parseFile(ParserEnv* env, const char* path);
int parser_check(ParserEnv* env);
// Parses one statement or expression from memory; every node made meanwhile
// is discarded. Returns the status, or -1 on a syntax failure.
int parser_parseString(ParserEnv* env, const char* text);

void parser_add_external_definition(ParserEnv* env, AST* node);

// Stores a label string once and returns its string id; equal texts share an id.
u32 parser_addLabelString(ParserEnv* env, const char* text);

void parser_new_coment(ParserEnv* env);
void parser_add_to_comment(ParserEnv* env, char character);
void parser_close_coment(ParserEnv* env);
u32 parser_add_numeric_string(ParserEnv* env, const char* spelling);
