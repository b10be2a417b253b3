#include "image_builder.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ast_writer.h"
#include "def_expression.h"
#include "def_type.h"
#include "interp_api.h"
#include "parser_data.h"
#include "velk_memory.h"

namespace {

// Grows two parallel tables that share one capacity counter to `needed`.
template <class A, class B>
void growPair(A** a, B** b, u32* capacity, u32 needed) {
  u32 first = *capacity;
  parser_reallocTable(a, &first, needed);
  u32 second = *capacity;
  parser_reallocTable(b, &second, needed);
  *capacity = first;
}

struct BaseType {
  const char* name;
  u32 base;
  u32 kind;
};

// The 34 base types, in id order.
const BaseType kBaseTypes[] = {
    {"Natural", 0, 0},         {"Signed_Integer", 1, 0},   {"uint8", 2, 0},
    {"int8", 3, 0},            {"uint16", 4, 0},           {"int16", 5, 0},
    {"uint32", 6, 0},          {"int32", 7, 0},            {"uint64", 8, 0},
    {"int64", 9, 0},           {"time64", 10, 0},          {"bool", 11, 0},
    {"Float", 12, 0},          {"float32", 13, 0},         {"float64", 14, 0},
    {"Primitive", 15, 0},      {"Statement", 16, 0},       {"Named_Block", 21, 0},
    {"State", 21, 0},          {"Iterator", 19, 0},        {"Type", 20, 0},
    {"Structure", 21, 0},      {"Enumeration", 21, 0},     {"<void>", 23, 0},
    {"Any", 24, 0},            {"<input/output>", 25, 0},  {"uint8[]", 2, CHANNEL_BUFFER},
    {"Array", 27, 0},          {"<sized array>", 28, 0},   {"<unsized array>", 29, 0},
    {"Channel", 30, 0},        {"<sized channel>", 31, 0}, {"<unsized channel>", 32, 0},
    {"<base>", 33, 0},
};

std::atomic<int> gImageCounter{0};

// TMPDIR when set, /tmp otherwise, with a trailing slash.
std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

}  // namespace

ImageBuilder::ImageBuilder(bool withSystemLibrary, u32 capacity) {
  env = parser_initTables();
  p = env->program;
  parser_createTree(env, capacity);
  staticVariablesCapacity_ = env->pctx->capacity.processStaticVariables;
  // The compiler's tree creation declares the base types itself.
  if (p->infoProg->n_type == 0) declareBaseTypes();
  if (withSystemLibrary) declareSystemLibrary();
  path_ = temporaryDirectory() + "velk_image_" + std::to_string(getpid()) + "_" +
          std::to_string(gImageCounter++) + ".ast";
}

ImageBuilder::~ImageBuilder() {
  parser_freeAll(env);
  std::remove(path_.c_str());
}

u32 ImageBuilder::symbol(const std::string& name) {
  // One symbol table for the builder and the compiler's own routines.
  return defExpr_addSymbol(env, name.c_str());
}

u32 ImageBuilder::type(const std::string& name) const {
  auto found = types_.find(name);
  if (found != types_.end()) return found->second;
  u32 sym = defExpr_lookupForSymbol(env, name.c_str());
  return sym == NO_ID ? NO_ID : defType_lookup(env, sym);
}

u32 ImageBuilder::declareType(const std::string& name, u32 base, u32 size, u32 storage, u32 kind,
                              AST* fields) {
  u32 id = p->infoProg->n_type;
  growPair(&p->typeTable, &p->dbg->typeSymbolId, &env->pctx->capacity.types, id + 1);
  p->typeTable[id] = {base, size, storage, kind, AST_id(p, fields)};
  p->dbg->typeSymbolId[id] = symbol(name);
  p->infoProg->n_type = id + 1;
  types_.emplace(name, id);
  AST* declaration = node(TYPE_DECLARATION, id, sym(name), fields);
  parser_add_external_definition(env, declaration);
  return id;
}

void ImageBuilder::declareBaseTypes() {
  for (u32 id = 0; id < std::size(kBaseTypes); ++id) {
    const BaseType& t = kBaseTypes[id];
    u32 storage = id < TypePrimitive ? 1 : 0;
    u32 size = t.kind == CHANNEL_BUFFER ? NO_ID : 0;
    declareType(t.name, t.base, size, storage, t.kind, nullptr);
  }
  // Named_Block and State carry their time account.
  for (u32 id : {u32{TypeNamedBlock}, u32{TypeState}}) {
    AST* fields = list({node(FIELD_STATEMENT, TypeTime, sym("execution_time")),
                        node(FIELD_STATEMENT, TypeTime, sym("wcet")),
                        node(FIELD_STATEMENT, TypeTime, sym("bcet"))});
    p->typeTable[id].fields = AST_id(p, fields);
    p->typeTable[id].size = 3;
    p->typeTable[id].storageSize = 3;
  }
}

