// The prepared engine against the tree walker: the same program, run on each,
// must leave the same values and make the same reports (internal checks,
// run-time errors, failures), with the value stack and the local frame
// restored. Also the size of the prepared form.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_call.h"

namespace {

struct Record {
  std::vector<std::string> asserts;
  std::vector<std::pair<u32, u32>> invalidOps;  // line, code
  std::vector<int> exits;
  std::string output;
  DataCell result = 0;
  u32 stackCount = 0;
  u32 localCount = 0;
  bool operator==(const Record&) const = default;
};
Record current;

void recordAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  current.asserts.emplace_back(text);
}
void recordExit(InterpEnv*, size_t, int code) { current.exits.push_back(code); }
TaggedValue recordInvalidOp(InterpEnv* env, AST* node, u32 code) {
  current.invalidOps.emplace_back(node == nullptr ? 0 : AST_line(env->program, node), code);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}

std::string describe(const Record& r) {
  std::string text = "result " + std::to_string(r.result) + " stack " +
                     std::to_string(r.stackCount) + " locals " + std::to_string(r.localCount);
  for (const std::string& a : r.asserts) text += " assert[" + a + "]";
  for (auto [line, code] : r.invalidOps) {
    text += " invalid[" + std::to_string(code) + "@" + std::to_string(line) + "]";
  }
  for (int code : r.exits) text += " exit[" + std::to_string(code) + "]";
  return text + " output[" + r.output + "]";
}

struct EngineRunner {
  // Builds a function `f` whose body assigns `expression` to the uint64
  // global `result` (in a block with one uint32 local `n` = 7), runs it on
  // the given engine and records what happened.
  Record run(const std::function<AST*(ImageBuilder&, u32 result)>& expression, bool tree) {
    ImageBuilder b;
    const u32 result = b.global("result", TypeUInt64);
    AST* body = b.block(b.list({b.varDecl(TypeUInt32, "n", b.cast(TypeUInt32, b.integer(7)))}),
                        b.list({b.assign(b.globalRef(result), expression(b, result))}));
    const u32 function = b.function("f", nullptr, body);
    InterpEnv* env = b.writeLoadAndInit();
    env_on_assert(env, recordAssert);
    env_on_exit(env, recordExit);
    interpreter_on_invalid_op(env, recordInvalidOp);
    current = Record{};
    if (tree) setenv("VELK_ENGINE", "tree", 1);
    engine_free(env);  // the choice is read when code first runs
    testing::internal::CaptureStdout();
    interp_callFunction(env, function, nullptr);
    current.output = testing::internal::GetCapturedStdout();
    unsetenv("VELK_ENGINE");
    EXPECT_EQ(engine_isEnabled(env), !tree);
    current.result = env->program->globalVariableTable[result].value[0];
    current.stackCount = env->ctx->stackCount;
    current.localCount = env->ctx->localVarsIndexes.count.variables;
    interp_stop(env);
    return current;
  }
};

using Expression = std::function<AST*(ImageBuilder&, u32)>;

AST* u32Literal(ImageBuilder& b, u64 v) { return b.cast(TypeUInt32, b.integer(v)); }
AST* s8Literal(ImageBuilder& b, u64 v) { return b.cast(TypeSInt8, b.integer(v)); }

