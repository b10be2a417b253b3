// Processes, states, transitions, instances, parameters, buffers, durations
// and annotations, driven through the semantic routines the grammar calls.
#include "def_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "def_expression.h"
#include "def_type.h"
#include "ast_writer.h"
#include "def_variable.h"
#include "interp_api.h"
#include "parser_data.h"

namespace {

class DefProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { build(8); }
  void TearDown() override { parser_freeAll(env); }

  // A compiler environment with the base types and the part of the system
  // library that processes need; System.processes holds `capacity` instances.
  void build(u32 capacity) {
    env = parser_initTables();
    parser_createTree(env, 100000);
    p = env->program;
    if (p->infoProg->n_type == 0) parser_initBaseTypes(env);
    env->pctx->exitOnError = false;
    std::strcpy(env->pctx->fileName, "t.velk");
    env->pctx->lineno = 7;
    type(defType_declare(env, symbol("Process_State"), TypeEnum, false, nullptr, 1));
    AST* fields = AST_makeList1(p, defType_makeField(env, TypeTime, sym("period")), 1);
    AST_addListLast(p, fields, defType_makeField(env, TypeBoolean, sym("continue")), 1);
    processInstance = type(defType_declare(env, symbol("Process_Instance"), TypeStructure, false,
                                           fields, 1));
    u32 queue = defType_declareBuffer(env, QUEUE_BUFFER, processInstance, capacity);
    type(defType_declare(env, symbol("System"), TypeStructure, false,
                         AST_makeList1(p, defType_makeField(env, queue, sym("processes")), 1), 1));
  }

  u32 type(AST* declaration) { return declaration->value.id.type; }
  u32 symbol(const char* name) { return defExpr_lookupOrAddSymbol(env, name); }
  AST* sym(const char* name) { return defExpr_makeSymbol(env, name, 1); }
  AST* node(u32 op, u64 value = 0, AST* left = nullptr, AST* right = nullptr) {
    return AST_makeNodeVal(p, op, static_cast<u32>(value), static_cast<u32>(value >> 32), left,
                           right, 1);
  }
  AST* integer(u64 v) { return node(INTEGER_OP, v); }
  AST* boolean(bool v) { return AST_makeBooleanNode(p, v, 1); }
  AST* ms(u64 v) { return node(MS_LITERAL_OP, v); }
  AST* typed(u32 t, AST* operand) { return node(CAST_OP, t, operand); }
  AST* list(std::vector<AST*> elements) {
    AST* head = nullptr;
    for (AST* e : elements) head = head == nullptr ? AST_makeList1(p, e, 1) : AST_addListLast(p, head, e, 1);
    return head;
  }
  // A global variable of type t and its access node.
  AST* global(const char* name, u32 t) {
    defVar_declareGlobal(env, defVar_makeDefinition(env, VARIABLE_DECL_OP, t, sym(name), nullptr));
    return defVar_makeAccess(env, sym(name));
  }
  // A state with its transitions, as the grammar builds it.
  AST* state(const char* name, std::vector<AST*> transitions = {}) {
    AST* declaration = defVar_makeAndDeclareStateDefinition(env, sym(name));
    return process_makeState(env, declaration, nullptr, transitions.empty() ? nullptr : list(transitions));
  }
  AST* on(const char* target) {
    return defProc_makeTransition(env, ON_OP, sym(target), boolean(true), nullptr, nullptr);
  }
  // A process definition with the given statics, sub-instances and states.
  u32 process(const char* name, std::vector<std::pair<const char*, u32>> statics,
              std::vector<std::pair<const char*, const char*>> subs = {},
              std::vector<const char*> stateNames = {"s0"}) {
    defVar_makeAndDeclareProcessInstanceData(env);
    AST* subList = nullptr;
    for (auto& [definition, instance] : subs) {
      AST* sub = defProc_makeInstance(env, sym(definition), sym(instance));
      defProc_declareLocalInstance(env, sub);
      subList = subList == nullptr ? AST_makeList1(p, sub, 1) : AST_addListLast(p, subList, sub, 1);
    }
    for (auto& [variable, t] : statics) {
      AST* decl = defVar_makeDefinition(env, VARIABLE_DECL_OP, t, sym(variable), nullptr);
      defProc_addStaticVariable(env, decl);
      defVar_declareStatic(env, decl);
    }
    std::vector<AST*> states;
    for (const char* s : stateNames) states.push_back(state(s));
    AST* decl = defProc_declareStateMachine(env, sym(name), nullptr, subList, nullptr, list(states),
                                            nullptr);
    EXPECT_NE(decl, nullptr);
    defVar_clearProcessLocalImplicitVariables(env);
    defProc_clearLocalInstances(env);
    parser_add_external_definition(env, decl);
    return defProc_lookupDefinition(env, symbol(name));
  }
  AST* instance(const char* definition, const char* name, AST* timing = nullptr,
                AST* condition = nullptr) {
    defProc_define_global_process_implicit(env, sym(name));
    AST* n = defProc_defineGlobalInstance(env, sym(definition), sym(name), timing, condition, nullptr);
    if (n != nullptr) parser_add_external_definition(env, n);
    return n;
  }
  std::string error(const char* message) { return std::string("[ERROR] t.velk: Line 7: ") + message; }
  std::string warning(const char* message) {
    return std::string("[WARNING] t.velk: Line 7: ") + message;
  }
  const char* staticName(u32 id) { return Symbol_getName(p, p->dbg->processStaticVariableSymbolId[id]); }

