#include <gtest/gtest.h>

#include <xmmintrin.h>

#include "dsp/levels.h"
#include "dsp/variants.h"

namespace {

uint16_t x87_control() {
  uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

void set_x87_control(uint16_t cw) { __asm__ volatile("fldcw %0" : : "m"(cw)); }

}  // namespace

TEST(DspFpState, StartSetsProcessingModeAndFinishRestores) {
  const DspTable& t = dsp();
  uint32_t old_csr = _mm_getcsr();
  uint16_t old_cw = x87_control();
  // A recognisable previous state: round toward zero, exceptions unmasked
  // except precision, 53-bit x87 precision.
  uint32_t before = (old_csr & ~0xFFC0u) | 0x6000u | 0x1000u;
  _mm_setcsr(before);
  set_x87_control(0x027F);

  DspFpState state{};
  t.dsp_start(&state);
  uint32_t during = _mm_getcsr();
  EXPECT_EQ(state.depth, 2u);
  EXPECT_EQ(state.slots[0], 0x027Fu);
  EXPECT_EQ(state.slots[1], before);
  EXPECT_EQ(during & 0x8000u, 0x8000u);                  // flush to zero
  EXPECT_EQ(during & 0x1F80u, 0x1F80u);                  // all exceptions masked
  EXPECT_EQ(during & 0x0040u, t.mxcsr_mask & 0x0040u);   // DAZ where the mask has it
  EXPECT_EQ(during & 0x6000u, 0x6000u);                  // rounding unchanged
  EXPECT_EQ(x87_control(), 0x027F);

  // Denormals flush while the mode holds.
  volatile float tiny = 1e-30f;
  volatile float r = tiny * 1e-10f;
  EXPECT_EQ(r, 0.0f);

  set_x87_control(0x037F);  // changed during processing, restored by finish
  t.dsp_finish(&state);
  EXPECT_EQ(state.depth, 0u);
  EXPECT_EQ(_mm_getcsr(), before);
  EXPECT_EQ(x87_control(), 0x027F);

  _mm_setcsr(old_csr);
  set_x87_control(old_cw);
}

TEST(DspFpState, NestedStartsUnwindLastInFirstOut) {
  const DspTable& t = dsp();
  uint32_t old_csr = _mm_getcsr();
  DspFpState outer{}, inner{};
  t.dsp_start(&outer);
  uint32_t mode = _mm_getcsr();
  t.dsp_start(&inner);
  EXPECT_EQ(inner.slots[1], mode);
  t.dsp_finish(&inner);
  EXPECT_EQ(_mm_getcsr(), mode);
  t.dsp_finish(&outer);
  EXPECT_EQ(_mm_getcsr(), old_csr);
}

TEST(DspFpState, X86OnlyTablePushesOneWord) {
  CpuInfo cpu{};
  cpu.vendor = CPU_VENDOR_VIA;
  DspTable t{};
  dsp_fill(&t, cpu);
  uint32_t old_csr = _mm_getcsr();
  DspFpState state{};
  t.dsp_start(&state);
  EXPECT_EQ(state.depth, 1u);
  EXPECT_EQ(_mm_getcsr(), old_csr);
  t.dsp_finish(&state);
  EXPECT_EQ(state.depth, 0u);
}
