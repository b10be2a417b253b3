#include "print.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "buffers.h"
#include "builtins.h"
#include "expression.h"
#include "interp_stack.h"
#include "interp_system.h"
#include "scheduler.h"
#include "velk_typing.h"

namespace {

// ---------------------------------------------------------------------------
// Values.

// The value retyped as its primitive type, so that the conversions of the
// typing module apply to user types declared over a primitive.
TaggedValue asPrimitive(InterpEnv* env, TaggedValue value) {
  const u32 kind = builtin_primitiveKind(env, value.typeId);
  if (kind != NO_ID) value.typeId = kind;
  return value;
}

// Types the float and boolean conversions accept (Float has no width).
bool isNumber(u32 typeId) { return typeId < TypePrimitive && typeId != TypeFP; }

void emitText(PrintSink& sink, const char* text) {
  for (; *text != '\0'; ++text) print_emit(sink, *text);
}

template <class... Args>
void emitFormatted(PrintSink& sink, const char* format, Args... args) {
  // Wide enough for any 64-bit integer and for "%f" of the largest double.
  char buffer[400];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n > 0) emitText(sink, buffer);
}

// ---------------------------------------------------------------------------
// Character texts: a label string of the image, or a character buffer read
// element by element (arrays up to their capacity, channels in pop order up
// to their count). A text ends at its first zero character.

struct CharText {
  const char* label = nullptr;
  u64 labelLength = 0;
  TaggedValue buffer{nullptr, NO_ID, NO_ID};
  u32 bufferKind = NONE_BUFFER;
};

const char* labelAt(InterpEnv* env, u32 stringId, u64* length) {
  const program* p = env->program;
  INTERP_ASSERT_TEXT(env, stringId < p->infoProg->n_string,
                     "stringId < env->program->infoProg->n_string");
  const u32 offset = p->stringTableIndex[stringId];
  const u32 storage = p->infoProg->stringStorageSize;
  INTERP_ASSERT_TEXT(env, offset < storage, "offset < env->program->infoProg->stringStorageSize");
  const char* text = p->stringTable + offset;
  // The terminating zero may be missing from a damaged table: stop at its end.
  *length = strnlen(text, storage - offset);
  return text;
}

CharText textOfValue(InterpEnv* env, TaggedValue value) {
  CharText text;
  const program* p = env->program;
  if (value.value == nullptr || value.typeId >= p->infoProg->n_type) return text;
  text.buffer = value;
  text.bufferKind = p->typeTable[value.typeId].bufferType;
  return text;
}

// Evaluates a text argument; a label string is read in place.
CharText textOfNode(InterpEnv* env, AST* node) {
  if (node != nullptr && node->op == LABEL_STRING_OP) {
    CharText text;
    text.label = labelAt(env, node->value.id.string, &text.labelLength);
    return text;
  }
  return textOfValue(env, expr_execute(env, node));
}

// Character i of the text, 0 past its end.
u8 charAt(InterpEnv* env, const CharText& text, u64 i) {
  if (text.label != nullptr) return i < text.labelLength ? static_cast<u8>(text.label[i]) : 0;
  u64 count = 0;
  if (text.bufferKind == ARRAY_BUFFER) {
    const u32 capacity = buffer_getCapacity(env, text.buffer);
    count = capacity == NO_ID ? 0 : capacity;
  } else if (buffer_isChannelType(env, text.buffer.typeId)) {
    count = channel_getCount(env, text.buffer);
  }
  if (i >= count) return 0;
  return static_cast<u8>(*buffer_getIndexValue(env, text.buffer, static_cast<u32>(i)).value);
}

// ---------------------------------------------------------------------------
// Format text.

char escapeOf(u8 c) {
  switch (c) {
    case '"':
      return '"';
    case '\'':
      return '\'';
    case '0':
      return '\0';
    case '\\':
      return '\\';
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    default:
      return ' ';
  }
}

// The printer of a conversion character, or null for a character that is not
// a conversion (it prints nothing and takes no argument).
using ValuePrinter = void (*)(PrintSink& sink, TaggedValue value);

