#pragma once

// A synthetic run report for the writer tests: two groups, a processed
// child with smooth curves, a child with an awkward name that failed, and a
// group whose master failed. The curves are known functions of frequency so
// tests can check what the documents hold against them.

#include <cmath>
#include <string>

#include "report/run_report.h"

namespace sample {

constexpr double kRate = 48000;
constexpr uint64_t kBins = 2049;  // FFT of 4096
constexpr double kBinHz = kRate / 4096;
// A name with every character that needs escaping somewhere.
inline const char* kOddName = "in/tom \"take\" <2> & \xC3\xA9t\xC3\xA9's.wav";
inline const char* kOddMessage = "bad format <x> & \"y\"\x01 \xFF";

// Applied correction of channel `ch` at `hz`: +-6 dB waves in log frequency.
inline double applied_db(uint64_t ch, double hz) {
  return 6.0 * std::sin(std::log2(hz / 20.0) * M_PI / 3.0 + static_cast<double>(ch));
}
inline double computed_db(uint64_t ch, double hz) { return 1.5 * applied_db(ch, hz); }
// Master: pink-like slope; child: the master shaped by the correction.
inline double master_db(double hz) { return -20.0 - 3.0 * std::log2(hz / 100.0 + 1.0); }

// Fills `r` (initialised by the caller). Every call's status is checked by
// the caller through the return value: 0 when all succeeded.
int fill(RunReport* r);

}  // namespace sample
