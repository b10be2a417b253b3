#include "parser_data.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "def_builtins.h"
#include "def_expression.h"
#include "def_process.h"
#include "def_type.h"
#include "grammar_support.h"
#include "interp_api.h"
#include "lexer_support.h"
#include "parser_check.h"
#include "parser_error.h"
#include "parser_path.h"
#include "velk_memory.h"

namespace {

// The one compiler environment of the process, for the interpreter callbacks.
ParserEnv* gParserEnv = nullptr;

template <class T>
T* initialTable(const char* variableName) {
  return static_cast<T*>(memory_alloc(kInitialTableCapacity, sizeof(T), __FILE__, __func__,
                                      __LINE__, variableName));
}

void allocateInitialTables(program* p) {
  p->functionTable = initialTable<FunctionDefinition>("env->program->functionTable");
  p->typeTable = initialTable<TypeDefinition>("env->program->typeTable");
  p->processGlobalInstanceTable =
      initialTable<ProcessGlobalInstance>("env->program->processGlobalInstanceTable");
  p->processInstanceTable = initialTable<ProcessInstance>("env->program->processInstanceTable");
  p->processDefinitionTable =
      initialTable<ProcessDefinition>("env->program->processDefinitionTable");
  p->globalVariableDataInitTable =
      initialTable<DataCell>("env->program->globalVariableDataInitTable");
  p->processStaticVariableDataInitTable =
      initialTable<DataCell>("env->program->processStaticVariableDataInitTable");
  p->constantDataTable = initialTable<DataCell>("env->program->constantDataTable");
  p->globalVariableTable = initialTable<TaggedValue>("env->program->globalVariableTable");
  p->processStaticVariableTable =
      initialTable<TaggedValue>("env->program->processStaticVariableTable");
  p->globalConstantTable = initialTable<TaggedValue>("env->program->globalConstantTable");
  p->stringTable = initialTable<char>("env->program->stringTable");
  p->stringTableIndex = initialTable<u32>("env->program->stringTableIndex");
  DebugInfo* dbg = p->dbg;
  dbg->symbolTableIndex = initialTable<u32>("env->program->dbg->symbolTableIndex");
  dbg->processDefinitionSymbolId = initialTable<u32>("env->program->dbg->processDefinitionSymbolId");
  dbg->globalProcessInstanceSymbolId =
      initialTable<u32>("env->program->dbg->globalProcessInstanceSymbolId");
  dbg->globalVariableSymbolId = initialTable<u32>("env->program->dbg->globalVariableSymbolId");
  dbg->globalConstantSymbolId = initialTable<u32>("env->program->dbg->globalConstantSymbolId");
  dbg->processStaticVariableSymbolId =
      initialTable<u32>("env->program->dbg->processStaticVariableSymbolId");
  dbg->typeSymbolId = initialTable<u32>("env->program->dbg->typeSymbolId");
  dbg->functionSymbolId = initialTable<u32>("env->program->dbg->functionSymbolId");
  dbg->processInstanceSymbolId = initialTable<u32>("env->program->dbg->processInstanceSymbolId");
  dbg->symbolTable = initialTable<char>("env->program->dbg->symbolTable");
}

void parser_exitFromInterpreter(InterpEnv*, size_t line, int) {
  const char* name = gParserEnv != nullptr ? gParserEnv->pctx->sourceFileName.c_str() : "";
  std::printf("[ERROR] %s:Line %zu: an error occurred while constant value evaluation\n", name, line);
  std::fflush(stdout);
  std::exit(7);
}

TaggedValue parser_invalidOpFromInterpreter(InterpEnv*, AST*, u32 code) {
  const char* name = interp_invalidOperationName(code, InvalidOpWording::Diagnostic);
  if (name == nullptr) name = "invalid operation";
  if (gParserEnv != nullptr) parser_operationError(gParserEnv, name);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

[[noreturn]] void compilerAssertion(const char* file, size_t line, const char* function,
                                    const char* text) {
  std::printf("%s:%d: %s: Assertion '%s' failed", file, static_cast<int>(line), function, text);
  std::fflush(stdout);
  std::exit(-1);
}

void callback_assert(InterpEnv*, bool condition, const char* file, size_t line,
                     const char* function, const char* text) {
  if (!condition) compilerAssertion(file, line, function, text);
}

void compilerAssertHandler(const char* file, int line, const char* function, const char* text) {
  compilerAssertion(file, static_cast<size_t>(line), function, text);
}

// Appends a NUL-terminated text to a growable byte buffer, recording its offset.
u32 appendIndexedText(std::vector<char>& buffer, std::vector<u32>& index, const char* text) {
  index.push_back(static_cast<u32>(buffer.size()));
  buffer.insert(buffer.end(), text, text + std::strlen(text) + 1);
  return static_cast<u32>(index.size() - 1);
}

}  // namespace

ParserEnv* parser_initTables() {
  auto env = std::make_unique<ParserEnv>();
  env->pctx = std::make_unique<ParserContext>().release();
  env->program = program_create();
  allocateInitialTables(env->program);
  // The embedded interpreter evaluates constants on the very image being built;
  // it borrows it and never frees it.
  env->ienv = interp_create();
  interp_load_from_parser(env->ienv, env->program);
  gParserEnv = env.get();
  return env.release();
}

void parser_freeEnv(ParserEnv* env) {
  if (env == nullptr) return;
  if (gParserEnv == env) gParserEnv = nullptr;
  std::unique_ptr<ParserContext> pctx(env->pctx);
  std::unique_ptr<ParserEnv> owned(env);
}

void parser_freeAll(ParserEnv* env) {
  if (env == nullptr) return;
  if (env->ienv != nullptr) {
    env->ienv->program = nullptr;  // borrowed from the compiler
    interp_freeEnv(env->ienv);
    env->ienv = nullptr;
  }
  if (env->program != nullptr) {
    free_program(env->program);
    MEMORY_FREE(env->program);
  }
  parser_freeEnv(env);
}

void parser_createTree(ParserEnv* env, u32 capacity) {
  program* p = env->program;
  AST_createTree(p, capacity);
  p->infoProg->n_AST = 0;
  AST_createLineIndex(p, capacity);
  p->root = AST_makeNodeVal(p, ROOT, 0, 0, nullptr, nullptr, 0);
  env->pctx->externalDefinitions = p->root;
  parser_initBaseTypes(env);
  defStmt_initPostSymbols(env);
  parser_initBuiltinCalls(env);
}

void parser_installInterpreterCallbacks(ParserEnv* env) {
  env_on_exit(env->ienv, parser_exitFromInterpreter);
  interpreter_on_invalid_op(env->ienv, parser_invalidOpFromInterpreter);
  env_on_assert(env->ienv, callback_assert);
  velk_setAssertHandler(compilerAssertHandler);
}

void parser_add_external_definition(ParserEnv* env, AST* node) {
  program* p = env->program;
  AST* head = env->pctx->externalDefinitions;
  u32 cellId = AST_id(p, AST_makeList1(p, node, env->pctx->lineno));
  // The head node (ROOT or a file node) keeps its declaration list in its left child.
  env->pctx->definitionLog.push_back(
      {AST_id(p, node), AST_id(p, head), node != nullptr && node->op == INCLUDE_OP});
  auto [tail, first] = env->pctx->externalDefinitionTails.try_emplace(AST_id(p, head), cellId);
  if (first) {
    head->left = cellId;
  } else {
    AST_fromId(p, tail->second)->right = cellId;
    tail->second = cellId;
  }
}

u32 parser_addLabelString(ParserEnv* env, const char* text) {
  ParserContext* pctx = env->pctx;
  auto found = pctx->labelStringIds.find(text);
  if (found != pctx->labelStringIds.end()) return found->second;
  program* p = env->program;
  InfoProg* info = p->infoProg;
  u32 length = static_cast<u32>(std::strlen(text)) + 1;
  u32 id = info->n_string;
  parser_reallocTable(&p->stringTableIndex, &pctx->capacity.strings, id + 1);
  parser_reallocTable(&p->stringTable, &pctx->capacity.stringStorage,
                      info->stringStorageSize + length);
  p->stringTableIndex[id] = info->stringStorageSize;
  std::memcpy(p->stringTable + info->stringStorageSize, text, length);
  info->stringStorageSize += length;
  info->n_string = id + 1;
  pctx->labelStringIds.emplace(text, id);
  return id;
}

int parser_parseFileWithEnvironment(ParserEnv* env, const char* path) {
  ParserContext* pctx = env->pctx;
  if (const char* pkg = std::getenv("VELK_PKG_PATH")) path_add_include_path(pctx->includePath, pkg);
  std::string installed;
  if (path_installedPackageDirectory(&installed)) {
    path_add_include_path(pctx->includePath, installed.c_str());
  }
  std::string systemLibrary;
  if (lookupFilePath(kSystemLibraryName, nullptr, pctx->includePath, &systemLibrary) != 0) {
    std::fputs("Missing VELK system lib: use -I<path_to_pkg_folder> option or set VELK_PKG_PATH "
               "shell variable to <pkg_folder_location>\n",
               stdout);
    return 1;
  }
  program* p = env->program;
  AST* fileNode =
      AST_makeNodeVal(p, INCLUDE_OP, parser_addLabelString(env, kSystemLibraryName), 0, nullptr,
                      nullptr, 1);
  parser_add_external_definition(env, fileNode);
  AST* previous = pctx->externalDefinitions;
  pctx->externalDefinitions = fileNode;
  std::string canonical;
  if (path_canonical(systemLibrary.c_str(), &canonical) &&
      pctx->includedFileSet.insert(canonical).second) {
    pctx->includedFiles.push_back(canonical);
  }
  parser_parseFile(env, systemLibrary.c_str());
  pctx->externalDefinitions = previous;
  return parser_parseFile(env, path);
}

int parser_parseFile(ParserEnv* env, const char* path) {
  ParserContext* pctx = env->pctx;
  pctx->lineno = 1;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return errno;
  // A directory may open as a stream, but reading it fails inside the scanner.
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return EISDIR;
  }
  std::snprintf(pctx->fileName, sizeof pctx->fileName, "%s", path);
  int parsed = lexer_parseFile(env, file);
  int result = parsed != 0 || pctx->status != 0 ? 22 : 0;
  pctx->lineno = 1;
  if (std::fclose(file) != 0) return errno;
  return result;
}

