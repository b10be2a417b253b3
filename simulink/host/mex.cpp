// The stand-in's MEX calls: character arrays, errors as C++ exceptions, and
// printing to standard output.
#include "mex.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool printEnabled = true;

std::string formatText(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

mxArray* allocateArray() {
  // Ownership passes to the caller through the C interface; mxDestroyArray
  // takes it back.
  return std::make_unique<mxArray>().release();
}

}  // namespace

char* mxArrayToString(const mxArray* array) {
  if (array == nullptr) return nullptr;
  const size_t count = array->rows * array->cols;
  char* text = static_cast<char*>(std::calloc(count + 1, 1));
  if (text == nullptr) return nullptr;
  // Storage order, as the real hosts read it.
  std::copy(array->chars.begin(), array->chars.end(), text);
  return text;
}

mxArray* mxCreateCharMatrixFromStrings(mwSize m, const char** str) {
  mxArray* array = allocateArray();
  size_t width = 0;
  for (mwSize r = 0; r < m; r++) width = std::max(width, std::strlen(str[r]));
  if (m == 0) return array;
  array->rows = m;
  array->cols = width;
  array->chars.assign(m * width, ' ');
  for (mwSize r = 0; r < m; r++) {
    const size_t length = std::strlen(str[r]);
    for (size_t c = 0; c < length; c++) array->chars[c * m + r] = str[r][c];
  }
  return array;
}

mxArray* mxCreateString(const char* text) {
  const char* rows[] = {text == nullptr ? "" : text};
  if (rows[0][0] == '\0') return allocateArray();
  return mxCreateCharMatrixFromStrings(1, rows);
}

void mxDestroyArray(mxArray* array) { std::unique_ptr<mxArray> owned(array); }

void mxFree(void* pointer) { std::free(pointer); }

mwSize mxGetM(const mxArray* array) { return array == nullptr ? 0 : array->rows; }
mwSize mxGetN(const mxArray* array) { return array == nullptr ? 0 : array->cols; }
bool mxIsChar(const mxArray* array) { return array != nullptr; }

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatText(format, args);
  va_end(args);
  throw MexError{identifier == nullptr ? "" : identifier, std::move(message)};
}

int mexPrintf(const char* format, ...) {
  if (!printEnabled) return 0;
  va_list args;
  va_start(args, format);
  const int written = std::vprintf(format, args);
  va_end(args);
  return written;
}

std::string mxHost_getRow(const mxArray* array, mwSize row) {
  std::string text;
  if (array == nullptr || row >= array->rows) return text;
  for (size_t c = 0; c < array->cols; c++) text += array->chars[c * array->rows + row];
  return text;
}

void mexHost_setPrintEnabled(bool enabled) { printEnabled = enabled; }
bool mexHost_isPrintEnabled() { return printEnabled; }