  ParserEnv* env = nullptr;
  program* p = nullptr;
  u32 processInstance = NO_ID;
};

// Runs f with stdout captured; returns what it printed.
template <class F>
std::string captured(F f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

TEST_F(DefProcessTest, TransitionNodesAndTypeFailures) {
  AST* after = defProc_makeTransition(env, AFTER_OP, sym("b"), boolean(true), ms(5), nullptr);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->op, AFTER_OP);
  EXPECT_EQ(after->value.id.id, symbol("b"));
  AST* body = AST_left(p, after);
  EXPECT_EQ(body->op, TRANSITION_BODY);
  EXPECT_EQ(body->value.id.id, NO_ID);
  EXPECT_EQ(AST_left(p, body)->op, MS_LITERAL_OP);
  EXPECT_EQ(AST_right(p, body)->op, BOOLEAN_OP);
  AST* on = defProc_makeTransition(env, ON_OP, sym("a"), boolean(false), nullptr, integer(1));
  ASSERT_NE(on, nullptr);
  EXPECT_EQ(AST_left(p, AST_left(p, on))->op, BOOLEAN_OP);
  EXPECT_EQ(AST_left(p, on)->right, NO_ID);
  EXPECT_EQ(AST_right(p, on)->op, INTEGER_OP);

  struct Case {
    u32 kind;
    AST* condition;
    AST* duration;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {ON_OP, integer(1), nullptr, 208,
       "boolean expression expected after \"on\" token but type \"Natural\" found\n"},
      {AFTER_OP, nullptr, boolean(true), 209,
       "duration expected after \"after\" token but type \"bool\" found\n"},
      {AFTER_OP, ms(3), ms(1), 210,
       "boolean expression expected after \"if\" token in \"after\" transition but type \"time64\" "
       "found\n"},
  };
  for (const Case& c : cases) {
    env->pctx->status = 0;
    AST* result = nullptr;
    std::string out = captured([&] {
      result = defProc_makeTransition(env, c.kind, sym("a"), c.condition, c.duration, nullptr);
    });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(env->pctx->status, c.status);
    EXPECT_EQ(out, error(c.message.c_str()));
  }
}

