#include "ast.h"

#include <gtest/gtest.h>

#include "test_image.h"

namespace {

AST* leaf(program* p, u32 value, u32 line = 1) {
  return AST_makeNodeVal(p, INTEGER_OP, value, 0, nullptr, nullptr, line);
}

TEST(AstNodes, NodeRecordKeepsFieldsAndLines) {
  ScopedProgram prog;
  program* p = prog.p;
  AST* root = AST_makeNodeVal(p, ROOT, 0, 0, nullptr, nullptr, 0);
  AST* a = leaf(p, 7, 3);
  AST* b = AST_makeNodeVal(p, PLUS_OP, TypeUInt8, 0xABCD, a, nullptr, 9);
  EXPECT_EQ(AST_id(p, root), 0u);
  EXPECT_EQ(b->op, PLUS_OP);
  EXPECT_EQ(b->reserved, 0u);
  EXPECT_EQ(b->value.id.type, TypeUInt8);
  EXPECT_EQ(b->value.uinteger, (u64{0xABCD} << 32) | TypeUInt8);
  EXPECT_EQ(AST_left(p, b), a);
  EXPECT_EQ(b->right, NO_ID);
  EXPECT_EQ(AST_right(p, b), nullptr);
  EXPECT_EQ(AST_line(p, a), 3u);
  EXPECT_EQ(AST_lineFromId(p, AST_id(p, b)), 9u);
  EXPECT_EQ(AST_getTreeNodesCount(p), 3u);
  EXPECT_TRUE(AST_makeBooleanNode(p, true, 1)->value.boolean);
  EXPECT_EQ(AST_makeEmptyNode(p, 1)->op, NONE_OP);
}

TEST(AstNodes, AbsentIdsReadAsAbsent) {
  ScopedProgram prog;
  EXPECT_EQ(AST_fromId(prog.p, NO_ID), nullptr);
  EXPECT_EQ(AST_id(prog.p, nullptr), NO_ID);
}

TEST(AstNodes, SetTreeSizeDropsTemporaryNodes) {
  ScopedProgram prog;
  leaf(prog.p, 1);
  u32 mark = AST_get_tree_size(prog.p);
  leaf(prog.p, 2);
  leaf(prog.p, 3);
  AST_set_tree_size(prog.p, mark);
  EXPECT_EQ(AST_id(prog.p, leaf(prog.p, 4)), mark);
}

TEST(AstNodesDeathTest, CapacityKHoldsKMinusOneNodes) {
  ScopedProgram prog(10);
  for (int i = 0; i < 9; ++i) leaf(prog.p, i);
  EXPECT_EQ(AST_getTreeNodesCount(prog.p), 9u);
  // The message goes to standard output; the command-line tests check its text.
  EXPECT_EXIT(leaf(prog.p, 9), testing::ExitedWithCode(666 & 0xFF), "");
}

TEST(AstNodesDeathTest, LineIndexCannotBeCreatedTwice) {
  ScopedProgram prog;
  EXPECT_DEATH(AST_createLineIndex(prog.p, 4), "line index already initialized");
}

TEST(AstNodesDeathTest, IdPastTheUsedNodesIsAnInternalError) {
  ScopedProgram prog;
  leaf(prog.p, 1);
  EXPECT_DEATH(AST_fromId(prog.p, 1), "Assertion '\\(id < p->infoProg->n_AST\\)' failed");
}

// The helper that makes pages resident runs ahead of the builder: nodes made
// meanwhile keep their contents, a tree smaller than the helper's lead ends
// it at the capacity, and stopping it mid-way neither hangs nor loses nodes.
TEST(AstNodes, BackgroundPrefaultKeepsEveryNode) {
  for (u32 capacity : {50u, 70000u, 300000u}) {
    ScopedProgram prog(capacity);
    program* p = prog.p;
    leaf(p, 0);
    const u32 made = capacity - 1;
    {
      AST_BackgroundPrefault prefault(p);
      for (u32 i = 1; i < made; ++i) leaf(p, i, i);
    }
    ASSERT_EQ(AST_getTreeNodesCount(p), made);
    for (u32 i = 1; i < made; i += 997) {
      EXPECT_EQ(AST_fromId(p, i)->value.halves[0], i);
      EXPECT_EQ(AST_lineFromId(p, i), i);
    }
    // Stopped while it still has blocks to go; then one more for the same tree.
    { AST_BackgroundPrefault early(p); }
    AST_BackgroundPrefault again(p);
  }
}

TEST(AstLists, SizeCountsCellsEvenWithEmptySlots) {
  ScopedProgram prog;
  program* p = prog.p;
  EXPECT_EQ(AST_listSize(p, nullptr), 0u);
  AST* list = AST_makeList3(p, leaf(p, 1), nullptr, leaf(p, 3), 1);
  EXPECT_EQ(AST_listSize(p, list), 3u);
  EXPECT_EQ(AST_getListNth(p, list, 0)->value.integer, 1);
  EXPECT_EQ(AST_getListNth(p, list, 1), nullptr);
  EXPECT_EQ(AST_getListNth(p, list, 2)->value.integer, 3);
  EXPECT_EQ(AST_getListNth(p, list, 3), nullptr);
  EXPECT_NE(AST_getListNthRoot(p, list, 2), nullptr);
  EXPECT_EQ(AST_getListNthRoot(p, list, 3), nullptr);
  EXPECT_EQ(AST_list2nd(p, list), nullptr);
}

TEST(AstLists, AddLastAppendsAndIteratorsWalkInOrder) {
  ScopedProgram prog;
  program* p = prog.p;
  AST* list = AST_makeList1(p, leaf(p, 10), 1);
  AST_addListLast(p, list, leaf(p, 20), 2);
  AST_addListLast(p, AST_makeList2(p, nullptr, nullptr, 1), leaf(p, 0), 1);
  AST_addListLast(p, list, leaf(p, 30), 3);
  std::vector<s64> seen;
  bool lastHadNext = true;
  for (ast_iterator it = ast_it_create(p, list); ast_it_notEnd(&it); ast_it_next(&it)) {
    seen.push_back(ast_it_current(&it)->value.integer);
    lastHadNext = ast_it_hasNext(&it);
  }
  EXPECT_EQ(seen, (std::vector<s64>{10, 20, 30}));
  EXPECT_FALSE(lastHadNext);
  EXPECT_EQ(AST_getCar(p, AST_getListNext(p, list))->value.integer, 20);
  EXPECT_EQ(AST_list2nd(p, list)->value.integer, 20);
}

TEST(AstLists, ListNthOfNonListIsAnInternalError) {
  ScopedProgram prog;
  AST* notList = leaf(prog.p, 1);
  EXPECT_DEATH(AST_getListNth(prog.p, notList, 0), "astp->op == LIST");
}

TEST(AstAccessors, CallAndTransitionShapes) {
  ScopedProgram prog;
  program* p = prog.p;
  AST* object = leaf(p, 5);
  AST* function = AST_makeNodeVal(p, INDEX_NODE, 42, 0, nullptr, nullptr, 1);
  AST* code = AST_makeNodeVal(p, INDEX_NODE, 2, 0, object, function, 1);
  AST* args = AST_makeList1(p, leaf(p, 1), 1);
  AST* call = AST_makeNodeVal(p, CALL_OP, TypeStmt, 0, code, args, 1);
  EXPECT_EQ(AST_getCallCode(p, call), 2u);
  EXPECT_EQ(AST_getCallObj(p, call), object);
  EXPECT_EQ(AST_getCallArgs(p, call), args);
  EXPECT_EQ(AST_getCustomFuncId(p, call), 42u);

  AST* stateDecl = AST_makeNodeVal(p, STATE_DCL, 0, 0, nullptr, nullptr, 1);
  AST* state = AST_makeNodeVal(p, NAMED_STATE_STATEMENT, 77, 0, nullptr, stateDecl, 1);
  AST* delay = leaf(p, 250);
  AST* guard = AST_makeBooleanNode(p, true, 1);
  AST* body = AST_makeNodeVal(p, TRANSITION_BODY, AST_id(p, state), 0, delay, guard, 1);
  AST* stmts = AST_makeList1(p, nullptr, 1);
  AST* after = AST_makeNodeVal(p, AFTER_OP, 77, 0, body, stmts, 1);
  EXPECT_EQ(AST_getStateId(p, state), 77u);
  EXPECT_EQ(AST_getStateDeclaration(p, state), stateDecl);
  EXPECT_EQ(AST_getAfterTransitionDelay(p, after), delay);
  EXPECT_EQ(AST_getAfterTransitionCondition(p, after), guard);
  EXPECT_EQ(AST_getAfterTransitionStatement(p, after), stmts);
  EXPECT_EQ(AST_getTransitionReachedASTState(p, after), state);
  EXPECT_DEATH(AST_getOnTransitionCondition(p, state),
               "\\(ON_OP == trans->op\\) \\|\\| \\(AFTER_OP == trans->op\\)");
}

}  // namespace
