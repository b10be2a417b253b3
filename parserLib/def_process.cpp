#include "def_process.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "ast_list.h"
#include "call_codes.h"
#include "def_expression.h"
#include "def_type.h"
#include "def_variable.h"
#include "id_map.h"
#include "parser_data.h"
#include "parser_error.h"
#include "source_walk.h"
#include "system_records.h"
#include "velk_typing.h"

namespace {

// Per-process parsing state and the name indexes of this module.
struct DefProcState {
  // Declarations of the process being parsed: heads and last cells (ids), so
  // that appending never walks the list.
  u32 staticHead = NO_ID;
  u32 staticTail = NO_ID;
  u32 localHead = NO_ID;
  u32 localTail = NO_ID;
  u32 headerLine = NO_ID;
  // currentSubProcessInstances: node ids, and the first index of each name.
  std::vector<u32> subInstances;
  std::unordered_map<u32, u32> subInstanceIndex;
  // First index of each name in the definition and global instance tables.
  // Entries appended by anyone else are indexed on the next lookup.
  FirstPositionIndex definitionIndex;
  FirstPositionIndex globalInstanceIndex;
  bool postSymbolsAdded = false;
};

DefProcState& state(ParserEnv* env) {
  ParserContext* pctx = env->pctx;
  if (!pctx->procState) pctx->procState = std::make_shared<DefProcState>();
  return *static_cast<DefProcState*>(pctx->procState.get());
}

program* prog(ParserEnv* env) { return env->program; }

u32 currentLine(ParserEnv* env) { return static_cast<u32>(parser_lineno(env)); }

// Reports a failure at the current file and line.
void fail(ParserEnv* env, int status, const char* format, ...) __attribute__((format(printf, 3, 4)));
void fail(ParserEnv* env, int status, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  parser_failure(env, status, env->pctx->fileName, parser_lineno(env), nullptr, "%s", text);
}

void warn(ParserEnv* env, const char* format, ...) __attribute__((format(printf, 2, 3)));
void warn(ParserEnv* env, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  parser_warning(env, 0, env->pctx->fileName, parser_lineno(env), nullptr, "%s", text);
}

AST* makeNode(ParserEnv* env, u32 op, u32 value, AST* left, AST* right) {
  return AST_makeNodeVal(prog(env), op, value, 0, left, right, currentLine(env));
}

u32 symbolOf(const AST* node) { return node == nullptr ? NO_ID : node->value.id.id; }

const char* symbolName(ParserEnv* env, u32 symbol) {
  return symbol == NO_ID ? "" : Symbol_getName(prog(env), symbol);
}

const char* typeName(ParserEnv* env, u32 type) {
  return type < prog(env)->infoProg->n_type ? Type_getName(prog(env), type) : "<unknown>";
}

// The symbol of a declaration's name (the first element of a buffer's name list).
u32 declarationSymbol(ParserEnv* env, const AST* decl) {
  AST* name = AST_left(prog(env), decl);
  if (name != nullptr && name->op == LIST) name = AST_left(prog(env), name);
  return symbolOf(name);
}

// Appends element to the list (head, tail); creates the list on first use.
void appendTracked(ParserEnv* env, u32* head, u32* tail, AST* element) {
  program* p = prog(env);
  AST* cell = AST_makeList1(p, element, currentLine(env));
  if (*head == NO_ID) {
    *head = AST_id(p, cell);
  } else {
    AST_fromId(p, *tail)->right = AST_id(p, cell);
  }
  *tail = AST_id(p, cell);
}

// Grows a table and its debug symbol table to exactly `needed` entries each.
template <class T>
void growWithSymbols(T** table, u32** symbols, u32* capacity, u32 needed) {
  u32 tableCapacity = *capacity;
  parser_reallocTable(table, &tableCapacity, needed);
  u32 symbolCapacity = *capacity;
  parser_reallocTable(symbols, &symbolCapacity, needed);
  *capacity = tableCapacity;
}

u32 typeByName(ParserEnv* env, const char* name) {
  u32 symbol = defExpr_lookupForSymbol(env, name);
  return symbol == NO_ID ? NO_ID : defType_lookup(env, symbol);
}

u32 processInstanceType(ParserEnv* env) { return typeByName(env, "Process_Instance"); }

// The implicit Process_Instance declaration of an instance name.
AST* makeInstanceRecordDeclaration(ParserEnv* env, AST* instanceName) {
  u32 type = processInstanceType(env);
  if (type == NO_ID) return nullptr;
  return makeNode(env, IMPLICIT_VARIABLE_DECL, type, instanceName, nullptr);
}

// How many global instances System.processes can hold: the capacity of its
// queue in the system library, or the default when it cannot be found.
u32 globalInstanceCapacity(ParserEnv* env) {
  u32 system = typeByName(env, "System");
  if (system == NO_ID) return kMaxGlobalProcessInstances;
  program* p = prog(env);
  const TypeDefinition& t = p->typeTable[system];
  for (AST* cell : AST_cells(p, AST_fromId(p, t.fields))) {
    AST* field = AST_left(p, cell);
    if (field == nullptr || std::strcmp(symbolName(env, symbolOf(AST_left(p, field))), "processes") != 0) {
      continue;
    }
    u32 fieldType = field->value.id.type;
    if (fieldType < p->infoProg->n_type && p->typeTable[fieldType].bufferType != NONE_BUFFER &&
        p->typeTable[fieldType].size != NO_ID) {
      return p->typeTable[fieldType].size;
    }
  }
  return kMaxGlobalProcessInstances;
}

// Index of the definition named symbol, appending an empty record when new.
u32 findOrCreateDefinition(ParserEnv* env, u32 symbol) {
  u32 id = defProc_lookupDefinition(env, symbol);
  if (id != NO_ID) return id;
  program* p = prog(env);
  id = p->infoProg->n_processDefinitions;
  growWithSymbols(&p->processDefinitionTable, &p->dbg->processDefinitionSymbolId,
                  &env->pctx->capacity.processDefinitions, id + 1);
  p->processDefinitionTable[id] = {NO_ID, NO_ID, NO_ID, NO_ID, NO_ID, NO_ID, 0, 0, 0};
  p->dbg->processDefinitionSymbolId[id] = symbol;
  p->infoProg->n_processDefinitions = id + 1;
  return id;
}

// Sets every transition of every state to the first state of its target's name.
void linkTransitions(ParserEnv* env, AST* states) {
  program* p = prog(env);
  std::unordered_map<u32, u32> firstStateByName;
  for (AST* cell : AST_cells(p, states)) {
    AST* s = AST_left(p, cell);
    VELK_ASSERT_TEXT(s != nullptr && s->op == NAMED_STATE_STATEMENT, "NAMED_STATE_STATEMENT == state->op");
    firstStateByName.emplace(s->value.id.id, AST_id(p, s));
  }
  for (AST* cell : AST_cells(p, states)) {
    AST* declaration = AST_right(p, AST_left(p, cell));
    VELK_ASSERT_TEXT(declaration != nullptr && declaration->op == STATE_DCL, "STATE_DCL == AST_right(state)->op");
    for (AST* t : AST_cells(p, AST_right(p, declaration))) {
      AST* transition = AST_left(p, t);
      VELK_ASSERT_TEXT(transition != nullptr && (transition->op == ON_OP || transition->op == AFTER_OP),
                       "transition->op == ON_OP || transition->op == AFTER_OP");
      AST* body = AST_left(p, transition);
      VELK_ASSERT_TEXT(body != nullptr && body->op == TRANSITION_BODY, "TRANSITION_BODY == body->op");
      body->value.uinteger = NO_ID;
      auto found = firstStateByName.find(transition->value.id.id);
      if (found != firstStateByName.end()) body->value.uinteger = found->second;
    }
  }
}

// The type of an expression, or NO_ID (already reported) when it has none.
u32 typeOf(ParserEnv* env, AST* expression) { return defType_evaluate(env, expression); }

// Checks that expression has type `expected`; else reports `format` with the
// offending type's name. A type error reported earlier fails silently.
bool expectType(ParserEnv* env, AST* expression, u32 expected, int status, const char* format) {
  u32 type = typeOf(env, expression);
  if (type == NO_ID) return false;
  if (type == expected) return true;
  char text[4096];
  std::snprintf(text, sizeof text, format, typeName(env, type));
  fail(env, status, "%s", text);
  return false;
}

// The unit table of durations: names and the node each unit builds.
struct DurationUnit {
  const char* name;
  u32 op;
};
constexpr DurationUnit kDurationUnits[] = {
    {"s", S_LITERAL_OP}, {"ms", MS_LITERAL_OP}, {"us", US_LITERAL_OP},
    {"ns", NS_LITERAL_OP}, {"ps", FREQUENCY_OP},
};
constexpr u64 kMaxSecondsForPeriod = 4294967;

}  // namespace