ValuePrinter printerOf(u8 conversion) {
  switch (conversion) {
    case 'b':
      return print_bool;
    case 'c':
      return print_cint;
    case 'd':
    case 'i':
      return print_sint;
    case 'u':
      return print_uint;
    case 'x':
      return print_xint;
    case 'f':
      return print_FP;
    case 't':
      return print_duration;
    case 's':
      return print_chars;
    default:
      return nullptr;
  }
}

// The next argument, evaluated and printed; its temporaries go with it.
void printNextArgument(PrintSink& sink, ast_iterator* it, ValuePrinter printer) {
  InterpEnv* env = sink.env;
  if (!ast_it_notEnd(it)) return;
  AST* argument = ast_it_current(it);
  ast_it_next(it);
  const u32 mark = interpStack_mark(env);
  if (printer == print_chars) {
    const CharText text = textOfNode(env, argument);
    for (u64 i = 0;; ++i) {
      const u8 c = charAt(env, text, i);
      if (c == 0) break;
      print_emit(sink, static_cast<char>(c));
    }
  } else {
    printer(sink, expr_execute(env, argument));
  }
  interpStack_release(env, mark);
}

// Evaluates what is left of an argument list, for its side effects. Label
// strings have none.
void evaluateRest(InterpEnv* env, ast_iterator* it) {
  for (; ast_it_notEnd(it); ast_it_next(it)) {
    AST* argument = ast_it_current(it);
    if (argument == nullptr || argument->op == LABEL_STRING_OP) continue;
    const u32 mark = interpStack_mark(env);
    expr_execute(env, argument);
    interpStack_release(env, mark);
  }
}

// Formats an argument list (format first, then the values) into the sink.
void formatInto(PrintSink& sink, AST* arguments) {
  InterpEnv* env = sink.env;
  if (arguments == nullptr) return;
  INTERP_ASSERT_TEXT(env, arguments->op == LIST, "astp->op == LIST");
  ast_iterator it = ast_it_create(env->program, arguments);
  const u32 mark = interpStack_mark(env);
  const CharText format = textOfNode(env, ast_it_current(&it));
  ast_it_next(&it);
  for (u64 i = 0;;) {
    const u8 c = charAt(env, format, i++);
    if (c == 0) break;
    if (c == '\\' || c == '%') {
      const u8 next = charAt(env, format, i++);
      // A backslash or percent sign that ends the text prints nothing.
      if (next == 0) break;
      if (c == '\\') {
        print_emit(sink, escapeOf(next));
      } else if (next == '%') {
        print_emit(sink, '%');
      } else if (ValuePrinter printer = printerOf(next)) {
        printNextArgument(sink, &it, printer);
      }
      continue;
    }
    print_emit(sink, static_cast<char>(c));
  }
  evaluateRest(env, &it);
  interpStack_release(env, mark);
}

// ---------------------------------------------------------------------------
// Sinks.

void emitToCallback(PrintSink& sink, char character) { print_char(sink.env, character); }

void emitToFile(PrintSink& sink, char character) {
  std::fputc(static_cast<unsigned char>(character), static_cast<std::FILE*>(sink.context));
}

// uint8.print formats into bytes of scratch cells on the value stack (so
// that arguments reading the target see it unchanged); only the first
// `room` characters are kept, all are counted.
struct ScratchText {
  char* bytes;
  u64 room;
  u64 length;
};

void emitToScratch(PrintSink& sink, char character) {
  ScratchText* text = static_cast<ScratchText*>(sink.context);
  if (text->length < text->room) text->bytes[text->length] = character;
  ++text->length;
}

// Reserves room for n characters, eight to a cell, contiguous on the stack.
char* reserveScratch(InterpEnv* env, u64 n) {
  const u64 cells = n / CELL_SIZE + 1;
  DataCell* first = interpStack_pushUInt64(env, 0).value;
  for (u64 k = 1; k < cells; ++k) {
    const DataCell* cell = interpStack_pushUInt64(env, 0).value;
    INTERP_ASSERT_TEXT(env, cell == first + k, "value stack cells are contiguous");
  }
  return reinterpret_cast<char*>(first);
}

