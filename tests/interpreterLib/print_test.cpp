// The print formatter through the print call codes on loaded images: every
// conversion and escape, durations, formats held in character arrays and
// channels, arguments evaluated as their conversion is reached, printing
// with no host callback, uint8.print into a character array (fit, overflow,
// a target that is also an argument), and display_value of whole values.
#include "print.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image_builder.h"
#include "interp_api.h"
#include "interp_call.h"
#include "statement.h"

namespace {

struct Log {
  std::string printed;
  std::vector<std::pair<size_t, int>> exits;
  std::vector<std::string> asserts;
};
Log logs;

int collect(InterpEnv*, int c) {
  logs.printed.push_back(static_cast<char>(c));
  return c;
}
void logExit(InterpEnv*, size_t line, int code) { logs.exits.emplace_back(line, code); }
void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  logs.asserts.emplace_back(text);
}

void emitToString(PrintSink& sink, char c) {
  static_cast<std::string*>(sink.context)->push_back(c);
}

constexpr u64 kMs = 1000000000;
constexpr u64 kS = 1000000000000;

class PrintTest : public ::testing::Test {
 protected:
  void SetUp() override { logs = Log{}; }
  void TearDown() override {
    if (env != nullptr) interp_stop(env);
  }

  void load() {
    env = b.writeLoadAndInit();
    env_on_print(env, collect);
    env_on_exit(env, logExit);
    env_on_assert(env, logAssert);
  }
  AST* loaded(AST* node) { return AST_fromId(env->program, AST_id(b.p, node)); }
  // Runs one statement and returns what it printed.
  std::string run(AST* statement) {
    logs.printed.clear();
    statement_execute(env, loaded(statement));
    EXPECT_EQ(env->ctx->stackCount, 0u);
    return logs.printed;
  }