void ImageBuilder::declareSystemLibrary() {
  enumType("Scheduling_Policy", {"FIFO", "NPFP", "NPEDF"});
  u32 processState = enumType("Process_State", {});
  u32 nextActivations = bufferType(QUEUE_BUFFER, TypeSInt64, 10);
  u32 instance = structType(
      "Process_Instance",
      {{"execution_time", TypeTime},     {"wcet", TypeTime},
       {"bcet", TypeTime},               {"period", TypeTime},
       {"offset", TypeTime},             {"priority", TypeUInt8},
       {"jitter", TypeTime},             {"deadline", TypeTime},
       {"previous_activation", TypeTime}, {"current_activation", TypeTime},
       {"pid", TypeUInt32},              {"continue", TypeBoolean},
       {"process_state", processState},  {"next_activations", nextActivations},
       {"state_ptr", TypeUInt32},        {"duration", TypeTime},
       {"initializing", TypeBoolean},    {"instance_id", TypeUInt32}});
  u32 processes = bufferType(QUEUE_BUFFER, instance, 1024);
  u32 system = structType("System", {{"sched_policy", type("Scheduling_Policy")},
                                     {"processes", processes}});
  global("system", system);
}

u32 ImageBuilder::structType(const std::string& name,
                             const std::vector<std::pair<std::string, u32>>& fields) {
  std::vector<AST*> nodes;
  u32 storage = 0;
  for (const auto& [fieldName, fieldType] : fields) {
    nodes.push_back(node(FIELD_STATEMENT, fieldType, sym(fieldName)));
    storage += storageOf(fieldType);
  }
  AST* fieldList = nodes.empty() ? nullptr : list(nodes);
  return declareType(name, TypeStructure, static_cast<u32>(fields.size()), storage, NONE_BUFFER,
                     fieldList);
}

u32 ImageBuilder::enumType(const std::string& name, const std::vector<std::string>& enumerators) {
  u32 id = declareType(name, TypeEnum, 0, 1, NONE_BUFFER, nullptr);
  for (const std::string& e : enumerators) addEnumerator(id, e);
  return id;
}

u32 ImageBuilder::addEnumerator(u32 enumType, const std::string& name) {
  AST* field = node(FIELD_STATEMENT, enumType, sym(name));
  TypeDefinition& t = p->typeTable[enumType];
  if (t.fields == NO_ID) {
    t.fields = AST_id(p, list({field}));
  } else {
    AST_addListLast(p, AST_fromId(p, t.fields), field, 1);
  }
  return symbol(name);
}

u32 ImageBuilder::bufferType(u32 kind, u32 element, u32 size) {
  u32 cells = storageOf(element);
  u32 storage = kind == ARRAY_BUFFER ? size * cells : (size + 1) * cells + 2;
  std::string name = "<buffer " + std::to_string(kind) + " of " + std::to_string(element) + " [" +
                     std::to_string(size) + "]>";
  u32 existing = type(name);
  return existing != NO_ID ? existing : declareType(name, element, size, storage, kind, nullptr);
}

void ImageBuilder::defaultCellsInto(u32 typeId, DataCell* cells) const {
  const TypeDefinition& t = p->typeTable[typeId];
  if (t.bufferType >= QUEUE_BUFFER && t.bufferType <= CHANNEL_BUFFER && t.storageSize >= 2) {
    cells[0] = 2;
    cells[1] = t.bufferType == STACK_BUFFER ? 1 : 2;
    return;
  }
  if (t.bufferType == ARRAY_BUFFER) {
    u32 cellsPerElement = storageOf(t.baseType);
    for (u32 i = 0; i < t.size && cellsPerElement > 0; ++i) {
      defaultCellsInto(t.baseType, cells + u64{i} * cellsPerElement);
    }
    return;
  }
  if (t.baseType == TypeStructure && t.fields != NO_ID) {
    u32 offset = 0;
    for (AST* cell = AST_fromId(p, t.fields); cell != nullptr; cell = AST_right(p, cell)) {
      u32 fieldType = AST_left(p, cell)->value.id.type;
      defaultCellsInto(fieldType, cells + offset);
      offset += storageOf(fieldType);
    }
  }
}

