#pragma once

#include <cstdint>

#include "analysis/curve_shape.h"
#include "analysis/sample.h"
#include "analysis/target_curve.h"

struct Group;
struct ReportGroup;
struct ToolConfig;
struct StreamedInput;

// What a child is matched to: the spectra of its references (one master,
// several, or a target curve alone) as the run takes them.

// The profile of `audio` as the run takes it: gated when cfg->gate is on,
// and of mid and side for a stereo file when cfg->mid_side is. 0, or the
// profile's status (5).
[[nodiscard]] int reference_profile(Sample& profile, const Sample& audio, const ToolConfig* cfg, unsigned rank);

// The target spectrum with a target curve: `base` (a profile) times the
// curve; or, without a base (no master), the curve alone, at the level that
// leaves the child's broadband level as it is: the correction's level
// (curve_level over shaping's frequency range) is 0 dB, averaged over the
// channels, or per channel with `mid_side` (mid and side keep their own).
// `child` is the child's profile; bins are rate / child.length Hz apart.
// 0 or 5; `out` is replaced only on success.
[[nodiscard]] int curve_target(Sample& out, const Sample* base, const Sample& child, const TargetCurve& curve,
                               const CurveSettings& shaping, bool mid_side, uint64_t rate);

// Several references: masters 2 .. n of `group` are loaded (at `rate`) and
// profiled as the first was; every profile is brought to the references'
// median level (their integrated loudness, or their mean power when a
// loudness cannot be measured) and their per-bin median replaces `profile`
// (on entry the first master's profile; `first` is its audio). With
// loudness, *median_lufs receives the median loudness (-lm matches it).
// `report` (may be null) gets every further reference and the spread of
// the levelled profiles. Returns 0, or the status of loading, profiling or
// measuring (after its line), 13 for a reference whose channels can serve
// neither way ("  number of channels mimatch: ...") or, with mid/side, one
// without two channels ("  mid/side needs two channels: ..."), or 5.
// A reference too long to hold is read a block at a time: `first_in` (may
// be null) is the first master's reading when it is one (`first` then has
// its shape only).
[[nodiscard]] int median_references(const ToolConfig* cfg, const Group* group, uint64_t rate, unsigned rank,
                                    const Sample& first, StreamedInput* first_in, Sample& profile,
                                    double* median_lufs, ReportGroup* report);