TEST(EngineShapes, EveryShapeBehavesAsOnTheTreeWalker) {
  struct Row {
    const char* what;
    Expression expression;
  };
  const std::vector<Row> rows = {
      {"wrap-around in the operand type",
       [](ImageBuilder& b, u32) {
         return b.binary(PLUS_OP, TypeUInt8, b.cast(TypeUInt8, b.integer(200)),
                         b.cast(TypeUInt8, b.integer(100)));
       }},
      {"local and literal fused, division by zero",
       [](ImageBuilder& b, u32) {
         return b.binary(DIV_OP, TypeUInt32, b.localRef(0), b.integer(0));
       }},
      {"local and local fused, remainder by zero",
       [](ImageBuilder& b, u32) {
         return b.binary(MOD_OP, TypeUInt32, b.localRef(0),
                         b.binary(MINUS_OP, TypeUInt32, b.localRef(0), b.localRef(0)));
       }},
      {"signed minimum divided by -1",
       [](ImageBuilder& b, u32) {
         return b.binary(DIV_OP, TypeSInt8, s8Literal(b, 0x80), s8Literal(b, 0xFF));
       }},
      {"signed minimum modulo -1",
       [](ImageBuilder& b, u32) {
         return b.binary(MOD_OP, TypeSInt8, s8Literal(b, 0x80), s8Literal(b, 0xFF));
       }},
      {"shifts widen to 32 bits",
       [](ImageBuilder& b, u32) {
         return b.binary(BIT_RSHIFT_OP, TypeSInt8, s8Literal(b, 0xF0), u32Literal(b, 2));
       }},
      {"negation of an unsigned operand",
       [](ImageBuilder& b, u32) {
         return b.unary(NEG_OP, TypeUInt8, b.cast(TypeUInt8, b.localRef(0)));
       }},
      {"float equality is refused at run time",
       [](ImageBuilder& b, u32) { return b.binary(CEQ_OP, TypeF64, b.f64(1.0), b.f64(1.0)); }},
      {"float division by zero",
       [](ImageBuilder& b, u32) { return b.binary(DIV_OP, TypeF32, b.f32(1.0f), b.f32(0.0f)); }},
      {"operator type without an operator",
       [](ImageBuilder& b, u32) { return b.binary(PLUS_OP, TypeFP, b.integer(1), b.integer(2)); }},
      {"operator type out of range",
       [](ImageBuilder& b, u32) {
         return b.binary(PLUS_OP, TypePrimitive, b.integer(1), b.integer(2));
       }},
      {"unary operator with a right operand",
       [](ImageBuilder& b, u32) { return b.binary(NEG_OP, TypeInt, b.integer(1), b.integer(2)); }},
      {"missing operand",
       [](ImageBuilder& b, u32) { return b.binary(PLUS_OP, TypeUInt32, b.localRef(0), nullptr); }},
      {"global out of range",
       [](ImageBuilder& b, u32) { return b.globalRef(999); }},
      {"local beyond the frame",
       [](ImageBuilder& b, u32) { return b.binary(PLUS_OP, TypeUInt32, b.localRef(5), b.integer(1)); }},
      {"static outside a process",
       [](ImageBuilder& b, u32) { return b.binary(PLUS_OP, TypeUInt32, b.staticRef(0), b.integer(1)); }},
      {"operand that is a statement",
       [](ImageBuilder& b, u32 result) {
         return b.binary(PLUS_OP, TypeUInt64, b.assign(b.globalRef(result), b.integer(3)),
                         b.integer(1));
       }},
      {"logical operators on integers",
       [](ImageBuilder& b, u32) {
         return b.binary(AND_OP, TypeBoolean, b.localRef(0), b.unary(NOT_OP, TypeBoolean, b.boolean(false)));
       }},
      {"not of an integer is an internal error",
       [](ImageBuilder& b, u32) { return b.unary(NOT_OP, TypeBoolean, b.localRef(0)); }},
      {"float64 functions of literals and of computed values",
       [](ImageBuilder& b, u32) {
         AST* root = b.call(kCallF64Sqrt, TypeF64, nullptr, nullptr, b.list({b.f64(2.0)}));
         AST* power = b.call(kCallF64Pow, TypeF64, nullptr, nullptr,
                             b.list({b.binary(MUL_OP, TypeF64, root, b.f64(3.0)), b.f64(1.5)}));
         return b.binary(GT_OP, TypeF64, power, b.f64(9.5));
       }},
      {"float64 function of an integer local is refused",
       [](ImageBuilder& b, u32) {
         AST* sine = b.call(kCallF64Sin, TypeF64, nullptr, nullptr, b.list({b.localRef(0)}));
         return b.binary(LT_OP, TypeF64, sine, b.f64(0.5));
       }},
      {"pow with its second argument missing",
       [](ImageBuilder& b, u32) {
         AST* power = b.call(kCallF64Pow, TypeF64, nullptr, nullptr, b.list({b.f64(2.0)}));
         return b.binary(LT_OP, TypeF64, power, b.f64(0.5));
       }},
      {"comparison chain result stored in a wider global",
       [](ImageBuilder& b, u32) {
         return b.binary(LT_OP, TypeSInt8, s8Literal(b, 0xFF), s8Literal(b, 1));
       }},
  };
  EngineRunner fixture;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Record tree = fixture.run(row.expression, true);
    const Record prepared = fixture.run(row.expression, false);
    EXPECT_EQ(tree, prepared) << "tree:     " << describe(tree) << "\nprepared: " << describe(prepared);
    EXPECT_EQ(prepared.stackCount, 0u);
    EXPECT_EQ(prepared.localCount, 0u);
  }
}