std::vector<DataCell> ImageBuilder::defaultCells(u32 typeId) const {
  std::vector<DataCell> cells(storageOf(typeId), 0);
  if (!cells.empty()) defaultCellsInto(typeId, cells.data());
  return cells;
}

// One table of variables with its data table and debug symbols: the globals
// or the process statics.
struct ImageBuilder::VariableTable {
  TaggedValue** values;
  u32** symbols;
  u32* count;
  u32* capacity;
  DataCell** data;
  u32* dataSize;
  u32* dataCapacity;
  bool isGlobal;
};

u32 ImageBuilder::addVariable(const VariableTable& t, const std::string& name, u32 typeId,
                              std::vector<DataCell> init) {
  u32 id = *t.count;
  growPair(t.values, t.symbols, t.capacity, id + 1);
  u32 storage = storageOf(typeId);
  if (init.empty()) init = defaultCells(typeId);
  init.resize(storage, 0);
  DataCell* oldBase = *t.data;
  parser_reallocTable(t.data, t.dataCapacity, *t.dataSize + storage);
  parser_computeAnyValueAddresses(oldBase, *t.data, *t.values, id);
  DataCell* cells = *t.data + *t.dataSize;
  if (storage > 0) std::memcpy(cells, init.data(), storage * sizeof(DataCell));
  (*t.values)[id] = {cells, typeId, t.isGlobal ? id : NO_ID};
  (*t.symbols)[id] = symbol(name);
  *t.dataSize += storage;
  *t.count = id + 1;
  return id;
}

u32 ImageBuilder::global(const std::string& name, u32 typeId, std::vector<DataCell> init) {
  InfoProg* info = p->infoProg;
  TableCapacities& cap = env->pctx->capacity;
  return addVariable({&p->globalVariableTable, &p->dbg->globalVariableSymbolId,
                      &info->n_globalVariables, &cap.globalVariables,
                      &p->globalVariableDataInitTable, &info->size_globalVariableData,
                      &cap.globalVariableData, true},
                     name, typeId, std::move(init));
}

u32 ImageBuilder::staticVariable(const std::string& name, u32 typeId, std::vector<DataCell> init) {
  InfoProg* info = p->infoProg;
  TableCapacities& cap = env->pctx->capacity;
  return addVariable({&p->processStaticVariableTable, &p->dbg->processStaticVariableSymbolId,
                      &info->n_processStaticVariables, &cap.processStaticVariables,
                      &p->processStaticVariableDataInitTable,
                      &info->size_processStaticVariableData, &cap.processStaticVariableData,
                      false},
                     name, typeId, std::move(init));
}

u32 ImageBuilder::constantData(const std::vector<DataCell>& cells) {
  InfoProg* info = p->infoProg;
  u32 first = info->size_constantData;
  DataCell* oldBase = p->constantDataTable;
  parser_reallocTable(&p->constantDataTable, &env->pctx->capacity.constantData,
                      first + static_cast<u32>(cells.size()));
  parser_computeAnyValueAddresses(oldBase, p->constantDataTable, p->globalConstantTable,
                                  info->n_globalConstants);
  if (!cells.empty()) {
    std::memcpy(p->constantDataTable + first, cells.data(), cells.size() * sizeof(DataCell));
  }
  info->size_constantData = first + static_cast<u32>(cells.size());
  return first;
}

u32 ImageBuilder::constant(const std::string& name, u32 typeId, std::vector<DataCell> cells) {
  cells.resize(storageOf(typeId), 0);
  u32 first = constantData(cells);
  InfoProg* info = p->infoProg;
  u32 id = info->n_globalConstants;
  growPair(&p->globalConstantTable, &p->dbg->globalConstantSymbolId,
           &env->pctx->capacity.globalConstants, id + 1);
  p->globalConstantTable[id] = {p->constantDataTable + first, typeId, NO_ID};
  p->dbg->globalConstantSymbolId[id] = symbol(name);
  info->n_globalConstants = id + 1;
  return id;
}

u32 ImageBuilder::labelString(const std::string& text) {
  return parser_addLabelString(env, text.c_str());
}

AST* ImageBuilder::node(u32 op, u64 value, AST* left, AST* right, u32 line) {
  return AST_makeNodeVal(p, op, static_cast<u32>(value), static_cast<u32>(value >> 32), left,
                         right, line);
}

AST* ImageBuilder::integer(u64 value) { return node(INTEGER_OP, value); }
AST* ImageBuilder::boolean(bool value) { return AST_makeBooleanNode(p, value, 1); }

AST* ImageBuilder::f32(float value) {
  u32 bits;
  std::memcpy(&bits, &value, sizeof bits);
  return node(F32_LITERAL_OP, bits);
}