// ---------------------------------------------------------------------------
// Definitions and prototypes.

void defProc_setHeaderLine(ParserEnv* env, u32 line) { state(env).headerLine = line; }

u32 defProc_lookupDefinition(ParserEnv* env, u32 symbol) {
  DefProcState& s = state(env);
  program* p = prog(env);
  return s.definitionIndex.find(p->dbg->processDefinitionSymbolId, p->infoProg->n_processDefinitions,
                               symbol);
}

u32 defProc_lookupGlobalInstance(ParserEnv* env, u32 symbol) {
  DefProcState& s = state(env);
  program* p = prog(env);
  return s.globalInstanceIndex.find(p->dbg->globalProcessInstanceSymbolId,
                                    p->infoProg->n_globalProcessInstances, symbol);
}

AST* defProc_declareStateMachinePrototype(ParserEnv* env, AST* name, AST* parameters) {
  program* p = prog(env);
  u32 id = findOrCreateDefinition(env, symbolOf(name));
  ProcessDefinition& d = p->processDefinitionTable[id];
  // A prototype written after the definition must not erase it; the two
  // parameter lists are compared by the program checks.
  if (d.states == NO_ID) d = {AST_id(p, parameters), NO_ID, NO_ID, NO_ID, NO_ID, NO_ID, 0, 0, 0};
  return makeNode(env, PROCESS_PROTOTYPE, symbolOf(name), parameters, nullptr);
}