TEST_F(DefProcessTest, StateMachineRecordShapeAndLinking) {
  u32 prototype = p->infoProg->n_processDefinitions;
  AST* params = list({defParam_make(env, TypeUInt8, sym("x"), 0)});
  AST* proto = defProc_declareStateMachinePrototype(env, sym("P"), params);
  defVar_clearLocals(env, params);
  ASSERT_NE(proto, nullptr);
  EXPECT_EQ(proto->op, PROCESS_PROTOTYPE);
  EXPECT_EQ(proto->right, NO_ID);
  const ProcessDefinition& r = p->processDefinitionTable[prototype];
  EXPECT_EQ(r.parameters, AST_id(p, params));
  EXPECT_EQ(r.staticVariables, NO_ID);
  EXPECT_EQ(r.states, NO_ID);
  EXPECT_EQ(r.finallyBlock, 0u);
  EXPECT_EQ(r.n_staticVariables, 0u);

  defVar_makeAndDeclareProcessInstanceData(env);
  AST* local = defVar_makeDefinition(env, VARIABLE_DECL_OP, TypeUInt8, sym("v"), nullptr);
  defProc_addVariable(env, local);
  defVar_declareLocal(env, local);
  AST* first = state("a", {on("b"), on("zz")});
  AST* second = state("b", {on("a")});
  AST* duplicate = state("a", {on("a")});
  AST* states = list({first, second, duplicate});
  AST* common = node(BLOCK);
  AST* finallyBlock = node(BLOCK);
  defProc_setHeaderLine(env, 3);
  AST* decl = defProc_declareStateMachine(env, sym("P"), params, nullptr, common, states, finallyBlock);
  ASSERT_NE(decl, nullptr);
  EXPECT_EQ(p->infoProg->n_processDefinitions, prototype + 1);  // the prototype's record
  EXPECT_EQ(decl->op, PROCESS_DECLARATION);
  EXPECT_EQ(decl->value.id.id, symbol("P"));
  EXPECT_EQ(AST_line(p, decl), 3u);
  AST* parts = AST_right(p, decl);
  ASSERT_EQ(AST_listSize(p, parts), 6u);
  EXPECT_EQ(AST_getListNth(p, parts, 2), AST_fromId(p, r.localVariables));
  EXPECT_EQ(AST_getListNth(p, parts, 3), common);
  EXPECT_EQ(AST_getListNth(p, parts, 4), states);
  EXPECT_EQ(AST_getListNth(p, parts, 5), finallyBlock);
  EXPECT_EQ(AST_getListNth(p, AST_fromId(p, r.localVariables), 0), local);
  EXPECT_EQ(r.commonBlock, AST_id(p, common));
  EXPECT_EQ(r.states, AST_id(p, states));
  EXPECT_EQ(r.finallyBlock, AST_id(p, finallyBlock));
  EXPECT_EQ(r.subInstances, NO_ID);
  EXPECT_EQ(r.n_subInstances, 0u);

  // State shape: implicit State declaration in a one-element list, STATE_DCL.
  EXPECT_EQ(first->op, NAMED_STATE_STATEMENT);
  EXPECT_EQ(first->value.id.id, symbol("a"));
  AST* stateDecl = AST_left(p, AST_left(p, first));
  EXPECT_EQ(stateDecl->op, IMPLICIT_VARIABLE_DECL);
  EXPECT_EQ(stateDecl->value.id.type, static_cast<u32>(TypeState));
  EXPECT_EQ(AST_right(p, first)->op, STATE_DCL);

  auto reached = [&](AST* s, u32 n) {
    AST* t = AST_getListNth(p, AST_getStateTransitions(p, AST_right(p, s)), n);
    return AST_left(p, t)->value.id.id;
  };
  EXPECT_EQ(reached(first, 0), AST_id(p, second));
  EXPECT_EQ(reached(first, 1), NO_ID);  // unknown state: reported by the checks
  EXPECT_EQ(reached(second, 0), AST_id(p, first));
  EXPECT_EQ(reached(duplicate, 0), AST_id(p, first));  // the first of two same-named states
  // The process lists are empty for the next process.
  EXPECT_EQ(defProc_getStaticVariables(env), nullptr);
  EXPECT_EQ(defProc_getVariables(env), nullptr);
}

TEST_F(DefProcessTest, ParameterKindsComparisonAndStructuralEquality) {
  u32 channel = defType_declareBuffer(env, CHANNEL_BUFFER, TypeUInt8, NO_ID);
  EXPECT_EQ(defParam_make(env, TypeUInt8, sym("a"), 0)->op, IN_PARAM);
  EXPECT_EQ(defParam_make(env, TypeUInt8, sym("b"), 1)->op, OUT_PARAM);
  EXPECT_EQ(defParam_make(env, channel, sym("c"), 0)->op, IN_CHANNEL_PARAM);
  EXPECT_EQ(defParam_make(env, channel, sym("d"), 1)->op, OUT_CHANNEL_PARAM);

  AST* formals = list({node(IN_PARAM, TypeUInt32, sym("i")), node(OUT_PARAM, TypeUInt32, sym("o"))});
  AST* variable = global("g", TypeUInt32);
  ParameterComparison details;
  EXPECT_EQ(compareParameters(env, list({integer(1), variable}), formals), 0u);
  EXPECT_EQ(compareParameters(env, list({integer(1)}), formals), 4u);  // valued call
  EXPECT_EQ(compareParameters(env, list({integer(1), variable, integer(2)}), formals), 1u);
  EXPECT_EQ(compareParameters(env, nullptr, formals), 1u);
  EXPECT_EQ(compareParameters(env, list({integer(1), integer(2)}), formals, &details), 3u);
  EXPECT_EQ(details.formalName, symbol("o"));
  EXPECT_EQ(compareParameters(env, list({boolean(true), variable}), formals, &details), 2u);
  EXPECT_FALSE(details.matched);
  EXPECT_EQ(details.formalType, static_cast<u32>(TypeUInt32));
  EXPECT_EQ(details.formalName, symbol("i"));

  AST* same = list({node(IN_PARAM, TypeUInt32, sym("i")), node(OUT_PARAM, TypeUInt32, sym("o"))});
  AST* otherKind = list({node(IN_PARAM, TypeUInt32, sym("i")), node(IN_PARAM, TypeUInt32, sym("o"))});
  AST* otherName = list({node(IN_PARAM, TypeUInt32, sym("i")), node(OUT_PARAM, TypeUInt32, sym("x"))});
  AST* shorter = list({node(IN_PARAM, TypeUInt32, sym("i"))});
  EXPECT_TRUE(parameterListMach(env, formals, same));
  EXPECT_FALSE(parameterListMach(env, formals, otherKind));
  EXPECT_FALSE(parameterListMach(env, formals, otherName));
  EXPECT_FALSE(parameterListMach(env, formals, shorter));
  EXPECT_TRUE(parameterListMach(env, nullptr, nullptr));
}

