// Writer of the AST image file: dumps the compiler's program image (env->program)
// in the fixed section order the interpreter's reader expects, with the value
// pointers of constants turned into cell indexes. Nothing it writes is owned.
#pragma once
#include <cstddef>
#include <cstdio>

#include "parser_env.h"

// Writes env->program to path. Returns 0, or an errno value when the file
// cannot be created ("can not create output code file! %s\n", status 98), a
// write came up short ("error while writing progam's binary file\n", status 96)
// or closing failed. Reports are recorded in env->pctx but never end the
// process: the caller decides the exit code.
int write_storeProgramBinary(ParserEnv* env, const char* path);

// Stores the compiled image at path; the result of write_storeProgramBinary.
int parser_storeProgram(ParserEnv* env, const char* path);

// Writes count elements of size bytes; a short write is reported (once per
// file: later writes to a stream already in error are not reported again) and
// writing goes on.
void fwriteAndCheck(ParserEnv* env, const void* buffer, size_t size, size_t count, FILE* stream);
