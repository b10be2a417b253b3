// Builds program images for the tests the way the compiler does, through the
// compiler's environment and the node and table API, then writes them to an
// image file and loads them into an interpreter environment, so every test
// also exercises the writer and the reader.
#pragma once
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ast.h"
#include "interp_env.h"
#include "parser_env.h"

class ImageBuilder {
 public:
  // withSystemLibrary declares Scheduling_Policy, Process_State,
  // Process_Instance, System and the `system` variable, as the system library does.
  explicit ImageBuilder(bool withSystemLibrary = true, u32 capacity = 200000);
  ~ImageBuilder();
  ImageBuilder(const ImageBuilder&) = delete;
  ImageBuilder& operator=(const ImageBuilder&) = delete;

  ParserEnv* env;
  program* p;

  // Symbols and types.
  u32 symbol(const std::string& name);
  u32 type(const std::string& name) const;  // id of a declared type, by name
  u32 declareType(const std::string& name, u32 base, u32 size, u32 storage, u32 kind, AST* fields);
  u32 structType(const std::string& name, const std::vector<std::pair<std::string, u32>>& fields);
  u32 enumType(const std::string& name, const std::vector<std::string>& enumerators);
  // Adds an enumerator to an enumeration; returns its symbol id (the value).
  u32 addEnumerator(u32 enumType, const std::string& name);
  // Array: N * element cells; queue/stack/channel: (N + 1) * element + 2 cells.
  u32 bufferType(u32 kind, u32 element, u32 size);
  u32 storageOf(u32 typeId) const { return p->typeTable[typeId].storageSize; }

  // Data. Initial cells are padded with zeros; channels without initial cells
  // start empty.
  u32 global(const std::string& name, u32 typeId, std::vector<DataCell> init = {});
  u32 staticVariable(const std::string& name, u32 typeId, std::vector<DataCell> init = {});
  u32 constant(const std::string& name, u32 typeId, std::vector<DataCell> cells);
  // Appends cells to the constant data table; returns the index of the first.
  u32 constantData(const std::vector<DataCell>& cells);
  u32 labelString(const std::string& text);

  // Nodes.
  AST* node(u32 op, u64 value = 0, AST* left = nullptr, AST* right = nullptr, u32 line = 1);
  AST* integer(u64 value);
  AST* boolean(bool value);
  AST* f32(float value);
  AST* f64(double value);
  AST* sym(const std::string& name);
  AST* index(u32 id, AST* left = nullptr, AST* right = nullptr);
  AST* binary(u32 op, u32 operatorType, AST* left, AST* right);
  AST* unary(u32 op, u32 operatorType, AST* operand);
  AST* globalRef(u32 varId);
  AST* constantRef(u32 constId);
  AST* localRef(u32 localId);
  AST* staticRef(u32 staticId);
  AST* assign(AST* target, AST* value);
  AST* list(std::initializer_list<AST*> elements);
  AST* list(const std::vector<AST*>& elements);
  AST* block(AST* declarations, AST* statements);
  AST* varDecl(u32 typeId, const std::string& name, AST* init = nullptr);
  AST* implicitDecl(u32 typeId, const std::string& name);
  AST* ifStatement(AST* condition, AST* thenStatement, AST* elseStatement = nullptr);
  AST* whileStatement(AST* condition, AST* body);
  AST* cast(u32 typeId, AST* operand);
  AST* timeLiteral(u32 op, u64 count);  // NS/US/MS/S_LITERAL_OP
  AST* field(AST* object, u32 fieldType, u32 offset);  // call code 4
  AST* call(u32 code, u32 resultType, AST* object, AST* target, AST* arguments);

  // Functions: parameters are IN_PARAM, OUT_PARAM, IN_CHANNEL_PARAM or OUT_CHANNEL_PARAM.
  AST* param(u32 op, u32 typeId, const std::string& name);
  u32 function(const std::string& name, AST* parameters, AST* body);

  // Processes. A state's body is a statement (usually a block); transitions
  // (ON_OP / AFTER_OP nodes) are linked to their targets by processDefinition.
  AST* state(const std::string& name, AST* body, AST* transitions = nullptr);
  struct ProcessParts {
    AST* parameters = nullptr;
    AST* statics = nullptr;  // list of declarations
    AST* subInstances = nullptr;
    AST* locals = nullptr;  // list of declarations
    AST* common = nullptr;
    AST* states = nullptr;  // list of NAMED_STATE_STATEMENT
    AST* finallyBlock = nullptr;
  };
  u32 processDefinition(const std::string& name, const ProcessParts& parts);
  // A global instance of a definition, with its record, its instance record,
  // its statics (one per static declaration of the definition) and, with the
  // system library, its implicit global Process_Instance variable.
  u32 globalInstance(const std::string& name, u32 definition, AST* period = nullptr,
                     AST* offset = nullptr, AST* parameters = nullptr,
                     AST* condition = nullptr);

  // Writes the image to a temporary file and loads it with interp_load; the
  // caller owns the environment (interp_stop). Fails the test on a load error.
  InterpEnv* writeAndLoad();
  // The same, then interp_init.
  InterpEnv* writeLoadAndInit();
  std::string imagePath() const { return path_; }

 private:
  struct VariableTable;
  u32 addVariable(const VariableTable& table, const std::string& name, u32 typeId,
                  std::vector<DataCell> init);
  void declareBaseTypes();
  void declareSystemLibrary();
  std::vector<DataCell> defaultCells(u32 typeId) const;
  void defaultCellsInto(u32 typeId, DataCell* cells) const;

  std::unordered_map<std::string, u32> types_;
  std::unordered_map<u32, std::vector<u32>> enumerators_;
  u32 staticVariablesCapacity_ = 0;
  std::string path_;
};
