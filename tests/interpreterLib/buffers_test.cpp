// Buffers on loaded images: queue and stack storage with its ring and empty
// marker, the full/empty reports, sorted insertion, copies between
// capacities, indexed access, choice_uniform and the loop-over statement with
// its iterator (driven from a change hook inside the loop body, so the
// iterator functions are exercised exactly where a program calls them).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "buffers.h"
#include "image_builder.h"
#include "interp_api.h"
#include "interp_stack.h"
#include "velk_locals.h"

namespace {

struct Log {
  std::vector<u32> invalidOps;
  std::vector<std::string> asserts;
  int exits = 0;
  std::function<void(InterpEnv*)> onTick;
};
Log logs;

TaggedValue logInvalidOp(InterpEnv*, AST*, u32 code) {
  logs.invalidOps.push_back(code);
  return TaggedValue{nullptr, NO_ID, NO_ID};
}
void logAssert(InterpEnv*, bool, const char*, size_t, const char*, const char* text) {
  logs.asserts.emplace_back(text);
}
void logExit(InterpEnv*, size_t, int) { ++logs.exits; }
u32 tickHook(InterpEnv* env, u32, u32, TaggedValue) {
  if (logs.onTick) logs.onTick(env);
  return 0;
}

s64 asS64(TaggedValue v) { return static_cast<s32>(*v.value); }

class BufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logs = Log{};
    queue3 = b.bufferType(QUEUE_BUFFER, TypeSInt32, 3);
    queue2 = b.bufferType(QUEUE_BUFFER, TypeSInt32, 2);
    queue5 = b.bufferType(QUEUE_BUFFER, TypeSInt32, 5);
    stack2 = b.bufferType(STACK_BUFFER, TypeSInt32, 2);
    stack4 = b.bufferType(STACK_BUFFER, TypeSInt32, 4);
    array4 = b.bufferType(ARRAY_BUFFER, TypeSInt32, 4);
    iterType = b.declareType("iterator<int32>", TypeSInt32, 0, 3, NONE_BUFFER, nullptr);
    tick = b.global("tick", TypeUInt8);
  }
  void TearDown() override {
    if (env != nullptr) interp_stop(env);
  }

  void load() {
    env = b.writeLoadAndInit();
    env_on_assert(env, logAssert);
    env_on_exit(env, logExit);
    interpreter_on_invalid_op(env, logInvalidOp);
    env_on_variable_change(env, tick, tickHook);
  }
  TaggedValue global(u32 id) {
    TaggedValue v = env->program->globalVariableTable[id];
    v.globalId = id;
    return v;
  }
  std::vector<DataCell> cellsOf(TaggedValue v) {
    const u32 n = env->program->typeTable[v.typeId].storageSize;
    return std::vector<DataCell>(v.value, v.value + n);
  }
  bool push(TaggedValue c, s32 x) {
    const u32 mark = interpStack_mark(env);
    const bool pushed = channel_push(env, c, interpStack_pushSInt32(env, x));
    interpStack_release(env, mark);
    return pushed;
  }
  void pushAll(TaggedValue c, std::initializer_list<s32> xs) {
    for (s32 x : xs) ASSERT_TRUE(push(c, x));
  }
  s64 pop(TaggedValue c) {
    const u32 mark = interpStack_mark(env);
    const s64 x = asS64(channel_pop(env, c));
    interpStack_release(env, mark);
    return x;
  }
  std::vector<s64> drain(TaggedValue c) {
    std::vector<s64> out;
    while (!channel_empty(env, c)) out.push_back(pop(c));
    return out;
  }
  // Runs f inside the guard a public entry point would provide; false when
  // the run was abandoned.
  template <class F>
  bool guarded(F f) {
    return interp_guard(env, false, [&] {
      f();
      return true;
    });
  }

  ImageBuilder b;
  InterpEnv* env = nullptr;
  u32 queue3, queue2, queue5, stack2, stack4, array4, iterType, tick;
};