AST* defProc_declareStateMachine(ParserEnv* env, AST* name, AST* parameters, AST* subInstances,
                                 AST* commonBlock, AST* states, AST* finallyBlock) {
  program* p = prog(env);
  DefProcState& s = state(env);
  u32 id = findOrCreateDefinition(env, symbolOf(name));
  AST* statics = AST_fromId(p, s.staticHead);
  AST* locals = AST_fromId(p, s.localHead);
  p->processDefinitionTable[id] = {AST_id(p, parameters),      s.staticHead,
                                   AST_id(p, subInstances),    s.localHead,
                                   AST_id(p, commonBlock),     AST_id(p, states),
                                   AST_id(p, finallyBlock),    AST_listSize(p, subInstances),
                                   AST_listSize(p, statics)};
  linkTransitions(env, states);

  u32 line = s.headerLine != NO_ID ? s.headerLine : currentLine(env);
  AST* parts = AST_makeList3(p, statics, subInstances, locals, line);
  AST_addListLast(p, parts, commonBlock, line);
  AST_addListLast(p, parts, states, line);
  AST_addListLast(p, parts, finallyBlock, line);
  AST* node = AST_makeNodeVal(p, PROCESS_DECLARATION, symbolOf(name), 0, parameters, parts, line);

  if (locals != nullptr) defVar_clearLocals(env, locals);
  defVar_clearStatics(env);
  s.staticHead = s.staticTail = NO_ID;
  s.localHead = s.localTail = NO_ID;
  s.headerLine = NO_ID;
  return node;
}

AST* defProc_addStaticVariable(ParserEnv* env, AST* decl) {
  DefProcState& s = state(env);
  appendTracked(env, &s.staticHead, &s.staticTail, decl);
  return decl;
}

AST* defProc_addVariable(ParserEnv* env, AST* decl) {
  DefProcState& s = state(env);
  appendTracked(env, &s.localHead, &s.localTail, decl);
  return decl;
}

AST* defProc_getStaticVariables(ParserEnv* env) { return AST_fromId(prog(env), state(env).staticHead); }
AST* defProc_getVariables(ParserEnv* env) { return AST_fromId(prog(env), state(env).localHead); }

// ---------------------------------------------------------------------------
// Sub-process instances.

AST* defProc_makeInstance(ParserEnv* env, AST* definitionName, AST* instanceName) {
  // The definition may follow the enclosing process: resolved by the checks.
  u32 definition = defProc_lookupDefinition(env, symbolOf(definitionName));
  AST* reference = makeNode(env, INDEX_NODE, definition, definitionName, nullptr);
  AST* self = makeNode(env, INDEX_NODE, symbolOf(instanceName), nullptr, nullptr);
  AST* node = makeNode(env, PROCESS_INSTANCE_NODE, symbolOf(instanceName), reference, self);
  // Each instance of the enclosing process gets its own record of this one:
  // an implicit static, allocated per instance like the declared statics.
  AST* record = defVar_makeAndDeclareSubProcessInstanceData(env, instanceName);
  if (record != nullptr) {
    // Declared as a static, it stays an implicit declaration in the list: the
    // interpreter finds a sub-instance's record by that kind and its name.
    record->op = IMPLICIT_VARIABLE_DECL;
    defProc_addStaticVariable(env, record);
  }
  return node;
}

void defProc_declareLocalInstance(ParserEnv* env, AST* instanceNode) {
  VELK_ASSERT_TEXT(instanceNode != nullptr && instanceNode->op == PROCESS_INSTANCE_NODE,
                   "PROCESS_INSTANCE_NODE == instanceNode->op");
  DefProcState& s = state(env);
  s.subInstanceIndex.emplace(instanceNode->value.id.id, static_cast<u32>(s.subInstances.size()));
  s.subInstances.push_back(AST_id(prog(env), instanceNode));
}

u32 defProc_lookupLocalInstance(ParserEnv* env, u32 symbol) {
  DefProcState& s = state(env);
  auto found = s.subInstanceIndex.find(symbol);
  return found == s.subInstanceIndex.end() ? NO_ID : found->second;
}

AST* defProc_getLocalInstance(ParserEnv* env, u32 index) {
  DefProcState& s = state(env);
  return index < s.subInstances.size() ? AST_fromId(prog(env), s.subInstances[index]) : nullptr;
}