TEST_F(DefProcessTest, GlobalInstanceRecordNodeAndTimingChecks) {
  u32 definition = process("P", {});
  AST* timing = list({ms(10), ms(2)});
  AST* condition = boolean(true);
  AST* n = instance("P", "p", timing, condition);
  ASSERT_NE(n, nullptr);
  ASSERT_EQ(p->infoProg->n_globalProcessInstances, 1u);
  const ProcessGlobalInstance& g = p->processGlobalInstanceTable[0];
  EXPECT_EQ(g.period, AST_id(p, AST_list1st(p, timing)));
  EXPECT_EQ(g.offset, AST_id(p, AST_list2nd(p, timing)));
  EXPECT_EQ(g.parameters, NO_ID);
  EXPECT_EQ(g.condition, AST_id(p, condition));
  EXPECT_EQ(g.annotation, NO_ID);
  EXPECT_EQ(p->dbg->globalProcessInstanceSymbolId[0], symbol("p"));
  EXPECT_EQ(defProc_lookupGlobalInstance(env, symbol("p")), 0u);
  EXPECT_NE(defVar_lookupGlobal(env, symbol("p")), NO_ID);  // the implicit Process_Instance
  EXPECT_EQ(n->op, PROCESS_INSTANCE_NODE);
  EXPECT_EQ(AST_left(p, n)->op, INDEX_NODE);
  EXPECT_EQ(AST_left(p, n)->value.id.id, definition);
  EXPECT_EQ(AST_left(p, AST_left(p, n))->value.id.id, symbol("P"));
  AST* parts = AST_right(p, n);
  ASSERT_EQ(AST_listSize(p, parts), 3u);
  EXPECT_EQ(AST_getListNth(p, parts, 0), nullptr);
  EXPECT_EQ(AST_getListNth(p, parts, 1), timing);
  EXPECT_EQ(AST_getListNth(p, parts, 2), condition);

  // An unknown definition builds the node but no record.
  ASSERT_NE(instance("Q", "q"), nullptr);
  EXPECT_EQ(p->infoProg->n_globalProcessInstances, 1u);
  EXPECT_EQ(AST_left(p, instance("Q", "q2"))->value.id.id, NO_ID);

  struct Case {
    AST* timing;
    AST* condition;
    std::string message;
  };
  const Case cases[] = {
      {list({integer(5)}), nullptr,
       "duration or frequency expected for time trigger but type \"Natural\" found\n"},
      {list({ms(5), boolean(true)}), nullptr, "duration expected for offset but type \"bool\" found\n"},
      {list({ms(5)}), ms(1), "boolean expression expected for process condition but type \"time64\" found\n"},
      {nullptr, integer(0), "boolean expression expected for process condition but type \"Natural\" found\n"},
  };
  for (const Case& c : cases) {
    env->pctx->status = 0;
    AST* result = nullptr;
    std::string out = captured([&] {
      result = defProc_defineGlobalInstance(env, sym("P"), sym("r"), c.timing, c.condition, nullptr);
    });
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(env->pctx->status, 212);
    EXPECT_EQ(out, error(c.message.c_str()));
  }
  EXPECT_EQ(p->infoProg->n_globalProcessInstances, 1u);
}

// System.processes of capacity 2.
class DefProcessSmallSystemTest : public DefProcessTest {
 protected:
  void SetUp() override { build(2); }
};

TEST_F(DefProcessSmallSystemTest, MoreGlobalInstancesThanSystemProcessesIsAnError) {
  process("P", {});
  ASSERT_NE(instance("P", "a"), nullptr);
  ASSERT_NE(instance("P", "b"), nullptr);
  AST* third = nullptr;
  std::string out = captured([&] { third = instance("P", "c"); });
  EXPECT_EQ(third, nullptr);
  EXPECT_EQ(env->pctx->status, 212);
  EXPECT_EQ(out, error("too many global process instances (at most 2)\n"));
  EXPECT_EQ(p->infoProg->n_globalProcessInstances, 2u);
}