// ---------------------------------------------------------------------------
// display_value.

void displayElements(PrintSink& sink, TaggedValue buffer, u32 count, u32 depth);
void displayAt(PrintSink& sink, TaggedValue value, u32 depth);

// Nesting of structures and buffers is bounded by the type table; the limit
// only stops a damaged table from recursing without end.
constexpr u32 kDisplayDepthLimit = 64;

void displayBuffer(PrintSink& sink, TaggedValue value, const TypeDefinition& t, u32 depth) {
  InterpEnv* env = sink.env;
  u32 count = 0;
  if (t.bufferType == ARRAY_BUFFER) {
    count = t.size == NO_ID ? 0 : t.size;
  } else if (t.bufferType == QUEUE_BUFFER || t.bufferType == STACK_BUFFER) {
    count = channel_getCount(env, value);
  }
  print_emit(sink, '{');
  displayElements(sink, value, count, depth);
  print_emit(sink, '}');
}

// buffer_getIndexValue gives the order wanted: index order for arrays, the
// oldest first for queues, the top first for stacks.
void displayElements(PrintSink& sink, TaggedValue buffer, u32 count, u32 depth) {
  for (u32 i = 0; i < count; ++i) {
    if (i > 0) print_emit(sink, ',');
    displayAt(sink, buffer_getIndexValue(sink.env, buffer, i), depth + 1);
  }
}

void displayStructure(PrintSink& sink, TaggedValue value, const TypeDefinition& t, u32 depth) {
  InterpEnv* env = sink.env;
  const program* p = env->program;
  print_emit(sink, '{');
  u64 offset = 0;
  bool first = true;
  for (u32 id = t.fields; id != NO_ID;) {
    INTERP_ASSERT_TEXT(env, id < p->infoProg->n_AST, "id < env->program->infoProg->n_AST");
    const AST* cell = &p->RAMprogram[id];
    INTERP_ASSERT_TEXT(env, cell->op == LIST, "astp->op == LIST");
    const AST* field = AST_left(p, cell);
    INTERP_ASSERT_TEXT(env, field != nullptr && field->value.id.type < p->infoProg->n_type,
                       "field type < env->program->infoProg->n_type");
    const u32 fieldType = field->value.id.type;
    INTERP_ASSERT_TEXT(env, offset + p->typeTable[fieldType].storageSize <= t.storageSize,
                       "field offset + storage <= storageSize");
    if (!first) print_emit(sink, ',');
    first = false;
    displayAt(sink, TaggedValue{value.value + offset, fieldType, value.globalId}, depth + 1);
    offset += p->typeTable[fieldType].storageSize;
    id = cell->right;
  }
  print_emit(sink, '}');
}

void displayEnumerator(PrintSink& sink, TaggedValue value) {
  const DataCell symbol = *value.value;
  if (symbol == 0) {
    emitText(sink, "NULL");
    return;
  }
  const char* name =
      symbol < NO_ID ? interp_symbolName(sink.env->program, static_cast<u32>(symbol)) : nullptr;
  if (name != nullptr) emitText(sink, name);
}

void displayPrimitive(PrintSink& sink, TaggedValue value) {
  const DataCell cell = *value.value;
  switch (value.typeId) {
    case TypeInt:
    case TypeUInt64:
      emitFormatted(sink, "%" PRIu64, u64{cell});
      break;
    case TypeSInt:
    case TypeSInt64:
      emitFormatted(sink, "%" PRId64, static_cast<s64>(cell));
      break;
    case TypeUInt8:
    case TypeUInt16:
    case TypeUInt32:
      emitFormatted(sink, "%u", static_cast<unsigned>(cell & integerTypeMask(value.typeId)));
      break;
    case TypeSInt8:
    case TypeSInt16:
    case TypeSInt32:
      emitFormatted(sink, "%i", static_cast<int>(primTypeToSInt32(value, nullptr)));
      break;
    case TypeTime:
      print_time_helper(sink, cell);
      break;
    case TypeBoolean:
      emitText(sink, (cell & 0xFF) == 1 ? "true" : "false");
      break;
    case TypeF32:
    case TypeF64:
      emitFormatted(sink, "%f", TaggedValue_asF64(value, CONV_PRIMTYPE));
      break;
    default:
      break;
  }
}

