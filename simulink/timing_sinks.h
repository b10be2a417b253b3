// The outputs that draw a run from the recorder's events, each written to a
// file: a trace in the Chrome trace event format (Perfetto, chrome://tracing),
// a Value Change Dump for waveform viewers, and an SVG Gantt chart. Each
// throws TimingFileError when its file cannot be written.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

#include "timing_recorder.h"

struct TimingFileError {
  std::string message;
};

std::unique_ptr<TimingSink> traceJson_create(const std::string& path);
std::unique_ptr<TimingSink> vcd_create(const std::string& path);
// Draws the activations that overlap [from, to] (to = 0: up to the end).
std::unique_ptr<TimingSink> ganttSvg_create(const std::string& path, u64 from, u64 to);

// "1.000001" for 1000001 ps: microseconds, the picoseconds kept as decimals.
std::string traceJson_microseconds(u64 ps);

// A file an output writes; closing it reports a failed write.
class TimingFile {
 public:
  explicit TimingFile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr) throw TimingFileError{"cannot write '" + path + "'"};
  }
  ~TimingFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  TimingFile(const TimingFile&) = delete;
  TimingFile& operator=(const TimingFile&) = delete;
  std::FILE* get() const { return file_; }
  void close() {
    const bool failed = std::ferror(file_) != 0;
    const bool closeFailed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (failed || closeFailed) throw TimingFileError{"cannot write '" + path_ + "'"};
  }

 private:
  std::string path_;
  std::FILE* file_;
};
