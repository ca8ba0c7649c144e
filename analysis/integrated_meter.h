#pragma once

#include <cstdint>

#include "runtime/status.h"

// The integrated loudness of planar audio fed a block at a time, as
// libebur128 (1.2.x, EBUR128_MODE_I, default channel map) reports it for
// the same frames: -HUGE_VAL when no 400 ms block passes the gates.
//
// The library filters one channel after another through one recursion per
// sample and sums every 400 ms block again from its ring of filtered
// values, a chain of dependent additions per block. This meter performs the
// same operations in the same order on every value (so the result is the
// library's bit for bit), but runs the channels' recursions side by side
// and sums four blocks at once, each in its own order. Whether it does
// match the library here is checked once per rate and channel count on a
// probe signal that crosses both gates; where it does not (another
// library version, another floating-point unit) the library itself is
// fed.
struct IntegratedMeterState;
struct IntegratedMeter {
  IntegratedMeterState* state = nullptr;
};

// libebur128's weight of channel c of `channels` in its default map (0
// for a channel it leaves out): 1 for left, right and centre, 1.41 for the
// surrounds.
double loudness_channel_weight(uint64_t c, uint64_t channels);

// Returns 0, STATUS_BAD_ARGUMENT for a rate of 0, no channels or more
// than one call of the library takes, STATUS_NO_MEMORY.
[[nodiscard]] Status integrated_meter_start(IntegratedMeter& m, uint64_t rate, uint64_t channels);
// The next `frames` frames of every channel (rows[c][0 .. frames-1]), as
// one call of the library's ebur128_add_frames_float would take them.
[[nodiscard]] Status integrated_meter_add(IntegratedMeter& m, const float* const* rows, uint64_t frames);
// The loudness of all frames so far (-HUGE_VAL when none passes the gates).
[[nodiscard]] Status integrated_meter_result(IntegratedMeter& m, double* lufs);
void integrated_meter_release(IntegratedMeter& m);
// True when the meter's own code runs (not the library); for tests.
bool integrated_meter_own(const IntegratedMeter& m);
// The library's path, as the fallback takes it (for tests and benchmarks).
[[nodiscard]] Status integrated_meter_start_library(IntegratedMeter& m, uint64_t rate, uint64_t channels);
