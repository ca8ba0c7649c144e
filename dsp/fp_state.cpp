// Floating-point handlers of the chaining levels. Each level's start first
// runs the start it replaced and then pushes its own saved word; each
// level's finish pops its word first and then runs the finish it replaced,
// so the changes nest last-in, first-out. The replaced handlers are those
// recorded in the process-wide table.
#include <xmmintrin.h>

#include "dsp/variants.h"

namespace {

constexpr uint32_t kStackSlots = 15;

void push_word(DspFpState* state, uint32_t word) {
  if (state->depth < kStackSlots) state->slots[state->depth] = word;
  ++state->depth;
}

uint32_t pop_word(DspFpState* state) {
  if (state->depth == 0) return 0;
  --state->depth;
  return state->depth < kStackSlots ? state->slots[state->depth] : 0;
}

uint16_t read_x87_control() {
  uint16_t cw = 0;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

void load_x87_control(uint16_t cw) { __asm__ volatile("fldcw %0" : : "m"(cw)); }

// FTZ, DAZ and the six exception masks; rounding control is left alone.
constexpr uint32_t kMxcsrProcessing = 0x9FC0;

}  // namespace

void dsp_start_generic(DspFpState* state) { state->depth = 0; }

void dsp_finish_generic(DspFpState*) {}

void dsp_start_x86(DspFpState* state) {
  dsp().x86_saved_start(state);
  uint16_t cw = read_x87_control();
  push_word(state, cw);
  load_x87_control(cw);
}

void dsp_finish_x86(DspFpState* state) {
  if (state->depth > 0) load_x87_control(static_cast<uint16_t>(pop_word(state)));
  dsp().x86_saved_finish(state);
}

void dsp_start_sse2(DspFpState* state) {
  const DspTable& t = dsp();
  t.sse2_saved_start(state);
  uint32_t old = _mm_getcsr();
  push_word(state, old);
  _mm_setcsr((old | kMxcsrProcessing) & t.mxcsr_mask);
}

void dsp_finish_sse2(DspFpState* state) {
  const DspTable& t = dsp();
  if (state->depth > 0) _mm_setcsr(pop_word(state) & t.mxcsr_mask);
  t.sse2_saved_finish(state);
}