TEST_F(DefProcessTest, Annotations) {
  process("P", {});
  instance("P", "p");
  global("x", TypeUInt8);
  AST* item = node(BLOCK);
  auto path = [&](std::vector<const char*> names) {
    std::vector<AST*> symbols;
    for (const char* n : names) symbols.push_back(sym(n));
    return list(symbols);
  };
  struct Valid {
    std::vector<const char*> path;
    u32 op;
    u32 scope;
  };
  const Valid valid[] = {
      {{"other", "anything", "at", "all"}, USER_ANNOTATION, 0},
      {{"velk", "time"}, TIME_ANNOTATION, NO_ID},
      {{"velk", "hardware"}, HARDWARE_ANNOTATION, NO_ID},
      {{"velk", "hardware", "x"}, HARDWARE_ANNOTATION, defVar_lookupGlobal(env, symbol("x"))},
  };
  for (const Valid& v : valid) {
    AST* pathList = path(v.path);
    AST* a = defineAnnotation(env, pathList, item);
    ASSERT_NE(a, nullptr) << v.path[0];
    EXPECT_EQ(a->op, v.op);
    EXPECT_EQ(a->value.id.id, v.scope);
    EXPECT_EQ(AST_left(p, a), item);
    EXPECT_EQ(AST_right(p, a), pathList);
  }

  AST* timing = defineAnnotation(env, path({"velk", "time", "p"}), item);
  ASSERT_NE(timing, nullptr);
  EXPECT_EQ(timing->op, PROCESS_ANNOTATION);
  EXPECT_EQ(timing->value.id.id, defVar_lookupGlobal(env, symbol("p")));
  EXPECT_EQ(p->processGlobalInstanceTable[0].annotation, AST_id(p, timing));

  struct Invalid {
    std::vector<const char*> path;
    const char* message;
  };
  const Invalid invalid[] = {
      {{"velk", "time", "p"}, "process p already has a timing annotation\n"},
      {{"velk", "time", "x"}, "variable x associated to annotation is not a process instance\n"},
      {{"velk", "time", "nowhere"}, "unknown variable nowhere associated to  annotation\n"},
      {{"velk", "space", "x"}, "unknown annotation domain space for variable x\n"},
      {{"velk", "space"}, "unknown VELK annotation domain space \n"},
      {{"velk"}, "VELK annotation requires domain specialisatiop (e.g. @velk:time) \n"},
      {{"velk", "time", "p", "q"}, "VELK annotation requires domain specialisatiop (e.g. @velk:time) \n"},
  };
  for (const Invalid& c : invalid) {
    env->pctx->status = 0;
    AST* result = nullptr;
    std::string out = captured([&] { result = defineAnnotation(env, path(c.path), item); });
    EXPECT_EQ(result, nullptr) << c.message;
    EXPECT_EQ(env->pctx->status, 204);
    EXPECT_EQ(out, error(c.message));
  }
  EXPECT_EQ(p->processGlobalInstanceTable[0].annotation, AST_id(p, timing));
}

TEST_F(DefProcessTest, BufferDeclarations) {
  u32 array = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(3));
  AST* size = integer(3);
  AST* decl = defBuff_makeDefinition(env, array, sym("a"), size, nullptr, false);
  ASSERT_NE(decl, nullptr);
  EXPECT_EQ(decl->op, VARIABLE_BUFFER_DECL_OP);
  EXPECT_EQ(decl->value.id.type, array);
  EXPECT_EQ(AST_list1st(p, AST_left(p, decl))->value.id.id, symbol("a"));
  EXPECT_EQ(AST_list2nd(p, AST_left(p, decl)), size);
  EXPECT_EQ(decl->right, NO_ID);
  AST* constant = defBuff_makeDefinition(env, array, sym("k"), integer(3),
                                         defVar_makeInitializer(env, list({integer(1)})), true);
  ASSERT_NE(constant, nullptr);
  EXPECT_EQ(constant->op, CONSTANT_ARRAY_DECL_OP);
  EXPECT_EQ(AST_right(p, constant)->op, INITIALIZER_OP);

  u32 channel = defType_getBuffer(env, CHANNEL_BUFFER, TypeUInt8, integer(4));
  std::string out = captured([&] { EXPECT_EQ(defBuff_makeDefinition(env, channel, sym("c"), integer(4), nullptr, false), nullptr); });
  EXPECT_EQ(out, error("abstract type \"channel\" not allowed for buffer declaration\n"));
  EXPECT_EQ(env->pctx->status, 187);
  out = captured([&] { EXPECT_EQ(defBuff_makeDefinition(env, TypeUInt16, sym("u"), integer(4), nullptr, false), nullptr); });
  EXPECT_EQ(out, error("type \"uint16\" is not a buffer type\n"));
  EXPECT_EQ(env->pctx->status, 179);
}

