// Bodies of the fuzz targets. Each takes one input and returns normally for
// any input, however malformed; a fault shows as a sanitizer report, an
// abort or a hang. The libFuzzer entry points (fuzz_main.cpp) and the replay
// driver used by CTest (replay_main.cpp) both call these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Source text compiled as the user's file after the system library.
int velkFuzz_compile(const uint8_t* data, size_t size);
// Bytes read as an image file, then (when accepted) initialised and run.
int velkFuzz_image(const uint8_t* data, size_t size);
// Source text compiled, written, read back and run for a bounded time.
int velkFuzz_interp(const uint8_t* data, size_t size);
// velk_sim's command line (one argument per line) and, after a line "%%",
// an inputs CSV file.
int velkFuzz_sim(const uint8_t* data, size_t size);
// A random task set steered by the bytes, run by the indexed scheduler and by
// the walking reference: their outputs must be the same.
int velkFuzz_sched(const uint8_t* data, size_t size);

using VelkFuzzBody = int (*)(const uint8_t*, size_t);
// The body of a target by name ("compile", "tokens", "image", "interp", "sim", "sched"),
// or nullptr. "tokens" runs the compile body: it differs only in its mutator.
VelkFuzzBody velkFuzz_find(const std::string& name);

// Shared by the bodies.
namespace velkfuzz {

// Installs the handlers that turn an internal assertion into an abort
// (a finding) and silences program output; idempotent.
void setUp();
// A scratch file path private to this process, by role ("image", "csv").
std::string scratchPath(const char* role);
// Writes bytes to path; false when it cannot.
bool writeFile(const std::string& path, const uint8_t* data, size_t size);
// Compiles source after the system library with exitOnError off. When
// imagePath is given and the program is accepted, computes the initial values
// and writes the image there. Returns true when the program was accepted (and
// written, if asked).
bool compileSource(const std::string& source, const char* imagePath);

// Evaluation steps and activations a run may take before the harness stops
// it: programs that loop for ever are not faults.
constexpr uint64_t kStepLimit = 200000;
constexpr int kMaxActivations = 200;

}  // namespace velkfuzz