  AST* label(const std::string& text) { return b.node(LABEL_STRING_OP, b.labelString(text)); }
  // A string literal: length + 2, 2, the characters, a zero.
  AST* literal(const std::string& text) {
    std::vector<DataCell> cells = {text.size() + 2, 2};
    cells.insert(cells.end(), text.begin(), text.end());
    cells.push_back(0);
    return b.node(STRING_OP, b.constantData(cells));
  }
  AST* typed(u32 typeId, u64 cell) { return b.cast(typeId, b.integer(cell)); }
  AST* printCall(u32 code, AST* format, std::vector<AST*> values = {}) {
    values.insert(values.begin(), format);
    return b.call(code, TypeStmt, nullptr, nullptr, b.list(values));
  }
  AST* print(const std::string& format, std::vector<AST*> values = {}) {
    return printCall(kCallPrintArgs, label(format), std::move(values));
  }
  AST* stringPrint(u32 target, const std::string& format, std::vector<AST*> values = {}) {
    values.insert(values.begin(), {b.globalRef(target), label(format)});
    return b.call(kCallStringPrint, TypeStmt, nullptr, nullptr, b.list(values));
  }
  std::vector<DataCell> cells(u32 varId) {
    const TaggedValue v = env->program->globalVariableTable[varId];
    return std::vector<DataCell>(v.value, v.value + env->program->typeTable[v.typeId].storageSize);
  }
  std::vector<DataCell> chars(const std::string& text) {
    return std::vector<DataCell>(text.begin(), text.end());
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
};

TEST_F(PrintTest, ConversionsAndEscapes) {
  struct Row {
    AST* statement;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {print("%d %u %x\\n", {b.integer(static_cast<u64>(-1)), b.integer(255), b.integer(255)}),
       "-1 255 ff\n"},
      {print("%i|%d", {typed(TypeSInt8, 0x80), typed(TypeSInt16, 0xFFFF)}), "-128|-1"},
      {print("%u", {typed(TypeSInt8, 0xFF)}), "18446744073709551615"},
      {print("%x", {typed(TypeUInt32, 0xDEADBEEF)}), "deadbeef"},
      {print("%c%c", {b.integer('O'), typed(TypeSInt32, 'K')}), "OK"},
      {print("%b %b %b", {b.boolean(true), b.boolean(false), b.integer(2)}), "true false true"},
      {print("%f %f %f", {b.f32(1.5f), b.f64(-0.25), b.integer(3)}), "1.500000 -0.250000 3.000000"},
      {print("%s|%s", {literal("abc"), label("label")}), "abc|label"},
      // Percent signs: doubled, trailing, unknown conversion (takes no
      // argument), conversion with no argument left.
      {print("100%%"), "100%"},
      {print("50%"), "50"},
      {print("%q%d", {b.integer(7)}), "7"},
      {print("%d,%d", {b.integer(1)}), "1,"},
      // Escapes; an unknown one is a blank, a trailing backslash nothing.
      {print("\\\"\\'\\\\\\a\\b\\f\\n\\r\\t\\v"), "\"'\\\a\b\f\n\r\t\v"},
      {print("a\\qb"), "a b"},
      {print("[\\0]"), std::string("[\0]", 3)},
      {print("x\\"), "x"},
      {printCall(kCallPrint, label("plain")), "plain"},
  };
  load();
  for (const Row& row : rows) EXPECT_EQ(run(row.statement), row.expected);
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(PrintTest, Durations) {
  const u64 everyUnit = 86400 * kS + 3600 * kS + 60 * kS + kS + kMs + 1000000 + 1000 + 1;
  const std::vector<std::pair<AST*, std::string>> rows = {
      {typed(TypeTime, 0), "0"},
      {b.timeLiteral(MS_LITERAL_OP, 2), "2ms"},
      {typed(TypeTime, 1500 * kMs), "1s500ms"},
      {b.timeLiteral(S_LITERAL_OP, 90), "1mn30s"},
      {b.call(kCallTimeLast, TypeTime, nullptr, nullptr, nullptr), "time64.LAST"},
      {typed(TypeTime, everyUnit), "1d1h1mn1s1ms1us1ns1ps"},
      {typed(TypeTime, 2 * 86400 * kS + 7), "2d7ps"},
  };
  std::vector<AST*> statements;
  for (const auto& row : rows) statements.push_back(print("%t", {row.first}));
  load();
  for (size_t k = 0; k < rows.size(); ++k) EXPECT_EQ(run(statements[k]), rows[k].second);
}

// Formats and %s arguments held in arrays (up to the capacity or the first
// zero) and in channels (in pop order: a queue oldest first across its
// wrap-around, a stack from the top).
TEST_F(PrintTest, CharacterBuffers) {
  const u32 fmt =
      b.global("fmt", b.bufferType(ARRAY_BUFFER, TypeUInt8, 8), chars(std::string("n=%d\0zz", 7)));
  const u32 full = b.global("full", b.bufferType(ARRAY_BUFFER, TypeUInt8, 3), chars("abc"));
  // Queue of 3: in at slot 1, out at slot 2; slots 2, 3, 0 hold q, u, e.
  const u32 queue =
      b.global("queue", b.bufferType(QUEUE_BUFFER, TypeUInt8, 3), {3, 4, 'e', 0, 'q', 'u'});
  // Stack of 3 holding x, y, z from the bottom: in = 3 elements, out = slot 2.
  const u32 stack =
      b.global("stack", b.bufferType(STACK_BUFFER, TypeUInt8, 3), {5, 4, 'x', 'y', 'z', 0});
  AST* fromArray = printCall(kCallPrintArgs, b.globalRef(fmt), {b.integer(5)});
  AST* buffers = print("%s %s %s", {b.globalRef(full), b.globalRef(queue), b.globalRef(stack)});
  AST* fullFormat = printCall(kCallPrint, b.globalRef(full));
  load();
  EXPECT_EQ(run(fromArray), "n=5");
  EXPECT_EQ(run(buffers), "abc que zyx");
  EXPECT_EQ(run(fullFormat), "abc");
}

TEST_F(PrintTest, PrintlnAddsLineFeed) {
  AST* empty = b.call(kCallPrintln, TypeStmt, nullptr, nullptr, nullptr);
  AST* format = printCall(kCallPrintlnFormat, label("x"));
  AST* values = printCall(kCallPrintlnArgs, label("%d"), {b.integer(5)});
  load();
  EXPECT_EQ(run(empty), "\n");
  EXPECT_EQ(run(format), "x\n");
  EXPECT_EQ(run(values), "5\n");
}

// Functions that print while they compute a print argument: their output
// lands where their conversion is reached. Arguments no conversion reaches
// still run, after the format. With no host callback, only the side effects
// remain.
TEST_F(PrintTest, ArgumentsEvaluatedAsConversionsAreReached) {
  const u32 calls = b.global("calls", TypeUInt32);
  auto printingFunction = [&](const std::string& name, u64 result) {
    AST* body = b.block(
        nullptr,
        b.list({print(name), b.assign(b.localRef(0), b.integer(result)),
                b.assign(b.globalRef(calls),
                         b.binary(PLUS_OP, TypeUInt32, b.globalRef(calls), b.integer(1)))}));
    const u32 f = b.function(name, b.list({b.param(OUT_PARAM, TypeUInt8, "r")}), body);
    return b.callFunction(f, nullptr, TypeUInt8, kCallFunctionRightCurrying);
  };
  AST* inOrder = print("[%d|%d]", {printingFunction("a", 1), printingFunction("b", 2)});
  AST* leftOver = print("<%d>", {b.integer(1), printingFunction("c", 3)});
  AST* silent = b.call(kCallPrintlnArgs, TypeStmt, nullptr, nullptr,
                       b.list({label("%d"), printingFunction("d", 4)}));
  load();
  EXPECT_EQ(run(inOrder), "[a1|b2]");
  EXPECT_EQ(run(leftOver), "<1>c");
  // A callback is there, but the host has not asked for printing.
  env->ctx->print_enabled = false;
  EXPECT_EQ(run(silent), "");
  EXPECT_EQ(*env->program->globalVariableTable[calls].value, 4u);
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(PrintTest, StringPrintIntoCharacterArray) {
  const u32 array8 = b.bufferType(ARRAY_BUFFER, TypeUInt8, 8);
  const u32 array4 = b.bufferType(ARRAY_BUFFER, TypeUInt8, 4);
  const u32 buf = b.global("buf", array8, chars("########"));
  const u32 small = b.global("small", array4, chars("____"));
  const u32 after = b.global("after", TypeUInt64, {0x5A5A});
  AST* value = stringPrint(buf, "v=%d", {b.integer(42)});
  AST* exact = stringPrint(small, "abcd");
  AST* overflow = stringPrint(small, "%s!", {literal("xyzw")});
  AST* selfReference = stringPrint(buf, "<%s>", {b.globalRef(buf)});
  load();
  env->ctx->print_enabled = false;  // formats into the array all the same

  run(value);
  EXPECT_EQ(cells(buf), chars(std::string("v=42\0###", 8)));
  run(exact);
  EXPECT_EQ(cells(small), chars("abcd"));
  EXPECT_TRUE(logs.exits.empty());

  testing::internal::CaptureStdout();
  run(overflow);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "String copy exceeds target_buffer buffer size !\n");
  EXPECT_EQ(cells(small), chars("xyzw"));
  EXPECT_EQ(*env->program->globalVariableTable[after].value, 0x5A5Au);
  ASSERT_EQ(logs.exits.size(), 1u);
  EXPECT_EQ(logs.exits[0], (std::pair<size_t, int>{0, 1}));

  // The argument is read as the target was before the call.
  run(selfReference);
  EXPECT_EQ(cells(buf), chars(std::string("<v=42>\0#", 8)));
  EXPECT_TRUE(logs.asserts.empty());
  EXPECT_TRUE(logs.printed.empty());
}

TEST_F(PrintTest, DisplayValue) {
  const u32 color = b.enumType("Color", {"red", "green"});
  const u32 queue = b.bufferType(QUEUE_BUFFER, TypeUInt8, 3);
  const u32 stack = b.bufferType(STACK_BUFFER, TypeSInt32, 4);
  const u32 array = b.bufferType(ARRAY_BUFFER, TypeUInt16, 2);
  const u32 inner = b.structType("Inner", {{"on", TypeBoolean}, {"c", color}});
  const u32 record = b.structType("Record", {{"a", TypeSInt8},
                                             {"t", TypeTime},
                                             {"q", queue},
                                             {"s", stack},
                                             {"arr", array},
                                             {"in", inner},
                                             {"f", TypeF32},
                                             {"big", TypeSInt64},
                                             {"none", color}});
  const u32 green = b.symbol("green");
  float half = 0.5f;
  u32 halfBits;
  std::memcpy(&halfBits, &half, sizeof halfBits);
  // Queue: in at slot 1, out at slot 2, slots 2, 3, 0 hold 7, 8, 9. Stack:
  // 1, 2, 3 from the bottom.
  const u32 r = b.global(
      "r", record,
      {0xFF,     1500 * kMs,           3, 4, 9, 0, 7, 8, 5, 4, 1, 2, 3, 0, 0, 10, 20, 1, green,
       halfBits, static_cast<u64>(-5), 0});
  load();
  std::string text;
  PrintSink sink{env, emitToString, &text};
  display_valueTo(sink, env->program->globalVariableTable[r]);
  EXPECT_EQ(text, "{-1,1s500ms,{7,8,9},{3,2,1},{10,20},{true,green},0.500000,-5,NULL}");

  testing::internal::CaptureStdout();
  display_value(env, TaggedValue{env->program->globalVariableTable[r].value, TypeSInt8, NO_ID});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "-1");
}

}  // namespace