AST* ImageBuilder::f64(double value) {
  u64 bits;
  std::memcpy(&bits, &value, sizeof bits);
  return node(F64_LITERAL_OP, bits);
}

AST* ImageBuilder::sym(const std::string& name) { return node(SYM, symbol(name)); }
AST* ImageBuilder::index(u32 id, AST* left, AST* right) { return node(INDEX_NODE, id, left, right); }

AST* ImageBuilder::binary(u32 op, u32 operatorType, AST* left, AST* right) {
  return node(op, operatorType, left, right);
}

AST* ImageBuilder::unary(u32 op, u32 operatorType, AST* operand) {
  return node(op, operatorType, operand, nullptr);
}

AST* ImageBuilder::globalRef(u32 varId) { return node(GLOBAL_VARIABLE_OP, 0, index(varId)); }
AST* ImageBuilder::constantRef(u32 constId) {
  return node(GLOBAL_CONSTANT_OP, 0, index(constId));
}
AST* ImageBuilder::localRef(u32 localId) { return node(LOCAL_VAR, 0, index(localId)); }
AST* ImageBuilder::staticRef(u32 staticId) {
  return node(STATIC_VARIABLE_OP, 0, index(staticId));
}
AST* ImageBuilder::assign(AST* target, AST* value) { return node(ASSIGN_OP, 0, target, value); }

AST* ImageBuilder::list(std::initializer_list<AST*> elements) {
  return list(std::vector<AST*>(elements));
}

AST* ImageBuilder::list(const std::vector<AST*>& elements) {
  AST* head = nullptr;
  for (AST* e : elements) {
    if (head == nullptr) {
      head = AST_makeList1(p, e, 1);
    } else {
      AST_addListLast(p, head, e, 1);
    }
  }
  return head;
}

AST* ImageBuilder::block(AST* declarations, AST* statements) {
  return node(BLOCK, 0, declarations, statements);
}

AST* ImageBuilder::varDecl(u32 typeId, const std::string& name, AST* init) {
  return node(VARIABLE_DECL_OP, typeId, sym(name), init);
}

AST* ImageBuilder::implicitDecl(u32 typeId, const std::string& name) {
  return node(IMPLICIT_VARIABLE_DECL, typeId, sym(name));
}

AST* ImageBuilder::ifStatement(AST* condition, AST* thenStatement, AST* elseStatement) {
  return node(IF_OP, 0, condition, list({thenStatement, elseStatement}));
}

AST* ImageBuilder::whileStatement(AST* condition, AST* body) {
  return node(WHILE_OP, 0, condition, body);
}

AST* ImageBuilder::cast(u32 typeId, AST* operand) { return node(CAST_OP, typeId, operand); }
AST* ImageBuilder::timeLiteral(u32 op, u64 count) { return node(op, count); }

AST* ImageBuilder::field(AST* object, u32 fieldType, u32 offset) {
  return call(4, fieldType, object, integer(offset), nullptr);
}

AST* ImageBuilder::call(u32 code, u32 resultType, AST* object, AST* target, AST* arguments) {
  return node(CALL_OP, resultType, index(code, object, target), arguments);
}

AST* ImageBuilder::param(u32 op, u32 typeId, const std::string& name) {
  return node(op, typeId, sym(name));
}

u32 ImageBuilder::function(const std::string& name, AST* parameters, AST* body) {
  InfoProg* info = p->infoProg;
  u32 id = info->n_functions;
  growPair(&p->functionTable, &p->dbg->functionSymbolId, &env->pctx->capacity.functions, id + 1);
  p->functionTable[id] = {AST_id(p, parameters), AST_id(p, body)};
  p->dbg->functionSymbolId[id] = symbol(name);
  info->n_functions = id + 1;
  if (name == "init") info->initFunction = id;
  parser_add_external_definition(env, node(FUNCTION_DECLARATION, symbol(name), parameters, body));
  return id;
}

AST* ImageBuilder::state(const std::string& name, AST* body, AST* transitions) {
  u32 processState = type("Process_State");
  if (processState != NO_ID) addEnumerator(processState, name);
  AST* declaration = list({implicitDecl(TypeState, name)});
  return node(NAMED_STATE_STATEMENT, symbol(name), declaration,
              node(STATE_DCL, 0, body, transitions));
}

