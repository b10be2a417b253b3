// Diagnostics of the compiler: every error and warning about the user's
// program goes through here, as one "[ERROR]" or "[WARNING]" line on standard
// output. An error records its status; with exitOnError it ends the process.
#pragma once
#include <cstddef>

#include "parser_env.h"

// Process-wide switches of the compiler.
extern bool warningsAsErrors;
extern bool verbose;

void parser_failure(ParserEnv* env, int status, const char* fileName, size_t line,
                    const char* thirdDetail, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
// Reports like parser_failure and records the status, but never ends the
// process: for reports whose caller decides the exit code itself.
void parser_recordFailure(ParserEnv* env, int status, const char* fileName, size_t line,
                          const char* thirdDetail, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
void parser_warning(ParserEnv* env, int status, const char* fileName, size_t line,
                    const char* thirdDetail, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
void parser_warningDeprecated(ParserEnv* env, const char* fileName, size_t line,
                              const char* thirdDetail, const char* token,
                              const char* replacement);
void parser_warningAsError();
// Reports a failed constant operation (status 111) at the current file and line.
void parser_operationError(ParserEnv* env, const char* message);

// Prints " <file>:", " Line <n>:", " <detail>:" (each when present), then " ".
void displayDetails(const char* fileName, size_t line, const char* thirdDetail);

// The line reported for a diagnostic: the scanner's line while parsing, else
// the line of the node being checked.
size_t parser_lineno(const ParserEnv* env);