TEST_F(BufferTest, QueueFullAndWrapAround) {
  const u32 q = b.global("q", queue3);
  load();
  const TaggedValue queue = global(q);
  pushAll(queue, {1, 2, 3});
  EXPECT_TRUE(channel_full(env, queue));
  EXPECT_EQ(channel_getCount(env, queue), 3u);
  const std::vector<DataCell> before = cellsOf(queue);
  EXPECT_FALSE(push(queue, 4));
  EXPECT_FALSE(channel_insert_sorted(env, queue, channel_peek(env, queue)));
  EXPECT_EQ(logs.invalidOps, (std::vector<u32>{INVALID_OP_QUEUE_FULL, INVALID_OP_QUEUE_FULL}));
  EXPECT_EQ(cellsOf(queue), before);
  EXPECT_EQ(pop(queue), 1);
  EXPECT_EQ(pop(queue), 2);
  pushAll(queue, {4, 5});  // in wraps past slot 3 of the four-slot ring
  EXPECT_EQ(channel_getInId(env, queue), 1u);
  EXPECT_EQ(channel_getCount(env, queue), 3u);
  EXPECT_EQ(drain(queue), (std::vector<s64>{3, 4, 5}));
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(BufferTest, EmptyReportsLeaveTheChannelAndYieldZero) {
  const u32 q = b.global("q", queue3);
  const u32 s = b.global("s", stack2);
  load();
  struct Case {
    TaggedValue channel;
    TaggedValue (*op)(InterpEnv*, TaggedValue, AST*);
    u32 code;
  };
  const Case cases[] = {
      {global(q), channel_pop, INVALID_OP_QUEUE_EMPTY},
      {global(q), channel_peek, INVALID_OP_QUEUE_EMPTY},
      {global(q), channel_lastpeek, INVALID_OP_QUEUE_EMPTY},
      {global(s), channel_pop, INVALID_OP_STACK_EMPTY},
      {global(s), channel_peek, INVALID_OP_QUEUE_EMPTY},
      {global(s), channel_lastpeek, INVALID_OP_STACK_EMPTY},
  };
  for (const Case& c : cases) {
    logs.invalidOps.clear();
    const std::vector<DataCell> before = cellsOf(c.channel);
    const TaggedValue result = c.op(env, c.channel, nullptr);
    EXPECT_EQ(logs.invalidOps, std::vector<u32>{c.code});
    EXPECT_EQ(result.typeId, TypeSInt32);
    EXPECT_EQ(*result.value, 0u);
    EXPECT_EQ(cellsOf(c.channel), before);
  }
}

TEST_F(BufferTest, StackOrderFullAndEmptyMarker) {
  const u32 s = b.global("s", stack2);
  load();
  const TaggedValue stack = global(s);
  EXPECT_TRUE(stack_isOutNull(env, stack));
  pushAll(stack, {1, 2});
  EXPECT_EQ(channel_getOutId(env, stack), 1u);  // the top is slot in - 1
  const std::vector<DataCell> before = cellsOf(stack);
  EXPECT_FALSE(push(stack, 3));
  EXPECT_FALSE(channel_insert_sorted(env, stack, channel_peek(env, stack)));
  EXPECT_EQ(logs.invalidOps, (std::vector<u32>{INVALID_OP_STACK_FULL, INVALID_OP_STACK_FULL}));
  EXPECT_EQ(cellsOf(stack), before);
  EXPECT_EQ(asS64(channel_peek(env, stack)), 2);
  EXPECT_EQ(asS64(channel_lastpeek(env, stack)), 2);
  EXPECT_EQ(pop(stack), 2);
  EXPECT_EQ(pop(stack), 1);
  EXPECT_EQ(stack.value[0], 2u);
  EXPECT_EQ(stack.value[1], 1u);  // the empty marker
  pop(stack);
  EXPECT_EQ(logs.invalidOps.back(), INVALID_OP_STACK_EMPTY);
}

TEST_F(BufferTest, PeekAndLastPeekAfterInWrapsToSlotZero) {
  const u32 q = b.global("q", queue2);
  load();
  const TaggedValue queue = global(q);
  pushAll(queue, {1, 2});
  pop(queue);
  pushAll(queue, {3});
  EXPECT_EQ(channel_getInId(env, queue), 0u);
  EXPECT_EQ(asS64(channel_lastpeek(env, queue)), 3);
  EXPECT_EQ(asS64(channel_peek(env, queue)), 2);
  // An element of the channel itself is read before anything moves.
  pop(queue);
  ASSERT_TRUE(channel_insert_sorted(env, queue, channel_peek(env, queue)));
  EXPECT_EQ(drain(queue), (std::vector<s64>{3, 3}));
}

// count: in - out when in >= out, else in + (capacity - out) + 1.
TEST_F(BufferTest, CountFromTheIndexCells) {
  const u32 q = b.global("q", queue3);
  const u32 s = b.global("s", stack4);
  load();
  const TaggedValue queue = global(q);
  const struct {
    u32 in, out, count;
    bool full;
  } rows[] = {{0, 0, 0, false}, {3, 0, 3, true}, {0, 1, 3, true},  {1, 2, 3, true},
              {0, 3, 1, false}, {1, 3, 2, false}, {2, 0, 2, false}, {3, 3, 0, false}};
  for (const auto& r : rows) {
    channel_setInId(env, queue, r.in);
    channel_setOutId(env, queue, r.out);
    EXPECT_EQ(channel_getCount(env, queue), r.count) << r.in << "," << r.out;
    EXPECT_EQ(channel_full(env, queue), r.full) << r.in << "," << r.out;
  }
  const TaggedValue stack = global(s);
  pushAll(stack, {7, 8, 9});
  EXPECT_EQ(channel_getCount(env, stack), 3u);
  EXPECT_EQ(*channel_count(env, stack).value, 3u);
  EXPECT_EQ(*channel_size(env, stack).value, 4u);
  EXPECT_EQ(*channel_notFull(env, stack).value, 1u);
  EXPECT_EQ(*channel_isEmpty(env, stack).value, 0u);
}

// Equal keys stay before the new element: a two-cell element tells them apart.
TEST_F(BufferTest, InsertSortedKeepsEqualElementsFirst) {
  const u32 keyed = b.structType("Keyed", {{"key", TypeSInt32}, {"tag", TypeUInt32}});
  const u32 q = b.global("q", b.bufferType(QUEUE_BUFFER, keyed, 4));
  const u32 s = b.global("s", b.bufferType(STACK_BUFFER, keyed, 4));
  load();
  for (const u32 id : {q, s}) {
    const TaggedValue channel = global(id);
    // Move the queue's out index to slot 3, so the insertion crosses the
    // end of the ring.
    for (int i = 0; i < 3 && id == q; ++i) {
      DataCell kv[2] = {0, 0};
      channel_push(env, channel, TaggedValue{kv, keyed, NO_ID});
      channel_pop(env, channel);
    }
    const std::vector<std::pair<s32, u32>> inserted = {{9, 1}, {1, 2}, {5, 3}, {5, 4}};
    for (const auto& [key, tag] : inserted) {
      DataCell kv[2] = {static_cast<u32>(key), tag};
      ASSERT_TRUE(channel_insert_sorted(env, channel, TaggedValue{kv, keyed, NO_ID}));
    }
    std::vector<std::pair<s64, u64>> order;
    while (!channel_empty(env, channel)) {
      const TaggedValue e = channel_pop(env, channel);
      order.emplace_back(static_cast<s32>(e.value[0]), e.value[1]);
    }
    const std::vector<std::pair<s64, u64>> expected = {{1, 2}, {5, 3}, {5, 4}, {9, 1}};
    EXPECT_EQ(order, expected) << (id == q ? "queue" : "stack");
    interpStack_release(env, 0);
  }
}

// Signed elements compare sign-extended from their own width (int8 -1 is the
// cell 0xFF); unsigned ones compare as stored.
TEST_F(BufferTest, InsertSortedSignedAndUnsignedOrder) {
  const u32 s8q = b.global("s8q", b.bufferType(QUEUE_BUFFER, TypeSInt8, 4));
  const u32 u8q = b.global("u8q", b.bufferType(QUEUE_BUFFER, TypeUInt8, 4));
  const u32 s16s = b.global("s16s", b.bufferType(STACK_BUFFER, TypeSInt16, 4));
  const u32 s64q = b.global("s64q", b.bufferType(QUEUE_BUFFER, TypeSInt64, 4));
  load();
  const struct {
    u32 var;
    u32 type;
    std::vector<DataCell> inserted;
    std::vector<DataCell> popped;
  } rows[] = {
      {s8q, TypeSInt8, {0x00, 0xFF, 0x80, 0x7F}, {0x80, 0xFF, 0x00, 0x7F}},
      {u8q, TypeUInt8, {0x00, 0xFF, 0x80, 0x7F}, {0x00, 0x7F, 0x80, 0xFF}},
      {s16s, TypeSInt16, {0x0001, 0xFFFE, 0x8000}, {0x8000, 0xFFFE, 0x0001}},
      {s64q, TypeSInt64, {5, ~DataCell{0}, DataCell{1} << 63},
       {DataCell{1} << 63, ~DataCell{0}, 5}},
  };
  for (const auto& r : rows) {
    const TaggedValue channel = global(r.var);
    for (DataCell cell : r.inserted) {
      ASSERT_TRUE(channel_insert_sorted(env, channel, TaggedValue{&cell, r.type, NO_ID}));
    }
    std::vector<DataCell> popped;
    while (!channel_empty(env, channel)) popped.push_back(*channel_pop(env, channel).value);
    EXPECT_EQ(popped, r.popped) << "type " << r.type;
  }
}

TEST_F(BufferTest, ChannelCopyRebasesBetweenCapacities) {
  const u32 q3 = b.global("q3", queue3);
  const u32 q5 = b.global("q5", queue5);
  const u32 q2 = b.global("q2", queue2);
  const u32 s2 = b.global("s2", stack2);
  const u32 s4 = b.global("s4", stack4);
  load();
  const TaggedValue from = global(q3);
  pushAll(from, {1, 2, 3});
  pop(from);
  pop(from);
  pushAll(from, {4, 5});  // wrapped: out at slot 2, in at slot 1
  channel_copy(env, global(q5), from);
  EXPECT_EQ(global(q5).value[0], 2u + 3u);
  EXPECT_EQ(global(q5).value[1], 2u);
  channel_copy(env, global(q2), from);
  EXPECT_EQ(drain(global(q5)), (std::vector<s64>{3, 4, 5}));
  EXPECT_EQ(drain(global(q2)), (std::vector<s64>{3, 4}));  // the oldest fit
  pushAll(global(s4), {7, 8, 9});
  channel_copy(env, global(s2), global(s4));
  EXPECT_EQ(drain(global(s2)), (std::vector<s64>{8, 7}));
  channel_copy(env, global(s4), global(q2));  // an empty queue
  EXPECT_TRUE(stack_isOutNull(env, global(s4)));
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(BufferTest, ArrayGetOutOfBoundsStaysInside) {
  const u32 a = b.global("a", array4, {10, 11, 12, 13});
  load();
  testing::internal::CaptureStdout();
  const TaggedValue e = array_get(env, global(a), 7);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Array index out of bounds (7)\n");
  EXPECT_EQ(logs.exits, 1);
  EXPECT_EQ(e.value, global(a).value + 3);
  EXPECT_EQ(*array_size(env, global(a)).value, 4u);
}

// A damaged index cell abandons the run before any slot is touched.
TEST_F(BufferTest, CorruptIndexCellsAbort) {
  const u32 keyed = b.structType("Pair", {{"x", TypeSInt32}, {"y", TypeSInt32}});
  const u32 q = b.global("q", b.bufferType(QUEUE_BUFFER, keyed, 2));
  load();
  const TaggedValue queue = global(q);
  const struct {
    DataCell in, out;
    const char* text;
  } rows[] = {
      {1, 2, "channel.value->index >= 2"},
      {3, 2, "((channel.value->index - 2) % buffer_getCellSize(env, channel)) == 0"},
      {2 + 3 * 2, 2, "slot <= capacity"},
      {2, 2 + 1000 * 2, "slot <= capacity"},
  };
  for (const auto& r : rows) {
    logs.asserts.clear();
    queue.value[0] = r.in;
    queue.value[1] = r.out;
    EXPECT_FALSE(guarded([&] { channel_pop(env, queue); }));
    EXPECT_EQ(logs.asserts, std::vector<std::string>{r.text});
  }
}

TEST_F(BufferTest, ChoiceUniformMessages) {
  const u32 c = b.global("c", queue3);
  const u32 cq = b.constant("cq", queue3, {2, 2});
  const u32 full = b.global("full", queue3);
  const u32 a = b.global("a", array4, {10, 11, 12, 13});
  AST* onGlobal = b.globalRef(c);
  AST* onConstant = b.constantRef(cq);
  AST* onInteger = b.integer(3);
  AST* onFull = b.globalRef(full);
  AST* onArray = b.globalRef(a);
  load();
  auto loaded = [&](AST* n) { return AST_fromId(env->program, AST_id(b.p, n)); };
  const struct {
    AST* expression;
    const char* message;
  } rows[] = {
      {onGlobal, "choice_uniform() called on empty channel \"c\"\n"},
      {onConstant, "choice_uniform() called on empty channel\n"},
      {onInteger, "buffer type not supported by choice_uniform()\n"},
  };
  for (const auto& r : rows) {
    testing::internal::CaptureStdout();
    buffer_choiceUniform(env, loaded(r.expression));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), r.message);
  }
  EXPECT_EQ(logs.exits, 3);
  // The default random source draws 0: the oldest element, the first one.
  pushAll(global(full), {5, 6});
  EXPECT_EQ(asS64(buffer_choiceUniform(env, loaded(onFull))), 5);
  EXPECT_EQ(asS64(buffer_choiceUniform(env, loaded(onArray))), 10);
}

