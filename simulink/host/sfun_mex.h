// The engine's MEX calls when the engine itself runs inside a MEX function of
// a real host (velk_run in MATLAB or Octave). The block keeps calling
// mexErrMsgIdAndTxt and mexPrintf by their platform names; simstruc.h maps
// them here, so that:
//  - a block error throws MexError and ends the block method, exactly as in
//    the stand-in; the MEX function catches it, frees what it holds, and only
//    then raises the host's error (sfunMex_raise), so nothing depends on how
//    the host unwinds its own errors;
//  - the block's mexPrintf output can be silenced on its own, as velk_sim -q
//    does, and otherwise reaches the host's console.
#pragma once
#ifdef VELK_MEX_STANDIN
#error "the engine inside a MEX function needs the host's mex.h, not the stand-in's"
#endif
#include <cstdio>
#include <string>

// An error the block raised: identifier and formatted message.
struct MexError {
  std::string identifier;
  std::string message;
};

[[noreturn]] void sfunMex_errMsgIdAndTxt(const char* identifier, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int sfunMex_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Turns the block's mexPrintf output on (the default) or off.
void mexHost_setPrintEnabled(bool enabled);
bool mexHost_isPrintEnabled();

// Raises the host's error with this identifier and message; does not return
// (how it leaves is the host's business: call it with nothing left to free).
[[noreturn]] void sfunMex_raise(const char* identifier, const char* message);
// Prints text on the host's console (mexPrintf), whatever the print switch.
void sfunMex_print(const char* text);

// While one exists, C stdio's standard output (the interpreter's trace lines
// and the program's prints) goes to the host's console through mexPrintf, in
// order with the block's own mexPrintf lines; a real host shows nothing that
// a MEX file writes to C stdout in its console, and evalc cannot capture it.
// Only where the C library lets stdout be replaced (glibc); elsewhere it
// leaves stdout as it is.
class SfunMexConsole {
 public:
  SfunMexConsole();
  ~SfunMexConsole();
  SfunMexConsole(const SfunMexConsole&) = delete;
  SfunMexConsole& operator=(const SfunMexConsole&) = delete;

 private:
  std::FILE* saved_ = nullptr;  // the process's stdout, put back at the end
};

#ifndef VELK_SFUN_MEX_IMPLEMENTATION
#define mexErrMsgIdAndTxt sfunMex_errMsgIdAndTxt
#define mexPrintf sfunMex_printf
#endif
