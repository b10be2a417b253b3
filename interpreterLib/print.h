// The print formatter: print / println through the host's print_callback,
// uint8.print into a character array, and display_value for whole values.
//
// Format text: a backslash escape gives one character ("\n", "\t", ...; an
// unknown one a blank); "%" followed by a conversion character prints the
// next argument (b, c, d, i, u, x, f, t, s) or a percent sign (%%). Arguments
// are evaluated one by one as their conversion is reached; those no
// conversion reaches are evaluated afterwards, for their side effects.
#pragma once
#include "interp_api.h"

// Where formatted characters go. emit receives one character at a time.
struct PrintSink {
  InterpEnv* env;
  void (*emit)(PrintSink& sink, char character);
  void* context;  // the emitter's own state
};

inline void print_emit(PrintSink& sink, char character) { sink.emit(sink, character); }
// A sink that passes every character to print_char.
PrintSink print_callbackSink(InterpEnv* env);

// One character to print_callback; a text up to its terminating zero.
void print_char(InterpEnv* env, int character);
void print_string(InterpEnv* env, const char* text);

// Call codes 30/31: the argument list is the format then the values. When the
// host has installed no print callback (print_enabled false) the arguments
// are only evaluated. A null list prints nothing.
void print_format(InterpEnv* env, AST* arguments);
// Codes 32 to 34: print_format, then a line feed.
void print_formatLine(InterpEnv* env, AST* arguments);
// Code 35: the list is the target character array, the format, the values.
// The text goes into the target, followed by a zero when room is left; text
// longer than the target is cut at its capacity and reported ("String copy
// exceeds target_buffer buffer size !\n"). Nothing outside the target is
// written, and arguments that read the target see it as it was before.
void string_print_format(InterpEnv* env, AST* arguments);

// Durations: "0", "time64.LAST", or each non-zero unit from days down to
// picoseconds as its count and name ("1mn30s").
void print_time(InterpEnv* env, TaggedValue value);
void print_time_helper(PrintSink& sink, u64 ps);
// Prints value / unit with the unit's name when it is not 0; returns the
// remainder.
u64 print_time_reminder(PrintSink& sink, u64 value, u64 unit, const char* unitName);

// One value each, by conversion: %u, %d/%i, %b, %f, %x, %c, %t, %s. A value
// with no storage (a statement's) prints nothing.
void print_uint(PrintSink& sink, TaggedValue value);
void print_sint(PrintSink& sink, TaggedValue value);
void print_bool(PrintSink& sink, TaggedValue value);
void print_FP(PrintSink& sink, TaggedValue value);
void print_xint(PrintSink& sink, TaggedValue value);
void print_cint(PrintSink& sink, TaggedValue value);
void print_duration(PrintSink& sink, TaggedValue value);
// The characters of a character buffer up to its count or first zero.
void print_chars(PrintSink& sink, TaggedValue buffer);

// display_value (interp_api.h) writes a whole value on standard output; this
// writes it into any sink.
void display_valueTo(PrintSink& sink, TaggedValue value);
