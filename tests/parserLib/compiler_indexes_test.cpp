// The compiler's own work lists and indexes: the walk stack that spills to
// the heap, the id maps of the grammar and of the name tables, and the symbol
// index at sizes where they grow, collide and get rolled back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "def_expression.h"
#include "grammar_support.h"
#include "id_map.h"
#include "parser_data.h"
#include "small_stack.h"

namespace {

TEST(SmallStack, KeepsLastInFirstOutAcrossTheInlinePart) {
  SmallStack<u32, 4> stack(0u);
  for (u32 i = 1; i < 10; ++i) stack.push(i);
  EXPECT_EQ(stack.size(), 10u);
  // Popping back below the inline part and pushing past it again.
  for (u32 i = 9; i >= 3; --i) ASSERT_EQ(stack.pop(), i);
  for (u32 i = 100; i < 105; ++i) stack.push(i);
  for (u32 i = 104; i >= 100; --i) ASSERT_EQ(stack.pop(), i);
  for (u32 i = 3; i-- > 0;) ASSERT_EQ(stack.pop(), i);
  EXPECT_TRUE(stack.empty());
}

TEST(IdMap, FindsOverwritesAndClearsThroughGrowthAndCollisions) {
  IdMap map;
  EXPECT_EQ(map.find(7), NO_ID);
  // Keys that share their low bits land in the same probe sequence.
  std::vector<u32> keys;
  for (u32 i = 0; i < 3000; ++i) keys.push_back(i * 1024);
  for (u32 key : keys) map.set(key, key + 1);
  EXPECT_EQ(map.size(), keys.size());
  for (u32 key : keys) ASSERT_EQ(map.find(key), key + 1) << key;
  EXPECT_EQ(map.find(1), NO_ID);
  map.set(2048, 5);
  EXPECT_EQ(map.find(2048), 5u);
  EXPECT_EQ(map.size(), keys.size());
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  for (u32 key : keys) ASSERT_EQ(map.find(key), NO_ID) << key;
  map.set(0, 9);
  EXPECT_EQ(map.find(0), 9u);
}

TEST(FirstPositionIndex, AnswersLikeASearchFromTheStartAsTheTableGrows) {
  // Repeated names, NO_ID entries, and entries appended between lookups.
  std::vector<u32> table;
  FirstPositionIndex index;
  auto search = [&](u32 key) {
    for (u32 i = 0; i < table.size(); ++i) {
      if (table[i] == key) return i;
    }
    return NO_ID;
  };
  for (u32 round = 0; round < 2000; ++round) {
    table.push_back(round % 7 == 3 ? NO_ID : (round * 37) % 500);
    for (u32 key : {u32{0}, (round * 37) % 500, u32{499}, u32{777}, NO_ID}) {
      ASSERT_EQ(index.find(table.data(), static_cast<u32>(table.size()), key), search(key))
          << "round " << round << " key " << key;
    }
  }
}

class CompilerIndexesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = parser_initTables();
    parser_createTree(env, 100000);
    env->pctx->exitOnError = false;
  }
  void TearDown() override { parser_freeAll(env); }
  ParserEnv* env = nullptr;
};

TEST_F(CompilerIndexesTest, SymbolIndexAnswersLikeASearchInIdOrderAtAnySize) {
  std::vector<u32> ids;
  for (int i = 0; i < 5000; ++i) ids.push_back(defExpr_lookupOrAddSymbol(env, ("n" + std::to_string(i)).c_str()));
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(defExpr_lookupForSymbol(env, ("n" + std::to_string(i)).c_str()), ids[i]) << i;
  }
  // Prefixes and extensions of stored names are other names.
  EXPECT_EQ(defExpr_lookupForSymbol(env, "n"), NO_ID);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "n49999"), NO_ID);
  EXPECT_EQ(defExpr_lookupForSymbol(env, ""), NO_ID);
  // A name stored twice is found at its first id.
  const u32 again = defExpr_AddSymbol(env, "n17");
  EXPECT_NE(again, ids[17]);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "n17"), ids[17]);
  // Symbols dropped from the image are forgotten, and names added since are found.
  env->program->infoProg->n_symbols = ids[100];
  EXPECT_EQ(defExpr_lookupForSymbol(env, "n100"), NO_ID);
  EXPECT_EQ(defExpr_lookupForSymbol(env, "n99"), ids[99]);
  EXPECT_EQ(defExpr_lookupOrAddSymbol(env, "n4000"), ids[100]);
}

TEST_F(CompilerIndexesTest, FirstSymNodeFollowsNodesDroppedAndMadeAgain) {
  program* p = env->program;
  const u32 symbol = defExpr_lookupOrAddSymbol(env, "probe");
  const u32 mark = AST_get_tree_size(p);
  AST* first = defExpr_makeSymbol(env, "probe", 1);
  EXPECT_EQ(defExpr_makeSymbol(env, "probe", 2), first);
  // The node is discarded (as after a temporary construction): the symbol has
  // no node until one is made again, at the same id.
  AST_set_tree_size(p, mark);
  EXPECT_EQ(defExpr_reference_symbol(env, symbol), nullptr);
  AST* remade = defExpr_makeSymbol(env, "probe", 3);
  EXPECT_EQ(defExpr_reference_symbol(env, symbol), remade);
}

TEST_F(CompilerIndexesTest, ListsGrowAfterTheirTailsAreForgotten) {
  program* p = env->program;
  AST* a = AST_makeNodeVal(p, INTEGER_OP, 1, 0, nullptr, nullptr, 1);
  AST* b = AST_makeNodeVal(p, INTEGER_OP, 2, 0, nullptr, nullptr, 1);
  AST* c = AST_makeNodeVal(p, INTEGER_OP, 3, 0, nullptr, nullptr, 1);
  AST* list = grammar_appendCell(env, nullptr, nullptr, a);
  list = grammar_appendCell(env, nullptr, list, b);
  grammar_endDeclaration(env);
  list = grammar_appendCell(env, nullptr, list, c);
  std::vector<u64> values;
  for (AST* cell = list; cell != nullptr; cell = AST_right(p, cell)) {
    values.push_back(AST_left(p, cell)->value.uinteger);
  }
  EXPECT_EQ(values, (std::vector<u64>{1, 2, 3}));
}

}  // namespace
