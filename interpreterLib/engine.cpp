#include "engine.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "buffers.h"
#include "builtins.h"
#include "expression.h"
#include "interp_call.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "process.h"
#include "statement.h"
#include "velk_locals.h"
#include "velk_memory.h"
#include "velk_typing.h"

// How a fragment runs. Preparing walks the fragment once: every node whose
// shape is exactly the one the evaluator expects becomes a prepared node
// (PNode) with its operation chosen, operands resolved and ids checked; any
// other node becomes a hand-over node that runs the tree walker on it at that
// point, so the walker's own checks and reports happen exactly where they
// always did. Prepared and walked code share the interpreter's tables (locals,
// value stack, data), so they interleave freely.
//
// Values. A prepared expression yields either a cell (scalars: the value
// zero-extended from its width, as cells hold it) or a tagged value. A node is
// `direct` when its cell can be read without the checks the walker applies to
// operands (valid type, storage present): literals, operators, locals,
// statics, globals, array elements, fields. Its `type` is the type of its
// value when that is fixed by the node (literals, operators, fields), NO_ID
// when it is only known at run time (a parameter has its argument's type).
// Scalar temporaries go to the value stack only where a tagged value is
// needed (an argument of a builtin, an assignment to a global).

namespace {

constexpr u64 kU32Max = 0xFFFFFFFFull;

// ---------------------------------------------------------------------------
// Frames and prepared nodes.

// The running frame's tables, as seen from its bases. Bases change only at
// function and process calls, which build a frame of their own.
struct Frame {
  InterpEnv* env;
  TaggedValue* locals;
  TaggedValue* constants;
  TaggedValue* statics;  // null outside a process activation
  u32 staticLimit;       // statics visible from the base
  const DataCell* masks; // the engine's masks, per type id
};

struct PNode;
using CellFn = DataCell (*)(const PNode* node, Frame& frame);
using ExecFn = u32 (*)(const PNode* node, Frame& frame);

enum class Kind : u8 {
  HandOver,       // the tree walker evaluates ast
  Scalar,         // a computed scalar of static type (literal, operator, cast)
  Local,          // local variable aux
  LocalConstant,  // local constant aux
  Static,         // process static variable aux
  Global,         // global variable aux
  GlobalConstant, // global constant aux
  ConstantData,   // an initializer: the cells at imm in the constant data, typed Structure
  ArrayElement,   // a[b]
  Field,          // field at offset imm of a, typed type
  Call,           // user function call (value: the statement value)
  ChannelQuery,   // a channel builtin without arguments, call code aux, on the object a
  Time,           // time64.time(): the current time, pushed as the walker pushes it
  Assign,         // assignment (value: the statement value)
  Statement,      // statements: exec is set
};

struct PNode {
  union {
    CellFn cell;
    ExecFn exec;
  };
  const PNode* a = nullptr;
  const PNode* b = nullptr;
  const PNode* const* items = nullptr;  // sequences, call arguments
  AST* ast = nullptr;                   // the node prepared (reports, hand-over)
  u64 imm = 0;
  u32 type = NO_ID;
  u32 aux = 0;
  u32 count = 0;
  Kind kind = Kind::HandOver;
  bool direct = false;
  // Reading the cell pushes nothing on the value stack (nor can anything it
  // calls): the statement around it need not restore the stack.
  bool pure = false;
};
static_assert(sizeof(PNode) == 64, "prepared nodes stay compact");

// Call nodes keep how each argument binds at imm and the prepared body, once
// it has run, at b.
enum ArgumentMode : u8 {
  kByValue = 1,           // an IN parameter (else by reference)
  kLocalArgument = 2,     // the argument is a local variable
  kComputedArgument = 4,  // the argument is a pure computed scalar of a type with a mask
};
const u8* argumentModes(const PNode* call) { return reinterpret_cast<const u8*>(call->imm); }

// Prepared nodes and their arrays live in chunks that never move.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    for (void* chunk : chunks_) memory_free(chunk);
  }
  void* take(size_t bytes) {
    bytes = (bytes + 15) & ~size_t{15};
    if (bytes > left_) {
      // Chunks grow from kFirstChunk to kChunk, so that a small program's
      // prepared form stays small.
      const size_t chunk = total_ < kFirstChunk ? kFirstChunk : total_ < kChunk ? total_ : kChunk;
      const size_t size = bytes > chunk ? bytes : chunk;
      next_ = static_cast<char*>(memory_alloc(size, 1, __FILE__, __func__, __LINE__,
                                              "engine arena chunk"));
      chunks_.push_back(next_);
      left_ = size;
      total_ += size;
    }
    char* block = next_;
    next_ += bytes;
    left_ -= bytes;
    return block;
  }
  size_t total() const { return total_; }

 private:
  static constexpr size_t kFirstChunk = 2 * 1024;
  static constexpr size_t kChunk = 16 * 1024;
  std::vector<void*> chunks_;
  char* next_ = nullptr;
  size_t left_ = 0;
  size_t total_ = 0;
};

using Entry = EngineFragment;

enum EntryKind : u64 { kEntryStatement = 0, kEntryList = 1, kEntryCondition = 2 };

// A queue or stack type whose channels the engine reads and writes itself:
// sized, of one-cell scalar elements, its storage large enough for every
// slot. Its index cells are still checked on every access; a channel of any
// other type, or whose index cells fail the checks, goes through the buffer
// module, which reports what is wrong.
struct ChannelShape {
  bool fast = false;
  bool stack = false;
  u32 slots = 0;  // capacity + 1
  u32 elementType = NO_ID;
  DataCell mask = 0;  // the element type's
};

// An array type whose every element lies inside its storage: an index below
// the size addresses its element without further checks.
struct ArrayShape {
  bool fast = false;
  u32 size = 0;
  u32 cellSize = 0;
  u32 elementType = NO_ID;
};

}  // namespace

// A prepared fragment and the locals it was prepared for: it runs only in a
// frame that shows at least that many. A null node runs on the tree walker.
struct EngineFragment {
  const PNode* node = nullptr;
  u32 variables = 0;
  u32 constants = 0;
};

struct EngineState {
  const program* image = nullptr;
  bool enabled = false;
  std::vector<DataCell> masks;  // per type id: the bits a scalar keeps, 0 for the rest
  std::vector<ChannelShape> channels;  // per type id
  std::vector<ArrayShape> arrays;      // per type id
  std::unordered_map<u64, Entry> entries;
  // The entries looked up last, direct-mapped by key: an activation enters
  // the same few fragments every time. Entries are never removed and the
  // map keeps its elements in place, so a slot stays valid.
  struct RecentEntry {
    u64 key = ~u64{0};
    const Entry* entry = nullptr;
  };
  static constexpr u32 kRecentEntries = 64;
  RecentEntry recent[kRecentEntries];
  Arena arena;
  // Per process instance, sized once: the plans of their activations.
  std::vector<ProcessActivationPlan> plans;
};

