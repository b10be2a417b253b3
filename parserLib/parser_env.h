// The compiler environment: the program image under construction, the
// interpreter environment that evaluates constants on that same image, and the
// parser context (current file and line, include bookkeeping, comments,
// diagnostics state). Created by parser_initTables, freed by parser_freeEnv.
#pragma once
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ast.h"
#include "interp_env.h"
#include "program.h"

constexpr size_t kFileNameSize = 260;
constexpr size_t kLineTextSize = 500;
constexpr u32 kMaxIncludedFiles = 1000;
constexpr u32 kMaxIncludeDepth = 10;
constexpr u32 kDefaultAstCapacity = 1000000;
constexpr u32 kInitialTableCapacity = 100;

// What an include directive saves of the file that contains it.
struct IncludeLevel {
  char fileName[kFileNameSize];
  void* scannerBuffer;
  u32 lineno;
  AST* externalDefinitions;
};

// One capacity counter per growable image table.
struct TableCapacities {
  u32 functions = kInitialTableCapacity;
  u32 types = kInitialTableCapacity;
  u32 globalProcessInstances = kInitialTableCapacity;
  u32 processInstances = kInitialTableCapacity;
  u32 processDefinitions = kInitialTableCapacity;
  u32 globalVariableData = kInitialTableCapacity;
  u32 processStaticVariableData = kInitialTableCapacity;
  u32 constantData = kInitialTableCapacity;
  u32 globalVariables = kInitialTableCapacity;
  u32 processStaticVariables = kInitialTableCapacity;
  u32 globalConstants = kInitialTableCapacity;
  u32 stringStorage = kInitialTableCapacity;
  u32 strings = kInitialTableCapacity;
  u32 symbols = kInitialTableCapacity;
  u32 symbolStorage = kInitialTableCapacity;
};

struct ParserContext {
  u32 lineno = 1;
  char fileName[kFileNameSize] = {};
  int status = 0;
  bool exitOnError = false;
  bool parsing = true;
  u32 checkedNode = NO_ID;
  char lineText[kLineTextSize] = {};
  std::string includePath;
  // Canonical absolute paths of the files included so far, in order, with a
  // hash index for the include-once test.
  std::vector<std::string> includedFiles;
  std::unordered_set<std::string> includedFileSet;
  IncludeLevel includeStack[kMaxIncludeDepth] = {};
  u32 includeDepth = 0;
  // The list that top-level declarations are appended to: the root list for the
  // main file, or the file node's list of the file being read.
  AST* externalDefinitions = nullptr;
  // Last LIST cell of each external definition list, by the id of its head
  // node, so that appending a declaration never walks the list.
  std::unordered_map<u32, u32> externalDefinitionTails;
  // Every node appended to an external definition list, in order, with the
  // list's head: with includes read in place, the order of a walk of the
  // lists. The checks take the program's declarations from it rather than
  // walking the lists again; a parse that drops nodes (string mode) makes it
  // unusable, and the checks then walk.
  struct DefinitionLogEntry {
    u32 node;
    u32 head;
    bool file;  // an included file's node, whose list follows
  };
  std::vector<DefinitionLogEntry> definitionLog;
  bool definitionLogUsable = true;
  std::vector<char> commentsBuffer;
  std::vector<u32> commentIndex;
  std::vector<char> numericsBuffer;
  std::vector<u32> numericsIndex;
  TableCapacities capacity;
  // Label strings already stored, by text, so that equal strings share an id.
  std::unordered_map<std::string, u32> labelStringIds;
  // The source file as named on the command line (constant-evaluation reports).
  std::string sourceFileName;
  // Per-module compiler state (scopes, symbol indexes, prototype tables...):
  // each semantic module keeps its own record here, created on first use and
  // freed with the context.
  std::shared_ptr<void> typeState;
  std::shared_ptr<void> exprState;
  std::shared_ptr<void> varState;
  std::shared_ptr<void> procState;
  std::shared_ptr<void> builtinState;
  std::shared_ptr<void> lexerState;
  std::shared_ptr<void> grammarState;
  // What the whole-program checks share while parser_check runs them.
  std::shared_ptr<void> checkState;
};

struct ParserEnv {
  struct program* program = nullptr;
  InterpEnv* ienv = nullptr;
  ParserContext* pctx = nullptr;
};