// Channel operations in a local of the given type: the engine's in-place
// reads and writes against the buffer module's, including the reports.
struct ChannelRunner {
  using Statements = std::function<std::vector<AST*>(ImageBuilder&, u32 channelType)>;
  // `statements` run in a function with the channel local `c` (local 0);
  // `result` (a uint64 expression) is stored into the global `result`.
  Record run(const std::function<u32(ImageBuilder&)>& channelType, const Statements& statements,
             const Expression& result, bool tree) {
    ImageBuilder b;
    const u32 resultId = b.global("result", TypeUInt64);
    const u32 type = channelType(b);
    std::vector<AST*> body = statements(b, type);
    body.push_back(b.assign(b.globalRef(resultId), result(b, resultId)));
    AST* block = b.block(b.list({b.varDecl(type, "c")}), b.list(body));
    const u32 function = b.function("f", nullptr, block);
    InterpEnv* env = b.writeLoadAndInit();
    env_on_assert(env, recordAssert);
    interpreter_on_invalid_op(env, recordInvalidOp);
    current = Record{};
    if (tree) setenv("VELK_ENGINE", "tree", 1);
    engine_free(env);
    interp_callFunction(env, function, nullptr);
    unsetenv("VELK_ENGINE");
    current.result = env->program->globalVariableTable[resultId].value[0];
    current.stackCount = env->ctx->stackCount;
    current.localCount = env->ctx->localVarsIndexes.count.variables;
    interp_stop(env);
    return current;
  }
};

AST* push(ImageBuilder& b, AST* value) {
  return b.call(kCallChannelPush, TypeStmt, b.localRef(0), nullptr, b.list({value}));
}
AST* channelCall(ImageBuilder& b, u32 code, u32 resultType) {
  return b.call(code, resultType, b.localRef(0), nullptr, nullptr);
}
// Three pops folded into one number (digits of base 1000), plus the count.
AST* threePopsAndCount(ImageBuilder& b, u32 element) {
  auto pop = [&] { return b.cast(TypeUInt64, channelCall(b, kCallChannelPop, element)); };
  AST* digits = b.binary(PLUS_OP, TypeUInt64,
                         b.binary(MUL_OP, TypeUInt64, pop(), b.integer(1000000)),
                         b.binary(PLUS_OP, TypeUInt64,
                                  b.binary(MUL_OP, TypeUInt64, pop(), b.integer(1000)), pop()));
  return b.binary(PLUS_OP, TypeUInt64, digits,
                  b.binary(MUL_OP, TypeUInt64, b.integer(1000000000),
                           b.cast(TypeUInt64, channelCall(b, kCallChannelCount, TypeUInt32))));
}

