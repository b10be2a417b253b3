#include "parser_error.h"

#include <gtest/gtest.h>

#include <cstring>

#include "parser_data.h"

namespace {

// A compiler environment with a tree, freed at the end of each test.
class Diagnostics : public testing::Test {
 protected:
  void SetUp() override {
    env_ = parser_initTables();
    parser_createTree(env_, 100000);
    warningsAsErrors = false;
  }
  void TearDown() override {
    parser_freeAll(env_);
    warningsAsErrors = false;
  }
  ParserEnv* env_ = nullptr;
};

TEST_F(Diagnostics, DetailsAppearOnlyWhenPresent) {
  testing::internal::CaptureStdout();
  parser_failure(env_, 184, "main.velk", 12, "Blinker", "type \"%s\" do not exist\n", "foo");
  parser_failure(env_, 51, nullptr, 0, nullptr, "Max line length exceeded!\n");
  parser_failure(env_, 1, "f.velk", 0, nullptr, "m\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] main.velk: Line 12: Blinker: type \"foo\" do not exist\n"
            "[ERROR] Max line length exceeded!\n"
            "[ERROR] f.velk: m\n");
  EXPECT_EQ(env_->pctx->status, 1);
}

TEST_F(Diagnostics, WarningsRecordNothingUnlessTheyAreErrors) {
  testing::internal::CaptureStdout();
  parser_warning(env_, 0, "a.velk", 3, nullptr, "shadowing\n");
  EXPECT_EQ(env_->pctx->status, 0);
  parser_warningAsError();
  parser_warning(env_, 0, "a.velk", 4, nullptr, "shadowing\n");
  EXPECT_EQ(env_->pctx->status, 1);
  parser_warning(env_, 99, "a.velk", 5, nullptr, "prototype\n");
  EXPECT_EQ(env_->pctx->status, 99);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[WARNING] a.velk: Line 3: shadowing\n[WARNING] a.velk: Line 4: shadowing\n"
            "[WARNING] a.velk: Line 5: prototype\n");
}

TEST_F(Diagnostics, DeprecationNamesTheReplacement) {
  testing::internal::CaptureStdout();
  parser_warningDeprecated(env_, "a.velk", 2, nullptr, "old", "new");
  parser_warningDeprecated(env_, "a.velk", 2, nullptr, "old", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[WARNING] a.velk: Line 2: \"old\" is deprecated, please use \"new\" instead\n"
            "[WARNING] a.velk: Line 2: \"old\" is deprecated\n");
}

TEST_F(Diagnostics, ExitOnErrorEndsWithTheStatus) {
  env_->pctx->exitOnError = true;
  EXPECT_EXIT(parser_failure(env_, 184, "a.velk", 1, nullptr, "x\n"),
              testing::ExitedWithCode(184), "");
  parser_warningAsError();
  EXPECT_EXIT(parser_warning(env_, 0, "a.velk", 1, nullptr, "x\n"), testing::ExitedWithCode(1),
              "");
  EXPECT_EXIT(parser_warningDeprecated(env_, "a.velk", 1, nullptr, "x", nullptr),
              testing::ExitedWithCode(1), "");
}

TEST_F(Diagnostics, OperationErrorsUseTheCurrentFileAndLine) {
  std::strcpy(env_->pctx->fileName, "calc.velk");
  env_->pctx->lineno = 7;
  testing::internal::CaptureStdout();
  parser_operationError(env_, "division by zero");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] calc.velk: Line 7: division by zero in expression\n");
  EXPECT_EQ(env_->pctx->status, 111);
}

TEST_F(Diagnostics, LineComesFromTheCheckedNodeOnceParsingIsOver) {
  env_->pctx->lineno = 40;
  EXPECT_EQ(parser_lineno(env_), 40u);
  AST* node = AST_makeNodeVal(env_->program, INTEGER_OP, 1, 0, nullptr, nullptr, 17);
  env_->pctx->parsing = false;
  env_->pctx->checkedNode = AST_id(env_->program, node);
  EXPECT_EQ(parser_lineno(env_), 17u);
}

TEST_F(Diagnostics, ConstantEvaluationFailuresBecomeCompilerErrors) {
  parser_installInterpreterCallbacks(env_);
  env_->pctx->sourceFileName = "model.velk";
  std::strcpy(env_->pctx->fileName, "model.velk");
  env_->pctx->lineno = 3;
  InterpEnv* ienv = env_->ienv;
  testing::internal::CaptureStdout();
  ienv->ctx->invalid_op_callback(ienv, nullptr, INVALID_OP_STACK_EMPTY);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] model.velk: Line 3: stack empty in expression\n");
  EXPECT_EXIT(ienv->ctx->exit_callback(ienv, 9, 3), testing::ExitedWithCode(7),
              "");
  EXPECT_EXIT(ienv->ctx->assert_callback(ienv, false, "f.cpp", 5, "fn", "x > 0"),
              testing::ExitedWithCode(255), "");
}

TEST_F(Diagnostics, EnvironmentSharesOneImageWithItsInterpreter) {
  EXPECT_EQ(env_->ienv->program, env_->program);
  EXPECT_EQ(env_->program->root, AST_fromId(env_->program, 0));
  EXPECT_EQ(env_->program->root->op, ROOT);
}

TEST_F(Diagnostics, BookkeepingOfCommentsNumericsStringsAndDeclarations) {
  parser_new_coment(env_);
  for (char c : std::string("ab")) parser_add_to_comment(env_, c);
  parser_close_coment(env_);
  parser_new_coment(env_);
  parser_close_coment(env_);
  EXPECT_EQ(env_->pctx->commentIndex, (std::vector<u32>{0, 3}));
  EXPECT_EQ(std::string(env_->pctx->commentsBuffer.data(), 4), std::string("ab\0\0", 4));
  AST* lastComment = AST_fromId(env_->program, AST_get_tree_size(env_->program) - 1);
  EXPECT_EQ(lastComment->op, COMMENT);
  EXPECT_EQ(lastComment->value.id.id, 1u);

  EXPECT_EQ(parser_add_numeric_string(env_, "1.5"), 0u);
  EXPECT_EQ(parser_add_numeric_string(env_, "2e3"), 1u);
  EXPECT_EQ(env_->pctx->numericsIndex[1], 4u);

  program* p = env_->program;
  u32 strings = p->infoProg->n_string;
  u32 storage = p->infoProg->stringStorageSize;
  EXPECT_EQ(parser_addLabelString(env_, "x.velk"), strings);
  EXPECT_EQ(parser_addLabelString(env_, "y"), strings + 1);
  EXPECT_EQ(parser_addLabelString(env_, "x.velk"), strings);
  EXPECT_EQ(p->infoProg->stringStorageSize, storage + 9);
  EXPECT_STREQ(p->stringTable + p->stringTableIndex[strings + 1], "y");

  u32 before = AST_listSize(p, AST_left(p, p->root));
  for (u32 i = 0; i < 3; ++i) {
    parser_add_external_definition(env_, AST_makeNodeVal(p, INTEGER_OP, i, 0, nullptr, nullptr, 1));
  }
  AST* list = AST_left(p, p->root);
  ASSERT_EQ(AST_listSize(p, list), before + 3);
  EXPECT_EQ(AST_getListNth(p, list, before + 2)->value.integer, 2);
}

}  // namespace