void displayAt(PrintSink& sink, TaggedValue value, u32 depth) {
  InterpEnv* env = sink.env;
  const program* p = env->program;
  INTERP_ASSERT_TEXT(env, depth < kDisplayDepthLimit, "display nesting within the type table");
  if (value.value == nullptr || value.typeId >= p->infoProg->n_type) return;
  const TypeDefinition& t = p->typeTable[value.typeId];
  if (t.bufferType != NONE_BUFFER) {
    displayBuffer(sink, value, t, depth);
  } else if (builtin_primitiveKind(env, value.typeId) != NO_ID) {
    displayPrimitive(sink, asPrimitive(env, value));
  } else if (t.baseType == TypeEnum) {
    displayEnumerator(sink, value);
  } else if (t.baseType == TypeStructure) {
    displayStructure(sink, value, t, depth);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Output.

PrintSink print_callbackSink(InterpEnv* env) { return PrintSink{env, emitToCallback, nullptr}; }

void print_char(InterpEnv* env, int character) {
  INTERP_ASSERT_TEXT(env, env->ctx->print_callback != NULL, "env->ctx->print_callback != NULL");
  env->ctx->print_callback(env, static_cast<unsigned char>(character));
}

void print_string(InterpEnv* env, const char* text) {
  for (; *text != '\0'; ++text) print_char(env, *text);
}

// ---------------------------------------------------------------------------
// print, println, uint8.print.

void print_format(InterpEnv* env, AST* arguments) {
  if (!env->ctx->print_enabled) {
    // Nobody listens: only the side effects of the arguments remain.
    if (arguments == nullptr) return;
    INTERP_ASSERT_TEXT(env, arguments->op == LIST, "astp->op == LIST");
    ast_iterator it = ast_it_create(env->program, arguments);
    evaluateRest(env, &it);
    return;
  }
  PrintSink sink = print_callbackSink(env);
  formatInto(sink, arguments);
}

void print_formatLine(InterpEnv* env, AST* arguments) {
  print_format(env, arguments);
  if (env->ctx->print_enabled) print_char(env, '\n');
}

void string_print_format(InterpEnv* env, AST* arguments) {
  INTERP_ASSERT_TEXT(env, arguments != nullptr && arguments->op == LIST,
                     "AST_getCallArgs(p, call) != NULL");
  const program* p = env->program;
  const u32 mark = interpStack_mark(env);
  const TaggedValue target = expr_execute(env, AST_getListFirst(p, arguments));
  INTERP_ASSERT_TEXT(env, target.value != nullptr && target.typeId < p->infoProg->n_type,
                     "target.typeId < env->program->infoProg->n_type");
  const TypeDefinition& t = p->typeTable[target.typeId];
  INTERP_ASSERT_TEXT(env, t.bufferType == ARRAY_BUFFER && t.size != NO_ID,
                     "ARRAY_BUFFER == target.bufferType");
  const u32 capacity = t.size;

  ScratchText text{reserveScratch(env, capacity), capacity, 0};
  PrintSink sink{env, emitToScratch, &text};
  formatInto(sink, AST_getListNext(p, arguments));

  const u64 written = text.length < capacity ? text.length : capacity;
  for (u64 i = 0; i < written; ++i) {
    *buffer_getIndexValue(env, target, static_cast<u32>(i)).value = static_cast<u8>(text.bytes[i]);
  }
  if (text.length < capacity)
    *buffer_getIndexValue(env, target, static_cast<u32>(text.length)).value = 0;
  interpStack_release(env, mark);
  if (text.length > capacity)
    interp_failure(env, "String copy exceeds target_buffer buffer size !\n");
}

// ---------------------------------------------------------------------------
// Durations.

void print_time(InterpEnv* env, TaggedValue value) {
  PrintSink sink = print_callbackSink(env);
  print_duration(sink, value);
}

u64 print_time_reminder(PrintSink& sink, u64 value, u64 unit, const char* unitName) {
  const u64 count = value / unit;
  if (count != 0) {
    char part[60];
    std::snprintf(part, sizeof part, "%llu%s", static_cast<unsigned long long>(count), unitName);
    emitText(sink, part);
  }
  return value % unit;
}

void print_time_helper(PrintSink& sink, u64 ps) {
  if (ps == 0) {
    emitText(sink, "0");
    return;
  }
  if (ps == integerTypeLast(TypeTime)) {
    emitText(sink, "time64.LAST");
    return;
  }
  // Whole seconds split into d, h, mn, s; the rest into ms, us, ns, ps.
  u64 seconds = time_ps_to_s(ps);
  u64 rest = time_cut_sub_second(ps);
  seconds = print_time_reminder(sink, seconds, 86400, "d");
  seconds = print_time_reminder(sink, seconds, 3600, "h");
  seconds = print_time_reminder(sink, seconds, 60, "mn");
  print_time_reminder(sink, seconds, 1, "s");
  rest = print_time_reminder(sink, rest, time_ms_to_ps(1), "ms");
  rest = print_time_reminder(sink, rest, time_us_to_ps(1), "us");
  rest = print_time_reminder(sink, rest, time_ns_to_ps(1), "ns");
  print_time_reminder(sink, rest, 1, "ps");
}

// ---------------------------------------------------------------------------
// One value per conversion. A value that is not a number (an enumeration)
// is taken as its first cell, as an unsigned integer.

void print_uint(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  emitFormatted(sink, "%" PRIu64, primTypeToUInt64(asPrimitive(sink.env, value), nullptr));
}

void print_sint(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  emitFormatted(sink, "%" PRId64, primTypeToSInt64(asPrimitive(sink.env, value), nullptr));
}

void print_xint(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  emitFormatted(sink, "%" PRIx64, primTypeToUInt64(asPrimitive(sink.env, value), nullptr));
}

void print_cint(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  print_emit(sink, static_cast<char>(primTypeToSInt64(asPrimitive(sink.env, value), nullptr)));
}

void print_bool(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  const TaggedValue v = asPrimitive(sink.env, value);
  const bool b = isNumber(v.typeId) ? TaggedValue_asBoolean(v, CONV_PRIMTYPE) : *v.value != 0;
  emitText(sink, b ? "true" : "false");
}

void print_FP(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  const TaggedValue v = asPrimitive(sink.env, value);
  const double d =
      isNumber(v.typeId) ? TaggedValue_asF64(v, CONV_PRIMTYPE) : static_cast<double>(*v.value);
  emitFormatted(sink, "%f", d);
}

void print_duration(PrintSink& sink, TaggedValue value) {
  if (value.value == nullptr) return;
  print_time_helper(sink, primTypeToUInt64(asPrimitive(sink.env, value), nullptr));
}

void print_chars(PrintSink& sink, TaggedValue buffer) {
  const CharText text = textOfValue(sink.env, buffer);
  for (u64 i = 0;; ++i) {
    const u8 c = charAt(sink.env, text, i);
    if (c == 0) break;
    print_emit(sink, static_cast<char>(c));
  }
}

// ---------------------------------------------------------------------------
// display_value.

void display_valueTo(PrintSink& sink, TaggedValue value) { displayAt(sink, value, 0); }

void display_value(InterpEnv* env, TaggedValue value) {
  // Hosts call this from their callbacks, possibly outside any run: a damaged
  // value must not let an abort escape.
  interp_guard(env, 0, [&] {
    PrintSink sink{env, emitToFile, stdout};
    display_valueTo(sink, value);
    return 0;
  });
}