void defProc_clearLocalInstances(ParserEnv* env) {
  DefProcState& s = state(env);
  s.subInstances.clear();
  s.subInstanceIndex.clear();
}

// ---------------------------------------------------------------------------
// Global instances.

AST* defProc_define_global_process_implicit(ParserEnv* env, AST* instanceName) {
  AST* record = makeInstanceRecordDeclaration(env, instanceName);
  if (record == nullptr) return nullptr;
  defVar_declareGlobal(env, record);
  parser_add_external_definition(env, record);
  return record;
}

namespace {

constexpr u64 kFarTiming = u64{1} << 63;

void warnFarTiming(ParserEnv* env, const char* what, AST* value) {
  if (value == nullptr || !defExpr_isConst(env, value)) return;
  bool far = false;
  u64 picoseconds = 0;
  defExpr_withValue(env, value, [&](TaggedValue v) {
    far = v.typeId == TypeTime && *v.value >= kFarTiming;
    if (far) picoseconds = *v.value;
  });
  if (far) {
    warn(env, "%s of %llu ps is 2^63 ps (about 106 days) or more\n", what,
         static_cast<unsigned long long>(picoseconds));
  }
}

// The timing field a field access reaches in a Process_Instance record, or
// nullptr: period, offset and jitter drive the activation times.
const char* timingField(ParserEnv* env, AST* target) {
  program* p = prog(env);
  if (target == nullptr || target->op != CALL_OP) return nullptr;
  AST* access = AST_left(p, target);
  if (access == nullptr || access->op != INDEX_NODE || access->value.id.id != kCallFieldCustom) {
    return nullptr;
  }
  AST* object = AST_left(p, access);
  AST* offset = AST_right(p, access);
  if (object == nullptr || offset == nullptr) return nullptr;
  const char* field = nullptr;
  switch (offset->value.uinteger) {
    case PI_PERIOD: field = "period"; break;
    case PI_OFFSET: field = "offset"; break;
    case PI_JITTER: field = "jitter"; break;
    default: return nullptr;
  }
  // Named rather than looked up: assignments are many, the symbol search is linear.
  const u32 type = defType_evaluate(env, object);
  if (type >= p->infoProg->n_type ||
      std::strcmp(Type_getName(p, type), "Process_Instance") != 0) {
    return nullptr;
  }
  return field;
}

}  // namespace

void defProc_checkTimingAssignment(ParserEnv* env, AST* target, AST* value) {
  if (const char* field = timingField(env, target)) warnFarTiming(env, field, value);
}

AST* defProc_defineGlobalInstance(ParserEnv* env, AST* definitionName, AST* instanceName,
                                  AST* timing, AST* condition, AST* parameters) {
  program* p = prog(env);
  AST* period = timing != nullptr ? AST_list1st(p, timing) : nullptr;
  AST* offset = timing != nullptr && timing->right != NO_ID ? AST_list2nd(p, timing) : nullptr;
  if (period != nullptr &&
      !expectType(env, period, TypeTime, 212,
                  "duration or frequency expected for time trigger but type \"%s\" found\n")) {
    return nullptr;
  }
  if (offset != nullptr &&
      !expectType(env, offset, TypeTime, 212, "duration expected for offset but type \"%s\" found\n")) {
    return nullptr;
  }
  if (condition != nullptr &&
      !expectType(env, condition, TypeBoolean, 212,
                  "boolean expression expected for process condition but type \"%s\" found\n")) {
    return nullptr;
  }
  warnFarTiming(env, "period", period);
  warnFarTiming(env, "offset", offset);

  u32 definition = defProc_lookupDefinition(env, symbolOf(definitionName));
  if (definition != NO_ID) {
    InfoProg* info = p->infoProg;
    u32 capacity = globalInstanceCapacity(env);
    if (info->n_globalProcessInstances >= capacity) {
      fail(env, 212, "too many global process instances (at most %u)\n", capacity);
      return nullptr;
    }
    u32 id = info->n_globalProcessInstances;
    growWithSymbols(&p->processGlobalInstanceTable, &p->dbg->globalProcessInstanceSymbolId,
                    &env->pctx->capacity.globalProcessInstances, id + 1);
    p->dbg->globalProcessInstanceSymbolId[id] = symbolOf(instanceName);
    p->processGlobalInstanceTable[id] = {0,
                                         AST_id(p, period),
                                         AST_id(p, offset),
                                         AST_id(p, parameters),
                                         AST_id(p, condition),
                                         NO_ID,
                                         0,
                                         0};
    info->n_globalProcessInstances = id + 1;
  }

  AST* reference = makeNode(env, INDEX_NODE, definition, definitionName, nullptr);
  u32 line = currentLine(env);
  AST* parts = AST_makeList3(p, nullptr, nullptr, nullptr, line);
  AST_getListNthRoot(p, parts, 0)->left = AST_id(p, parameters);
  AST_getListNthRoot(p, parts, 1)->left = AST_id(p, timing);
  AST_getListNthRoot(p, parts, 2)->left = AST_id(p, condition);
  return makeNode(env, PROCESS_INSTANCE_NODE, symbolOf(instanceName), reference, parts);
}