TEST_F(DefProcessTest, ArrayIndexing) {
  u32 arrayType = defType_getBuffer(env, ARRAY_BUFFER, TypeUInt8, integer(3));
  defVar_declareGlobal(env, defBuff_makeDefinition(env, arrayType, sym("a"), integer(3), nullptr, false));
  AST* array = defVar_makeAccess(env, sym("a"));
  AST* scalar = global("s", TypeUInt8);
  AST* i32 = global("i", TypeSInt32);
  AST* u64 = global("l", TypeUInt64);
  AST* u16 = global("w", TypeUInt16);

  AST* ok = defBuff_makeArrayCall(env, array, integer(2));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->op, ARRAY_INDEX_OP);
  EXPECT_EQ(AST_left(p, ok), array);
  EXPECT_EQ(AST_right(p, ok)->op, INTEGER_OP);
  EXPECT_EQ(captured([&] { EXPECT_NE(defBuff_makeArrayCall(env, array, u16), nullptr); }), "");
  EXPECT_EQ(captured([&] { EXPECT_NE(defBuff_makeArrayCall(env, array, i32), nullptr); }),
            warning("signed integer variable as array index\n"));

  struct Case {
    AST* array;
    AST* index;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {scalar, integer(0), 150, "symbol type \"uint8\" is not an array type\n"},
      {array, boolean(true), 152, "positive integer type expected, but \"bool\" found\n"},
      {array, u64, 151, "64 bits integer type variables are forbidden as array index\n"},
      {array, integer(3), 155, "index value is out of array bounds (0 to 2)\n"},
      {array, defExpr_makeArithmeticOp(env, NEG_OP, integer(1), nullptr), 155, "index value is out of array bounds (0 to 2)\n"},
  };
  for (const Case& c : cases) {
    env->pctx->status = 0;
    AST* result = nullptr;
    std::string out = captured([&] { result = defBuff_makeArrayCall(env, c.array, c.index); });
    EXPECT_EQ(result, nullptr) << c.message;
    EXPECT_EQ(env->pctx->status, c.status);
    EXPECT_EQ(out, error(c.message));
  }
}