u32 ImageBuilder::processDefinition(const std::string& name, const ProcessParts& parts) {
  // Link each transition to the first state with its target's name.
  for (AST* s = parts.states; s != nullptr; s = AST_right(p, s)) {
    AST* transitions = AST_getStateTransitions(p, AST_getStateDeclaration(p, AST_left(p, s)));
    for (AST* t = transitions; t != nullptr; t = AST_right(p, t)) {
      AST* transition = AST_left(p, t);
      AST* body = AST_left(p, transition);
      body->value.uinteger = NO_ID;
      for (AST* candidate = parts.states; candidate != nullptr; candidate = AST_right(p, candidate)) {
        if (AST_left(p, candidate)->value.id.id == transition->value.id.id) {
          body->value.uinteger = AST_id(p, AST_left(p, candidate));
          break;
        }
      }
    }
  }
  InfoProg* info = p->infoProg;
  u32 id = info->n_processDefinitions;
  growPair(&p->processDefinitionTable, &p->dbg->processDefinitionSymbolId,
           &env->pctx->capacity.processDefinitions, id + 1);
  p->processDefinitionTable[id] = {AST_id(p, parts.parameters),
                                   AST_id(p, parts.statics),
                                   AST_id(p, parts.subInstances),
                                   AST_id(p, parts.locals),
                                   AST_id(p, parts.common),
                                   AST_id(p, parts.states),
                                   AST_id(p, parts.finallyBlock),
                                   AST_listSize(p, parts.subInstances),
                                   AST_listSize(p, parts.statics)};
  p->dbg->processDefinitionSymbolId[id] = symbol(name);
  info->n_processDefinitions = id + 1;
  parser_add_external_definition(env, node(PROCESS_DECLARATION, symbol(name), parts.parameters,
                                           parts.states));
  return id;
}

u32 ImageBuilder::globalInstance(const std::string& name, u32 definition, AST* period,
                                 AST* offset, AST* parameters, AST* condition) {
  InfoProg* info = p->infoProg;
  ParserContext* pctx = env->pctx;
  if (type("Process_Instance") != NO_ID) global(name, type("Process_Instance"));
  const ProcessDefinition& def = p->processDefinitionTable[definition];
  // Statics of this instance: one per static declaration of the definition.
  u32 firstStatic = def.n_staticVariables > 0 ? info->n_processStaticVariables : NO_ID;
  for (AST* s = AST_fromId(p, def.staticVariables); s != nullptr; s = AST_right(p, s)) {
    AST* declaration = AST_left(p, s);
    std::string staticName = name + "::" + Symbol_getName(p, AST_left(p, declaration)->value.id.id);
    staticVariable(staticName, declaration->value.id.type);
  }
  u32 instance = info->n_processInstances;
  growPair(&p->processInstanceTable, &p->dbg->processInstanceSymbolId,
           &pctx->capacity.processInstances, instance + 1);
  p->processInstanceTable[instance] = {definition, firstStatic};
  p->dbg->processInstanceSymbolId[instance] = symbol(name);
  info->n_processInstances = instance + 1;

  u32 id = info->n_globalProcessInstances;
  growPair(&p->processGlobalInstanceTable, &p->dbg->globalProcessInstanceSymbolId,
           &pctx->capacity.globalProcessInstances, id + 1);
  p->processGlobalInstanceTable[id] = {instance,
                                       AST_id(p, period),
                                       AST_id(p, offset),
                                       AST_id(p, parameters),
                                       AST_id(p, condition),
                                       NO_ID,
                                       firstStatic == NO_ID ? 0 : firstStatic,
                                       definition};
  p->dbg->globalProcessInstanceSymbolId[id] = symbol(name);
  info->n_globalProcessInstances = id + 1;
  AST* timing = period == nullptr ? nullptr : list({period, offset});
  parser_add_external_definition(
      env, node(PROCESS_INSTANCE_NODE, symbol(name), index(definition, sym(name)),
                list({parameters, timing, condition})));
  return id;
}

// A built image always writes and loads: when one does not, the builder or
// the tools are broken, and whatever runs it (a test, a fuzz target) stops.
InterpEnv* ImageBuilder::writeAndLoad() {
  if (write_storeProgramBinary(env, path_.c_str()) != 0) {
    std::fprintf(stderr, "ImageBuilder: cannot write %s\n", path_.c_str());
    std::abort();
  }
  InterpEnv* loaded = interp_create();
  if (interp_load(loaded, path_.c_str()) != 0) {
    std::fprintf(stderr, "ImageBuilder: cannot load %s\n", path_.c_str());
    std::abort();
  }
  return loaded;
}

InterpEnv* ImageBuilder::writeLoadAndInit() {
  InterpEnv* loaded = writeAndLoad();
  interp_init(loaded);
  return loaded;
}