// ---------------------------------------------------------------------------
// loop over. The body assigns `tick`; its change hook looks at the iterator
// (local `iteratorId` of the function) the way a program's calls would.

class LoopOverTest : public BufferTest {
 protected:
  // A function whose body declares `locals`, then loops over `buffer` with
  // `extra` statements after the tick.
  u32 loopFunction(AST* buffer, AST* locals = nullptr, std::vector<AST*> extra = {}) {
    std::vector<AST*> body = {b.assign(b.globalRef(tick), b.integer(1))};
    body.insert(body.end(), extra.begin(), extra.end());
    AST* iterator = b.node(ITERATOR_DECL_OP, iterType, b.sym("it"), buffer);
    AST* loop = b.node(LOOP_OVER_OP, 0, iterator, b.block(nullptr, b.list(body)));
    const std::string name = "walk" + std::to_string(functions_++);
    return b.function(name, nullptr, b.block(locals, b.list({loop})));
  }
  TaggedValue iterator() { return LocalVariable_reference(env, iteratorId); }

  struct Visit {
    s64 value;
    u32 index;
    bool last;
    bool operator==(const Visit&) const = default;
  };
  // Records every visit; removes the current element when remove says so.
  void record(std::vector<Visit>* visits, std::function<bool(s64)> remove) {
    logs.onTick = [this, visits, remove](InterpEnv*) {
      const TaggedValue it = iterator();
      const s64 value = asS64(iterator_current(env, it));
      visits->push_back({value, static_cast<u32>(*iterator_index(env, it).value),
                         *iterator_isLast(env, it).value != 0});
      if (remove(value)) iterator_remove(env, it);
    };
  }