TEST_F(DefProcessTest, DurationsWithUnits) {
  struct Unit {
    const char* name;
    u32 op;
  };
  for (Unit u : {Unit{"s", S_LITERAL_OP}, Unit{"ms", MS_LITERAL_OP}, Unit{"us", US_LITERAL_OP},
                 Unit{"ns", NS_LITERAL_OP}, Unit{"ps", FREQUENCY_OP}}) {
    AST* d = defStmt_makePostSymbolCall(env, integer(7), sym(u.name));
    ASSERT_NE(d, nullptr) << u.name;
    EXPECT_EQ(d->op, u.op);
    EXPECT_EQ(d->value.uinteger, 7u);
  }
  std::string out;
  out = captured([&] { EXPECT_EQ(defStmt_makePostSymbolCall(env, integer(1), sym("xs")), nullptr); });
  EXPECT_EQ(out, error("unknown post symbol \"xs\"\n"));
  EXPECT_EQ(env->pctx->status, 216);

  out = captured([&] { EXPECT_NE(defStmt_makePostSymbolCall(env, integer(4294967), sym("s")), nullptr); });
  EXPECT_EQ(out, "");
  out = captured([&] { EXPECT_NE(defStmt_makePostSymbolCall(env, integer(18446744), sym("s")), nullptr); });
  EXPECT_EQ(out, warning("too big second unit duration value for period() function (period() max for "
                         "second unit is 4294967)\n"));
  env->pctx->status = 0;
  out = captured([&] { EXPECT_EQ(defStmt_makePostSymbolCall(env, integer(18446745), sym("s")), nullptr); });
  EXPECT_EQ(out, error("too big second unit duration value (max for second unit is 18446744)\n"));
  EXPECT_EQ(env->pctx->status, 185);
  // Other units take any literal.
  EXPECT_NE(defStmt_makePostSymbolCall(env, integer(18446745), sym("ms")), nullptr);

  AST* u32Variable = global("n", TypeUInt32);
  AST* d = defStmt_makePostSymbolCall(env, u32Variable, sym("ms"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->op, MS_LITERAL_OP);
  EXPECT_EQ(d->value.uinteger, ~u64{0});
  EXPECT_EQ(AST_left(p, d), u32Variable);
  AST* i32Variable = global("m", TypeSInt32);
  out = captured([&] { EXPECT_EQ(defStmt_makePostSymbolCall(env, i32Variable, sym("us")), nullptr); });
  EXPECT_EQ(out, error("a duration expression must have unsigned integer type (\"int32\" found)\n"));
  EXPECT_EQ(env->pctx->status, 1442);
}

TEST_F(DefProcessTest, IteratorDeclarationRemembersItsBuffer) {
  u32 queue = defType_getBuffer(env, QUEUE_BUFFER, TypeUInt16, integer(4));
  defVar_declareGlobal(env, defBuff_makeDefinition(env, queue, sym("q"), integer(4), nullptr, false));
  AST* buffer = defVar_makeAccess(env, sym("q"));
  AST* decl = defIter_makeDeclaration(env, sym("it"), buffer);
  ASSERT_NE(decl, nullptr);
  EXPECT_EQ(decl->op, ITERATOR_DECL_OP);
  EXPECT_TRUE(defType_isIterator(env, decl->value.id.type));
  EXPECT_EQ(AST_right(p, decl), buffer);
  EXPECT_EQ(defIter_getBufferExpr(env, defVar_makeAccess(env, sym("it"))), buffer);
  // A second iterator over the same buffer type reuses the iterator type.
  AST* again = defIter_makeDeclaration(env, sym("it2"), buffer);
  EXPECT_EQ(again->value.id.type, decl->value.id.type);
}

TEST_F(DefProcessTest, NamedBlockWrapsOnlyNamedBlocks) {
  AST* block = node(BLOCK);
  EXPECT_EQ(makeNamedBlock(env, nullptr, block), block);
  AST* name = defVar_makeAndDeclareNamedBlockDefinition(env, sym("nb"));
  AST* named = makeNamedBlock(env, name, block);
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->op, NAMED_BLOCK);
  EXPECT_EQ(AST_list1st(p, AST_left(p, named))->op, IMPLICIT_VARIABLE_DECL);
  EXPECT_EQ(AST_list1st(p, AST_left(p, named))->value.id.type, static_cast<u32>(TypeNamedBlock));
  EXPECT_EQ(AST_list1st(p, AST_right(p, named)), block);
  EXPECT_EQ(defVar_lookupLocal(env, symbol("nb")), NO_ID);  // its scope ended
}

