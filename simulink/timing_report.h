// The timing report of one run or of several merged runs: a readable text,
// JSON for scripts (also what --merge-reports reads back) or CSV, one row per
// instance. Merging keeps the worst response time, adds counts and
// histograms, and counts the runs that missed a deadline.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "timing_recorder.h"

enum class ReportFormat { kText, kJson, kCsv };

void timingReport_write(std::FILE* out, const TimingSummary& summary, const std::string& image,
                        ReportFormat format);

// Adds `run` to `total` (instances matched by name, new ones appended).
void timingReport_merge(TimingSummary* total, const TimingSummary& run);

// Reads a JSON report written by timingReport_write; false with a reason in
// *error when the text is not one.
bool timingReport_parseJson(const std::string& text, TimingSummary* summary, std::string* image,
                            std::string* error);

// "1.5 ms", "250 us", "2 s", "0 s": the largest unit that keeps the value at
// least 1, with as many decimals as the exact value needs.
std::string timingReport_duration(u64 ps);