  u32 iteratorId = 0;
  int functions_ = 0;
};

TEST_F(LoopOverTest, RemovingEveryElementVisitsEachOnce) {
  const u32 q = b.global("q", queue3);
  const u32 s = b.global("s", stack4);
  const u32 walkQueue = loopFunction(b.globalRef(q));
  const u32 walkStack = loopFunction(b.globalRef(s));
  load();
  pushAll(global(q), {0, 0, 1});
  pop(global(q));
  pop(global(q));
  pushAll(global(q), {2, 3});  // wrapped
  pushAll(global(s), {1, 2, 3});
  std::vector<Visit> visits;
  record(&visits, [](s64) { return true; });
  interp_callFunction(env, walkQueue, nullptr);
  EXPECT_EQ(visits, (std::vector<Visit>{{1, 0, false}, {2, 0, false}, {3, 0, true}}));
  EXPECT_TRUE(channel_empty(env, global(q)));
  visits.clear();
  interp_callFunction(env, walkStack, nullptr);
  EXPECT_EQ(visits, (std::vector<Visit>{{3, 0, false}, {2, 0, false}, {1, 0, true}}));
  EXPECT_EQ(global(s).value[0], 2u);
  EXPECT_EQ(global(s).value[1], 1u);
  EXPECT_TRUE(logs.asserts.empty());
  EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
}

