// File lookup along the include path, and path helpers for include-once.
#pragma once
#include <string>

constexpr int kLookupFound = 0;
constexpr int kLookupNotFound = 1;
constexpr int kLookupPathTooLong = 2;

// Looks name up: in the directory of currentFile (when given), then as given,
// then in each ';'-separated directory of includePath in order. Returns
// kLookupFound with *out = the path that opened, kLookupNotFound, or
// kLookupPathTooLong when a candidate path would exceed the file-name limit.
int lookupFilePath(const char* name, const char* currentFile, const std::string& includePath,
                   std::string* out);

// Appends value (itself possibly a ';'-separated list) to the include list.
void path_add_include_path(std::string& list, const char* value);

// Canonical absolute path (./ and ../ resolved, symbolic links followed) of an
// existing file; false if it cannot be resolved.
bool path_canonical(const char* path, std::string* out);

// The package directory of an installed toolchain: the directory of the
// running executable followed by kInstalledPackageDirectory (resolved, so a
// symbolic link to the compiler still finds its own installation). False when
// the executable cannot be located or the directory does not exist, as in a
// build tree.
bool path_installedPackageDirectory(std::string* out);
