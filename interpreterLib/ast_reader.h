// Reader of the AST image file: fills a fresh program record from a file the
// compiler wrote, rebuilding the tagged-value tables, and refuses any file that
// is cut short or whose counts and ids do not hold together. Every table it
// allocates belongs to the program record (free_program frees it), also when
// reading stops half-way.
#pragma once
#include <cstddef>
#include <cstdio>

#include "image_format.h"
#include "interp_env.h"
#include "program.h"

// Result of readBinary_AST: 0, or the step that failed. Codes 2 and 4 to 29
// mean the file ends inside that step's section; 30 means a section was read
// whole but its counts or ids contradict the rest of the image.
enum AstReadCode : u32 {
  AST_READ_OK = 0,
  AST_READ_OPEN = 1,
  AST_READ_HEADER = 2,
  AST_READ_MAGIC = 3,
  AST_READ_COUNTS = 4,
  AST_READ_NODES = 5,
  AST_READ_TYPES = 6,
  AST_READ_CONSTANT_DATA = 7,
  AST_READ_STRING_INDEX = 8,
  AST_READ_STRING_TABLE = 9,
  AST_READ_FUNCTIONS = 10,
  AST_READ_PROCESS_DEFINITIONS = 11,
  AST_READ_GLOBAL_INSTANCES = 12,
  AST_READ_INSTANCES = 13,
  AST_READ_GLOBAL_CONSTANTS = 14,
  AST_READ_GLOBAL_VARIABLES = 15,
  AST_READ_GLOBAL_DATA = 16,
  AST_READ_STATIC_VARIABLES = 17,
  AST_READ_STATIC_DATA = 18,
  AST_READ_DEFINITION_SYMBOLS = 19,
  AST_READ_INSTANCE_SYMBOLS = 20,
  AST_READ_GLOBAL_INSTANCE_SYMBOLS = 21,
  AST_READ_SYMBOL_INDEX = 22,
  AST_READ_SYMBOL_NAMES = 23,
  AST_READ_GLOBAL_VARIABLE_SYMBOLS = 24,
  AST_READ_GLOBAL_CONSTANT_SYMBOLS = 25,
  AST_READ_TYPE_SYMBOLS = 26,
  AST_READ_FUNCTION_SYMBOLS = 27,
  AST_READ_STATIC_VARIABLE_SYMBOLS = 28,
  AST_READ_NODE_LINES = 29,
  AST_READ_INCONSISTENT = 30,
};

// Reads the image at path into program (as made by program_create: header,
// infoProg and dbg allocated, no table; dbg must be program->dbg). Returns
// AST_READ_OK or the failing step's code, after reporting "could not read input
// code file !\n" (code 1: the path cannot be opened or is not a regular file,
// whose size bounds every table) or "invalid VELK AST file !\n" through
// interp_failure.
// The tree gets room for n_AST + 1000 nodes (max_ast_size is set to that).
u32 readBinary_AST(InterpEnv* env, program* program, DebugInfo* dbg, const char* path);

// Reads count elements of size bytes; 1 when all were read, else reports
// "invalid VELK AST file !\n" through interp_failure and yields 0.
int freadAndCheck(InterpEnv* env, void* buffer, size_t size, size_t count, FILE* stream);