// ---------------------------------------------------------------------------
// States, transitions, named blocks.

AST* defProc_makeTransition(ParserEnv* env, u32 kind, AST* targetState, AST* condition,
                            AST* duration, AST* statements) {
  VELK_ASSERT_TEXT(kind == ON_OP || kind == AFTER_OP, "kind == ON_OP || kind == AFTER_OP");
  AST* body = nullptr;
  if (kind == AFTER_OP) {
    if (!expectType(env, duration, TypeTime, 209,
                    "duration expected after \"after\" token but type \"%s\" found\n")) {
      return nullptr;
    }
    if (condition != nullptr &&
        !expectType(env, condition, TypeBoolean, 210,
                    "boolean expression expected after \"if\" token in \"after\" transition but type \"%s\" found\n")) {
      return nullptr;
    }
    body = makeNode(env, TRANSITION_BODY, NO_ID, duration, condition);
  } else {
    if (!expectType(env, condition, TypeBoolean, 208,
                    "boolean expression expected after \"on\" token but type \"%s\" found\n")) {
      return nullptr;
    }
    body = makeNode(env, TRANSITION_BODY, NO_ID, condition, nullptr);
  }
  return makeNode(env, kind, symbolOf(targetState), body, statements);
}

AST* process_makeState(ParserEnv* env, AST* name, AST* statements, AST* transitions) {
  program* p = prog(env);
  VELK_ASSERT_TEXT(name != nullptr, "state name != NULL");
  AST* names = name->op == LIST ? name : AST_makeList1(p, name, currentLine(env));
  AST* declaration = AST_left(p, names);
  AST* stateNode = makeNode(env, NAMED_STATE_STATEMENT, declarationSymbol(env, declaration), names,
                            makeNode(env, STATE_DCL, 0, statements, transitions));
  defVar_clearLocals(env, names);
  return stateNode;
}

AST* makeNamedBlock(ParserEnv* env, AST* name, AST* block) {
  if (name == nullptr) return block;
  program* p = prog(env);
  AST* names = name->op == LIST ? name : AST_makeList1(p, name, currentLine(env));
  AST* node = makeNode(env, NAMED_BLOCK, 0, names, AST_makeList1(p, block, currentLine(env)));
  defVar_clearLocals(env, names);
  return node;
}

// ---------------------------------------------------------------------------
// Annotations.