TEST_F(DefProcessTest, AllocationOfNestedInstancesAndStatics) {
  u32 b = process("B", {{"y", TypeUInt16}});
  u32 none = process("N", {});
  // P declares a static x, then a sub-instance b of B.
  defVar_makeAndDeclareProcessInstanceData(env);
  AST* x = defVar_makeDefinition(env, VARIABLE_DECL_OP, TypeUInt8, sym("x"), nullptr);
  defProc_addStaticVariable(env, x);
  defVar_declareStatic(env, x);
  AST* sub = defProc_makeInstance(env, sym("B"), sym("b"));
  defProc_declareLocalInstance(env, sub);
  EXPECT_EQ(defProc_lookupLocalInstance(env, symbol("b")), 0u);
  EXPECT_EQ(defProc_lookupLocalInstance(env, symbol("x")), NO_ID);
  EXPECT_EQ(sub->op, PROCESS_INSTANCE_NODE);
  EXPECT_EQ(AST_left(p, sub)->value.id.id, b);
  EXPECT_EQ(AST_right(p, sub)->op, INDEX_NODE);
  EXPECT_EQ(AST_right(p, sub)->value.id.id, symbol("b"));
  // The record of b stays an implicit declaration in the static list: the
  // interpreter finds a sub-instance's record by that kind and name.
  AST* record = AST_getListNth(p, defProc_getStaticVariables(env), 1);
  EXPECT_EQ(record->op, IMPLICIT_VARIABLE_DECL);
  EXPECT_EQ(record->value.id.type, processInstance);
  EXPECT_NE(defVar_lookupStatic(env, symbol("b")), NO_ID);
  AST* decl = defProc_declareStateMachine(env, sym("P"), nullptr, list({sub}), nullptr,
                                          list({state("s")}), nullptr);
  defVar_clearProcessLocalImplicitVariables(env);
  defProc_clearLocalInstances(env);
  parser_add_external_definition(env, decl);
  u32 pDef = defProc_lookupDefinition(env, symbol("P"));
  EXPECT_EQ(p->processDefinitionTable[pDef].n_staticVariables, 2u);
  EXPECT_EQ(p->processDefinitionTable[pDef].n_subInstances, 1u);
  EXPECT_EQ(defProc_lookupLocalInstance(env, symbol("b")), NO_ID);

  instance("N", "n");
  instance("P", "p");
  u32 staticsBefore = p->infoProg->n_processStaticVariables;
  parser_allocate_process_instances(env, p->root);

  ASSERT_EQ(p->infoProg->n_processInstances, 3u);
  EXPECT_EQ(p->processInstanceTable[0].definition, none);
  EXPECT_EQ(p->processInstanceTable[0].firstStaticVariable, NO_ID);
  EXPECT_EQ(p->processInstanceTable[1].definition, pDef);
  EXPECT_EQ(p->processInstanceTable[1].firstStaticVariable, staticsBefore);
  EXPECT_EQ(p->processInstanceTable[2].definition, b);
  EXPECT_EQ(p->processInstanceTable[2].firstStaticVariable, staticsBefore + 2);
  EXPECT_STREQ(Symbol_getName(p, p->dbg->processInstanceSymbolId[1]), "p");
  EXPECT_STREQ(Symbol_getName(p, p->dbg->processInstanceSymbolId[2]), "b");

  ASSERT_EQ(p->infoProg->n_processStaticVariables, staticsBefore + 3);
  EXPECT_STREQ(staticName(staticsBefore), "p::x");
  EXPECT_STREQ(staticName(staticsBefore + 1), "p::b");
  EXPECT_STREQ(staticName(staticsBefore + 2), "p::b::y");
  EXPECT_EQ(p->processStaticVariableTable[staticsBefore].typeId, static_cast<u32>(TypeUInt8));
  EXPECT_EQ(p->processStaticVariableTable[staticsBefore + 1].typeId, processInstance);
  EXPECT_EQ(p->processStaticVariableTable[staticsBefore + 2].typeId, static_cast<u32>(TypeUInt16));

  const ProcessGlobalInstance& gp = p->processGlobalInstanceTable[1];
  EXPECT_EQ(gp.firstInstance, 1u);
  EXPECT_EQ(gp.definition, pDef);
  EXPECT_EQ(gp.firstStaticVariable, staticsBefore);
  EXPECT_EQ(p->processGlobalInstanceTable[0].firstInstance, 0u);
  EXPECT_EQ(p->processGlobalInstanceTable[0].definition, none);
}

TEST_F(DefProcessTest, AllocatedImageIsAcceptedByTheReader) {
  process("B", {{"y", TypeUInt16}});
  defVar_makeAndDeclareProcessInstanceData(env);
  AST* sub = defProc_makeInstance(env, sym("B"), sym("b"));
  defProc_declareLocalInstance(env, sub);
  parser_add_external_definition(
      env, defProc_declareStateMachine(env, sym("P"), nullptr, list({sub}), nullptr,
                                       list({state("s", {on("s")})}), nullptr));
  defVar_clearProcessLocalImplicitVariables(env);
  defProc_clearLocalInstances(env);
  instance("P", "p", list({ms(10)}));
  parser_allocate_process_instances(env, p->root);
  GlobalAndStaticVariables_init(env);
  std::string path = ::testing::TempDir() + "def_process_" + std::to_string(getpid()) + ".ast";
  ASSERT_EQ(write_storeProgramBinary(env, path.c_str()), 0);
  InterpEnv* loaded = interp_create();
  EXPECT_EQ(interp_load(loaded, path.c_str()), 0u);
  EXPECT_EQ(loaded->program->infoProg->n_processInstances, 2u);
  interp_stop(loaded);
  std::remove(path.c_str());
}

TEST_F(DefProcessTest, AProcessContainingItselfIsRejectedByTheAllocation) {
  // A prototype makes the definition known inside its own body.
  defProc_declareStateMachinePrototype(env, sym("R"), nullptr);
  defVar_makeAndDeclareProcessInstanceData(env);
  AST* sub = defProc_makeInstance(env, sym("R"), sym("inner"));
  defProc_declareLocalInstance(env, sub);
  parser_add_external_definition(
      env, defProc_declareStateMachine(env, sym("R"), nullptr, list({sub}), nullptr,
                                       list({state("s")}), nullptr));
  defVar_clearProcessLocalImplicitVariables(env);
  defProc_clearLocalInstances(env);
  instance("R", "r");
  std::string out = captured([&] { parser_allocate_process_instances(env, p->root); });
  EXPECT_EQ(out, error("process R contains an instance of itself (inner)\n"));
  EXPECT_EQ(env->pctx->status, 212);
  EXPECT_EQ(p->infoProg->n_processInstances, 1u);
}

}  // namespace
