#pragma once

#include <cstdint>

#include "analysis/profile.h"
#include "analysis/sample.h"

// The spectral profile of audio fed block by block, in memory that does not
// grow with the audio's length (beyond 8 bytes per N/2 frames for the gate's
// energies). The result is bit for bit that of compute_profile, or of
// compute_profile_gated for a gate, over the whole audio.
//
// Use: init; start; push blocks; end_pass; when needs_second_pass, push the
// same audio again from its start and end_pass again; finish; release.
// Calls out of this order give STATUS_INVALID. After a failed push or
// end_pass (memory for the energies, a second pass of another length) the
// stream only serves to be released.
struct ProfileStream {
  uint64_t channels;
  unsigned rank;
  bool gated;
  double gate_db;
  int pass;            // 1 or 2 while feeding; 3 after the last pass ended
  uint64_t half;       // halves completed in this pass
  uint64_t fill;       // frames of the current half
  uint64_t count;      // frames added to the sums
  bool pending;        // a chosen frame waits for its partner
  float peak;          // largest magnitude of the first pass
  double* energy;      // energies of the halves (gated only), `capacity` of them
  uint64_t capacity;
  uint64_t halves;     // halves of the first pass (gated only)
  uint64_t last_fill;  // frames of its last half
  ProfileGate gate;
  void* block;         // one block for the work and the halves
  ProfileWork work;
  float* previous;     // channels x N/2: the half before the current one
  float* current;      // channels x N/2: the half being filled
  float* waiting;      // channels x N: the halves of the pending frame
  float* zeros;        // N/2 zeros
  Sample result;       // the sums, then the profile
};

void profile_stream_init(ProfileStream& p);

// gate_db: NaN or <= 0 for the plain profile (compute_profile), > 0 for the
// gated one (compute_profile_gated; an infinite gate is refused with
// STATUS_BAD_ARGUMENT). STATUS_BAD_ARGUMENT for no channels or a rank
// outside 1 .. 24; STATUS_NO_MEMORY. Any earlier state is released first.
[[nodiscard]] Status profile_stream_start(ProfileStream& p, uint64_t channels, unsigned rank, double gate_db);

// Whether the analysis needs the audio a second time (the gated one: first
// pass energies, second pass spectra).
bool profile_stream_needs_second_pass(const ProfileStream& p);

// Feeds a block (any length, block.channels planar rows of block.length
// frames). STATUS_BAD_ARGUMENT for another channel count; STATUS_INVALID
// outside a pass or when the second pass runs longer than the first;
// STATUS_NO_MEMORY when the energies cannot grow.
[[nodiscard]] Status profile_stream_push(ProfileStream& p, const Sample& block);

// Ends a pass. After the first pass of a gated profile, the caller feeds the
// same audio again from the start; a second pass of another length gives
// STATUS_INVALID.
[[nodiscard]] Status profile_stream_end_pass(ProfileStream& p);

// After the last pass: the profile, replaced only on success.
[[nodiscard]] Status profile_stream_finish(ProfileStream& p, Sample& profile);

// Frees everything; idempotent.
void profile_stream_release(ProfileStream& p);

// The peak magnitude of the first pass (0 before any sample).
float profile_stream_peak(const ProfileStream& p);