int parser_check(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  program* p = env->program;
  // From here on diagnostics take the line of the node being checked, never
  // the scanner's leftover line counter.
  pctx->parsing = false;
  const std::string mainFileName =
      pctx->fileName[0] != '\0' ? std::string(pctx->fileName) : pctx->sourceFileName;
  // Each stage runs only when the previous ones found nothing: the compiler
  // stops at its first error (when errors do not end the process, this keeps
  // one error from being reported again as a consequence).
  const int statusBefore = pctx->status;
  auto clean = [&] { return pctx->status == statusBefore; };
  parser_beginChecks(env);
  parser_checkEachFileLinkage(env, mainFileName.c_str());
  if (clean()) parser_checkProgramGlobalLinkage(env, mainFileName.c_str());
  if (clean()) parser_checkType(env);
  if (clean()) parser_checkBuiltinCalls(env);
  u32 initSymbol = defExpr_lookupForSymbol(env, "init");
  p->infoProg->initFunction = initSymbol == NO_ID ? NO_ID : defFunc_lookup(env, initSymbol);
  if (clean()) {
    u32 error = parser_checkOperationValues(env, p->root);
    if (error != OPERR_NONE) parser_operationError(env, opErr_getName(error));
    std::snprintf(pctx->fileName, sizeof pctx->fileName, "%s", mainFileName.c_str());
  }
  parser_endChecks(env);
  return pctx->status != 0 ? 22 : 0;
}

int parser_parseString(ParserEnv* env, const char* text) {
  // String mode: the grammar reads one statement or expression after a '$'.
  program* p = env->program;
  u32 mark = AST_get_tree_size(p);
  env->pctx->definitionLogUsable = false;
  std::string source = std::string("$ ") + text;
  int parsed = lexer_parseString(env, source.c_str());
  AST_set_tree_size(p, mark);
  if (parsed != 0) return -1;
  return env->pctx->status;
}

void parser_new_coment(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  pctx->commentIndex.push_back(static_cast<u32>(pctx->commentsBuffer.size()));
}

void parser_add_to_comment(ParserEnv* env, char character) {
  env->pctx->commentsBuffer.push_back(character);
}

void parser_close_coment(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  pctx->commentsBuffer.push_back('\0');
  u32 index = static_cast<u32>(pctx->commentIndex.size() - 1);
  AST_makeNodeVal(env->program, COMMENT, index, 0, nullptr, nullptr, pctx->lineno);
}

u32 parser_add_numeric_string(ParserEnv* env, const char* spelling) {
  ParserContext* pctx = env->pctx;
  return appendIndexedText(pctx->numericsBuffer, pctx->numericsIndex, spelling);
}