AST* defineAnnotation(ParserEnv* env, AST* path, AST* item) {
  program* p = prog(env);
  constexpr int kStatus = 204;
  const u32 length = AST_listSize(p, path);
  auto nameAt = [&](u32 n) { return symbolName(env, symbolOf(AST_getListNth(p, path, n))); };
  if (length == 0 || std::strcmp(nameAt(0), "velk") != 0) {
    return makeNode(env, USER_ANNOTATION, 0, item, path);
  }
  if (length == 2) {
    const char* domain = nameAt(1);
    if (std::strcmp(domain, "time") == 0) return makeNode(env, TIME_ANNOTATION, NO_ID, item, path);
    if (std::strcmp(domain, "hardware") == 0) {
      return makeNode(env, HARDWARE_ANNOTATION, NO_ID, item, path);
    }
    fail(env, kStatus, "unknown VELK annotation domain %s \n", domain);
    return nullptr;
  }
  if (length != 3) {
    fail(env, kStatus, "VELK annotation requires domain specialisatiop (e.g. @velk:time) \n");
    return nullptr;
  }
  const char* domain = nameAt(1);
  u32 variableSymbol = symbolOf(AST_getListNth(p, path, 2));
  const char* variable = symbolName(env, variableSymbol);
  u32 global = defVar_lookupGlobal(env, variableSymbol);
  if (global == NO_ID) {
    fail(env, kStatus, "unknown variable %s associated to  annotation\n", variable);
    return nullptr;
  }
  if (std::strcmp(domain, "time") == 0) {
    u32 instance = defProc_lookupGlobalInstance(env, variableSymbol);
    if (instance == NO_ID) {
      fail(env, kStatus, "variable %s associated to annotation is not a process instance\n", variable);
      return nullptr;
    }
    ProcessGlobalInstance& record = p->processGlobalInstanceTable[instance];
    if (record.annotation != NO_ID) {
      fail(env, kStatus, "process %s already has a timing annotation\n", variable);
      return nullptr;
    }
    AST* node = makeNode(env, PROCESS_ANNOTATION, global, item, path);
    record.annotation = AST_id(p, node);
    return node;
  }
  if (std::strcmp(domain, "hardware") == 0) return makeNode(env, HARDWARE_ANNOTATION, global, item, path);
  fail(env, kStatus, "unknown annotation domain %s for variable %s\n", domain, variable);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Parameters.

AST* defParam_make(ParserEnv* env, u32 type, AST* name, u32 direction) {
  const bool channel = type != NO_ID && defType_isChannel(env, type);
  u32 op = direction == 0 ? (channel ? IN_CHANNEL_PARAM : IN_PARAM)
                          : (channel ? OUT_CHANNEL_PARAM : OUT_PARAM);
  AST* parameter = makeNode(env, op, type, name, nullptr);
  // Parameters live in the local scope of the body; the grammar pops them
  // with the parameter list when the declaration ends.
  defVar_declareLocal(env, parameter);
  return parameter;
}

u32 compareParameters(ParserEnv* env, AST* actuals, AST* formals, ParameterComparison* details) {
  program* p = prog(env);
  ParameterComparison local;
  ParameterComparison& d = details != nullptr ? *details : local;
  AST* a = actuals;
  AST* f = formals;
  for (d.position = 0; a != nullptr && f != nullptr;
       a = AST_right(p, a), f = AST_right(p, f), ++d.position) {
    AST* formal = AST_left(p, f);
    AST* actual = AST_left(p, a);
    if (formal->left != NO_ID) d.formalName = symbolOf(AST_left(p, formal));
    u32 actualType = NO_ID;
    u32 matchedType = NO_ID;
    if (!defExpr_matchExpectedType(env, formal->value.id.type, actual, &actualType, &matchedType)) {
      d.matched = false;
      d.formalType = formal->value.id.type;
      d.actualType = actualType;
      d.matchedType = matchedType;
      return 2;
    }
    if (formal->op == OUT_PARAM && actual->op != OUT_PARAM && !defExpr_isWritable(env, actual)) {
      return 3;
    }
  }
  if (a == nullptr && f == nullptr) return 0;
  if (a != nullptr) return 1;
  if (f->right == NO_ID && AST_left(p, f) != nullptr && AST_left(p, f)->op == OUT_PARAM) return 4;
  return 1;
}

bool parameterListMach(ParserEnv* env, AST* a, AST* b) {
  program* p = prog(env);
  // An explicit stack: parameter lists can be long, their chains deep.
  std::vector<std::pair<AST*, AST*>> pending{{a, b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x == nullptr || y == nullptr) {
      if (x != y) return false;
      continue;
    }
    if (x->op != y->op || x->value.uinteger != y->value.uinteger) return false;
    pending.emplace_back(AST_left(p, x), AST_left(p, y));
    pending.emplace_back(AST_right(p, x), AST_right(p, y));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Buffers and array indexing.

AST* defBuff_makeDefinition(ParserEnv* env, u32 bufferType, AST* name, AST* size, AST* initializer,
                            bool isConstant) {
  program* p = prog(env);
  defVar_checkSameScopeDeclaration(env, symbolOf(name));
  if (bufferType == NO_ID || bufferType >= p->infoProg->n_type) return nullptr;
  const TypeDefinition& t = p->typeTable[bufferType];
  if (t.bufferType == NONE_BUFFER) {
    fail(env, 179, "type \"%s\" is not a buffer type\n", typeName(env, bufferType));
    return nullptr;
  }
  if (t.bufferType == CHANNEL_BUFFER) {
    fail(env, 187, "abstract type \"channel\" not allowed for buffer declaration\n");
    return nullptr;
  }
  if (initializer != nullptr) {
    initializer = defVar_prepareInitializer(env, initializer, bufferType);
    if (initializer == nullptr) return nullptr;
  }
  AST* names = AST_makeList2(p, name, size, currentLine(env));
  return makeNode(env, isConstant ? CONSTANT_ARRAY_DECL_OP : VARIABLE_BUFFER_DECL_OP, bufferType, names,
                  initializer);
}

AST* defBuff_makeArrayCall(ParserEnv* env, AST* array, AST* index) {
  program* p = prog(env);
  u32 arrayType = typeOf(env, array);
  if (arrayType == NO_ID) return nullptr;
  if (!defType_isArray(env, arrayType)) {
    fail(env, 150, "symbol type \"%s\" is not an array type\n", typeName(env, arrayType));
    return nullptr;
  }
  u32 indexType = typeOf(env, index);
  if (indexType == NO_ID) return nullptr;
  if (indexType > TypeSInt64) {
    fail(env, 152, "positive integer type expected, but \"%s\" found\n", typeName(env, indexType));
    return nullptr;
  }
  bool constant = defExpr_isConst(env, index) && defExpr_canExecAtCompileTime(env, index);
  if (constant) {
    u64 position = 0;
    bool badConversion = false;
    // A value that cannot be computed now is checked as a variable index.
    constant = defExpr_withValue(env, index, [&](TaggedValue value) {
      u32 flags = 0;
      position = primTypeToUInt64(value, &flags);
      badConversion = (flags & (CONV_NEG_TO_WIDER_UNSIGNED | CONV_NEG_TO_UNSIGNED |
                                CONV_OVERFLOW | CONV_UNDERFLOW)) != 0;
    });
    const u32 size = p->typeTable[arrayType].size;
    // An unsized array (size NO_ID) has no bound known here.
    if (constant && (badConversion || (size != NO_ID && position >= size))) {
      fail(env, 155, "index value is out of array bounds (0 to %u)\n", size - 1);
      return nullptr;
    }
  }
  if (!constant) {
    if (indexType == TypeUInt64 || indexType == TypeSInt64) {
      fail(env, 151, "64 bits integer type variables are forbidden as array index\n");
      return nullptr;
    }
    if (isSignedIntType(indexType)) warn(env, "signed integer variable as array index\n");
  }
  return makeNode(env, ARRAY_INDEX_OP, 0, array, index);
}

// ---------------------------------------------------------------------------
// Iterators.

AST* defIter_makeDeclaration(ParserEnv* env, AST* name, AST* bufferExpression) {
  u32 bufferType = bufferExpression != nullptr ? typeOf(env, bufferExpression) : NO_ID;
  u32 iteratorType = NO_ID;
  if (bufferType != NO_ID) {
    iteratorType = defType_searchIterator(env, bufferType);
    if (iteratorType == NO_ID) iteratorType = defType_declareIterator(env, bufferType);
  }
  AST* declaration = makeNode(env, ITERATOR_DECL_OP, iteratorType, name, bufferExpression);
  // The local's record keeps the buffer expression (the declaration's right child).
  defVar_declareLocal(env, declaration);
  return declaration;
}

AST* defIter_getBufferExpr(ParserEnv* env, AST* iterator) {
  if (iterator == nullptr) return nullptr;
  program* p = prog(env);
  if (iterator->op == ITERATOR_DECL_OP) return AST_right(p, iterator);
  AST* index = AST_left(p, iterator);
  VELK_ASSERT_TEXT(iterator->op == LOCAL_VAR && index != nullptr && defType_isIterator(env, iterator->value.id.type),
                   "iterator is a local variable of an iterator type");
  return defVar_getLocalIteratorBuffer(env, index->value.id.id);
}

// ---------------------------------------------------------------------------
// Durations.

void defStmt_initPostSymbols(ParserEnv* env) {
  DefProcState& s = state(env);
  if (s.postSymbolsAdded) return;
  for (const DurationUnit& unit : kDurationUnits) defExpr_lookupOrAddSymbol(env, unit.name);
  s.postSymbolsAdded = true;
}

AST* defStmt_makePostSymbolCall(ParserEnv* env, AST* operand, AST* unitSymbol) {
  defStmt_initPostSymbols(env);
  const char* unitName = symbolName(env, symbolOf(unitSymbol));
  u32 op = NO_ID;
  for (const DurationUnit& unit : kDurationUnits) {
    if (std::strcmp(unit.name, unitName) == 0) op = unit.op;
  }
  if (op == NO_ID) {
    fail(env, 216, "unknown post symbol \"%s\"\n", unitName);
    return nullptr;
  }
  if (operand != nullptr && operand->op == INTEGER_OP) return makeDuration(env, operand, op);
  return makeDurationExp(env, operand, op);
}

AST* makeDuration(ParserEnv* env, AST* literal, u32 unitOp) {
  const u64 count = literal->value.uinteger;
  if (!defExpr_checkDurationCount(env, unitOp, count, currentLine(env))) return nullptr;
  if (unitOp == S_LITERAL_OP) {
    if (count > kMaxSecondsForPeriod) {
      warn(env,
           "too big second unit duration value for period() function (period() max for second unit "
           "is %llu)\n",
           static_cast<unsigned long long>(kMaxSecondsForPeriod));
    }
  }
  return AST_makeNodeVal(prog(env), unitOp, static_cast<u32>(count), static_cast<u32>(count >> 32),
                         nullptr, nullptr, currentLine(env));
}

AST* makeDurationExp(ParserEnv* env, AST* expression, u32 unitOp) {
  u32 type = typeOf(env, expression);
  if (type == NO_ID) return nullptr;
  if (type != TypeInt && type != TypeUInt8 && type != TypeUInt16 && type != TypeUInt32 &&
      type != TypeUInt64) {
    fail(env, 1442, "a duration expression must have unsigned integer type (\"%s\" found)\n",
         typeName(env, type));
    return nullptr;
  }
  // A picosecond node holds its count in its value, which the interpreter
  // reads as it is: a count known only at run time becomes a time64 by a
  // plain conversion, one picosecond per unit.
  if (unitOp == FREQUENCY_OP) {
    return AST_makeNodeVal(prog(env), CAST_OP, TypeTime, 0, expression, nullptr, currentLine(env));
  }
  return AST_makeNodeVal(prog(env), unitOp, NO_ID, NO_ID, expression, nullptr, currentLine(env));
}

// ---------------------------------------------------------------------------
// Instance allocation.

namespace {

// Appends the instance record of one instance and registers its statics under
// its qualified name.
void allocOneInstance(ParserEnv* env, u32 definition, u32 instanceSymbol,
                      const std::string& qualified) {
  program* p = prog(env);
  InfoProg* info = p->infoProg;
  const ProcessDefinition d = p->processDefinitionTable[definition];
  u32 id = info->n_processInstances;
  growWithSymbols(&p->processInstanceTable, &p->dbg->processInstanceSymbolId,
                  &env->pctx->capacity.processInstances, id + 1);
  p->processInstanceTable[id] = {definition,
                                 d.n_staticVariables > 0 ? info->n_processStaticVariables : NO_ID};
  p->dbg->processInstanceSymbolId[id] = instanceSymbol;
  info->n_processInstances = id + 1;

  for (AST* cell : AST_cells(p, AST_fromId(p, d.staticVariables))) {
    AST* declaration = AST_left(p, cell);
    std::string name = qualified + "::" + symbolName(env, declarationSymbol(env, declaration));
    u32 staticId = info->n_processStaticVariables;
    // Both tables grow together; the variable's own entry is appended by
    // the variable module's registration, which finds the room already there.
    growWithSymbols(&p->processStaticVariableTable, &p->dbg->processStaticVariableSymbolId,
                    &env->pctx->capacity.processStaticVariables, staticId + 1);
    p->dbg->processStaticVariableSymbolId[staticId] = defExpr_lookupOrAddSymbol(env, name.c_str());
    StaticVariable_register(env, AST_id(p, declaration));
  }
}

}  // namespace

void defProc_allocInstanceMemory(ParserEnv* env, u32 definition, u32 instanceSymbol,
                                 const char* prefix) {
  program* p = prog(env);
  const u32 definitions = p->infoProg->n_processDefinitions;
  VELK_ASSERT_TEXT(definition < definitions, "definition < n_processDefinitions");
  struct Pending {
    u32 definition;
    u32 symbol;
    u32 depth;
    std::string prefix;
  };
  // Pre-order with an explicit stack: nesting is as deep as the program makes
  // it. `path` holds the definitions being expanded, to stop a process that
  // contains an instance of itself, directly or not.
  std::vector<Pending> pending;
  pending.push_back({definition, instanceSymbol, 0, prefix == nullptr ? "" : prefix});
  std::vector<u32> path;
  std::vector<bool> onPath(definitions, false);
  while (!pending.empty()) {
    Pending current = std::move(pending.back());
    pending.pop_back();
    while (path.size() > current.depth) {
      onPath[path.back()] = false;
      path.pop_back();
    }
    const char* name = symbolName(env, current.symbol);
    if (onPath[current.definition]) {
      fail(env, 212, "process %s contains an instance of itself (%s)\n",
           symbolName(env, p->dbg->processDefinitionSymbolId[current.definition]), name);
      return;
    }
    std::string qualified = current.prefix.empty() ? std::string(name) : current.prefix + "::" + name;
    allocOneInstance(env, current.definition, current.symbol, qualified);
    path.push_back(current.definition);
    onPath[current.definition] = true;

    // Sub-instances in reverse, so that the first is expanded first.
    std::vector<Pending> children;
    const ProcessDefinition& d = p->processDefinitionTable[current.definition];
    for (AST* cell : AST_cells(p, AST_fromId(p, d.subInstances))) {
      AST* sub = AST_left(p, cell);
      VELK_ASSERT_TEXT(sub != nullptr && sub->op == PROCESS_INSTANCE_NODE,
                       "PROCESS_INSTANCE_NODE == sub->op");
      u32 subDefinition = AST_left(p, sub)->value.id.id;
      if (subDefinition >= definitions) continue;  // unknown: reported by the checks
      children.push_back({subDefinition, sub->value.id.id, current.depth + 1, qualified});
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(std::move(*it));
  }
}

void parser_allocate_process_instances(ParserEnv* env, AST* node) {
  if (node == nullptr) return;
  // The global instances in source order, included files in place.
  struct Allocator : SourceVisitor {
    explicit Allocator(ParserEnv* e) : env(e) {}
    ParserEnv* env;
    u32 instance = 0;
    bool declaration(AST* current, const AST*) {
      if (current->op != PROCESS_INSTANCE_NODE) return true;
      program* p = prog(env);
      u32 definition = AST_left(p, current)->value.id.id;
      if (definition == NO_ID || instance >= p->infoProg->n_globalProcessInstances) return true;
      ProcessGlobalInstance& record = p->processGlobalInstanceTable[instance];
      record.firstInstance = p->infoProg->n_processInstances;
      record.definition = definition;
      record.firstStaticVariable = p->infoProg->n_processStaticVariables;
      defProc_allocInstanceMemory(env, definition, current->value.id.id, nullptr);
      ++instance;
      return true;
    }
  } allocator(env);
  parser_walkSource(prog(env), node, allocator);
}