TEST_F(LoopOverTest, RemovingSomeElementsKeepsTheRestInOrder) {
  const u32 q = b.global("q", queue5);
  const u32 s = b.global("s", stack4);
  const u32 walkQueue = loopFunction(b.globalRef(q));
  const u32 walkStack = loopFunction(b.globalRef(s));
  load();
  pushAll(global(q), {1, 2, 3, 4, 5});
  pushAll(global(s), {1, 2, 3, 4});
  std::vector<Visit> visits;
  record(&visits, [](s64 v) { return v % 2 == 0; });
  interp_callFunction(env, walkQueue, nullptr);
  EXPECT_EQ(visits, (std::vector<Visit>{
                        {1, 0, false}, {2, 1, false}, {3, 1, false}, {4, 2, false}, {5, 2, true}}));
  EXPECT_EQ(drain(global(q)), (std::vector<s64>{1, 3, 5}));
  visits.clear();
  interp_callFunction(env, walkStack, nullptr);
  EXPECT_EQ(visits,
            (std::vector<Visit>{{4, 0, false}, {3, 0, false}, {2, 1, false}, {1, 1, true}}));
  EXPECT_EQ(drain(global(s)), (std::vector<s64>{3, 1}));
}

// The buffer is found again from the iterator's cells: a local copy, a
// global constant and an array all work; break ends the loop.
TEST_F(LoopOverTest, BufferKindsAndBreak) {
  const u32 q = b.global("q", queue3);
  const u32 cq = b.constant("cq", queue3, {2 + 2, 2, 7, 8});
  const u32 a = b.global("a", array4, {10, 11, 12, 13});
  const u32 stop = b.global("stop", TypeBoolean);
  const u32 walkLocal =
      loopFunction(b.localRef(0), b.list({b.varDecl(queue3, "lq", b.globalRef(q))}));
  const u32 walkConstant = loopFunction(b.constantRef(cq));
  const u32 walkArray = loopFunction(b.globalRef(a));
  const u32 walkWithBreak = loopFunction(
      b.globalRef(a), nullptr, {b.ifStatement(b.globalRef(stop), b.node(BREAK_OP))});
  load();
  pushAll(global(q), {4, 5});
  std::vector<Visit> visits;
  record(&visits, [](s64) { return false; });
  iteratorId = 1;
  interp_callFunction(env, walkLocal, nullptr);
  EXPECT_EQ(visits, (std::vector<Visit>{{4, 0, false}, {5, 1, true}}));
  iteratorId = 0;
  visits.clear();
  interp_callFunction(env, walkConstant, nullptr);
  EXPECT_EQ(visits, (std::vector<Visit>{{7, 0, false}, {8, 1, true}}));
  visits.clear();
  interp_callFunction(env, walkArray, nullptr);
  EXPECT_EQ(visits, (std::vector<Visit>{{10, 0, false}, {11, 1, false}, {12, 2, false},
                                        {13, 3, true}}));
  visits.clear();
  logs.onTick = [&](InterpEnv*) {
    visits.push_back({asS64(iterator_current(env, iterator())), 0, false});
    *global(stop).value = visits.size() == 2;
  };
  interp_callFunction(env, walkWithBreak, nullptr);
  EXPECT_EQ(visits.size(), 2u);
  EXPECT_TRUE(logs.asserts.empty());
}

TEST_F(LoopOverTest, RemoveOnArrayIsReportedAndTheLoopGoesOn) {
  const u32 a = b.global("a", array4, {10, 11, 12, 13});
  const u32 walk = loopFunction(b.globalRef(a));
  load();
  std::vector<Visit> visits;
  record(&visits, [](s64 v) { return v == 11; });
  testing::internal::CaptureStdout();
  interp_callFunction(env, walk, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "REMOVECURRENT ON ARRAY NOT SUPPORTED YET!\n");
  EXPECT_EQ(visits.size(), 4u);
  EXPECT_EQ(logs.exits, 1);
}

TEST_F(LoopOverTest, UnknownBufferNodeIsAnInternalError) {
  const u32 walk = loopFunction(b.integer(1));
  load();
  interp_callFunction(env, walk, nullptr);
  EXPECT_EQ(logs.asserts, std::vector<std::string>{"unknown variable kind"});
  EXPECT_EQ(env->ctx->localVarsIndexes.count.variables, 0u);
}

}  // namespace
