// The MATLAB MEX interface as VELK's Simulink integration uses it, implemented
// by our own stand-in host so the block and the port discovery function can
// be built and exercised without MATLAB. Only the calls the integration needs
// exist, under the platform's public names, so the same sources build against
// the real SDK.
//
// Where the stand-in follows a real host:
//  - the calls have C linkage, so a MEX file exports "mexFunction" unmangled;
//  - a character array is stored column by column, and mxArrayToString reads
//    it in that storage order (a 2 x 2 matrix ["ab"; "cd"] reads "acbd");
//  - mexErrMsgIdAndTxt ends the calling method with a C++ exception (MexError
//    here), so destructors run on the way out and the host catches it where
//    MATLAB would report the error. A real host may add the function's name to
//    the message it shows ("velk_parameters: Error 1 while loading");
//  - an empty list or an empty text gives a 0 x 0 char matrix.
// Where it cannot: mexPrintf writes to standard output, in order with
// anything else printed there, while a real host sends it to its own console
// and C stdio output bypasses that console. A host may silence mexPrintf
// (mexHost_setPrintEnabled) without silencing anything else.
#pragma once
#define VELK_MEX_STANDIN 1
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

using mwSize = std::size_t;
using mxChar = char;

// A MATLAB array. The stand-in knows character arrays only: rows x cols
// characters stored column by column, as MATLAB stores them.
struct mxArray {
  mwSize rows = 0;
  mwSize cols = 0;
  std::vector<mxChar> chars;  // rows * cols, column-major
};

// The error a MEX function raises; identifier and formatted message.
struct MexError {
  std::string identifier;
  std::string message;
};

extern "C" {

// A NUL-terminated copy of a character array's contents in storage order
// (column by column; a 1 x n vector reads as its text); release it with
// mxFree. Null when the array is null.
char* mxArrayToString(const mxArray* array);
// A char matrix with one row per string, padded with blanks to the longest;
// m == 0 gives a 0 x 0 char matrix. Release it with mxDestroyArray.
mxArray* mxCreateCharMatrixFromStrings(mwSize m, const char** str);
// A 1 x n character vector (0 x 0 for an empty text).
mxArray* mxCreateString(const char* text);
void mxDestroyArray(mxArray* array);
void mxFree(void* pointer);
mwSize mxGetM(const mxArray* array);
mwSize mxGetN(const mxArray* array);
bool mxIsChar(const mxArray* array);

// Throws MexError{identifier, formatted message}; never returns.
[[noreturn]] void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// printf to standard output (unless the host silenced it); returns the count
// of characters written.
int mexPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The MEX entry point of a MEX function (velk_parameters defines one).
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // extern "C"

// ---- Stand-in host only (not part of the platform's interface) ----

// Owning handle for arrays a host creates or receives from mexFunction.
struct MxArrayDeleter {
  void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using MxArrayPtr = std::unique_ptr<mxArray, MxArrayDeleter>;

// Row r of a char matrix as text, trailing blanks kept.
std::string mxHost_getRow(const mxArray* array, mwSize row);
// Turns mexPrintf output on (the default) or off.
void mexHost_setPrintEnabled(bool enabled);
bool mexHost_isPrintEnabled();