namespace {

// ---------------------------------------------------------------------------
// The engine of an environment.

EngineState* engineOf(InterpEnv* env) {
  EngineState* state = env->ctx->engine;
  if (state != nullptr && state->image == env->program) return state;
  engine_free(env);
  void* block = memory_alloc(1, sizeof(EngineState), __FILE__, __func__, __LINE__,
                             "env->ctx->engine");
  state = new (block) EngineState();
  state->image = env->program;
  // The tree walker is kept for two jobs only: running images lent by the
  // compiler (compile-time evaluation, whose nodes change while it parses)
  // and serving as the reference the prepared engine is compared with
  // (VELK_ENGINE=tree). Everything else runs prepared.
  const char* choice = std::getenv("VELK_ENGINE");
  state->enabled = !env->borrowedProgram && !(choice != nullptr && std::strcmp(choice, "tree") == 0);
  const u32 types = env->program->infoProg->n_type;
  state->masks.resize(types);
  for (u32 t = 0; t < types; ++t) {
    state->masks[t] = env->program->typeTable[t].storageSize == 0 ? 0 : value_scalarMask(env, t);
  }
  state->arrays.resize(types);
  for (u32 t = 0; t < types; ++t) {
    const TypeDefinition& type = env->program->typeTable[t];
    if (type.bufferType != ARRAY_BUFFER || type.size == NO_ID || type.baseType >= types) continue;
    const u32 cellSize = env->program->typeTable[type.baseType].storageSize;
    if (u64{type.size} * cellSize > type.storageSize) continue;
    ArrayShape& shape = state->arrays[t];
    shape.fast = true;
    shape.size = type.size;
    shape.cellSize = cellSize;
    shape.elementType = type.baseType;
  }
  state->channels.resize(types);
  for (u32 t = 0; t < types; ++t) {
    const TypeDefinition& type = env->program->typeTable[t];
    if ((type.bufferType != QUEUE_BUFFER && type.bufferType != STACK_BUFFER) ||
        type.size == NO_ID || type.baseType >= types ||
        env->program->typeTable[type.baseType].storageSize != 1 ||
        state->masks[type.baseType] == 0 || 2 + (u64{type.size} + 1) > type.storageSize) {
      continue;
    }
    ChannelShape& shape = state->channels[t];
    shape.fast = true;
    shape.stack = type.bufferType == STACK_BUFFER;
    shape.slots = type.size + 1;
    shape.elementType = type.baseType;
    shape.mask = state->masks[type.baseType];
  }
  env->ctx->engine = state;
  return state;
}

Frame frameOf(InterpEnv* env) {
  const LocalVarsIndexes& ix = env->ctx->localVarsIndexes;
  Frame f{env, env->data->localVariableTable + ix.base.variables,
          env->data->localConstantTable + ix.base.constants, nullptr, 0,
          env->ctx->engine->masks.data()};
  const u32 base = ix.base.processStaticVariables;
  const u32 count = env->program->infoProg->n_processStaticVariables;
  if (base != NO_ID && base <= count) {
    f.statics = env->program->processStaticVariableTable + base;
    f.staticLimit = count - base;
  }
  return f;
}

u32 markOf(InterpEnv* env) { return env->ctx->stackCount; }
void releaseTo(InterpEnv* env, u32 mark) { env->ctx->stackCount = mark; }

bool isConvertible(TaggedValue value) {
  const u32 t = value.typeId;
  return value.value != nullptr &&
         (isIntType(t) || t == TypeBoolean || t == TypeF32 || t == TypeF64);
}

// ---------------------------------------------------------------------------
// Reading values.

TaggedValue valueOf(const PNode* n, Frame& f);

DataCell cellOf(const PNode* n, Frame& f) { return n->cell(n, f); }

TaggedValue staticEntry(const PNode* n, Frame& f) {
  INTERP_ASSERT_TEXT(f.env, n->aux < f.staticLimit,
                     "AST_getVarId(astp) < env->program->infoProg->n_processStaticVariables - "
                     "env->ctx->localVarsIndexes.base.processStaticVariables");
  return f.statics[n->aux];
}

TaggedValue globalEntry(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const VarReadCallback onRead = env->ctx->var_read_callback[n->aux];
  // The default read hook does nothing: skipping it costs a compare.
  if (onRead != nullptr && onRead != env_defaultVarRead) onRead(env, n->aux);
  TaggedValue value = env->program->globalVariableTable[n->aux];
  value.globalId = n->aux;
  return value;
}

// The conversion of an index to a size, as the walker does it: unsigned
// values that fit in 32 bits directly, the rest through the conversion rules.
[[gnu::noinline]] u32 indexOfConverted(InterpEnv* env, TaggedValue indexValue) {
  u32 convRes = 0;
  u32 index = primTypeToSize(indexValue, &convRes);
  constexpr u32 NEGATIVE = CONV_NEG_TO_WIDER_UNSIGNED | CONV_NEG_TO_UNSIGNED | CONV_UNDERFLOW;
  if (convRes & NEGATIVE) {
    interp_failure(env, "Negative array index\n");
    index = 0;
  } else {
    INTERP_ASSERT(env, convRes & CONV_SAFE_2COMPL);
  }
  return index;
}

inline u32 indexOf(InterpEnv* env, TaggedValue indexValue) {
  // Width masks of the unsigned integer types (even ids up to time64).
  static constexpr u64 kUnsignedMask[TypeTime + 1] = {
      ~0ull, 0, 0xFFull, 0, 0xFFFFull, 0, 0xFFFFFFFFull, 0, ~0ull, 0, ~0ull};
  const u32 t = indexValue.typeId;
  if (t <= TypeTime && (t & 1u) == 0 && indexValue.value != nullptr) {
    const u64 v = *indexValue.value & kUnsignedMask[t];
    if (v <= kU32Max) return static_cast<u32>(v);
  }
  return indexOfConverted(env, indexValue);
}

TaggedValue arrayElement(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  u32 index = 0;
  if (n->b->kind == Kind::Scalar && n->b->direct) {
    DataCell cell = cellOf(n->b, f);  // a computed index needs no stack cell
    index = indexOf(env, TaggedValue{&cell, n->b->type, NO_ID});
  } else if (n->b->kind == Kind::Local) {
    index = indexOf(env, f.locals[n->b->aux]);
  } else {
    index = indexOf(env, valueOf(n->b, f));
  }
  const TaggedValue array = n->a->kind == Kind::Static ? staticEntry(n->a, f)
                           : n->a->kind == Kind::Local ? f.locals[n->a->aux]
                                                       : valueOf(n->a, f);
  const std::vector<ArrayShape>& arrays = env->ctx->engine->arrays;
  if (array.typeId < arrays.size() && array.value != nullptr) {
    const ArrayShape& shape = arrays[array.typeId];
    if (shape.fast && index < shape.size) {
      return TaggedValue{array.value + u64{index} * shape.cellSize, shape.elementType,
                         array.globalId};
    }
  }
  const u32 types = env->program->infoProg->n_type;
  INTERP_ASSERT_TEXT(env, array.typeId < types && array.value != nullptr,
                     "array.typeId < env->program->infoProg->n_type");
  // array_get's checks, inline for an index in range; array_get reports the rest.
  const TypeDefinition* table = env->program->typeTable;
  const TypeDefinition& t = table[array.typeId];
  if (t.bufferType == ARRAY_BUFFER && t.size != NO_ID && index < t.size && t.baseType < types) {
    const u32 cellSize = table[t.baseType].storageSize;
    if ((u64{index} + 1) * cellSize <= t.storageSize) {
      return TaggedValue{array.value + u64{index} * cellSize, t.baseType, array.globalId};
    }
  }
  return array_get(env, array, index);
}

// An element of a local or static array at a local index (array element
// nodes with imm 1), in place: when the index is an unsigned value below the
// size of an array type of fast shape. Null otherwise, with nothing reported
// (reading locals has no effect): the caller then runs arrayElement, which
// reports what is wrong. Sets the element's type and the array's global id.
[[gnu::always_inline]] inline DataCell* elementInPlace(const PNode* n, Frame& f, u32* elementType,
                                                      u32* globalId) {
  static constexpr u64 kUnsignedMask[TypeTime + 1] = {
      ~0ull, 0, 0xFFull, 0, 0xFFFFull, 0, 0xFFFFFFFFull, 0, ~0ull, 0, ~0ull};
  const TaggedValue index = f.locals[n->b->aux];
  const u32 t = index.typeId;
  if (t > TypeTime || (t & 1u) != 0 || index.value == nullptr) return nullptr;
  const u64 i = *index.value & kUnsignedMask[t];
  TaggedValue array;
  if (n->a->kind == Kind::Local) {
    array = f.locals[n->a->aux];
  } else if (n->a->aux < f.staticLimit) {
    array = f.statics[n->a->aux];
  } else {
    return nullptr;
  }
  const std::vector<ArrayShape>& arrays = f.env->ctx->engine->arrays;
  if (array.value == nullptr || array.typeId >= arrays.size()) return nullptr;
  const ArrayShape& shape = arrays[array.typeId];
  if (!shape.fast || i >= shape.size) return nullptr;
  *elementType = shape.elementType;
  *globalId = array.globalId;
  return array.value + i * shape.cellSize;
}

DataCell localIndexElementCell(const PNode* n, Frame& f) {
  u32 type = NO_ID;
  u32 global = NO_ID;
  if (const DataCell* element = elementInPlace(n, f, &type, &global)) return *element;
  return *arrayElement(n, f).value;
}

// field_get's checks inline (the field's cells are at count); field_get
// reports a failed one.
// An array element node's value, in place when elementInPlace allows it.
TaggedValue elementValue(const PNode* a, Frame& f) {
  u32 type = NO_ID;
  u32 global = NO_ID;
  DataCell* element = a->imm == 1 ? elementInPlace(a, f, &type, &global) : nullptr;
  return element != nullptr ? TaggedValue{element, type, global} : arrayElement(a, f);
}

TaggedValue recordOf(const PNode* a, Frame& f) {
  if (a->kind == Kind::ArrayElement) return elementValue(a, f);
  return a->kind == Kind::Local ? f.locals[a->aux] : valueOf(a, f);
}

TaggedValue fieldOf(const PNode* n, Frame& f) {
  const TaggedValue record = recordOf(n->a, f);
  const program* p = f.env->program;
  if (record.typeId < p->infoProg->n_type && record.value != nullptr) {
    const u32 recordCells = p->typeTable[record.typeId].storageSize;
    if (recordCells == 0 || n->imm + n->count <= recordCells) {
      return TaggedValue{record.value + n->imm, n->type, record.globalId};
    }
  }
  return field_get(f.env, record, n->type, static_cast<u32>(n->imm));
}

u32 runCall(const PNode* n, Frame& f);
u32 runAssign(const PNode* n, Frame& f);

// The channel builtins that take nothing but their object, as the call
// dispatcher runs them.
TaggedValue channelQuery(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const TaggedValue channel = valueOf(n->a, f);
  switch (n->aux) {
    case kCallChannelPop: return channel_pop(env, channel, n->ast);
    case kCallChannelPeek: return channel_peek(env, channel, n->ast);
    case kCallChannelLastPeek: return channel_lastpeek(env, channel, n->ast);
    case kCallChannelMaxSize: return channel_size(env, channel);
    case kCallChannelCount: return channel_count(env, channel);
    case kCallChannelIsEmpty: return channel_isEmpty(env, channel);
    case kCallChannelNotEmpty: return channel_notEmpty(env, channel);
    case kCallChannelIsFull: return channel_isFull(env, channel);
    default: return channel_notFull(env, channel);
  }
}

// Channels of a fast shape, read and written in place. Each helper returns
// false, having changed nothing, when an index cell fails the buffer module's
// checks or the operation is one it reports (full, empty): the caller then
// runs the buffer module's operation on the same channel value.

const ChannelShape* fastChannel(Frame& f, TaggedValue channel) {
  const EngineState* state = f.env->ctx->engine;
  if (channel.value == nullptr || channel.typeId >= state->channels.size()) return nullptr;
  const ChannelShape& shape = state->channels[channel.typeId];
  return shape.fast ? &shape : nullptr;
}

// The slot an index cell names (cell number 2 + slot), NO_ID for none.
inline u32 slotAt(DataCell index, u32 slots) {
  return index >= 2 && index - 2 < slots ? static_cast<u32>(index - 2) : NO_ID;
}

bool fastCount(const ChannelShape& c, const DataCell* cells, u32* count) {
  const u32 in = slotAt(cells[0], c.slots);
  if (in == NO_ID) return false;
  if (c.stack) {
    *count = in;
    return true;
  }
  const u32 out = slotAt(cells[1], c.slots);
  if (out == NO_ID) return false;
  *count = in >= out ? in - out : in + (c.slots - out);
  return true;
}

bool fastFull(const ChannelShape& c, const DataCell* cells, bool* full) {
  const u32 in = slotAt(cells[0], c.slots);
  if (in == NO_ID) return false;
  if (c.stack) {
    *full = in >= c.slots - 1;
    return true;
  }
  const u32 out = slotAt(cells[1], c.slots);
  if (out == NO_ID) return false;
  *full = (u64{in} + 1) % c.slots == out;
  return true;
}

// Queue: the oldest element; stack: the top one. `remove` takes it out.
bool fastTake(const ChannelShape& c, DataCell* cells, bool remove, DataCell* element) {
  const u32 in = slotAt(cells[0], c.slots);
  if (in == NO_ID) return false;
  if (c.stack) {
    if (in == 0) return false;
    const u32 top = slotAt(cells[1], c.slots);
    if (top == NO_ID) return false;
    *element = cells[2 + top];
    if (remove) {
      cells[0] = 2 + u64{in} - 1;
      cells[1] = in == 1 ? 1 : 2 + u64{in} - 2;  // 1: the empty stack's marker
    }
    return true;
  }
  const u32 out = slotAt(cells[1], c.slots);
  if (out == NO_ID || in == out) return false;
  *element = cells[2 + out];
  if (remove) cells[1] = 2 + (u64{out} + 1) % c.slots;
  return true;
}

bool fastPush(const ChannelShape& c, DataCell* cells, DataCell element) {
  const u32 in = slotAt(cells[0], c.slots);
  if (in == NO_ID) return false;
  if (c.stack) {
    if (in >= c.slots - 1) return false;
    cells[2 + in] = element & c.mask;
    cells[1] = 2 + u64{in};
    cells[0] = 2 + u64{in} + 1;
    return true;
  }
  const u32 out = slotAt(cells[1], c.slots);
  const u64 next = (u64{in} + 1) % c.slots;
  if (out == NO_ID || next == out) return false;
  cells[2 + in] = element & c.mask;
  cells[0] = 2 + next;
  return true;
}

// A channel builtin without arguments as a cell: what the call dispatcher's
// result holds.
DataCell channelQueryCell(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const TaggedValue channel = n->a->kind == Kind::Local ? f.locals[n->a->aux] : valueOf(n->a, f);
  const ChannelShape* c = fastChannel(f, channel);
  DataCell* cells = channel.value;
  u32 count = 0;
  bool full = false;
  DataCell element = 0;
  switch (n->aux) {
    case kCallChannelPop:
      if (c != nullptr && fastTake(*c, cells, true, &element)) return element & c->mask;
      return *channel_pop(env, channel, n->ast).value;
    case kCallChannelPeek:
      if (c != nullptr && !c->stack && fastTake(*c, cells, false, &element)) return element;
      return *channel_peek(env, channel, n->ast).value;
    case kCallChannelCount:
      if (c != nullptr && fastCount(*c, cells, &count)) return count;
      return channel_getCount(env, channel);
    case kCallChannelIsEmpty:
    case kCallChannelNotEmpty: {
      if (c == nullptr || !fastCount(*c, cells, &count)) count = channel_empty(env, channel) ? 0 : 1;
      return (count == 0) == (n->aux == kCallChannelIsEmpty) ? 1 : 0;
    }
    case kCallChannelIsFull:
    case kCallChannelNotFull:
      if (c == nullptr || !fastFull(*c, cells, &full)) full = channel_full(env, channel);
      return full == (n->aux == kCallChannelIsFull) ? 1 : 0;
    default:
      return *channelQuery(n, f).value;
  }
}

// time64.time() the walker's own way, without its dispatch: the same stack
// check on entering an expression, the same push. Kept out of valueOf so
// that valueOf's frame, on the path of every nested call, stays as small.
[[gnu::noinline]] TaggedValue currentTime(Frame& f) {
  if (process_nativeStackLow()) interp_fatal(f.env, "Stack overflow\n");
  return builtin_time(f.env);
}

TaggedValue valueOf(const PNode* n, Frame& f) {
  switch (n->kind) {
    case Kind::HandOver:
      return expr_execute(f.env, n->ast);
    case Kind::Time:
      return currentTime(f);
    case Kind::Local:
      return f.locals[n->aux];
    case Kind::LocalConstant:
      return f.constants[n->aux];
    case Kind::Static:
      return staticEntry(n, f);
    case Kind::Global:
      return globalEntry(n, f);
    case Kind::GlobalConstant:
      return f.env->program->globalConstantTable[n->aux];
    case Kind::ConstantData:
      return TaggedValue{f.env->program->constantDataTable + n->imm, TypeStructure, NO_ID};
    case Kind::ArrayElement:
      return elementValue(n, f);
    case Kind::Field:
      return fieldOf(n, f);
    case Kind::Call:
      runCall(n, f);
      return kStatementValue;
    case Kind::ChannelQuery:
      if (n->pure) break;  // a count or a truth: pushed as its own type
      return channelQuery(n, f);
    case Kind::Assign:
      runAssign(n, f);
      return kStatementValue;
    case Kind::Scalar:
    case Kind::Statement:
      break;
  }
  return interpStack_pushSingleAnyValue(f.env, n->type, n->cell(n, f));
}

DataCell localCell(const PNode* n, Frame& f) { return *f.locals[n->aux].value; }
DataCell localConstantCell(const PNode* n, Frame& f) { return *f.constants[n->aux].value; }
DataCell staticCell(const PNode* n, Frame& f) { return *staticEntry(n, f).value; }
DataCell globalCell(const PNode* n, Frame& f) { return *globalEntry(n, f).value; }
DataCell globalConstantCell(const PNode* n, Frame& f) {
  return *f.env->program->globalConstantTable[n->aux].value;
}
DataCell arrayElementCell(const PNode* n, Frame& f) { return *arrayElement(n, f).value; }
DataCell fieldCell(const PNode* n, Frame& f) { return *fieldOf(n, f).value; }
DataCell constantCell(const PNode* n, Frame&) { return n->imm; }
DataCell constantDataCell(const PNode* n, Frame& f) {
  return f.env->program->constantDataTable[n->imm];
}

// The walker's view of a value that has no cell of its own: evaluated, then
// read like an operand.
DataCell handOverCell(const PNode* n, Frame& f) {
  const TaggedValue value = valueOf(n, f);
  INTERP_ASSERT_TEXT(f.env, value.value != nullptr, "value.value != NULL");
  return *value.value;
}

// Conversion to boolean, as conditions and the logical operators do it.
bool truthOf(const PNode* n, Frame& f) {
  if (n->direct && n->type == TypeBoolean) return (cellOf(n, f) & 0xFFu) != 0;
  const TaggedValue value = valueOf(n, f);
  INTERP_ASSERT_TEXT(f.env, isConvertible(value), "kIcrNotPrimType should not happen");
  return TaggedValue_asBoolean(value, CONV_PRIMTYPE);
}

DataCell andCell(const PNode* n, Frame& f) { return truthOf(n->a, f) && truthOf(n->b, f) ? 1 : 0; }
DataCell orCell(const PNode* n, Frame& f) { return truthOf(n->a, f) || truthOf(n->b, f) ? 1 : 0; }

DataCell notCell(const PNode* n, Frame& f) {
  if (n->a->direct && n->a->type == TypeBoolean) return (cellOf(n->a, f) & 0xFFu) == 0 ? 1 : 0;
  const TaggedValue value = valueOf(n->a, f);
  if (value.typeId != TypeBoolean || value.value == nullptr) {
    return *expr_not(f.env, value).value;  // reports the check that fails
  }
  return (*value.value & 0xFFu) == 0 ? 1 : 0;
}

DataCell castCell(const PNode* n, Frame& f) { return cellOf(n->a, f) & n->imm; }


// ---------------------------------------------------------------------------
// Operators, one function per operation and operand type. The results are
// those of the operator table's functions, bit for bit.

struct BoolOperand {};

template <class T>
DataCell cellOfInt(T value) {
  return static_cast<DataCell>(static_cast<std::make_unsigned_t<T>>(value));
}

DataCell cellOfBool(bool value) { return value ? 1 : 0; }

template <class F>
F readFloat(DataCell cell) {
  F value;
  if constexpr (sizeof(F) == 4) {
    const u32 bits = static_cast<u32>(cell);
    std::memcpy(&value, &bits, sizeof value);
  } else {
    std::memcpy(&value, &cell, sizeof value);
  }
  return value;
}

template <class F>
DataCell floatCell(F value) {
  if constexpr (sizeof(F) == 4) {
    u32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  } else {
    DataCell bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
}

template <class T>
bool isMinusOneOnMinimum(T l, T r) {
  if constexpr (std::is_signed_v<T>) {
    return l == std::numeric_limits<T>::min() && r == T(-1);
  } else {
    (void)l;
    (void)r;
    return false;
  }
}

template <class T>
DataCell shiftOf(bool left, T value, u64 count) {
  if constexpr (sizeof(T) == 8) {
    const u32 amount = static_cast<u32>(count & 63u);
    if (left) return static_cast<u64>(value) << amount;
    return static_cast<DataCell>(value >> amount);
  } else if constexpr (std::is_signed_v<T>) {
    const u32 amount = static_cast<u32>(count & 31u);
    const s32 wide = value;
    if (left) return cellOfInt(static_cast<T>(static_cast<u32>(wide) << amount));
    return cellOfInt(static_cast<T>(wide >> amount));
  } else {
    const u32 amount = static_cast<u32>(count & 31u);
    const u32 wide = value;
    if (left) return cellOfInt(static_cast<T>(wide << amount));
    return cellOfInt(static_cast<T>(wide >> amount));
  }
}

template <class T, u32 OP>
constexpr bool supports() {
  if constexpr (std::is_same_v<T, BoolOperand>) {
    return OP == CEQ_OP || OP == CNE_OP;
  } else if constexpr (std::is_floating_point_v<T>) {
    return OP == PLUS_OP || OP == MINUS_OP || OP == MUL_OP || OP == NEG_OP || OP == DIV_OP ||
           OP == GT_OP || OP == LT_OP || OP == CGE_OP || OP == CLE_OP;
  } else {
    return true;
  }
}

template <class T, u32 OP>
DataCell integerOp(const PNode* n, Frame& f, DataCell lc, DataCell rc) {
  const T l = static_cast<T>(lc);
  const T r = static_cast<T>(rc);
  const u64 wl = static_cast<u64>(l);
  const u64 wr = static_cast<u64>(r);
  if constexpr (OP == PLUS_OP) return cellOfInt(static_cast<T>(wl + wr));
  if constexpr (OP == MINUS_OP) return cellOfInt(static_cast<T>(wl - wr));
  if constexpr (OP == MUL_OP) return cellOfInt(static_cast<T>(wl * wr));
  if constexpr (OP == NEG_OP) return cellOfInt(static_cast<T>(u64{0} - wl));
  if constexpr (OP == BIT_AND_OP) return cellOfInt(static_cast<T>(wl & wr));
  if constexpr (OP == BIT_OR_OP) return cellOfInt(static_cast<T>(wl | wr));
  if constexpr (OP == BIT_XOR_OP) return cellOfInt(static_cast<T>(wl ^ wr));
  if constexpr (OP == BIT_NOT_OP) return cellOfInt(static_cast<T>(~wl));
  if constexpr (OP == BIT_LSHIFT_OP) return shiftOf(true, l, wr);
  if constexpr (OP == BIT_RSHIFT_OP) return shiftOf(false, l, wr);
  if constexpr (OP == CEQ_OP) return cellOfBool(l == r);
  if constexpr (OP == CNE_OP) return cellOfBool(l != r);
  if constexpr (OP == CGE_OP) return cellOfBool(l >= r);
  if constexpr (OP == CLE_OP) return cellOfBool(l <= r);
  if constexpr (OP == GT_OP) return cellOfBool(l > r);
  if constexpr (OP == LT_OP) return cellOfBool(l < r);
  if constexpr (OP == DIV_OP) {
    if (r == 0) {
      f.env->ctx->invalid_op_callback(f.env, n->ast, INVALID_OP_DIVISION_BY_ZERO);
      return 0;
    }
    if (isMinusOneOnMinimum(l, r)) {
      f.env->ctx->invalid_op_callback(f.env, n->ast, INVALID_OP_DIVIDED_BY_MINUS_ONE);
      return cellOfInt(l);
    }
    return cellOfInt(static_cast<T>(l / r));
  }
  if constexpr (OP == MOD_OP) {
    if (r == 0) {
      f.env->ctx->invalid_op_callback(f.env, n->ast, INVALID_OP_MODULO_ZERO);
      return 0;
    }
    if (isMinusOneOnMinimum(l, r)) {
      f.env->ctx->invalid_op_callback(f.env, n->ast, INVALID_OP_MODULO_MINUS_ONE);
      return 0;
    }
    return cellOfInt(static_cast<T>(l % r));
  }
  return 0;
}

template <class F, u32 OP>
DataCell floatOp(const PNode* n, Frame& f, DataCell lc, DataCell rc) {
  const F l = readFloat<F>(lc);
  const F r = readFloat<F>(rc);
  if constexpr (OP == PLUS_OP) return floatCell<F>(l + r);
  if constexpr (OP == MINUS_OP) return floatCell<F>(l - r);
  if constexpr (OP == MUL_OP) return floatCell<F>(l * r);
  if constexpr (OP == NEG_OP) return floatCell<F>(-l);
  if constexpr (OP == GT_OP) return cellOfBool(l > r);
  if constexpr (OP == LT_OP) return cellOfBool(l < r);
  if constexpr (OP == CGE_OP) return cellOfBool(l >= r);
  if constexpr (OP == CLE_OP) return cellOfBool(l <= r);
  if constexpr (OP == DIV_OP) {
    if (r == F(0)) {
      f.env->ctx->invalid_op_callback(f.env, n->ast, INVALID_OP_DIVISION_BY_ZERO);
      return floatCell<F>(F(0));
    }
    return floatCell<F>(l / r);
  }
  return 0;
}

template <class T, u32 OP>
DataCell applyOp(const PNode* n, Frame& f, DataCell l, DataCell r) {
  if constexpr (std::is_same_v<T, BoolOperand>) {
    const bool bl = static_cast<u8>(l) != 0;
    const bool br = static_cast<u8>(r) != 0;
    return cellOfBool(OP == CEQ_OP ? bl == br : bl != br);
  } else if constexpr (std::is_floating_point_v<T>) {
    return floatOp<T, OP>(n, f, l, r);
  } else {
    return integerOp<T, OP>(n, f, l, r);
  }
}

// float64 cos, sin, atan, sqrt, pow, abs and log (function aux, from cos),
// arguments a and b: the builtin's results, bit for bit. An argument that is
// a local holds a float64 unless the image is damaged; then the builtin runs
// instead (before any argument is evaluated) and reports it.
bool isF64Local(const PNode* argument, Frame& f) {
  if (argument == nullptr || argument->kind != Kind::Local) return true;
  const TaggedValue value = f.locals[argument->aux];
  return value.typeId == TypeF64 && value.value != nullptr;
}

DataCell mathF64Cell(const PNode* n, Frame& f) {
  if (!isF64Local(n->a, f) || !isF64Local(n->b, f)) {
    const u32 mark = markOf(f.env);
    const DataCell result = *builtin_mathF64(f.env, n->ast, kCallF64Cos + n->aux).value;
    releaseTo(f.env, mark);
    return result;
  }
  const double x = readFloat<double>(cellOf(n->a, f));
  switch (n->aux) {
    case 0: return floatCell<double>(std::cos(x));
    case 1: return floatCell<double>(std::sin(x));
    case 2: return floatCell<double>(std::atan(x));
    case 3: return floatCell<double>(std::sqrt(x));
    case 4: return floatCell<double>(std::pow(x, readFloat<double>(cellOf(n->b, f))));
    case 5: return floatCell<double>(std::fabs(x));
    default: return floatCell<double>(std::log(x));
  }
}

// Where the operands come from.
struct DirectOperands {
  static DataCell left(const PNode* n, Frame& f) { return cellOf(n->a, f); }
  static DataCell right(const PNode* n, Frame& f) { return cellOf(n->b, f); }
};
struct UnaryOperand {
  static DataCell left(const PNode* n, Frame& f) { return cellOf(n->a, f); }
  static DataCell right(const PNode*, Frame&) { return 0; }
};
// A local and a literal, or two locals (slot in aux and imm).
struct LocalLiteralOperands {
  static DataCell left(const PNode* n, Frame& f) { return *f.locals[n->aux].value; }
  static DataCell right(const PNode* n, Frame&) { return n->imm; }
};
struct LocalLocalOperands {
  static DataCell left(const PNode* n, Frame& f) { return *f.locals[n->aux].value; }
  static DataCell right(const PNode* n, Frame& f) { return *f.locals[n->imm].value; }
};

// Operands that may fail the walker's operand checks: both evaluated first,
// then checked in the walker's order.
struct CheckedOperands {
  static DataCell left(const PNode* n, Frame& f, DataCell* right) {
    InterpEnv* env = f.env;
    const u32 types = env->program->infoProg->n_type;
    const TaggedValue l = valueOf(n->a, f);
    *right = 0;
    if (n->b != nullptr) {
      const TaggedValue r = valueOf(n->b, f);
      INTERP_ASSERT_TEXT(env, r.typeId < types, "rightValue.typeId < env->program->infoProg->n_type");
      INTERP_ASSERT_TEXT(env, r.value != nullptr, "rightValue.value != NULL");
      *right = *r.value;
    }
    INTERP_ASSERT_TEXT(env, l.typeId < types, "leftValue.typeId < env->program->infoProg->n_type");
    INTERP_ASSERT_TEXT(env, l.value != nullptr, "leftValue.value != NULL");
    return *l.value;
  }
};

template <class T, u32 OP, class S>
DataCell operatorCell(const PNode* n, Frame& f) {
  if constexpr (std::is_same_v<S, CheckedOperands>) {
    DataCell r = 0;
    const DataCell l = S::left(n, f, &r);
    return applyOp<T, OP>(n, f, l, r);
  } else {
    const DataCell l = S::left(n, f);
    const DataCell r = S::right(n, f);
    return applyOp<T, OP>(n, f, l, r);
  }
}

template <u32 OP, class S, class T>
CellFn operatorFor() {
  if constexpr (supports<T, OP>()) {
    return &operatorCell<T, OP, S>;
  } else {
    return nullptr;
  }
}

template <u32 OP, class S>
CellFn operatorForType(u32 typeId) {
  switch (typeId) {
    case TypeInt:
    case TypeUInt64:
    case TypeTime: return operatorFor<OP, S, u64>();
    case TypeSInt:
    case TypeSInt64: return operatorFor<OP, S, s64>();
    case TypeUInt8: return operatorFor<OP, S, u8>();
    case TypeSInt8: return operatorFor<OP, S, s8>();
    case TypeUInt16: return operatorFor<OP, S, u16>();
    case TypeSInt16: return operatorFor<OP, S, s16>();
    case TypeUInt32: return operatorFor<OP, S, u32>();
    case TypeSInt32: return operatorFor<OP, S, s32>();
    case TypeBoolean: return operatorFor<OP, S, BoolOperand>();
    case TypeF32: return operatorFor<OP, S, float>();
    case TypeF64: return operatorFor<OP, S, double>();
    default: return nullptr;
  }
}

template <class S>
CellFn binaryOperator(u32 op, u32 typeId) {
  switch (op) {
    case PLUS_OP: return operatorForType<PLUS_OP, S>(typeId);
    case MINUS_OP: return operatorForType<MINUS_OP, S>(typeId);
    case MUL_OP: return operatorForType<MUL_OP, S>(typeId);
    case DIV_OP: return operatorForType<DIV_OP, S>(typeId);
    case MOD_OP: return operatorForType<MOD_OP, S>(typeId);
    case BIT_AND_OP: return operatorForType<BIT_AND_OP, S>(typeId);
    case BIT_OR_OP: return operatorForType<BIT_OR_OP, S>(typeId);
    case BIT_XOR_OP: return operatorForType<BIT_XOR_OP, S>(typeId);
    case BIT_LSHIFT_OP: return operatorForType<BIT_LSHIFT_OP, S>(typeId);
    case BIT_RSHIFT_OP: return operatorForType<BIT_RSHIFT_OP, S>(typeId);
    case CEQ_OP: return operatorForType<CEQ_OP, S>(typeId);
    case CNE_OP: return operatorForType<CNE_OP, S>(typeId);
    case CGE_OP: return operatorForType<CGE_OP, S>(typeId);
    case CLE_OP: return operatorForType<CLE_OP, S>(typeId);
    case GT_OP: return operatorForType<GT_OP, S>(typeId);
    case LT_OP: return operatorForType<LT_OP, S>(typeId);
    default: return nullptr;
  }
}

template <class S>
CellFn unaryOperator(u32 op, u32 typeId) {
  switch (op) {
    case NEG_OP: return operatorForType<NEG_OP, S>(typeId);
    case BIT_NOT_OP: return operatorForType<BIT_NOT_OP, S>(typeId);
    default: return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Assignments, declarations and calls.

// Stores a scalar cell of static type `type` into target, as expr_assign
// does: in place for a scalar that is no global, through the hook otherwise.
void storeCell(Frame& f, TaggedValue target, DataCell cell, u32 type) {
  InterpEnv* env = f.env;
  if (target.globalId == NO_ID && target.typeId < env->program->infoProg->n_type &&
      target.value != nullptr) {
    const DataCell mask = f.masks[target.typeId];
    if (mask != 0) {
      *target.value = cell & mask;
      return;
    }
  }
  expr_assign(env, target, interpStack_pushSingleAnyValue(env, type, cell));
}


// A computed scalar: a copy, whatever happens after it is evaluated. Other
// values are references, read when they are stored.
bool isComputedScalar(const PNode* n) { return n->kind == Kind::Scalar && n->direct; }

// Its tagged value is read in place, without pushing anything.
bool readsInPlace(const PNode* n) {
  return n->pure && n->kind != Kind::Scalar && n->kind != Kind::HandOver;
}
// Its truth is read from its cell, without pushing anything.
bool isPureTruth(const PNode* n) { return n->pure && n->direct && n->type == TypeBoolean; }

u32 runAssign(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const PNode* source = n->b;
  if (isComputedScalar(source)) {
    const DataCell cell = cellOf(source, f);
    storeCell(f, valueOf(n->a, f), cell, source->type);
    return STMT_NORMAL;
  }
  const TaggedValue value = valueOf(source, f);
  const TaggedValue target = valueOf(n->a, f);
  const EngineState* state = env->ctx->engine;
  if (target.globalId == NO_ID && target.typeId < state->masks.size() &&
      value.typeId < state->masks.size() && target.value != nullptr && value.value != nullptr) {
    const DataCell mask = state->masks[target.typeId];
    if (mask != 0) {
      *target.value = *value.value & mask;
      return STMT_NORMAL;
    }
  }
  expr_assign(env, target, value);
  return STMT_NORMAL;
}

// An assignment of a direct value to a local variable slot, the most common
// statement. Reading the local has no effect, so it may come first.
[[gnu::noinline]] u32 runAssignLocalSlow(const PNode* n, Frame& f, TaggedValue target,
                                         DataCell mask) {
  InterpEnv* env = f.env;
  const u32 mark = markOf(env);
  if (target.globalId == NO_ID && mask != 0) {
    *target.value = cellOf(n->b, f) & mask;
  } else if (isComputedScalar(n->b)) {
    storeCell(f, target, cellOf(n->b, f), n->b->type);
  } else {
    expr_assign(env, target, valueOf(n->b, f));
  }
  releaseTo(env, mark);
  return STMT_NORMAL;
}

u32 runAssignLocal(const PNode* n, Frame& f) {
  const TaggedValue target = f.locals[n->aux];
  const DataCell mask = f.masks[target.typeId];
  if (n->b->pure && target.globalId == NO_ID && mask != 0) {
    *target.value = cellOf(n->b, f) & mask;
    return STMT_NORMAL;
  }
  return runAssignLocalSlow(n, f, target, mask);
}

// One local variable to another (source slot at imm).
u32 runAssignLocalFromLocal(const PNode* n, Frame& f) {
  const TaggedValue target = f.locals[n->aux];
  const DataCell mask = f.masks[target.typeId];
  if (target.globalId == NO_ID && mask != 0) {
    *target.value = *f.locals[n->imm].value & mask;
    return STMT_NORMAL;
  }
  return runAssignLocalSlow(n, f, target, mask);
}

// A computed scalar stored into an array element or a field.
u32 runAssignComputedToElement(const PNode* n, Frame& f) {
  const u32 mark = markOf(f.env);
  const DataCell cell = cellOf(n->b, f);
  if (n->a->kind == Kind::ArrayElement && n->a->imm == 1) {
    u32 type = NO_ID;
    u32 global = NO_ID;
    DataCell* element = elementInPlace(n->a, f, &type, &global);
    if (element != nullptr && global == NO_ID && f.masks[type] != 0) {
      *element = cell & f.masks[type];  // as storeCell stores a scalar of no global
      releaseTo(f.env, mark);
      return STMT_NORMAL;
    }
  }
  storeCell(f, n->a->kind == Kind::Field ? fieldOf(n->a, f) : arrayElement(n->a, f), cell,
            n->b->type);
  releaseTo(f.env, mark);
  return STMT_NORMAL;
}

u32 runAssignStatement(const PNode* n, Frame& f) {
  const u32 mark = markOf(f.env);
  runAssign(n, f);
  releaseTo(f.env, mark);
  return STMT_NORMAL;
}

// Binds one argument to its formal, as the walker's bindArgument does.
void bindArgument(Frame& f, bool inParameter, const PNode* argument) {
  InterpEnv* env = f.env;
  const EngineState* state = env->ctx->engine;
  if (inParameter && isComputedScalar(argument)) {
    const DataCell cell = cellOf(argument, f);
    const u32 type = argument->type;
    const DataCell mask = state->masks[type];
    if (mask != 0) {
      LocalVariable_declareScalar(env, type, cell & mask);
      return;
    }
    process_bindArgument(env, inParameter, interpStack_pushSingleAnyValue(env, type, cell));
    return;
  }
  const TaggedValue value = argument->kind == Kind::Local ? f.locals[argument->aux]
                                                         : valueOf(argument, f);
  if (value.value != nullptr && value.typeId < state->masks.size()) {
    if (!inParameter) {
      // By reference: the local is the argument itself.
      LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
      INTERP_ASSERT_TEXT(env, idx.count.variables < STACKS_SIZE, "Local variables stack overflow");
      env->data->localVariableTable[idx.count.variables++] = value;
      return;
    }
    const DataCell mask = f.masks[value.typeId];
    if (mask != 0) {
      LocalVariable_declareScalar(env, value.typeId, *value.value & mask);
      return;
    }
  }
  process_bindArgument(env, inParameter, value);
}

// Binds a call's arguments left to right. Locals and pure computed scalars go
// straight into the local tables when there is room for all of them; any
// other argument, or one whose value fails a check, goes through
// bindArgument. The counts are stored after every argument, so the tables
// are always as bindArgument would leave them.
void bindArguments(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const u8* modes = argumentModes(n);
  u32 i = 0;
  LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  u32 variables = idx.count.variables;
  u32 data = idx.count.variablesData;
  if (u64{variables} + n->count <= STACKS_SIZE && u64{data} + n->count + 1 < STACKS_SIZE) {
    TaggedValue* const table = env->data->localVariableTable;
    DataCell* const cells = env->data->localVariableDataTable;
    const u32 types = env->program->infoProg->n_type;
    for (; i < n->count; ++i) {
      const PNode* argument = n->items[i];
      const u8 mode = modes[i];
      if (mode == (kByValue | kComputedArgument)) {
        cells[data] = cellOf(argument, f) & f.masks[argument->type];
        table[variables] = TaggedValue{cells + data, argument->type, NO_ID};
        ++data;
      } else if ((mode & kLocalArgument) != 0) {
        const TaggedValue value = f.locals[argument->aux];
        if (value.value == nullptr || value.typeId >= types) break;
        if ((mode & kByValue) != 0) {
          const DataCell mask = f.masks[value.typeId];
          if (mask == 0) break;
          cells[data] = *value.value & mask;
          table[variables] = TaggedValue{cells + data, value.typeId, NO_ID};
          ++data;
        } else {
          table[variables] = value;  // by reference: the local is the argument itself
        }
      } else {
        break;
      }
      ++variables;
      idx.count.variables = variables;
      idx.count.variablesData = data;
    }
  }
  for (; i < n->count; ++i) bindArgument(f, (modes[i] & kByValue) != 0, n->items[i]);
}

const PNode* bodyOf(InterpEnv* env, AST* bodyNode);
u32 runBlock(const PNode* n, Frame& f);
u32 runSequence(const PNode* n, Frame& f);

// A user function call: arguments bound left to right in the caller's frame,
// then the body in a frame of its own; the caller's frame and value stack are
// as they were afterwards.
u32 runCall(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  process_checkNativeStackFromHere(env);
  const u32 mark = markOf(env);
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  bindArguments(n, f);
  process_openFrame(env, n->count);
  const PNode* body = n->b;
  AST* bodyNode = nullptr;
  if (body == nullptr) {
    const FunctionDefinition& function = env->program->functionTable[n->aux];
    bodyNode = function.body == NO_ID ? nullptr : &env->program->RAMprogram[function.body];
    body = bodyOf(env, bodyNode);
    const_cast<PNode*>(n)->b = body;
  }
  if (body != nullptr) {
    Frame callee{env, env->data->localVariableTable + env->ctx->localVarsIndexes.base.variables,
                 env->data->localConstantTable + env->ctx->localVarsIndexes.base.constants,
                 f.statics, f.staticLimit, f.masks};
    if (body->exec == runBlock) {
      // The frame's restore below also ends the body block's scope.
      if (body->a != nullptr) body->a->exec(body->a, callee);
      body->b->exec(body->b, callee);
    } else {
      body->exec(body, callee);
    }
  } else {
    statement_execute(env, bodyNode);
  }
  Variable_restoreFrame(env, saved);
  releaseTo(env, mark);
  return STMT_NORMAL;
}

// push and insert_sorted as statements: a = the channel, b = the value; imm
// is 1 for insert_sorted. The object is evaluated and checked before the
// argument, as the builtin does.
u32 runChannelWrite(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const u32 mark = markOf(env);
  const TaggedValue channel = n->a->kind == Kind::Local ? f.locals[n->a->aux] : valueOf(n->a, f);
  builtin_checkChannel(env, channel);
  DataCell cell = 0;
  TaggedValue value;
  if (isComputedScalar(n->b)) {
    cell = cellOf(n->b, f);
    value = TaggedValue{&cell, n->b->type, NO_ID};
  } else {
    value = n->b->kind == Kind::Local ? f.locals[n->b->aux] : valueOf(n->b, f);
  }
  const ChannelShape* c = n->imm != 0 ? nullptr : fastChannel(f, channel);
  // A global channel offers the element to its change callback first.
  if (c == nullptr || channel.globalId != NO_ID || value.typeId != c->elementType ||
      value.value == nullptr || !fastPush(*c, channel.value, *value.value)) {
    if (value.value == &cell) value = interpStack_pushSingleAnyValue(env, value.typeId, cell);
    builtin_channelStore(env, n->ast, channel, value, n->imm != 0);
  }
  releaseTo(env, mark);
  return STMT_NORMAL;
}


// ---------------------------------------------------------------------------
// Statements.

u32 runSequence(const PNode* n, Frame& f) {
  for (u32 i = 0; i < n->count; ++i) {
    const PNode* s = n->items[i];
    const u32 code = s->exec(s, f);
    if (code != STMT_NORMAL) return code;
  }
  return STMT_NORMAL;
}

u32 runHandOverStatement(const PNode* n, Frame& f) { return statement_execute(f.env, n->ast); }
u32 runNothing(const PNode*, Frame&) { return STMT_NORMAL; }
u32 runBreak(const PNode*, Frame&) { return STMT_BREAK; }
u32 runContinue(const PNode*, Frame&) { return STMT_CONTINUE; }

u32 runExpressionStatement(const PNode* n, Frame& f) {
  const u32 mark = markOf(f.env);
  valueOf(n->a, f);
  releaseTo(f.env, mark);
  return STMT_NORMAL;
}

u32 runAnnotated(const PNode* n, Frame& f) {
  n->a->exec(n->a, f);
  return STMT_NORMAL;
}

u32 runDeclareConstant(const PNode* n, Frame& f) {
  LocalConstant_define(f.env, n->type, f.env->program->constantDataTable + n->imm);
  return STMT_NORMAL;
}

// The local is declared before its initial value is evaluated, which sees it.
u32 runDeclareVariable(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const u32 mark = markOf(env);
  const TaggedValue local = LocalVariable_declare(env, n->type);
  if (n->a != nullptr) {
    value_set(env, local, valueOf(n->a, f));
  } else {
    value_clear(env, local);
  }
  releaseTo(env, mark);
  return STMT_NORMAL;
}

// A scalar local with a direct initial value (or none: 0).
u32 runDeclareScalar(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  DataCell* storage = LocalVariable_declareScalar(env, n->type, 0);
  if (n->a != nullptr) {
    const u32 mark = markOf(env);
    *storage = cellOf(n->a, f) & n->imm;
    releaseTo(env, mark);
  }
  return STMT_NORMAL;
}

// The same with an initial value that pushes nothing (or none).
u32 runDeclarePureScalar(const PNode* n, Frame& f) {
  DataCell* storage = LocalVariable_declareScalar(f.env, n->type, 0);
  if (n->a != nullptr) *storage = cellOf(n->a, f) & n->imm;
  return STMT_NORMAL;
}

// The same with a literal, or a value of the constant data (at a->imm), which
// cannot depend on the local being declared.
u32 runDeclareLiteralScalar(const PNode* n, Frame& f) {
  LocalVariable_declareScalar(f.env, n->type, n->a->imm & n->imm);
  return STMT_NORMAL;
}
u32 runDeclareConstantScalar(const PNode* n, Frame& f) {
  LocalVariable_declareScalar(f.env, n->type,
                              f.env->program->constantDataTable[n->a->imm] & n->imm);
  return STMT_NORMAL;
}

// Whether a declaration's initial value is fixed before the block runs: none
// (zero), a literal, or a value of the constant data.
bool isFixedDeclaration(const PNode* d) {
  return d->exec == runDeclareLiteralScalar || d->exec == runDeclareConstantScalar ||
         (d->exec == runDeclarePureScalar && d->a == nullptr);
}

// A block's declarations when all are fixed scalars (items): one check of the
// tables' room for all, then each stored as runDeclare*Scalar would. Without
// room, they are declared one by one, and the one that overflows reports it.
u32 runDeclareFixedScalars(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  LocalVarsIndexes& idx = env->ctx->localVarsIndexes;
  const u32 variables = idx.count.variables;
  const u32 data = idx.count.variablesData;
  if (u64{variables} + n->count > STACKS_SIZE || u64{data} + n->count + 1 >= STACKS_SIZE) {
    return runSequence(n, f);
  }
  TaggedValue* table = env->data->localVariableTable + variables;
  DataCell* cells = env->data->localVariableDataTable + data;
  const DataCell* constants = env->program->constantDataTable;
  for (u32 i = 0; i < n->count; ++i) {
    const PNode* d = n->items[i];
    const DataCell value = d->exec == runDeclareConstantScalar ? constants[d->a->imm]
                           : d->a == nullptr                  ? 0
                                                              : d->a->imm;
    cells[i] = value & d->imm;
    table[i] = TaggedValue{cells + i, d->type, NO_ID};
  }
  idx.count.variables = variables + n->count;
  idx.count.variablesData = data + n->count;
  return STMT_NORMAL;
}

u32 runBlock(const PNode* n, Frame& f) {
  InterpEnv* env = f.env;
  const LocalVarsIndexes saved = env->ctx->localVarsIndexes;
  if (n->a != nullptr) n->a->exec(n->a, f);
  const u32 code = n->b->exec(n->b, f);
  Variable_restorePrevLocalVarCounts(env, &saved);
  return code;
}

bool conditionHolds(const PNode* condition, Frame& f) {
  if (condition->pure && condition->type == TypeBoolean) {
    return (condition->cell(condition, f) & 0xFFu) != 0;
  }
  const u32 mark = markOf(f.env);
  const bool holds = truthOf(condition, f);
  releaseTo(f.env, mark);
  return holds;
}

// a = condition, items = {then, else}.
u32 runIf(const PNode* n, Frame& f) {
  const PNode* branch = conditionHolds(n->a, f) ? n->items[0] : n->items[1];
  return branch->exec(branch, f);
}

u32 runWhile(const PNode* n, Frame& f) {
  for (;;) {
    interp_checkInterrupt(f.env);
    interp_countLoopStep(f.env);
    if (!conditionHolds(n->a, f)) break;
    if (n->b->exec(n->b, f) == STMT_BREAK) break;
  }
  return STMT_NORMAL;
}

// items = {init, step}, a = condition (or null), b = body.
u32 runFor(const PNode* n, Frame& f) {
  const PNode* init = n->items[0];
  const PNode* step = n->items[1];
  init->exec(init, f);
  for (;;) {
    interp_checkInterrupt(f.env);
    interp_countLoopStep(f.env);
    if (n->a != nullptr && !conditionHolds(n->a, f)) break;
    if (n->b->exec(n->b, f) == STMT_BREAK) break;
    step->exec(step, f);
  }
  return STMT_NORMAL;
}

u32 runCondition(const PNode* n, Frame& f) { return conditionHolds(n->a, f) ? 1 : 0; }

// ---------------------------------------------------------------------------
// Preparing.

// What a fragment sees of its frame while it is prepared: the local
// variables and constants declared so far, counted from the frame's bases.
struct Scope {
  u32 variables;
  u32 constants;
};

class Preparer {
 public:
  Preparer(InterpEnv* env, EngineState* state) : env_(env), p_(env->program), state_(state) {}

  const PNode* statement(AST* node, Scope& scope);
  const PNode* statementAt(AST* node, Scope& scope);
  const PNode* statementList(AST* list, Scope& scope);
  const PNode* expression(AST* node, const Scope& scope);

 private:
  const PNode* expressionAt(AST* node, const Scope& scope);
  // Nesting of the expression and of the statement being prepared (see
  // expression() and statement()).
  unsigned depth_ = 0;
  unsigned statementDepth_ = 0;
  PNode* make(Kind kind, AST* ast) {
    PNode* n = new (state_->arena.take(sizeof(PNode))) PNode();
    n->kind = kind;
    n->ast = ast;
    return n;
  }
  const PNode* const* array(const std::vector<const PNode*>& nodes) {
    if (nodes.empty()) return nullptr;
    auto* items = static_cast<const PNode**>(state_->arena.take(sizeof(PNode*) * nodes.size()));
    for (size_t i = 0; i < nodes.size(); ++i) items[i] = nodes[i];
    return items;
  }
  PNode* handOver(AST* node) {
    PNode* n = make(Kind::HandOver, node);
    n->cell = handOverCell;
    return n;
  }
  PNode* handOverStatement(AST* node) {
    PNode* n = make(Kind::Statement, node);
    n->exec = runHandOverStatement;
    return n;
  }
  PNode* statementNode(AST* node, ExecFn exec) {
    PNode* n = make(Kind::Statement, node);
    n->exec = exec;
    return n;
  }
  PNode* scalar(AST* node, u32 type, DataCell value) {
    PNode* n = make(Kind::Scalar, node);
    n->cell = constantCell;
    n->imm = value;
    n->type = type;
    n->direct = true;
    n->pure = true;
    return n;
  }
  // NO_ID lies past every image's node count, so it reads as absent too.
  AST* node(u32 id) const { return const_cast<AST*>(AST_nodeIfPresent(p_, id)); }
  AST* left(const AST* n) const { return node(n->left); }
  AST* right(const AST* n) const { return node(n->right); }
  // The id named by a variable access: left's value; NO_ID when absent.
  u32 accessId(const AST* n) const {
    const AST* l = left(n);
    return l == nullptr ? NO_ID : l->value.id.id;
  }
  bool validType(u32 t) const { return t < p_->infoProg->n_type; }
  DataCell maskOf(u32 t) const { return validType(t) ? state_->masks[t] : 0; }

  const PNode* variableAccess(AST* n, const Scope& scope);
  bool constantOperand(const AST* n, DataCell* cell) const;
  const PNode* operation(AST* n, const Scope& scope, bool unary, bool comparison);
  const PNode* call(AST* n, const Scope& scope);
  const PNode* userCall(AST* n, AST* codeNode, const Scope& scope);
  const PNode* fieldCall(AST* n, AST* codeNode, const Scope& scope);
  const PNode* assignment(AST* n, const Scope& scope, bool asStatement);
  const PNode* channelWrite(AST* n, const Scope& scope);
  const PNode* mathCall(AST* n, u32 code, const Scope& scope);
  const PNode* block(AST* n, Scope scope);
  const PNode* declaration(AST* d, Scope& scope, bool* ok);
  bool listElements(AST* list, std::vector<AST*>* elements) const;

  InterpEnv* env_;
  const program* p_;
  EngineState* state_;
};

bool Preparer::listElements(AST* list, std::vector<AST*>* elements) const {
  for (AST* cell = list; cell != nullptr; cell = right(cell)) {
    if (cell->op != LIST) return false;
    if (cell->right != NO_ID && right(cell) == nullptr) return false;
    if (cell->left != NO_ID && left(cell) == nullptr) return false;
    elements->push_back(left(cell));
  }
  return true;
}

// An integer literal, or a global constant of a scalar type: its cell.
bool Preparer::constantOperand(const AST* n, DataCell* cell) const {
  if (n->op == INTEGER_OP) {
    *cell = n->value.uinteger;
    return true;
  }
  if (n->op != GLOBAL_CONSTANT_OP) return false;
  const u32 id = accessId(n);
  if (id >= p_->infoProg->n_globalConstants) return false;
  const TaggedValue constant = p_->globalConstantTable[id];
  if (constant.value == nullptr || maskOf(constant.typeId) == 0) return false;
  *cell = *constant.value;
  return true;
}

const PNode* Preparer::variableAccess(AST* n, const Scope& scope) {
  const u32 id = accessId(n);
  const InfoProg* info = p_->infoProg;
  PNode* v = nullptr;
  switch (n->op) {
    case LOCAL_VAR:
      if (id >= scope.variables) return handOver(n);
      v = make(Kind::Local, n);
      v->cell = localCell;
      break;
    case LOCAL_CONSTANT_OP:
      if (id >= scope.constants) return handOver(n);
      v = make(Kind::LocalConstant, n);
      v->cell = localConstantCell;
      break;
    case STATIC_VARIABLE_OP:
      if (id == NO_ID) return handOver(n);
      v = make(Kind::Static, n);
      v->cell = staticCell;
      break;
    case GLOBAL_VARIABLE_OP:
      if (id >= info->n_globalVariables || id >= env_->ctx->cache->callbackVariables ||
          p_->globalVariableTable[id].value == nullptr) {
        return handOver(n);
      }
      v = make(Kind::Global, n);
      v->cell = globalCell;
      break;
    default:  // GLOBAL_CONSTANT_OP
      if (id >= info->n_globalConstants || p_->globalConstantTable[id].value == nullptr) {
        return handOver(n);
      }
      v = make(Kind::GlobalConstant, n);
      v->cell = globalConstantCell;
      break;
  }
  v->aux = id;
  v->direct = true;
  v->pure = n->op != GLOBAL_VARIABLE_OP;  // a global's read hook is the host's code
  return v;
}

const PNode* Preparer::operation(AST* n, const Scope& scope, bool unary, bool comparison) {
  const u32 operatorType = n->value.id.type;
  if (operatorType >= TypePrimitive || env_->ctx->execute_operator == nullptr ||
      env_->ctx->execute_operator[operatorType] == nullptr) {
    return handOver(n);
  }
  if (unary && n->right != NO_ID) return handOver(n);
  AST* l = left(n);
  AST* r = unary ? nullptr : right(n);
  if (l == nullptr || (!unary && r == nullptr)) return handOver(n);
  // A local and a literal (or a scalar global constant, whose cell never
  // changes while the image is loaded), or two locals: the operands are read
  // in place.
  const bool localLeft = l->op == LOCAL_VAR && accessId(l) < scope.variables;
  DataCell constant = 0;
  const bool literal = !unary && constantOperand(r, &constant);
  if (!unary && localLeft && (literal || (r->op == LOCAL_VAR && accessId(r) < scope.variables))) {
    const CellFn fused = literal ? binaryOperator<LocalLiteralOperands>(n->op, operatorType)
                                 : binaryOperator<LocalLocalOperands>(n->op, operatorType);
    if (fused == nullptr) return handOver(n);
    PNode* op = make(Kind::Scalar, n);
    op->cell = fused;
    op->aux = accessId(l);
    op->imm = literal ? constant : accessId(r);
    op->type = comparison ? u32{TypeBoolean} : expr_resultTypeOf(n->op, operatorType);
    op->direct = true;
    op->pure = true;
    return op;
  }
  const PNode* a = expression(l, scope);
  const PNode* b = unary ? nullptr : expression(r, scope);
  const bool direct = a->direct && (unary || b->direct);
  CellFn fn = nullptr;
  PNode* op = make(Kind::Scalar, n);
  if (!direct) {
    fn = unary ? unaryOperator<CheckedOperands>(n->op, operatorType)
               : binaryOperator<CheckedOperands>(n->op, operatorType);
  } else if (unary) {
    fn = unaryOperator<UnaryOperand>(n->op, operatorType);
  } else {
    fn = binaryOperator<DirectOperands>(n->op, operatorType);
  }
  if (fn == nullptr) return handOver(n);  // the walker reports the unknown operator
  op->cell = fn;
  op->a = a;
  op->b = b;
  op->type = comparison ? u32{TypeBoolean} : expr_resultTypeOf(n->op, operatorType);
  op->direct = true;
  op->pure = direct && a->pure && (unary || b->pure);
  return op;
}

const PNode* Preparer::userCall(AST* n, AST* codeNode, const Scope& scope) {
  AST* target = right(codeNode);
  if (target == nullptr || target->op != INDEX_NODE) return handOver(n);
  const u32 functionId = target->value.id.id;
  if (functionId >= p_->infoProg->n_functions) return handOver(n);
  const FunctionDefinition& function = p_->functionTable[functionId];
  const u32 nodes = p_->infoProg->n_AST;
  if ((function.parameters != NO_ID && function.parameters >= nodes) ||
      (function.body != NO_ID && function.body >= nodes)) {
    return handOver(n);  // the walker reports the damaged function record
  }
  std::vector<AST*> formals;
  std::vector<AST*> arguments;
  if (!listElements(node(function.parameters), &formals) || !listElements(right(n), &arguments) ||
      formals.size() != arguments.size()) {
    return handOver(n);  // the walker reports the mismatch where it meets it
  }
  std::vector<const PNode*> prepared;
  auto* modes = static_cast<u8*>(state_->arena.take(formals.size() + 1));
  for (size_t i = 0; i < formals.size(); ++i) {
    const AST* formal = formals[i];
    if (formal == nullptr || !(formal->op == IN_PARAM || formal->op == IN_CHANNEL_PARAM ||
                               formal->op == OUT_PARAM || formal->op == OUT_CHANNEL_PARAM)) {
      return handOver(n);
    }
    const PNode* argument =
        arguments[i] == nullptr ? handOver(nullptr) : expression(arguments[i], scope);
    const bool byValue = formal->op == IN_PARAM;
    modes[i] = byValue ? kByValue : 0;
    if (argument->kind == Kind::Local) {
      modes[i] |= kLocalArgument;
    } else if (byValue && isComputedScalar(argument) && argument->pure &&
               maskOf(argument->type) != 0) {
      modes[i] |= kComputedArgument;
    }
    prepared.push_back(argument);
  }
  PNode* c = make(Kind::Call, n);
  c->aux = functionId;
  c->items = array(prepared);
  c->count = static_cast<u32>(prepared.size());
  c->imm = reinterpret_cast<u64>(modes);
  c->cell = handOverCell;
  return c;
}

const PNode* Preparer::fieldCall(AST* n, AST* codeNode, const Scope& scope) {
  AST* offset = right(codeNode);
  AST* object = left(codeNode);
  if (offset == nullptr || offset->op != INTEGER_OP || offset->value.uinteger >= NO_ID ||
      object == nullptr || !validType(n->value.id.type)) {
    return handOver(n);
  }
  PNode* f = make(Kind::Field, n);
  f->a = expression(object, scope);
  f->imm = offset->value.uinteger;
  f->type = n->value.id.type;
  f->count = p_->typeTable[f->type].storageSize;
  f->cell = fieldCell;
  f->direct = true;
  f->pure = readsInPlace(f->a);
  return f;
}

// A float64 function whose arguments are float64 values the engine computes,
// or locals (checked when the call runs).
const PNode* Preparer::mathCall(AST* n, u32 code, const Scope& scope) {
  std::vector<AST*> arguments;
  const size_t needed = code == kCallF64Pow ? 2 : 1;
  if (!listElements(right(n), &arguments) || arguments.size() < needed) return handOver(n);
  const PNode* operands[2] = {nullptr, nullptr};
  for (size_t i = 0; i < needed; ++i) {
    if (arguments[i] == nullptr) return handOver(n);
    const PNode* a = expression(arguments[i], scope);
    if (a->kind != Kind::Local && !(a->kind == Kind::Scalar && a->direct && a->type == TypeF64)) {
      return handOver(n);
    }
    operands[i] = a;
  }
  PNode* m = make(Kind::Scalar, n);
  m->a = operands[0];
  m->b = operands[1];
  m->aux = code - kCallF64Cos;
  m->cell = mathF64Cell;
  m->type = TypeF64;
  m->direct = true;
  m->pure = m->a->pure && (m->b == nullptr || m->b->pure);
  return m;
}

const PNode* Preparer::call(AST* n, const Scope& scope) {
  AST* codeNode = left(n);
  if (codeNode == nullptr || codeNode->op != INDEX_NODE) return handOver(n);
  switch (codeNode->value.id.id) {
    case kCallFunctionCustom:
      return userCall(n, codeNode, scope);
    case kCallFieldCustom:
      return fieldCall(n, codeNode, scope);
    case kCallTime: {
      // Read by its consumers exactly as a node handed over to the walker.
      PNode* t = make(Kind::Time, n);
      t->cell = handOverCell;
      return t;
    }
    case kCallF64Cos:
    case kCallF64Sin:
    case kCallF64Atan:
    case kCallF64Sqrt:
    case kCallF64Pow:
    case kCallF64Abs:
    case kCallF64Log:
      return mathCall(n, codeNode->value.id.id, scope);
    case kCallChannelPop:
    case kCallChannelPeek:
    case kCallChannelLastPeek:
    case kCallChannelMaxSize:
    case kCallChannelCount:
    case kCallChannelIsEmpty:
    case kCallChannelNotEmpty:
    case kCallChannelIsFull:
    case kCallChannelNotFull: {
      AST* object = left(codeNode);
      if (object == nullptr) return handOver(n);
      PNode* q = make(Kind::ChannelQuery, n);
      q->aux = codeNode->value.id.id;
      q->a = expression(object, scope);
      q->cell = channelQueryCell;
      q->direct = true;
      switch (q->aux) {
        case kCallChannelMaxSize:
        case kCallChannelCount:
          q->type = TypeUInt32;
          break;
        case kCallChannelIsEmpty:
        case kCallChannelNotEmpty:
        case kCallChannelIsFull:
        case kCallChannelNotFull:
          q->type = TypeBoolean;
          break;
        default:
          break;  // an element, of the channel's element type
      }
      // Counts and truths push nothing, whichever way they are computed.
      q->pure = q->aux != kCallChannelMaxSize && q->type != NO_ID && readsInPlace(q->a);
      return q;
    }
    default:
      return handOver(n);
  }
}

// push or insert_sorted as a statement; null for any other call.
const PNode* Preparer::channelWrite(AST* n, const Scope& scope) {
  AST* codeNode = left(n);
  if (codeNode == nullptr || codeNode->op != INDEX_NODE) return nullptr;
  const u32 code = codeNode->value.id.id;
  if (code != kCallChannelPush && code != kCallChannelInsertSorted) return nullptr;
  AST* object = left(codeNode);
  std::vector<AST*> arguments;
  if (object == nullptr || !listElements(right(n), &arguments) || arguments.empty() ||
      arguments[0] == nullptr) {
    return nullptr;  // the walker reports what is missing
  }
  PNode* w = statementNode(n, runChannelWrite);
  w->a = expression(object, scope);
  w->b = expression(arguments[0], scope);
  w->imm = code == kCallChannelInsertSorted ? 1 : 0;
  return w;
}

const PNode* Preparer::assignment(AST* n, const Scope& scope, bool asStatement) {
  AST* l = left(n);
  AST* r = right(n);
  if (l == nullptr || r == nullptr) return asStatement ? handOverStatement(n) : handOver(n);
  const PNode* value = expression(r, scope);
  const PNode* target = expression(l, scope);
  PNode* a = make(asStatement ? Kind::Statement : Kind::Assign, n);
  a->a = target;
  a->b = value;
  if (!asStatement) {
    a->cell = handOverCell;
  } else if (target->kind == Kind::Local && value->direct) {
    a->aux = target->aux;
    a->exec = runAssignLocal;
    if (value->kind == Kind::Local) {
      a->imm = value->aux;
      a->exec = runAssignLocalFromLocal;
    }
  } else if ((target->kind == Kind::ArrayElement || target->kind == Kind::Field) &&
             isComputedScalar(value)) {
    a->exec = runAssignComputedToElement;
  } else {
    a->exec = runAssignStatement;
  }
  return a;
}

// An operator chain is accepted at any length and nests one level per
// operator, in preparing it as in running it. Past this depth the rest of the
// tree is handed to the walker, which watches the thread's stack and reports
// a chain too deep for it as a stack overflow; real expressions stay far below.
constexpr unsigned kMaxPreparedDepth = 1000;

const PNode* Preparer::expression(AST* n, const Scope& scope) {
  if (depth_ >= kMaxPreparedDepth) return handOver(n);
  ++depth_;
  const PNode* prepared = expressionAt(n, scope);
  --depth_;
  return prepared;
}

const PNode* Preparer::expressionAt(AST* n, const Scope& scope) {
  if (n == nullptr) return handOver(nullptr);
  switch (n->op) {
    case INTEGER_OP:
      return scalar(n, TypeInt, n->value.uinteger);
    case BOOLEAN_OP:
      return scalar(n, TypeBoolean, n->value.boolean != 0 ? 1 : 0);
    case F32_LITERAL_OP: {
      u32 bits;
      std::memcpy(&bits, &n->value.f32, sizeof bits);
      return scalar(n, TypeF32, bits);
    }
    case F64_LITERAL_OP:
      return scalar(n, TypeF64, n->value.uinteger);
    case FREQUENCY_OP:
      return scalar(n, TypeTime, n->value.uinteger);
    case NS_LITERAL_OP:
    case US_LITERAL_OP:
    case MS_LITERAL_OP:
    case S_LITERAL_OP: {
      if (n->left != NO_ID) return handOver(n);
      const u64 unit = n->op == NS_LITERAL_OP   ? kPicosecondsPerNs
                       : n->op == US_LITERAL_OP ? kPicosecondsPerUs
                       : n->op == MS_LITERAL_OP ? kPicosecondsPerMs
                                                : kPicosecondsPerS;
      return scalar(n, TypeTime, n->value.uinteger * unit);
    }
    case ENUM_VALUE_OP: {
      AST* symbol = left(n);
      if (symbol == nullptr || !validType(n->value.id.type)) return handOver(n);
      return scalar(n, n->value.id.type, symbol->value.id.id);
    }
    case AND_OP:
    case OR_OP: {
      PNode* logical = make(Kind::Scalar, n);
      logical->a = expression(left(n), scope);
      logical->b = expression(right(n), scope);
      logical->cell = n->op == AND_OP ? andCell : orCell;
      logical->type = TypeBoolean;
      logical->direct = true;
      logical->pure = isPureTruth(logical->a) && isPureTruth(logical->b);
      return logical;
    }
    case NOT_OP: {
      PNode* negation = make(Kind::Scalar, n);
      negation->a = expression(left(n), scope);
      negation->cell = notCell;
      negation->type = TypeBoolean;
      negation->direct = true;
      negation->pure = isPureTruth(negation->a);
      return negation;
    }
    case PLUS_OP:
    case MINUS_OP:
    case MUL_OP:
    case DIV_OP:
    case MOD_OP:
    case BIT_AND_OP:
    case BIT_OR_OP:
    case BIT_XOR_OP:
    case BIT_LSHIFT_OP:
    case BIT_RSHIFT_OP:
      return operation(n, scope, false, false);
    case NEG_OP:
    case BIT_NOT_OP:
      return operation(n, scope, true, false);
    case CEQ_OP:
    case CNE_OP:
    case CGE_OP:
    case CLE_OP:
    case GT_OP:
    case LT_OP:
      return operation(n, scope, false, true);
    case CAST_OP: {
      const DataCell mask = maskOf(n->value.id.type);
      AST* operand = left(n);
      if (mask == 0 || operand == nullptr) return handOver(n);
      const PNode* a = expression(operand, scope);
      if (!a->direct) return handOver(n);
      PNode* c = make(Kind::Scalar, n);
      c->a = a;
      c->imm = mask;
      c->cell = castCell;
      c->type = n->value.id.type;
      c->direct = true;
      c->pure = a->pure;
      return c;
    }
    case LOCAL_VAR:
    case LOCAL_CONSTANT_OP:
    case STATIC_VARIABLE_OP:
    case GLOBAL_VARIABLE_OP:
    case GLOBAL_CONSTANT_OP:
      return variableAccess(n, scope);
    case ARRAY_INDEX_OP: {
      if (n->left == NO_ID || n->right == NO_ID) return handOver(n);
      PNode* e = make(Kind::ArrayElement, n);
      e->b = expression(right(n), scope);
      e->a = expression(left(n), scope);
      e->cell = arrayElementCell;
      if ((e->a->kind == Kind::Local || e->a->kind == Kind::Static) && e->b->kind == Kind::Local) {
        e->imm = 1;
        e->cell = localIndexElementCell;
      }
      e->direct = true;
      e->pure = (isComputedScalar(e->b) ? e->b->pure : readsInPlace(e->b)) && readsInPlace(e->a);
      return e;
    }
    case INITIALIZER_OP: {
      // Initial values of locals are stored by the compiler as constant data.
      const u32 index = n->value.id.initializer;
      if (index >= p_->infoProg->size_constantData || !validType(TypeStructure)) return handOver(n);
      PNode* c = make(Kind::ConstantData, n);
      c->imm = index;
      c->cell = constantDataCell;
      c->direct = true;
      c->pure = true;
      return c;
    }
    case ASSIGN_OP:
      return assignment(n, scope, false);
    case CALL_OP:
      return call(n, scope);
    default:
      return handOver(n);
  }
}

const PNode* Preparer::declaration(AST* d, Scope& scope, bool* ok) {
  if (d == nullptr || d->op == COMMENT) return nullptr;
  const u32 typeId = d->value.id.type;
  if (!validType(typeId)) {
    *ok = false;
    return nullptr;
  }
  switch (d->op) {
    case CONSTANT_DECL_OP:
    case CONSTANT_ARRAY_DECL_OP: {
      AST* initializer = right(d);
      const InfoProg* info = p_->infoProg;
      if (initializer == nullptr || initializer->op != INITIALIZER_OP) break;
      const u32 index = initializer->value.id.id;
      if (!(index <= info->size_constantData &&
            p_->typeTable[typeId].storageSize <= info->size_constantData - index)) {
        break;
      }
      PNode* c = statementNode(d, runDeclareConstant);
      c->type = typeId;
      c->imm = index;
      scope.constants++;
      return c;
    }
    case VARIABLE_DECL_OP:
    case VARIABLE_BUFFER_DECL_OP:
    case IMPLICIT_VARIABLE_DECL:
    case ITERATOR_DECL_OP: {
      scope.variables++;  // declared before its initial value is evaluated
      PNode* v = statementNode(d, runDeclareVariable);
      v->type = typeId;
      AST* initializer = d->op == ITERATOR_DECL_OP ? nullptr : right(d);
      if (initializer != nullptr) v->a = expression(initializer, scope);
      if (maskOf(typeId) != 0 && (v->a == nullptr || v->a->direct)) {
        v->exec = v->a == nullptr || v->a->pure ? runDeclarePureScalar : runDeclareScalar;
        v->imm = maskOf(typeId);
        if (v->a != nullptr && v->a->cell == constantCell) v->exec = runDeclareLiteralScalar;
        if (v->a != nullptr && v->a->kind == Kind::ConstantData) v->exec = runDeclareConstantScalar;
      }
      return v;
    }
    default:
      break;
  }
  *ok = false;
  return nullptr;
}

// A block: its declarations, then its statements, in a scope of its own.
const PNode* Preparer::block(AST* n, Scope scope) {
  AST* declarations = left(n);
  std::vector<AST*> items;
  if (declarations != nullptr && declarations->op != LIST) {
    items.push_back(declarations);
  } else if (!listElements(declarations, &items)) {
    return handOverStatement(n);
  }
  std::vector<const PNode*> prepared;
  bool ok = true;
  for (AST* d : items) {
    const PNode* pd = declaration(d, scope, &ok);
    if (!ok) return handOverStatement(n);
    if (pd != nullptr) prepared.push_back(pd);
  }
  PNode* seq = make(Kind::Statement, nullptr);
  seq->exec = runSequence;
  seq->items = array(prepared);
  seq->count = static_cast<u32>(prepared.size());
  bool fixed = !prepared.empty();
  for (const PNode* d : prepared) fixed = fixed && isFixedDeclaration(d);
  if (fixed) seq->exec = runDeclareFixedScalars;
  const PNode* statements = statementList(right(n), scope);
  if (statements == nullptr) return handOverStatement(n);
  // Without declarations the counts cannot change: the statements alone.
  if (prepared.empty()) return statements->count == 1 ? statements->items[0] : statements;
  PNode* b = statementNode(n, runBlock);
  b->a = seq;
  b->b = statements->count == 1 ? statements->items[0] : statements;
  return b;
}

const PNode* Preparer::statementList(AST* list, Scope& scope) {
  std::vector<AST*> items;
  if (list != nullptr && list->op != LIST) {
    items.push_back(list);
  } else if (!listElements(list, &items)) {
    return nullptr;
  }
  std::vector<const PNode*> prepared;
  for (AST* s : items) prepared.push_back(statement(s, scope));
  PNode* seq = statementNode(list, runSequence);
  seq->items = array(prepared);
  seq->count = static_cast<u32>(prepared.size());
  return seq;
}

// Blocks nest as deep as the grammar allows, and a damaged image may even
// hold a statement that contains itself: past this depth the walker runs the
// rest, and it watches the thread's stack.
constexpr unsigned kMaxPreparedStatementDepth = 1000;

const PNode* Preparer::statement(AST* n, Scope& scope) {
  if (statementDepth_ >= kMaxPreparedStatementDepth) return handOverStatement(n);
  ++statementDepth_;
  const PNode* prepared = statementAt(n, scope);
  --statementDepth_;
  return prepared;
}

const PNode* Preparer::statementAt(AST* n, Scope& scope) {
  if (n == nullptr) return statementNode(nullptr, runNothing);
  switch (n->op) {
    case BLOCK:
    case BLOCK_COMMON:
    case BLOCK_FINALLY:
      return block(n, scope);
    case IF_OP: {
      std::vector<AST*> branches;
      if (!listElements(right(n), &branches)) return handOverStatement(n);
      branches.resize(2, nullptr);
      PNode* s = statementNode(n, runIf);
      s->a = expression(left(n), scope);
      std::vector<const PNode*> parts{statement(branches[0], scope), statement(branches[1], scope)};
      s->items = array(parts);
      return s;
    }
    case WHILE_OP: {
      if (left(n) == nullptr) return handOverStatement(n);
      PNode* s = statementNode(n, runWhile);
      s->a = expression(left(n), scope);
      s->b = statement(right(n), scope);
      return s;
    }
    case FOR_OP: {
      std::vector<AST*> parts;
      if (!listElements(left(n), &parts)) return handOverStatement(n);
      parts.resize(3, nullptr);
      AST* init = parts[0];
      AST* condition = parts[1];
      AST* step = parts[2];
      PNode* s = statementNode(n, runFor);
      std::vector<const PNode*> initAndStep{statement(init, scope), statement(step, scope)};
      s->items = array(initAndStep);
      s->a = condition == nullptr ? nullptr : expression(condition, scope);
      s->b = statement(right(n), scope);
      return s;
    }
    case TIME_ANNOTATION:
    case USER_ANNOTATION:
    case PROCESS_ANNOTATION:
    case HARDWARE_ANNOTATION: {
      PNode* s = statementNode(n, runAnnotated);
      s->a = statement(left(n), scope);
      return s;
    }
    case BREAK_OP:
      return statementNode(n, runBreak);
    case CONTINUE_OP:
      return statementNode(n, runContinue);
    case COMMENT:
      return statementNode(n, runNothing);
    case NAMED_BLOCK:
    case LOOP_OVER_OP:
      return handOverStatement(n);
    case ASSIGN_OP:
      return assignment(n, scope, true);
    case CALL_OP: {
      const PNode* write = channelWrite(n, scope);
      if (write != nullptr) return write;
      [[fallthrough]];
    }
    default: {
      const PNode* e = expression(n, scope);
      if (e->kind == Kind::HandOver || e->kind == Kind::Time) return handOverStatement(n);
      if (e->kind == Kind::Call) {
        PNode* s = statementNode(n, runCall);
        *s = *e;
        s->kind = Kind::Statement;
        s->exec = runCall;  // it leaves the value stack as it found it
        return s;
      }
      PNode* s = statementNode(n, runExpressionStatement);
      s->a = e;
      return s;
    }
  }
}

// ---------------------------------------------------------------------------
// Entries.

Scope visibleScope(InterpEnv* env) {
  const LocalVarsIndexes& ix = env->ctx->localVarsIndexes;
  return Scope{ix.count.variables - ix.base.variables, ix.count.constants - ix.base.constants};
}

// The entry of a fragment, prepared for the current frame when this is its
// first execution; null when the engine does not run this image.
const Entry* lookupEntry(InterpEnv* env, AST* node, EntryKind kind) {
  EngineState* state = engineOf(env);
  if (!state->enabled) return nullptr;
  const u64 key = (u64{AST_id(env->program, node)} << 2) | kind;
  EngineState::RecentEntry& recent =
      state->recent[(key ^ (key >> 8)) % EngineState::kRecentEntries];
  if (recent.key == key) return recent.entry;
  auto found = state->entries.find(key);
  if (found == state->entries.end()) {
    Preparer preparer(env, state);
    const Scope scope = visibleScope(env);
    Scope inner = scope;
    Entry entry{nullptr, scope.variables, scope.constants};
    if (kind == kEntryStatement) {
      entry.node = preparer.statement(node, inner);
    } else if (kind == kEntryList) {
      entry.node = preparer.statementList(node, inner);
    } else {
      PNode* c = new (state->arena.take(sizeof(PNode))) PNode();
      c->kind = Kind::Statement;
      c->exec = runCondition;
      c->a = preparer.expression(node, inner);
      entry.node = c;
    }
    found = state->entries.emplace(key, entry).first;
  }
  recent = {key, &found->second};
  return &found->second;
}

// Whether the current frame shows the locals an entry was prepared for.
bool fitsFrame(InterpEnv* env, const Entry* entry) {
  const Scope scope = visibleScope(env);
  return entry->node != nullptr && scope.variables >= entry->variables &&
         scope.constants >= entry->constants;
}

// The prepared form of a fragment entered in the current frame, or null when
// it must run on the tree walker.
const Entry* entryFor(InterpEnv* env, AST* node, EntryKind kind) {
  const Entry* entry = lookupEntry(env, node, kind);
  return entry != nullptr && fitsFrame(env, entry) ? entry : nullptr;
}

const PNode* bodyOf(InterpEnv* env, AST* bodyNode) {
  if (bodyNode == nullptr) return nullptr;
  const Entry* entry = entryFor(env, bodyNode, kEntryStatement);
  return entry == nullptr ? nullptr : entry->node;
}

}  // namespace

u32 engine_executeStatement(InterpEnv* env, AST* node) {
  if (node == nullptr) return STMT_NORMAL;
  const Entry* entry = entryFor(env, node, kEntryStatement);
  if (entry == nullptr) return statement_execute(env, node);
  Frame f = frameOf(env);
  return entry->node->exec(entry->node, f);
}

u32 engine_executeList(InterpEnv* env, AST* statements) {
  if (statements == nullptr) return STMT_NORMAL;
  const Entry* entry = entryFor(env, statements, kEntryList);
  if (entry == nullptr) return statement_executeList(env, statements);
  Frame f = frameOf(env);
  return entry->node->exec(entry->node, f);
}

bool engine_evaluateCondition(InterpEnv* env, AST* condition) {
  const Entry* entry = condition == nullptr ? nullptr : entryFor(env, condition, kEntryCondition);
  if (entry == nullptr) {
    const u32 mark = interpStack_mark(env);
    const bool holds = expr_executeBoolean(env, condition);
    interpStack_release(env, mark);
    return holds;
  }
  Frame f = frameOf(env);
  return entry->node->exec(entry->node, f) != 0;
}

const EngineFragment* engine_listFragment(InterpEnv* env, AST* statements) {
  return statements == nullptr ? nullptr : lookupEntry(env, statements, kEntryList);
}

u32 engine_runListFragment(InterpEnv* env, const EngineFragment* fragment, AST* statements) {
  if (fragment == nullptr || !fitsFrame(env, fragment)) return engine_executeList(env, statements);
  Frame f = frameOf(env);
  return fragment->node->exec(fragment->node, f);
}

ProcessActivationPlan* engine_activationPlan(InterpEnv* env, u32 instanceId) {
  EngineState* state = engineOf(env);
  if (!state->enabled) return nullptr;
  if (state->plans.empty()) state->plans.resize(env->program->infoProg->n_processInstances);
  return instanceId < state->plans.size() ? &state->plans[instanceId] : nullptr;
}

bool engine_isEnabled(InterpEnv* env) { return engineOf(env)->enabled; }

void engine_free(InterpEnv* env) {
  EngineState* state = env->ctx->engine;
  if (state == nullptr) return;
  state->~EngineState();
  memory_free(state);
  env->ctx->engine = nullptr;
}

size_t engine_preparedBytes(const InterpEnv* env) {
  const EngineState* state = env->ctx->engine;
  if (state == nullptr) return 0;
  return state->arena.total() + state->masks.size() * sizeof(DataCell) +
         state->channels.size() * sizeof(ChannelShape) +
         state->arrays.size() * sizeof(ArrayShape) +
         state->entries.size() * (sizeof(Entry) + 2 * sizeof(void*) + sizeof(u64)) +
         state->plans.size() * sizeof(ProcessActivationPlan);
}
