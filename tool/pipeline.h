#pragma once

#include <cstdint>

struct Group;
struct ToolConfig;

// Linear gain of a dB setting: exp(dB x ln 10 x 0.05), the product formed
// in double precision with the single-precision 0.05, rounded to float and
// passed to the float exponential. No clamping here.
float decibels_to_gain(float db);

// Dry and wet gains: 0 at -150 dB and below, at most +150 dB.
float mix_gain(float db);

// The configured FFT rank clamped to 8..16.
unsigned effective_fft_rank(int64_t fft_rank);

// Processes every group in the group map's iteration order. Returns 0, the
// first failing status of a group, 5 when the list of group names cannot be
// built, or 4 when a listed group cannot be found.
[[nodiscard]] int process_groups(ToolConfig* cfg);

// Processes one group: loads and profiles the master, then for every child
// computes and writes the requested outputs (frequency responses, raw and
// trimmed impulse responses, processed audio). A group without master,
// with nothing to produce, without children (unless "frm" is wanted) or
// with a child whose channel count differs ends with 0 and a notice.
[[nodiscard]] int process_group(ToolConfig* cfg, Group* group);
