// Helpers of the grammar's actions. The grammar's own state (list tails, the
// recorded header line, the string-mode result) lives in the parser context's
// grammar slot.
#include "grammar_support.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "def_expression.h"
#include "def_type.h"
#include "id_map.h"
#include "lexer_support.h"
#include "parser_error.h"

namespace {

struct GrammarState {
  // Last LIST cell of each list under construction, by the id of its first
  // cell, so that appending to a long statement or argument list never walks it.
  IdMap listTails;
  u32 headerLine = 0;
  u32 stringResult = NO_ID;
};

GrammarState& state(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  if (!pctx->grammarState) pctx->grammarState = std::make_shared<GrammarState>();
  return *static_cast<GrammarState*>(pctx->grammarState.get());
}

// The last cell of list: the remembered tail, else found by walking (a list
// that the grammar did not build itself).
AST* lastCell(ParserEnv* env, AST* list) {
  program* p = env->program;
  const u32 found = state(env).listTails.find(AST_id(p, list));
  AST* last = list;
  // A remembered tail is trusted only while it still ends a list: ids of nodes
  // discarded by a nested string parse may have been reused since.
  if (found != NO_ID && found < AST_getTreeNodesCount(p)) {
    AST* tail = AST_fromId(p, found);
    if (tail->op == LIST && tail->right == NO_ID) last = tail;
  }
  while (last->right != NO_ID) last = AST_fromId(p, last->right);
  return last;
}

}  // namespace

void grammar_beginParse(ParserEnv* env) {
  GrammarState& grammar = state(env);
  grammar.listTails.clear();
  grammar.stringResult = NO_ID;
}

void grammar_endDeclaration(ParserEnv* env) {
  // A list appended to later is found again by walking it.
  state(env).listTails.clear();
}

u32 grammar_line(ParserEnv* env, void* scanner) {
  return scanner != nullptr ? lexer_currentLine(scanner) : env->pctx->lineno;
}

AST* grammar_makeNode(ParserEnv* env, void* scanner, u32 op, AST* left, AST* right) {
  return AST_makeNodeVal(env->program, op, 0, 0, left, right, grammar_line(env, scanner));
}

AST* grammar_makeLineLiteral(ParserEnv* env, void* scanner) {
  // The line is positive, so its sign extension leaves the high word zero.
  u32 line = grammar_line(env, scanner);
  return AST_makeNodeVal(env->program, INTEGER_OP, line, 0, nullptr, nullptr, line);
}

AST* grammar_makeUnsizedSize(ParserEnv* env, void* scanner) {
  return AST_makeNodeVal(env->program, INTEGER_OP, 0xFFFFFFFFu, 0, nullptr, nullptr,
                         grammar_line(env, scanner));
}

AST* grammar_appendCell(ParserEnv* env, void* scanner, AST* list, AST* element) {
  program* p = env->program;
  AST* cell = AST_makeList1(p, element, grammar_line(env, scanner));
  if (list == nullptr) {
    state(env).listTails.set(AST_id(p, cell), AST_id(p, cell));
    return cell;
  }
  lastCell(env, list)->right = AST_id(p, cell);
  state(env).listTails.set(AST_id(p, list), AST_id(p, cell));
  return list;
}

AST* grammar_append(ParserEnv* env, void* scanner, AST* list, AST* element) {
  if (element == nullptr) return list;
  return grammar_appendCell(env, scanner, list, element);
}

void grammar_recordHeaderLine(ParserEnv* env, void* scanner) {
  state(env).headerLine = grammar_line(env, scanner);
}

u32 grammar_headerLine(ParserEnv* env) { return state(env).headerLine; }

void grammar_setNodeLine(ParserEnv* env, AST* node, u32 line) {
  program* p = env->program;
  if (node == nullptr || p->dbg->nodeLine == nullptr) return;
  p->dbg->nodeLine[AST_id(p, node)] = line;
}

void grammar_setStringResult(ParserEnv* env, AST* node) {
  state(env).stringResult = AST_id(env->program, node);
}

AST* grammar_stringResult(ParserEnv* env) {
  return AST_fromId(env->program, state(env).stringResult);
}

u32 grammar_lookupType(ParserEnv* env, AST* name) {
  if (name == nullptr) return NO_ID;
  u32 symbol = name->value.id.id;
  u32 type = defType_lookup(env, symbol);
  if (type == NO_ID) {
    grammar_fail(env, 184, "type \"%s\" do not exist\n", Symbol_getName(env->program, symbol));
  }
  return type;
}

void grammar_fail(ParserEnv* env, int status, const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  parser_failure(env, status, env->pctx->fileName, parser_lineno(env), nullptr, "%s", message);
}

void grammar_failConstantWithoutInit(ParserEnv* env, AST* name) {
  grammar_fail(env, 121, "constant \"%s\" declaration needs an initialization\n",
               Symbol_getName(env->program, name->value.id.id));
}

u32 grammar_processStateType(ParserEnv* env) {
  u32 symbol = defExpr_lookupForSymbol(env, "Process_State");
  return symbol == NO_ID ? NO_ID : defType_lookup(env, symbol);
}