TEST(EngineChannels, LocalQueuesAndStacksBehaveAsOnTheTreeWalker) {
  struct Row {
    const char* what;
    std::function<u32(ImageBuilder&)> type;
    ChannelRunner::Statements statements;
    Expression result;
  };
  auto u8Values = [](std::vector<u64> values) {
    return [values](ImageBuilder& b, u32) {
      std::vector<AST*> s;
      for (u64 v : values) s.push_back(push(b, b.cast(TypeUInt8, b.integer(v))));
      return s;
    };
  };
  const std::vector<Row> rows = {
      {"queue: order, full push reported, wrap-around",
       [](ImageBuilder& b) { return b.bufferType(QUEUE_BUFFER, TypeUInt8, 3); },
       u8Values({1, 2, 3, 4}),
       [](ImageBuilder& b, u32) { return threePopsAndCount(b, TypeUInt8); }},
      {"stack: order, full push and empty pop reported",
       [](ImageBuilder& b) { return b.bufferType(STACK_BUFFER, TypeUInt8, 2); },
       u8Values({5, 6, 7}),
       [](ImageBuilder& b, u32) { return threePopsAndCount(b, TypeUInt8); }},
      {"pushed value converted to the element type",
       [](ImageBuilder& b) { return b.bufferType(QUEUE_BUFFER, TypeUInt8, 2); },
       [](ImageBuilder& b, u32) { return std::vector<AST*>{push(b, b.integer(300))}; },
       [](ImageBuilder& b, u32) { return threePopsAndCount(b, TypeUInt8); }},
      {"queue whose storage is too small for its slots",
       [](ImageBuilder& b) {
         return b.declareType("short queue", TypeUInt8, 4, 4, QUEUE_BUFFER, nullptr);
       },
       u8Values({9}),
       [](ImageBuilder& b, u32) {
         return b.cast(TypeUInt64, channelCall(b, kCallChannelCount, TypeUInt32));
       }},
      {"emptiness and fullness as truths",
       [](ImageBuilder& b) { return b.bufferType(QUEUE_BUFFER, TypeUInt8, 1); },
       u8Values({1}),
       [](ImageBuilder& b, u32) {
         return b.cast(TypeUInt64,
                       b.binary(AND_OP, TypeBoolean, channelCall(b, kCallChannelIsFull, TypeBoolean),
                                channelCall(b, kCallChannelNotEmpty, TypeBoolean)));
       }},
  };
  ChannelRunner runner;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Record tree = runner.run(row.type, row.statements, row.result, true);
    const Record prepared = runner.run(row.type, row.statements, row.result, false);
    EXPECT_EQ(tree, prepared) << "tree:     " << describe(tree) << "\nprepared: " << describe(prepared);
    EXPECT_EQ(prepared.stackCount, 0u);
    EXPECT_EQ(prepared.localCount, 0u);
  }
}

// The prepared form of a function stays within twice the size of its nodes.
TEST(EngineShapes, PreparedFormIsSmallerThanTwiceTheImage) {
  ImageBuilder b;
  const u32 result = b.global("result", TypeUInt64);
  std::vector<AST*> statements;
  for (u64 k = 0; k < 2000; ++k) {
    statements.push_back(b.assign(
        b.globalRef(result),
        b.binary(PLUS_OP, TypeUInt64,
                 b.binary(MUL_OP, TypeUInt64, b.globalRef(result), b.integer(k + 3)),
                 b.binary(MOD_OP, TypeUInt64, b.localRef(0), b.integer(k + 1)))));
  }
  AST* body = b.block(b.list({b.varDecl(TypeUInt64, "n", b.integer(7))}), b.list(statements));
  const u32 function = b.function("f", nullptr, body);
  InterpEnv* env = b.writeLoadAndInit();
  interp_callFunction(env, function, nullptr);
  ASSERT_TRUE(engine_isEnabled(env));
  const size_t nodes = size_t{env->program->infoProg->n_AST} * sizeof(AST);
  EXPECT_GT(engine_preparedBytes(env), 0u);
  EXPECT_LE(engine_preparedBytes(env), 2 * nodes);
  interp_stop(env);
}

}  // namespace
