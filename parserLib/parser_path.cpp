#include "parser_path.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// Longest candidate built from the current file's directory, and from an
// include directory; both count the slash and the terminating NUL.
constexpr size_t kMaxDirectoryCandidate = 259;
constexpr size_t kMaxIncludeCandidate = 260;

// Where an installation keeps the system library, relative to the directory
// that holds the compiler: the build passes the layout it installs with.
#ifdef VELK_PACKAGE_DIR_FROM_BINDIR
constexpr const char* kInstalledPackageDirectory = VELK_PACKAGE_DIR_FROM_BINDIR;
#else
constexpr const char* kInstalledPackageDirectory = "../share/velk";
#endif

// A candidate counts when it opens for reading as a regular stream: fopen
// succeeds on a directory on some systems, but reading it would fail later.
bool opensForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  struct stat info;
  const bool isDirectory = fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
  std::fclose(file);
  return !isDirectory;
}

bool found(const std::string& path, std::string* out) {
  if (!opensForReading(path)) return false;
  if (out != nullptr) *out = path;
  return true;
}

// Directory part of a file path, without the final slash. A file named
// without a folder lives in the working directory: "." (never "", which
// would turn the candidate into "/name" at the file system root).
std::string directoryOf(const char* file) {
  const char* slash = std::strrchr(file, '/');
  if (slash == nullptr) return ".";
  return std::string(file, static_cast<size_t>(slash - file));
}

}  // namespace

int lookupFilePath(const char* name, const char* currentFile, const std::string& includePath,
                   std::string* out) {
  if (name == nullptr || name[0] == '\0') return kLookupNotFound;
  const size_t nameLength = std::strlen(name);

  if (currentFile != nullptr && currentFile[0] != '\0') {
    const std::string directory = directoryOf(currentFile);
    if (directory.size() + nameLength + 2 > kMaxDirectoryCandidate) return kLookupPathTooLong;
    if (found(directory + "/" + name, out)) return kLookupFound;
  }

  if (found(name, out)) return kLookupFound;

  size_t start = 0;
  while (start <= includePath.size()) {
    size_t end = includePath.find(';', start);
    if (end == std::string::npos) end = includePath.size();
    const size_t segmentLength = end - start;
    if (segmentLength > 0) {
      if (segmentLength + nameLength + 2 > kMaxIncludeCandidate) return kLookupPathTooLong;
      if (found(includePath.substr(start, segmentLength) + "/" + name, out)) return kLookupFound;
    }
    start = end + 1;
  }
  return kLookupNotFound;
}

void path_add_include_path(std::string& list, const char* value) {
  if (value == nullptr) return;
  if (!list.empty()) list += ';';
  list += value;
}

bool path_canonical(const char* path, std::string* out) {
  if (path == nullptr || path[0] == '\0') return false;
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(path, error);
  if (error) return false;
  if (out != nullptr) *out = resolved.string();
  return true;
}

bool path_installedPackageDirectory(std::string* out) {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) return false;
  const std::filesystem::path candidate =
      executable.parent_path() / kInstalledPackageDirectory;
  const std::filesystem::path resolved = std::filesystem::canonical(candidate, error);
  if (error || !std::filesystem::is_directory(resolved, error)) return false;
  if (out != nullptr) *out = resolved.string();
  return true;
}
